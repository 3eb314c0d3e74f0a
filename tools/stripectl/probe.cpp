#include "probe.h"

#include "stripedrv.h"

#include <chrono>

namespace stripectl {

namespace {

// How long the reader may take over its status answer after the reset, in
// whole seconds as the driver counts them.
const long kStatusSeconds = 2;

class Stopwatch {
public:
    long elapsedMs() const
    {
        return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count());
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

std::string statusText(int code)
{
    switch (code) {
    case SD_STATUS_BRP: return "Brp";
    case SD_STATUS_RP: return "rp";
    case SD_STATUS_TRP: return "Trp";
    case SD_ERR_RQ: return "rq";
    case SD_ERR_PORT: return "rs";
    case SD_ERR_CLOSE: return "rt";
    default: return "";
    }
}

// One question whose answer the driver stores in `buffer`, timed.
Answer ask(int (*question)(char *), char *buffer)
{
    Answer answer;
    Stopwatch watch;
    answer.code = question(buffer);
    answer.roundTripMs = watch.elapsedMs();
    if (answer.code == SD_OK)
        answer.text = buffer;
    return answer;
}

} // namespace

int openLine(const std::string &port, int baud) { return OpenCOM(port.c_str(), baud); }

void closeLine() { CloseCOM(); }

Answer askVersion()
{
    char version[SD_VERSION_MAX + 1] = "";
    return ask(GetVersionInfo, version);
}

Answer askIdentity()
{
    // Zeroed: the driver writes the record without a terminator.
    char record[SD_IDENTITY_MAX + 1] = "";
    return ask(ProbeDeviceId, record);
}

Answer askStatusAfterReset()
{
    Answer answer;
    Stopwatch watch;
    answer.code = MSR_Reset();
    if (answer.code == SD_OK)
        answer.code = GetBpStatus(kStatusSeconds);
    answer.roundTripMs = watch.elapsedMs();
    answer.text = statusText(answer.code);
    return answer;
}

Answer probeVersion(const std::string &port, int baud)
{
    Answer answer;
    answer.code = openLine(port, baud);
    if (answer.code == SD_OK)
        answer = askVersion();
    closeLine();
    return answer;
}

} // namespace stripectl
