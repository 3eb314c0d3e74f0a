// The two card calls on a command's line, and the check of a write
// against what was read back.
#pragma once

#include "line.h"

#include <string>

namespace stripectl {

struct Tracks {
    std::string track2;
    std::string track3;
};

// MS_ReadCard and MS_WriteCard on the line. After Ctrl-C they start
// nothing and give SD_ERR_CANCELLED.
int readCard(const Line &line, int tracks, Tracks &read);
int writeCard(const Line &line, int tracks, const Tracks &texts);

// Compares what was read back with what was written, on the tracks written;
// returns a description of the difference, or "" when they agree.
std::string verifyDifference(int tracks, const Tracks &written, const Tracks &read);

} // namespace stripectl
