// stripectl ports: the adapters udev knows, and asking their readers.
#include "setup_world.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace ctltest;

namespace {

class Ports : public TestBedTest {};

TEST_F(Ports, ListTheAdaptersAndMarkTheReaders)
{
    build({});
    RunResult r = ctl({"two-ch341", "ftdi"}, {"ports"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "* ttyUSB0  1a86:7523  ch341  - / USB Serial  serial -\n"
                                "    by-id: /dev/serial/by-id/usb-1a86_USB_Serial-if00-port0\n"
                                "    link:  /dev/ttyCH341USB0\n"
                                "    ModemManager: ignores it (ID_MM_DEVICE_IGNORE=1)\n"
                                "* ttyUSB1  1a86:7523"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "\n  ttyUSB2  0403:6001  ftdi_sio  FTDI / FT232R USB UART  "
                                "serial A10K1234\n"))
        << r.out;

    r = ctl({"ch341-no-rule", "ftdi"}, {"ports", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    json answer = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << r.out << r.err;
    json ports = answer.value("ports", json::array());
    ASSERT_EQ(ports.size(), 2u) << r.out;
    EXPECT_EQ(ports[0]["name"], "ttyUSB0");
    EXPECT_EQ(ports[0]["usb_id"], "1a86:7523");
    EXPECT_EQ(ports[0]["reader_adapter"], true);
    EXPECT_EQ(ports[0]["ch341_link"], "");
    EXPECT_EQ(ports[0]["mm_device_ignore"], false);
    EXPECT_EQ(ports[1]["driver"], "ftdi_sio");
    EXPECT_EQ(ports[1]["serial"], "A10K1234");
    EXPECT_EQ(ports[1]["reader_adapter"], false);
    EXPECT_FALSE(ports[1].contains("probe"));

    // With the rule applied: the stable name, in both forms.
    r = ctl({"ch341-rule-applied"}, {"ports"});
    EXPECT_TRUE(contains(r.out, "    stable: /dev/stripe-reader (the name to configure")) << r.out;
    r = ctl({"ch341-rule-applied"}, {"ports", "--json"});
    answer = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << r.out << r.err;
    EXPECT_EQ(answer["ports"][0]["stable_link"], "/dev/stripe-reader");
}

TEST_F(Ports, ProbeAsksFreeLinesAndLeavesHeldOnesAlone)
{
    // Inside the test bed a process holds the adapter's line: not asked.
    World w;
    w.realProc = true;
    build(w);
    std::vector<std::string> argv = {UMOCKDEV_RUN, "-d", kDevices + "/ch341-rule-applied.umockdev",
                                     "--", "/bin/sh", "-c",
                                     // the probe once sleep holds the line
                                     "sleep 60 3<>/dev/ttyUSB0 & h=$!; for i in $(seq 600); do "
                                     "[ \"$(cat /proc/$h/comm 2>/dev/null)\" = sleep ] && break; sleep 0.05; "
                                     "done; \"$0\" ports --probe; s=$?; kill $h; exit $s",
                                     STRIPECTL_PATH};
    RunResult r = finish(spawn(argv, "held", environment()), "held");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "    probe: not asked, in use by sleep (pid ")) << r.out;

    // The simulated reader's line, named: its version and round trip.
    SimReader sim({});
    ASSERT_FALSE(sim.port().empty());
    World real;
    real.realProc = true; // readersim keeps its end of the line open: no holder
    build(real);
    r = ctl({}, {"ports", "--probe", "--port", sim.port(), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    json listed = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(listed.is_object() && listed["ports"].size() == 1) << r.out << r.err;
    json probe = listed["ports"][0]["probe"];
    EXPECT_EQ(probe.value("firmware", ""), "Ver5.13.2") << r.out;
    EXPECT_TRUE(probe.value("round_trip_ms", -1) >= 0) << r.out;
}

} // namespace
