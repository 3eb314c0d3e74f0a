/* Shared by the two stand-in reader libraries: can the port be opened? */
#ifndef STANDINS_PORTPROBE_H
#define STANDINS_PORTPROBE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Opens "/dev/" + szPort for reading and writing, without making it the
 * controlling terminal and without waiting for carrier, and closes it again
 * at once. Returns 1 when the open worked, 0 when it did not (also for a
 * name too long for a device path). Nothing is sent on the line. */
int standin_port_opens(const char *szPort);

#ifdef __cplusplus
}
#endif

#endif
