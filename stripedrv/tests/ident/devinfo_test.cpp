// DEV_CommCall: the request, the reader's identification, the JSON answer,
// the standard-output lines and the trace.
#include "ident_support.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

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

class DevInfo : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(isPortOpened, 0) << "the line was left open"; }

    // Runs the call against the scripted reader; leaves what the host sent
    // in `sent` and the line's speed in `speed`.
    Call withReader(std::vector<Step> steps, const std::string &extra = "", int capacity = 1024)
    {
        ScriptedReader reader(peer, std::move(steps));
        std::string request = R"({"RequestPort":")" + peer.portName() + "\"" + extra + "}";
        Call c = devCommCall(request.c_str(), capacity);
        sent = reader.finish();
        speed = reader.speed;
        return c;
    }

    LibraryDir dir;
    PtyPeer peer;
    std::string sent;
    unsigned speed = 0;
};

} // namespace

// A successful call

TEST_F(DevInfo, SuccessPrintsTracesAndAnswersExactly)
{
    dir.traceOn();
    Call c = withReader({{kGetVer, "Ver5.13.2\r"}, {kIdentity, identityReply("01|A7-2506AB")}});
    ASSERT_EQ(c.rc, SD_OK) << c.answer;
    std::string want = okAnswer("Ver5.13.2", "A7-2506AB", "2506", "P26B");
    EXPECT_EQ(c.answer, want);
    EXPECT_EQ(c.len, static_cast<int>(want.size()));
    EXPECT_EQ(hex(sent), hex(kGetVer + kIdentity));
    const std::string &port = peer.portName();
    EXPECT_EQ(c.out, "DevName=" + port + "\nnBaudRate=9600\nportName=" + port + "\n");
    EXPECT_EQ(maskStamps(dir.read("DataLog.log")),
              "<T>DEV_CommCall at <T>\n"
              "<T>DevName=" + port + "\n"
              "<T>send:\n<T>[0001]1B 5F 47 45 54 56 45 52 \r\n"
              "<T>firmwareVersion: Ver5.13.2\n"
              "<T>send:\n<T>[0001]1B 49 6E 74 65 6C 6C 69 67 65 6E 74 \r\n"
              "<T>DEV_CommCall at <T>,return:0 \n");
}

TEST_F(DevInfo, ModelFromTheVersionOrTheIdentityRecord)
{
    struct Case {
        std::string version, record, sn, date, model; // empty record: no identity query
    };
    const std::string s996(SD_IDENTITY_MAX - 3, 'S');
    for (const Case &k : {Case{"Ver3.2", "", "", "", "P26A"}, Case{"Ver5.12.7", "", "", "", "P26B"},
                          Case{"Ver5.1", "0|S-2401", "S-2401", "2401", "P26B"},
                          Case{"ver3.2", "0|S-2401", "S-2401", "2401", "P26B"},
                          // split at the last bar and dash, never at the first character
                          Case{"Ver6", "|A7-2506", "", "", "P26B"},
                          Case{"Ver6", "A7|-2506", "-2506", "", "P26B"},
                          Case{"Ver6", "X|Y-25", "Y-25", "25", "P26B"},
                          Case{"Ver6", "a|b|c-1-123456", "c-1-123456", "1234", "P26B"},
                          Case{"Ver6", "no separator", "", "", "P26B"},
                          Case{"Ver6", "01|", "", "", "P26B"},
                          // the longest record: the serial number is cut to its buffer
                          Case{"Ver6", "01|" + s996, std::string(127, 'S'), "", "P26B"}}) {
        SCOPED_TRACE(k.version + " " + k.record.substr(0, 20));
        std::vector<Step> steps = {{kGetVer, k.version + "\r"}};
        if (!k.record.empty())
            steps.push_back({kIdentity, identityReply(k.record)});
        Call c = withReader(steps);
        EXPECT_EQ(c.rc, SD_OK);
        EXPECT_EQ(c.answer, okAnswer(k.version, k.sn, k.date, k.model));
        EXPECT_EQ(hex(sent), hex(kGetVer + (k.record.empty() ? "" : kIdentity)));
    }
}

