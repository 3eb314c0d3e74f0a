#include "reader_ops.h"

#include "deadline.h"
#include "identity.h"
#include "messages.h"
#include "stripedrv.h"
#include "track2.h"
#include "wipe.h"

namespace stripedrvd {

namespace {

// Track buffers with room to spare over the library's minimum.
constexpr size_t kTrackBuffer = 256;

Outcome readCard(const ReaderLine &line, int tracks, int timeout)
{
    char track2[kTrackBuffer] = "";
    char track3[kTrackBuffer] = "";
    Outcome outcome;
    // Held to the request's limit: the library's own per-byte waits would
    // let a short one run for seconds past it.
    outcome.code = sddeadline::runWithinSeconds(timeout, [&] {
        return MS_ReadCard(line.port.c_str(), "", line.baud, timeout, tracks, 0, track2, track3);
    });
    if (outcome.code == SD_OK) {
        outcome.track2 = track2;
        outcome.track3 = track3;
    }
    // Wiped whatever the code: a call cut at its deadline may have filled
    // them part way.
    sdcustody::wipe(track2);
    sdcustody::wipe(track3);
    if (outcome.code == SD_OK) {
        if (auto fields = sdtrack2::parse(outcome.track2)) {
            outcome.pan = true;
            outcome.panMasked = fields->panMasked;
        }
    }
    return outcome;
}

// Names the tracks that differ; the texts themselves stay out of the answer
// so that it can be logged as it is.
std::string verifyDifference(const Request &request, const Outcome &read)
{
    std::string differing;
    if (request.tracks != SD_TRACK_3 && read.track2 != request.track2)
        differing = "track 2";
    if (request.tracks != SD_TRACK_2 && read.track3 != request.track3)
        differing += differing.empty() ? "track 3" : " and track 3";
    return differing.empty() ? "" : "the card read back differs from what was written (" +
                                        differing + ")";
}

Outcome writeCard(const ReaderLine &line, const Request &request)
{
    Outcome outcome;
    outcome.code = sddeadline::runWithinSeconds(request.timeout, [&] {
        return MS_WriteCard(line.port.c_str(), "", line.baud, request.timeout, request.tracks, 0,
                            request.track2.c_str(), request.track3.c_str());
    });
    if (outcome.code != SD_OK || !request.verify)
        return outcome;
    Outcome read = readCard(line, request.tracks, request.timeout);
    if (read.code != SD_OK) {
        read.error = "written, but reading it back failed: " + codeText(read.code);
        return read;
    }
    outcome.error = verifyDifference(request, read);
    if (!outcome.error.empty())
        outcome.code = SD_ERR_DATA;
    return outcome;
}

// Version first; the identity record only when the version does not settle
// the model, by the rule the library's device-information call follows.
Outcome readerInfo(const ReaderLine &line)
{
    Outcome outcome;
    std::string step = "opening the port";
    char version[SD_VERSION_MAX + 1] = "";
    char serial[sdident::kSerialBuf] = "";
    char date[sdident::kDateBuf] = "";
    outcome.code = OpenCOM(line.port.c_str(), line.baud);
    if (outcome.code == SD_OK) {
        step = "asking for the firmware version";
        outcome.code = GetVersionInfo(version);
    }
    if (outcome.code == SD_OK && sdident::needsIdentityRecord(version)) {
        step = "asking for the identity record";
        char record[SD_IDENTITY_MAX + 1] = "";
        outcome.code = ProbeDeviceId(record);
        sdident::splitIdentityRecord(record, serial, sizeof serial, date, sizeof date);
    }
    CloseCOM();
    if (outcome.code != SD_OK) {
        outcome.error = step + " failed: " + sdmsg::queryMessage(outcome.code);
        return outcome;
    }
    outcome.info = {{"firmware", version},
                    {"serial_number", serial},
                    {"production_date", date},
                    {"model", sdident::modelFromFirmware(version)}};
    return outcome;
}

} // namespace

Outcome firmwareVersion(const ReaderLine &line)
{
    char version[SD_VERSION_MAX + 1] = "";
    Outcome outcome;
    outcome.code = OpenCOM(line.port.c_str(), line.baud);
    if (outcome.code == SD_OK)
        outcome.code = GetVersionInfo(version);
    CloseCOM();
    if (outcome.code != SD_OK)
        outcome.error = sdmsg::queryMessage(outcome.code);
    else
        outcome.info = {{"firmware", version}};
    return outcome;
}

Outcome::~Outcome()
{
    sdcustody::wipe(track2);
    sdcustody::wipe(track3);
}

Outcome runOnReader(const ReaderLine &line, const Request &request)
{
    switch (request.op) {
    case Op::Read:
        return readCard(line, request.tracks, request.timeout);
    case Op::Write:
        return writeCard(line, request);
    case Op::Info:
        return readerInfo(line);
    case Op::Cancel:
        break;
    }
    Outcome none;
    none.code = SD_ERR_PARAM;
    return none;
}

json answerFor(const Request &request, const Outcome &outcome)
{
    if (outcome.code != SD_OK)
        return failureAnswer(request.id, outcome.code,
                             outcome.error.empty() ? codeText(outcome.code) : outcome.error);
    if (request.op == Op::Read)
        return readAnswer(request.id, request.tracks, outcome.track2, outcome.track3);
    json answer = {{"id", request.id}, {"ok", true}};
    if (request.op == Op::Info)
        answer.update(outcome.info);
    return answer;
}

} // namespace stripedrvd
