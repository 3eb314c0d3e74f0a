#include "identity.h"

#include <string.h>

namespace sdident {

namespace {

// The last `sep` in text at index 1 or later (the first character is never
// examined), or null.
const char *findLastFromSecond(const char *text, char sep)
{
    for (size_t i = strlen(text); i > 1; --i)
        if (text[i - 1] == sep)
            return text + i - 1;
    return nullptr;
}

// At most `count` characters of src into dest (cap bytes), terminated.
void copyPart(char *dest, size_t cap, const char *src, size_t count)
{
    size_t len = strnlen(src, count);
    if (len > cap - 1)
        len = cap - 1;
    memcpy(dest, src, len);
    dest[len] = '\0';
}

// True when text begins with prefix (case-sensitive).
bool startsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

} // namespace

const char *modelFromFirmware(const char *version)
{
    return startsWith(version, "Ver3") ? "P26A" : "P26B";
}

bool needsIdentityRecord(const char *version)
{
    return !startsWith(version, "Ver3") && !startsWith(version, "Ver5.12");
}

void splitIdentityRecord(const char *record, char *serial, size_t serialCap, char *date,
                         size_t dateCap)
{
    serial[0] = '\0';
    date[0] = '\0';
    const char *bar = findLastFromSecond(record, '|');
    if (bar == nullptr)
        return;
    copyPart(serial, serialCap, bar + 1, strlen(bar + 1));
    const char *dash = findLastFromSecond(serial, '-');
    if (dash != nullptr)
        copyPart(date, dateCap, dash + 1, kDateChars);
}

} // namespace sdident
