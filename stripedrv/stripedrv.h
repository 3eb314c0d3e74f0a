/*
 * stripedrv.h - the magnetic-stripe reader/writer driver.
 *
 * The reader hangs on a serial line (usually a CH341 USB-serial adapter the
 * kernel shows as /dev/ttyCH341USB0 or /dev/ttyUSB0) and speaks a small
 * escape-command protocol at 9600 baud, 8 data bits, no parity.
 *
 * Most programs need only the two card calls:
 *
 *     char t2[256] = "", t3[256] = "";
 *     int rc = MS_ReadCard("ttyUSB0", "", 9600, 20, SD_TRACKS_2_3, 0, t2, t3);
 *
 *     rc = MS_WriteCard("ttyUSB0", "", 9600, 20, SD_TRACKS_2_3, 0,
 *                       "1234=5678", "9876=5432");
 *
 * Each is one whole transaction: it opens the port, talks to the reader and
 * closes the port again before it returns. Everything runs synchronously on
 * the caller's thread.
 *
 * Threads: the port lives in process-wide globals, one reader line per
 * process. Every call that uses the line or the trace holds one
 * process-wide lock for its length, so calls from several threads are
 * safe: a call made while another is under way waits for it to end, and
 * then runs. Calls made between an OpenCOM and a CloseCOM of another
 * thread still share that thread's line. MS_Cancel takes no lock and may
 * be called from any thread and from a signal handler.
 *
 * Processes: whatever opens the line (OpenCOM, TermOpen, the card calls,
 * the identification calls, DEV_CommCall) takes an exclusive flock() on it
 * and holds it until the line is closed, so that two programs never share
 * one transaction. A call that finds the reader held by another program
 * waits for it, without spinning, up to its own limit (the card calls'
 * nTimeout; 5 seconds for the calls that have none) and then fails with
 * SD_ERR_BUSY (-12), having sent nothing and left the line's settings as
 * they were; MS_Cancel cuts the wait short. Two names of one device (a
 * udev link and the tty) are one lock, and the kernel drops it when its
 * holder dies. Programs that open the tty without this library are not
 * kept out (see docs/hardware.md).
 *
 * Handing over: the reader sends an answer it has begun to its end, whatever
 * the host does meanwhile, and a card swiped the instant before a read is
 * cut has begun an answer whose first byte has not come yet. So before
 * every command that gets an answer the holder of the line sets the line's
 * answer mark, and it takes the mark back only once that answer has ended
 * cleanly. A call that ends otherwise (cancelled, timed out, an error byte,
 * a reply that does not fit, its process killed) leaves the mark set and
 * closes the line at once. The next opener - another thread, another
 * program, another client of a service - that finds the mark set (or finds
 * bytes waiting, or had to wait for another program) reads and drops what
 * the line delivers until it has been quiet for the quiet interval, and
 * only then sends. It never receives a byte of an earlier answer. The quiet
 * interval is four character times but never under 50 ms: the reader may
 * pause 15 ms between two bytes of an answer, and USB-serial adapters and a
 * busy host hold bytes back. The wait ends at the latest when the longest
 * answer the mark names (a read's: 201 bytes; any other: 1003) has had time
 * to pass with a pause after every byte; a line still not quiet then keeps
 * its mark, and what it delivers before the opener's first answered
 * command has gone out is dropped as well. A call that follows a clean one
 * pays nothing but a look at the mark. Nothing is traced or sent for it.
 *
 * The answer mark is a file of 40 bytes per device,
 * SD_ANSWER_MARK_DIR "/" SD_ANSWER_MARK_NAME with the device's major and
 * minor number (/run/lock/stripedrv-answer.188.0), written only by the
 * line's holder. Whichever program opens the reader first creates it, with
 * mode SD_ANSWER_MARK_MODE (0660, whatever the umask) and the tty's group
 * (dialout), so every user who may open the reader may read and write it.
 * A program that cannot open or create it (no /run/lock, or a mark whose
 * group it is not in because its creator reached the tty another way) goes
 * by the rule that needs no file for its own calls: a call that ends while
 * an answer may be coming (a cut read's too, whose card may have just been
 * swiped) lets the line fall quiet before it closes it, so such a cancel
 * takes at least the quiet interval.
 *
 * Descriptors: the line is opened close-on-exec (programs the host starts
 * do not inherit it) and never as descriptor 0, 1 or 2.
 *
 * Time limits are whole seconds on the monotonic clock: a change of the
 * wall clock neither stretches nor cuts a wait.
 *
 * Every function returns an int status: 0 for success, a negative code for a
 * failure (table below). Text arguments are NUL-terminated byte strings.
 *
 * Trace: when "CONFIG.ini" in the working directory holds a section
 * [DEVTRACE] with Switch=1, every command sent and the start and end of every
 * transaction are appended to "DataLog.log" in the working directory. The
 * switch is read again on every entry. The trace holds track data in plain,
 * so a newly created "DataLog.log" is readable by its owner only. Each line
 * is appended whole in one write, so several programs may trace into one
 * file. A switched-on trace is a file of full card data: switch it on only
 * to find a fault, and delete the file afterwards.
 *
 * Card data in the host's memory: the library clears every buffer of its
 * own that held track text, bytes of the reader's replies or a write
 * command (explicit_bzero) as soon as it has handed the content on; the
 * only copies a call leaves are in the caller's buffers. The library never
 * changes its host's process settings. A host that handles card data
 * should clear its own buffers the same way once it has used them, and
 * keep the card out of core dumps: prctl(PR_SET_DUMPABLE, 0) and an
 * RLIMIT_CORE of 0 at start (LimitCORE=0 in a systemd unit), as stripectl
 * and the reader service do.
 */
