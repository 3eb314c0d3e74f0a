// Helpers for the identification and device-information tests: the
// commands and replies, and DEV_CommCall with its standard output captured
// (the scripted reader and the stamp masking are the test support's).
#pragma once

#include "pty_peer.h"
#include "scripted_reader.h"
#include "stripedrv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace sdtest {

const std::string kGetVer = SD_CMD_GETVER;
const std::string kIdentity = SD_CMD_IDENTITY;

// An identity reply: 0xAA, the length in three digits, the record.
inline std::string identityReply(const std::string &record)
{
    char digits[8];
    snprintf(digits, sizeof digits, "%03zu", record.size());
    return "\xAA" + std::string(digits) + record;
}

// What one DEV_CommCall left behind.
struct Call {
    int rc = 0;
    std::string answer;     // the buffer up to its NUL
    int len = 0;            // the length as the call left it
    bool untouched = false; // the buffer was not written
    std::string out;        // standard output
};

inline Call devCommCall(const char *request, int capacity = 1024)
{
    char buf[4096];
    memset(buf, '#', sizeof buf);
    buf[sizeof buf - 1] = '\0';
    Call c;
    c.len = capacity;
    testing::internal::CaptureStdout();
    c.rc = DEV_CommCall(request, nullptr, buf, &c.len);
    c.out = testing::internal::GetCapturedStdout();
    c.untouched = buf[0] == '#';
    c.answer = buf;
    return c;
}

// A fresh working directory whose QOVA points at the built request library.
struct LibraryDir : TempWorkDir {
    LibraryDir() { EXPECT_EQ(symlink(SD_REQJSON_DIR, "QOVA"), 0); }
};

} // namespace sdtest
