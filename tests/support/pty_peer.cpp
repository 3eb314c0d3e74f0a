#include "pty_peer.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sdtest {

namespace {

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits up to `ms` for the master to become readable and reads what is there.
bool readSome(int fd, std::string &out, int ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN))
        return false;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    out.append(buf, static_cast<size_t>(n));
    return true;
}

} // namespace

PtyPeer::PtyPeer()
{
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + strerror(errno));
    name_ = name;
    if (name_.rfind("/dev/", 0) == 0)
        name_ = name_.substr(5);
}

PtyPeer::~PtyPeer()
{
    closeSlave();
    hangUp();
}

void PtyPeer::send(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("write to pty master failed");
        done += static_cast<size_t>(n);
    }
}

std::string PtyPeer::receive(int quietMs, int maxMs)
{
    std::string out;
    long long end = nowMs() + maxMs;
    while (nowMs() < end) {
        int wait = static_cast<int>(std::min<long long>(quietMs, end - nowMs()));
        if (!readSome(master_, out, wait))
            break;
    }
    return out;
}

std::string PtyPeer::receiveCount(size_t count, int maxMs)
{
    std::string out;
    long long end = nowMs() + maxMs;
    while (out.size() < count && nowMs() < end)
        readSome(master_, out, static_cast<int>(end - nowMs()));
    return out;
}

bool PtyPeer::waitForHostInput(size_t count, int maxMs) const
{
    const long long end = nowMs() + maxMs;
    for (;;) {
        int queued = 0;
        if (slave_ < 0 || ioctl(slave_, TIOCINQ, &queued) != 0)
            return false;
        if (static_cast<size_t>(queued) >= count)
            return true;
        if (nowMs() >= end)
            return false;
        usleep(1000);
    }
}

void PtyPeer::hangUp()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

void PtyPeer::closeSlave()
{
    if (slave_ >= 0)
        close(slave_);
    slave_ = -1;
}

TempWorkDir::TempWorkDir()
{
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd))
        previous_ = cwd;
    char tmpl[] = "/tmp/sdtest-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    if (chdir(path_.c_str()) != 0)
        throw std::runtime_error("chdir failed");
}

TempWorkDir::~TempWorkDir()
{
    if (!previous_.empty() && chdir(previous_.c_str()) != 0)
        perror("chdir back");
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0)
        perror("rm temp dir");
}

void TempWorkDir::write(const std::string &name, const std::string &content) const
{
    std::ofstream f(path_ + "/" + name, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string TempWorkDir::read(const std::string &name) const
{
    std::ifstream f(path_ + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool TempWorkDir::waitForText(const std::string &name, const std::string &text, int maxMs) const
{
    const long long end = nowMs() + maxMs;
    while (read(name).find(text) == std::string::npos) {
        if (nowMs() >= end)
            return false;
        usleep(5000);
    }
    return true;
}

bool TempWorkDir::exists(const std::string &name) const
{
    struct stat st;
    return stat((path_ + "/" + name).c_str(), &st) == 0;
}

int openDescriptorCount()
{
    int count = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++count;
        closedir(d);
        --count; // the directory stream's own descriptor
    }
    return count;
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02X", c);
        if (!out.empty())
            out += ' ';
        out += b;
    }
    return out;
}

} // namespace sdtest