#ifndef STRIPEDRV_H
#define STRIPEDRV_H

#include <termio.h> /* struct termio */

#if defined(__GNUC__)
#define STRIPEDRV_API __attribute__((visibility("default")))
#else
#define STRIPEDRV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Status codes
 *
 * One value can carry more than one meaning; the column on the right says
 * which calls give it in which sense.
 * ------------------------------------------------------------------------ */
enum {
    SD_OK            =   0, /* success                                             */
    SD_ERR_STATUS    =  -1, /* the reader's status answer was missing or unknown;
                               MSR_Reset could not send; DEV_CommCall: "param error" */
    SD_ERR_TIMEOUT   =  -2, /* the time limit ran out before the data arrived, the
                               line delivered nothing after a wake-up, or a reply
                               was longer than its buffer                          */
    SD_ERR_PORT      =  -3, /* no line is open, the line cannot be opened or set up,
                               or its settings cannot be restored at close;
                               also the reader's status answer "rs"                */
    SD_ERR_CLOSE     =  -4, /* closing the line's descriptor failed;
                               also the reader's status answer "rt"                */
    SD_ERR_RQ        =  -5, /* the reader's status answer "rq"                     */
    SD_ERR_TRACKMODE =  -6, /* the track selector is not 2, 3 or 23                */
    SD_ERR_PARAM     =  -7, /* a parameter the reader cannot take: a null text or
                               buffer, or track texts too long for one write
                               command; nothing was sent                           */
    SD_ERR_DATA      =  -8, /* the identity reply did not begin with 0xAA          */
    SD_ERR_LOADSO    =  -9, /* the request library or its function can't be loaded,
                               or its path does not fit                            */
    SD_ERR_WRITE     = -10, /* not all bytes of a command were written             */
    SD_ERR_CANCELLED = -11, /* cancelled by the host (MS_Cancel)                   */
    SD_ERR_BUSY      = -12  /* the reader is in use by another program             */
};

/* Non-negative results of the stripe protocol (GetBpStatus, ReadMsre,
 * MSR_ReadMag, MSR_WriteMag). MS_ReadCard and MS_WriteCard fold the three
 * status results into SD_OK. */
enum {
    SD_STATUS_BRP = 0,  /* status text "Brp" (after a read of tracks 2 and 3) */
    SD_STATUS_RP  = 2,  /* status text "rp"                                   */
    SD_STATUS_TRP = 3   /* status text "Trp"                                  */
};

/* The reader refused a read with an error byte instead of the start byte "s":
 * ReadMsre and MSR_ReadMag return the byte's character code for "0".."9"
 * (48..57) and 20..23 for "A".."D". MS_ReadCard passes these through as they
 * are (a refused read is not a success) with both track texts empty. */
