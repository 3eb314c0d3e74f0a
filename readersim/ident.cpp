// The reader's identification and port commands.
//
// ESC "_GETVER" is answered with the firmware version text and a CR,
// ESC "Intelligent" with 0xAA, the record's length in three decimal digits
// and the identity record. The ESC "%" commands switch the reader's ports
// and are never answered; after ESC "%I1" the reader talks at 115200.
#include "protocol.h"

#include <cstdio>

namespace readersim {

namespace {

// The host keeps at most this many bytes of a version reply, CR included.
constexpr size_t kVersionReplyMax = 100;
constexpr size_t kOverrunLength = kVersionReplyMax + 20;

Event versionCommand(Protocol &p, const std::string &)
{
    std::string text = p.behaviour().version;
    if (p.behaviour().versionOverrun && text.size() < kOverrunLength)
        text.append(kOverrunLength - text.size(), '.');
    Event e;
    e.what = "version request";
    e.reply = p.answer(text + "\r");
    return e;
}

Event identityCommand(Protocol &p, const std::string &)
{
    const Behaviour &b = p.behaviour();
    Event e;
    if (!b.answerIdentity) {
        e.what = "identity request (not answered)";
        return e;
    }
    std::string record = b.identity.substr(0, kMaxIdentity);
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03zu", record.size());
    size_t sent = b.identityShortBy < record.size() ? record.size() - b.identityShortBy : 0;
    e.what = "identity request";
    e.reply = p.answer(std::string(1, b.identityStart) + digits + record.substr(0, sent));
    return e;
}

Event portCommand(const std::string &what, Protocol &p, long expectedBaud)
{
    p.setExpectedBaud(expectedBaud);
    Event e;
    e.what = what;
    return e;
}

} // namespace

void registerIdentCommands(Protocol &p)
{
    p.addCommand("\x1b_GETVER", "", versionCommand);
    p.addCommand("\x1bIntelligent", "", identityCommand);

    // Any port letter; "%A" and "%B" are the stripe set's own (port A keeps
    // the speed the reader has, port B is back to the stripe side).
    for (int c = 0x20; c < 0x7f; ++c) {
        if (c == 'A' || c == 'I')
            continue;
        std::string letter(1, static_cast<char>(c));
        p.addCommand("\x1b%" + letter, "", [letter](Protocol &q, const std::string &) {
            return portCommand("select port " + letter, q, 0);
        });
    }
    for (char d = '0'; d <= '9'; ++d) {
        long baud = d == '1' ? 115200 : 0;
        std::string what = std::string("command I") + d;
        if (d == '1')
            what += ": the reader now talks at 115200";
        p.addCommand(std::string("\x1b%I") + d, "", [what, baud](Protocol &q, const std::string &) {
            return portCommand(what, q, baud);
        });
    }
}

} // namespace readersim
