/* Fake reader libraries for the console's tests.
 *
 * Each fake exports the reader call(s) it was built with, and two data
 * symbols through which a test sees what the console passed and decides
 * what the call answers:
 *
 *   fake_call   the arguments of the last call, how many calls ran;
 *   fake_reply  the result to return, the texts to put in the buffers,
 *               and a hook that runs in the middle of the call.
 *
 * The test dlopens the same file that the console loaded through its
 * "./stripedrv.so" (etc.) link; the loader hands back the same library,
 * so both sides see the same two objects.
 */
#ifndef FAKEREADER_H
#define FAKEREADER_H

#ifdef __cplusplus
extern "C" {
#endif

#define FAKE_TEXT 256

typedef struct FakeCall {
    int calls;                 /* calls of any function of this library */
    char function[32];         /* name of the last function called */
    char port[FAKE_TEXT];
    char extPort[FAKE_TEXT];
    int baud;
    int timeout;
    /* The remaining arguments, in order. Stripe: ints = TrackMode and the
     * reserved int; write: texts = the two track texts. IC: ints[0] = the
     * card type held on entry; texts = the two texts. ID: texts = photo
     * path and the three option texts. */
    int ints[2];
    char texts[4][FAKE_TEXT];
    int textTooLong;           /* a text argument did not fit FAKE_TEXT */
    int nullArgument;          /* a pointer argument was null */
    int buffersZeroed;         /* every byte of the output buffer(s) was 0 */
} FakeCall;

typedef struct FakeReply {
    int result;
    /* Read: track 2 and track 3; IC and ID: first is the information. */
    char first[4096];
    char second[FAKE_TEXT];
    /* Fill the whole output buffer(s) with 'F', without a NUL. */
    int fillWithoutNul;
    /* Runs inside the call, after the arguments were recorded. */
    void (*during)(void);
} FakeReply;

#ifdef __cplusplus
}
#endif

#endif
