// The reader's protocol without a terminal: how host bytes are cut into
// commands and what the reader answers, the stripe commands first, then the
// identification and port commands.
#include "protocol.h"

#include <gtest/gtest.h>

using namespace readersim;

namespace {

const std::string ESC = "\x1b";
const std::string FS = "\x1c";
const std::string WRITE_TAIL = "\x1d\x1b\\";
const std::string GETVER = ESC + "_GETVER";
const std::string IDENTITY = ESC + "Intelligent";

// Feeds one command and returns its reply, "<none>" without one. Read
// replies wait for the swipe, all others go out at once.
std::string replyTo(Protocol &p, const std::string &command)
{
    std::vector<Event> events = p.feed(command);
    EXPECT_EQ(events.size(), 1u) << hex(command);
    if (events.empty() || !events.front().reply)
        return "<none>";
    bool read = command.back() == ']';
    EXPECT_EQ(events.front().reply->when, read ? Reply::When::OnSwipe : Reply::When::Now);
    return events.front().reply->bytes;
}

// A reader with a card of its own, well behaved unless `set` says otherwise.
Protocol with(const std::function<void(Behaviour &)> &set = {}, Card card = {"1", "2"})
{
    Behaviour b;
    if (set)
        set(b);
    return Protocol(card, b);
}

} // namespace

TEST(ProtocolRead, FramingOfEachModeErrorByteAndStrayBytes)
{
    Protocol p = with({}, {"12=34", "56=78"});
    EXPECT_EQ(replyTo(p, ESC + "]"), "s12'34?" + FS);
    EXPECT_EQ(replyTo(p, ESC + "T]"), "sA56'78?" + FS);
    EXPECT_EQ(replyTo(p, ESC + "B]"), "s12'34A56'78?" + FS);

    Protocol refusing = with([](Behaviour &b) { b.readStart = '7'; });
    EXPECT_EQ(replyTo(refusing, ESC + "B]"), "7");

    Protocol stray = with([](Behaviour &b) { b.stray = "xy"; });
    EXPECT_EQ(replyTo(stray, ESC + "]"), "xys1?" + FS);
    EXPECT_EQ(replyTo(stray, ESC + "j"), "xy" + ESC + "rp");
}

TEST(ProtocolStatus, DefaultFitsTheLastCommandOrAsGiven)
{
    Protocol p = with();
    EXPECT_EQ(replyTo(p, ESC + "j"), ESC + "rp");  // nothing read yet
    p.feed(ESC + "T]");
    EXPECT_EQ(replyTo(p, ESC + "j"), ESC + "Trp");
    p.feed(ESC + "B]");
    EXPECT_EQ(replyTo(p, ESC + "j"), ESC + "Brp");
    p.feed(ESC + "t" + "1" + WRITE_TAIL);
    EXPECT_EQ(replyTo(p, ESC + "j"), ESC + "rp");

    Protocol given = with([](Behaviour &b) { b.status = "rq"; });
    EXPECT_EQ(replyTo(given, ESC + "j"), ESC + "rq");

    Protocol none = with([](Behaviour &b) { b.answerStatus = false; });
    EXPECT_EQ(replyTo(none, ESC + "j"), "<none>");
    EXPECT_EQ(replyTo(none, ESC + "]"), "s1?" + FS);  // reads are still answered

    Protocol silent = with([](Behaviour &b) { b.silent = true; });
    for (const std::string &command : {ESC + "j", ESC + "B]", GETVER, IDENTITY})
        EXPECT_EQ(replyTo(silent, command), "<none>") << hex(command);
}

TEST(ProtocolWrite, StoresTheTextsOfEachModeAndReadsThemBack)
{
    Protocol p = with({}, {"old2", "old3"});
    const struct {
        std::string body, track2, track3;
        int tracks;
    } cases[] = {
        {"12=34", "12=34", "old3", 2},
        {"A99", "12=34", "99", 3},
        {"123A456", "123", "456", 23},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(replyTo(p, ESC + "t" + c.body + WRITE_TAIL), "<none>") << c.body;
        EXPECT_EQ(p.card().track2, c.track2);
        EXPECT_EQ(p.card().track3, c.track3);
        EXPECT_EQ(p.lastTracks(), c.tracks);
    }
    // What was written is what a read gives back, "=" as "'" on the wire.
    p.feed(ESC + "t" + "1=2A3=4" + WRITE_TAIL);
    EXPECT_EQ(replyTo(p, ESC + "B]"), "s1'2A3'4?" + FS);
}

TEST(ProtocolFraming, CommandsSplitAcrossReadsAndBackToBack)
{
    Protocol p = with();
    EXPECT_TRUE(p.feed(ESC).empty());
    EXPECT_TRUE(p.feed("B").empty());
    std::vector<Event> events = p.feed("]" + ESC + "j" + ESC + "t1");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].what, "read tracks 2 and 3");
    EXPECT_EQ(events[1].what, "status request");
    EXPECT_TRUE(p.feed("23\x1d\x1b").empty());  // the write waits for its tail
    events = p.feed("\\" + ESC + "0" + ESC + "%A");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(p.card().track2, "123");
    EXPECT_TRUE(events[1].cancelsSwipe);   // reset
    EXPECT_FALSE(events[2].cancelsSwipe);  // port A
    EXPECT_FALSE(p.hasPartial());
}

