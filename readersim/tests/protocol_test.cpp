// The reader's protocol without a terminal: how host bytes are cut into
// commands and what the reader answers.
#include "protocol.h"

#include <gtest/gtest.h>

using namespace readersim;

namespace {

const std::string ESC = "\x1b";
const std::string FS = "\x1c";
const std::string WRITE_TAIL = "\x1d\x1b\\";

// Feeds `bytes` and expects exactly one event.
Event only(Protocol &p, const std::string &bytes)
{
    std::vector<Event> events = p.feed(bytes);
    EXPECT_EQ(events.size(), 1u) << hex(bytes);
    return events.empty() ? Event{} : events.front();
}

Card card(const std::string &t2, const std::string &t3)
{
    Card c;
    c.track2 = t2;
    c.track3 = t3;
    return c;
}

} // namespace

TEST(ProtocolRead, RepliesCarryTheFramingOfEachMode)
{
    Protocol p(card("12=34", "56=78"));
    Event e2 = only(p, ESC + "]");
    ASSERT_TRUE(e2.reply);
    EXPECT_EQ(e2.reply->bytes, "s12'34?" + FS);
    EXPECT_EQ(e2.reply->when, Reply::When::OnSwipe);

    Event e3 = only(p, ESC + "T]");
    ASSERT_TRUE(e3.reply);
    EXPECT_EQ(e3.reply->bytes, "sA56'78?" + FS);

    Event e23 = only(p, ESC + "B]");
    ASSERT_TRUE(e23.reply);
    EXPECT_EQ(e23.reply->bytes, "s12'34A56'78?" + FS);
}

TEST(ProtocolRead, DefaultCardIsTheConsolesDefaultTexts)
{
    Protocol p;
    EXPECT_EQ(p.card().track2, "222233021234567654321=44212038899913311");
    EXPECT_EQ(p.card().track3,
              "996888886543215533350201=123456700001003388999010000049120=0000000000=33333");
}

TEST(ProtocolRead, ErrorByteReplacesTheWholeReply)
{
    Behaviour b;
    b.readStart = '7';
    Protocol p(Card{}, b);
    Event e = only(p, ESC + "B]");
    ASSERT_TRUE(e.reply);
    EXPECT_EQ(e.reply->bytes, "7");
    EXPECT_EQ(e.reply->when, Reply::When::OnSwipe);
}

TEST(ProtocolRead, StrayBytesGoBeforeEveryReply)
{
    Behaviour b;
    b.stray = "xy";
    Protocol p(card("1", "2"), b);
    EXPECT_EQ(only(p, ESC + "]").reply->bytes, "xys1?" + FS);
    EXPECT_EQ(only(p, ESC + "j").reply->bytes, "xy" + ESC + "rp");
}

TEST(ProtocolStatus, DefaultTextFitsTheTracksOfTheLastCommand)
{
    Protocol p;
    EXPECT_EQ(only(p, ESC + "j").reply->bytes, ESC + "rp");  // nothing read yet
    p.feed(ESC + "T]");
    EXPECT_EQ(only(p, ESC + "j").reply->bytes, ESC + "Trp");
    p.feed(ESC + "B]");
    EXPECT_EQ(only(p, ESC + "j").reply->bytes, ESC + "Brp");
    p.feed(ESC + "t" + "1" + WRITE_TAIL);
    EXPECT_EQ(only(p, ESC + "j").reply->bytes, ESC + "rp");
}

TEST(ProtocolStatus, GivenTextNoAnswerAndSilence)
{
    Behaviour given;
    given.status = "rq";
    Protocol p(Card{}, given);
    EXPECT_EQ(only(p, ESC + "j").reply->bytes, ESC + "rq");

    Behaviour none;
    none.answerStatus = false;
    Protocol q(Card{}, none);
    EXPECT_FALSE(only(q, ESC + "j").reply);
    EXPECT_TRUE(only(q, ESC + "]").reply);  // reads are still answered

    Behaviour silent;
    silent.silent = true;
    Protocol r(Card{}, silent);
    EXPECT_FALSE(only(r, ESC + "j").reply);
    EXPECT_FALSE(only(r, ESC + "B]").reply);
}

TEST(ProtocolWrite, StoresTheTextsOfEachMode)
{
    Protocol p(card("old2", "old3"));
    p.feed(ESC + "t" + "12=34" + WRITE_TAIL);
    EXPECT_EQ(p.card().track2, "12=34");
    EXPECT_EQ(p.card().track3, "old3");
    EXPECT_EQ(p.lastTracks(), 2);

    p.feed(ESC + "tA" + "99" + WRITE_TAIL);
    EXPECT_EQ(p.card().track2, "12=34");
    EXPECT_EQ(p.card().track3, "99");
    EXPECT_EQ(p.lastTracks(), 3);

    p.feed(ESC + "t" + "123A456" + WRITE_TAIL);
    EXPECT_EQ(p.card().track2, "123");
    EXPECT_EQ(p.card().track3, "456");
    EXPECT_EQ(p.lastTracks(), 23);

    // What was written is what a read gives back, "=" as "'" on the wire.
    p.feed(ESC + "t" + "1=2A3=4" + WRITE_TAIL);
    EXPECT_EQ(only(p, ESC + "B]").reply->bytes, "s1'2A3'4?" + FS);
}

