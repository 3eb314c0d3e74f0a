// CONFIG.ini lookups (X_INIKeyString, GetIniKeyString, the trace switch) and
// the bytes the trace writers append to DataLog.log.
#include "link_support.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>

using namespace sdtest;

namespace {

class Config : public ::testing::Test {
protected:
    // X_INIKeyString's value for `key` in section S; "<none>" if none stored.
    std::string lookup(const std::string &ini, const char *key, const char *def = "<default>")
    {
        dir.write("CONFIG.ini", ini);
        char out[2048] = "<none>";
        return X_INIKeyString("CONFIG.ini", "S", key, out, def) == 1 ? out : "<none>";
    }
    std::string getIni(const std::string &ini, const char *key)
    {
        dir.write("CONFIG.ini", ini);
        char out[2048] = "";
        GetIniKeyString("S", key, "CONFIG.ini", out, "<default>");
        return out;
    }
    // Whether a trace entry is written with this CONFIG.ini.
    bool traces(const std::string &ini)
    {
        dir.write("CONFIG.ini", ini);
        remove("DataLog.log");
        EXPECT_EQ(WriteLog("x"), 0);
        return dir.exists("DataLog.log");
    }

    TempWorkDir dir;
};

} // namespace

TEST_F(Config, LookupRules)
{
    const struct { const char *ini, *key, *want, *why; } table[] = {
        {"k=before\n[S]\nk=v\n", "k", "v", "entries above the section do not count"},
        {"[T]\nk=t\n[S]\n[U]\nk=u\n", "k", "u", "later sections are still inside"},
        {"[S] trailing text\nk=v\n", "k", "v", "text after the header's \"]\""},
        {" [S]\nk=v\n", "k", "<default>", "a header starts the line"},
        {"[s]\nk=v\n", "k", "<default>", "section names are case-sensitive"},
        {"[SS]\nk=v\n", "k", "<default>", "the name ends at its \"]\""},
        {"[S]\nk=v\n", "missing", "<default>", "no such key"},
        {"[S]\nNoSwitch=0\nSwitch=1\n", "Switch", "0", "substring match, first candidate wins"},
        {"[S]\nother=has Switch inside\n", "Switch", "has Switch inside", "the value counts too"},
        {"[S]\nSwitch = 1\n", "Switch", " 1", "no blanks trimmed"},
        {"[S]\nkey=a=b\n", "key", "a=b", "the first \"=\" separates"},
        {"[S]\n#c=1\nfirst=2\n", "", "2", "an empty key is in every line"},
        {"[S]\nk=\n", "k", "", "an empty value"},
        {"[S]\n#k=1\n//k=2\nk=3\n", "k", "3", "comments"},
        {"[S]\n #k=1\n", "k", "1", "a blank first: no comment"},
        {"[S]\n/k=1\n", "k", "1", "one slash: no comment"},
        {"[S]\nk=1", "k", "<default>", "a last line without LF is never read"},
        {"[S]\r\nk=1\r\n", "k", "1", "a CR ends the value"},
        {"[S]\nk=a\rb\n", "k", "a", "at the first CR"},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(lookup(row.ini, row.key), row.want);
    }
    EXPECT_EQ(lookup("[S]\nk=v\n", "missing", nullptr), "<none>");
    // GetIniKeyString keeps the CR.
    EXPECT_EQ(getIni("[S]\r\nk=1\r\n", "k"), "1\r");
    EXPECT_EQ(getIni("[S]\nk=a\rb\n", "k"), "a\rb");
    EXPECT_EQ(getIni("[S]\nk=v\n", "zz"), "<default>");

    char out[16] = "untouched"; // a missing file, null arguments
    EXPECT_EQ(X_INIKeyString("no.ini", "S", "k", out, "d"), 0);
    EXPECT_STREQ(out, "untouched") << "no file: not even the default";
    GetIniKeyString("S", "k", "no.ini", out, "d");
    EXPECT_STREQ(out, "d");
    dir.write("CONFIG.ini", "[S]\nk=v\n");
    EXPECT_EQ(X_INIKeyString(nullptr, "S", "k", out, "d"), 0);
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", nullptr, "k", out, "d"), 0);
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", "S", nullptr, out, "d"), 0);
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", "S", "k", nullptr, "d"), 0);
}

TEST_F(Config, OverlongLinesAndSectionNamesAreCut)
{
    // A line counts up to 1023 characters; the rest up to its LF is dropped.
    EXPECT_EQ(lookup("[S]\nk=" + std::string(1500, 'v') + "\nnext=1\n", "k"), std::string(1021, 'v'));
    EXPECT_EQ(lookup("[S]\n" + std::string(1100, 'x') + "k=dropped\nk=2\n", "k"), "2");

    const std::string longName(1022, 'N'); // "[" + name + "]" does not fit
    dir.write("CONFIG.ini", "[" + longName + "]\nk=v\n");
    char out[16] = "";
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", longName.c_str(), "k", out, "d"), 1);
    EXPECT_STREQ(out, "d");
    GetIniKeyString(longName.c_str(), "k", "CONFIG.ini", out, "e");
    EXPECT_STREQ(out, "e");
    const std::string fits(1021, 'N');
    dir.write("CONFIG.ini", "[" + fits + "]\nk=v\n");
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", fits.c_str(), "k", out, "d"), 1);
    EXPECT_STREQ(out, "v");
}

