// A reader that goes away mid-wait: the slave then reads as end of file and
// writes fail, while select keeps reporting the line ready. Every primitive
// must still end at its limit with its timeout code, sleeping rather than
// spinning (the stripe protocol loops around RecvByte1 byte by byte).
#include "link_support.h"

#include <unistd.h>

#include <functional>

using namespace sdtest;

namespace {

struct HungCase {
    const char *name;
    std::function<int()> call;
    int expected;
    double atLeast, atMost; // seconds
    // Gone before the call: RecvData polls a live line by design, and a send
    // is over at once while the reader is there.
    bool goneBefore;
};

void PrintTo(const HungCase &c, std::ostream *os)
{
    *os << c.name;
}

char g_buf[SD_RECV_EX2_MAX];
int g_len;
unsigned char g_byte;

HungCase cases[] = {
    {"RecvByte", [] { return RecvByte(&g_byte, 1); }, SD_ERR_TIMEOUT, 0.95, 1.4, false},
    {"RecvDataEx", [] { return RecvDataEx(g_buf, &g_len, 1); }, SD_ERR_TIMEOUT, 0.95, 1.4, false},
    {"RecvDataEx2", [] { return RecvDataEx2(g_buf, 8, 1); }, SD_ERR_TIMEOUT, 0.95, 1.4, false},
    // Whole-second wall clock: more than 1 s, at most 2.
    {"RecvData", [] { return RecvData(g_buf, &g_len, 1); }, SD_ERR_TIMEOUT, 1.0, 2.2, true},
    {"SendDataEx", [] { return SendDataEx(4, "\x1b%I4"); }, SD_ERR_WRITE, 2.95, 3.4, true},
};

class HungUpLine : public OpenLine, public ::testing::WithParamInterface<HungCase> {};

} // namespace

TEST_P(HungUpLine, EndsAtItsLimitWithoutSpinning)
{
    if (std::string(GetParam().name) != "RecvByte")
        peer.send("pa"); // part of a reply, then the reader vanishes
    std::thread vanish([this] {
        if (!GetParam().goneBefore)
            usleep(200 * 1000);
        peer.hangUp();
    });
    if (GetParam().goneBefore)
        vanish.join();
    const double cpu = cpuSeconds();
    Stopwatch clock;
    EXPECT_EQ(GetParam().call(), GetParam().expected);
    const double took = clock.seconds();
    if (vanish.joinable())
        vanish.join();
    EXPECT_GE(took, GetParam().atLeast);
    EXPECT_LE(took, GetParam().atMost);
    EXPECT_LT(cpuSeconds() - cpu, 0.2) << "the wait burned the processor";
}

INSTANTIATE_TEST_SUITE_P(Primitives, HungUpLine, ::testing::ValuesIn(cases),
                         [](const auto &info) { return std::string(info.param.name); });

// select() itself failing (the descriptor went away under the library) is
// slept out the same way.
TEST(HungUp, FailingSelectIsSleptOut)
{
    PtyPeer peer;
    const int fd = TermOpen(peer.devicePath().c_str(), 9600);
    ASSERT_GT(fd, 0);
    close(fd);
    const double cpu = cpuSeconds();
    Stopwatch clock;
    unsigned char b = 0;
    EXPECT_EQ(RecvByte(&b, 1), SD_ERR_TIMEOUT);
    EXPECT_GE(clock.seconds(), 0.95);
    EXPECT_LT(clock.seconds(), 1.4);
    EXPECT_LT(cpuSeconds() - cpu, 0.2);
    // Put a terminal back under the recorded number, so that it closes.
    ASSERT_EQ(dup2(peer.slaveFd(), fd), fd);
    EXPECT_EQ(TermClose(), SD_OK);
}

// A reader that vanished leaves a line whose settings cannot be restored;
// its descriptor must still be given back, or every later transaction
// against the unplugged adapter would leak one.
TEST(HungLine, CloseReleasesTheDescriptorOfAVanishedLine)
{
    PtyPeer peer;
    const int before = openDescriptorCount();
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    peer.closeSlave();
    peer.hangUp();
    EXPECT_EQ(CloseCOM(), SD_ERR_PORT);
    EXPECT_EQ(openDescriptorCount(), before - 2); // the peer's two are gone too
    EXPECT_EQ(CloseCOM(), SD_OK);                 // nothing left to close
}
