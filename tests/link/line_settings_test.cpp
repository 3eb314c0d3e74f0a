// The line settings OpenCOM applies and CloseCOM restores.
#include "link_support.h"

#include <sys/ioctl.h>

#include <cstring>

using namespace sdtest;

namespace {

struct termio deviceSettings(const PtyPeer &peer)
{
    struct termio t;
    memset(&t, 0, sizeof t);
    EXPECT_EQ(ioctl(peer.slaveFd(), TCGETA, &t), 0);
    return t;
}

bool sameSettings(const struct termio &a, const struct termio &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// Gives the device settings a raw open must change or keep: input and
// output processing, parity, two stop bits, hang-up on close, canonical
// echoing input with its extended flags, and marked control slots.
struct termio busySettings(const PtyPeer &peer)
{
    struct termio t = deviceSettings(peer);
    t.c_iflag = ICRNL | IXON | ISTRIP | INPCK | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = B2400 | CS7 | PARENB | CSTOPB | HUPCL | CREAD;
    t.c_lflag = ISIG | ICANON | ECHO | IEXTEN | ECHOE | ECHOK | ECHOCTL;
    for (int i = 0; i < NCC; ++i)
        t.c_cc[i] = static_cast<unsigned char>(0x40 + i);
    EXPECT_EQ(ioctl(peer.slaveFd(), TCSETA, &t), 0);
    return deviceSettings(peer);
}

} // namespace

TEST(LineSettings, RawModeChangesOnlyTheListedFieldsAndCloseRestores)
{
    PtyPeer peer;
    const struct termio before = busySettings(peer);

    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    EXPECT_TRUE(sameSettings(g_oterm, before)) << "g_oterm must be the record as read";

    struct termio want = before;
    want.c_iflag = 0;
    want.c_oflag = 0;
    want.c_cflag = 0x800 | 0x80 | 0x30 | 0000015; // CLOCAL CREAD CS8 B9600
    want.c_lflag = IEXTEN | ECHOE | ECHOK | ECHOCTL;
    want.c_cc[4] = 0;
    want.c_cc[5] = 1;
    EXPECT_TRUE(sameSettings(g_term, want));
    const struct termio applied = deviceSettings(peer);
    EXPECT_EQ(applied.c_iflag, want.c_iflag);
    EXPECT_EQ(applied.c_oflag, want.c_oflag);
    EXPECT_EQ(applied.c_cflag, want.c_cflag);
    EXPECT_EQ(applied.c_lflag, want.c_lflag);
    EXPECT_EQ(0, memcmp(applied.c_cc, want.c_cc, NCC));

    ASSERT_EQ(CloseCOM(), SD_OK);
    EXPECT_TRUE(sameSettings(deviceSettings(peer), before));
}

class SpeedTable : public ::testing::TestWithParam<std::pair<long, unsigned>> {};

TEST_P(SpeedTable, RateGivesSpeedCode)
{
    PtyPeer peer;
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), GetParam().first), SD_OK);
    EXPECT_EQ(deviceSettings(peer).c_cflag, 0x800u | 0x80u | 0x30u | GetParam().second);
    EXPECT_EQ(g_term.c_cflag & CBAUD, GetParam().second);
    EXPECT_EQ(CloseCOM(), SD_OK);
}

// Octal speed codes of the Linux terminal interface; rates the reader does
// not know run at 9600.
INSTANTIATE_TEST_SUITE_P(Rates, SpeedTable,
                         ::testing::Values(std::make_pair(1200L, 0000011u),
                                           std::make_pair(2400L, 0000013u),
                                           std::make_pair(4800L, 0000014u),
                                           std::make_pair(9600L, 0000015u),
                                           std::make_pair(19200L, 0000016u),
                                           std::make_pair(38400L, 0000017u),
                                           std::make_pair(115200L, 0010002u),
                                           std::make_pair(600L, 0000015u),
                                           std::make_pair(57600L, 0000015u),
                                           std::make_pair(-1L, 0000015u)));

TEST(LineSettings, SecondOpenSavesTheFirstOpensRawSettings)
{
    PtyPeer peer;
    const struct termio before = busySettings(peer);
    const int fdsBefore = openDescriptorCount();
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    const struct termio raw = deviceSettings(peer);
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    EXPECT_TRUE(sameSettings(g_oterm, raw));
    ASSERT_EQ(CloseCOM(), SD_OK);
    EXPECT_TRUE(sameSettings(deviceSettings(peer), raw));
    EXPECT_FALSE(sameSettings(deviceSettings(peer), before));
    // The first descriptor is no longer recorded and stays open.
    EXPECT_EQ(openDescriptorCount(), fdsBefore + 1);
}
