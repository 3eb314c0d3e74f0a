// DEV_CommCall: the request, the reader's identification, the JSON answer,
// the standard-output lines and the trace.
#include "ident_support.h"
#include "stripedrv.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace sdtest;

namespace {

const char kNoLib[] = R"({"ErrorCode":"-9","ErrorMessage":"load so  fail"})";

std::string okAnswer(const std::string &version, const std::string &sn,
                     const std::string &date, const std::string &model)
{
    return R"({"ErrorCode":"0","ErrorMessage":"success","DeviceBrand":"QOVA",)"
           R"("DllVersion":"0.2024.330.1700","DeviceVersion":")" + version +
           R"(","DeviceSN":")" + sn + R"(","ProductionDate":")" + date +
           R"(","DeviceModel":")" + model + R"("})";
}

std::string requestFor(const std::string &port, const std::string &extra = "")
{
    return R"({"RequestPort":")" + port + "\"" + extra + "}";
}

// What one call left behind.
struct Call {
    int rc = 0;
    std::string answer; // the buffer up to its NUL
    int len = 0;        // the length as the call left it
    bool untouched = false;
    std::string out;    // standard output
};

Call devCommCall(const char *request, int capacity = 1024)
{
    char buf[4096];
    memset(buf, '#', sizeof buf);
    buf[sizeof buf - 1] = '\0';
    Call c;
    c.len = capacity;
    StdoutCapture capture;
    c.rc = DEV_CommCall(request, nullptr, buf, &c.len);
    c.out = capture.finish();
    c.untouched = buf[0] == '#' && buf[1] == '#';
    c.answer = buf;
    return c;
}

// A working directory with QOVA pointing at the built request library.
class DevInfo : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(symlink(SD_REQJSON_DIR, "QOVA"), 0); }
    void TearDown() override { EXPECT_EQ(isPortOpened, 0) << "the line was left open"; }

    // Runs the call against the scripted reader; returns the call and
    // leaves what the host sent in `sent`.
    Call withReader(std::vector<Step> steps, const std::string &extra = "")
    {
        ScriptedReader reader(peer, std::move(steps));
        Call c = devCommCall(requestFor(peer.portName(), extra).c_str());
        sent = reader.finish();
        speed = reader.speedAtFirstCommand();
        return c;
    }

    TempWorkDir dir;
    PtyPeer peer;
    std::string sent;
    unsigned speed = 0;
};

using DevInfoRequest = DevInfo;
using DevInfoIdentity = DevInfo;
using DevInfoFailure = DevInfo;
using DevInfoTrace = DevInfo;

} // namespace

// ---------------------------------------------------------------------------
// Model, serial number and production date

TEST_F(DevInfoIdentity, OtherFirmwareIsAskedForItsIdentity)
{
    Call c = withReader({{kGetVer, "Ver5.13.2\r"}, {kIdentity, identityReply("01|A7-2506AB")}});
    ASSERT_EQ(c.rc, SD_OK) << c.answer;
    std::string want = okAnswer("Ver5.13.2", "A7-2506AB", "2506", "P26B");
    EXPECT_EQ(c.answer, want);
    EXPECT_EQ(c.len, static_cast<int>(want.size()));
    EXPECT_EQ(hex(sent), hex(kGetVer + kIdentity));
    EXPECT_EQ(c.out, "DevName=" + peer.portName() + "\nnBaudRate=9600\nportName=" +
                         peer.portName() + "\n");
}

TEST_F(DevInfoIdentity, Ver3AndVer512ModelsNeedNoIdentityQuery)
{
    Call c = withReader({{kGetVer, "Ver3.2\r"}});
    EXPECT_EQ(c.answer, okAnswer("Ver3.2", "", "", "P26A"));
    EXPECT_EQ(hex(sent), hex(kGetVer));
    c = withReader({{kGetVer, "Ver5.12.7\r"}});
    EXPECT_EQ(c.answer, okAnswer("Ver5.12.7", "", "", "P26B"));
    EXPECT_EQ(hex(sent), hex(kGetVer));
    c = withReader({{kGetVer, "Ver5.1\r"}, {kIdentity, identityReply("0|S-2401")}});
    EXPECT_EQ(c.answer, okAnswer("Ver5.1", "S-2401", "2401", "P26B"));
    EXPECT_EQ(hex(sent), hex(kGetVer + kIdentity));
}

