// Fuzz target: the reader's answers to every exported transaction.
//
// Input layout:
//   [0]  operation (low 3 bits) and track mode (next 2 bits)
//   [1]  flags: bit 0 trace on, bit 1 hang up when the input is spent,
//        bit 2 no request library, bit 3 no ReqFieldGet in it, bits 4-6 the
//        time limit - 1 (so -1..6 seconds), bit 7 open a port that is missing
//   [2]  length A, [3] length B, then A bytes of text A and B bytes of text B
//   rest the bytes the reader sends
// Text A is the external-port text (reads, IC_OpenPort), the track-2 text
// (writes) or the request (DEV_CommCall); text B is the track-3 text.
//
// Besides the sanitizers, each call is checked against what stripedrv.h
// promises: the result is one of the documented codes, the line is closed
// again, and the caller's buffers hold what they should.
#include "fake_line.h"
#include "stripedrv.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

enum Op { kRead, kWrite, kVersion, kProbe, kOpenPort, kDevInfo, kOpCount };

struct Input {
    int op = 0;
    int trackMode = 0;
    bool trace = false;
    int timeout = 0;
    bool missingPort = false;
    fakeline::Script script;
    std::string textA, textB;
};

int trackModeFrom(uint8_t sel, uint8_t raw)
{
    switch (sel) {
    case 0: return SD_TRACK_2;
    case 1: return SD_TRACK_3;
    case 2: return SD_TRACKS_2_3;
    default: return static_cast<int8_t>(raw); // anything else, mostly invalid
    }
}

bool parse(const uint8_t *data, size_t size, Input &in)
{
    if (size < 4)
        return false;
    in.op = (data[0] & 7) % kOpCount;
    in.trackMode = trackModeFrom((data[0] >> 3) & 3, data[3]);
    uint8_t flags = data[1];
    in.trace = flags & 1;
    in.script.hangUpAtEnd = flags & 2;
    in.script.requestLibrary = !(flags & 4);
    in.script.requestFunction = !(flags & 8);
    in.timeout = ((flags >> 4) & 7) - 1;
    in.missingPort = flags & 0x80;
    size_t lenA = data[2], lenB = data[3];
    if (size < 4 + lenA + lenB)
        return false;
    in.textA.assign(reinterpret_cast<const char *>(data + 4), lenA);
    in.textB.assign(reinterpret_cast<const char *>(data + 4 + lenA), lenB);
    // Texts are C strings: what follows an embedded NUL is simply not seen.
    in.script.bytes = data + 4 + lenA + lenB;
    in.script.size = size - 4 - lenA - lenB;
    return true;
}

[[noreturn]] void fail(const char *what, int rc)
{
    fprintf(stderr, "broken promise: %s (result %d)\n", what, rc);
    abort();
}

// SD_FUZZ_SHOW=1 prints what each call gave, to look at single inputs.
void show(const char *call, int rc, const char *a = "", const char *b = "")
{
    static const bool on = getenv("SD_FUZZ_SHOW") != nullptr;
    if (on)
        fprintf(stderr, "%s -> %d [%s] [%s] wrote %zu\n", call, rc, a, b,
                fakeline::bytesWritten());
}

bool oneOf(int rc, std::initializer_list<int> codes)
{
    for (int c : codes)
        if (rc == c)
            return true;
    return false;
}

bool isReadErrorByte(int rc) { return (rc >= 48 && rc <= 57) || (rc >= 20 && rc <= 23); }

// A buffer of exactly n bytes on the heap, so that AddressSanitizer sees a
// write one past its end.
struct Exact {
    explicit Exact(size_t n) : size(n), p(static_cast<char *>(calloc(n ? n : 1, 1))) {}
    ~Exact() { free(p); }
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    bool terminated() const { return memchr(p, '\0', size) != nullptr; }
    size_t size;
    char *p;
};

const char *port(const Input &in) { return in.missingPort ? "fuzz-missing" : fakeline::kPortName; }

void checkRead(const Input &in)
{
    Exact t2(SD_TRACK_BUF_MIN), t3(SD_TRACK_BUF_MIN);
    int rc = MS_ReadCard(port(in), in.textA.c_str(), 9600, in.timeout, in.trackMode, 0, t2.p,
                         t3.p);
    show("MS_ReadCard", rc, t2.p, t3.p);
    if (!oneOf(rc, {0, -1, -2, -3, -4, -5, -6}) && !isReadErrorByte(rc))
        fail("MS_ReadCard result", rc);
    if (!t2.terminated() || !t3.terminated())
        fail("MS_ReadCard track text not terminated in its buffer", rc);
    if (strchr(t2.p, SD_REPLY_SEP) || strchr(t3.p, SD_REPLY_SEP))
        fail("MS_ReadCard left the reader's separator in a track text", rc);
    if ((rc == -2 || rc == -6 || isReadErrorByte(rc)) && (t2.p[0] || t3.p[0]))
        fail("MS_ReadCard failed read with a track text", rc);
}

