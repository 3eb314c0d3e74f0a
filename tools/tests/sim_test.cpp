// stripectl as a technician runs it, against the simulated reader.
#include "child_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using namespace tooltest;
using nlohmann::json;

namespace {

const std::string kDefaultTrack2 = "222233021234567654321=44212038899913311";
const std::string kDefaultTrack3 =
    "996888886543215533350201=123456700001003388999010000049120=0000000000=33333";

// Runs stripectl in a directory of its own (the driver may write its trace
// there), with the port of `sim` unless the arguments name one.
class Stripectl : public ::testing::Test {
protected:
    RunResult ctl(std::vector<std::string> args, const SimReader *sim = nullptr)
    {
        if (sim)
            args.insert(args.begin() + 1, {"--port", sim->port()});
        args.insert(args.begin(), STRIPECTL_PATH);
        RunResult result = run(args, dir.path());
        // In a sanitizer build a fault in the tool shows here, whatever the
        // exit status the case expects.
        EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("runtime error:"), std::string::npos) << result.err;
        return result;
    }
    static std::vector<std::string> simOptions(std::vector<std::string> extra = {})
    {
        extra.insert(extra.begin(), "--no-pacing");
        return extra;
    }

    TempDir dir;
};

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

#define ASSERT_SIM(sim) ASSERT_TRUE((sim).started()) << "readersim did not start"

} // namespace

// ------------------------------------------------------------ read

