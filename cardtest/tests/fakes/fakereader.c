/* One source, several fakes: the FAKE_* macros pick the calls exported. */
#include "fakereader.h"

#include <stdio.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))
/* Not every fake uses every helper. */
#define HELPER static __attribute__((unused))

EXPORT FakeCall fake_call;
EXPORT FakeReply fake_reply;

HELPER const char *text(const char *s)
{
    return s ? s : "NULL";
}

/* Reads the whole buffer, so that one smaller than the console promised
 * also shows up under AddressSanitizer. */
HELPER const char *zeroed(const char *buffer, int size)
{
    if (buffer == NULL)
        return "NULL";
    for (int i = 0; i < size; ++i)
        if (buffer[i] != 0)
            return "dirty";
    return "zeroed";
}

HELPER void answer(char *buffer, int size, const char *reply)
{
    if (buffer != NULL && fake_reply.fillWithoutNul)
        memset(buffer, 'F', (size_t)size);
    else if (buffer != NULL)
        snprintf(buffer, (size_t)size, "%s", reply);
}

HELPER int finish(void)
{
    fake_call.calls++;
    if (fake_reply.during)
        fake_reply.during();
    return fake_reply.result;
}

#ifdef FAKE_MS_READ
EXPORT int MS_ReadCard(const char *szPort, const char *szExtPort, int nBaud, int nTimeout,
                       int nTrackMode, int nReserved, char *szTrack2data, char *szTrack3data)
{
    snprintf(fake_call.args, sizeof fake_call.args, "MS_ReadCard %s|%s|%d|%d|%d|%d|%s|%s",
             text(szPort), text(szExtPort), nBaud, nTimeout, nTrackMode, nReserved,
             zeroed(szTrack2data, 256), zeroed(szTrack3data, 256));
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
    snprintf(fake_call.args, sizeof fake_call.args, "MS_WriteCard %s|%s|%d|%d|%d|%d|%s|%s",
             text(szPort), text(szExtPort), nBaud, nTimeout, nTrackMode, nReserved,
             text(szTrack2data), text(szTrack3data));
    return finish();
}
#endif

#ifdef FAKE_IC
EXPORT int IC_GetInfo(const char *szPort, const char *szExtPort, int nBaud, int nTimeout,
                      int *pnCardType, const char *szAid, const char *szItems,
                      int *pnInfoLen, char *szInfo)
{
    snprintf(fake_call.args, sizeof fake_call.args, "IC_GetInfo %s|%s|%d|%d|%d|%s|%s|%s|%s",
             text(szPort), text(szExtPort), nBaud, nTimeout, pnCardType ? *pnCardType : -999,
             text(szAid), text(szItems), pnInfoLen ? "len" : "NULL", zeroed(szInfo, 512));
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
    snprintf(fake_call.args, sizeof fake_call.args, "ID_GetInfo %s|%s|%d|%d|%s|%s|%s|%s|%s",
             text(szPort), text(szExtPort), nBaud, nTimeout, text(szPhotoPath),
             text(szOption1), text(szOption2), text(szOption3), zeroed(szInfo, 2048));
    answer(szInfo, 2048, fake_reply.first);
    return finish();
}
#endif
