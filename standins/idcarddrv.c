/* idcarddrv.so stand-in.
 *
 * The console loads a resident ID card reader library next to the stripe
 * reader library. That library is a separate product; this one only lets
 * the console start without an error dialog and gives its "read ID card"
 * button an honest answer: it checks the arguments and the port, and then
 * says that it holds no ID card reader. It never reports card data and
 * never writes the photo file.
 */
#include "idcarddrv.h"
#include "portprobe.h"

#include <stddef.h>

IDCARDDRV_API int ID_GetInfo(const char *szPort, const char *szExtPort, int nBaud,
                             int nTimeout, const char *szPhotoPath,
                             const char *szOption1, const char *szOption2,
                             const char *szOption3, char *szInfo)
{
    if (szInfo == NULL)
        return IDCARDDRV_BAD_ARGUMENT;
    szInfo[0] = '\0';
    if (szPort == NULL || szExtPort == NULL || szPhotoPath == NULL || szOption1 == NULL
        || szOption2 == NULL || szOption3 == NULL || nBaud <= 0 || nTimeout < 0)
        return IDCARDDRV_BAD_ARGUMENT;
    if (!standin_port_opens(szPort))
        return IDCARDDRV_PORT_FAILED;
    return IDCARDDRV_NO_READER;
}
