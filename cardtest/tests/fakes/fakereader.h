/* Fake reader libraries for the console's tests. Each exports the reader
 * call(s) it was built with and two data symbols: fake_call (how many calls
 * ran, and the last one as a text: name, then every argument between '|',
 * an output buffer shown as "zeroed" when all its bytes were 0 on entry)
 * and fake_reply (what the call answers). The test dlopens the file the
 * console loaded through its "./stripedrv.so" (etc.) link; the loader hands
 * back the same library, so both sides see the same two objects. */
#ifndef FAKEREADER_H
#define FAKEREADER_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FakeCall {
    int calls;
    char args[1024];
} FakeCall;

typedef struct FakeReply {
    int result;
    char first[256];     /* track 2, or the IC / ID information */
    char second[256];    /* track 3 */
    int fillWithoutNul;  /* fill the whole output buffer(s) with 'F' */
    void (*during)(void);  /* runs inside the call */
} FakeReply;

#ifdef __cplusplus
}
#endif

#endif
