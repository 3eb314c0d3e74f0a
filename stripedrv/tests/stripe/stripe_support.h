// The reader's bytes, shared by the stripe tests.
#pragma once

#include "pty_peer.h"
#include "stripedrv.h"

#include <gtest/gtest.h>

#include <string>

namespace stripetest {

inline const std::string ESC = "\x1b";
inline const std::string FS = "\x1c";
inline const std::string CLOSING_PAIR = "\x1b" "0" "\x1b%A";
inline const std::string STATUS_REQUEST = "\x1bj";
inline const std::string WRITE_TAIL = "\x1d\x1b\\";

// The read command of a track mode.
inline std::string readCommand(int mode)
{
    return mode == SD_TRACK_2 ? "\x1b]" : mode == SD_TRACK_3 ? "\x1bT]" : "\x1b" "B]";
}

// A read reply as the reader frames it: "s", the data, a trailing byte, FS.
inline std::string readReply(const std::string &data) { return "s" + data + "?" + FS; }

} // namespace stripetest
