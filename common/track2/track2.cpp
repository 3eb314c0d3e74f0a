#include "track2.h"

#include "wipe.h"

#include <cstddef>

namespace sdtrack2 {

namespace {

// Longest track-2 text between the sentinels that the layout allows
// (40 characters on the stripe less start sentinel, end sentinel and LRC).
constexpr size_t kMaxData = 37;
constexpr size_t kMinPan = 12;
constexpr size_t kMaxPan = 19;
constexpr size_t kVisibleHead = 6;
constexpr size_t kVisibleTail = 4;

bool allDigits(const std::string &text)
{
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// The text without the reader's sentinels, when it kept them.
std::string stripSentinels(std::string text)
{
    if (!text.empty() && text.front() == ';')
        text.erase(0, 1);
    if (!text.empty() && text.back() == '?')
        text.pop_back();
    return text;
}

bool plausibleMonth(const std::string &yymm)
{
    int month = (yymm[2] - '0') * 10 + (yymm[3] - '0');
    return month >= 1 && month <= 12;
}

} // namespace

bool luhnValid(const std::string &digits)
{
    if (digits.empty() || !allDigits(digits))
        return false;
    int sum = 0;
    bool doubleIt = false;
    for (size_t i = digits.size(); i-- > 0;) {
        int d = digits[i] - '0';
        if (doubleIt) {
            d *= 2;
            if (d > 9)
                d -= 9;
        }
        sum += d;
        doubleIt = !doubleIt;
    }
    return sum % 10 == 0;
}

std::string maskPan(const std::string &pan)
{
    if (pan.size() <= kVisibleHead + kVisibleTail)
        return std::string(pan.size(), '*');
    return pan.substr(0, kVisibleHead) +
           std::string(pan.size() - kVisibleHead - kVisibleTail, '*') +
           pan.substr(pan.size() - kVisibleTail);
}

std::optional<Fields> parse(const std::string &text)
{
    // Copies of the card: wiped however the parse ends.
    std::string data = stripSentinels(text);
    std::string pan, rest;
    sdcustody::WipeOnExit wipeCopies(data, pan, rest);
    const size_t sep = data.find('=');
    if (data.size() > kMaxData || sep == std::string::npos)
        return std::nullopt;
    pan = data.substr(0, sep);
    rest = data.substr(sep + 1);
    if (pan.size() < kMinPan || pan.size() > kMaxPan || !allDigits(pan) ||
        rest.size() < 7 || !allDigits(rest) || !plausibleMonth(rest))
        return std::nullopt;
    Fields fields;
    fields.panMasked = maskPan(pan);
    fields.expiry = rest.substr(0, 4);
    fields.serviceCode = rest.substr(4, 3);
    fields.luhnOk = luhnValid(pan);
    return fields;
}

} // namespace sdtrack2
