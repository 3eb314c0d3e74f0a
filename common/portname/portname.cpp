#include "portname.h"

namespace sdportname {

namespace {
const std::string kDev = "/dev/";
}

std::string belowDev(const std::string &port)
{
    return port.compare(0, kDev.size(), kDev) == 0 ? port.substr(kDev.size()) : port;
}

std::string problem(const std::string &name)
{
    if (name.empty())
        return "the port name is empty";
    if (name.find('\0') != std::string::npos)
        return "the port name holds a NUL character";
    return "";
}

std::string devicePath(const std::string &name) { return kDev + name; }

} // namespace sdportname
