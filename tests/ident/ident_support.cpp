#include "ident_support.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace sdtest {

ScriptedReader::ScriptedReader(PtyPeer &peer, std::vector<Step> steps)
    : peer_(peer), steps_(std::move(steps)), thread_([this] { run(); })
{
}

ScriptedReader::~ScriptedReader()
{
    if (thread_.joinable())
        thread_.join();
}

void ScriptedReader::run()
{
    // A read may bring the next command too: keep what is beyond this step.
    std::string pending;
    for (size_t i = 0; i < steps_.size(); ++i) {
        const Step &step = steps_[i];
        if (pending.size() < step.expect.size())
            pending += peer_.receiveCount(step.expect.size() - pending.size(), 6000);
        std::string got = pending.substr(0, step.expect.size());
        pending.erase(0, got.size());
        if (i == 0) {
            termios t{};
            if (tcgetattr(peer_.slaveFd(), &t) == 0)
                speed_ = static_cast<unsigned>(cfgetispeed(&t));
        }
        received_ += got;
        if (got != step.expect) {
            received_ += pending; // the host said something else: stop answering
            return;
        }
        if (!step.reply.empty())
            peer_.send(step.reply);
    }
    received_ += pending + peer_.receive(300, 3000);
}

std::string ScriptedReader::finish()
{
    if (thread_.joinable())
        thread_.join();
    return received_;
}

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    char name[] = "/tmp/sdtest-stdout-XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(name);
    saved_ = dup(1);
    dup2(file_, 1);
}

StdoutCapture::~StdoutCapture()
{
    finish();
}

std::string StdoutCapture::finish()
{
    std::string out;
    if (saved_ < 0)
        return out;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    lseek(file_, 0, SEEK_SET);
    char buf[512];
    ssize_t n;
    while ((n = read(file_, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(file_);
    file_ = -1;
    return out;
}

namespace {

// True when the 21 bytes at p have the shape "dddd-dd-dd dd:dd:dd  ".
bool isStamp(const char *p)
{
    static const char shape[] = "dddd-dd-dd dd:dd:dd  ";
    for (size_t i = 0; i + 1 < sizeof shape; ++i) {
        bool ok = shape[i] == 'd' ? (p[i] >= '0' && p[i] <= '9') : p[i] == shape[i];
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

std::string maskStamps(const std::string &text)
{
    const size_t stampLen = 21;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.size() - i >= stampLen && isStamp(text.data() + i)) {
            out += "<T>";
            i += stampLen;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string identityReply(const std::string &record)
{
    char digits[8];
    snprintf(digits, sizeof digits, "%03zu", record.size());
    return "\xAA" + std::string(digits) + record;
}

} // namespace sdtest