TEST_F(DevInfo, AnyReaderBytesGiveValidJson)
{
    std::string version = "V\"5\\x\x01\xFF\xC3\xA9\x1F\r";
    std::string record = "01|A\tB-25\xE2\x82\x06";
    Call c = withReader({{kGetVer, version}, {kIdentity, identityReply(record)}});
    ASSERT_EQ(c.rc, SD_OK);
    EXPECT_NE(c.answer.find(R"("DeviceVersion":"V\"5\\x\u0001)"), std::string::npos) << c.answer;
    nlohmann::json j = nlohmann::json::parse(c.answer); // throws on invalid JSON or UTF-8
    EXPECT_EQ(j["DeviceVersion"], "V\"5\\x\x01\xEF\xBF\xBD\xC3\xA9\x1F");
    EXPECT_EQ(j["DeviceSN"], "A\tB-25\xEF\xBF\xBD\xEF\xBF\xBD\x06");
    EXPECT_EQ(j["ProductionDate"], "25\xEF\xBF\xBD\xEF\xBF\xBD");
}

// The request: port name and speed

TEST_F(DevInfo, BaudRateFromTheRequestOr9600)
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
        SCOPED_TRACE(k.extra);
        Call c = withReader({{kGetVer, "Ver3\r"}}, k.extra);
        EXPECT_EQ(c.rc, SD_OK);
        EXPECT_NE(c.out.find("\nnBaudRate=" + std::to_string(k.printed) + "\n"), std::string::npos)
            << c.out;
        EXPECT_EQ(speed, static_cast<unsigned>(k.line));
    }
}

TEST_F(DevInfo, LoneDigitOneToNineNamesACommPort)
{
    struct Case {
        const char *request, *value, *name;
    };
    for (const Case &k : {Case{R"({"RequestPort":"3"})", "3", "COM3"},
                          Case{R"({"RequestPort":"9"})", "9", "COM9"},
                          Case{R"({"RequestPort":"0"})", "0", "0"},
                          Case{R"({"RequestPort":"10"})", "10", "10"},
                          Case{R"({"RequestPort":"ttyNoSuch0"})", "ttyNoSuch0", "ttyNoSuch0"},
                          Case{R"({"Other":1})", "", ""}, Case{nullptr, "", ""}}) {
        SCOPED_TRACE(k.value);
        Call c = devCommCall(k.request);
        EXPECT_EQ(c.rc, SD_ERR_PORT);
        EXPECT_EQ(c.answer, R"({"ErrorCode":"-3","ErrorMessage":"open port fail"})");
        EXPECT_EQ(c.out, std::string("DevName=") + k.value + "\nnBaudRate=9600\nportName=" +
                             k.name + "\n");
    }
}

// Failures and delivery

TEST_F(DevInfo, FailingStepsTraceTheirCode)
{
    dir.traceOn();
    // (the simulated reader's test checks these answers byte for byte)
    EXPECT_EQ(withReader({{kGetVer, "Ver6\r"}, {kIdentity, "\x01"}}).rc, SD_ERR_DATA);
    // no CR within 100 bytes
    EXPECT_EQ(withReader({{kGetVer, std::string(SD_VERSION_MAX, 'w')}}).rc, SD_ERR_TIMEOUT);
    devCommCall(R"({"RequestPort":"ttyNoSuch0"})");
    std::string trace = maskStamps(dir.read("DataLog.log"));
    for (const char *part : {"<T>firmwareVersion: Ver6\n<T>send:\n",
                             "<T>ProbeDeviceId Fail return -8\n<T>DEV_CommCall at <T>,return:-8 \n",
                             "<T>GetVersionInfo Fail return -2\n<T>DEV_CommCall at <T>,return:-2 \n",
                             "<T>DevName=ttyNoSuch0\n<T>OpenCOM Fail return -3\n"
                             "<T>DEV_CommCall at <T>,return:-3 \n"})
        EXPECT_NE(trace.find(part), std::string::npos) << part << "\nin\n" << trace;
}

