// stripectl against a reader that another program holds: the driver's -12
// after the limit, with the holder named from what the system tells.
#include "child.h"
#include "stripedrv.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

using namespace ctltest;

TEST(StripectlBusy, NamesTheProgramThatHoldsTheReader)
{
    SimReader sim({});
    ASSERT_FALSE(sim.port().empty());
    // This test program holds the line, as another kiosk program would.
    ASSERT_GT(TermOpen(("/dev/" + sim.port()).c_str(), 9600), 2);
    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);

    RunResult r = finish(
        spawn({STRIPECTL_PATH, "read", "--port", sim.port(), "--timeout", "1"}, "stripectl"),
        "stripectl");
    TermClose();
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(contains(r.err, "the reader is in use by another program: " + comm + " (pid " +
                                    std::to_string(getpid()) + ", locked) [code -12]"))
        << r.err;
}
