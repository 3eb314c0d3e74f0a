#include "interrupt.h"

#include "exit_status.h"
#include "stripedrv.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace stripectl {

namespace {

// How long a cancelled call may take to return before the process leaves
// without it.
const unsigned kCancelGraceSeconds = 1;

// Set by the handlers, read by the commands. The text is prepared outside
// the handlers: they only write it.
volatile sig_atomic_t g_interrupted = 0;
char g_interruptText[160];
volatile sig_atomic_t g_interruptLength = 0;

void leaveNow()
{
    ssize_t ignored = write(STDERR_FILENO, g_interruptText, size_t(g_interruptLength));
    (void)ignored;
    _exit(kExitInterrupted);
}

void onInterrupt(int)
{
    if (g_interrupted)
        leaveNow(); // a second Ctrl-C does not wait
    g_interrupted = 1;
    MS_Cancel();
    alarm(kCancelGraceSeconds);
}

void onGraceOver(int) { leaveNow(); }

} // namespace

int runInterruptible(int (*run)(Context &, const ParsedOptions &), Context &ctx,
                     const ParsedOptions &options)
{
    g_interrupted = 0;
    struct sigaction action = {}, previousInt, previousTerm, previousAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    action.sa_handler = onGraceOver;
    sigaction(SIGALRM, &action, &previousAlarm);

    int status = run(ctx, options);

    alarm(0);
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    sigaction(SIGALRM, &previousAlarm, nullptr);
    setInterruptText("");
    return status;
}

bool interrupted() { return g_interrupted != 0; }

void settleInterrupt()
{
    if (g_interrupted)
        alarm(0); // the call came back: the command itself ends now
}

void setInterruptText(const std::string &text)
{
    g_interruptLength = 0;
    size_t length = std::min(text.size(), sizeof g_interruptText - 1);
    memcpy(g_interruptText, text.data(), length);
    g_interruptLength = sig_atomic_t(length);
}

} // namespace stripectl
