// The reader's side of the stripe protocol, without any timing or I/O.
//
// Protocol takes the bytes the host sends, cuts them into commands and says
// what the reader answers to each. The virtual card it holds is read by the
// read commands and changed by the write command. Server (server.h) puts it
// on a pseudo-terminal and does the timing: when a card is swiped, how fast
// the bytes go out, when the line hangs up.
//
// Commands live in a table of (head, tail, handler). A command is complete
// when the bytes start with its head and, for a command with a tail, once
// the tail has arrived; what stands between head and tail is the command's
// body. New commands are added with addCommand (see registerStripeCommands
// in protocol.cpp for the stripe set).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace readersim {

// The console's default card, so that a read without options gives the texts
// a user of the console expects.
inline constexpr const char *kDefaultTrack2 = "222233021234567654321=44212038899913311";
inline constexpr const char *kDefaultTrack3 =
    "996888886543215533350201=123456700001003388999010000049120=0000000000=33333";

// The card in the reader. Texts are kept the way a user writes them, with "="
// as the field separator; the reader sends "'" in its place.
struct Card {
    std::string track2 = kDefaultTrack2;
    std::string track3 = kDefaultTrack3;
};

// The reader's own identification. The default version is neither "Ver3..."
// nor "Ver5.12...", so a driver asks for the identity record too.
inline constexpr const char *kDefaultVersion = "Ver5.13.2";
inline constexpr const char *kDefaultIdentity = "01|A7-2506AB";
// The identity reply announces the record's length in three digits.
inline constexpr size_t kMaxIdentity = 999;

// How the reader answers. The defaults are a well-behaved reader.
struct Behaviour {
    // First byte of a read reply: "s" for card data; any other byte is sent
    // alone, the way a reader reports a bad swipe ("0".."9", "A".."D").
    char readStart = 's';
    // Status text after ESC; empty: the success text that fits the tracks of
    // the last read or write ("rp" track 2, "Trp" track 3, "Brp" both).
    std::string status;
    bool answerStatus = true;   // false: ESC "j" gets no answer
    bool silent = false;        // true: nothing is ever answered
    std::string stray;          // bytes sent in front of every reply
    char trailer = '?';         // the byte between the track data and FS

    // Identification (ESC "_GETVER", ESC "Intelligent").
    std::string version = kDefaultVersion;   // sent with a CR after it
    std::string identity = kDefaultIdentity; // after 0xAA and the length digits
    char identityStart = '\xAA';             // first byte of the identity reply
    size_t identityShortBy = 0;              // record bytes left out of those announced
    bool answerIdentity = true;              // false: ESC "Intelligent" gets no answer
    bool versionOverrun = false;             // the version reply runs past 100 bytes
};

// What the reader sends for one command.
struct Reply {
    enum class When {
        Now,      // at once
        OnSwipe   // once the card is swiped (read commands)
    };
    std::string bytes;
    When when = When::Now;
};

// The outcome of one complete command (or of bytes that were no command).
struct Event {
    std::string what;              // for the log, e.g. "read tracks 2 and 3"
    std::optional<Reply> reply;    // nothing to send when empty
    bool cancelsSwipe = false;     // the reader leaves read mode (reset)
};

class Protocol {
public:
    // Handler of one command; `body` is what stood between head and tail.
    using Handler = std::function<Event(Protocol &, const std::string &body)>;

    explicit Protocol(Card card = Card{}, Behaviour behaviour = Behaviour{});

    // Adds a command. An empty tail makes the head the whole command. A head
    // already in the table is replaced.
    void addCommand(const std::string &head, const std::string &tail, Handler handler);

    // Takes bytes from the host; returns the events of the commands that are
    // now complete, in order. Bytes that can still become a command are kept.
    std::vector<Event> feed(const std::string &bytes);
    // The host has gone quiet: settles the kept bytes as if nothing more
    // were coming (a shorter command that matched wins, the rest is dropped).
    std::vector<Event> flush();
    // True while bytes are kept waiting for the rest of a command.
    bool hasPartial() const { return !pending_.empty(); }

    Card &card() { return card_; }
    const Card &card() const { return card_; }
    Behaviour &behaviour() { return behaviour_; }
    const Behaviour &behaviour() const { return behaviour_; }

    // The speed the reader expects the host at after a port command
    // (115200 after ESC "%I1"); 0 when it takes whatever the line has.
    long expectedBaud() const { return expectedBaud_; }
    void setExpectedBaud(long baud) { expectedBaud_ = baud; }

    // The tracks of the last read or write: 2, 3, 23, or 0 before any.
    int lastTracks() const { return lastTracks_; }
    void setLastTracks(int tracks) { lastTracks_ = tracks; }

    // A reply as the reader sends it: the stray bytes, then `bytes`; no reply
    // at all while the reader is silent.
    std::optional<Reply> answer(std::string bytes, Reply::When when = Reply::When::Now) const;

    // The read reply for `tracks` (2, 3 or 23) from the card: "s", the data,
    // the trailing byte, FS; or the error byte alone.
    std::string readReply(int tracks) const;
    // The status answer: ESC and the status text.
    std::string statusReply() const;
    // The success text that fits `tracks`.
    static std::string successStatus(int tracks);

    // Largest body a command with a tail may collect before it is dropped.
    static constexpr size_t kMaxBody = 4096;

private:
    struct Command {
        std::string head;
        std::string tail;
        Handler handler;
    };

    std::vector<Event> process(bool final);

    Card card_;
    Behaviour behaviour_;
    std::vector<Command> commands_;
    std::string pending_;
    int lastTracks_ = 0;
    long expectedBaud_ = 0;
};

// The stripe commands: read (ESC "]", ESC "T]", ESC "B]"), write (ESC "t" ...
// GS ESC "\"), status (ESC "j"), reset (ESC "0") and the port selection
// (ESC "%A", ESC "%B"). The Protocol constructor registers them.
void registerStripeCommands(Protocol &protocol);

// The identification commands (ESC "_GETVER", ESC "Intelligent") and the
// other ESC "%" commands (ESC "%" with any port letter, ESC "%I1", ESC
// "%I4"), in ident.cpp. The Protocol constructor registers them too.
void registerIdentCommands(Protocol &protocol);

// Track separator on the wire and in the user's texts.
std::string toWire(std::string text);    // "=" -> "'"
std::string fromWire(std::string text);  // "'" -> "="

// Bytes as "1B 6A" for logs.
std::string hex(const std::string &bytes);

// Reads a text given on the command line: C escapes \e \n \r \t \\ \xHH.
// Returns nothing for a bad escape.
std::optional<std::string> unescape(const std::string &text);

} // namespace readersim
