// stripectl ports: the serial lines that could be the reader, as udev sees
// them, and with --probe the firmware version of the reader's lines.
#include "command.h"
#include "holders.h"
#include "host.h"
#include "probe.h"
#include "serial_ports.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace stripectl {

using sdholders::describeHolders;
using sdholders::findHolders;
using sdholders::Holder;

static int runPorts(Context &ctx, const ParsedOptions &options);

extern const Command kPortsCommand = {
    "ports", 0, 0, nullptr, nullptr,
    "ports [--probe [--port NAME] [--baud RATE]] [--json]", "list the serial lines udev knows",
    R"(Lists the USB serial lines: tty name, USB vendor:product, kernel driver,
manufacturer, product and serial strings, the /dev/serial/by-id/ and
/dev/ttyCH341USB links, whether ModemManager is told to ignore it. The
reader's adapter (1a86:7523) is marked "*". --probe asks each marked
line (or the --port line) for the firmware version, where no other program
holds it, and shows the round trip. Exit status 1 when a probe got no answer.
)",
    {{"probe", nullptr,
      "ask each reader's line (1a86:7523) for its firmware version, where no other "
      "program holds it"},
     {"port", "NAME", "with --probe: ask this line instead"},
     kBaudOption, kJsonOption, kHelpOption},
    runPorts};

namespace {


using json = nlohmann::ordered_json;

struct Probe {
    bool asked = false;
    std::vector<Holder> holders; // not asked while someone holds the line
    Answer answer;
};

Probe probe(const SerialPort &port, int baud, const Host &host)
{
    Probe result;
    result.holders = findHolders(port.devnode, host.procDir());
    if (!result.holders.empty())
        return result;
    result.asked = true;
    result.answer = probeVersion(port.name, baud);
    return result;
}

std::string probeText(const Probe &probe)
{
    if (!probe.asked)
        return "not asked, in use by " + describeHolders(probe.holders);
    if (probe.answer.code != SD_OK)
        return "no version: " + queryMessage(probe.answer.code) + " [code " +
               std::to_string(probe.answer.code) + "]";
    return probe.answer.text + " (" + std::to_string(probe.answer.roundTripMs) + " ms)";
}

json probeJson(const Probe &probe)
{
    json holders = json::array();
    for (const Holder &holder : probe.holders)
        holders.push_back({{"pid", holder.pid}, {"command", holder.command}});
    json answer = {{"asked", probe.asked}, {"held_by", holders}};
    if (probe.asked) {
        answer["code"] = probe.answer.code;
        if (probe.answer.code == SD_OK) {
            answer["firmware"] = probe.answer.text;
            answer["round_trip_ms"] = probe.answer.roundTripMs;
        } else {
            answer["error"] = queryMessage(probe.answer.code);
        }
    }
    return answer;
}

json portJson(const SerialPort &port)
{
    return {{"name", port.name},
            {"devnode", port.devnode},
            {"usb_id", port.usbId()},
            {"reader_adapter", port.readerAdapter},
            {"driver", port.driver},
            {"manufacturer", port.manufacturer},
            {"product", port.product},
            {"serial", port.serial},
            {"by_id", port.byIdLink},
            {"ch341_link", port.ch341Link},
            {"stable_link", port.stableLink},
            {"links", port.links},
            {"mm_device_ignore", port.mmIgnore}};
}

void printPort(std::ostream &out, const SerialPort &port, const Probe *probe)
{
    auto orNone = [](const std::string &s) { return s.empty() ? std::string("-") : s; };
    if (port.vendorId.empty()) {
        out << "  " << port.name << "  (a tty udev knows no USB adapter behind)\n";
        if (probe)
            out << "    probe: " << probeText(*probe) << "\n";
        return;
    }
    out << (port.readerAdapter ? "* " : "  ") << port.name << "  " << port.usbId() << "  "
        << orNone(port.driver) << "  " << orNone(port.manufacturer) << " / "
        << orNone(port.product) << "  serial " << orNone(port.serial) << "\n";
    if (!port.byIdLink.empty())
        out << "    by-id: " << port.byIdLink << "\n";
    if (!port.ch341Link.empty())
        out << "    link:  " << port.ch341Link << "\n";
    if (!port.stableLink.empty())
        out << "    stable: " << port.stableLink << " (the name to configure: it does not "
               "follow the kernel's numbering)\n";
    out << "    ModemManager: "
        << (port.mmIgnore ? "ignores it (ID_MM_DEVICE_IGNORE=1)" : "may probe it") << "\n";
    if (probe)
        out << "    probe: " << probeText(*probe) << "\n";
}

} // namespace

static int runPorts(Context &ctx, const ParsedOptions &options)
{
    const Line &line = ctx.line;
    const bool probing = options.has("probe");
    const std::string only = options.has("port") ? line.port : "";
    if (options.has("port") && !probing)
        return ctx.usage("--port goes with --probe");
    const Host host = Host::fromEnvironment();
    std::vector<SerialPort> ports = listSerialPorts();
    if (!only.empty() && !findPort(ports, only)) {
        // A tty udev knows nothing of (a simulated reader's pty, say) can
        // still be asked; it is listed without USB facts.
        SerialPort tty;
        tty.name = only;
        tty.devnode = "/dev/" + tty.name;
        struct stat st;
        if (stat(tty.devnode.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            ctx.err << "stripectl ports: " << tty.devnode << " is not a tty\n";
            return kExitFailed;
        }
        ports.push_back(tty);
    }
    const SerialPort *chosen = only.empty() ? nullptr : findPort(ports, only);

    json list = json::array();
    int status = kExitOk;
    for (const SerialPort &port : ports) {
        const bool ask = probing && (chosen ? &port == chosen : port.readerAdapter);
        Probe result;
        if (ask) {
            result = probe(port, line.baud, host);
            if (!result.asked || result.answer.code != SD_OK)
                status = kExitFailed;
        }
        if (options.has("json")) {
            json entry = portJson(port);
            if (ask)
                entry["probe"] = probeJson(result);
            list.push_back(entry);
        } else {
            printPort(ctx.out, port, ask ? &result : nullptr);
        }
    }
    if (options.has("json"))
        ctx.out << jsonText(json{{"ports", list}}) << "\n";
    else if (ports.empty())
        ctx.err << "No USB serial line is plugged in (udev knows none).\n";
    else
        ctx.out << "(* the reader's adapter, USB ID " << kReaderVendorId << ":" << kReaderProductId
            << ")\n";
    return status;
}


} // namespace stripectl
