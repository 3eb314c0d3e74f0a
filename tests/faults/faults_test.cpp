// Faults on a real pseudo-terminal: readers that hang up in the middle of a
// reply, stall, send stray or error bytes, answer the status request with
// nothing or with something unknown, or stop half-way through an identity
// record. Whatever the reader does, every exported transaction must return
// one of its documented codes within its documented worst-case time, leave
// no descriptor open, keep the caller's buffers as the header promises, and
// sleep rather than spin while it waits on a line that has gone.
//
// The card transactions run against the simulated reader (readersim_core,
// served from a thread of this process); the identification exchanges and
// the hang-ups at chosen moments are scripted on a PtyPeer. Time limits are
// kept at 1 second where the protocol allows, so that most cases finish in
// well under that; the few that must sleep out a receive wait of 5 seconds
// run in parallel as separate CTest tests.
#include "pty_peer.h"
#include "server.h"
#include "stripedrv.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>

using namespace sdtest;

namespace {

const std::string GETVER = "\x1b_GETVER";
const std::string IDENTITY = "\x1bIntelligent";

// Wall and processor time of the calling thread around one call. The
// simulated reader runs on another thread of this process, so only this
// thread's own processor time says whether the library spun.
struct Measured {
    int rc = 0;
    double seconds = 0;
    double cpuSeconds = 0;
};

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

Measured measure(const std::function<int()> &call)
{
    Measured m;
    const double cpu0 = threadCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    m.rc = call();
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.cpuSeconds = threadCpuSeconds() - cpu0;
    return m;
}

// Descriptors of this process open on the given device. Once the master
// is closed the slave's node is gone and its descriptors read as
// "/dev/pts/N (deleted)"; they count all the same.
int descriptorsOn(const std::string &device)
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64], target[256];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0)
            continue;
        std::string name(target, static_cast<size_t>(n));
        if (name == device || name == device + " (deleted)")
            ++count;
    }
    return count;
}

// Worst-case durations from stripedrv.h, with a little room for a loaded
// machine.
constexpr double kSlack = 1.5;
double readWorstCase(int nTimeout) { return 2.0 * nTimeout + 12 + kSlack; }
double writeWorstCase(int nTimeout) { return nTimeout + 6 + kSlack; }

// A track buffer as the header asks for: SD_TRACK_BUF_MIN bytes holding an
// empty text, with a guard after it that no read may touch.
struct TrackBuffer {
    char bytes[SD_TRACK_BUF_MIN + 16];
    TrackBuffer() { memset(bytes, '#', sizeof bytes), bytes[0] = '\0'; }
    char *text() { return bytes; }
    bool guardIntact() const
    {
        for (size_t i = SD_TRACK_BUF_MIN; i < sizeof bytes; ++i)
            if (bytes[i] != '#')
                return false;
        return memchr(bytes, '\0', SD_TRACK_BUF_MIN) != nullptr;
    }
};

// Every case starts in a fresh working directory (no trace) and checks at
// its end that the line is closed and no descriptor is left behind.
class Faults : public ::testing::Test {
protected:
    void SetUp() override { descriptorsBefore = openDescriptorCount(); }
    void TearDown() override
    {
        EXPECT_EQ(isPortOpened, 0) << "the line is still marked open";
        stopReader();
        // Fewer is fine: a scripted reader may have hung up its own end.
        EXPECT_LE(openDescriptorCount(), descriptorsBefore) << "a descriptor stayed open";
    }

    // The simulated reader with the given behaviour, without pacing.
    void startReader(readersim::Behaviour behaviour, long hangupAfter = -1,
                     double swipeDelay = 0)
    {
        protocol = std::make_unique<readersim::Protocol>(readersim::Card{}, behaviour);
        readersim::ServerOptions options;
        options.pacing = false;
        options.quiet = true;
        options.hangupAfter = hangupAfter;
        options.swipeDelay = swipeDelay;
        options.log = [](const std::string &) {};
        server = std::make_unique<readersim::Server>(*protocol, options);
        serverThread = std::thread([this] { server->run(); });
    }
    void stopReader()
    {
        if (!server)
            return;
        server->stop();
        serverThread.join();
        server.reset();
        protocol.reset();
    }
    std::string readerPort() const { return server->portName(); }