TEST_F(DevInfo, AnswerThatCannotBeDeliveredIsNotASuccess)
{
    // Nowhere to answer: the reader is not asked, the call is still traced.
    dir.traceOn();
    int len = 100, zero = 0, negative = -5;
    char buf[16] = "untouched";
    EXPECT_EQ(DEV_CommCall("{}", nullptr, nullptr, &len), SD_ERR_STATUS);
    EXPECT_EQ(DEV_CommCall("{}", nullptr, buf, nullptr), SD_ERR_STATUS);
    EXPECT_EQ(DEV_CommCall("{}", nullptr, buf, &zero), SD_ERR_STATUS);
    EXPECT_EQ(DEV_CommCall("{}", nullptr, buf, &negative), SD_ERR_STATUS);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_TRUE(len == 100 && zero == 0 && negative == -5);
    const std::string refused = dir.read("DataLog.log");
    size_t ends = 0;
    for (size_t at = 0; (at = refused.find(",return:-1 \n", at)) != std::string::npos; ++at)
        ++ends;
    EXPECT_EQ(ends, 4u) << refused;
    dir.write("DataLog.log", "");

    // Too small by one byte for the NUL: not delivered; one more: delivered.
    std::string want = okAnswer("Ver3", "", "", "P26A");
    int exact = static_cast<int>(want.size());
    Call c = withReader({{kGetVer, "Ver3\r"}}, "", exact);
    EXPECT_EQ(c.rc, SD_ERR_STATUS);
    EXPECT_TRUE(c.untouched);
    EXPECT_EQ(c.len, exact);
    c = withReader({{kGetVer, "Ver3\r"}}, "", exact + 1);
    EXPECT_EQ(c.rc, SD_OK);
    EXPECT_EQ(c.answer, want);
    EXPECT_EQ(c.len, exact);
}

// The request library

TEST(DevInfoLibrary, MissingOrBrokenLibraryGivesMinus9AndStillClosesTheLine)
{
    TempWorkDir dir;
    dir.traceOn();
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
    std::string raw = dir.read("DataLog.log");
    EXPECT_EQ(maskStamps(raw), "<T>DEV_CommCall at <T>\n"
                               "<T>加载/QOVA/libreqjson.so失败\n"
                               "<T>DEV_CommCall at <T>,return:-9 \n");
    // The call's own stamp follows, the same shape as the line's, read just
    // before it: the same second, or a later one on a busy machine.
    EXPECT_EQ(raw.substr(21, 16), "DEV_CommCall at ");
    EXPECT_EQ(raw.substr(58, 1), "\n");
    const long long callStamp = stampSeconds(raw, 37), lineStamp = stampSeconds(raw, 0);
    EXPECT_NE(callStamp, -1) << raw;
    EXPECT_LE(callStamp, lineStamp) << raw;
    EXPECT_LE(lineStamp - callStamp, 60) << raw;

    c = devCommCall(R"({"RequestPort":"3"})", 49); // one byte short: a failure keeps its code
    EXPECT_EQ(c.rc, SD_ERR_LOADSO);
    EXPECT_TRUE(c.untouched);
    EXPECT_EQ(c.len, 49);

    ASSERT_EQ(mkdir("QOVA", 0755), 0);
    dir.write("QOVA/libreqjson.so", "not a library");
    EXPECT_EQ(devCommCall("{}").answer, kNoLib);
    ASSERT_EQ(unlink("QOVA/libreqjson.so"), 0);
    // The driver itself is a loadable library without ReqFieldGet.
    ASSERT_EQ(symlink(SD_LIB_WITHOUT_REQFIELD, "QOVA/libreqjson.so"), 0);
    c = devCommCall("{}");
    EXPECT_EQ(c.rc, SD_ERR_LOADSO);
    EXPECT_EQ(c.answer, kNoLib);
    EXPECT_EQ(c.out, "");
    EXPECT_NE(maskStamps(dir.read("DataLog.log")).find("<T>加载/QOVA/libreqjson.so 函数失败\n"),
              std::string::npos);
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
