// Fuzz target: the request library's field lookup.
//
// Input layout: [0] the length L of the field name, then L bytes of name,
// then the request text. Both are made C strings (an embedded NUL ends
// them early, as it would for a caller).
//
// Checked besides the sanitizers: the result is 0 or -1, the value is a
// terminated text within the 128-byte buffer, -1 comes with an empty text,
// and the value is never cut inside a UTF-8 character.
#include "reqjson.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "broken promise: %s\n", what);
    abort();
}

// True when the text does not end inside a multi-byte character.
bool endsOnWholeCharacter(const char *s, size_t n)
{
    size_t i = n;
    size_t cont = 0;
    while (i > 0 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80 && cont < 4) {
        --i;
        ++cont;
    }
    if (i == 0)
        return cont == 0;
    unsigned char lead = static_cast<unsigned char>(s[i - 1]);
    size_t want = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    return cont == want;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t nameLen = data[0];
    if (size < 1 + nameLen)
        return 0;
    std::string field(reinterpret_cast<const char *>(data + 1), nameLen);
    std::string request(reinterpret_cast<const char *>(data + 1 + nameLen), size - 1 - nameLen);

    char *value = static_cast<char *>(malloc(REQJSON_VALUE_BUF));
    memset(value, 'Z', REQJSON_VALUE_BUF);
    int rc = ReqFieldGet(request.c_str(), field.c_str(), value);
    if (rc != 0 && rc != -1)
        fail("ReqFieldGet result");
    size_t len = strnlen(value, REQJSON_VALUE_BUF);
    if (len == REQJSON_VALUE_BUF)
        fail("ReqFieldGet value not terminated in its buffer");
    if (rc == -1 && len != 0)
        fail("ReqFieldGet failed with a value");
    if (!endsOnWholeCharacter(value, len))
        fail("ReqFieldGet cut a UTF-8 character");
    free(value);
    return 0;
}
