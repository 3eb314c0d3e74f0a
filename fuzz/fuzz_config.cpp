// Fuzz target: the configuration lookup and the trace gate.
//
// Input layout: the section name up to the first LF, the key up to the
// next LF, then the contents of CONFIG.ini. The file is served from memory
// by the fake line's fopen; the trace file goes to /dev/null. With fewer
// than two LFs the section and key come out empty or short, which is a case
// worth running too.
//
// Checked besides the sanitizers: X_INIKeyString returns 0 or 1, leaves the
// output alone when it returns 0, and both lookups leave a terminated text
// of at most one line's length (the longest value a line can hold).
#include "fake_line.h"
#include "stripedrv.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A value is at most a line: 1023 characters in front of the LF.
constexpr size_t kOut = 1024;

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "broken promise: %s\n", what);
    abort();
}

std::string takeLine(const uint8_t *&p, const uint8_t *end)
{
    const uint8_t *lf = static_cast<const uint8_t *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const uint8_t *stop = lf ? lf : end;
    std::string s(reinterpret_cast<const char *>(p), static_cast<size_t>(stop - p));
    p = lf ? lf + 1 : end;
    return s;
}

bool terminated(const char *buf) { return memchr(buf, '\0', kOut) != nullptr; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *p = data, *end = data + size;
    std::string section = takeLine(p, end);
    std::string key = takeLine(p, end);

    fakeline::Script script;
    script.config = p;
    script.configSize = static_cast<size_t>(end - p);
    fakeline::begin(script);

    // The exact buffer on the heap, so that a write past it is caught.
    char *out = static_cast<char *>(malloc(kOut));
    memset(out, 'Z', kOut - 1);
    out[kOut - 1] = '\0';
    int rc = X_INIKeyString(SD_CONFIG_FILE, section.c_str(), key.c_str(), out, nullptr);
    if (rc != 0 && rc != 1)
        fail("X_INIKeyString result");
    if (rc == 0 && strspn(out, "Z") != kOut - 1)
        fail("X_INIKeyString touched the output and returned 0");
    if (!terminated(out))
        fail("X_INIKeyString value not terminated");
    if (rc == 1 && strchr(out, '\r'))
        fail("X_INIKeyString value holds a CR");

    rc = X_INIKeyString(SD_CONFIG_FILE, section.c_str(), key.c_str(), out, "dflt");
    if (rc != 1)
        fail("X_INIKeyString with a default and a file did not fill the output");

    memset(out, 'Z', kOut - 1);
    GetIniKeyString(section.c_str(), key.c_str(), SD_CONFIG_FILE, out, "dflt");
    if (!terminated(out))
        fail("GetIniKeyString value not terminated");

    // The trace gate reads DEVTRACE/Switch from the same file.
    if (WriteLog("fuzz %s %d\n", section.c_str(), rc) != 0)
        fail("WriteLog could not open the trace");
    WriteLog_Byte(reinterpret_cast<const char *>(data), static_cast<int>(size < 64 ? size : 64));
    WriteLog_ByteEx(data, static_cast<int>(size < 45 ? size : 45), static_cast<int>(size & 1));

    free(out);
    fakeline::end();
    return 0;
}
