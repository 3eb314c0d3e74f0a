#include "options.h"

#include "cli.h"

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

// Our own sentence for the option CLI11 could not take.
std::string mismatchText(const std::vector<OptionDef> &table, const std::string &what)
{
    const std::string name = sdcli::refusedOption(what);
    const OptionDef *option = name.empty() ? nullptr : findOption(table, name.substr(2));
    if (!option)
        return what;
    if (!option->valueName)
        return std::string("option --") + option->name + " takes no value";
    return std::string("option --") + option->name + " needs a value (" + option->valueName + ")";
}

// An argument CLI11 did not take: an option the table does not hold.
std::string unknownText(const std::string &arg)
{
    return "unknown option " + arg.substr(0, arg.find('='));
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
    CLI::App app;
    app.set_help_flag(); // --help is a row of the table like any other
    app.allow_extras();  // unknown options are named below, in our words
    std::vector<std::pair<const OptionDef *, CLI::Option *>> taken;
    for (const OptionDef &option : table) {
        const std::string name = std::string("--") + option.name;
        CLI::Option *cli = option.valueName
                               ? app.add_option(name)->multi_option_policy(
                                     CLI::MultiOptionPolicy::TakeLast)
                               : app.add_flag(name)->disable_flag_override();
        taken.emplace_back(&option, cli);
    }
    app.add_option("arguments", out.positional_);

    std::vector<std::string> order = sdcli::parseOrder(app, args);
    try {
        app.parse(order);
    } catch (const CLI::ArgumentMismatch &e) {
        error = mismatchText(table, e.what());
        return false;
    } catch (const CLI::ParseError &e) {
        error = e.what();
        return false;
    }
    for (const std::string &extra : app.remaining())
        if (extra != "--") {
            error = unknownText(extra);
            return false;
        }
    for (const auto &[option, cli] : taken)
        if (cli->count() > 0)
            out.values_[option->name] = option->valueName ? cli->as<std::string>() : "";
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
