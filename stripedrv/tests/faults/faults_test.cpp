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
// the hang-ups right after a command's first byte are scripted on a PtyPeer.
// Each row of the two tables is a CTest test of its own, so that the rows
// that sleep out a receive wait of 5 seconds run in parallel.
#include "emulation.h"
#include "pty_peer.h"
#include "scripted_reader.h"
#include "sim_reader.h"
#include "stripedrv.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using sdtest::hex;
using sdtest::InProcessReader;
using sdtest::kHangUp;
using sdtest::openDescriptorCount;
using sdtest::PtyPeer;
using sdtest::Step;
using sdtest::TempWorkDir;

namespace {

const std::string GETVER = "\x1b_GETVER";
const std::string IDENTITY = "\x1bIntelligent";
const std::string kVersion = "Ver5.13.2\r";
const std::string kTrack2 = readersim::kDefaultTrack2;
const std::string kTrack3 = readersim::kDefaultTrack3;
const char kTimeoutAnswer[] = "{\"ErrorCode\":\"-2\",\"ErrorMessage\":\"operation timeout\"}";

// Worst-case durations from stripedrv.h, with a little room for a loaded
// machine. Identification: 2 seconds for the first reply byte, 3 for a send.
constexpr double kSlack = 1.5;
constexpr double readWorst(int nTimeout) { return 2.0 * nTimeout + 12 + kSlack; }
constexpr double writeWorst(int nTimeout) { return nTimeout + 6 + kSlack; }
constexpr double kIdentWorst = 2 + 3 + kSlack;

// The simulated reader runs on another thread of this process, so only the
// calling thread's own processor time says whether the library spun.
double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
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
        std::string name(target, n > 0 ? static_cast<size_t>(n) : 0);
        count += n > 0 && (name == device || name == device + " (deleted)");
    }
    return count;
}

// The exported transactions the cases run.
enum class Op { Read23, Write2, Write3, Write23, Version, Probe, IcOpen, DevInfo };

// Every case starts in a fresh working directory (no trace) with caller
// buffers that hold a stale text or guard bytes, and checks at its end that
// the line is closed and no descriptor is left behind.
class Faults : public ::testing::Test {
protected:
    void SetUp() override
    {
        // DEV_CommCall loads QOVA/libreqjson.so below the working directory.
        ASSERT_EQ(symlink(SD_REQJSON_DIR, (dir.path() + "/QOVA").c_str()), 0);
        memset(track2, '#', sizeof track2);
        memset(track3, '#', sizeof track3);
        strcpy(track2, "stale text");
        strcpy(track3, "stale text");
        memset(version, '#', sizeof version);
        descriptorsBefore = openDescriptorCount();
    }
    void TearDown() override
    {
        script.reset();
        EXPECT_EQ(isPortOpened, 0) << "the line is still marked open";
        reader.reset();
        // A scripted hang-up closes the peer's master, which would hide a
        // descriptor the library kept; so look at the slave itself too: only
        // the peer's own descriptor may remain on it.
        EXPECT_EQ(descriptorsOn(peer.devicePath()), 1) << "the library kept " << peer.devicePath();
        EXPECT_LE(openDescriptorCount(), descriptorsBefore) << "a descriptor stayed open";
    }

    // The simulated reader with the given behaviour, without pacing.
    void startReader(const readersim::Behaviour &behaviour, long hangupAfter, double swipeDelay)
    {
        reader = std::make_unique<InProcessReader>(behaviour, [&](readersim::ServerOptions &o) {
            o.hangupAfter = hangupAfter;
            o.swipeDelay = swipeDelay;
        });
    }

    // A scripted reader on the peer: for each step it waits for the command
    // (or its first bytes), then sends its reply, or hangs up (kHangUp).
    void play(std::vector<Step> steps) { script = std::make_unique<sdtest::ScriptedReader>(peer, steps); }
    // The script's end: every command came as written.
    void expectScriptFollowed()
    {
        std::string sent = script->finish();
        EXPECT_TRUE(script->followed()) << "the reader got " << hex(sent);
    }

