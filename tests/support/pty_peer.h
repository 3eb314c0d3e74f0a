// A pseudo-terminal whose master side plays the reader in tests.
//
// The library opens the slave by its name below /dev/ (e.g. "pts/3"); the
// test reads what the library sent and writes the reader's answers on the
// master. The peer keeps its own slave descriptor open, so the master does
// not read as hung up between two of the library's opens.
#pragma once

#include <string>

namespace sdtest {

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    // Name to give OpenCOM: the slave's path without "/dev/".
    const std::string &portName() const { return name_; }
    // Full path of the slave, for TermOpen.
    std::string devicePath() const { return "/dev/" + name_; }
    int masterFd() const { return master_; }
    int slaveFd() const { return slave_; }

    // Writes bytes as the reader would send them.
    void send(const std::string &bytes);
    // Collects what the host sent until `quietMs` pass without a byte or
    // `maxMs` pass in all.
    std::string receive(int quietMs = 200, int maxMs = 3000);
    // Collects exactly `count` bytes, or fewer when `maxMs` run out.
    std::string receiveCount(size_t count, int maxMs = 3000);
    // Waits until `count` bytes sent wait on the host's side, ready for its
    // next read (the terminal passes them on a moment after send());
    // false when maxMs pass first.
    bool waitForHostInput(size_t count, int maxMs = 30000) const;
    // Drops the reader's side: the slave then reads as end of file.
    void hangUp();
    // Closes the peer's own slave descriptor as well.
    void closeSlave();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

// Makes and enters a fresh temporary directory for the test (CONFIG.ini and
// DataLog.log live in the working directory) and removes it afterwards.
class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    const std::string &path() const { return path_; }
    // Writes a file in the directory.
    void write(const std::string &name, const std::string &content) const;
    // The whole of a file in the directory; empty when it does not exist.
    std::string read(const std::string &name) const;
    bool exists(const std::string &name) const;
    // Waits until the file holds `text`; false when maxMs pass first.
    bool waitForText(const std::string &name, const std::string &text, int maxMs = 30000) const;
    // CONFIG.ini with the trace switched on.
    void traceOn() const { write("CONFIG.ini", "[DEVTRACE]\nSwitch=1\n"); }

private:
    std::string path_;
    std::string previous_;
};

// Number of descriptors this process has open (for leak checks).
int openDescriptorCount();

// Bytes written as hex pairs ("1B 6A") for readable failure messages.
std::string hex(const std::string &bytes);

} // namespace sdtest
