#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace stripectl {

namespace {

const OptionDef *findOption(const std::vector<OptionDef> &table, const std::string &name)
{
    for (const OptionDef &option : table)
        if (name == option.name)
            return &option;
    return nullptr;
}

} // namespace

std::string ParsedOptions::value(const std::string &name, const std::string &fallback) const
{
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

bool parseOptions(const std::vector<std::string> &args, const std::vector<OptionDef> &table,
                  ParsedOptions &out, std::string &error)
{
    out = ParsedOptions();
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (!optionsEnded && arg.size() > 1 && arg[0] == '-' && arg != "-") {
                error = "unknown option " + arg;
                return false;
            }
            out.positional_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool inlineValue = false;
        size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            inlineValue = true;
        }
        const OptionDef *option = findOption(table, name);
        if (!option) {
            error = "unknown option --" + name;
            return false;
        }
        if (!option->valueName) {
            if (inlineValue) {
                error = "option --" + name + " takes no value";
                return false;
            }
            out.values_[name] = "";
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = "option --" + name + " needs a value (" + option->valueName + ")";
                return false;
            }
            value = args[++i];
        }
        out.values_[name] = value;
    }
    return true;
}

std::string describeOptions(const std::vector<OptionDef> &table)
{
    const size_t column = 24;
    std::string text;
    for (const OptionDef &option : table) {
        std::string left = std::string("  --") + option.name;
        if (option.valueName)
            left += std::string(" ") + option.valueName;
        if (left.size() + 2 > column)
            text += left + "\n" + std::string(column, ' ');
        else
            text += left + std::string(column - left.size(), ' ');
        text += std::string(option.help) + "\n";
    }
    return text;
}

bool parseInt(const std::string &text, int minimum, int maximum, int &value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < minimum || number > maximum)
        return false;
    value = int(number);
    return true;
}

} // namespace stripectl
