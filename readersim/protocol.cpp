#include "protocol.h"

#include <cstdio>

namespace readersim {

namespace {

constexpr char kEsc = 0x1b;
constexpr char kFs = 0x1c;

std::string trackName(int tracks)
{
    switch (tracks) {
    case 2: return "track 2";
    case 3: return "track 3";
    default: return "tracks 2 and 3";
    }
}

Event readCommand(Protocol &p, int tracks)
{
    p.setLastTracks(tracks);
    Event e;
    e.what = "read " + trackName(tracks);
    e.reply = p.answer(p.readReply(tracks), Reply::When::OnSwipe);
    return e;
}

// The write command's body is the track-2 text, "A" and the track-3 text; a
// body that begins with "A" writes track 3 alone, one without "A" track 2
// alone. The texts arrive as the host has them ("=" stays "=").
Event writeCommand(Protocol &p, const std::string &body)
{
    Event e;
    size_t mark = body.find('A');
    int tracks;
    if (mark == 0) {
        tracks = 3;
        p.card().track3 = body.substr(1);
    } else if (mark == std::string::npos) {
        tracks = 2;
        p.card().track2 = body;
    } else {
        tracks = 23;
        p.card().track2 = body.substr(0, mark);
        p.card().track3 = body.substr(mark + 1);
    }
    p.setLastTracks(tracks);
    e.what = "write " + trackName(tracks);
    if (tracks != 3)
        e.what += " \"" + p.card().track2 + "\"";
    if (tracks != 2)
        e.what += " \"" + p.card().track3 + "\"";
    return e;
}

Event statusCommand(Protocol &p, const std::string &)
{
    Event e;
    if (!p.behaviour().answerStatus) {
        e.what = "status request (not answered)";
        return e;
    }
    e.reply = p.answer(p.statusReply());
    e.what = "status request";
    return e;
}

Event quietCommand(const std::string &what, bool cancelsSwipe = false)
{
    Event e;
    e.what = what;
    e.cancelsSwipe = cancelsSwipe;
    return e;
}

} // namespace

void registerStripeCommands(Protocol &p)
{
    p.addCommand("\x1b]", "", [](Protocol &q, const std::string &) { return readCommand(q, 2); });
    p.addCommand("\x1bT]", "", [](Protocol &q, const std::string &) { return readCommand(q, 3); });
    p.addCommand("\x1b" "B]", "", [](Protocol &q, const std::string &) { return readCommand(q, 23); });
    p.addCommand("\x1bt", "\x1d\x1b\\", writeCommand);
    p.addCommand("\x1bj", "", statusCommand);
    // A reset ends a read that waits for its card.
    p.addCommand("\x1b" "0", "", [](Protocol &, const std::string &) {
        return quietCommand("reset", true);
    });
    p.addCommand("\x1b%A", "", [](Protocol &, const std::string &) {
        return quietCommand("select port A");
    });
    p.addCommand("\x1b%B", "", [](Protocol &, const std::string &) {
        return quietCommand("select port B");
    });
}

Protocol::Protocol(Card card, Behaviour behaviour)
    : card_(std::move(card)), behaviour_(std::move(behaviour))
{
    registerStripeCommands(*this);
    registerIdentCommands(*this);
}

void Protocol::addCommand(const std::string &head, const std::string &tail, Handler handler)
{
    for (Command &c : commands_) {
        if (c.head == head) {
            c.tail = tail;
            c.handler = std::move(handler);
            return;
        }
    }
    commands_.push_back(Command{head, tail, std::move(handler)});
}

std::vector<Event> Protocol::feed(const std::string &bytes)
{
    pending_ += bytes;
    return process(false);
}

std::vector<Event> Protocol::flush()
{
    return process(true);
}

// Cuts commands off the front of the kept bytes. A head that the bytes have
// only begun waits for more (unless `final`); of the heads that match, the
// longest wins. A command with a tail waits for its tail. Bytes that begin
// no command are dropped one at a time and reported together.
std::vector<Event> Protocol::process(bool final)
{
    std::vector<Event> events;
    std::string dropped;
    auto reportDropped = [&]() {
        if (!dropped.empty()) {
            events.push_back(quietCommand("ignored " + hex(dropped)));
            dropped.clear();
        }
    };

    while (!pending_.empty()) {
        const Command *match = nullptr;
        bool longerPossible = false;
        for (const Command &c : commands_) {
            if (pending_.size() >= c.head.size()) {
                if (pending_.compare(0, c.head.size(), c.head) == 0
                    && (!match || c.head.size() > match->head.size()))
                    match = &c;
            } else if (c.head.compare(0, pending_.size(), pending_) == 0) {
                longerPossible = true;
            }
        }
        if (longerPossible && !final)
            break;
        if (!match) {
            dropped += pending_[0];
            pending_.erase(0, 1);
            continue;
        }
        size_t used = match->head.size();
        std::string body;
        if (!match->tail.empty()) {
            size_t end = pending_.find(match->tail, used);
            if (end == std::string::npos) {
                if (!final && pending_.size() <= kMaxBody)
                    break;
                // The tail never came: the command is lost.
                dropped += pending_;
                pending_.clear();
                break;
            }
            body = pending_.substr(used, end - used);
            used = end + match->tail.size();
        }
        Handler handler = match->handler;  // the handler may change the table
        pending_.erase(0, used);
        reportDropped();
        events.push_back(handler(*this, body));
    }
    reportDropped();
    return events;
}

std::optional<Reply> Protocol::answer(std::string bytes, Reply::When when) const
{
    if (behaviour_.silent)
        return std::nullopt;
    return Reply{behaviour_.stray + bytes, when};
}

std::string Protocol::readReply(int tracks) const
{
    if (behaviour_.readStart != 's')
        return std::string(1, behaviour_.readStart);
    std::string data;
    if (tracks == 2)
        data = toWire(card_.track2);
    else if (tracks == 3)
        data = "A" + toWire(card_.track3);
    else
        data = toWire(card_.track2) + "A" + toWire(card_.track3);
    return "s" + data + behaviour_.trailer + kFs;
}

std::string Protocol::statusReply() const
{
    const std::string &text =
        behaviour_.status.empty() ? successStatus(lastTracks_) : behaviour_.status;
    return std::string(1, kEsc) + text;
}

std::string Protocol::successStatus(int tracks)
{
    switch (tracks) {
    case 3: return "Trp";
    case 23: return "Brp";
    default: return "rp";
    }
}

std::string toWire(std::string text)
{
    for (char &c : text)
        if (c == '=')
            c = '\'';
    return text;
}

std::string fromWire(std::string text)
{
    for (char &c : text)
        if (c == '\'')
            c = '=';
    return text;
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char pair[4];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", c);
        if (!out.empty())
            out += ' ';
        out += pair;
    }
    return out;
}

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<std::string> unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i]) {
        case 'e': out += kEsc; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            int hi = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            int lo = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

} // namespace readersim
