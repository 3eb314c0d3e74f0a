// stripectl as a technician runs it: the program itself, against the
// simulated reader, both started as child processes in the test's own
// working directory (the driver traces there).
#include "emulation.h"
#include "sim_fixture.h"

#include <chrono>

using namespace ctltest;

TEST_F(Stripectl, ReadPrintsTheTracksAsTextOrJsonAndTraces)
{
    ASSERT_TRUE(startSim());
    dir.traceOn();
    RunResult r = ctl({"read", "--timeout", "5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "track2: " + kTrack2 + "\ntrack3: " + kTrack3 + "\n");
    EXPECT_TRUE(contains(r.err, "/dev/" + sim->port() + " (waiting up to 5 s)")) << r.err;
    std::string trace = dir.read("DataLog.log");
    EXPECT_TRUE(contains(trace, "MS_ReadCard start at")) << trace;
    EXPECT_TRUE(contains(trace, "szTrack2data:" + kTrack2)) << trace;
    // It says at start that the trace holds the card, and where.
    const std::string warning = "stripectl: warning: the driver's trace is switched on in " +
                                dir.path() + "/CONFIG.ini: " + dir.path() +
                                "/DataLog.log will hold the full data of every card read or "
                                "written, in plain text; switch it off there (Switch=0) and "
                                "delete the file when done\n";
    EXPECT_EQ(r.err.rfind(warning, 0), 0u) << r.err;

    // A full device path is taken as well; --quiet leaves the warning alone.
    r = ctl({"read", "--port", "/dev/" + sim->port(), "--tracks", "3", "--json", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, warning);
    json answer = json::parse(r.out, nullptr, false);
    EXPECT_EQ(answer, json::parse(R"({"code":0,"port":")" + sim->port() +
                                  R"(","tracks":3,"track3":")" + kTrack3 + "\"}"))
        << r.out;
}

TEST_F(Stripectl, ReadDecodeAddsThePaymentCardFieldsMasked)
{
    ASSERT_TRUE(startSim({"--track2", "4111111111111111=2901201123", "--track3", "12=34"}));
    RunResult r = ctl({"read", "--decode", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "track2: 4111111111111111=2901201123\ntrack3: 12=34\n"
                     "pan_masked: 411111******1111\nexpiry: 2901\nservice_code: 201\n"
                     "luhn_ok: true\n");
    r = ctl({"read", "--decode", "--json", "--tracks", "2"});
    EXPECT_TRUE(contains(r.out, R"("track2_fields":{"pan_masked":"411111******1111",)"
                                R"("expiry":"2901","service_code":"201","luhn_ok":true})"))
        << r.out;

    // The console's default card has no such layout: the tracks alone.
    ASSERT_TRUE(startSim());
    r = ctl({"read", "--decode"});
    EXPECT_EQ(r.out, "track2: " + kTrack2 + "\ntrack3: " + kTrack3 + "\n");
    EXPECT_TRUE(contains(r.err, "nothing to decode")) << r.err;
}

TEST_F(Stripectl, ReadWithoutASwipeRunsIntoTheTimeLimit)
{
    ASSERT_TRUE(startSim({"--swipe-on-key"}));
    // Held to the limit: the driver's own per-byte waits would take seconds
    // more, stripectl cuts the read at its deadline.
    auto start = std::chrono::steady_clock::now();
    RunResult r = ctl({"read", "--timeout", "1"});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_GE(took, std::chrono::seconds(1));
    // (Under an emulator the program's start-up alone takes a second.)
    EXPECT_LT(took, std::chrono::seconds(sdtest::underEmulation() ? 3 : 2));
    EXPECT_TRUE(contains(r.err, "no card was swiped") && contains(r.err, "[code -2]")) << r.err;
}

TEST_F(Stripectl, FailuresExitWithTheirStatusAndSayWhy)
{
    struct Case {
        std::vector<std::string> sim, args;
        int status;
        std::string code, err, out; // parts of standard error and output
    } cases[] = {
        {{"--error-byte", "B"}, {"read", "--timeout", "2"}, 1, "[code 21]",
         "refused the swipe with error \"B\"", ""},
        {{"--status", "rq"}, {"write", "--track2", "1=1"}, 1, "[code -5]", "status \"rq\"", ""},
        // Too long for one write command: refused before anything is sent.
        {{}, {"write", "--track2", std::string(195, '1')}, 1, "[code -7]", "too long", ""},
        {{}, {"read", "--port", "ttyNoSuchReader9", "--json"}, 3, "[code -3]", "cannot be opened",
         R"({"code":-3,"port":"ttyNoSuchReader9","tracks":23,"error":"the port cannot be opened)"},
        {{}, {"info", "--port", "ttyNoSuchReader9", "--json"}, 3, "[code -3]", "cannot be opened",
         R"({"ErrorCode":"-3","ErrorMessage":"opening /dev/ttyNoSuchReader9: the port cannot)"},
        {{}, {"reset", "--port", "ttyNoSuchReader9"}, 3, "[code -3]", "cannot be opened", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        ASSERT_TRUE(startSim(c.sim));
        RunResult r = ctl(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_TRUE(contains(r.err, c.err) && contains(r.err, c.code)) << r.err;
        // A line that cannot be opened points at the set-up check.
        EXPECT_EQ(contains(r.err, "'stripectl doctor' checks"), c.status == 3) << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.out;
        EXPECT_TRUE(c.out.empty() ? r.out.empty() : json::accept(r.out)) << r.out;
    }
}

TEST_F(Stripectl, WriteWithVerifyReadsTheCardBackAndOneTrackLeavesTheOther)
{
    ASSERT_TRUE(startSim());
    RunResult r = ctl({"write", "--track2", "5555=01", "--track3", "7777=02", "--verify"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written and verified: tracks 2 and 3\n");
    EXPECT_TRUE(contains(r.err, "Swipe the card again")) << r.err;

    r = ctl({"write", "--track3", "31=31"});
    EXPECT_EQ(r.out, "written: track 3\n");
    r = ctl({"read"});
    EXPECT_EQ(r.out, "track2: 5555=01\ntrack3: 31=31\n");
}

TEST_F(Stripectl, VerifyCatchesACardThatReadsBackDifferently)
{
    // The reader sends "'" for the field separator, and the driver hands
    // back "=": a "'" written comes back as "=".
    ASSERT_TRUE(startSim());
    RunResult r = ctl({"write", "--track2", "12'34", "--verify", "--quiet"});
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "stripectl write: verification failed: track 2 reads \"12=34\", expected "
                     "\"12'34\"\n");

    dir.write("cards.csv", "56'78,\n9=9,\n");
    r = ctl({"encode", "--quiet", "--keep-going", "cards.csv"});
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.out, "row 1: MISMATCH: track 2 reads \"56=78\", expected \"56'78\"\n"
                     "row 2: ok (track 2, verified)\n"
                     "summary: 1 ok, 1 failed (rows 1)\n");
}

TEST_F(Stripectl, InfoResetAndTheExternalPortSendTheirCommands)
{
    // An older reader: the version settles the model, no identity record.
    ASSERT_TRUE(startSim({"--version", "Ver3.1", "--hex"}));
    RunResult r = ctl({"info", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    json answer = json::parse(r.out, nullptr, false);
    EXPECT_EQ(answer.value("DeviceModel", "?"), "P26A") << r.out;
    EXPECT_EQ(answer.value("DeviceSN", "?"), "") << r.out;

    r = ctl({"reset"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "reset sent to /dev/" + sim->port() + "\n");
    EXPECT_TRUE(sim->waitForLog("1B 30")) << sim->log();

    r = ctl({"read", "--tracks", "2", "--ext-port", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(sim->waitForLog("<- 1B 25 41")) << sim->log();
    std::string log = sim->log();
    EXPECT_LT(log.find("1B 25 41"), log.find("1B 5D")) << log;
    // ESC "Intelligent" was never sent.
    EXPECT_FALSE(contains(log, "49 6E 74 65 6C")) << log;
}

TEST_F(Stripectl, InfoShowsTheIdentityOfANewerReader)
{
    ASSERT_TRUE(startSim({"--version", "Ver5.13.2", "--identity", "01|A7-2506AB"}));
    RunResult r = ctl({"info"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "port:             /dev/" + sim->port() +
                         "\nfirmware version: Ver5.13.2\n"
                         "serial number:    A7-2506AB\n"
                         "production date:  2506\n"
                         "model:            P26B\n"
                         "identity record:  01|A7-2506AB\n");
    r = ctl({"info", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(json::accept(r.out) && contains(r.out, R"({"ErrorCode":"0",)")) << r.out;
    EXPECT_TRUE(contains(r.out, R"("DeviceVersion":"Ver5.13.2","DeviceSN":"A7-2506AB",)"
                                R"("ProductionDate":"2506","DeviceModel":"P26B"})"))
        << r.out;
}

// Ctrl-C cuts the driver's wait short (MS_Cancel): the read ends with the
// cancelled code, traced by the driver, and stripectl exits 130 at once.
TEST_F(Stripectl, ReadInterruptedIsCutShortByTheDriver)
{
    ASSERT_TRUE(startSim({"--swipe-on-key"}));
    dir.traceOn();
    RunResult r = ctl({"read", "--timeout", "20"}, waitingForSwipe());
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_LT(r.afterInterrupt, std::chrono::seconds(5)); // not the 20 s
    EXPECT_TRUE(contains(r.err, "[code -11]")) << r.err;
    std::string trace = dir.read("DataLog.log");
    EXPECT_TRUE(contains(trace, ",return -11")) << trace;
}

TEST_F(Stripectl, EveryCommandHasHelp)
{
    RunResult all = ctl({"--help"});
    EXPECT_EQ(all.status, 0);
    for (const std::string command :
         {"doctor", "ports", "read", "write", "encode", "info", "reset"}) {
        EXPECT_TRUE(contains(all.out, "\n  " + command + " ")) << all.out;
        RunResult r = ctl({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind("Usage: stripectl " + command, 0), 0u) << r.out;
        EXPECT_TRUE(contains(r.out, "--port NAME") && contains(r.out, "Exit status:")) << r.out;
    }
}

TEST_F(Stripectl, BadCommandLinesAndFilesExitWithTheUsageStatus)
{
    // None of these may touch the reader: there is none on the port.
    dir.write("bad.csv", "1,2\n3\n");
    dir.write("good.csv", "1=1,2=2\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> lines = {
        {{}, ""},
        {{"scan"}, "unknown command"},
        {{"read", "--track", "2"}, "unknown option --track"},
        {{"read", "--tracks", "4"}, "--tracks"},
        {{"read", "--baud", "9601"}, "--baud"},
        {{"read", "--timeout", "ten"}, "--timeout"},
        {{"read", "extra"}, "extra"},
        {{"write"}, "--track2"},
        {{"write", "--track2"}, ""},
        {{"encode"}, "CSV file"},
        {{"info", "--tracks", "2"}, "unknown option --tracks"},
        {{"encode", "bad.csv"}, "bad.csv, line 2: expected 2 columns"},
        {{"encode", "missing.csv"}, "cannot open missing.csv"},
        {{"encode", "--start", "2", "good.csv"}, "past the last card row"},
        {{"doctor", "extra"}, "unexpected argument extra"},
        {{"ports", "--probe", "--baud", "9601"}, "--baud"},
        {{"ports"}, "--port goes with --probe"},
    };
    for (auto line : lines) {
        std::string shown;
        for (const std::string &arg : line.first)
            shown += arg + " ";
        if (!line.first.empty())
            line.first.insert(line.first.begin() + 1, {"--port", "ttyNoSuchReader9"});
        RunResult r = ctl(line.first);
        EXPECT_EQ(r.status, 2) << shown << r.err;
        EXPECT_TRUE(!r.err.empty() && contains(r.err, line.second)) << shown << r.err;
        EXPECT_EQ(r.out, "") << shown;
    }
}
