// stripectl encode: writes a batch of cards from a CSV file, each checked
// by reading it back, and says where to resume after a failure or Ctrl-C.
#include "command.h"
#include "card.h"
#include "interrupt.h"
#include "csv.h"

#include <fstream>

namespace stripectl {

static int runEncode(Context &ctx, const ParsedOptions &options);

extern const Command kEncodeCommand = {
    "encode", 1, 1, "give the CSV file of cards", "give exactly one CSV file",
    "encode FILE [OPTIONS]", "write a batch of cards from a CSV file",
    R"(FILE holds one card per row: track-2 text, track-3 text (either may be
empty). Lines starting with # and a heading row "track2,track3" are
skipped; fields may be in double quotes. For every card: swipe to write,
swipe again to check it. A result line per card and a summary go to
standard output. A failed card stops the batch unless --keep-going is
given; --start ROW resumes at a card row.
)",
    {kPortOption, kBaudOption, kTimeoutOption,
     {"start", "ROW", "begin at this card row (1 = the first; to resume a batch)"},
     {"keep-going", nullptr, "report a failed card and go on with the next (default: stop)"},
     {"no-verify", nullptr, "do not read each card back (one swipe per card)"},
     {"dry-run", nullptr, "only check the file and list its cards"},
     kExtPortOption, kQuietOption, kHelpOption},
    runEncode};

static int rowTracks(const CardRow &row)
{
    if (!row.track2.empty() && !row.track3.empty())
        return SD_TRACKS_2_3;
    return row.track2.empty() ? SD_TRACK_3 : SD_TRACK_2;
}

static std::string interruptText(int row)
{
    return "\nInterrupted at row " + std::to_string(row) + "; to go on, run again with --start " +
           std::to_string(row) + ".\n";
}

// Writes and checks one card; prints its result line. Returns the exit status.
static int encodeOne(Context &ctx, const Line &line, const CardRow &row, size_t total, bool verify)
{
    std::string label = "row " + std::to_string(row.number);
    int tracks = rowTracks(row);
    Tracks texts{row.track2, row.track3};
    ctx.prompt(line, "Card " + std::to_string(row.number) + " of " + std::to_string(total) +
                         ": " + swipePrompt(line, "the card to write"));
    int code = writeCard(line, tracks, texts);
    if (code == SD_ERR_CANCELLED)
        return kExitInterrupted;
    if (code != SD_OK) {
        ctx.out << label << ": FAILED writing " << tracksName(tracks) << ": " << codeMessage(code)
                << " [code " << code << "]" << std::endl;
        return exitStatusForCode(code);
    }
    if (verify) {
        ctx.prompt(line, "Card " + std::to_string(row.number) + ": " +
                             swipePrompt(line, "the card again to check it"));
        Tracks read;
        code = readCard(line, tracks, read);
        if (code == SD_ERR_CANCELLED)
            return kExitInterrupted;
        if (code != SD_OK) {
            ctx.out << label << ": FAILED reading back: " << codeMessage(code) << " [code "
                    << code << "]" << std::endl;
            return exitStatusForCode(code);
        }
        std::string difference = verifyDifference(tracks, texts, read);
        if (!difference.empty()) {
            ctx.out << label << ": MISMATCH: " << difference << std::endl;
            return kExitMismatch;
        }
    }
    ctx.out << label << ": ok (" << tracksName(tracks) << (verify ? ", verified" : "") << ")"
            << std::endl;
    return kExitOk;
}

// The checked card rows of the file, or an exit status with its message.
static int loadCards(Context &ctx, const std::string &file, int start, CsvResult &csv)
{
    std::ifstream in(file);
    if (!in) {
        ctx.err << "stripectl encode: cannot open " << file << "\n";
        return kExitUsage;
    }
    csv = parseCardCsv(in);
    if (!csv.ok) {
        ctx.err << "stripectl encode: " << file << ", " << csv.error << "\n";
        return kExitUsage;
    }
    if (csv.rows.empty()) {
        ctx.err << "stripectl encode: " << file << " holds no cards\n";
        return kExitUsage;
    }
    if (size_t(start) > csv.rows.size())
        return ctx.usage("--start " + std::to_string(start) + " is past the last card row (" +
                         std::to_string(csv.rows.size()) + ")");
    return kExitOk;
}

static void listCards(Context &ctx, const CsvResult &csv, int start)
{
    for (size_t i = size_t(start) - 1; i < csv.rows.size(); ++i) {
        const CardRow &row = csv.rows[i];
        ctx.out << "row " << row.number << " (line " << row.line
                << "): " << tracksName(rowTracks(row)) << ": track2 \"" << row.track2
                << "\" track3 \"" << row.track3 << "\"\n";
    }
}

static int runEncode(Context &ctx, const ParsedOptions &options)
{
    const Line &line = ctx.line;
    int start = 1;
    if (options.has("start") && !parseInt(options.value("start"), 1, 1000000, start))
        return ctx.usage("--start must be a card row number from 1");

    CsvResult csv;
    int status = loadCards(ctx, options.positional()[0], start, csv);
    if (status != kExitOk)
        return status;
    if (options.has("dry-run")) {
        listCards(ctx, csv, start);
        return kExitOk;
    }

    bool verify = !options.has("no-verify");
    bool keepGoing = options.has("keep-going");
    int ok = 0;
    int failed = 0;
    int firstFailureStatus = kExitOk;
    std::string failedRows;
    int stoppedAt = 0;
    for (size_t i = size_t(start) - 1; i < csv.rows.size(); ++i) {
        const CardRow &row = csv.rows[i];
        setInterruptText(interruptText(row.number));
        status = interrupted() ? kExitInterrupted
                               : encodeOne(ctx, line, row, csv.rows.size(), verify);
        if (status == kExitInterrupted) {
            // Stopped by Ctrl-C: this card is not finished, or not begun.
            ctx.err << interruptText(row.number) << std::flush;
            return kExitInterrupted;
        }
        if (status == kExitOk) {
            ++ok;
            continue;
        }
        ++failed;
        failedRows += (failedRows.empty() ? "" : ",") + std::to_string(row.number);
        if (firstFailureStatus == kExitOk)
            firstFailureStatus = status;
        if (!keepGoing) {
            stoppedAt = row.number;
            break;
        }
    }
    ctx.out << "summary: " << ok << " ok, " << failed << " failed";
    if (!failedRows.empty())
        ctx.out << " (rows " << failedRows << ")";
    if (stoppedAt) {
        int left = int(csv.rows.size()) - stoppedAt;
        ctx.out << "; stopped at row " << stoppedAt << ", " << left << " not tried";
    }
    ctx.out << "\n";
    if (stoppedAt)
        ctx.err << "To go on, run again with --start " << stoppedAt << " (retry that card) or --start "
                << stoppedAt + 1 << " (skip it).\n";
    return firstFailureStatus;
}

} // namespace stripectl
