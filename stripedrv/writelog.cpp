// Module writelog: INI-style configuration lookup, the time stamp, and the
// trace log "DataLog.log".
//
// The trace is off unless CONFIG.ini switches it on ([DEVTRACE] Switch=1).
// The switch is read again for every entry and the log is opened and closed
// for every entry, so tracing can be turned on and off while a program that
// uses the reader keeps running. Nothing depends on the trace being written.
#include "stripedrv_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One configuration line: 1023 characters and the NUL. Longer lines are
// examined cut to their first 1023 characters.
constexpr size_t kLineMax = 1024;
// Holds the section header text "[" + section name + "]" and NUL.
constexpr size_t kWorkMax = 1024;
// The trace switch value of each trace entry.
constexpr size_t kSwitchMax = 200;
// Bytes per line of a hex dump.
constexpr int kDumpWidth = 20;

// Section header text of GetIniKeyString, kept in static storage.
char tmpstr[kWorkMax];

// The trace's stream buffer; the trace writers hold the library's lock.
char g_traceBuffer[8192];

// ---------------------------------------------------------------------------
// The one line scanner behind both lookups and the trace switch
// ---------------------------------------------------------------------------

enum class Scan { Found, NotFound, NoFile };

// Builds "[" + section + "]" in `header` (kWorkMax bytes). A section name
// too long for it gives false: no line can then be that section's header.
bool buildHeader(const char *szSection, char *header)
{
    size_t len = strnlen(szSection, kWorkMax);
    if (len + 3 > kWorkMax)
        return false;
    header[0] = '[';
    memcpy(header + 1, szSection, len);
    header[len + 1] = ']';
    header[len + 2] = '\0';
    return true;
}

// Reads one line into `line` (kLineMax bytes, NUL-terminated, LF removed).
// Characters past the first 1023 are dropped up to the LF. False at the end
// of the file: the characters after the last LF are never examined.
bool readLine(FILE *f, char *line)
{
    size_t len = 0;
    for (;;) {
        int c = fgetc(f);
        if (c == EOF)
            return false;
        if (c == '\n') {
            line[len] = '\0';
            return true;
        }
        if (len < kLineMax - 1)
            line[len++] = static_cast<char>(c);
    }
}

// A candidate inside the section is the match unless the key does not occur
// in it (anywhere: a plain substring search over the whole line) or it is a
// comment ("#" or "//" as its first characters).
bool isMatch(const char *line, const char *szKey)
{
    if (strstr(line, szKey) == nullptr)
        return false;
    if (line[0] == '#')
        return false;
    if (line[0] == '/' && line[1] == '/')
        return false;
    return true;
}

// Copies at most cap - 1 characters of `text` (ending at the first CR when
// cutAtCr) and a NUL into `out`.
void storeValue(const char *text, bool cutAtCr, char *out, size_t cap)
{
    sd::copyTerminated(out, cap, text, cutAtCr ? strcspn(text, "\r") : strlen(text));
}

// Scans the file for the first entry of the key at or below the section's
// header. Once entered, the section is never left: entries below later
// headers are candidates too. On a match the text after the first "=" is
// stored in `out` (of `cap` bytes), cut at a CR when asked to.
Scan scanIni(const char *szFile, const char *szSection, const char *szKey, char *header,
             bool cutAtCr, char *out, size_t cap)
{
    FILE *f = fopen(szFile, "r");
    if (f == nullptr)
        return Scan::NoFile;
    const bool headerFits = buildHeader(szSection, header);
    const size_t headerLen = headerFits ? strlen(header) : 0;
    bool inSection = false;
    char line[kLineMax];
    while (readLine(f, line)) {
        const char *eq = strchr(line, '=');
        if (eq != nullptr && inSection) {
            if (!isMatch(line, szKey))
                continue;
            fclose(f);
            storeValue(eq + 1, cutAtCr, out, cap);
            return Scan::Found;
        }
        if (headerFits && strncmp(line, header, headerLen) == 0)
            inSection = true;
    }
    fclose(f);
    return Scan::NotFound;
}

// ---------------------------------------------------------------------------
// Trace gate and entry
// ---------------------------------------------------------------------------

// The trace is on while [DEVTRACE] Switch reads as a non-zero integer. No
// file or no entry leaves the zeroed value, which reads as 0: off.
bool traceSwitchedOn()
{
    char value[kSwitchMax];
    memset(value, 0, sizeof value);
    char header[kWorkMax];
    (void)scanIni(SD_CONFIG_FILE, SD_TRACE_SECTION, SD_TRACE_KEY, header, true, value,
                  sizeof value);
    return atoi(value) != 0;
}

// Opens the log for appending. It holds track data in plain, so a log this
// call creates is readable and writable by its owner only; an existing log
// keeps the permissions it has. Several programs may trace into one log:
// with O_APPEND and the stream line-buffered, every line (up to the
// buffer's 8 KiB) goes out whole in one write, so lines of two programs
// never mix inside a line.
FILE *openTrace()
{
    int fd = open(SD_TRACE_FILE, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "a+");
    if (f == nullptr)
        close(fd);
    else
        setvbuf(f, g_traceBuffer, _IOLBF, sizeof g_traceBuffer);
    return f;
}

