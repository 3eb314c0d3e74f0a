// The request library: one field of a JSON request text at a time.
//
// Callers are C code (stripedrv.so loads it with dlopen), so nothing may
// leave ReqFieldGet as an exception: the parser runs in its non-throwing
// mode and everything else is caught at the boundary.
#include "reqjson.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <string>

namespace {

const size_t kValueMax = REQJSON_VALUE_BUF - 1;

// The longest prefix of text that fits kValueMax bytes and ends on a whole
// UTF-8 character.
size_t cutLength(const std::string &text)
{
    if (text.size() <= kValueMax)
        return text.size();
    size_t cut = kValueMax;
    // Step back over continuation bytes: text[cut] then begins a character.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

void store(const std::string &text, char *out)
{
    size_t len = cutLength(text);
    std::memcpy(out, text.data(), len);
    out[len] = '\0';
}

// The field's value as text; false when there is none to give.
bool fieldText(const char *request, const char *field, std::string &text)
{
    const nlohmann::json doc = nlohmann::json::parse(request, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return false;
    const auto it = doc.find(field);
    if (it == doc.end())
        return false;
    if (it->is_string()) {
        text = it->get_ref<const std::string &>();
        return true;
    }
    if (it->is_number()) {
        text = it->dump(); // integers in decimal, others as JSON writes them
        return true;
    }
    return false;
}

} // namespace

extern "C" REQJSON_API int ReqFieldGet(const char *szRequest, const char *szField,
                                       char *szValue)
{
    if (szValue == nullptr)
        return -1;
    szValue[0] = '\0';
    if (szRequest == nullptr || szField == nullptr)
        return -1;
    try {
        std::string text;
        if (!fieldText(szRequest, szField, text))
            return -1;
        store(text, szValue);
        return 0;
    } catch (...) {
        szValue[0] = '\0';
        return -1;
    }
}
