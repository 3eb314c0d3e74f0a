// A program that handles card data keeps it out of core dumps: it makes
// itself non-dumpable (no core file, and no other process of the same user
// may read its memory or attach a debugger to it) and sets its core size
// limit to 0, which its children inherit. stripectl and stripedrvd do this
// first thing; the library never changes its host's settings.
#pragma once

#include <string>

namespace sdcustody {

// prctl(PR_SET_DUMPABLE, 0) and RLIMIT_CORE 0. "" when both took effect,
// else what failed (the program goes on: it is a second line of defence).
std::string refuseCoreDumps();

} // namespace sdcustody
