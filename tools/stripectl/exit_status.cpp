#include "exit_status.h"

#include "stripedrv.h"

#include <cstdio>

namespace stripectl {

namespace {

const struct {
    ExitStatus status;
    const char *meaning;
} kExitStatuses[] = {
    {kExitOk, "success"},
    {kExitFailed, "the reader or the driver reported a failure"},
    {kExitUsage, "bad command line, or an unreadable or malformed CSV file"},
    {kExitPort, "the port cannot be opened (code -3; also the reader's status \"rs\")"},
    {kExitNoCard, "nothing arrived in time: no card swiped, or no answer (code -2)"},
    {kExitMismatch, "the card read back differs from what was written"},
    {kExitInterrupted, "interrupted (Ctrl-C); encode says where to resume"},
};

} // namespace

ExitStatus exitStatusForCode(int code)
{
    switch (code) {
    case SD_OK:
        return kExitOk;
    case SD_ERR_PORT:
        return kExitPort;
    case SD_ERR_TIMEOUT:
        return kExitNoCard;
    case SD_ERR_CANCELLED: // only Ctrl-C cancels a call of stripectl
        return kExitInterrupted;
    default:
        return kExitFailed;
    }
}

std::string exitStatusHelp()
{
    std::string text = "Exit status:\n";
    for (const auto &row : kExitStatuses) {
        char number[8];
        std::snprintf(number, sizeof number, "%3d", int(row.status));
        text += std::string(number) + "  " + row.meaning + "\n";
    }
    return text;
}

} // namespace stripectl
