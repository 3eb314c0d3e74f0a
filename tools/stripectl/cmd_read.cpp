// stripectl read: waits for a swipe and prints the selected tracks.
#include "command.h"
#include "card.h"
#include "track2.h"
#include "wipe.h"

#include <optional>

namespace stripectl {

static int runRead(Context &ctx, const ParsedOptions &options);

extern const Command kReadCommand = {
    "read", 0, 0, nullptr, nullptr,
    "read [OPTIONS]", "read the tracks of a swiped card",
    R"(Waits for a card swipe and prints the track texts ("=" as field separator),
one line "track2: TEXT" / "track3: TEXT" per selected track, or with --json
one object {"code":0,"port":...,"tracks":23,"track2":...,"track3":...}
(on failure {"code":N,...,"error":"..."}).
--decode adds the fields of a payment card's track 2 (ISO/IEC 7813): pan_masked,
expiry (YYMM), service_code and luhn_ok, as lines or as "track2_fields".
A read can take up to about twice the time limit plus 12 seconds.
)",
    {kPortOption,   kBaudOption,    kTimeoutOption,
     kTracksOption, kExtPortOption, kJsonOption,
     {"decode", nullptr, "also print the fields of a payment card's track 2 (account number masked)"},
     kQuietOption,  kHelpOption},
    runRead};

// The fields of track 2 when it has the layout of a payment card, the way
// the reader service answers them.
static std::optional<nlohmann::ordered_json> decodedFields(const std::string &track2)
{
    auto fields = sdtrack2::parse(track2);
    if (!fields)
        return std::nullopt;
    return nlohmann::ordered_json{{"pan_masked", fields->panMasked},
                                  {"expiry", fields->expiry},
                                  {"service_code", fields->serviceCode},
                                  {"luhn_ok", fields->luhnOk}};
}

static int runRead(Context &ctx, const ParsedOptions &options)
{
    const Line &line = ctx.line;
    int tracks = kDefaultTracks;
    std::string problem = takeTracks(options, tracks);
    if (!problem.empty())
        return ctx.usage(problem);

    ctx.prompt(line, swipePrompt(line, "a card"));
    Tracks read;
    // The card is wiped once printed (the output buffer by main).
    sdcustody::WipeOnExit wipeRead(read.track2, read.track3);
    int code = readCard(line, tracks, read);
    std::optional<nlohmann::ordered_json> fields;
    const bool decode = options.has("decode") && tracks != SD_TRACK_3;
    if (code == SD_OK && decode)
        fields = decodedFields(read.track2);
    if (options.has("json")) {
        nlohmann::ordered_json answer = {{"code", code}, {"port", line.port}, {"tracks", tracks}};
        if (code == SD_OK) {
            if (tracks != SD_TRACK_3)
                answer["track2"] = read.track2;
            if (fields)
                answer["track2_fields"] = *fields;
            if (tracks != SD_TRACK_2)
                answer["track3"] = read.track3;
        } else {
            answer["error"] = codeMessage(code);
        }
        std::string text = jsonText(answer);
        ctx.out << text << "\n";
        sdcustody::wipe(text);
        sdcustody::wipeJson(answer);
    }
    if (code != SD_OK)
        return ctx.failure("reading " + tracksName(tracks) + " failed", code);
    if (!options.has("json")) {
        if (tracks != SD_TRACK_3)
            ctx.out << "track2: " << read.track2 << "\n";
        if (tracks != SD_TRACK_2)
            ctx.out << "track3: " << read.track3 << "\n";
        if (fields)
            for (const auto &[key, value] : fields->items())
                ctx.out << key << ": " << (value.is_string() ? value.get<std::string>() : value.dump())
                        << "\n";
    }
    if (decode && !fields)
        ctx.prompt(line, "track 2 does not have the layout of a payment card: nothing to decode\n");
    return kExitOk;
}

} // namespace stripectl
