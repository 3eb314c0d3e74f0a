// stripectl write: writes track texts on the next card swiped, and with
// --verify reads the card back and compares.
#include "command.h"
#include "card.h"

namespace stripectl {

static int runWrite(Context &ctx, const ParsedOptions &options);

extern const Command kWriteCommand = {
    "write", 0, 0, nullptr, nullptr,
    "write [--track2 TEXT] [--track3 TEXT] [OPTIONS]", "write track texts to a card",
    R"(Waits for a card swipe and writes the given texts (one or both), sent
unchanged. With --verify the card is read back (swipe it a second time) and compared.
)",
    {{"track2", "TEXT", "the track-2 text to write"},
     {"track3", "TEXT", "the track-3 text to write"},
     kPortOption, kBaudOption, kTimeoutOption,
     {"tracks", "2|3|23", "the tracks to write (default: those given texts)"},
     {"verify", nullptr, "read the card back after writing (a second swipe) and compare"},
     kExtPortOption, kQuietOption, kHelpOption},
    runWrite};

// The tracks to write: --tracks, else those given a text.
static std::string takeWriteTracks(const ParsedOptions &options, int &tracks)
{
    if (options.has("tracks"))
        return takeTracks(options, tracks);
    if (options.has("track2") && options.has("track3"))
        tracks = SD_TRACKS_2_3;
    else if (options.has("track2"))
        tracks = SD_TRACK_2;
    else if (options.has("track3"))
        tracks = SD_TRACK_3;
    else
        return "give the text to write with --track2 and/or --track3";
    return "";
}

static int runWrite(Context &ctx, const ParsedOptions &options)
{
    const Line &line = ctx.line;
    Tracks texts{options.value("track2"), options.value("track3")};
    int tracks = kDefaultTracks;
    std::string problem = takeWriteTracks(options, tracks);
    if (!problem.empty())
        return ctx.usage(problem);

    ctx.prompt(line, swipePrompt(line, "the card to write"));
    int code = writeCard(line, tracks, texts);
    if (code != SD_OK)
        return ctx.failure("writing " + tracksName(tracks) + " failed", code);
    if (!options.has("verify")) {
        ctx.out << "written: " << tracksName(tracks) << "\n";
        return kExitOk;
    }
    ctx.prompt(line, swipePrompt(line, "the card again to check it"));
    Tracks read;
    code = readCard(line, tracks, read);
    if (code != SD_OK)
        return ctx.failure("written, but reading it back failed", code);
    std::string difference = verifyDifference(tracks, texts, read);
    if (!difference.empty()) {
        ctx.err << "stripectl write: verification failed: " << difference << "\n";
        return kExitMismatch;
    }
    ctx.out << "written and verified: " << tracksName(tracks) << "\n";
    return kExitOk;
}

} // namespace stripectl