    Measured read(int nTrackMode, int nTimeout, const std::string &port = "")
    {
        const std::string name = port.empty() ? readerPort() : port;
        return measure([&] {
            return MS_ReadCard(name.c_str(), "", 9600, nTimeout, nTrackMode, 0, track2.text(),
                               track3.text());
        });
    }
    Measured write(int nTrackMode, int nTimeout, const char *t2, const char *t3,
                   const std::string &port = "")
    {
        const std::string name = port.empty() ? readerPort() : port;
        return measure(
            [&] { return MS_WriteCard(name.c_str(), "", 9600, nTimeout, nTrackMode, 0, t2, t3); });
    }

    void expectEmptyTracks()
    {
        EXPECT_STREQ(track2.text(), "");
        EXPECT_STREQ(track3.text(), "");
    }
    void expectGuards()
    {
        EXPECT_TRUE(track2.guardIntact()) << "track-2 buffer overrun";
        EXPECT_TRUE(track3.guardIntact()) << "track-3 buffer overrun";
    }

    TempWorkDir dir;
    int descriptorsBefore = 0;
    std::unique_ptr<readersim::Protocol> protocol;
    std::unique_ptr<readersim::Server> server;
    std::thread serverThread;
    TrackBuffer track2, track3;
};

const std::string kTrack2 = readersim::kDefaultTrack2;
const std::string kTrack3 = readersim::kDefaultTrack3;

} // namespace

// ---------------------------------------------------------------------------
// The reader goes away
// ---------------------------------------------------------------------------

// The reader hangs up after a few bytes of the card data. The read cannot
// complete: -2, both texts empty, within the read's worst case, and while
// it waits on the dead line it must sleep: under 5% of a core. The close at
// the end meets a hung-up line too; its descriptor must still be released
// (an unplugged adapter would otherwise cost one descriptor per call).
TEST_F(Faults, HangUpMidReadReplySleepsAndTimesOut)
{
    startReader(readersim::Behaviour{}, /*hangupAfter=*/10);
    Measured m = read(SD_TRACKS_2_3, 1);
    EXPECT_EQ(m.rc, SD_ERR_TIMEOUT);
    expectEmptyTracks();
    expectGuards();
    EXPECT_LE(m.seconds, readWorstCase(1));
    EXPECT_LT(m.cpuSeconds, 0.05 * m.seconds)
        << "spent " << m.cpuSeconds << " s of processor in " << m.seconds << " s";
}

// The reader hangs up after the ESC of its status answer: the status text
// never comes, -1, within the write's worst case, without spinning.
TEST_F(Faults, HangUpInStatusAnswerOfWrite)
{
    startReader(readersim::Behaviour{}, /*hangupAfter=*/1);
    Measured m = write(SD_TRACKS_2_3, 1, "123", "456");
    EXPECT_EQ(m.rc, SD_ERR_STATUS);
    EXPECT_LE(m.seconds, writeWorstCase(1));
    EXPECT_LT(m.cpuSeconds, 0.05 * m.seconds);
}

// The device disappears before the transaction: it cannot be opened.
TEST_F(Faults, VanishedDeviceGivesPortErrorEverywhere)
{
    const std::string gone = "sdtest-no-such-reader";
    Measured r = read(SD_TRACKS_2_3, 1, gone);
    EXPECT_EQ(r.rc, SD_ERR_PORT);
    expectEmptyTracks();
    EXPECT_EQ(write(SD_TRACK_2, 1, "1", "", gone).rc, SD_ERR_PORT);
    EXPECT_EQ(IC_OpenPort(gone.c_str(), "A", 9600, 0), SD_ERR_PORT);
    EXPECT_EQ(IC_ClosePort(nullptr, nullptr, 0, 0), SD_OK);
    EXPECT_LT(r.seconds, 0.5);
}

// ---------------------------------------------------------------------------
// Stalls, stray bytes, error bytes
// ---------------------------------------------------------------------------

// The card is swiped a while after the read command, inside the limit.
TEST_F(Faults, LateSwipeInsideTheLimitReadsTheCard)
{
    startReader(readersim::Behaviour{}, -1, /*swipeDelay=*/1.2);
    Measured m = read(SD_TRACKS_2_3, 3);
    EXPECT_EQ(m.rc, SD_OK);
    EXPECT_EQ(track2.text(), kTrack2);
    EXPECT_EQ(track3.text(), kTrack3);
    EXPECT_GE(m.seconds, 1.1);
    expectGuards();
}