TEST_F(Config, TraceSwitchValues)
{
    for (const char *on : {"1", "2", "-1", " 1", "1abc"})
        EXPECT_TRUE(traces(std::string("[DEVTRACE]\nSwitch=") + on + "\n")) << on;
    for (const char *off : {"0", "on", "", "00"})
        EXPECT_FALSE(traces(std::string("[DEVTRACE]\nSwitch=") + off + "\n")) << off;
    EXPECT_FALSE(traces("[DEVTRACE]\nOther=1\n"));
    EXPECT_FALSE(traces("[OTHER]\nSwitch=1\n"));
    EXPECT_FALSE(traces("[DEVTRACE]\nSwitch=1"));
    EXPECT_TRUE(traces("[DEVTRACE]\n[LATER]\nSwitch=1\n"));
    // A value far longer than the switch buffer is cut, not overrun.
    EXPECT_TRUE(traces("[DEVTRACE]\nSwitch=1" + std::string(900, 'x') + "\n"));
    remove("DataLog.log");
    remove("CONFIG.ini");
    EXPECT_EQ(WriteLog("x"), 0);
    EXPECT_FALSE(dir.exists("DataLog.log"));
}

namespace {

class Trace : public ::testing::Test {
protected:
    void SetUp() override { dir.traceOn(); }
    std::string log() const { return bodies(dir.read("DataLog.log")); }

    TempWorkDir dir;
};

const unsigned char *bytes(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

} // namespace

TEST_F(Trace, WorkedExamplesAndEdges)
{
    std::string r22;
    for (int i = 0; i < 22; ++i)
        r22 += static_cast<char>(i);
    EXPECT_EQ(WriteLog("send:\n"), 0);
    EXPECT_EQ(WriteLog_Byte("\x1b\x6a", 3), 0);
    EXPECT_EQ(WriteLog_Byte(r22.data(), 22), 0);
    EXPECT_EQ(WriteLog_ByteEx(bytes("rp"), 2, 1), 0);
    EXPECT_EQ(WriteLog_ByteEx(bytes(r22), 21, 0), 0);
    EXPECT_EQ(WriteLog_Byte("", 0), 0);
    EXPECT_EQ(WriteLog_Byte("\xff\x80", 2), 0);
    EXPECT_EQ(WriteLog_ByteEx(bytes("\xff"), 0, 0), 0);
    EXPECT_EQ(WriteLog_ByteEx(bytes("\xff"), -3, 7), 0);
    EXPECT_EQ(WriteLog("MS_ReadCard End at %s ,return %d\n", "now", -2), 0);
    EXPECT_EQ(WriteLog("a"), 0);
    EXPECT_EQ(WriteLog("b"), 0);
    EXPECT_EQ(log(),
              "|send:\n"
              "|[0001]1B 6A 00 \r\n"
              "|[0001]00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 \r\n"
              "[0021]14 15 \r\n"
              "|Resp:[0001]72 70 \r\n\r\n"
              "|Apdu:[0001]00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 \r\n"
              "     [0021]14 \r\n"
              "|\r\n|[0001]FF 80 \r\n|\r\n|\r\n\r\n|MS_ReadCard End at now ,return -2\n|a|b");
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

TEST_F(Trace, LogIsPrivateWhenCreatedAndUnopenableGivesMinusOne)
{
    EXPECT_EQ(WriteLog("x"), 0);
    struct stat st;
    ASSERT_EQ(stat("DataLog.log", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(chmod("DataLog.log", 0644), 0);
    EXPECT_EQ(WriteLog("y"), 0);
    ASSERT_EQ(stat("DataLog.log", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "appending leaves the permissions alone";
    EXPECT_EQ(log(), "|x|y") << "appended, never truncated";

    ASSERT_EQ(remove("DataLog.log"), 0);
    ASSERT_EQ(mkdir("DataLog.log", 0700), 0);
    EXPECT_EQ(WriteLog("x"), -1);
    EXPECT_EQ(WriteLog_Byte("x", 1), -1);
    EXPECT_EQ(WriteLog_ByteEx(bytes("x"), 1, 0), -1);
}

TEST(SysDate, StampIsTheLocalTimeOfTheCall)
{
    // Between a reading before and one after: on a busy machine seconds
    // may pass during the call. The stamps are zero-padded and widest unit
    // first, so as texts they sort as the times they name. The readings
    // come from the clock the stamp is taken from: time() reads the
    // kernel's coarse clock, which may still name the previous second.
    char stamp[32], want[2][32];
    for (int i = 0; i < 2; ++i) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        const time_t t = now.tv_sec;
        strftime(want[i], sizeof want[i], "%Y-%m-%d %H:%M:%S  ", localtime(&t));
        if (i == 0)
            GetSysDate(stamp);
    }
    EXPECT_EQ(strlen(stamp), strlen(want[0])) << stamp;
    EXPECT_TRUE(strcmp(want[0], stamp) <= 0 && strcmp(stamp, want[1]) <= 0)
        << stamp << " not within " << want[0] << ".." << want[1];
}