#define SD_READ_ERR_DIGIT(d)  ((d) - '0' + 48)      /* '0'..'9' -> 48..57 */
#define SD_READ_ERR_LETTER(l) ((l) - 'A' + 20)      /* 'A'..'D' -> 20..23 */

/* Track selector (nTrackMode) of every read and write. */
enum {
    SD_TRACK_2    = 2,
    SD_TRACK_3    = 3,
    SD_TRACKS_2_3 = 23
};

/* ------------------------------------------------------------------------
 * Wire bytes
 * ------------------------------------------------------------------------ */
#define SD_ESC 0x1B
#define SD_FS  0x1C
#define SD_GS  0x1D
#define SD_ETX 0x03
#define SD_CR  0x0D

/* Host to reader. Each command is sent exactly as listed, no terminator. */
#define SD_CMD_STATUS      "\x1b" "j"           /* status request            */
#define SD_CMD_READ_2      "\x1b" "]"           /* read track 2              */
#define SD_CMD_READ_3      "\x1b" "T]"          /* read track 3              */
#define SD_CMD_READ_23     "\x1b" "B]"          /* read tracks 2 and 3       */
#define SD_CMD_WRITE_HEAD  "\x1b" "t"           /* write: head, track-2 text */
#define SD_CMD_TRACK3_MARK "A"                  /* write: before track 3     */
#define SD_CMD_WRITE_TAIL  "\x1d" "\x1b" "\\"   /* write: GS ESC backslash   */
#define SD_CMD_RESET       "\x1b" "0"           /* reset; first of the
                                                   closing pair             */
#define SD_CMD_PORT_A      "\x1b" "%A"          /* select port A; second of
                                                   the closing pair         */
#define SD_CMD_PORT_B      "\x1b" "%B"          /* select port B             */
#define SD_CMD_I4          "\x1b" "%I4"         /* for "Ver3" firmware       */
#define SD_CMD_I1          "\x1b" "%I1"         /* for other firmware; the
                                                   reader then runs at 115200 */
#define SD_CMD_GETVER      "\x1b" "_GETVER"     /* firmware version          */
#define SD_CMD_IDENTITY    "\x1b" "Intelligent" /* identity record           */

/* Reader to host.
 * Read reply:   stray bytes, then "s" (or one error byte), the data, one
 *               trailing byte, FS. The reader sends "'" for a track's field
 *               separator; the library hands back "=". "A" introduces the
 *               track-3 data.
 * Status:       stray bytes, ESC, a text ending with "p" or "q" ("rs", "rt"
 *               end with neither).
 * Version:      text ending with CR, at most 100 bytes with the CR.
 * Identity:     0xAA, three decimal digits N, N bytes of record. */
#define SD_REPLY_START    's'
#define SD_REPLY_TRACK3   'A'
#define SD_REPLY_SEP      '\''
#define SD_TRACK_SEP      '='
#define SD_IDENTITY_START 0xAA

/* Line speeds (nBaud) the reader runs at, as a list for an initializer:
 * int rates[] = {SD_BAUD_RATES}. Any other speed opens the line at 9600.
 * SD_BAUD_RATES_TEXT is the same list as one text, for messages and help. */
#define SD_BAUD_RATES 1200, 2400, 4800, 9600, 19200, 38400, 115200
#define SD_BAUD_TEXT_(...) #__VA_ARGS__
#define SD_BAUD_TEXT(...) SD_BAUD_TEXT_(__VA_ARGS__)
#define SD_BAUD_RATES_TEXT SD_BAUD_TEXT(SD_BAUD_RATES)

/* Buffer limits. */
#define SD_READ_REPLY_MAX  200 /* bytes after "s", FS included; a longer reply
                                  is refused: the read ends with -2 and the
                                  closing pair, the track texts stay empty   */
#define SD_STATUS_TEXT_MAX  23 /* a longer status text is no known text: -1  */
#define SD_WRITE_CMD_MAX   200 /* the whole write command with its NUL       */
#define SD_TRACK_BUF_MIN   199 /* a read's track buffers: 198 chars and NUL  */
#define SD_RECV_MAX       1024 /* RecvData, RecvDataEx: reply up to the ETX  */
#define SD_RECV_EX2_MAX   2048 /* RecvDataEx2: largest exact count           */
#define SD_VERSION_MAX     100 /* version reply with its CR                  */
#define SD_IDENTITY_MAX    999 /* identity record; its buffer needs one more */

