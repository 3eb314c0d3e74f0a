/* Preloaded into a program of the custody test: when the program ends, the
 * process stops itself (SIGSTOP) before it is gone, so that the test can
 * search its memory as it is after the program's work is done. The test
 * lets it go on with SIGCONT (or ends it with SIGABRT to see whether it
 * dumps core). */
#include <signal.h>
#include <stdlib.h>

__attribute__((destructor)) static void holdAtExit(void)
{
    if (getenv("CUSTODY_HOLD_AT_EXIT") != NULL)
        raise(SIGSTOP);
}