TEST_F(DevInfoIdentity, RecordIsSplitAtTheLastBarAndDash)
{
    struct Case {
        const char *record, *sn, *date;
    };
    for (const Case &k : {Case{"|A7-2506", "", ""}, Case{"A7|-2506", "-2506", ""},
                          Case{"X|Y-25", "Y-25", "25"}, Case{"a|b|c-1-123456", "c-1-123456", "1234"},
                          Case{"no separator", "", ""}, Case{"01|", "", ""}}) {
        Call c = withReader({{kGetVer, "Ver6\r"}, {kIdentity, identityReply(k.record)}});
        EXPECT_EQ(c.rc, SD_OK) << k.record;
        EXPECT_EQ(c.answer, okAnswer("Ver6", k.sn, k.date, "P26B")) << k.record;
    }
}

TEST_F(DevInfoIdentity, LongestRecordGivesASerialNumberCutToItsBuffer)
{
    std::string record = "01|" + std::string(SD_IDENTITY_MAX - 3, 'S');
    Call c = withReader({{kGetVer, "Ver6\r"}, {kIdentity, identityReply(record)}});
    ASSERT_EQ(c.rc, SD_OK);
    EXPECT_EQ(c.answer, okAnswer("Ver6", std::string(127, 'S'), "", "P26B"));
}

TEST_F(DevInfoIdentity, AnyReaderBytesGiveValidJson)
{
    std::string version = "V\"5\\x\x01\xFF\xC3\xA9\r";
    std::string record = "01|A\tB-25\xE2\x82\x06";
    Call c = withReader({{kGetVer, version}, {kIdentity, identityReply(record)}});
    ASSERT_EQ(c.rc, SD_OK);
    EXPECT_NE(c.answer.find(R"("DeviceVersion":"V\"5\\x\u0001)"), std::string::npos) << c.answer;
    nlohmann::json j = nlohmann::json::parse(c.answer); // throws on invalid JSON or UTF-8
    EXPECT_EQ(j["DeviceVersion"], "V\"5\\x\x01\xEF\xBF\xBD\xC3\xA9");
    EXPECT_EQ(j["DeviceSN"], "A\tB-25\xEF\xBF\xBD\xEF\xBF\xBD\x06");
    EXPECT_EQ(j["ProductionDate"], "25\xEF\xBF\xBD\xEF\xBF\xBD");
}

// ---------------------------------------------------------------------------
// The request: port name and speed

TEST_F(DevInfoRequest, BaudRateFromTheRequestOr9600)
{
    struct Case {
        const char *extra;
        int printed;
        speed_t line;
    };
    for (const Case &k : {Case{"", 9600, B9600}, Case{R"(,"RequestBaudRate":"")", 9600, B9600},
                          Case{R"(,"RequestBaudRate":"19200")", 19200, B19200},
                          Case{R"(,"RequestBaudRate":115200)", 115200, B115200},
                          Case{R"(,"RequestBaudRate":"abc")", 0, B9600}}) {
        Call c = withReader({{kGetVer, "Ver3\r"}}, k.extra);
        EXPECT_EQ(c.rc, SD_OK) << k.extra;
        EXPECT_NE(c.out.find("\nnBaudRate=" + std::to_string(k.printed) + "\n"), std::string::npos)
            << k.extra << c.out;
        EXPECT_EQ(speed, static_cast<unsigned>(k.line)) << k.extra;
    }
}

TEST_F(DevInfoRequest, LoneDigitOneToNineNamesACommPort)
{
    struct Case {
        const char *value, *name;
    };
    for (const Case &k : {Case{"3", "COM3"}, Case{"9", "COM9"}, Case{"0", "0"}, Case{"10", "10"},
                          Case{"ttyNoSuch0", "ttyNoSuch0"}, Case{"", ""}}) {
        Call c = devCommCall(requestFor(k.value).c_str());
        EXPECT_EQ(c.rc, SD_ERR_PORT) << k.value;
        EXPECT_EQ(c.answer, R"({"ErrorCode":"-3","ErrorMessage":"open port fail"})");
        EXPECT_EQ(c.out, std::string("DevName=") + k.value + "\nnBaudRate=9600\nportName=" +
                             k.name + "\n");
    }
    for (const char *request : {R"({"Other":1})", "not json", static_cast<const char *>(nullptr)}) {
        Call c = devCommCall(request); // no port at all
        EXPECT_EQ(c.rc, SD_ERR_PORT);
        EXPECT_EQ(c.out, "DevName=\nnBaudRate=9600\nportName=\n");
    }
}