/* The line's answer mark (see "Handing over" at the top): its directory,
 * its name with the device's major and minor number, its mode. */
#define SD_ANSWER_MARK_DIR  "/run/lock"
#define SD_ANSWER_MARK_NAME "stripedrv-answer.%u.%u"
#define SD_ANSWER_MARK_MODE 0660

/* Trace entries written by the library (each behind its time stamp). */
#define SD_TRACE_SEND        "send:\n"      /* then a WriteLog_Byte dump */
#define SD_TRACE_READ_START  "\nMS_ReadCard start at %s\n"
#define SD_TRACE_TRACK2      "szTrack2data:%s\n"
#define SD_TRACE_TRACK3      "szTrack3data:%s\n"
#define SD_TRACE_READ_END    "MS_ReadCard End at %s ,return %d\n"
#define SD_TRACE_WRITE_START "\nMS_WriteCard start at %s\n"
#define SD_TRACE_WRITE_END   "MS_WriteCard End at %s,return %d\n"
#define SD_TRACE_DEV_START   "DEV_CommCall at %s\n"
#define SD_TRACE_DEV_END     "DEV_CommCall at %s,return:%d \n"
#define SD_TRACE_DEV_NOLIB   "加载/QOVA/libreqjson.so失败\n"      /* library not loaded */
#define SD_TRACE_DEV_NOFUNC  "加载/QOVA/libreqjson.so 函数失败\n" /* no ReqFieldGet     */
#define SD_TRACE_DEV_NAME          "DevName=%s\n"
#define SD_TRACE_DEV_OPEN_FAIL     "OpenCOM Fail return %d\n"
#define SD_TRACE_DEV_VERSION_FAIL  "GetVersionInfo Fail return %d\n"
#define SD_TRACE_DEV_VERSION       "firmwareVersion: %s\n"
#define SD_TRACE_DEV_PROBE_FAIL    "ProbeDeviceId Fail return %d\n"

/* DEV_CommCall's lines on standard output, printed once the request has
 * been read (not when the request library is missing). */
#define SD_OUT_DEV_NAME "DevName=%s\n"
#define SD_OUT_DEV_BAUD "nBaudRate=%d\n"
#define SD_OUT_DEV_PORT "portName=%s\n"

/* DEV_CommCall's answers: one line, no blanks, no line end. The values of
 * the success answer are JSON-escaped. Error messages: -3 "open port fail",
 * -1 "param error", -2 "operation timeout", -8 "data error", -9 "load so
 * fail" (two blanks before "fail"), any other "operation execution fail". */
#define SD_ANSWER_OK_FORMAT                                                   \
    "{\"ErrorCode\":\"0\",\"ErrorMessage\":\"success\",\"DeviceBrand\":\"QOVA\"," \
    "\"DllVersion\":\"%s\",\"DeviceVersion\":\"%s\",\"DeviceSN\":\"%s\","     \
    "\"ProductionDate\":\"%s\",\"DeviceModel\":\"%s\"}"
#define SD_ANSWER_ERR_FORMAT "{\"ErrorCode\":\"%s\",\"ErrorMessage\":\"%s\"}"

/* Files in the working directory. */
#define SD_CONFIG_FILE "CONFIG.ini"
#define SD_TRACE_FILE  "DataLog.log"
#define SD_TRACE_SECTION "DEVTRACE"
#define SD_TRACE_KEY     "Switch"
#define SD_REQLIB_PATH "/QOVA/libreqjson.so" /* appended to the working dir */
#define SD_DLL_VERSION "0.2024.330.1700"

/* ------------------------------------------------------------------------
 * Port state. isPortOpened is 1 while a line opened by OpenCOM is usable.
 * g_term holds the working (raw) settings applied at open, g_oterm the
 * settings read at open, which are restored at close.
 * ------------------------------------------------------------------------ */
extern STRIPEDRV_API int isPortOpened;
extern STRIPEDRV_API struct termio g_term;
extern STRIPEDRV_API struct termio g_oterm;

