// The mark of an answer that may still be coming, kept outside the holder.
//
// The reader finishes an answer it has begun whatever the host does, and
// it may have begun one the host knows nothing of yet (the card was swiped
// the instant before a read was cut). The holder of the line cannot be
// trusted to clean up after itself: a cancel must return at once, and a
// holder that is killed does nothing at all. So the holder writes down,
// before it sends a command that gets an answer, that an answer may be
// coming, and takes the note back once the answer has ended cleanly. The
// note is a small file per device in /run/lock (a tmpfs: no stale note
// survives a reboot), written only while the line's flock is held, so the
// next holder - this process or another - reads what the last one left,
// even if that one died in the middle. One fixed-size text record:
//
//     "1 <bytes> <baud> <pid>\n"   an answer of up to <bytes> may be coming
//     "0 ..."                      the line was left quiet
//
// A file that cannot be opened or created (no /run/lock, another user's
// mark in a group we are not in) leaves the line to the older rule that
// needs no file: the holder lets the answer run out before it closes.
#include "stripedrv_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sd {

namespace {

constexpr char kMarkDir[] = SD_ANSWER_MARK_DIR;
constexpr size_t kPathMax = 96;
constexpr size_t kRecordLen = 40; // "1 " + three numbers + blanks + "\n"
constexpr mode_t kMarkMode = SD_ANSWER_MARK_MODE;

// The mark of the line held now; empty when it has none. The file is
// opened for each look and each change only, so that an open line still
// holds one descriptor and nothing is kept between calls.
char g_markPath[kPathMax] = "";
bool g_markSet = false; // what the file says now, as far as this holder knows

bool markPath(char (&path)[kPathMax], dev_t device)
{
    int n = snprintf(path, sizeof path, "%s/" SD_ANSWER_MARK_NAME, kMarkDir, major(device),
                     minor(device));
    return n > 0 && static_cast<size_t>(n) < sizeof path;
}

// Opens the mark, creating it when it is not there yet. O_CREAT only with
// O_EXCL: in a sticky directory the kernel refuses O_CREAT on another
// user's existing file, and a plain open of it is what the group's mode is
// for. The mode is set with fchmod, so the creator's umask plays no part,
// and the group is made the tty's (dialout), so that every user who may
// open the reader may also read and write its mark.
int openOrCreate(const char *path, gid_t lineGroup)
{
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    for (int tries = 0; tries < 2; ++tries) {
        int fd = open(path, kFlags);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = open(path, kFlags | O_CREAT | O_EXCL, kMarkMode);
        if (fd >= 0) {
            (void)!fchown(fd, static_cast<uid_t>(-1), lineGroup); // not in that group: ours
            (void)fchmod(fd, kMarkMode);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        // Another program created it in between: open that one.
    }
    return -1;
}

// The mark, opened for one look or change: -1 when it cannot be.
int openMark()
{
    if (g_markPath[0] == '\0')
        return -1;
    return open(g_markPath, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
}

void writeRecord(const char *text)
{
    char record[kRecordLen];
    memset(record, ' ', sizeof record);
    size_t len = strnlen(text, sizeof record - 1);
    memcpy(record, text, len);
    record[sizeof record - 1] = '\n';
    int fd = openMark();
    if (fd < 0)
        return;
    (void)!pwrite(fd, record, sizeof record, 0);
    close(fd);
}

} // namespace

bool attachAnswerMark(int lineFd)
{
    detachAnswerMark();
    struct stat line;
    char path[kPathMax];
    if (fstat(lineFd, &line) != 0 || !markPath(path, line.st_rdev))
        return false;
    int fd = openOrCreate(path, line.st_gid);
    if (fd < 0)
        return false;
    struct stat mark;
    const bool usable = fstat(fd, &mark) == 0 && S_ISREG(mark.st_mode);
    close(fd);
    if (usable)
        memcpy(g_markPath, path, sizeof path);
    g_markSet = false;
    return usable;
}

void detachAnswerMark()
{
    g_markPath[0] = '\0';
    g_markSet = false;
}

bool answerMarkUsable()
{
    return g_markPath[0] != '\0';
}

bool readAnswerMark(AnswerMark &found)
{
    found = AnswerMark{};
    int fd = openMark();
    if (fd < 0)
        return false;
    char record[kRecordLen + 1] = {};
    ssize_t n = pread(fd, record, kRecordLen, 0);
    close(fd);
    if (n <= 0 || record[0] == '0')
        return false; // new, or left quiet
    // Anything but a clean "0" is a mark; what cannot be read of it is
    // taken at its longest.
    found.bytes = kLongestAnswerBytes;
    if (record[0] == '1') {
        char *end = nullptr;
        long bytes = strtol(record + 1, &end, 10);
        long baud = strtol(end, nullptr, 10);
        if (bytes > 0 && bytes <= kLongestAnswerBytes)
            found.bytes = bytes;
        if (baud > 0)
            found.baud = baud;
    }
    g_markSet = true;
    return true;
}

void setAnswerMark(long nBytes, long nBaud)
{
    if (!answerMarkUsable())
        return;
    char text[kRecordLen];
    snprintf(text, sizeof text, "1 %ld %ld %ld", nBytes, nBaud, static_cast<long>(getpid()));
    writeRecord(text);
    g_markSet = true;
}

void clearAnswerMark()
{
    if (!answerMarkUsable() || !g_markSet)
        return;
    writeRecord("0");
    g_markSet = false;
}

} // namespace sd
