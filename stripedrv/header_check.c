/* Compiled as C in every build: the public header must stay valid C. */
#include "stripedrv.h"

int stripedrv_header_check(void)
{
    char t2[SD_TRACK_BUF_MIN] = "", t3[SD_TRACK_BUF_MIN] = "";
    int (*read_card)(const char *, const char *, int, int, int, int, char *, char *) = MS_ReadCard;
    (void)read_card;
    (void)t2;
    (void)t3;
    return SD_OK + isPortOpened + (int)g_term.c_cflag + (int)g_oterm.c_cflag;
}