    // Runs one transaction on the port and measures it.
    int run(Op op, const std::string &port, int nTimeout = 1)
    {
        const double cpu0 = threadCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = call(op, port, nTimeout);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpuSeconds = threadCpuSeconds() - cpu0;
        return rc;
    }
    int call(Op op, const std::string &port, int t)
    {
        const char *p = port.c_str();
        const std::string request = "{\"RequestPort\":\"" + port + "\",\"RequestBaudRate\":\"9600\"}";
        switch (op) {
        case Op::Read23: return MS_ReadCard(p, "", 9600, t, SD_TRACKS_2_3, 0, track2, track3);
        case Op::Write2: return MS_WriteCard(p, "", 9600, t, SD_TRACK_2, 0, "12=34", "");
        case Op::Write3: return MS_WriteCard(p, "", 9600, t, SD_TRACK_3, 0, "", "5678");
        case Op::Write23: return MS_WriteCard(p, "", 9600, t, SD_TRACKS_2_3, 0, "123", "456");
        case Op::IcOpen: return IC_OpenPort(p, "A", 9600, 0);
        case Op::DevInfo:
            answerLen = sizeof answer;
            return DEV_CommCall(request.c_str(), nullptr, answer, &answerLen);
        default: break;
        }
        // The identification calls on a line opened for them, as
        // DEV_CommCall does.
        if (OpenCOM(p, 9600) != SD_OK)
            return 1;
        const int rc = op == Op::Version ? GetVersionInfo(version) : ProbeDeviceId(record);
        CloseCOM();
        return rc;
    }

    void expectTimes(double minSeconds, double maxSeconds)
    {
        EXPECT_GE(seconds, minSeconds);
        EXPECT_LE(seconds, maxSeconds);
        // Any wait worth the name sleeps: under 5% of a core.
        if (seconds > 0.5) {
            SD_SKIP_PROCESSOR_TIME_UNDER_EMULATION();
            EXPECT_LT(cpuSeconds, 0.05 * seconds)
                << "spent " << cpuSeconds << " s of processor in " << seconds << " s";
        }
    }
    // Both texts as given, and not a byte past SD_TRACK_BUF_MIN touched.
    void expectTracks(const std::string &text2, const std::string &text3)
    {
        for (size_t i = SD_TRACK_BUF_MIN; i < sizeof track2; ++i)
            ASSERT_TRUE(track2[i] == '#' && track3[i] == '#') << "track buffer overrun at " << i;
        ASSERT_TRUE(memchr(track2, 0, SD_TRACK_BUF_MIN) && memchr(track3, 0, SD_TRACK_BUF_MIN));
        EXPECT_EQ(track2, text2);
        EXPECT_EQ(track3, text3);
    }

    TempWorkDir dir;
    PtyPeer peer;
    std::unique_ptr<sdtest::ScriptedReader> script;
    std::unique_ptr<InProcessReader> reader;
    int descriptorsBefore = 0;
    double seconds = 0, cpuSeconds = 0;
    char track2[SD_TRACK_BUF_MIN + 16], track3[SD_TRACK_BUF_MIN + 16];
    char version[SD_VERSION_MAX + 8];
    char record[SD_IDENTITY_MAX + 1] = {};
    char answer[1024] = {};
    int answerLen = 0;
};

} // namespace

// A device that is not there: -3 from every call, at once.
TEST_F(Faults, MissingDeviceIsPortErrorEverywhere)
{
    const std::string gone = "sdtest-no-such-reader";
    EXPECT_EQ(run(Op::Read23, gone), SD_ERR_PORT);
    EXPECT_EQ(run(Op::Write2, gone), SD_ERR_PORT);
    EXPECT_EQ(run(Op::IcOpen, gone), SD_ERR_PORT);
    EXPECT_EQ(run(Op::DevInfo, gone), SD_ERR_PORT);
    EXPECT_STREQ(answer, "{\"ErrorCode\":\"-3\",\"ErrorMessage\":\"open port fail\"}");
    EXPECT_EQ(IC_ClosePort(nullptr, nullptr, 0, 0), SD_OK);
    EXPECT_LT(seconds, 0.5);
}

// ---------------------------------------------------------------------------
// The simulated reader misbehaving in one transaction
// ---------------------------------------------------------------------------

