// The stripe command protocol and the two card calls.
//
// The reader answers a read command with "s", the track data, one trailing
// byte and FS (or with a single error byte instead of "s"), and a status
// request with ESC and a short text ending in "p" or "q". Nothing else is
// acknowledged. Every byte is received with RecvByte1 (at most 5 seconds),
// and each waiting step keeps its own clock: it notes the start once, before
// its command goes out, and the limit is tested between receive attempts, so
// a step can overrun it by one receive wait and the clock's second. The
// limits run on the monotonic clock. A step that MS_Cancel cuts short ends
// at once with -11, after the closing pair where a read is left open.
//
// After a read that did not reach FS, and after every write, the host sends
// the closing pair ESC "0", ESC "%A": the reset leaves read mode and the
// port selection puts the reader back on its main port.
#include "stripedrv_internal.h"

#include <string.h>

using sd::CallScope;
using sd::sendCommand;

namespace {

// The reader's status texts after ESC and what GetBpStatus makes of them.
struct StatusEntry {
    const char *text;
    int result;
};

const StatusEntry kStatusTable[] = {
    {"rp", SD_STATUS_RP},
    {"Trp", SD_STATUS_TRP},
    {"Brp", SD_STATUS_BRP},
    {"rq", SD_ERR_RQ},
    {"rs", SD_ERR_PORT},
    {"rt", SD_ERR_CLOSE},
};

// Bytes MSR_ReadMag clears at the start of each track buffer.
const int kTrackClear = 8;

bool isTrackMode(int nTrackMode)
{
    return nTrackMode == SD_TRACK_2 || nTrackMode == SD_TRACK_3
           || nTrackMode == SD_TRACKS_2_3;
}

void sendClosingPair(void)
{
    (void)sendCommand(SD_CMD_RESET, SendData);
    (void)sendCommand(SD_CMD_PORT_A, SendData);
}

int judgeStatus(const char *szText)
{
    for (const StatusEntry &entry : kStatusTable) {
        if (strcmp(entry.text, szText) == 0)
            return entry.result;
    }
    return SD_ERR_STATUS;
}

// The result of the error byte a reader sends instead of "s", or -1 when
// the byte is none.
int readErrorCode(unsigned char byte)
{
    if (byte >= '0' && byte <= '9')
        return SD_READ_ERR_DIGIT(byte);
    if (byte >= 'A' && byte <= 'D')
        return SD_READ_ERR_LETTER(byte);
    return -1;
}

// Copies nLen bytes and a NUL; the caller's buffer holds SD_TRACK_BUF_MIN.
void storeText(char *szDest, const char *pSrc, int nLen)
{
    sd::copyTerminated(szDest, SD_TRACK_BUF_MIN, pSrc, nLen > 0 ? static_cast<size_t>(nLen) : 0);
}

// Splits the data text of a read reply into the track buffers. The text of
// mode 3 begins with the "A" that introduces track 3; in mode 23 the first
// "A" stands between the tracks, and a text without one is all track 2.
void splitTracks(int nTrackMode, const char *pText, int nLen, char *szTrack2data,
                 char *szTrack3data)
{
    if (nTrackMode == SD_TRACK_2) {
        storeText(szTrack2data, pText, nLen);
    } else if (nTrackMode == SD_TRACK_3) {
        if (nLen > 0)
            storeText(szTrack3data, pText + 1, nLen - 1);
        else
            storeText(szTrack3data, pText, 0);
    } else {
        const void *mark = memchr(pText, SD_REPLY_TRACK3, static_cast<size_t>(nLen));
        int track2Len = mark != nullptr ? static_cast<int>(static_cast<const char *>(mark) - pText)
                                        : nLen;
        storeText(szTrack2data, pText, track2Len);
        if (mark != nullptr)
            storeText(szTrack3data, pText + track2Len + 1, nLen - track2Len - 1);
        else
            storeText(szTrack3data, pText, 0);
    }
}

void replaceSeparators(char *szText)
{
    for (char *p = szText; *p != '\0'; ++p) {
        if (*p == SD_REPLY_SEP)
            *p = SD_TRACK_SEP;
    }
}

// Appends szText to the command being built in pCmd (SD_WRITE_CMD_MAX bytes
// with its NUL). False, and nothing appended, when it does not fit.
bool appendText(char *pCmd, int *pnLen, const char *szText)
{
    size_t room = static_cast<size_t>(SD_WRITE_CMD_MAX - 1 - *pnLen);
    size_t len = strnlen(szText, room + 1);
    if (len > room)
        return false;
    memcpy(pCmd + *pnLen, szText, len);
    *pnLen += static_cast<int>(len);
    pCmd[*pnLen] = '\0';
    return true;
}

// Builds the write command for nTrackMode: ESC "t", the track-2 text, "A"
// and the track-3 text as the mode asks, GS ESC "\". SD_OK, or SD_ERR_PARAM
// for a null text the mode uses or texts that do not fit the command.
int buildWriteCommand(char *pCmd, int nTrackMode, const char *szTrack2data,
                      const char *szTrack3data)
{
    bool uses2 = nTrackMode != SD_TRACK_3;
    bool uses3 = nTrackMode != SD_TRACK_2;
    if ((uses2 && szTrack2data == nullptr) || (uses3 && szTrack3data == nullptr))
        return SD_ERR_PARAM;
    int len = 0;
    pCmd[0] = '\0';
    bool fits = appendText(pCmd, &len, SD_CMD_WRITE_HEAD);
    if (fits && uses2)
        fits = appendText(pCmd, &len, szTrack2data);
    if (fits && uses3)
        fits = appendText(pCmd, &len, SD_CMD_TRACK3_MARK)
               && appendText(pCmd, &len, szTrack3data);
    if (fits)
        fits = appendText(pCmd, &len, SD_CMD_WRITE_TAIL);
    return fits ? SD_OK : SD_ERR_PARAM;
}

// Only the reader's status results count as success; a refused read (its
// error byte) and every failure pass through.
int foldStatus(int nResult)
{
    if (nResult == SD_STATUS_BRP || nResult == SD_STATUS_RP || nResult == SD_STATUS_TRP)
        return SD_OK;
    return nResult;
}

const char *textOrEmpty(const char *szText)
{
    return szText != nullptr ? szText : "";
}

// Opens the line and sends the external-port selection when one is asked
// for; no answer comes and the send's result is not examined. SD_OK with
// the line open, or the OpenCOM result.
int openLine(const char *szPort, const char *szExtPort, int nBaud)
{
    int rc = szPort != nullptr ? OpenCOM(szPort, nBaud) : SD_ERR_PORT;
    if (rc == SD_OK && szExtPort != nullptr && szExtPort[0] != '\0')
        (void)sendCommand(SD_CMD_PORT_A);
    return rc;
}

// The transaction both card calls are: trace the start, open the line (and
// select the external port), run the exchange on it, fold its result, close
// the line whatever happened, trace the outcome. traceTracks writes what
// comes between the close and the end entry (a read's track texts).
// A reader that another program holds is waited for up to nTimeout.
template <typename Exchange, typename TraceTracks>
int cardTransaction(const char *szStartFormat, const char *szEndFormat, const char *szPort,
                    const char *szExtPort, int nBaud, int nTimeout, Exchange exchange,
                    TraceTracks traceTracks)
{
    CallScope call;
    sd::LineWaitLimit lineWait(nTimeout);
    char stamp[sd::kStampBuf] = {};
    GetSysDate(stamp);
    WriteLog(szStartFormat, stamp);

    int rc = openLine(szPort, szExtPort, nBaud);
    if (rc == SD_OK)
        rc = foldStatus(exchange());
    (void)CloseCOM(); // the outcome is the exchange's

    GetSysDate(stamp);
    traceTracks();
    WriteLog(szEndFormat, stamp, rc);
    return rc;
}

} // namespace

