/* chipdrv: IC (chip) card reader library, as the test console calls it.
 *
 * The real IC card reader library is a separate product and not part of
 * this project. This header fixes only the call that the console makes;
 * the chipdrv.so built here is a stand-in without any reader behind it
 * (see README.md in this folder).
 */
#ifndef CHIPDRV_H
#define CHIPDRV_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define CHIPDRV_API __attribute__((visibility("default")))
#else
#define CHIPDRV_API
#endif

/* Result codes of the stand-in. 0 would mean success (never returned). */
#define CHIPDRV_BAD_ARGUMENT  (-7)   /* a null text, pointer or buffer, or a
                                        negative speed or time limit      */
#define CHIPDRV_PORT_FAILED   (-3)   /* "/dev/" + szPort cannot be opened  */
#define CHIPDRV_NO_READER     (-20)  /* the port opened, but this library
                                        holds no IC card reader support   */

/* Reads the information of the IC card in the reader on szPort.
 *
 * szPort       the tty's name below /dev/, e.g. "ttyUSB1".
 * szExtPort    external-port selector; empty: none.
 * nBaud        line speed in bit/s (the console passes 9600).
 * nTimeout     seconds to wait for a card (the console passes 20).
 * pnCardType   in: the kinds of card to look for (the console passes 3,
 *              contact and contactless); must not be null.
 * szAid        application to select; empty: the card's default.
 * szItems      information items wanted ("A": all of them).
 * pnInfoLen    out: length of the text written to szInfo.
 * szInfo       out: the information text, NUL-terminated, at most 511
 *              bytes plus NUL (the console's buffer holds 512).
 *
 * Returns 0 on success, otherwise one of the codes above.
 */
CHIPDRV_API int IC_GetInfo(const char *szPort, const char *szExtPort, int nBaud,
                           int nTimeout, int *pnCardType, const char *szAid,
                           const char *szItems, int *pnInfoLen, char *szInfo);

#ifdef __cplusplus
}
#endif

#endif /* CHIPDRV_H */
