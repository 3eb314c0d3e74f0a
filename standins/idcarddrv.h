/* idcarddrv: resident ID card reader library, as the test console calls it.
 *
 * The real ID card reader library is a separate product and not part of
 * this project. This header fixes only the call that the console makes;
 * the idcarddrv.so built here is a stand-in without any reader behind it
 * (see README.md in this folder).
 */
#ifndef IDCARDDRV_H
#define IDCARDDRV_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define IDCARDDRV_API __attribute__((visibility("default")))
#else
#define IDCARDDRV_API
#endif

/* Result codes of the stand-in. 0 would mean success (never returned). */
#define IDCARDDRV_BAD_ARGUMENT  (-7)   /* a null text or buffer, or a
                                          negative speed or time limit     */
#define IDCARDDRV_PORT_FAILED   (-3)   /* "/dev/" + szPort cannot be opened */
#define IDCARDDRV_NO_READER     (-20)  /* the port opened, but this library
                                          holds no ID card reader support  */

/* Reads the holder's information from the ID card in the reader on szPort.
 *
 * szPort       the tty's name below /dev/, e.g. "ttyUSB2".
 * szExtPort    external-port selector; empty: none.
 * nBaud        line speed in bit/s (the console passes 9600).
 * nTimeout     seconds to wait for a card (the console passes 20).
 * szPhotoPath  file that receives the holder's photo (the console passes
 *              "./photo.jpg"); the stand-in never writes it.
 * szOption1, szOption2, szOption3
 *              reserved texts; the console passes empty ones.
 * szInfo       out: the information text, NUL-terminated, at most 2047
 *              bytes plus NUL (the console's buffer holds 2048).
 *
 * Returns 0 on success, otherwise one of the codes above.
 */
IDCARDDRV_API int ID_GetInfo(const char *szPort, const char *szExtPort, int nBaud,
                             int nTimeout, const char *szPhotoPath,
                             const char *szOption1, const char *szOption2,
                             const char *szOption3, char *szInfo);

#ifdef __cplusplus
}
#endif

#endif /* IDCARDDRV_H */