// Noise in front of every reply (NUL, letters, 0xFF: neither the start byte
// nor an error byte nor ESC) is skipped by the read and by the status. An
// ESC in the noise would start the status text early; the reader never
// sends one there.
TEST_F(Faults, StrayBytesBeforeEveryReplyAreIgnored)
{
    readersim::Behaviour noisy;
    noisy.stray = std::string("\x00xy\xff", 4);
    startReader(noisy);
    Measured r = read(SD_TRACKS_2_3, 1);
    EXPECT_EQ(r.rc, SD_OK);
    EXPECT_EQ(track2.text(), kTrack2);
    EXPECT_EQ(track3.text(), kTrack3);
    EXPECT_EQ(write(SD_TRACK_3, 1, "", "5678").rc, SD_OK);
    EXPECT_LT(r.seconds, 1.0);
}

// The reader refuses the swipe with an error byte: the code of the byte,
// both texts empty, at once.
TEST_F(Faults, ErrorBytesGiveTheirCodesWithEmptyTracks)
{
    struct {
        char byte;
        int code;
    } cases[] = {{'0', 48}, {'7', 55}, {'9', 57}, {'A', 20}, {'D', 23}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("error byte ") + c.byte);
        readersim::Behaviour refusing;
        refusing.readStart = c.byte;
        startReader(refusing);
        Measured m = read(SD_TRACKS_2_3, 1);
        EXPECT_EQ(m.rc, c.code);
        expectEmptyTracks();
        expectGuards();
        EXPECT_LT(m.seconds, 1.0);
        stopReader();
    }
}

// ---------------------------------------------------------------------------
// Status answers
// ---------------------------------------------------------------------------

// Known failure texts map to their codes; an unknown one is -1. The card
// data of a read still arrives in the buffers when only the status fails.
TEST_F(Faults, StatusAnswersAfterReadAndWrite)
{
    struct {
        const char *text;
        int code;
    } cases[] = {{"rq", SD_ERR_RQ}, {"Xq", SD_ERR_STATUS}, {"rrp", SD_ERR_STATUS},
                 {"Bq", SD_ERR_STATUS}, {"Trp", SD_OK}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("status ") + c.text);
        readersim::Behaviour b;
        b.status = c.text;
        startReader(b);
        TrackBuffer fresh2, fresh3;
        track2 = fresh2;
        track3 = fresh3;
        EXPECT_EQ(read(SD_TRACKS_2_3, 1).rc, c.code);
        EXPECT_EQ(track2.text(), kTrack2);
        EXPECT_EQ(write(SD_TRACK_2, 1, "12=34", "").rc, c.code);
        stopReader();
    }
}

// "rs" and "rt" end with no "p" or "q": they are judged once the limit has
// passed, so each takes one receive wait.
TEST_F(Faults, StatusRsIsJudgedAtTheLimit)
{
    readersim::Behaviour b;
    b.status = "rs";
    startReader(b);
    Measured m = write(SD_TRACK_2, 1, "1", "");
    EXPECT_EQ(m.rc, SD_ERR_PORT);
    EXPECT_LE(m.seconds, writeWorstCase(1));
    EXPECT_LT(m.cpuSeconds, 0.05 * m.seconds);
}

// A reader that never answers the status request: -1 (not -2), within the
// write's worst case, sleeping.
TEST_F(Faults, MissingStatusAnswerIsStatusError)
{
    readersim::Behaviour b;
    b.answerStatus = false;
    startReader(b);
    Measured m = write(SD_TRACKS_2_3, 1, "123", "456");
    EXPECT_EQ(m.rc, SD_ERR_STATUS);
    EXPECT_GE(m.seconds, 1.0);
    EXPECT_LE(m.seconds, writeWorstCase(1));
    EXPECT_LT(m.cpuSeconds, 0.05 * m.seconds);
}

// ---------------------------------------------------------------------------
// Identification on a scripted line
// ---------------------------------------------------------------------------

namespace {

// Plays the identification replies on a PtyPeer from a thread: waits for
// each command the library sends and answers it (or does not).
class IdentityReader {
public:
    explicit IdentityReader(PtyPeer &peer) : peer_(peer) {}
    ~IdentityReader() { join(); }

