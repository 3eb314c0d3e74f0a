// The fake serial line under the fuzz targets.
//
// The fuzz targets link the driver's own sources with the linker's --wrap
// for every system call the driver makes on its line, its clock and its
// files. The wrappers below then play a reader that sends exactly the bytes
// of the fuzz input, and a clock that jumps over every wait: when the input
// is spent, a wait for the next byte reports at once that its time ran out
// (or, in hang-up mode, that the line has ended), and the clock moves on by
// the whole wait. A transaction that would take a minute on a real line is
// over in microseconds, and the protocol code is the code that ships.
//
// Everything that is not the fake line passes through to the real call, so
// the fuzzer's own files, the sanitizers and the C library keep working.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fakeline {

// The device name the targets give OpenCOM; "/dev/" + this opens the fake
// line, any other name is opened for real (and usually fails).
inline constexpr const char *kPortName = "fuzzline";

struct Script {
    const uint8_t *bytes = nullptr; // what the reader sends, in order
    size_t size = 0;
    bool hangUpAtEnd = false;   // input spent: the line reads as end of file
    const uint8_t *config = nullptr; // CONFIG.ini contents; null: no file
    size_t configSize = 0;
    bool requestLibrary = true; // "/QOVA/libreqjson.so" can be loaded
    bool requestFunction = true; // ... and holds ReqFieldGet
};

// Starts a transaction on a fresh line and clock. Only between begin() and
// end() do the wrappers touch anything; before and after they pass through.
void begin(const Script &script);
void end();

// True while the fake line's descriptor is open (a leak after a call).
bool lineOpen();
// Bytes the driver wrote to the line since begin().
size_t bytesWritten();

} // namespace fakeline
