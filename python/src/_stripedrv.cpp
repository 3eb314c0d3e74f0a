// _stripedrv: the C++ half of the Python package stripedrv.
//
// It calls the driver's exported functions and hands Python the shared
// pieces of common/ (the sentences for the status codes, the track-2
// fields, who holds a busy line) so that each of those rules keeps its one
// home. Everything a Python user sees (the Reader class, the exceptions,
// argument checks) lives in the pure-Python half, stripedrv/*.py.
//
// A reader call blocks for up to about 2 * timeout + 12 seconds. It never
// holds the interpreter meanwhile: on the main thread the call runs on a
// worker thread while the main thread waits in short slices and lets
// Python's signal handlers run (Ctrl-C raises KeyboardInterrupt and cancels
// the call); on any other thread the call simply runs with the GIL released.
#include "holders.h"
#include "identity.h"
#include "messages.h"
#include "stripedrv.h"
#include "track2.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <tuple>

namespace py = pybind11;

namespace {

// Room for any track text the driver hands back (it needs at least
// SD_TRACK_BUF_MIN bytes).
const size_t kTrackBufferSize = 256;

// How long the waiting main thread sleeps before it looks at Python's
// pending signals again, and again after a signal handler raised, until the
// cancelled call has ended (a cancel made before the call began its wait
// affects nothing, so it is repeated).
const std::chrono::milliseconds kSignalSlice(20);
const std::chrono::milliseconds kCancelSlice(2);

// One driver call handed to a worker thread, and its end.
struct Job {
    std::function<int()> call;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int result = 0;
};

void runJob(Job &job)
{
    // Signals go to the waiting main thread, where Python handles them;
    // the driver's waits are not interrupted by them.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    int result = job.call();
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = result;
    job.done = true;
    job.ended.notify_one();
}

// Runs `call` (which touches no Python object) without the GIL and returns
// its result. With `interruptible`, Python's signal handlers run while it
// waits: when one raises (KeyboardInterrupt), the driver call is cancelled,
// waited for, and the handler's exception propagates.
int runBlocking(const std::function<int()> &call, bool interruptible)
{
    if (!interruptible) {
        py::gil_scoped_release unlocked;
        return call();
    }
    Job job;
    job.call = call;
    bool raised = false;
    {
        py::gil_scoped_release unlocked;
        std::thread worker(runJob, std::ref(job));
        std::unique_lock<std::mutex> lock(job.mutex);
        while (!job.ended.wait_for(lock, raised ? kCancelSlice : kSignalSlice,
                                   [&job] { return job.done; })) {
            lock.unlock();
            if (!raised) {
                py::gil_scoped_acquire locked;
                raised = PyErr_CheckSignals() != 0;
            }
            if (raised)
                MS_Cancel();
            lock.lock();
        }
        lock.unlock();
        worker.join();
    }
    if (raised)
        throw py::error_already_set();
    return job.result;
}

// The driver takes C texts; a Python str with a NUL would be cut short
// there, which the Python half refuses before it gets here.
py::bytes bytesOf(const char *text) { return py::bytes(text); }

std::tuple<int, py::bytes, py::bytes> readCard(const std::string &port, bool extPort, int baud,
                                               int timeout, int tracks, bool interruptible)
{
    char track2[kTrackBufferSize] = "";
    char track3[kTrackBufferSize] = "";
    int code = runBlocking(
        [&] {
            return MS_ReadCard(port.c_str(), extPort ? "A" : "", baud, timeout, tracks, 0, track2,
                               track3);
        },
        interruptible);
    return {code, bytesOf(track2), bytesOf(track3)};
}

int writeCard(const std::string &port, bool extPort, int baud, int timeout, int tracks,
              const std::string &track2, const std::string &track3, bool interruptible)
{
    return runBlocking(
        [&] {
            return MS_WriteCard(port.c_str(), extPort ? "A" : "", baud, timeout, tracks, 0,
                                track2.c_str(), track3.c_str());
        },
        interruptible);
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
readerInfo(const std::string &port, int baud, bool interruptible)
{
    Identity identity;
    int code = runBlocking([&] { return askIdentity(port, baud, identity); }, interruptible);
    return {code, bytesOf(identity.firmware), bytesOf(identity.serial), bytesOf(identity.date),
            code == SD_OK ? sdident::modelFromFirmware(identity.firmware) : ""};
}

std::optional<std::tuple<std::string, std::string, std::string, bool>>
parseTrack2(const std::string &text)
{
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

    m.def("read_card", &readCard, py::arg("port"), py::arg("ext_port"), py::arg("baud"),
          py::arg("timeout"), py::arg("tracks"), py::arg("interruptible"),
          "MS_ReadCard: (code, track 2 bytes, track 3 bytes).");
    m.def("write_card", &writeCard, py::arg("port"), py::arg("ext_port"), py::arg("baud"),
          py::arg("timeout"), py::arg("tracks"), py::arg("track2"), py::arg("track3"),
          py::arg("interruptible"), "MS_WriteCard: the code.");
    m.def("reader_info", &readerInfo, py::arg("port"), py::arg("baud"), py::arg("interruptible"),
          "Firmware version and identity: (code, firmware, serial, date, model).");
    // MS_Cancel takes no lock and returns at once: no need to let go of the
    // GIL, and a Python signal handler may call it.
    m.def("cancel", [] { MS_Cancel(); }, "MS_Cancel: cuts the driver call under way short.");
    m.def("code_message", &sdmsg::codeMessage, py::arg("code"),
          "The sentence for a result of a card call.");
    m.def("query_message", &sdmsg::queryMessage, py::arg("code"),
          "The sentence for a result of a query without a card.");
    m.def("is_known_code", &sdmsg::isKnownCode, py::arg("code"),
          "True for the codes the driver returns.");
    m.def("parse_track2", &parseTrack2, py::arg("text"),
          "(pan_masked, expiry, service_code, luhn_ok), or None.");
    m.def("busy_holders", &sdholders::describeBusyHolders, py::arg("device_path"),
          py::arg("proc_dir") = "/proc", "Who holds a busy line, as stripectl names them.");
}
