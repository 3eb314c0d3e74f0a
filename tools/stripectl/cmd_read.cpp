// stripectl read: waits for a swipe and prints the selected tracks.
#include "common.h"

namespace stripectl {

static int runRead(Context &ctx, const ParsedOptions &options);

extern const Command kReadCommand = {
    "read", 0, 0, nullptr, nullptr,
    "read [OPTIONS]", "read the tracks of a swiped card",
    R"(Waits for a card swipe and prints the track texts ("=" as field separator),
one line "track2: TEXT" / "track3: TEXT" per selected track, or with --json
one object {"code":0,"port":...,"tracks":23,"track2":...,"track3":...}
(on failure {"code":N,...,"error":"..."}).
A read can take up to about twice the time limit plus 12 seconds.
)",
    {kPortOption,   kBaudOption,    kTimeoutOption,
     kTracksOption, kExtPortOption, kJsonOption,
     kQuietOption,  kHelpOption},
    runRead};

static int runRead(Context &ctx, const ParsedOptions &options)
{
    const Line &line = ctx.line;
    int tracks = kDefaultTracks;
    std::string problem = takeTracks(options, tracks);
    if (!problem.empty())
        return ctx.usage(problem);

    ctx.prompt(line, swipePrompt(line, "a card"));
    Tracks read;
    int code = readCard(line, tracks, read);
    if (options.has("json")) {
        nlohmann::ordered_json answer = {{"code", code}, {"port", line.port}, {"tracks", tracks}};
        if (code == SD_OK) {
            if (tracks != SD_TRACK_3)
                answer["track2"] = read.track2;
            if (tracks != SD_TRACK_2)
                answer["track3"] = read.track3;
        } else {
            answer["error"] = codeMessage(code);
        }
        ctx.out << jsonText(answer) << "\n";
    }
    if (code != SD_OK)
        return ctx.failure("reading " + tracksName(tracks) + " failed", code);
    if (!options.has("json")) {
        if (tracks != SD_TRACK_3)
            ctx.out << "track2: " << read.track2 << "\n";
        if (tracks != SD_TRACK_2)
            ctx.out << "track3: " << read.track3 << "\n";
    }
    return kExitOk;
}

} // namespace stripectl
