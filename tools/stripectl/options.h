// stripectl's command lines: each command's table of options, parsed with
// CLI11 ("--name value", "--name=value", flags, positional arguments, "--"),
// and the help text built from the same table.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace stripectl {

struct OptionDef {
    const char *name;     // without the leading "--"
    const char *valueName; // nullptr for a flag
    const char *help;
};

class ParsedOptions {
public:
    bool has(const std::string &name) const { return values_.count(name) != 0; }
    std::string value(const std::string &name, const std::string &fallback = "") const;
    const std::vector<std::string> &positional() const { return positional_; }

private:
    friend bool parseOptions(const std::vector<std::string> &, const std::vector<OptionDef> &,
                             ParsedOptions &, std::string &);
    std::map<std::string, std::string> values_;
    std::vector<std::string> positional_;
};

// Fails (with a message in `error`) on an unknown option, a missing value or
// a value given to a flag. "--" ends the options; an option given twice
// keeps its last value.
bool parseOptions(const std::vector<std::string> &args, const std::vector<OptionDef> &table,
                  ParsedOptions &out, std::string &error);

// The option lines of a help text, aligned.
std::string describeOptions(const std::vector<OptionDef> &table);

// A whole decimal number in [minimum, maximum]; false for anything else
// ("12x", "", out of range).
bool parseInt(const std::string &text, int minimum, int maximum, int &value);

} // namespace stripectl