/* ------------------------------------------------------------------------
 * Card read and write: one whole transaction each.
 *
 * szPort       the tty's name below /dev/, e.g. "ttyCH341USB0", "pts/3".
 *              NULL is a port that cannot be opened (-3).
 * szExtPort    non-empty: send the external-port selection ESC "%A" first.
 *              Empty or NULL: no selection.
 * nBaud        line speed: one of SD_BAUD_RATES; any other value gives 9600.
 * nTimeout     seconds to wait for the swipe, and again for the status.
 * nTrackMode   SD_TRACK_2, SD_TRACK_3 or SD_TRACKS_2_3.
 * nReserved    not used; pass 0.
 * szTrack2data, szTrack3data
 *              MS_ReadCard: buffers of at least SD_TRACK_BUF_MIN bytes
 *              holding a text on entry (an empty one will do); filled with
 *              the track texts, "=" as field separator.
 *              MS_WriteCard: the texts to write, sent unchanged. Together
 *              they must fit one command: at most 194 characters in mode 2,
 *              193 in mode 3, 193 both together in mode 23.
 *
 * Result: SD_OK (the reader's status was "rp", "Trp" or "Brp"), or
 *   -1 no or unknown status answer     -2 no card before the limit (read)
 *   -3 port cannot be opened; "rs"     -4 status "rt"
 *   -5 status "rq"                     -6 bad nTrackMode
 *   -7 a null text or buffer, or texts too long to write (nothing sent)
 *   -11 cut short by MS_Cancel (the closing pair sent, texts empty)
 *   -12 the reader is in use by another program for all of nTimeout
 *       (nothing sent)
 *   48..57, 20..23 (read) the reader refused the swipe with an error byte
 *       "0".."9" or "A".."D"; both track texts are empty.
 *
 * Worst-case duration: a read about 2 * nTimeout + 12 seconds, a write
 * about nTimeout + 6 seconds, plus up to nTimeout waiting for a reader
 * that another program holds, plus the time a call of another thread that
 * is under way still takes, plus the wait for a quiet line at the open
 * (see "Handing over" above and MS_Cancel below).
 * ------------------------------------------------------------------------ */
STRIPEDRV_API int MS_ReadCard(const char *szPort, const char *szExtPort, int nBaud,
                              int nTimeout, int nTrackMode, int nReserved,
                              char *szTrack2data, char *szTrack3data);
STRIPEDRV_API int MS_WriteCard(const char *szPort, const char *szExtPort, int nBaud,
                               int nTimeout, int nTrackMode, int nReserved,
                               const char *szTrack2data, const char *szTrack3data);

/* Cuts short the library call under way (on any thread): its waits on the
 * line end within a few milliseconds and it returns SD_ERR_CANCELLED (-11).
 * A card call cut short still sends the closing pair ESC "0", ESC "%A" so
 * that the reader leaves read mode, empties both track texts of a read,
 * closes the port and traces its end with the result -11. A cancel affects
 * only the call under way: with none under way it does nothing, and it
 * never cuts a later call short. Safe in a signal handler (no lock, errno
 * kept). Returns 0.
 *
 * When it returns: at once (well under 100 ms), also once the reader has
 * begun its answer. The answer is left to run out on the line, and the
 * line's answer mark says so; the next call that opens the line lets it
 * fall quiet before it sends (see "Handing over" at the top):
 *
 *     baud     next open after a cut read:  line never quiet
 *              the quiet interval, or the   (a read's 201 bytes, a
 *              rest of the answer (225      15 ms pause after each)
 *              bytes) + the quiet interval  + the quiet interval
 *     1200     0.05 s .. 1.93 s             4.74 s
 *     9600     0.05 s .. 0.29 s             3.28 s
 *     115200   0.05 s .. 0.07 s             3.08 s
 *
 * Where no answer mark can be had the cancelled call itself lets the line
 * fall quiet before it returns (the middle column's time).
 */
STRIPEDRV_API int MS_Cancel(void);

