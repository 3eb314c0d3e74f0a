// A host of the library for the custody test: reads one card, checks it
// against the expected track 2 given in a disguise (each digit d as the
// letter 'a' + d, so that the card's digits are nowhere in this process but
// where the read put them), wipes its own buffers and then waits, so that
// the test can search its memory. Prints "read CODE MATCH", then waits for
// standard input to close.
#include "stripedrv.h"

#include <string.h>
#include <unistd.h>

#include <cstdio>

namespace {

bool matchesDisguised(const char *text, const char *disguised)
{
    size_t i = 0;
    for (; text[i] != '\0' && disguised[i] != '\0'; ++i) {
        const char c = text[i];
        const char expected = disguised[i] >= 'a' && disguised[i] <= 'j'
                                  ? static_cast<char>('0' + (disguised[i] - 'a'))
                                  : disguised[i];
        if (c != expected)
            return false;
    }
    return text[i] == '\0' && disguised[i] == '\0';
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: custody_host PORT DISGUISED-TRACK2\n");
        return 2;
    }
    char track2[256] = "";
    char track3[256] = "";
    const int code = MS_ReadCard(argv[1], "", 9600, 5, SD_TRACKS_2_3, 0, track2, track3);
    const bool match = matchesDisguised(track2, argv[2]);
    explicit_bzero(track2, sizeof track2);
    explicit_bzero(track3, sizeof track3);
    std::printf("read %d %s\n", code, match ? "match" : "differs");
    std::fflush(stdout);
    char drain[16];
    while (read(STDIN_FILENO, drain, sizeof drain) > 0) {
    }
    return 0;
}