TEST_F(Stripectl, ReadPrintsBothTracksAndSaysItWaits)
{
    SimReader sim(simOptions());
    ASSERT_SIM(sim);
    RunResult r = ctl({"read", "--timeout", "5"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "track2: " + kDefaultTrack2 + "\ntrack3: " + kDefaultTrack3 + "\n");
    EXPECT_TRUE(contains(r.err, "/dev/" + sim.port())) << r.err;
    EXPECT_TRUE(contains(r.err, "waiting up to 5 s")) << r.err;
}

TEST_F(Stripectl, ReadJsonOfOneTrackFromAFullDevicePath)
{
    SimReader sim(simOptions({"--track3", "1234=5678"}));
    ASSERT_SIM(sim);
    RunResult r = ctl({"read", "--port", "/dev/" + sim.port(), "--tracks", "3", "--json",
                       "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    json answer = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << r.out;
    EXPECT_EQ(answer["code"], 0);
    EXPECT_EQ(answer["tracks"], 3);
    EXPECT_EQ(answer["track3"], "1234=5678");
    EXPECT_FALSE(answer.contains("track2"));
}

TEST_F(Stripectl, ReadRefusedByTheReaderFails)
{
    SimReader sim(simOptions({"--error-byte", "B"}));
    ASSERT_SIM(sim);
    RunResult r = ctl({"read", "--timeout", "2"}, &sim);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, "refused the swipe with error \"B\"")) << r.err;
}

TEST_F(Stripectl, ReadFromAMissingPortExitsWithThePortStatus)
{
    RunResult r = ctl({"read", "--port", "ttyNoSuchReader9", "--json"});
    EXPECT_EQ(r.status, 3);
    json answer = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << r.out;
    EXPECT_EQ(answer["code"], -3);
    EXPECT_TRUE(contains(answer["error"].get<std::string>(), "cannot be opened"));
    EXPECT_TRUE(contains(r.err, "cannot be opened")) << r.err;
}

TEST_F(Stripectl, ReadWithoutASwipeRunsIntoTheTimeLimit)
{
    SimReader sim(simOptions({"--swipe-on-key"}));
    ASSERT_SIM(sim);
    RunResult r = ctl({"read", "--timeout", "1"}, &sim);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(contains(r.err, "no card was swiped")) << r.err;
}

TEST_F(Stripectl, ReadTracesIntoTheWorkingDirectoryWhenSwitchedOn)
{
    SimReader sim(simOptions());
    ASSERT_SIM(sim);
    dir.write("CONFIG.ini", "[DEVTRACE]\nSwitch=1\n");
    RunResult r = ctl({"read", "--tracks", "2"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string trace = dir.read("DataLog.log");
    EXPECT_TRUE(contains(trace, "MS_ReadCard start at")) << trace;
    EXPECT_TRUE(contains(trace, "szTrack2data:" + kDefaultTrack2)) << trace;
}

// ------------------------------------------------------------ write

TEST_F(Stripectl, WriteWithVerifyReadsTheCardBack)
{
    SimReader sim(simOptions());
    ASSERT_SIM(sim);
    RunResult r = ctl({"write", "--track2", "5555=01", "--track3", "7777=02", "--verify"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written and verified: tracks 2 and 3\n");
    EXPECT_TRUE(contains(r.err, "Swipe the card again")) << r.err;

    r = ctl({"read"}, &sim);
    EXPECT_EQ(r.out, "track2: 5555=01\ntrack3: 7777=02\n");
}

TEST_F(Stripectl, VerifyCatchesACardThatReadsBackDifferently)
{
    // The reader sends "'" for the field separator, and the driver hands
    // back "=": a "'" written comes back as "=".
    SimReader sim(simOptions());
    ASSERT_SIM(sim);
    RunResult r = ctl({"write", "--track2", "12'34", "--verify", "--quiet"}, &sim);
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, "verification failed: track 2 reads \"12=34\", expected \"12'34\""))
        << r.err;

    dir.write("cards.csv", "56'78,\n9=9,\n");
    r = ctl({"encode", "--quiet", "--keep-going", "cards.csv"}, &sim);
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.out, "row 1: MISMATCH: track 2 reads \"56=78\", expected \"56'78\"\n"
                     "row 2: ok (track 2, verified)\n"
                     "summary: 1 ok, 1 failed (rows 1)\n");
}

TEST_F(Stripectl, ExternalPortIsSelectedBeforeTheReadWhenAsked)
{
    SimReader sim(simOptions({"--hex"}));
    ASSERT_SIM(sim);
    RunResult r = ctl({"read", "--tracks", "2", "--ext-port", "--quiet"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(sim.waitForStderr("<- 1B 25 41")) << sim.stderrText();
    std::string log = sim.stderrText();
    EXPECT_LT(log.find("1B 25 41"), log.find("1B 5D")) << log;
}

TEST_F(Stripectl, WriteOfOneTrackLeavesTheOther)
{
    SimReader sim(simOptions());
    ASSERT_SIM(sim);
    RunResult r = ctl({"write", "--track3", "31=31"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written: track 3\n");
    r = ctl({"read"}, &sim);
    EXPECT_EQ(r.out, "track2: " + kDefaultTrack2 + "\ntrack3: 31=31\n");
}

TEST_F(Stripectl, WriteFailuresAreExplained)
{
    SimReader sim(simOptions({"--status", "rq"}));
    ASSERT_SIM(sim);
    RunResult r = ctl({"write", "--track2", "1=1"}, &sim);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "status \"rq\"")) << r.err;
    EXPECT_TRUE(contains(r.err, "[code -5]")) << r.err;

    // Too long for one write command: refused before anything is sent.
    r = ctl({"write", "--track2", std::string(195, '1')}, &sim);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "too long")) << r.err;
    EXPECT_TRUE(contains(r.err, "[code -7]")) << r.err;
}

// ------------------------------------------------------------ encode

TEST_F(Stripectl, EncodeWritesAndChecksEveryCard)
{
    SimReader sim(simOptions());
    ASSERT_SIM(sim);
    dir.write("cards.csv", "track2,track3\n1001=01,3001=01\n1002=02,\n,3003=03\n");
    RunResult r = ctl({"encode", "--quiet", dir.file("cards.csv")}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "row 1: ok (tracks 2 and 3, verified)\n"
                     "row 2: ok (track 2, verified)\n"
                     "row 3: ok (track 3, verified)\n"
                     "summary: 3 ok, 0 failed\n");
    r = ctl({"read"}, &sim);
    EXPECT_EQ(r.out, "track2: 1002=02\ntrack3: 3003=03\n");
}

TEST_F(Stripectl, EncodeStopsAtAFailedCardAndSaysHowToResume)
{
    SimReader sim(simOptions());
    ASSERT_SIM(sim);
    dir.write("cards.csv", "1=1,\n" + std::string(195, '2') + ",\n3=3,\n");
    RunResult r = ctl({"encode", "--quiet", "cards.csv"}, &sim);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.out, "row 1: ok")) << r.out;
    EXPECT_TRUE(contains(r.out, "row 2: FAILED writing track 2")) << r.out;
    EXPECT_FALSE(contains(r.out, "row 3")) << r.out;
    EXPECT_TRUE(contains(r.out, "summary: 1 ok, 1 failed (rows 2); stopped at row 2, 1 not tried"))
        << r.out;
    EXPECT_TRUE(contains(r.err, "--start 2")) << r.err;
    EXPECT_TRUE(contains(r.err, "--start 3")) << r.err;

    r = ctl({"encode", "--quiet", "--keep-going", "cards.csv"}, &sim);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "row 3: ok")) << r.out;
    EXPECT_TRUE(contains(r.out, "summary: 2 ok, 1 failed (rows 2)\n")) << r.out;

    r = ctl({"encode", "--quiet", "--start", "3", "--no-verify", "cards.csv"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "row 3: ok (track 2)\nsummary: 1 ok, 0 failed\n");
}

TEST_F(Stripectl, EncodeInterruptedSaysWhereToResume)
{
    // The operator gives up waiting for the second card's swipe.
    SimReader sim(simOptions({"--swipe-on-key"}));
    ASSERT_SIM(sim);
    dir.write("cards.csv", "1=1,\n2=2,\n");
    RunResult r = run({STRIPECTL_PATH, "encode", "--port", sim.port(), "--start", "2",
                       "cards.csv"},
                      dir.path(), 90000, 500);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_TRUE(contains(r.err, "Interrupted at row 2; to go on, run again with --start 2."))
        << r.err;
    EXPECT_LT(r.seconds, 5);
}

