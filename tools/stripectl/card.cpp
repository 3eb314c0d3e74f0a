#include "card.h"

#include "deadline.h"
#include "interrupt.h"
#include "wipe.h"

#include <functional>

namespace stripectl {

namespace {

// Room for any track text the driver hands back (it needs at least
// SD_TRACK_BUF_MIN bytes).
const int kTrackBufferSize = 256;

// Runs a card call cut at its time limit (the library's per-byte waits would
// let a short one run for seconds past it). Ctrl-C stays a cancel even when
// it comes after the deadline.
int heldToLimit(const Line &line, const std::function<int()> &call)
{
    int code = sddeadline::runWithinSeconds(line.timeout, call);
    settleInterrupt();
    if (interrupted() && code == SD_ERR_TIMEOUT)
        code = SD_ERR_CANCELLED;
    return code;
}

} // namespace

int readCard(const Line &line, int tracks, Tracks &read)
{
    if (interrupted())
        return SD_ERR_CANCELLED;
    char track2[kTrackBufferSize] = "";
    char track3[kTrackBufferSize] = "";
    int code = heldToLimit(line, [&] {
        return MS_ReadCard(line.port.c_str(), line.extPort ? "A" : "", line.baud, line.timeout,
                           tracks, 0, track2, track3);
    });
    read.track2 = track2;
    read.track3 = track3;
    sdcustody::wipe(track2);
    sdcustody::wipe(track3);
    return code;
}

int writeCard(const Line &line, int tracks, const Tracks &texts)
{
    if (interrupted())
        return SD_ERR_CANCELLED;
    return heldToLimit(line, [&] {
        return MS_WriteCard(line.port.c_str(), line.extPort ? "A" : "", line.baud, line.timeout,
                            tracks, 0, texts.track2.c_str(), texts.track3.c_str());
    });
}

std::string verifyDifference(int tracks, const Tracks &written, const Tracks &read)
{
    std::string difference;
    if (tracks != SD_TRACK_3 && read.track2 != written.track2)
        difference += "track 2 reads \"" + read.track2 + "\", expected \"" + written.track2 + "\"";
    if (tracks != SD_TRACK_2 && read.track3 != written.track3) {
        if (!difference.empty())
            difference += "; ";
        difference += "track 3 reads \"" + read.track3 + "\", expected \"" + written.track3 + "\"";
    }
    return difference;
}

} // namespace stripectl