TEST(ProtocolWrite, WriteHasNoReplyOfItsOwn)
{
    Protocol p;
    Event e = only(p, ESC + "t" + "1" + WRITE_TAIL);
    EXPECT_FALSE(e.reply);
}

TEST(ProtocolFraming, CommandsSplitAcrossReadsAndBackToBack)
{
    Protocol p(card("5", "6"));
    EXPECT_TRUE(p.feed(ESC).empty());
    EXPECT_TRUE(p.hasPartial());
    std::vector<Event> events = p.feed("B");
    EXPECT_TRUE(events.empty());
    events = p.feed("]" + ESC + "j" + ESC + "t1");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].what, "read tracks 2 and 3");
    EXPECT_EQ(events[1].what, "status request");
    events = p.feed("23\x1d\x1b");
    EXPECT_TRUE(events.empty());  // the write waits for its tail
    events = p.feed("\\" + ESC + "0" + ESC + "%A");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(p.card().track2, "123");
    EXPECT_TRUE(events[1].cancelsSwipe);  // reset
    EXPECT_FALSE(events[2].cancelsSwipe); // port A
    EXPECT_FALSE(p.hasPartial());
}

TEST(ProtocolFraming, UnknownBytesAreReportedAndSkipped)
{
    Protocol p;
    std::vector<Event> events = p.feed(std::string("zz\x00", 3) + ESC + "Q" + ESC + "j");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].what, "ignored 7A 7A 00 1B 51");
    EXPECT_FALSE(events[0].reply);
    EXPECT_TRUE(events[1].reply);
}

TEST(ProtocolFraming, FlushSettlesACommandThatNeverEnded)
{
    Protocol p;
    p.feed(ESC + "t" + "123");  // no tail
    EXPECT_TRUE(p.hasPartial());
    std::vector<Event> events = p.flush();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].what.rfind("ignored 1B 74", 0), 0u);
    EXPECT_FALSE(p.hasPartial());
    EXPECT_EQ(p.card().track2, Card{}.track2);  // nothing written
    // The next command is understood again.
    EXPECT_TRUE(only(p, ESC + "j").reply);
}

TEST(ProtocolFraming, OverlongWriteBodyIsDropped)
{
    Protocol p;
    std::vector<Event> events = p.feed(ESC + "t" + std::string(Protocol::kMaxBody + 10, '1'));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(p.hasPartial());
}

TEST(ProtocolExtension, AddedCommandsJoinTheTable)
{
    Protocol p;
    p.addCommand(ESC + "_GETVER", "", [](Protocol &q, const std::string &) {
        Event e;
        e.what = "version";
        e.reply = q.answer("Ver5.13.2\r");
        return e;
    });
    // ESC "_" alone could still become the longer head: it waits.
    EXPECT_TRUE(p.feed(ESC + "_GET").empty());
    Event e = only(p, "VER");
    ASSERT_TRUE(e.reply);
    EXPECT_EQ(e.reply->bytes, "Ver5.13.2\r");

    // A head that is a prefix of another waits until it can tell them apart.
    p.addCommand(ESC + "%", "", [](Protocol &, const std::string &) {
        Event x;
        x.what = "short";
        return x;
    });
    EXPECT_TRUE(p.feed(ESC + "%").empty());
    EXPECT_EQ(only(p, "A").what, "select port A");
    EXPECT_TRUE(p.feed(ESC + "%").empty());
    std::vector<Event> settled = p.flush();
    ASSERT_EQ(settled.size(), 1u);
    EXPECT_EQ(settled[0].what, "short");
}

TEST(ProtocolText, UnescapeAndSeparators)
{
    EXPECT_EQ(unescape("a\\e\\x00\\x7f\\\\b").value(), std::string("a\x1b\x00\x7f\\b", 6));
    EXPECT_FALSE(unescape("\\x4"));
    EXPECT_FALSE(unescape("\\q"));
    EXPECT_FALSE(unescape("tail\\"));
    EXPECT_EQ(toWire("1=2=3"), "1'2'3");
    EXPECT_EQ(fromWire("1'2'3"), "1=2=3");
    EXPECT_EQ(hex(std::string("\x1b\x00\xff", 3)), "1B 00 FF");
}