TEST_F(Stripectl, EncodeRefusesBadFilesBeforeTouchingTheReader)
{
    dir.write("bad.csv", "1,2\n3\n");
    dir.write("good.csv", "1=1,2=2\n");
    RunResult r = ctl({"encode", "--port", "ttyNoSuchReader9", "bad.csv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "line 2: expected 2 columns")) << r.err;

    r = ctl({"encode", "--port", "ttyNoSuchReader9", "missing.csv"});
    EXPECT_EQ(r.status, 2);
    r = ctl({"encode", "--port", "ttyNoSuchReader9", "--start", "2", "good.csv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "past the last card row")) << r.err;

    r = ctl({"encode", "--port", "ttyNoSuchReader9", "--dry-run", "good.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "row 1 (line 1): tracks 2 and 3: track2 \"1=1\" track3 \"2=2\"\n");
}

// ------------------------------------------------------------ info, reset

TEST_F(Stripectl, InfoShowsTheIdentityOfANewerReader)
{
    SimReader sim(simOptions({"--version", "Ver5.13.2", "--identity", "01|A7-2506AB"}));
    ASSERT_SIM(sim);
    RunResult r = ctl({"info"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "firmware version: Ver5.13.2\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "serial number:    A7-2506AB\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "production date:  2506\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "model:            P26B\n")) << r.out;

    r = ctl({"info", "--json"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    json answer = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << r.out;
    EXPECT_EQ(answer["ErrorCode"], "0");
    EXPECT_EQ(answer["DeviceVersion"], "Ver5.13.2");
    EXPECT_EQ(answer["DeviceSN"], "A7-2506AB");
    EXPECT_EQ(answer["ProductionDate"], "2506");
    EXPECT_EQ(answer["DeviceModel"], "P26B");
}

TEST_F(Stripectl, InfoOfAnOlderReaderNeedsNoIdentityRecord)
{
    SimReader sim(simOptions({"--version", "Ver3.1", "--hex"}));
    ASSERT_SIM(sim);
    RunResult r = ctl({"info", "--json"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    json answer = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << r.out;
    EXPECT_EQ(answer["DeviceModel"], "P26A");
    EXPECT_EQ(answer["DeviceSN"], "");
    // ESC "Intelligent" was never sent.
    EXPECT_FALSE(contains(sim.stderrText(), "49 6E 74 65 6C")) << sim.stderrText();
}

TEST_F(Stripectl, InfoAndResetReportAMissingPort)
{
    RunResult r = ctl({"info", "--port", "ttyNoSuchReader9", "--json"});
    EXPECT_EQ(r.status, 3);
    json answer = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << r.out;
    EXPECT_EQ(answer["ErrorCode"], "-3");

    r = ctl({"reset", "--port", "ttyNoSuchReader9"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "cannot be opened")) << r.err;
}

TEST_F(Stripectl, ResetSendsTheResetCommand)
{
    SimReader sim(simOptions({"--hex"}));
    ASSERT_SIM(sim);
    RunResult r = ctl({"reset"}, &sim);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "reset sent to /dev/" + sim.port() + "\n");
    EXPECT_TRUE(sim.waitForStderr("1B 30")) << sim.stderrText();
}

// ------------------------------------------------------------ command line

TEST_F(Stripectl, EveryCommandHasHelp)
{
    for (const char *command : {"read", "write", "encode", "info", "reset"}) {
        RunResult r = ctl({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("Usage: stripectl ") + command, 0), 0u) << r.out;
        EXPECT_TRUE(contains(r.out, "--port NAME")) << command;
        EXPECT_TRUE(contains(r.out, "Exit status:")) << command;
    }
    RunResult r = ctl({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *command : {"read", "write", "encode", "info", "reset"})
        EXPECT_TRUE(contains(r.out, std::string("  ") + command)) << r.out;
}

TEST_F(Stripectl, BadCommandLinesExitWithTheUsageStatus)
{
    std::vector<std::vector<std::string>> lines = {
        {},
        {"scan"},
        {"read", "--track", "2"},
        {"read", "--tracks", "4"},
        {"read", "--baud", "9601"},
        {"read", "--timeout", "ten"},
        {"read", "extra"},
        {"write"},
        {"write", "--track2"},
        {"encode"},
        {"info", "--tracks", "2"},
    };
    for (const std::vector<std::string> &line : lines) {
        RunResult r = ctl(line);
        std::string shown;
        for (const std::string &arg : line)
            shown += arg + " ";
        EXPECT_EQ(r.status, 2) << shown << r.err;
        EXPECT_FALSE(r.err.empty()) << shown;
        EXPECT_EQ(r.out, "") << shown;
    }
}
