// Module ident: reader identification and the port-switching commands.
//
// Besides the stripe commands the reader knows a few more escape commands:
// ESC "_GETVER" asks for its firmware version (a text ending with CR),
// ESC "Intelligent" for its identity record (0xAA, three decimal digits N,
// N bytes), and the ESC "%" family switches which of its ports is talking
// to the host. None of the ESC "%" commands is answered.
//
// Everything here goes through the exported send and receive primitives of
// module port, like the stripe protocol of msr; the descriptor itself stays
// private to port.
#include "stripedrv_internal.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

using sd::CallScope;
using sd::sendCommand;

namespace {

// Seconds the reader gets for each byte of its version reply.
const int kVersionByteSeconds = 2;
// Seconds for the identity reply's first byte, and for every later one.
const int kIdentityFirstSeconds = 2;
const int kIdentityByteSeconds = 1;
// Digits of the identity length, plus room for the terminator.
const int kIdentityDigits = 3;
const int kIdentityDigitBuf = 10;
// IC_OpenPort keeps its own copy of the version text.
const int kOpenPortVersionBuf = 256;
// InserStr builds its result here: 99 characters and the NUL.
const int kInsertBuf = 100;
// The speed the reader listens at after ESC "%I1".
const long kFastBaud = 115200;

// Receives `count` bytes into dest, `seconds` allowed for each. Bytes that
// arrived before a timeout stay in dest.
int receiveBytes(char *dest, int count, int seconds)
{
    for (int i = 0; i < count; ++i) {
        unsigned char byte = 0;
        if (RecvByte(&byte, seconds) != SD_OK)
            return SD_ERR_TIMEOUT;
        dest[i] = static_cast<char>(byte);
    }
    return SD_OK;
}

// Collects the version reply up to and including its CR into reply
// (SD_VERSION_MAX bytes). Returns the number of bytes stored, or -2 when a
// byte is late or no CR came within the buffer.
int receiveVersionReply(char *reply)
{
    for (int len = 0; len < SD_VERSION_MAX;) {
        unsigned char byte = 0;
        if (RecvByte(&byte, kVersionByteSeconds) != SD_OK)
            return SD_ERR_TIMEOUT;
        reply[len++] = static_cast<char>(byte);
        if (byte == SD_CR)
            return len;
    }
    return SD_ERR_TIMEOUT;
}

// Sends a question to the reader whose answer goes to `dest`: SD_ERR_PARAM
// (nothing sent) without a destination, else the send's result. The answer
// is expected from then on, until the caller has seen its end.
template <size_t N>
int ask(const char (&command)[N], const char *dest)
{
    if (dest == nullptr)
        return SD_ERR_PARAM;
    sd::expectAnswer();
    return sendCommand(command);
}

} // namespace

extern "C" {

STRIPEDRV_API int GetVersionInfo(char *szVersion)
{
    CallScope call;
    int rc = ask(SD_CMD_GETVER, szVersion);
    if (rc != SD_OK)
        return rc;

    char reply[SD_VERSION_MAX];
    int len = receiveVersionReply(reply);
    if (len < 0)
        return len;
    sd::answerEnded();
    // The CR ends the text, except when it is the whole reply: then it is
    // kept as the one character, so that the caller sees that something
    // came.
    if (len > 1)
        --len;
    sd::copyTerminated(szVersion, SD_VERSION_MAX, reply, static_cast<size_t>(len));
    return SD_OK;
}

STRIPEDRV_API int ProbeDeviceId(char *szRecord)
{
    CallScope call;
    int rc = ask(SD_CMD_IDENTITY, szRecord);
    if (rc != SD_OK)
        return rc;

    unsigned char first = 0;
    if (RecvByte(&first, kIdentityFirstSeconds) != SD_OK)
        return SD_ERR_TIMEOUT;
    if (first != SD_IDENTITY_START)
        return SD_ERR_DATA; // the rest is left unread on the line

    char digits[kIdentityDigitBuf] = {};
    if (receiveBytes(digits, kIdentityDigits, kIdentityByteSeconds) != SD_OK)
        return SD_ERR_TIMEOUT;
    // Three characters read the way atoi reads them: a sign or blanks may
    // lead, and a length of zero or less means an empty record.
    int count = atoi(digits);
    if (count > 0) {
        // No terminator: the caller zeroes the buffer when it wants a text.
        rc = receiveBytes(szRecord, count, kIdentityByteSeconds);
        if (rc != SD_OK)
            return rc;
    }
    sd::answerEnded();
    return SD_OK;
}

STRIPEDRV_API int SelectExtPort(char cPort)
{
    CallScope call;
    const char command[3] = {SD_ESC, '%', cPort};
    return SendData(static_cast<int>(sizeof command), command);
}

STRIPEDRV_API int IC_OpenPort(const char *szPort, const char *szExtPort, int nBaud,
                              int nReserved)
{
    (void)nReserved;
    CallScope call;
    int rc = OpenCOM(szPort, nBaud);
    if (rc != SD_OK)
        return rc;
    // Only whether a selector was given matters; the reader is always
    // switched to port A. It answers nothing, and the send's result is not
    // examined: the version request that follows finds out.
    if (szExtPort != nullptr && szExtPort[0] != '\0')
        (void)sendCommand(SD_CMD_PORT_A);

    char version[kOpenPortVersionBuf] = {};
    rc = GetVersionInfo(version);
    if (rc != SD_OK) {
        (void)CloseCOM(); // the failure to report is the version request's
        return rc;
    }

    if (sd::startsWith(version, "Ver3")) {
        // Old firmware stays at the caller's speed.
        rc = sendCommand(SD_CMD_I4);
        if (rc != SD_OK)
            (void)CloseCOM();
        return rc;
    }

    // Newer firmware moves to 115200 after ESC "%I1": follow it there.
    rc = sendCommand(SD_CMD_I1);
    (void)CloseCOM(); // the reader has moved to the new speed; reopen there
    if (rc != SD_OK)
        return rc;
    return OpenCOM(szPort, kFastBaud);
}

STRIPEDRV_API int IC_ClosePort(const char *szPort, const char *szExtPort, int nBaud,
                               int nReserved)
{
    (void)szPort;
    (void)szExtPort;
    (void)nBaud;
    (void)nReserved;
    CallScope call;
    if (isPortOpened == 0)
        return SD_OK;
    (void)sendCommand(SD_CMD_PORT_B); // unanswered; closing is what counts
    return CloseCOM();
}

STRIPEDRV_API void InserStr(char *szText, const char *szInsert, int nPos)
{
    if (szText == nullptr || szInsert == nullptr || nPos < 0)
        return;
    size_t textLen = strlen(szText);
    size_t pos = static_cast<size_t>(nPos);
    if (pos >= textLen)
        return;
    size_t insertLen = strlen(szInsert);
    size_t tailLen = textLen - pos - 1; // the character at pos is dropped
    size_t resultLen = pos + insertLen + tailLen;
    if (resultLen >= static_cast<size_t>(kInsertBuf))
        return;

    char result[kInsertBuf] = {};
    memcpy(result, szText, pos);
    memcpy(result + pos, szInsert, insertLen);
    memcpy(result + pos + insertLen, szText + pos + 1, tailLen);
    memcpy(szText, result, resultLen + 1);
}

} // extern "C"