// ---------------------------------------------------------------------------
// Failures and delivery

TEST_F(DevInfoFailure, ReaderFailuresGiveTheirCodeAndMessage)
{
    Call c = withReader({{kGetVer, "Ver6\r"}, {kIdentity, "\x55" "012"}});
    EXPECT_EQ(c.rc, SD_ERR_DATA);
    EXPECT_EQ(c.answer, R"({"ErrorCode":"-8","ErrorMessage":"data error"})");
    c = withReader({{kGetVer, "Ver6"}});
    EXPECT_EQ(c.rc, SD_ERR_TIMEOUT);
    EXPECT_EQ(c.answer, R"({"ErrorCode":"-2","ErrorMessage":"operation timeout"})");
}

TEST_F(DevInfoFailure, AnswerThatDoesNotFitIsNotDeliveredAndNotASuccess)
{
    std::string want = okAnswer("Ver3", "", "", "P26A");
    int exact = static_cast<int>(want.size());
    ScriptedReader reader(peer, {{kGetVer, "Ver3\r"}});
    Call c = devCommCall(requestFor(peer.portName()).c_str(), exact);
    reader.finish();
    EXPECT_EQ(c.rc, SD_ERR_STATUS);
    EXPECT_TRUE(c.untouched);
    EXPECT_EQ(c.len, exact);

    ScriptedReader again(peer, {{kGetVer, "Ver3\r"}});
    c = devCommCall(requestFor(peer.portName()).c_str(), exact + 1);
    again.finish();
    EXPECT_EQ(c.rc, SD_OK);
    EXPECT_EQ(c.answer, want);
    EXPECT_EQ(c.len, exact);
}

TEST_F(DevInfoFailure, NowhereToAnswerIsRefusedBeforeAnything)
{
    dir.traceOn();
    int len = 100;
    char buf[16] = "untouched";
    EXPECT_EQ(DEV_CommCall("{}", nullptr, nullptr, &len), SD_ERR_STATUS);
    EXPECT_EQ(DEV_CommCall("{}", nullptr, buf, nullptr), SD_ERR_STATUS);
    for (int cap : {0, -5}) {
        len = cap;
        EXPECT_EQ(DEV_CommCall("{}", nullptr, buf, &len), SD_ERR_STATUS);
        EXPECT_EQ(len, cap);
    }
    EXPECT_STREQ(buf, "untouched");
    EXPECT_FALSE(dir.exists("DataLog.log"));
}

TEST(DevInfoLibrary, MissingLibraryGivesMinus9AndStillClosesTheLine)
{
    TempWorkDir dir;
    PtyPeer peer;
    int before = openDescriptorCount();
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK); // left open before the call
    Call c = devCommCall(R"({"RequestPort":"3"})", 50);
    EXPECT_EQ(c.rc, SD_ERR_LOADSO);
    EXPECT_EQ(c.answer, kNoLib);
    EXPECT_EQ(c.len, 49);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(openDescriptorCount(), before);

    c = devCommCall(R"({"RequestPort":"3"})", 49); // one byte short: a failure keeps its code
    EXPECT_EQ(c.rc, SD_ERR_LOADSO);
    EXPECT_TRUE(c.untouched);
    EXPECT_EQ(c.len, 49);
}

