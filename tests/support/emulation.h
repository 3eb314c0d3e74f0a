// Whether the tests run under a user-mode emulator: the cross build's run
// under qemu-user sets SD_EMULATOR. There the processor time of a process
// counts the emulator translating code, not the library's own work, so
// checks of it are skipped (the native stages keep them).
#pragma once

#include <cstdlib>

namespace sdtest {

inline bool underEmulation()
{
    const char *emulator = std::getenv("SD_EMULATOR");
    return emulator != nullptr && *emulator != '\0';
}

} // namespace sdtest

// In a GoogleTest case: skips the rest of it (what it checked so far still
// counts) under an emulator.
#define SD_SKIP_PROCESSOR_TIME_UNDER_EMULATION()                                                \
    if (sdtest::underEmulation())                                                               \
    GTEST_SKIP() << "processor time is not measured under the emulator " << std::getenv("SD_EMULATOR")
