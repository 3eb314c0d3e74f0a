// _stripedrv: the C++ half of the Python package stripedrv.
//
// It calls the driver's exported functions and hands Python the shared
// pieces of common/ (the sentences for the status codes, the track-2
// fields, who holds a busy line) so that each of those rules keeps its one
// home. Everything a Python user sees (the Reader class, the exceptions,
// argument checks) lives in the pure-Python half, stripedrv/*.py.
//
// A reader call is cut at its deadline (timeout seconds, a float). It never
// holds the interpreter meanwhile, and on the main thread a signal that
// Python handles cuts it short (blocking.cpp).
#include "blocking.h"
#include "holders.h"
#include "identity.h"
#include "messages.h"
#include "portname.h"
#include "stripedrv.h"
#include "track2.h"
#include "trace.h"
#include "wipe.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <tuple>

namespace py = pybind11;

namespace {

// Room for any track text the driver hands back (it needs at least
// SD_TRACK_BUF_MIN bytes).
const size_t kTrackBufferSize = 256;

// The driver takes C texts; a Python str with a NUL would be cut short
// there, which the Python half refuses before it gets here.
py::bytes bytesOf(const char *text) { return py::bytes(text); }

std::tuple<int, py::bytes, py::bytes> readCard(const std::string &port, bool extPort, int baud,
                                               double timeout, int tracks, bool interruptible,
                                               sdpy::CallStop &stop)
{
    char track2[kTrackBufferSize] = "";
    char track3[kTrackBufferSize] = "";
    int code = sdpy::runBlocking(
        [&] {
            return MS_ReadCard(port.c_str(), extPort ? "A" : "", baud,
                               sdpy::driverSeconds(timeout), tracks, 0, track2, track3);
        },
        interruptible, timeout, stop);
    std::tuple<int, py::bytes, py::bytes> result{code, bytesOf(track2), bytesOf(track3)};
    // Python's bytes are the caller's copies now; ours go.
    sdcustody::wipe(track2);
    sdcustody::wipe(track3);
    return result;
}

// The texts come by value (moved out of pybind11's conversion), so that the
// one copy the conversion makes is wiped once sent.
int writeCard(const std::string &port, bool extPort, int baud, double timeout, int tracks,
              std::string track2, std::string track3, bool interruptible, sdpy::CallStop &stop)
{
    sdcustody::WipeOnExit wipeTexts(track2, track3);
    return sdpy::runBlocking(
        [&] {
            return MS_WriteCard(port.c_str(), extPort ? "A" : "", baud,
                                sdpy::driverSeconds(timeout), tracks, 0, track2.c_str(),
                                track3.c_str());
        },
        interruptible, timeout, stop);
}

struct Identity {
    char firmware[SD_VERSION_MAX + 1] = "";
    char record[SD_IDENTITY_MAX + 1] = "";
    char serial[sdident::kSerialBuf] = "";
    char date[sdident::kDateBuf] = "";
};

// The reader's firmware version and, unless the version settles the model,
// its identity record, over one open line (the questions stripectl info
// asks).
int askIdentity(const std::string &port, int baud, Identity &identity)
{
    int code = OpenCOM(port.c_str(), baud);
    if (code == SD_OK)
        code = GetVersionInfo(identity.firmware);
    if (code == SD_OK && sdident::needsIdentityRecord(identity.firmware)) {
        code = ProbeDeviceId(identity.record);
        if (code == SD_OK)
            sdident::splitIdentityRecord(identity.record, identity.serial,
                                         sizeof identity.serial, identity.date,
                                         sizeof identity.date);
    }
    CloseCOM();
    return code;
}

std::tuple<int, py::bytes, py::bytes, py::bytes, std::string>
readerInfo(const std::string &port, int baud, bool interruptible, sdpy::CallStop &stop)
{
    Identity identity;
    const double kNoDeadline = -1; // the driver's own limits hold
    int code = sdpy::runBlocking([&] { return askIdentity(port, baud, identity); }, interruptible,
                                 kNoDeadline, stop);
    return {code, bytesOf(identity.firmware), bytesOf(identity.serial), bytesOf(identity.date),
            code == SD_OK ? sdident::modelFromFirmware(identity.firmware) : ""};
}

std::optional<std::tuple<std::string, std::string, std::string, bool>>
parseTrack2(std::string text)
{
    sdcustody::WipeOnExit wipeText(text);
    std::optional<sdtrack2::Fields> fields = sdtrack2::parse(text);
    if (!fields)
        return std::nullopt;
    return std::make_tuple(fields->panMasked, fields->expiry, fields->serviceCode,
                           fields->luhnOk);
}

} // namespace

PYBIND11_MODULE(_stripedrv, m)
{
    m.doc() = "The driver calls and shared rules behind the stripedrv package.";

    py::class_<sdpy::CallStop>(m, "CallStop",
                               "Cuts one reader call short from another thread.")
        .def(py::init<>())
        .def("stop", &sdpy::CallStop::stop, "The call ends with -11 (or never begins).")
        .def_property_readonly("stopped", &sdpy::CallStop::stopped);
    m.def("read_card", &readCard, py::arg("port"), py::arg("ext_port"), py::arg("baud"),
          py::arg("timeout"), py::arg("tracks"), py::arg("interruptible"), py::arg("stop"),
          "MS_ReadCard, cut at the deadline: (code, track 2 bytes, track 3 bytes).");
    m.def("write_card", &writeCard, py::arg("port"), py::arg("ext_port"), py::arg("baud"),
          py::arg("timeout"), py::arg("tracks"), py::arg("track2"), py::arg("track3"),
          py::arg("interruptible"), py::arg("stop"), "MS_WriteCard, cut at the deadline: the code.");
    m.def("reader_info", &readerInfo, py::arg("port"), py::arg("baud"), py::arg("interruptible"),
          py::arg("stop"), "Firmware version and identity: (code, firmware, serial, date, model).");
    m.def("port_name", &sdportname::belowDev, py::arg("port"),
          "The name below /dev/ that the driver takes.");
    m.def("port_name_problem", &sdportname::problem, py::arg("name"),
          "Why the driver cannot take the name, or \"\".");
    m.def("doctor_hint", &sdmsg::doctorHint, "Where stripectl says to look when a line cannot be opened.");
    // MS_Cancel takes no lock and returns at once: no need to let go of the
    // GIL, and a Python signal handler may call it.
    m.def("cancel", &sdpy::cancel, "MS_Cancel: cuts the driver call under way short.");
    m.def("code_message", &sdmsg::codeMessage, py::arg("code"),
          "The sentence for a result of a card call.");
    m.def("query_message", &sdmsg::queryMessage, py::arg("code"),
          "The sentence for a result of a query without a card.");
    m.def("is_known_code", &sdmsg::isKnownCode, py::arg("code"),
          "True for the codes the driver returns.");
    m.def("parse_track2", &parseTrack2, py::arg("text"),
          "(pan_masked, expiry, service_code, luhn_ok), or None.");
    m.def("trace_warning", [] { return sdcustody::traceWarningHere(); },
          "The warning to give when the driver's trace is on in the working directory, or \"\".");
    m.def("busy_holders", &sdholders::describeBusyHolders, py::arg("device_path"),
          py::arg("proc_dir") = "/proc", "Who holds a busy line, as stripectl names them.");
    m.def(
        "locked_by_other",
        [](const std::string &devicePath) {
            for (const sdholders::Holder &holder : sdholders::findHolders(devicePath))
                if (holder.locked)
                    return true;
            return false;
        },
        py::arg("device_path"), "True while another process holds the line's lock.");
}
