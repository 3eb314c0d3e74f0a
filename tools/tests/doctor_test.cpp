// stripectl doctor: one case for each way a set-up goes wrong.
#include "setup_world.h"

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace ctltest;

namespace {

class Doctor : public TestBedTest {};

TEST_F(Doctor, FindsTheAdapterTheRuleAndTheDaemons)
{
    json check;
    build({});
    doctor({"ftdi"}, {}, "adapter", check);
    expectCheck(check, "failed", "no reader adapter (USB ID 1a86:7523) is plugged in; other USB "
                                 "serial lines: ttyUSB2 (0403:6001, ftdi_sio)",
                "plug the reader in");

    json answer = doctor({"ch341-no-rule"}, {}, "rule", check);
    expectCheck(check, "failed", "60-stripe-reader.rules is not installed",
                "sudo cp packaging/udev/60-stripe-reader.rules /etc/udev/rules.d/");
    EXPECT_EQ(answer["port"], "ttyUSB0");

    World w;
    w.rule = true;
    build(w);
    doctor({"ch341-no-rule"}, {}, "rule", check);
    expectCheck(check, "failed", "not applied to ttyUSB0: ID_MM_DEVICE_IGNORE is not set",
                "sudo udevadm trigger --subsystem-match=tty");

    w.modemManager = true;
    build(w);
    doctor({"ch341-no-rule"}, {}, "modemmanager", check);
    expectCheck(check, "failed", "ModemManager runs (pid 733) and may probe ttyUSB0",
                "sudo systemctl disable --now ModemManager");
    // With the rule applied it is told to leave the line alone.
    doctor({"ch341-rule-applied"}, {}, "modemmanager", check, 1);
    expectCheck(check, "passed", "told to leave ttyUSB0 alone", "");
    // ... and it shows the stable name to configure.
    doctor({"ch341-rule-applied"}, {}, "rule", check, 1);
    expectCheck(check, "passed",
                "stable name /dev/stripe-reader (give \"stripe-reader\" as the port)", "");

    w.modemManager = false;
    w.brltty = true;
    build(w);
    doctor({"ch341-rule-applied"}, {}, "braille", check);
    expectCheck(check, "failed", "brltty claims the USB ID 1a86:7523", "sudo apt remove brltty");
}

TEST_F(Doctor, NamesTheLineItChecks)
{
    json check;
    build({});
    doctor({"two-ch341"}, {}, "adapter", check);
    expectCheck(check, "passed", "is /dev/ttyUSB0; more of them: ttyUSB1 (1a86:7523, ch341) "
                                 "(--port NAME checks another)", "");
    // A link udev made names the same line; the driver gets the kernel name.
    json answer = doctor({"two-ch341"}, {"--port", "ttyCH341USB1"}, "adapter", check);
    expectCheck(check, "passed", "the reader's adapter (1a86:7523, ch341) is /dev/ttyUSB1", "");
    EXPECT_EQ(answer["port"], "ttyUSB1");

    doctor({"ch341-rule-applied", "ftdi"}, {"--port", "/dev/ttyUSB2"}, "adapter", check);
    expectCheck(check, "warning", "on a 0403:6001, ftdi_sio adapter, not the reader's 1a86:7523",
                "stripectl ports");
    doctor({"ch341-rule-applied"}, {"--port", "ttyUSB7"}, "adapter", check);
    expectCheck(check, "failed", "/dev/ttyUSB7 is not a tty here",
                "the reader's adapter is ttyUSB0: stripectl doctor --port ttyUSB0");
}

// The reader's line from the simulated reader: a tty udev knows nothing of.
class DoctorOnSim : public MachineTest {
protected:
    void SetUp() override
    {
        sim = std::make_unique<SimReader>(std::vector<std::string>{});
        ASSERT_FALSE(sim->port().empty());
        ASSERT_EQ(stat(("/dev/" + sim->port()).c_str(), &node), 0);
        ASSERT_EQ(chmod(("/dev/" + sim->port()).c_str(), 0660), 0);
    }
    // Someone else than the line's owner, whose group file names the line's
    // group "dialout".
    World stranger(const std::string &members, const std::string &loginGroups)
    {
        World w;
        w.rule = true;
        w.uid = node.st_uid + 1;
        w.group = "dialout:x:" + std::to_string(node.st_gid) + ":" + members;
        w.loginGroups = loginGroups;
        return w;
    }
    std::unique_ptr<SimReader> sim;
    struct stat node = {};
};

TEST_F(DoctorOnSim, AccessWithoutTheGroupOrBeforeLoggingInAgain)
{
    json check;
    build(stranger("", ""));
    doctor({}, {"--port", sim->port()}, "access", check);
    expectCheck(check, "failed", "operator may not open /dev/" + sim->port() +
                                     " read-write (owner ",
                "sudo adduser operator dialout, then log out and in again");
    EXPECT_TRUE(contains(check.value("text", ""), ", group dialout, mode 0660); operator is not "
                                                  "in dialout")) << check.dump();

    build(stranger("operator", ""));
    json answer = doctor({}, {"--port", sim->port()}, "access", check);
    expectCheck(check, "failed", "operator is in dialout, but this login began before",
                "log out and in again");
    // Nothing is sent to a line this user may not open.
    EXPECT_EQ(answer["checks"][6].value("text", ""),
              "not asked: this user may not open the line (see \"access\")");

    build(stranger("operator", std::to_string(node.st_gid)));
    doctor({}, {"--port", sim->port()}, "access", check, 0);
    expectCheck(check, "passed", "operator may open /dev/" + sim->port() + " read-write", "");
}

TEST_F(DoctorOnSim, AHeldLineGetsNothingSent)
{
    World w;
    w.rule = true;
    w.holderLink = "/dev/" + sim->port();
    build(w);
    json check;
    json answer = doctor({}, {"--port", sim->port()}, "holders", check);
    expectCheck(check, "failed", "/dev/" + sim->port() + " is in use by cardtest (pid 812)",
                "kill 812");
    EXPECT_EQ(answer["checks"][6].value("result", ""), "warning");
    usleep(300000);
    EXPECT_FALSE(contains(sim->log(), "GETVER")) << sim->log();
}

// As a new user tries it: readersim, then doctor on its line, with this
// machine's own /proc (readersim keeps its end of the line open) and no
// udev rule. A second program on the line is still named, by its open tty
// or by the lock, and nothing is sent then.
TEST_F(DoctorOnSim, PassesOnTheSimulatedReaderAndNamesASecondHolder)
{
    World w;
    w.realProc = true;
    build(w);
    RunResult r = ctl({}, {"doctor", "--port", sim->port()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string node = "/dev/" + sim->port();
    for (const char *check : {"rule", "modemmanager"})
        EXPECT_TRUE(contains(r.out, std::string("[passed]  ") + check + ": does not apply: " +
                                        node + " is a pseudo-terminal"))
            << r.out;
    EXPECT_TRUE(contains(r.out, "[passed]  holders: no other program holds " + node)) << r.out;
    EXPECT_TRUE(contains(r.out, "[passed]  reader: firmware Ver5.13.2 (")) << r.out;
    EXPECT_TRUE(contains(r.out, ", identity 01|A7-2506AB (")) << r.out;

    // The holder says when it holds the line (and the lock); it is killed
    // long before its sleep ends.
    for (const char *hold : {"", "flock 3; "}) {
        SCOPED_TRACE(hold);
        remove("holder.ready");
        pid_t holder = spawn({"/bin/sh", "-c", "exec 3<>" + node + "; " + hold +
                                                   ": >holder.ready; exec sleep 60"},
                             "holder");
        ASSERT_TRUE(waitForFile("holder.ready"));
        std::string before = sim->log();
        json check;
        doctor({}, {"--port", sim->port()}, "holders", check);
        expectCheck(check, "failed", node + " is in use by ", "kill ");
        EXPECT_EQ(sim->log(), before); // nothing sent to a held line
        kill(holder, SIGKILL);
        finish(holder, "holder");
    }
}

TEST_F(DoctorOnSim, TheReaderAnswersAtTheConfiguredSpeed)
{
    World w;
    w.rule = true;
    build(w);
    dir.traceOn();
    dir.write("DataLog.log", "old\n");
    chmod("DataLog.log", 0644);
    RunResult r = ctl({}, {"doctor", "--port", sim->port()});
    EXPECT_TRUE(contains(r.out, "[passed]  reader: firmware Ver5.13.2 (")) << r.out;
    EXPECT_TRUE(contains(r.out, ", identity 01|A7-2506AB (")) << r.out;
    EXPECT_TRUE(contains(r.out, " at 9600 baud\n")) << r.out;
    // A switched-on trace is a file of card data: a failure, with the fix.
    const std::string log = dir.path() + "/DataLog.log";
    EXPECT_NE(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "[failed]  trace: tracing is on: " + log +
                                    " gets the full data of every card read or written, in "
                                    "plain text\n          fix: switch it off (Switch=0 under "
                                    "[DEVTRACE] in " + dir.path() + "/CONFIG.ini), then delete "
                                    "the trace: rm " + log))
        << r.out;
    EXPECT_FALSE(contains(sim->log(), "write")) << sim->log();

    // Switched off, a trace left behind still fails.
    dir.write("CONFIG.ini", "[DEVTRACE]\nSwitch=0\n");
    json check;
    doctor({}, {"--port", sim->port()}, "trace", check);
    expectCheck(check, "failed", "tracing is off, but trace files with card data in plain text "
                                 "are left: " + log, "delete them once no fault hunt needs them: rm " + log);
    std::remove("DataLog.log");
    doctor({}, {"--port", sim->port()}, "trace", check, 0);
    expectCheck(check, "passed", "tracing is off (CONFIG.ini switching it on in " + dir.path() +
                                     "), no DataLog.log left in " + dir.path(), "");
}

TEST_F(DoctorOnSim, ASilentReaderAndABadCommandLine)
{
    sim = std::make_unique<SimReader>(std::vector<std::string>{"--silent"});
    World w;
    w.uid = getuid();
    build(w);
    json check;
    doctor({}, {"--port", sim->port()}, "reader", check);
    expectCheck(check, "failed", "no answer to the version request at 9600 baud",
                "check that the reader has power");

    EXPECT_EQ(ctl({}, {"doctor", "--bogus"}).status, 2);
    EXPECT_EQ(ctl({}, {"doctor", "extra"}).status, 2);
    EXPECT_EQ(ctl({}, {"ports", "--port", "ttyUSB0"}).status, 2); // --port needs --probe
}

} // namespace
