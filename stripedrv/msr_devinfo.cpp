// The device-information call: a JSON request in, a one-line JSON answer out.
//
// A host program names the reader's port and speed in a request text. The
// request is read by a separate request library, QOVA/libreqjson.so below
// the working directory, asked one field at a time through ReqFieldGet. The
// call then opens the reader, asks for its firmware version and, for
// firmware that does not tell the model by itself, for its identity record,
// and answers with brand, versions, serial number, production date and
// model, or with an error code and a short message.
#include "identity.h"
#include "stripedrv_internal.h"

#include <dlfcn.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

using sd::copyText;
using sd::ReqFieldGetFn; // ReqFieldGet(request, field name, 128-byte output)

namespace {

const size_t kFieldBuf = REQJSON_VALUE_BUF; // every text taken from the request or reader
const size_t kPathBuf = 260;
const size_t kCodeBuf = 100;
const int kDefaultBaud = 9600;
using sdident::kDateChars;     // production date: YYMM from the serial number

// The identity record as the reader can announce it: three digits give at
// most 999 bytes, and the buffer is zeroed so the record reads as a text.
const size_t kRecordBuf = SD_IDENTITY_MAX + 1;

// A value escaped for JSON grows at most six-fold (a control byte becomes
// \u00XX); the version reply holds at most 99 characters and the serial
// number and date are cut to their buffers.
const size_t kEscapeGrowth = 6;
const size_t kEscVersionBuf = (SD_VERSION_MAX - 1) * kEscapeGrowth + 1;
const size_t kEscSerialBuf = (kFieldBuf - 1) * kEscapeGrowth + 1;
const size_t kEscDateBuf = kDateChars * kEscapeGrowth + 1;
// Room for the success answer with every value at its largest.
const size_t kAnswerBuf = 2048;
static_assert(sizeof(SD_ANSWER_OK_FORMAT) + sizeof(SD_DLL_VERSION) + kEscVersionBuf +
                      kEscSerialBuf + kEscDateBuf + sizeof("P26B") < kAnswerBuf,
              "the answer buffer holds the longest success answer");

// ---------------------------------------------------------------------------
// JSON string escaping, bounded: the reader's bytes go into the answer as
// valid JSON string contents and valid UTF-8, whatever the reader sent.

// Length of the well-formed UTF-8 sequence at s (1 to 4), or 0 when the
// bytes there are not one. The text is NUL-terminated and a NUL is never a
// continuation byte, so the look-ahead stops at the end of the text.
size_t utf8SequenceLength(const unsigned char *s)
{
    unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0; // no overlong forms
        if (c == 0xED)
            hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < len; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

// Appends bytes to a bounded output, always keeping it NUL-terminated.
struct TextOut {
    char *buf;
    size_t cap;
    size_t len;
    bool full;
};

void putBytes(TextOut &out, const char *bytes, size_t count)
{
    if (out.full || out.len + count >= out.cap) {
        out.full = true;
        return;
    }
    memcpy(out.buf + out.len, bytes, count);
    out.len += count;
    out.buf[out.len] = '\0';
}

void putControlEscape(TextOut &out, unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    const char esc[6] = {'\\', 'u', '0', '0', digits[c >> 4], digits[c & 0x0F]};
    putBytes(out, esc, sizeof esc);
}

// Escapes text into dest (cap bytes): quote and backslash get a backslash,
// control bytes become \u00XX, a byte that does not start a well-formed
// UTF-8 character becomes U+FFFD. Ordinary text comes through unchanged.
// An input too long for dest is cut at a whole escape.
void escapeJson(const char *text, char *dest, size_t cap)
{
    static const char kReplacement[] = "\xEF\xBF\xBD";
    TextOut out = {dest, cap, 0, false};
    dest[0] = '\0';
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    while (*s != '\0' && !out.full) {
        unsigned char c = *s;
        size_t len = utf8SequenceLength(s);
        if (len == 0) {
            putBytes(out, kReplacement, sizeof kReplacement - 1);
            len = 1;
        } else if (c == '"' || c == '\\') {
            const char esc[2] = {'\\', static_cast<char>(c)};
            putBytes(out, esc, sizeof esc);
        } else if (c < 0x20) {
            putControlEscape(out, c);
        } else {
            putBytes(out, reinterpret_cast<const char *>(s), len);
        }
        s += len;
    }
}

// ---------------------------------------------------------------------------
// Small text helpers.

// The message that goes with an error code in the answer.
const char *errorMessage(int status)
{
    switch (status) {
    case SD_ERR_PORT:    return "open port fail";
    case SD_ERR_STATUS:  return "param error";
    case SD_ERR_TIMEOUT: return "operation timeout";
    case SD_ERR_DATA:    return "data error";
    case SD_ERR_LOADSO:  return "load so  fail";
    default:             return "operation execution fail";
    }
}

// ---------------------------------------------------------------------------
// The steps of the call.

// Working directory + "/QOVA/libreqjson.so" into path (kPathBuf bytes).
// False when the directory is unknown or the whole path does not fit.
bool buildLibraryPath(char *path)
{
    if (getcwd(path, kPathBuf) == nullptr)
        return false;
    size_t dirLen = strlen(path);
    if (dirLen + sizeof(SD_REQLIB_PATH) > kPathBuf)
        return false;
    memcpy(path + dirLen, SD_REQLIB_PATH, sizeof(SD_REQLIB_PATH));
    return true;
}

// Loads the request library and finds ReqFieldGet. The library is never
// unloaded; loading it again by the same path returns the same handle.
int loadRequestLibrary(ReqFieldGetFn *fn)
{
    char path[kPathBuf] = {};
    void *handle = buildLibraryPath(path) ? dlopen(path, RTLD_LAZY) : nullptr;
    if (handle == nullptr) {
        WriteLog(SD_TRACE_DEV_NOLIB);
        return SD_ERR_LOADSO;
    }
    *fn = reinterpret_cast<ReqFieldGetFn>(dlsym(handle, "ReqFieldGet"));
    if (*fn == nullptr) {
        WriteLog(SD_TRACE_DEV_NOFUNC);
        return SD_ERR_LOADSO;
    }
    return SD_OK;
}

// One field of the request into value (kFieldBuf bytes), terminated even if
// the library forgot to. Its result is not used: an absent field is empty.
void requestField(ReqFieldGetFn fn, const char *request, const char *field, char *value)
{
    (void)fn(request, field, value);
    value[kFieldBuf - 1] = '\0';
}

// A lone digit 1 to 9 names a Windows-style port: "3" gives COM3. Any other
// value is the device name below /dev/ as it stands.
void portNameFor(const char *value, char *name)
{
    if (value[0] >= '1' && value[0] <= '9' && value[1] == '\0') {
        const char com[] = {'C', 'O', 'M', value[0], '\0'};
        memcpy(name, com, sizeof com);
    } else {
        copyText(name, kFieldBuf, value);
    }
}

// What the reader told about itself.
struct DeviceInfo {
    char version[kFieldBuf];
    char serial[kFieldBuf];
    char date[kFieldBuf];
    const char *model;
};

// Asks the open reader who it is: the firmware version and, when that does
// not settle the model, the identity record (identity.h has the rule).
int identifyReader(DeviceInfo &info)
{
    int rc = GetVersionInfo(info.version);
    if (rc != SD_OK) {
        WriteLog(SD_TRACE_DEV_VERSION_FAIL, rc);
        return rc;
    }
    WriteLog(SD_TRACE_DEV_VERSION, info.version);
    info.model = sdident::modelFromFirmware(info.version);
    if (!sdident::needsIdentityRecord(info.version))
        return SD_OK;

    char record[kRecordBuf] = {};
    rc = ProbeDeviceId(record);
    if (rc != SD_OK) {
        WriteLog(SD_TRACE_DEV_PROBE_FAIL, rc);
        return rc;
    }
    sdident::splitIdentityRecord(record, info.serial, sizeof info.serial, info.date,
                                 sizeof info.date);
    return SD_OK;
}

// Reads the request, opens the port and identifies the reader.
int queryDevice(const char *request, DeviceInfo &info)
{
    ReqFieldGetFn reqFieldGet = nullptr;
    int rc = loadRequestLibrary(&reqFieldGet);
    if (rc != SD_OK)
        return rc;

    char portValue[kFieldBuf] = {};
    char baudValue[kFieldBuf] = {};
    requestField(reqFieldGet, request, "RequestPort", portValue);
    requestField(reqFieldGet, request, "RequestBaudRate", baudValue);
    int baud = baudValue[0] != '\0' ? atoi(baudValue) : kDefaultBaud;

    WriteLog(SD_TRACE_DEV_NAME, portValue);
    printf(SD_OUT_DEV_NAME, portValue);
    printf(SD_OUT_DEV_BAUD, baud);
    char portName[kFieldBuf] = {};
    portNameFor(portValue, portName);
    printf(SD_OUT_DEV_PORT, portName);
    fflush(stdout);

    rc = OpenCOM(portName, baud);
    if (rc != SD_OK) {
        WriteLog(SD_TRACE_DEV_OPEN_FAIL, rc);
        return rc;
    }
    return identifyReader(info);
}

// Builds the answer for the status into answer (kAnswerBuf bytes).
void buildAnswer(int status, const DeviceInfo &info, char *answer)
{
    if (status != SD_OK) {
        char code[kCodeBuf] = {};
        char message[kCodeBuf] = {};
        snprintf(code, sizeof code, "%d", status);
        copyText(message, sizeof message, errorMessage(status));
        snprintf(answer, kAnswerBuf, SD_ANSWER_ERR_FORMAT, code, message);
        return;
    }
    char version[kEscVersionBuf];
    char serial[kEscSerialBuf];
    char date[kEscDateBuf];
    escapeJson(info.version, version, sizeof version);
    escapeJson(info.serial, serial, sizeof serial);
    escapeJson(info.date, date, sizeof date);
    snprintf(answer, kAnswerBuf, SD_ANSWER_OK_FORMAT, SD_DLL_VERSION, version, serial,
             date, info.model);
}

} // namespace

extern "C" STRIPEDRV_API int DEV_CommCall(const char *szRequest, void *pReserved,
                                          char *szAnswer, int *pnAnswerLen)
{
    (void)pReserved;
    sd::CallScope call;
    char stamp[sd::kStampBuf] = {};
    GetSysDate(stamp);
    WriteLog(SD_TRACE_DEV_START, stamp);

    int status = SD_ERR_STATUS;
    // Nowhere to answer: the reader is not asked, but the call is traced
    // and closes the line like any other.
    if (szAnswer != nullptr && pnAnswerLen != nullptr && *pnAnswerLen > 0) {
        DeviceInfo info = {};
        status = queryDevice(szRequest, info);

        char answer[kAnswerBuf] = {};
        buildAnswer(status, info, answer);
        size_t len = strlen(answer);
        if (len < static_cast<size_t>(*pnAnswerLen)) {
            memcpy(szAnswer, answer, len + 1);
            *pnAnswerLen = static_cast<int>(len);
        } else if (status == SD_OK) {
            // An answer the caller never gets is no success.
            status = SD_ERR_STATUS;
        }
    }

    (void)CloseCOM(); // the outcome is the query's
    GetSysDate(stamp);
    WriteLog(SD_TRACE_DEV_END, stamp, status);
    return status;
}