    void run(std::string version, std::string identity, bool hangUpAfter = false)
    {
        thread_ = std::thread([this, version, identity, hangUpAfter] {
            if (peer_.receiveCount(GETVER.size()) != GETVER)
                return;
            peer_.send(version);
            if (identity.empty() && !hangUpAfter)
                return;
            if (!identity.empty()) {
                if (peer_.receiveCount(IDENTITY.size()) != IDENTITY)
                    return;
                peer_.send(identity);
            }
            if (hangUpAfter) {
                usleep(50 * 1000);
                peer_.hangUp();
            }
        });
    }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }

private:
    PtyPeer &peer_;
    std::thread thread_;
};

std::string request(const std::string &port)
{
    return "{\"RequestPort\":\"" + port + "\",\"RequestBaudRate\":\"9600\"}";
}

} // namespace

class IdentityFaults : public Faults {
protected:
    void SetUp() override
    {
        Faults::SetUp();
        // DEV_CommCall loads QOVA/libreqjson.so below the working directory.
        ASSERT_EQ(symlink(SD_REQJSON_DIR, (dir.path() + "/QOVA").c_str()), 0);
    }
    void TearDown() override
    {
        reader.join();
        // The peer's hang-up closes a descriptor of its own, which would hide
        // one the library kept; so look at the slave itself: only the peer's
        // own descriptor may remain on it.
        EXPECT_EQ(descriptorsOn(peer.devicePath()), 1)
            << "the library kept a descriptor on " << peer.devicePath();
        Faults::TearDown();
    }

    Measured devInfo()
    {
        answerLen = sizeof answer;
        const std::string req = request(peer.portName());
        return measure([&] { return DEV_CommCall(req.c_str(), nullptr, answer, &answerLen); });
    }

    PtyPeer peer;
    IdentityReader reader{peer};
    char answer[1024] = {};
    int answerLen = 0;
};

// The identity record stops after 5 of its 12 bytes: -2, "operation
// timeout", about one second (1 second allowed per later byte).
TEST_F(IdentityFaults, PartialIdentityRecordTimesOut)
{
    reader.run("Ver5.13.2\r", "\xaa" "012" "01|A7");
    Measured m = devInfo();
    reader.join();
    EXPECT_EQ(m.rc, SD_ERR_TIMEOUT);
    EXPECT_STREQ(answer, "{\"ErrorCode\":\"-2\",\"ErrorMessage\":\"operation timeout\"}");
    EXPECT_EQ(answerLen, static_cast<int>(strlen(answer)));
    EXPECT_GE(m.seconds, 0.9);
    EXPECT_LE(m.seconds, 3.0);
}

// The length digits themselves stop half-way.
TEST_F(IdentityFaults, PartialIdentityLengthTimesOut)
{
    reader.run("Ver5.13.2\r", "\xaa" "0");
    EXPECT_EQ(devInfo().rc, SD_ERR_TIMEOUT);
}

// A record that does not start with 0xAA: -8, "data error", at once.
TEST_F(IdentityFaults, WrongIdentityStartIsDataError)
{
    reader.run("Ver5.13.2\r", "\x55" "012" "01|A7-2506AB");
    Measured m = devInfo();
    EXPECT_EQ(m.rc, SD_ERR_DATA);
    EXPECT_STREQ(answer, "{\"ErrorCode\":\"-8\",\"ErrorMessage\":\"data error\"}");
    EXPECT_LT(m.seconds, 1.0);
}

// The reader hangs up right after the version: the identity query finds a
// dead line and sleeps out its wait: -2 (or -10 should the command itself
// meet the dead line, after its 3-second send budget).
TEST_F(IdentityFaults, HangUpBeforeIdentity)
{
    reader.run("Ver5.13.2\r", "", /*hangUpAfter=*/true);
    Measured m = devInfo();
    EXPECT_TRUE(m.rc == SD_ERR_TIMEOUT || m.rc == SD_ERR_WRITE) << m.rc;
    EXPECT_LE(m.seconds, 2.0 + 3.0 + kSlack);
    EXPECT_LT(m.cpuSeconds, 0.05 * m.seconds);
}

// A version text without its CR: GetVersionInfo waits 2 seconds for the
// next byte and gives -2; IC_OpenPort then closes the line again.
TEST_F(IdentityFaults, VersionWithoutCrClosesIcPort)
{
    reader.run("Ver5.13", "");
    Measured m = measure([&] { return IC_OpenPort(peer.portName().c_str(), "", 9600, 0); });
    EXPECT_EQ(m.rc, SD_ERR_TIMEOUT);
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_LE(m.seconds, 3.5);
}

