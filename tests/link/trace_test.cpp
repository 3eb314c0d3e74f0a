// The bytes the trace writers append to DataLog.log. The stamp's digits
// change with the clock; its shape is checked by a pattern, everything
// after it byte for byte.
#include "link_support.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <regex>

using namespace sdtest;

namespace {

class Trace : public ::testing::Test {
protected:
    void SetUp() override { dir.traceOn(); }

    // The log with every stamp replaced by "|". The log must begin with a
    // stamp; the bodies written here hold nothing shaped like one.
    std::string bodies()
    {
        static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  )");
        const std::string log = dir.read("DataLog.log");
        std::smatch m;
        EXPECT_TRUE(std::regex_search(log, m, stamp, std::regex_constants::match_continuous))
            << log;
        return std::regex_replace(log, stamp, "|");
    }

    TempWorkDir dir;
};

std::string range(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>(i);
    return s;
}

const unsigned char *bytes(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

} // namespace

TEST_F(Trace, WorkedExamples)
{
    EXPECT_EQ(WriteLog("send:\n"), 0);
    EXPECT_EQ(WriteLog_Byte("\x1b\x6a", 3), 0);
    const std::string r22 = range(22), r21 = range(21);
    EXPECT_EQ(WriteLog_Byte(r22.data(), 22), 0);
    EXPECT_EQ(WriteLog_ByteEx(bytes("rp"), 2, 1), 0);
    EXPECT_EQ(WriteLog_ByteEx(bytes(r21), 21, 0), 0);
    EXPECT_EQ(bodies(),
              "|send:\n"
              "|[0001]1B 6A 00 \r\n"
              "|[0001]00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 \r\n"
              "[0021]14 15 \r\n"
              "|Resp:[0001]72 70 \r\n\r\n"
              "|Apdu:[0001]00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 \r\n"
              "     [0021]14 \r\n");
}

TEST_F(Trace, DumpEdges)
{
    EXPECT_EQ(WriteLog_Byte("", 0), 0);
    EXPECT_EQ(WriteLog_Byte("\xff\x80", 2), 0);
    EXPECT_EQ(WriteLog_ByteEx(bytes("\xff"), 0, 0), 0);
    EXPECT_EQ(WriteLog_ByteEx(bytes("\xff"), -3, 7), 0);
    EXPECT_EQ(WriteLog("MS_ReadCard End at %s ,return %d\n", "now", -2), 0);
    EXPECT_EQ(WriteLog("a"), 0);
    EXPECT_EQ(WriteLog("b"), 0);
    EXPECT_EQ(bodies(), "|\r\n|[0001]FF 80 \r\n|\r\n|\r\n\r\n|MS_ReadCard End at now ,return -2\n|a|b");
}

TEST_F(Trace, LongDumpLabelsCountFromOne)
{
    const std::string data(10005, '\x5a');
    EXPECT_EQ(WriteLog_Byte(data.data(), 10005), 0);
    const std::string log = dir.read("DataLog.log");
    EXPECT_NE(log.find("\r\n[0041]"), std::string::npos);
    EXPECT_NE(log.find("\r\n[9981]"), std::string::npos);
    EXPECT_NE(log.find("\r\n[10001]5A 5A 5A 5A 5A \r\n"), std::string::npos);
    EXPECT_EQ(log.size(), 21u + 6 * 500 + 7 + 2 * 500 + 3 * 10005 + 2);
}

TEST_F(Trace, LogIsPrivateWhenCreatedAndLeftAloneOtherwise)
{
    EXPECT_EQ(WriteLog("x"), 0);
    struct stat st;
    ASSERT_EQ(stat("DataLog.log", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(chmod("DataLog.log", 0644), 0);
    EXPECT_EQ(WriteLog("y"), 0);
    ASSERT_EQ(stat("DataLog.log", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(bodies(), "|x|y") << "appended, never truncated";
}

TEST_F(Trace, UnopenableLogGivesMinusOne)
{
    ASSERT_EQ(mkdir("DataLog.log", 0700), 0);
    EXPECT_EQ(WriteLog("x"), -1);
    EXPECT_EQ(WriteLog_Byte("x", 1), -1);
    EXPECT_EQ(WriteLog_ByteEx(bytes("x"), 1, 0), -1);
}

TEST(SysDate, StampIsTheLocalTimeOfTheCall)
{
    char stamp[32];
    memset(stamp, '#', sizeof stamp);
    const time_t before = time(nullptr);
    GetSysDate(stamp);
    const time_t after = time(nullptr);
    EXPECT_EQ(strlen(stamp), 21u);
    EXPECT_EQ(stamp[22], '#');
    bool matches = false;
    for (time_t t = before; t <= after; ++t) {
        struct tm lt;
        localtime_r(&t, &lt);
        char want[32];
        strftime(want, sizeof want, "%Y-%m-%d %H:%M:%S  ", &lt);
        matches = matches || strcmp(want, stamp) == 0;
    }
    EXPECT_TRUE(matches) << stamp;
}
