#include "cli.h"

#include <algorithm>

namespace sdcli {

std::vector<std::string> parseOrder(const CLI::App &app, const std::vector<std::string> &args)
{
    std::vector<std::string> order;
    bool optionsEnded = false;
    for (const std::string &arg : args) {
        optionsEnded = optionsEnded || arg == "--";
        const bool emptyInline = !optionsEnded && arg.size() > 3 && arg.compare(0, 2, "--") == 0 &&
                                 arg.back() == '=' && arg.find('=') == arg.size() - 1;
        const std::string name = emptyInline ? arg.substr(0, arg.size() - 1) : "";
        const CLI::Option *option = emptyInline ? app.get_option_no_throw(name) : nullptr;
        if (option && option->get_expected_min() > 0) {
            order.push_back(name);
            order.push_back("");
        } else {
            order.push_back(arg);
        }
    }
    std::reverse(order.begin(), order.end());
    return order;
}

std::string refusedOption(const std::string &what)
{
    const size_t start = what.find_first_not_of('-');
    if (start == std::string::npos)
        return "";
    const size_t end = what.find_first_of(": ", start);
    const std::string name = what.substr(start, end == std::string::npos ? end : end - start);
    return name.empty() ? "" : "--" + name;
}

} // namespace sdcli
