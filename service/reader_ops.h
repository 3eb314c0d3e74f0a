// One reader transaction of the service, run on the reader's worker thread:
// the library's calls are synchronous and may block for twice the time
// limit plus 12 seconds.
#pragma once

#include "requests.h"

#include <string>

namespace stripedrvd {

// Where the reader is: its tty below /dev/ and the line speed.
struct ReaderLine {
    std::string port;
    int baud = 9600;
};

// What a transaction came to. code is the library's result (SD_OK on
// success); error, when set, replaces the library's sentence for it.
struct Outcome {
    // The tracks read are wiped with every copy of the outcome.
    Outcome() = default;
    Outcome(const Outcome &) = default;
    Outcome(Outcome &&) = default;
    Outcome &operator=(const Outcome &) = default;
    Outcome &operator=(Outcome &&) = default;
    ~Outcome();

    int code = 0;
    std::string error;
    std::string track2, track3;  // read
    json info;                   // info: the reader's identification
    bool pan = false;            // read: track 2 had an account number
    std::string panMasked;       // ... masked, for the log
};

// Runs a read, write (with its read-back) or info request on the reader.
Outcome runOnReader(const ReaderLine &line, const Request &request);

// Asks the reader for its firmware version alone (info["firmware"]): the
// one question put to a reader as it arrives.
Outcome firmwareVersion(const ReaderLine &line);

// The answer to send for a request and its outcome.
json answerFor(const Request &request, const Outcome &outcome);

} // namespace stripedrvd