TEST(ProtocolFraming, BytesThatAreNoCommandAreSkipped)
{
    Protocol p = with();
    std::vector<Event> events = p.feed(std::string("zz\x00", 3) + ESC + "Q" + ESC + "j");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].what, "ignored 7A 7A 00 1B 51");
    EXPECT_FALSE(events[0].reply);
    EXPECT_TRUE(events[1].reply);

    // A write that never ends is dropped when the host falls quiet, and one
    // whose body grows too long is dropped at once; nothing is written.
    p.feed(ESC + "t" + "123");
    events = p.flush();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].what.rfind("ignored 1B 74", 0), 0u);
    EXPECT_EQ(p.feed(ESC + "t" + std::string(Protocol::kMaxBody + 10, '1')).size(), 1u);
    EXPECT_FALSE(p.hasPartial());
    EXPECT_EQ(p.card().track2, "1");
    EXPECT_EQ(replyTo(p, ESC + "j"), ESC + "rp");  // understood again
}

TEST(ProtocolText, UnescapeOfTextsGivenOnTheCommandLine)
{
    EXPECT_EQ(unescape("a\\e\\x00\\x7f\\\\b").value(), std::string("a\x1b\x00\x7f\\b", 6));
    EXPECT_FALSE(unescape("\\x4"));
    EXPECT_FALSE(unescape("\\q"));
    EXPECT_FALSE(unescape("tail\\"));
}

TEST(ReaderIdentity, VersionAndRecordAsGivenOrByDefault)
{
    // Neither "Ver3..." nor "Ver5.12...": a host needs the record too.
    Protocol p = with();
    EXPECT_EQ(replyTo(p, GETVER), "Ver5.13.2\r");
    EXPECT_EQ(replyTo(p, IDENTITY), "\xAA" "012" "01|A7-2506AB");

    Protocol given = with([](Behaviour &b) {
        b.version = "Ver3.1";
        b.identity = "7";
        b.stray = "~";
    });
    EXPECT_EQ(replyTo(given, GETVER), "~Ver3.1\r");
    EXPECT_EQ(replyTo(given, IDENTITY), "~\xAA" "0017");
    given.behaviour().identity = std::string(1200, 'r');  // the digits allow 999
    EXPECT_EQ(replyTo(given, IDENTITY).substr(1, 4), "\xAA" "999");
}

TEST(ReaderIdentity, MisbehaviourOnRequest)
{
    Protocol wrong = with([](Behaviour &b) { b.identityStart = 'X'; });
    EXPECT_EQ(replyTo(wrong, IDENTITY), "X012" "01|A7-2506AB");

    Protocol shortRecord = with([](Behaviour &b) { b.identityShortBy = 5; });
    EXPECT_EQ(replyTo(shortRecord, IDENTITY), "\xAA" "012" "01|A7-2");

    Protocol mute = with([](Behaviour &b) { b.answerIdentity = false; });
    EXPECT_EQ(replyTo(mute, IDENTITY), "<none>");
    EXPECT_EQ(replyTo(mute, GETVER), "Ver5.13.2\r");

    Protocol overrun = with([](Behaviour &b) { b.versionOverrun = true; });
    std::string reply = replyTo(overrun, GETVER);
    EXPECT_GT(reply.size(), 100u);
    EXPECT_EQ(reply.find('\r'), reply.size() - 1);  // the CR comes only at the end
    EXPECT_EQ(reply.rfind("Ver5.13.2", 0), 0u);
}

TEST(ReaderPortCommands, AreTakenSilentlyAndI1MovesTheReaderTo115200)
{
    Protocol p = with();
    for (const char *letter : {"A", "B", "C", "z", "1"})
        EXPECT_EQ(replyTo(p, ESC + "%" + letter), "<none>") << letter;
    EXPECT_EQ(p.expectedBaud(), 0);
    // ESC "%I" could still become ESC "%I1": it waits for the next byte.
    EXPECT_TRUE(p.feed(ESC + "%I").empty());
    EXPECT_EQ(replyTo(p, "1"), "<none>");
    EXPECT_EQ(p.expectedBaud(), 115200);
    EXPECT_EQ(replyTo(p, ESC + "%B"), "<none>");  // back to the stripe side
    EXPECT_EQ(p.expectedBaud(), 0);
    replyTo(p, ESC + "%I1");
    EXPECT_EQ(replyTo(p, ESC + "%I4"), "<none>");
    EXPECT_EQ(p.expectedBaud(), 0);

    // IC_OpenPort sends ESC "%A" and the version request without a pause.
    std::vector<Event> events = p.feed(ESC + "%A" + GETVER + ESC + "%I1");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].what, "select port A");
    ASSERT_TRUE(events[1].reply);
    EXPECT_EQ(events[1].reply->bytes, "Ver5.13.2\r");
    EXPECT_FALSE(events[2].reply);
    EXPECT_FALSE(p.hasPartial());
}