/* ------------------------------------------------------------------------
 * Device information: a JSON request in, a one-line JSON answer out.
 *
 * szRequest    handed to ReqFieldGet of the request library, loaded from
 *              working directory + "/QOVA/libreqjson.so"; the fields read
 *              are "RequestPort" (a lone digit 1..9 names COM<digit>) and
 *              "RequestBaudRate" (default 9600).
 * pReserved    not used.
 * szAnswer     receives the answer, e.g.
 *              {"ErrorCode":"0","ErrorMessage":"success","DeviceBrand":"QOVA",
 *               "DllVersion":"0.2024.330.1700","DeviceVersion":"...",
 *               "DeviceSN":"...","ProductionDate":"...","DeviceModel":"P26B"}
 *              or {"ErrorCode":"-3","ErrorMessage":"open port fail"}.
 *              Values are escaped, so the answer is always valid JSON.
 * pnAnswerLen  in: the capacity of szAnswer in bytes; out: the answer's
 *              length without its NUL.
 *
 * Result: 0; -1 for a null szAnswer or pnAnswerLen or a capacity of 0 or
 * less (the reader is not asked), or a success answer that does not fit;
 * -9 the request library or its function can't be loaded, or the working
 * directory is too long for its path (259 bytes); else the code of the step
 * that failed (-2, -3, -8, -10, -11, -12), also when its error answer does not
 * fit. An answer that does not fit leaves szAnswer and *pnAnswerLen
 * untouched. Once the request is read it prints the SD_OUT_DEV_* lines to
 * standard output. The call is traced and the line is closed again
 * (CloseCOM) before it returns, whatever happened.
 * ------------------------------------------------------------------------ */
STRIPEDRV_API int DEV_CommCall(const char *szRequest, void *pReserved,
                               char *szAnswer, int *pnAnswerLen);

/* ------------------------------------------------------------------------
 * Stripe protocol. Needs a line opened with OpenCOM (except MSR_Reset).
 * ------------------------------------------------------------------------ */

/* Sends ESC "j" and judges the answer: "Brp" 0, "rp" 2, "Trp" 3, "rq" -5,
 * "rs" -3, "rt" -4, anything else or nothing -1; -11 cancelled. */
STRIPEDRV_API int GetBpStatus(long nTimeout);

/* Sends the read command for nTrackMode and parses the reply into the track
 * buffers ("'" left as the reader sent it). Mode 2 fills only szTrack2data,
 * mode 3 only szTrack3data (the reply's leading "A" dropped); in mode 23 the
 * first "A" parts the tracks, and a text without one is all track 2 with
 * track 3 empty. A reply too short for its trailing byte (FS right after
 * "s") gives empty texts. Result: the GetBpStatus result
 * after FS; 48..57 or 20..23 for an error byte; -2 no data before the limit
 * or a reply longer than SD_READ_REPLY_MAX; -6 bad nTrackMode (nothing
 * sent); -7 a null buffer (nothing sent); -11 cancelled (both texts empty).
 * The closing pair ESC "0", ESC "%A" is sent whenever the read ends without
 * FS, and after a cancel. */
STRIPEDRV_API int ReadMsre(int nTrackMode, char *szTrack2data, char *szTrack3data,
                           int nTimeout);

/* ReadMsre with both texts emptied first and "'" turned into "=". */
STRIPEDRV_API int MSR_ReadMag(int nTrackMode, char *szTrack2data, char *szTrack3data,
                              int nTimeout);

/* Sends the write command, asks for the status, sends the closing pair.
 * Result: the GetBpStatus result; -6 bad nTrackMode; -7 a null text the
 * mode uses, or texts too long for one command (nothing sent in both). */
STRIPEDRV_API int MSR_WriteMag(int nTrackMode, const char *szTrack2data,
                               const char *szTrack3data, int nTimeout);

/* Sends ESC "0". 0 when both bytes went out, -1 otherwise (no line open). */
STRIPEDRV_API int MSR_Reset(void);

/* ------------------------------------------------------------------------
 * Reader identification and port commands.
 * ------------------------------------------------------------------------ */

/* Sends ESC "_GETVER" and stores the reply up to its CR (CR removed unless
 * it is the only byte) with a NUL. szVersion must hold SD_VERSION_MAX bytes.
 * 2 seconds per byte. 0; -2 timeout or no CR within 100 bytes (szVersion
 * untouched, the rest of the reply is left on the line and the answer
 * mark set, so the next open lets it run out); -3, -10 from the send; -7 szVersion is NULL
 * (nothing sent). */
STRIPEDRV_API int GetVersionInfo(char *szVersion);