void checkWrite(const Input &in)
{
    int rc = MS_WriteCard(port(in), "", 9600, in.timeout, in.trackMode, 0, in.textA.c_str(),
                          in.textB.c_str());
    show("MS_WriteCard", rc);
    if (!oneOf(rc, {0, -1, -3, -4, -5, -6, -7}))
        fail("MS_WriteCard result", rc);
    if (rc == -7 && fakeline::bytesWritten() != 0)
        fail("MS_WriteCard sent a command it refused", rc);
}

// The identification calls need an open line of their own.
bool openLine(const Input &in)
{
    return OpenCOM(port(in), 9600) == 0;
}

void checkVersion(const Input &in)
{
    if (!openLine(in))
        return;
    Exact v(SD_VERSION_MAX);
    memset(v.p, 'Z', v.size - 1);
    int rc = GetVersionInfo(v.p);
    CloseCOM();
    show("GetVersionInfo", rc, rc == 0 ? v.p : "");
    if (!oneOf(rc, {0, -2, -3, -10}))
        fail("GetVersionInfo result", rc);
    if (!v.terminated())
        fail("GetVersionInfo text not terminated", rc);
    if (rc != 0 && (strspn(v.p, "Z") != v.size - 1))
        fail("GetVersionInfo touched the buffer on a failure", rc);
}

void checkProbe(const Input &in)
{
    if (!openLine(in))
        return;
    Exact rec(SD_IDENTITY_MAX + 1);
    int rc = ProbeDeviceId(rec.p);
    CloseCOM();
    show("ProbeDeviceId", rc, rec.p);
    if (!oneOf(rc, {0, -2, -3, -8, -10}))
        fail("ProbeDeviceId result", rc);
    if (rec.p[SD_IDENTITY_MAX] != '\0')
        fail("ProbeDeviceId wrote past the longest record", rc);
}

void checkOpenPort(const Input &in)
{
    int rc = IC_OpenPort(port(in), in.textA.c_str(), 9600, 0);
    show("IC_OpenPort", rc);
    if (!oneOf(rc, {0, -2, -3, -10}))
        fail("IC_OpenPort result", rc);
    if (rc != 0 && (isPortOpened || fakeline::lineOpen()))
        fail("IC_OpenPort failed and left the line open", rc);
    if (rc == 0 && !isPortOpened)
        fail("IC_OpenPort succeeded without an open line", rc);
    int rcClose = IC_ClosePort(nullptr, nullptr, 0, 0);
    if (!oneOf(rcClose, {0, -3, -4}))
        fail("IC_ClosePort result", rcClose);
}

void checkDevInfo(const Input &in)
{
    // Capacity: from the reader's first two bytes would tie it to the
    // protocol; text B's length is free, so it picks one of a few sizes.
    static const int kCaps[] = {0, 1, 49, 50, 200, 1024, 4096};
    int cap = kCaps[in.textB.size() % (sizeof kCaps / sizeof kCaps[0])];
    Exact answer(static_cast<size_t>(cap));
    int len = cap;
    int rc = DEV_CommCall(in.textA.c_str(), nullptr, cap ? answer.p : nullptr, &len);
    show("DEV_CommCall", rc, len != cap ? answer.p : "(not delivered)");
    if (!oneOf(rc, {0, -1, -2, -3, -8, -9, -10}))
        fail("DEV_CommCall result", rc);
    if (isPortOpened || fakeline::lineOpen())
        fail("DEV_CommCall left the line open", rc);
    if (len == cap)
        return; // not delivered (or exactly the capacity, which cannot fit)
    if (len < 0 || len >= cap || strlen(answer.p) != static_cast<size_t>(len))
        fail("DEV_CommCall answer length", rc);
    nlohmann::json j = nlohmann::json::parse(answer.p, answer.p + len, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        fail("DEV_CommCall answer is no JSON object", rc);
    if (!j.contains("ErrorCode") || j["ErrorCode"] != std::to_string(rc))
        fail("DEV_CommCall ErrorCode differs from the result", rc);
    if (rc == 0 && !(j["DeviceModel"] == "P26A" || j["DeviceModel"] == "P26B"))
        fail("DEV_CommCall success without a model", rc);
}

const char kTraceOn[] = "[DEVTRACE]\nSwitch=1\n";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // DEV_CommCall prints three lines per call; the fuzzer talks on stderr.
    if (!freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in;
    if (!parse(data, size, in))
        return 0;
    if (in.trace) {
        in.script.config = reinterpret_cast<const uint8_t *>(kTraceOn);
        in.script.configSize = sizeof kTraceOn - 1;
    }
    fakeline::begin(in.script);
    switch (in.op) {
    case kRead: checkRead(in); break;
    case kWrite: checkWrite(in); break;
    case kVersion: checkVersion(in); break;
    case kProbe: checkProbe(in); break;
    case kOpenPort: checkOpenPort(in); break;
    case kDevInfo: checkDevInfo(in); break;
    }
    bool leaked = fakeline::lineOpen() || isPortOpened;
    fakeline::end();
    if (leaked)
        fail("the line is still open after the transaction", 0);
    return 0;
}