TEST(DevInfoLibrary, UnloadableFileOrMissingFunctionGivesMinus9)
{
    TempWorkDir dir;
    dir.traceOn();
    ASSERT_EQ(mkdir("QOVA", 0755), 0);
    dir.write("QOVA/libreqjson.so", "not a library");
    Call c = devCommCall("{}");
    EXPECT_EQ(c.answer, kNoLib);
    ASSERT_EQ(unlink("QOVA/libreqjson.so"), 0);
    ASSERT_EQ(symlink(SD_NOREQFIELD_LIB, "QOVA/libreqjson.so"), 0);
    c = devCommCall("{}");
    EXPECT_EQ(c.rc, SD_ERR_LOADSO);
    EXPECT_EQ(c.answer, kNoLib);
    EXPECT_EQ(c.out, "");
    std::string trace = maskStamps(dir.read("DataLog.log"));
    EXPECT_NE(trace.find("<T>加载/QOVA/libreqjson.so失败\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("<T>加载/QOVA/libreqjson.so 函数失败\n"), std::string::npos) << trace;
}

TEST(DevInfoLibrary, WorkingDirectoryTooLongForThePathGivesMinus9)
{
    TempWorkDir dir;
    // The first fits getcwd's 260 bytes but not with the library's part
    // appended; the second does not fit at all.
    for (size_t total : {250u, 300u}) {
        std::string deep = dir.path();
        while (deep.size() + 1 < total)
            deep += "/" + std::string(std::min<size_t>(100, total - deep.size() - 1), 'd');
        ASSERT_EQ(system(("mkdir -p " + deep).c_str()), 0);
        ASSERT_EQ(chdir(deep.c_str()), 0);
        ASSERT_EQ(symlink(SD_REQJSON_DIR, "QOVA"), 0); // would be found with room
        Call c = devCommCall(R"({"RequestPort":"3"})");
        EXPECT_EQ(c.rc, SD_ERR_LOADSO) << deep.size();
        EXPECT_EQ(c.answer, kNoLib);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
}

// ---------------------------------------------------------------------------
// Trace

TEST(DevInfoTraceNoLibrary, ThreeEntriesExactly)
{
    TempWorkDir dir;
    dir.traceOn();
    Call c = devCommCall("{}", 50);
    ASSERT_EQ(c.rc, SD_ERR_LOADSO);
    EXPECT_EQ(maskStamps(dir.read("DataLog.log")),
              "<T>DEV_CommCall at <T>\n"
              "<T>加载/QOVA/libreqjson.so失败\n"
              "<T>DEV_CommCall at <T>,return:-9 \n");
    // The stamp inside the first entry is the call's own: same shape.
    std::string raw = dir.read("DataLog.log");
    EXPECT_EQ(raw.substr(21, 16), "DEV_CommCall at ");
    EXPECT_EQ(raw.substr(37, 22), raw.substr(0, 21) + "\n");
}

TEST_F(DevInfoTrace, SuccessfulCallTracesEveryStep)
{
    dir.traceOn();
    Call c = withReader({{kGetVer, "Ver5.13.2\r"}, {kIdentity, identityReply("01|A7-2506AB")}});
    ASSERT_EQ(c.rc, SD_OK);
    EXPECT_EQ(maskStamps(dir.read("DataLog.log")),
              "<T>DEV_CommCall at <T>\n"
              "<T>DevName=" + peer.portName() + "\n"
              "<T>send:\n<T>[0001]1B 5F 47 45 54 56 45 52 \r\n"
              "<T>firmwareVersion: Ver5.13.2\n"
              "<T>send:\n<T>[0001]1B 49 6E 74 65 6C 6C 69 67 65 6E 74 \r\n"
              "<T>DEV_CommCall at <T>,return:0 \n");
}

TEST_F(DevInfoTrace, FailingStepsTraceTheirCode)
{
    dir.traceOn();
    withReader({{kGetVer, "Ver6\r"}, {kIdentity, "\x01"}});
    devCommCall(R"({"RequestPort":"ttyNoSuch0"})");
    std::string trace = maskStamps(dir.read("DataLog.log"));
    EXPECT_NE(trace.find("<T>firmwareVersion: Ver6\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("<T>ProbeDeviceId Fail return -8\n<T>DEV_CommCall at <T>,return:-8 \n"),
              std::string::npos) << trace;
    EXPECT_NE(trace.find("<T>DevName=ttyNoSuch0\n<T>OpenCOM Fail return -3\n"
                         "<T>DEV_CommCall at <T>,return:-3 \n"),
              std::string::npos) << trace;
}