// Checks the switch, opens the log and writes the time stamp. Null when the
// trace is off or the log can't be opened (then `failed` says which).
FILE *beginEntry(bool &failed)
{
    failed = false;
    if (!traceSwitchedOn())
        return nullptr;
    FILE *f = openTrace();
    if (f == nullptr) {
        failed = true;
        return nullptr;
    }
    char stamp[sd::kStampBuf] = {};
    GetSysDate(stamp);
    fwrite(stamp, 1, strnlen(stamp, sd::kStampLen), f);
    return f;
}

// The stream buffer held the entry (track texts, commands with track data):
// wiped once the entry is written.
int endEntry(FILE *f)
{
    fclose(f);
    sd::wipe(g_traceBuffer, sizeof g_traceBuffer);
    return 0;
}

// The hex digits of a dump: each byte as two upper-case digits and a blank,
// a label at the head of every line of 20, lines ended by CR LF. `first` is
// the first label's format, `next` that of every later line (after CR LF).
void dumpBytes(FILE *f, const unsigned char *data, int count, const char *first,
               const char *next)
{
    for (int i = 0; i < count; ++i) {
        if (i % kDumpWidth == 0) {
            if (i == 0)
                fprintf(f, first, i + 1);
            else
                fprintf(f, next, "\r\n", i + 1);
        }
        fprintf(f, "%02X ", static_cast<unsigned>(data[i]));
    }
}

// One hex-dump entry: the dump, then `lineEnds` times CR LF.
int dumpEntry(const unsigned char *data, int count, const char *first, const char *next,
              int lineEnds)
{
    sd::CallScope call;
    bool failed = false;
    FILE *f = beginEntry(failed);
    if (f == nullptr)
        return failed ? -1 : 0;
    if (data != nullptr)
        dumpBytes(f, data, count, first, next);
    for (int i = 0; i < lineEnds; ++i)
        fputs("\r\n", f);
    return endEntry(f);
}

} // namespace

// ---------------------------------------------------------------------------
// Configuration lookup
// ---------------------------------------------------------------------------

int X_INIKeyString(const char *szFile, const char *szSection, const char *szKey, char *szOut,
                   const char *szDefault)
{
    if (szFile == nullptr || szSection == nullptr || szKey == nullptr || szOut == nullptr)
        return 0;
    char work[kWorkMax];
    memset(work, 0, sizeof work);
    // The caller gives no size: szOut must hold the longest value it takes.
    Scan s = scanIni(szFile, szSection, szKey, work, true, szOut, SIZE_MAX);
    if (s == Scan::Found)
        return 1;
    if (s == Scan::NoFile || szDefault == nullptr)
        return 0;
    strcpy(szOut, szDefault);
    return 1;
}

void GetIniKeyString(const char *szSection, const char *szKey, const char *szFile, char *szOut,
                     const char *szDefault)
{
    sd::CallScope call; // tmpstr is shared
    if (szSection == nullptr || szKey == nullptr || szFile == nullptr || szOut == nullptr)
        return;
    if (scanIni(szFile, szSection, szKey, tmpstr, false, szOut, SIZE_MAX) == Scan::Found)
        return;
    if (szDefault != nullptr)
        strcpy(szOut, szDefault);
}

// ---------------------------------------------------------------------------
// Time stamp and trace writers
// ---------------------------------------------------------------------------

void GetSysDate(char *szDate)
{
    if (szDate == nullptr)
        return;
    time_t now = sd::calendarNow();
    struct tm lt;
    localtime_r(&now, &lt);
    // Formatted with room to spare, then handed over as the 21 characters
    // of the stamp and its NUL (the caller's buffer holds 22 bytes).
    char text[96];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d  ", lt.tm_year + 1900,
             lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
    sd::copyText(szDate, sd::kStampBuf, text);
}

int WriteLog(const char *szFormat, ...)
{
    sd::CallScope call;
    bool failed = false;
    FILE *f = beginEntry(failed);
    if (f == nullptr)
        return failed ? -1 : 0;
    if (szFormat != nullptr) {
        va_list args;
        va_start(args, szFormat);
        vfprintf(f, szFormat, args);
        va_end(args);
    }
    return endEntry(f);
}

int WriteLog_Byte(const char *pData, int nLen)
{
    return dumpEntry(reinterpret_cast<const unsigned char *>(pData), nLen, "[%04d]",
                     "%s[%04d]", 1);
}

int WriteLog_ByteEx(const unsigned char *pData, int nLen, int nResponse)
{
    // A reply's dump ends with an empty line.
    return dumpEntry(pData, nLen, nResponse == 0 ? "Apdu:[%04d]" : "Resp:[%04d]",
                     "%s     [%04d]", nResponse != 0 ? 2 : 1);
}