namespace {

using Misbehave = std::function<void(readersim::Behaviour &)>;

struct SimCase {
    const char *name;
    Misbehave misbehave;
    Op op;
    int expected;
    bool card; // a read: the texts are the card's, else both empty
    double minSeconds, maxSeconds;
    long hangupAfter = -1; // bytes of a reply before the reader hangs up
    double swipeDelay = 0;
    int nTimeout = 1;
};

const Misbehave asUsual = [](readersim::Behaviour &) {};
Misbehave status(const char *text)
{
    return [text](readersim::Behaviour &b) { b.status = text; };
}
Misbehave refuse(char errorByte)
{
    return [errorByte](readersim::Behaviour &b) { b.readStart = errorByte; };
}
// Noise before every reply: NUL, letters, 0xFF, none of them the start
// byte, an error byte or ESC (which would open the status text early).
const Misbehave noisy = [](readersim::Behaviour &b) { b.stray = std::string("\x00xy\xff", 4); };

const SimCase kSimCases[] = {
    // The reader hangs up after 10 bytes of the card data, or after the ESC
    // of its status answer: the wait on the dead line sleeps out its limit.
    {"HangUpInCardData", asUsual, Op::Read23, SD_ERR_TIMEOUT, false, 0, readWorst(1), 10},
    {"HangUpInStatusAnswer", asUsual, Op::Write23, SD_ERR_STATUS, false, 0, writeWorst(1), 1},
    // The card is swiped 1.2 seconds after the command, inside the limit.
    {"LateSwipe", asUsual, Op::Read23, SD_OK, true, 1.1, readWorst(3), -1, 1.2, 3},
    {"StrayBytesBeforeRead", noisy, Op::Read23, SD_OK, true, 0, 1.0},
    {"StrayBytesBeforeStatus", noisy, Op::Write3, SD_OK, false, 0, 1.0},
    // An error byte instead of "s": its code, both texts emptied, at once.
    {"ErrorByte0", refuse('0'), Op::Read23, 48, false, 0, 1.0},
    {"ErrorByte7", refuse('7'), Op::Read23, 55, false, 0, 1.0},
    {"ErrorByte9", refuse('9'), Op::Read23, 57, false, 0, 1.0},
    {"ErrorByteA", refuse('A'), Op::Read23, 20, false, 0, 1.0},
    {"ErrorByteD", refuse('D'), Op::Read23, 23, false, 0, 1.0},
    // Known failure texts map to their codes, unknown ones to -1; the card
    // data of a read still arrives when only the status fails.
    {"StatusRqRead", status("rq"), Op::Read23, SD_ERR_RQ, true, 0, 1.0},
    {"StatusRqWrite", status("rq"), Op::Write2, SD_ERR_RQ, false, 0, 1.0},
    {"StatusXqRead", status("Xq"), Op::Read23, SD_ERR_STATUS, true, 0, 1.0},
    {"StatusRrpWrite", status("rrp"), Op::Write2, SD_ERR_STATUS, false, 0, 1.0},
    {"StatusBqRead", status("Bq"), Op::Read23, SD_ERR_STATUS, true, 0, 1.0},
    {"StatusTrpRead", status("Trp"), Op::Read23, SD_OK, true, 0, 1.0},
    {"StatusTrpWrite", status("Trp"), Op::Write2, SD_OK, false, 0, 1.0},
    // "rs" ends with no "p" or "q": it is judged once the limit has passed.
    {"StatusRsAtTheLimit", status("rs"), Op::Write2, SD_ERR_PORT, false, 0, writeWorst(1)},
    // No answer at all: -1, not -2.
    {"NoStatusAnswer", [](readersim::Behaviour &b) { b.answerStatus = false; }, Op::Write23,
     SD_ERR_STATUS, false, 1.0, writeWorst(1)},
};

void PrintTo(const SimCase &c, std::ostream *os) { *os << c.name; }

} // namespace

class SimulatedReader : public Faults, public ::testing::WithParamInterface<SimCase> {};

TEST_P(SimulatedReader, GivesItsCodeInTime)
{
    const SimCase &c = GetParam();
    readersim::Behaviour behaviour;
    c.misbehave(behaviour);
    startReader(behaviour, c.hangupAfter, c.swipeDelay);
    EXPECT_EQ(run(c.op, reader->port(), c.nTimeout), c.expected);
    expectTimes(c.minSeconds, c.maxSeconds);
    if (c.op == Op::Read23)
        expectTracks(c.card ? kTrack2 : "", c.card ? kTrack3 : "");
}

