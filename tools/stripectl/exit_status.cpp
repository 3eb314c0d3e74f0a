#include "exit_status.h"

#include "stripedrv.h"

namespace stripectl {

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

} // namespace stripectl
