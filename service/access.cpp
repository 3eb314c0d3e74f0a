#include "access.h"

#include <algorithm>
#include <cctype>

namespace stripedrvd {

namespace ip = boost::asio::ip;

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool listed(const std::vector<std::string> &list, const std::string &value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::string hostText(const ip::address &address)
{
    return address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
}

} // namespace

std::string normalOrigin(const std::string &origin)
{
    std::string normal = lower(origin);
    while (!normal.empty() && normal.back() == '/')
        normal.pop_back();
    return normal;
}

AccessRules makeAccessRules(unsigned short port, const ip::address &listen,
                            const std::vector<std::string> &extraOrigins)
{
    AccessRules rules;
    const std::string suffix = ":" + std::to_string(port);
    for (const char *name : {"127.0.0.1", "localhost", "[::1]"}) {
        rules.hosts.push_back(name + suffix);
        rules.origins.push_back(std::string("http://") + name + suffix);
        // Browsers leave out the port when it is the scheme's own.
        if (port == 80) {
            rules.hosts.push_back(name);
            rules.origins.push_back(std::string("http://") + name);
        }
    }
    if (!listen.is_loopback())
        rules.hosts.push_back(hostText(listen) + suffix);
    for (const std::string &origin : extraOrigins)
        rules.origins.push_back(normalOrigin(origin));
    return rules;
}

bool hostAllowed(const AccessRules &rules, const std::string &host)
{
    return listed(rules.hosts, lower(host));
}

bool originAllowed(const AccessRules &rules, const std::optional<std::string> &origin)
{
    return !origin || listed(rules.origins, lower(*origin));
}

std::optional<ip::tcp::endpoint> parseListen(const std::string &text, std::string &problem)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        problem = "give the address as HOST:PORT, e.g. 127.0.0.1:8765";
        return std::nullopt;
    }
    std::string host = text.substr(0, colon);
    const std::string portText = text.substr(colon + 1);
    if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), ::isdigit) ||
        std::stoul(portText) > 65535) {
        problem = "the port must be a number from 0 to 65535";
        return std::nullopt;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (lower(host) == "localhost")
        host = "127.0.0.1";
    boost::system::error_code ec;
    ip::address address = ip::make_address(host, ec);
    if (ec) {
        problem = "\"" + printable(host) + "\" is no IP address (nor localhost)";
        return std::nullopt;
    }
    return ip::tcp::endpoint(address, static_cast<unsigned short>(std::stoul(portText)));
}

std::string printable(const std::string &text)
{
    std::string out;
    for (char c : text.substr(0, 80))
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}

} // namespace stripedrvd