extern "C" {

STRIPEDRV_API int GetBpStatus(long nTimeout)
{
    CallScope call;
    const struct timespec start = sd::monotonicNow();
    char text[SD_STATUS_TEXT_MAX + 1];
    int len = 0;
    bool tooLong = false;
    unsigned char byte = 0;

    sd::expectAnswer();
    (void)sendCommand(SD_CMD_STATUS, SendData);

    // Stray bytes may come before the ESC that opens the answer.
    for (;;) {
        int got = RecvByte1(&byte);
        if (got == SD_ERR_CANCELLED)
            return got;
        if (got == SD_OK && byte == SD_ESC)
            break;
        if (sd::wholeSecondsPassed(start, nTimeout))
            return SD_ERR_STATUS;
    }
    // The text runs to its "p" or "q"; "rs" and "rt" end with neither and
    // are taken as they stand once the limit has passed.
    while (!sd::wholeSecondsPassed(start, nTimeout)) {
        int got = RecvByte1(&byte);
        if (got == SD_ERR_CANCELLED)
            return got;
        if (got != SD_OK || byte == 0x00)
            continue;
        if (len < SD_STATUS_TEXT_MAX)
            text[len++] = static_cast<char>(byte);
        else
            tooLong = true;
        if (byte == 'p' || byte == 'q') {
            sd::answerEnded();
            break;
        }
    }
    text[len] = '\0';
    return tooLong ? SD_ERR_STATUS : judgeStatus(text);
}

STRIPEDRV_API int ReadMsre(int nTrackMode, char *szTrack2data, char *szTrack3data,
                           int nTimeout)
{
    CallScope call;
    const struct timespec start = sd::monotonicNow();
    const char *command = nTrackMode == SD_TRACK_2   ? SD_CMD_READ_2
                          : nTrackMode == SD_TRACK_3 ? SD_CMD_READ_3
                                                     : SD_CMD_READ_23;
    if (!isTrackMode(nTrackMode))
        return SD_ERR_TRACKMODE;
    if (szTrack2data == nullptr || szTrack3data == nullptr)
        return SD_ERR_PARAM;

    sd::expectAnswer(sd::AnswerAfter::Swipe);
    (void)Sendstr(command); // a failed send shows up as a missing reply

    // Wait for "s"; an error byte ends the read, anything else is noise.
    // The answer counts as ended only at FS: after an error byte the reader
    // may still be sending, and the line is let fall quiet before it is
    // closed.
    unsigned char byte = 0;
    for (;;) {
        int got = RecvByte1(&byte);
        if (got == SD_ERR_CANCELLED) {
            sendClosingPair();
            return got;
        }
        if (got == SD_OK) {
            if (byte == SD_REPLY_START)
                break;
            int error = readErrorCode(byte);
            if (error >= 0) {
                sendClosingPair();
                return error;
            }
        }
        if (sd::wholeSecondsPassed(start, nTimeout)) {
            sendClosingPair();
            return SD_ERR_TIMEOUT;
        }
    }

    // Collect up to FS. A reply that does not fit is refused as a whole.
    char reply[SD_READ_REPLY_MAX];
    sd::WipeOnReturn wipeReply(reply, sizeof reply);
    int len = 0;
    for (;;) {
        if (sd::wholeSecondsPassed(start, nTimeout) || len == SD_READ_REPLY_MAX) {
            sendClosingPair();
            return SD_ERR_TIMEOUT;
        }
        int got = RecvByte1(&byte);
        if (got == SD_ERR_CANCELLED) {
            sendClosingPair();
            return got;
        }
        if (got != SD_OK || byte == 0x00)
            continue;
        reply[len++] = static_cast<char>(byte);
        if (byte == SD_FS)
            break;
    }
    sd::answerEnded();

    // FS and the trailing byte before it are no data.
    int textLen = len >= 2 ? len - 2 : 0;
    splitTracks(nTrackMode, reply, textLen, szTrack2data, szTrack3data);
    int rc = GetBpStatus(nTimeout);
    if (rc == SD_ERR_CANCELLED) {
        // Cut short before the reader confirmed the read: hand back nothing.
        storeText(szTrack2data, "", 0);
        storeText(szTrack3data, "", 0);
        sendClosingPair();
    }
    return rc;
}

STRIPEDRV_API int MSR_ReadMag(int nTrackMode, char *szTrack2data, char *szTrack3data,
                              int nTimeout)
{
    CallScope call;
    if (szTrack2data != nullptr)
        memset(szTrack2data, 0, kTrackClear);
    if (szTrack3data != nullptr)
        memset(szTrack3data, 0, kTrackClear);
    int rc = ReadMsre(nTrackMode, szTrack2data, szTrack3data, nTimeout);
    if (szTrack2data != nullptr)
        replaceSeparators(szTrack2data);
    if (szTrack3data != nullptr)
        replaceSeparators(szTrack3data);
    return rc;
}

STRIPEDRV_API int MSR_WriteMag(int nTrackMode, const char *szTrack2data,
                               const char *szTrack3data, int nTimeout)
{
    CallScope call;
    if (!isTrackMode(nTrackMode))
        return SD_ERR_TRACKMODE;
    char command[SD_WRITE_CMD_MAX];
    sd::WipeOnReturn wipeCommand(command, sizeof command);
    int rc = buildWriteCommand(command, nTrackMode, szTrack2data, szTrack3data);
    if (rc != SD_OK)
        return rc;

    (void)Sendstr(command); // a failed send shows up as a missing reply
    rc = GetBpStatus(nTimeout);
    sendClosingPair();
    return rc;
}

STRIPEDRV_API int MSR_Reset(void)
{
    return sendCommand(SD_CMD_RESET) == SD_OK ? SD_OK : SD_ERR_STATUS;
}

STRIPEDRV_API int MS_ReadCard(const char *szPort, const char *szExtPort, int nBaud,
                              int nTimeout, int nTrackMode, int nReserved,
                              char *szTrack2data, char *szTrack3data)
{
    (void)nReserved;
    return cardTransaction(
        SD_TRACE_READ_START, SD_TRACE_READ_END, szPort, szExtPort, nBaud, nTimeout,
        [&] { return MSR_ReadMag(nTrackMode, szTrack2data, szTrack3data, nTimeout); },
        [&] {
            WriteLog(SD_TRACE_TRACK2, textOrEmpty(szTrack2data));
            WriteLog(SD_TRACE_TRACK3, textOrEmpty(szTrack3data));
        });
}

STRIPEDRV_API int MS_WriteCard(const char *szPort, const char *szExtPort, int nBaud,
                               int nTimeout, int nTrackMode, int nReserved,
                               const char *szTrack2data, const char *szTrack3data)
{
    (void)nReserved;
    return cardTransaction(
        SD_TRACE_WRITE_START, SD_TRACE_WRITE_END, szPort, szExtPort, nBaud, nTimeout,
        [&] { return MSR_WriteMag(nTrackMode, szTrack2data, szTrack3data, nTimeout); },
        [] {});
}

} // extern "C"
