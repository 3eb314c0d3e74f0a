/* chipdrv.so stand-in.
 *
 * The console loads an IC card reader library next to the stripe reader
 * library. That library is a separate product; this one only lets the
 * console start without an error dialog and gives its "read IC card"
 * button an honest answer: it checks the arguments and the port, and then
 * says that it holds no IC card reader. It never reports card data.
 */
#include "chipdrv.h"
#include "portprobe.h"

#include <stddef.h>

CHIPDRV_API int IC_GetInfo(const char *szPort, const char *szExtPort, int nBaud,
                           int nTimeout, int *pnCardType, const char *szAid,
                           const char *szItems, int *pnInfoLen, char *szInfo)
{
    if (szInfo == NULL)
        return CHIPDRV_BAD_ARGUMENT;
    szInfo[0] = '\0';
    if (pnInfoLen != NULL)
        *pnInfoLen = 0;
    if (szPort == NULL || szExtPort == NULL || pnCardType == NULL || szAid == NULL
        || szItems == NULL || pnInfoLen == NULL || nBaud <= 0 || nTimeout < 0)
        return CHIPDRV_BAD_ARGUMENT;
    if (!standin_port_opens(szPort))
        return CHIPDRV_PORT_FAILED;
    return CHIPDRV_NO_READER;
}
