// The custody helpers: the trace setting read the driver's way (checked
// against what the driver itself then writes), the warning, the wipes and
// the JSON printer, and refusing core dumps.
#include "json.h"
#include "process.h"
#include "trace.h"
#include "wipe.h"

#include "stripedrv.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// A fresh folder that is the working directory for the test's length.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/custody-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override
    {
        std::remove(SD_CONFIG_FILE);
        std::remove(SD_TRACE_FILE);
        EXPECT_EQ(chdir(previous_), 0);
        rmdir(dir_.c_str());
    }
    void writeConfig(const std::string &text)
    {
        std::ofstream(SD_CONFIG_FILE, std::ios::binary) << text;
    }
    static bool driverTraces()
    {
        std::remove(SD_TRACE_FILE);
        WriteLog("probe\n");
        return access(SD_TRACE_FILE, F_OK) == 0;
    }
    std::string dir_;
    char previous_[4096] = "";
};

TEST_F(InFolder, TheTraceSettingIsWhatTheDriverDoes)
{
    for (const char *config : {
             "[DEVTRACE]\nSwitch=1\n", "[DEVTRACE]\nSwitch=0\n", "[DEVTRACE]\nSwitch= 1\n",
             "[DEVTRACE]\nSwitch=on\n", "[DEVTRACE]\nNoSwitch=0\nSwitch=1\n",
             "[DEVTRACE]\n#Switch=1\n", "[DEVTRACE]\nSwitch=1", "[OTHER]\nSwitch=1\n",
             "[OTHER]\n[DEVTRACE]\n[LATER]\nSwitch=2\n", "[DEVTRACE]\r\nSwitch=1\r\n", ""}) {
        SCOPED_TRACE(config);
        writeConfig(config);
        const sdcustody::TraceSetting trace = sdcustody::traceIn(dir_);
        EXPECT_EQ(trace.on, driverTraces());
    }
    std::remove(SD_CONFIG_FILE);
    EXPECT_FALSE(sdcustody::traceIn(dir_).on);
    EXPECT_FALSE(driverTraces());
}

TEST_F(InFolder, TheWarningNamesTheFileAndWhatItHolds)
{
    writeConfig("[DEVTRACE]\nSwitch=0\n");
    EXPECT_EQ(sdcustody::traceWarningHere(), "");
    writeConfig("[DEVTRACE]\nSwitch=1\n");
    const sdcustody::TraceSetting trace = sdcustody::traceIn(sdcustody::workingDirectory());
    EXPECT_EQ(trace.log, dir_ + "/DataLog.log");
    EXPECT_EQ(trace.config, dir_ + "/CONFIG.ini");
    const std::string warning = sdcustody::traceWarningHere();
    EXPECT_NE(warning.find(dir_ + "/DataLog.log will hold the full data of every card"),
              std::string::npos)
        << warning;
    // A lookup that the console resolved from the library it loaded.
    EXPECT_TRUE(sdcustody::traceIn(dir_, X_INIKeyString).on);
    EXPECT_FALSE(sdcustody::traceIn(dir_, nullptr).on);
}

TEST(TraceFolders, NameTheServiceAndTheWorkingDirectoryOnce)
{
    setenv("STATE_DIRECTORY", "/srv/state:/other", 1);
    setenv("XDG_STATE_HOME", "/home/kiosk/.state", 1);
    const std::vector<std::string> folders = sdcustody::traceFolders();
    unsetenv("STATE_DIRECTORY");
    unsetenv("XDG_STATE_HOME");
    ASSERT_GE(folders.size(), 4u);
    EXPECT_EQ(folders[0], sdcustody::workingDirectory());
    EXPECT_EQ(folders[1], "/srv/state");
    EXPECT_EQ(folders[2], "/home/kiosk/.state/stripedrvd");
    EXPECT_EQ(folders[3], "/var/lib/stripedrvd");
}

bool allZero(const char *data, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        if (data[i] != '\0')
            return false;
    return true;
}

TEST(Wipe, ClearsTheWholeRoomOfAString)
{
    std::string text = "4917730582649030=29121015550000012";
    text.resize(5); // the tail is still in the block
    const char *block = text.data();
    const size_t room = text.capacity();
    sdcustody::wipe(text);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(text.data(), block);
    EXPECT_TRUE(allZero(block, room));

    std::string a = "4917730582649030=2912", b = "996174305921=8800000";
    const char *blockA = a.data(), *blockB = b.data();
    {
        sdcustody::WipeOnExit wipeBoth(a, b);
    }
    EXPECT_TRUE(allZero(blockA, a.capacity()));
    EXPECT_TRUE(allZero(blockB, b.capacity()));
}

TEST(Wipe, EveryStringOfAJsonDocument)
{
    nlohmann::ordered_json answer = {{"id", "req-1"},
                                     {"track2", "4917730582649030=29121015550000012"},
                                     {"fields", {{"pan", "4917730582649030"}, {"n", 3}}},
                                     {"list", nlohmann::ordered_json::array({"4917730582649030", 1})}};
    const char *track2 = answer["track2"].get_ref<const std::string &>().data();
    sdcustody::wipeJson(answer);
    EXPECT_TRUE(allZero(track2, 16));
    EXPECT_EQ(answer.dump(), R"({"id":"","track2":"","fields":{"pan":"","n":3},"list":["",1]})");
}

TEST(DumpJson, PrintsWhatDumpPrints)
{
    nlohmann::ordered_json value = {{"id", 7}, {"ok", true}, {"odd", std::string("a\xff\x01z")},
                                    {"track2", std::string(300, '5')}};
    const std::string expected =
        value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    EXPECT_EQ(sdcustody::dumpJson(value), expected);
    EXPECT_EQ(sdcustody::dumpJson(value, 16), expected); // outgrows its room: still whole
    const sdcustody::WipedString wiped =
        sdcustody::dumpJson<nlohmann::ordered_json, sdcustody::WipedString>(value);
    EXPECT_EQ(std::string(wiped.begin(), wiped.end()), expected);
}

TEST(RefuseCoreDumps, LeavesTheProcessNonDumpableWithNoCoreLimit)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const struct rlimit any = {RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_CORE, &any); // may fail unprivileged: the soft limit is what counts
        if (!sdcustody::refuseCoreDumps().empty())
            _exit(1);
        struct rlimit now {};
        getrlimit(RLIMIT_CORE, &now);
        _exit(prctl(PR_GET_DUMPABLE) == 0 && now.rlim_cur == 0 && now.rlim_max == 0 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