/* Sends ESC "Intelligent" and stores the N record bytes at the start of
 * szRecord, without a terminator (zero the buffer first). szRecord must hold
 * N bytes; SD_IDENTITY_MAX + 1 holds any record. 2 seconds for the 0xAA,
 * 1 second for each later byte. N is read from the three digits as atoi
 * reads them; 0 or less stores nothing. 0; -8 first byte not 0xAA (nothing
 * more is read); -2 a byte is late (the bytes stored so far stay); -3; -10
 * from the send; -7 szRecord is NULL (nothing sent). */
STRIPEDRV_API int ProbeDeviceId(char *szRecord);

/* Sends ESC "%" and the letter cPort in one traced write (SendData), so
 * 'A' sends ESC "%A". No answer is read. 0, -3, -10. */
STRIPEDRV_API int SelectExtPort(char cPort);

/* Opens the line, selects port A when szExtPort is non-empty, asks for the
 * firmware version and sends ESC "%I4" ("Ver3" firmware, line stays at
 * nBaud) or ESC "%I1" (other firmware; the line is reopened at 115200).
 * 0 with the line open; -2, -3, -10, -11, -12 with the line closed. */
STRIPEDRV_API int IC_OpenPort(const char *szPort, const char *szExtPort, int nBaud,
                              int nReserved);

/* Sends ESC "%B" and closes the line; 0 when no line is open. None of the
 * parameters is read. 0, -3, -4. */
STRIPEDRV_API int IC_ClosePort(const char *szPort, const char *szExtPort, int nBaud,
                               int nReserved);

/* Replaces the character at nPos of szText by szInsert, in place: "12345",
 * "ab", 2 gives "12ab45". A position outside the text (negative, or at or
 * past its end), a NULL text, or a result over 99 characters leaves szText
 * as it is. */
STRIPEDRV_API void InserStr(char *szText, const char *szInsert, int nPos);

/* ------------------------------------------------------------------------
 * Serial line. The descriptor is opened non-blocking and set to raw 8-bit
 * mode: no input or output processing, CLOCAL | CREAD | CS8 and the speed,
 * no ISIG/ICANON/ECHO, VEOF 0 and VTIME 1. The reader's tty never becomes
 * the caller's controlling terminal.
 * ------------------------------------------------------------------------ */

/* Opens the full path szDevice at nBaud and takes the line's lock (see the
 * top of this file), waiting up to 5 seconds for another program that
 * holds it; when the line's answer mark is set, after such a wait, or with
 * bytes found waiting, it lets the line fall quiet before it returns
 * ("Handing over" at the top). The
 * descriptor (3 or above), or -3; -12 held by another program; -11
 * cancelled while waiting. A path that opens but is not a terminal is
 * closed again (-3). */
STRIPEDRV_API int TermOpen(const char *szDevice, long nBaud);

/* Leaves an answer still coming to the next opener, by the line's answer
 * mark (without a mark file it lets the answer run out first; see
 * "Handing over" at the top), restores the saved settings and closes.
 * 0 (also when nothing is open);
 * -3 the settings cannot be restored (the descriptor stays for a later try,
 * unless the line is gone - hung up or unplugged - when it is closed all the
 * same); -4 the close failed. */
STRIPEDRV_API int TermClose(void);

/* TermOpen of "/dev/" + szPort; sets isPortOpened. 0 or -3 (also for a name
 * too long for the path buffer), -12, -11. */
STRIPEDRV_API int OpenCOM(const char *szPort, long nBaud);

/* Clears isPortOpened, then TermClose. */
STRIPEDRV_API int CloseCOM(void);

/* ------------------------------------------------------------------------
 * Transfer primitives. The send functions need isPortOpened == 1; the
 * receive functions must only be called while a line is open. Limits are
 * whole seconds; in the budgeted waits a negative limit counts as 0 (look
 * once at what is waiting). Every wait sleeps in poll(), whatever the
 * descriptor's number, and ends early with SD_ERR_CANCELLED (-11) when the
 * host calls MS_Cancel.
 *
 * A line whose reader has gone away (end of file, a failing read, write or
 * poll) is not polled again: the call sleeps out the rest of its limit
 * and then gives its timeout result, so loops around RecvByte1 cost no
 * processor time.
 * ------------------------------------------------------------------------ */

