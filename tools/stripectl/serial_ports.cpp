#include "serial_ports.h"

namespace stripectl {

const char *const kReaderVendorId = "1a86";
const char *const kReaderProductId = "7523";

namespace {

bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

void describeLinks(SerialPort &port)
{
    for (const std::string &link : port.links) {
        if (startsWith(link, "/dev/serial/by-id/") && port.byIdLink.empty())
            port.byIdLink = link;
        else if (startsWith(link, "/dev/ttyCH341USB") && port.ch341Link.empty())
            port.ch341Link = link;
        else if (link == "/dev/stripe-reader")
            port.stableLink = link;
    }
}

std::string belowDev(const std::string &path)
{
    return startsWith(path, "/dev/") ? path.substr(5) : path;
}

} // namespace

std::vector<SerialPort> listSerialPorts()
{
    std::vector<SerialPort> ports;
    for (sdadapters::Adapter &adapter : sdadapters::listAdapters()) {
        SerialPort port;
        static_cast<sdadapters::Adapter &>(port) = std::move(adapter);
        describeLinks(port);
        port.readerAdapter = port.hasUsbId(kReaderVendorId, kReaderProductId);
        ports.push_back(std::move(port));
    }
    return ports;
}

const SerialPort *findPort(const std::vector<SerialPort> &ports, const std::string &name)
{
    const std::string wanted = belowDev(name);
    for (const SerialPort &port : ports) {
        if (port.name == wanted || belowDev(port.devnode) == wanted)
            return &port;
        for (const std::string &link : port.links)
            if (belowDev(link) == wanted)
                return &port;
    }
    return nullptr;
}

} // namespace stripectl
