#include "wipe.h"

namespace sdcustody {

namespace {

// Deeper than any call that handles a card goes (JSON parsing and printing,
// the driver's transaction), far below a thread's stack size.
constexpr std::size_t kScrubBytes = 64 * 1024;

} // namespace

__attribute__((noinline)) void scrubStack()
{
    char below[kScrubBytes];
    explicit_bzero(below, sizeof below);
    // Keeps the array (and its clearing) from being optimised away.
    __asm__ __volatile__("" : : "r"(below) : "memory");
}

} // namespace sdcustody