// A version reply that never ends (over 100 bytes without a CR): -2 with
// the caller's buffer untouched, and no byte written past 100.
TEST_F(IdentityFaults, OverlongVersionLeavesBufferAlone)
{
    reader.run(std::string(150, 'V') + "\r", "");
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    char version[SD_VERSION_MAX + 8];
    memset(version, '#', sizeof version);
    int rc = GetVersionInfo(version);
    CloseCOM();
    EXPECT_EQ(rc, SD_ERR_TIMEOUT);
    for (size_t i = 0; i < sizeof version; ++i)
        ASSERT_EQ(version[i], '#') << "byte " << i << " written";
}

// ---------------------------------------------------------------------------
// The reader vanishes right after the first command, in every transaction
// ---------------------------------------------------------------------------

namespace {

struct VanishCase {
    const char *name;
    std::function<int(const std::string &port)> call;
    int expected;
    double worstSeconds; // from the waits stripedrv.h documents
};

void PrintTo(const VanishCase &c, std::ostream *os) { *os << c.name; }

char g_track2[SD_TRACK_BUF_MIN], g_track3[SD_TRACK_BUF_MIN];

// A transaction on a line opened for it, as DEV_CommCall would.
int onOpenLine(const std::string &port, const std::function<int()> &call)
{
    if (OpenCOM(port.c_str(), 9600) != SD_OK)
        return 1;
    int rc = call();
    CloseCOM();
    return rc;
}

const VanishCase kVanishCases[] = {
    {"MS_ReadCard",
     [](const std::string &port) {
         g_track2[0] = g_track3[0] = '\0';
         return MS_ReadCard(port.c_str(), "", 9600, 1, SD_TRACKS_2_3, 0, g_track2, g_track3);
     },
     SD_ERR_TIMEOUT, readWorstCase(1)},
    {"MS_WriteCard",
     [](const std::string &port) {
         return MS_WriteCard(port.c_str(), "", 9600, 1, SD_TRACKS_2_3, 0, "123", "456");
     },
     SD_ERR_STATUS, writeWorstCase(1)},
    // Identification: 2 seconds for the first reply byte, 3 for a send.
    {"GetVersionInfo",
     [](const std::string &port) {
         char version[SD_VERSION_MAX];
         return onOpenLine(port, [&] { return GetVersionInfo(version); });
     },
     SD_ERR_TIMEOUT, 2 + 3 + kSlack},
    {"ProbeDeviceId",
     [](const std::string &port) {
         char record[SD_IDENTITY_MAX + 1] = {};
         return onOpenLine(port, [&] { return ProbeDeviceId(record); });
     },
     SD_ERR_TIMEOUT, 2 + 3 + kSlack},
    {"IC_OpenPort",
     [](const std::string &port) { return IC_OpenPort(port.c_str(), "A", 9600, 0); },
     SD_ERR_TIMEOUT, 3 + 2 + 3 + kSlack},
    {"DEV_CommCall",
     [](const std::string &port) {
         char answer[256];
         int len = sizeof answer;
         return DEV_CommCall(request(port).c_str(), nullptr, answer, &len);
     },
     SD_ERR_TIMEOUT, 2 + 3 + kSlack},
};

} // namespace

class VanishingReader : public IdentityFaults, public ::testing::WithParamInterface<VanishCase> {};

// The reader takes the first byte of the command and is gone: the call
// gives its timeout result within its worst case, sleeps while it waits,
// closes the line and keeps no descriptor.
TEST_P(VanishingReader, GivesItsCodeInTimeWithoutSpinning)
{
    std::thread vanish([this] {
        peer.receiveCount(1, 3000);
        peer.hangUp();
    });
    const std::string port = peer.portName();
    Measured m = measure([&] { return GetParam().call(port); });
    vanish.join();
    EXPECT_EQ(m.rc, GetParam().expected);
    EXPECT_LE(m.seconds, GetParam().worstSeconds);
    EXPECT_LT(m.cpuSeconds, 0.05 * m.seconds)
        << "spent " << m.cpuSeconds << " s of processor in " << m.seconds << " s";
    if (std::string(GetParam().name) == "MS_ReadCard") {
        EXPECT_STREQ(g_track2, "");
        EXPECT_STREQ(g_track3, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Transactions, VanishingReader, ::testing::ValuesIn(kVanishCases),
                         [](const auto &info) { return std::string(info.param.name); });