/* One write of the text, untraced: the count written, -1 on error, 0 when
 * no line is open. */
STRIPEDRV_API int SendCom(const char *szText);

/* Traced, one write. 0; -3 no line open; -10 short write. */
STRIPEDRV_API int SendData(int nLen, const char *pData);

/* Traced; keeps writing within one 3-second budget, then drops the queued
 * output. 0; -3; -10; -11. */
STRIPEDRV_API int SendDataEx(int nLen, const char *pData);

/* SendData of the text without its NUL. */
STRIPEDRV_API int Sendstr(const char *szText);

/* Reply up to and including the first ETX (and whatever came with it in the
 * same read), for more than nTimeout whole seconds (a negative limit gives
 * -2 before the first read); between reads it sleeps until a byte comes or
 * the next whole second. pBuf must hold SD_RECV_MAX bytes. 0; -2 timeout,
 * or SD_RECV_MAX bytes arrived without an ETX among them; -11. */
STRIPEDRV_API int RecvData(char *pBuf, int *pnLen, int nTimeout);

/* As RecvData, waiting within one nTimeout budget. *pnLen is set to 0 at
 * once. 0; -2; -11. */
STRIPEDRV_API int RecvDataEx(char *pBuf, int *pnLen, int nTimeout);

/* Exactly nCount bytes, delivered by one read, within one nTimeout budget.
 * 0; -2 timeout, or nCount negative or over SD_RECV_EX2_MAX (nothing read);
 * -11. */
STRIPEDRV_API int RecvDataEx2(char *pBuf, int nCount, int nTimeout);

/* One byte within nTimeout seconds. On a timeout the queued output is
 * dropped. 0; -2 (the destination is untouched); -11. */
STRIPEDRV_API int RecvByte(unsigned char *pByte, int nTimeout);

/* RecvByte with a limit of 5 seconds. */
STRIPEDRV_API int RecvByte1(unsigned char *pByte);

/* ------------------------------------------------------------------------
 * Configuration and trace.
 *
 * INI lookup rules: a section header is a line beginning with "[name]"; once
 * entered it is never left, so entries under later headers are candidates
 * too. A candidate is a line holding "=" in which szKey occurs anywhere
 * (substring); lines beginning with "#" or "//" are skipped; the first
 * candidate wins and its value is everything after the first "=". Lines
 * count only when ended by LF; a line is examined up to 1023 characters.
 * ------------------------------------------------------------------------ */

/* The value, cut at its first CR, into szOut (which must hold it). 1 when
 * szOut was filled (value or default), 0 when nothing was stored: a null
 * argument, no file, or no match and a null szDefault. */
STRIPEDRV_API int X_INIKeyString(const char *szFile, const char *szSection,
                                 const char *szKey, char *szOut,
                                 const char *szDefault);

/* As X_INIKeyString with another parameter order, no CR cut, and the
 * default also when the file is missing (a null argument stores nothing).
 * Its header text lives in static storage, so it holds the library's lock. */
STRIPEDRV_API void GetIniKeyString(const char *szSection, const char *szKey,
                                   const char *szFile, char *szOut,
                                   const char *szDefault);

/* Writes the local time as "YYYY-MM-DD hh:mm:ss  " (21 characters, two
 * trailing blanks) and a NUL: szDate must hold 22 bytes. */
STRIPEDRV_API void GetSysDate(char *szDate);

/* Trace entries: each appends the time stamp and its body to "DataLog.log"
 * while the trace is on. 0, or -1 when the file can't be opened. */
STRIPEDRV_API int WriteLog(const char *szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/* Hex dump: "[0001]" then "XX " per byte, a new line with "[0021]" every 20
 * bytes, lines ended by CR LF. */
STRIPEDRV_API int WriteLog_Byte(const char *pData, int nLen);

/* Labelled hex dump: "Apdu:[0001]" for a command (nResponse 0) or
 * "Resp:[0001]" for a reply; continuation labels indented by five blanks;
 * a reply's dump ends with an empty line. */
STRIPEDRV_API int WriteLog_ByteEx(const unsigned char *pData, int nLen, int nResponse);

#ifdef __cplusplus
}
#endif

#endif /* STRIPEDRV_H */
