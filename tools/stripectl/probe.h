// The questions stripectl asks a reader to see that it is there, each timed:
// the firmware version, the identity record, the status after a reset. None
// of them touches a card.
#pragma once

#include <string>

namespace stripectl {

struct Answer {
    int code = 0;       // the driver's result: 0, or a negative status code
    std::string text;   // the version text or identity record; "" on failure
    long roundTripMs = 0; // from sending the question to the end of the answer
};

// Opens the line with OpenCOM; the driver's code (0 when open). CloseCOM
// ends every session, also a failed one.
int openLine(const std::string &port, int baud);
void closeLine();

// Each needs the open line.
Answer askVersion();
Answer askIdentity();
Answer askStatusAfterReset(); // text: "Brp", "rp", ... as the code means it

// Opens, asks for the version, closes: what `stripectl ports --probe` asks.
Answer probeVersion(const std::string &port, int baud);

} // namespace stripectl
