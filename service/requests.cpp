#include "requests.h"

#include "messages.h"
#include "stripedrv.h"
#include "track2.h"
#include "wipe.h"

namespace stripedrvd {

namespace {

constexpr int kMaxTimeout = 600;

struct Problem {
    std::string text;
};

// A field that must be an integer from a short list or range; absent gives
// the default.
int intField(const json &message, const char *key, int fallback, int low, int high)
{
    auto it = message.find(key);
    if (it == message.end())
        return fallback;
    if (!it->is_number_integer() || it->get<long long>() < low || it->get<long long>() > high)
        throw Problem{std::string("\"") + key + "\" must be a whole number from " +
                      std::to_string(low) + " to " + std::to_string(high)};
    return it->get<int>();
}

int tracksField(const json &message, int fallback)
{
    int tracks = intField(message, "tracks", fallback, 2, 23);
    if (tracks != SD_TRACK_2 && tracks != SD_TRACK_3 && tracks != SD_TRACKS_2_3)
        throw Problem{"\"tracks\" must be 2, 3 or 23"};
    return tracks;
}

// Track texts hold the stripe's character set only (digits, ":;<=>?"):
// anything else, an ESC above all, would change the command sent to the
// reader rather than the data on the card.
bool trackCharacters(const std::string &text)
{
    for (char c : text)
        if (c < 0x30 || c > 0x3F)
            return false;
    return true;
}

std::string textField(const json &message, const char *key)
{
    auto it = message.find(key);
    if (it == message.end())
        return {};
    if (!it->is_string())
        throw Problem{std::string("\"") + key + "\" must be a text"};
    std::string text = it->get<std::string>();
    if (!trackCharacters(text))
        throw Problem{std::string("\"") + key +
                      "\" may hold only the digits 0-9 and the characters :;<=>?"};
    return text;
}

void takeWrite(const json &message, Request &request)
{
    request.track2 = textField(message, "track2");
    request.track3 = textField(message, "track3");
    const bool has2 = !request.track2.empty(), has3 = !request.track3.empty();
    // Without "tracks", the tracks written are those given a text.
    int inferred = has2 && has3 ? SD_TRACKS_2_3 : has3 ? SD_TRACK_3 : SD_TRACK_2;
    request.tracks = tracksField(message, inferred);
    if (request.tracks != SD_TRACK_3 && !has2)
        throw Problem{"\"track2\" is missing or empty"};
    if (request.tracks != SD_TRACK_2 && !has3)
        throw Problem{"\"track3\" is missing or empty"};
    auto verify = message.find("verify");
    if (verify != message.end()) {
        if (!verify->is_boolean())
            throw Problem{"\"verify\" must be true or false"};
        request.verify = verify->get<bool>();
    }
}

Op opFromName(const json &op)
{
    if (!op.is_string())
        throw Problem{"\"op\" is missing or not a text"};
    const std::string name = op.get<std::string>();
    for (Op candidate : {Op::Read, Op::Write, Op::Info, Op::Cancel})
        if (name == opName(candidate))
            return candidate;
    throw Problem{"unknown op (read, write, info or cancel)"};
}

// A cancel's "request": the id of the one request it cuts, absent for all.
json cancelTarget(const json &message)
{
    auto target = message.find("request");
    if (target == message.end())
        return nullptr;
    if (!(target->is_number_integer() || target->is_string()))
        throw Problem{"\"request\" must be the id of a request (a whole number or a text)"};
    return *target;
}

} // namespace

Request::~Request()
{
    sdcustody::wipe(track2);
    sdcustody::wipe(track3);
}

const char *opName(Op op)
{
    switch (op) {
    case Op::Read: return "read";
    case Op::Write: return "write";
    case Op::Info: return "info";
    case Op::Cancel: return "cancel";
    }
    return "?";
}

bool usesReader(Op op)
{
    return op != Op::Cancel;
}

Parsed parseRequest(const std::string &message)
{
    Parsed parsed;
    json object = json::parse(message, nullptr, false);
    // A write's texts are in the parsed message too.
    struct WipeMessage {
        json &object;
        ~WipeMessage() { sdcustody::wipeJson(object); }
    } wipeMessage{object};
    if (object.is_discarded() || !object.is_object()) {
        parsed.problem = "the message is not a JSON object";
        return parsed;
    }
    try {
        auto id = object.find("id");
        if (id == object.end() || !(id->is_number_integer() || id->is_string()))
            throw Problem{"\"id\" is missing or neither a whole number nor a text"};
        parsed.request.id = *id;
        parsed.request.op = opFromName(object.value("op", json()));
        if (parsed.request.op == Op::Read)
            parsed.request.tracks = tracksField(object, SD_TRACKS_2_3);
        if (parsed.request.op == Op::Write)
            takeWrite(object, parsed.request);
        if (parsed.request.op == Op::Read || parsed.request.op == Op::Write)
            parsed.request.timeout = intField(object, "timeout", 20, 0, kMaxTimeout);
        if (parsed.request.op == Op::Cancel)
            parsed.request.target = cancelTarget(object);
        parsed.ok = true;
    } catch (const Problem &problem) {
        parsed.problem = problem.text;
    }
    return parsed;
}

json failureAnswer(const json &id, int code, const std::string &error)
{
    return {{"id", id}, {"ok", false}, {"code", code}, {"error", error}};
}

json waitingEvent(const json &id)
{
    return {{"id", id}, {"event", "waiting"}};
}

json readAnswer(const json &id, int tracks, const std::string &track2, const std::string &track3)
{
    // Both keys always, so that a page tells "not asked for" (null) from an
    // empty track ("") without knowing the mode.
    json answer = {{"id", id}, {"ok", true}, {"track2", nullptr}};
    if (tracks != SD_TRACK_3) {
        answer["track2"] = track2;
        if (auto fields = sdtrack2::parse(track2))
            answer["track2_fields"] = {{"pan_masked", fields->panMasked},
                                       {"expiry", fields->expiry},
                                       {"service_code", fields->serviceCode},
                                       {"luhn_ok", fields->luhnOk}};
    }
    answer["track3"] = tracks != SD_TRACK_2 ? json(track3) : json(nullptr);
    return answer;
}

std::string codeText(int code)
{
    return sdmsg::codeMessage(code);
}

} // namespace stripedrvd
