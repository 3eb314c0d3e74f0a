// Fuzz target: the reader service's WebSocket message parser, the code that
// turns one text message from any page into a request for the reader.
//
// Input: the message as it arrived (any bytes).
//
// Checked besides the sanitizers: the parser never throws; a message it
// takes has an id that is a whole number or a text, a known op, a track
// selector of 2, 3 or 23 and a time limit from 0 to 600 s; the texts of a
// write hold only the stripe's characters (so nothing else can reach the
// reader's command); a message it refuses says why; and the failure answer
// built from it serializes.
#include "requests.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "broken promise: %s\n", what);
    abort();
}

bool stripeText(const std::string &text)
{
    for (char c : text)
        if (c < 0x30 || c > 0x3F)
            return false;
    return true;
}

void checkTaken(const stripedrvd::Request &r)
{
    if (!r.id.is_number_integer() && !r.id.is_string())
        fail("id neither a whole number nor a text");
    if (r.tracks != 2 && r.tracks != 3 && r.tracks != 23)
        fail("track selector out of its set");
    if (r.timeout < 0 || r.timeout > 600)
        fail("time limit out of range");
    if (r.op == stripedrvd::Op::Write) {
        if (!stripeText(r.track2) || !stripeText(r.track3))
            fail("a write text holds a character off the stripe's set");
        if (r.tracks != 3 && r.track2.empty())
            fail("a write of track 2 without its text");
        if (r.tracks != 2 && r.track3.empty())
            fail("a write of track 3 without its text");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string message(reinterpret_cast<const char *>(data), size);
    stripedrvd::Parsed parsed = stripedrvd::parseRequest(message);
    if (parsed.ok) {
        checkTaken(parsed.request);
        if (!parsed.problem.empty())
            fail("a request taken with a problem");
    } else {
        if (parsed.problem.empty())
            fail("a refusal without its reason");
        const auto answer = stripedrvd::failureAnswer(parsed.request.id, -7, parsed.problem);
        (void)answer.dump(-1, ' ', false, stripedrvd::json::error_handler_t::replace);
    }
    return 0;
}
