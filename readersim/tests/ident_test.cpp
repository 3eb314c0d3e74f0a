// The reader's identification and port commands: what it answers to the
// version and identity requests, and its misbehaviour on request.
#include "protocol.h"

#include <gtest/gtest.h>

using namespace readersim;

namespace {

const std::string ESC = "\x1b";
const std::string GETVER = ESC + "_GETVER";
const std::string IDENTITY = ESC + "Intelligent";

// The reply to one command, "<none>" when there is none.
std::string replyTo(Protocol &p, const std::string &command)
{
    std::vector<Event> events = p.feed(command);
    EXPECT_EQ(events.size(), 1u) << hex(command);
    if (events.empty() || !events.front().reply)
        return "<none>";
    EXPECT_EQ(events.front().reply->when, Reply::When::Now);
    return events.front().reply->bytes;
}

Protocol with(const std::function<void(Behaviour &)> &set)
{
    Behaviour b;
    set(b);
    return Protocol(Card{}, b);
}

} // namespace

TEST(ReaderIdentity, DefaultsLeadAHostToTheIdentityQuery)
{
    Protocol p;
    // Neither "Ver3..." nor "Ver5.12...": the model needs the record.
    EXPECT_EQ(replyTo(p, GETVER), "Ver5.13.2\r");
    EXPECT_EQ(replyTo(p, IDENTITY), "\xAA" "012" "01|A7-2506AB");
}

TEST(ReaderIdentity, GivenTextsAndTheLengthDigits)
{
    Protocol p = with([](Behaviour &b) {
        b.version = "Ver3.1";
        b.identity = "7";
        b.stray = "~";
    });
    EXPECT_EQ(replyTo(p, GETVER), "~Ver3.1\r");
    EXPECT_EQ(replyTo(p, IDENTITY), "~\xAA" "0017");
    p.behaviour().identity = std::string(1200, 'r'); // the digits allow 999
    EXPECT_EQ(replyTo(p, IDENTITY).substr(1, 4), "\xAA" "999");
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
    EXPECT_EQ(reply.find('\r'), reply.size() - 1); // the CR comes only at the end
    EXPECT_EQ(reply.rfind("Ver5.13.2", 0), 0u);

    Protocol silent = with([](Behaviour &b) { b.silent = true; });
    EXPECT_EQ(replyTo(silent, GETVER), "<none>");
    EXPECT_EQ(replyTo(silent, IDENTITY), "<none>");
}

TEST(ReaderPortCommands, AreTakenSilentlyAndI1MovesTheReaderTo115200)
{
    Protocol p;
    for (const char *letter : {"A", "B", "C", "z", "1"})
        EXPECT_EQ(replyTo(p, ESC + "%" + letter), "<none>") << letter;
    EXPECT_EQ(p.expectedBaud(), 0);
    EXPECT_EQ(replyTo(p, ESC + "%I1"), "<none>");
    EXPECT_EQ(p.expectedBaud(), 115200);
    EXPECT_EQ(replyTo(p, ESC + "%B"), "<none>"); // back to the stripe side
    EXPECT_EQ(p.expectedBaud(), 0);
    replyTo(p, ESC + "%I1");
    EXPECT_EQ(replyTo(p, ESC + "%I4"), "<none>");
    EXPECT_EQ(p.expectedBaud(), 0);
}

TEST(ReaderPortCommands, BackToBackWithTheVersionRequest)
{
    // IC_OpenPort sends ESC "%A" and the version request without a pause.
    Protocol p;
    std::vector<Event> events = p.feed(ESC + "%A" + GETVER + ESC + "%I1");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].what, "select port A");
    ASSERT_TRUE(events[1].reply);
    EXPECT_EQ(events[1].reply->bytes, "Ver5.13.2\r");
    EXPECT_FALSE(events[2].reply);
    EXPECT_FALSE(p.hasPartial());
}