INSTANTIATE_TEST_SUITE_P(Faults, SimulatedReader, ::testing::ValuesIn(kSimCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Scripted readers: vanishing after a command's first byte, identification
// replies that stop short or go wrong
// ---------------------------------------------------------------------------

namespace {

struct ScriptCase {
    const char *name;
    std::vector<Step> script;
    Op op;
    int expected;
    double minSeconds, maxSeconds;
    const char *text = ""; // DevInfo: the whole answer; Probe: the record kept
};

// The reader takes the first byte of the command and is gone.
const std::vector<Step> kVanish = {{"\x1b", kHangUp}};

const ScriptCase kScriptCases[] = {
    {"VanishInReadCard", kVanish, Op::Read23, SD_ERR_TIMEOUT, 0, readWorst(1)},
    {"VanishInWriteCard", kVanish, Op::Write23, SD_ERR_STATUS, 0, writeWorst(1)},
    {"VanishInGetVersionInfo", kVanish, Op::Version, SD_ERR_TIMEOUT, 0, kIdentWorst},
    {"VanishInProbeDeviceId", kVanish, Op::Probe, SD_ERR_TIMEOUT, 0, kIdentWorst},
    // IC_OpenPort sends its port selection and version request apart; the
    // reader goes once the second is on the line, so no send races the hang-up.
    {"VanishInIcOpenPort", {{"\x1b%A\x1b", kHangUp}}, Op::IcOpen, SD_ERR_TIMEOUT, 0, kIdentWorst},
    {"VanishInDevCommCall", kVanish, Op::DevInfo, SD_ERR_TIMEOUT, 0, kIdentWorst, kTimeoutAnswer},
    // The record stops after 5 of its 12 bytes, or within its length
    // digits: -2 after about a second (1 second allowed per later byte); the
    // record bytes that came stay in the caller's buffer.
    {"PartialIdentityRecord", {{GETVER, kVersion}, {IDENTITY, "\xaa" "012" "01|A7"}}, Op::DevInfo,
     SD_ERR_TIMEOUT, 0.9, 3.0, kTimeoutAnswer},
    {"PartialRecordKept", {{IDENTITY, "\xaa" "012" "01|A7"}}, Op::Probe, SD_ERR_TIMEOUT, 0.9, 3.0,
     "01|A7"},
    {"PartialIdentityLength", {{GETVER, kVersion}, {IDENTITY, "\xaa" "0"}}, Op::DevInfo,
     SD_ERR_TIMEOUT, 0.9, 3.0, kTimeoutAnswer},
    // A record that does not start with 0xAA: -8 at once.
    {"WrongIdentityStart", {{GETVER, kVersion}, {IDENTITY, "\x55" "012" "01|A7-2506AB"}},
     Op::DevInfo, SD_ERR_DATA, 0, 1.0, "{\"ErrorCode\":\"-8\",\"ErrorMessage\":\"data error\"}"},
    // A version without its CR: 2 seconds for the next byte, then -2 and
    // IC_OpenPort closes the line again.
    {"VersionWithoutCr", {{"\x1b%A" + GETVER, "Ver5.13"}}, Op::IcOpen, SD_ERR_TIMEOUT, 1.9,
     3.5},
    // Over 100 bytes without a CR: -2 at once.
    {"OverlongVersion", {{GETVER, std::string(150, 'V') + "\r"}}, Op::Version, SD_ERR_TIMEOUT, 0,
     1.0},
};

void PrintTo(const ScriptCase &c, std::ostream *os) { *os << c.name; }

} // namespace

class ScriptedReader : public Faults, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ScriptedReader, GivesItsCodeInTime)
{
    const ScriptCase &c = GetParam();
    play(c.script);
    EXPECT_EQ(run(c.op, peer.portName()), c.expected);
    expectScriptFollowed();
    expectTimes(c.minSeconds, c.maxSeconds);
    if (c.op == Op::Read23)
        expectTracks("", "");
    if (c.op == Op::Version) { // a failed GetVersionInfo leaves the buffer alone
        EXPECT_EQ(std::string(version, sizeof version), std::string(sizeof version, '#'));
    } else if (c.op == Op::Probe) {
        EXPECT_STREQ(record, c.text);
    } else if (c.op == Op::DevInfo) {
        EXPECT_STREQ(answer, c.text);
        EXPECT_EQ(answerLen, static_cast<int>(strlen(c.text)));
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ScriptedReader, ::testing::ValuesIn(kScriptCases),
                         [](const auto &info) { return std::string(info.param.name); });
