// Helpers shared by the stripe tests: the reader's bytes, a line opened on a
// pseudo-terminal whose master plays the reader, and the trace with its
// time stamps masked.
#pragma once

#include "pty_peer.h"
#include "stripedrv.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace stripetest {

inline const std::string ESC = "\x1b";
inline const std::string FS = "\x1c";
inline const std::string CLOSING_PAIR = "\x1b" "0" "\x1b%A";
inline const std::string STATUS_REQUEST = "\x1bj";

// A read reply as the reader frames it: "s", the data, a trailing byte, FS.
inline std::string readReply(const std::string &data, char trailer = '?')
{
    return "s" + data + trailer + FS;
}

// The line is open (OpenCOM on the slave) for the whole test; the working
// directory is fresh, so the trace is off unless the test switches it on.
class OpenLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    }
    void TearDown() override { CloseCOM(); }

    // What the host sent, collected until the line is quiet for a moment.
    std::string sent(int quietMs = 150) { return peer.receive(quietMs, 3000); }

    sdtest::TempWorkDir dir;
    sdtest::PtyPeer peer;
};

// The trace with every time stamp replaced by "<T>".
inline std::string maskStamps(const std::string &trace)
{
    static const std::regex stamp("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  ");
    return std::regex_replace(trace, stamp, "<T>");
}

} // namespace stripetest
