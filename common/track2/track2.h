// The fields of a track-2 text in the ISO/IEC 7813 layout of payment cards:
// primary account number, "=", expiry date YYMM, service code, discretionary
// data, all digits (the reader's start and end sentinels ";" and "?" may
// stand around it).
//
// Used wherever a track 2 is shown to a person or logged: the account number
// leaves here masked, never whole.
#pragma once

#include <optional>
#include <string>

namespace sdtrack2 {

struct Fields {
    std::string panMasked;   // first 6 and last 4 digits, "*" in between
    std::string expiry;      // "YYMM" as on the card
    std::string serviceCode; // 3 digits
    bool luhnOk = false;     // the account number's check digit is right
};

// The fields, or nothing when the text does not have the layout: an account
// number of 12 to 19 digits, "=", a month 01..12 after the year, a 3-digit
// service code and at most 37 characters in all.
std::optional<Fields> parse(const std::string &track2);

// The account number with all but its first 6 and last 4 digits replaced by
// "*" (a number of 10 digits or fewer is masked whole).
std::string maskPan(const std::string &pan);

// True when the digits pass the Luhn check (mod 10). False for an empty
// text or one holding anything but digits.
bool luhnValid(const std::string &digits);

} // namespace sdtrack2
