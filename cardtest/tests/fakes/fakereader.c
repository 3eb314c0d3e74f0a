/* One source, several fakes: the FAKE_* macros pick the calls exported. */
/* strnlen */
#define _POSIX_C_SOURCE 200809L
#include "fakereader.h"

#include <stdio.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))
/* Not every fake uses every helper. */
#define HELPER static __attribute__((unused))

EXPORT FakeCall fake_call;
EXPORT FakeReply fake_reply;

HELPER void keep(char *dst, const char *src)
{
    if (src == NULL) {
        fake_call.nullArgument = 1;
        dst[0] = '\0';
        return;
    }
    size_t n = strlen(src);
    if (n >= FAKE_TEXT) {
        fake_call.textTooLong = 1;
        n = FAKE_TEXT - 1;
    }
    memcpy(dst, src, n);
    dst[n] = '\0';
}

HELPER void begin(const char *function, const char *port, const char *extPort, int baud,
                  int timeout)
{
    fake_call.calls++;
    snprintf(fake_call.function, sizeof fake_call.function, "%s", function);
    keep(fake_call.port, port);
    keep(fake_call.extPort, extPort);
    fake_call.baud = baud;
    fake_call.timeout = timeout;
    fake_call.buffersZeroed = 1;
}

/* Checks that the whole buffer is zero (reading all of it also makes a
 * buffer that is too small show up under AddressSanitizer). */
HELPER void checkZeroed(const char *buffer, int size)
{
    if (buffer == NULL) {
        fake_call.nullArgument = 1;
        fake_call.buffersZeroed = 0;
        return;
    }
    for (int i = 0; i < size; ++i)
        if (buffer[i] != 0)
            fake_call.buffersZeroed = 0;
}

HELPER void answer(char *buffer, int size, const char *text)
{
    if (buffer == NULL)
        return;
    if (fake_reply.fillWithoutNul) {
        memset(buffer, 'F', (size_t)size);
        return;
    }
    size_t n = strnlen(text, (size_t)size - 1);
    memcpy(buffer, text, n);
    buffer[n] = '\0';
}

HELPER int finish(void)
{
    if (fake_reply.during)
        fake_reply.during();
    return fake_reply.result;
}

#ifdef FAKE_MS_READ
EXPORT int MS_ReadCard(const char *szPort, const char *szExtPort, int nBaud, int nTimeout,
                       int nTrackMode, int nReserved, char *szTrack2data, char *szTrack3data)
{
    begin("MS_ReadCard", szPort, szExtPort, nBaud, nTimeout);
    fake_call.ints[0] = nTrackMode;
    fake_call.ints[1] = nReserved;
    checkZeroed(szTrack2data, 256);
    checkZeroed(szTrack3data, 256);
    answer(szTrack2data, 256, fake_reply.first);
    answer(szTrack3data, 256, fake_reply.second);
    return finish();
}
#endif

#ifdef FAKE_MS_WRITE
EXPORT int MS_WriteCard(const char *szPort, const char *szExtPort, int nBaud, int nTimeout,
                        int nTrackMode, int nReserved, const char *szTrack2data,
                        const char *szTrack3data)
{
    begin("MS_WriteCard", szPort, szExtPort, nBaud, nTimeout);
    fake_call.ints[0] = nTrackMode;
    fake_call.ints[1] = nReserved;
    keep(fake_call.texts[0], szTrack2data);
    keep(fake_call.texts[1], szTrack3data);
    return finish();
}
#endif

#ifdef FAKE_IC
EXPORT int IC_GetInfo(const char *szPort, const char *szExtPort, int nBaud, int nTimeout,
                      int *pnCardType, const char *szAid, const char *szItems,
                      int *pnInfoLen, char *szInfo)
{
    begin("IC_GetInfo", szPort, szExtPort, nBaud, nTimeout);
    if (pnCardType == NULL || pnInfoLen == NULL)
        fake_call.nullArgument = 1;
    else
        fake_call.ints[0] = *pnCardType;
    keep(fake_call.texts[0], szAid);
    keep(fake_call.texts[1], szItems);
    checkZeroed(szInfo, 512);
    answer(szInfo, 512, fake_reply.first);
    if (pnInfoLen != NULL)
        *pnInfoLen = (int)strlen(fake_reply.first);
    return finish();
}
#endif

#ifdef FAKE_ID
EXPORT int ID_GetInfo(const char *szPort, const char *szExtPort, int nBaud, int nTimeout,
                      const char *szPhotoPath, const char *szOption1, const char *szOption2,
                      const char *szOption3, char *szInfo)
{
    begin("ID_GetInfo", szPort, szExtPort, nBaud, nTimeout);
    keep(fake_call.texts[0], szPhotoPath);
    keep(fake_call.texts[1], szOption1);
    keep(fake_call.texts[2], szOption2);
    keep(fake_call.texts[3], szOption3);
    checkZeroed(szInfo, 2048);
    answer(szInfo, 2048, fake_reply.first);
    return finish();
}
#endif
