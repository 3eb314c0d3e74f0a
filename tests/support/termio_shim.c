/* Preloaded into the programs of a cross build whose tests run under
 * qemu-user. qemu (7.2) takes the System V terminal ioctls TCGETA, TCSETA,
 * TCSETAW and TCSETAF for calls on an int: TCGETA fills only the first four
 * bytes of struct termio, and the settings of the others never reach the
 * line. A real kernel maps them onto struct termios, and so does this:
 * struct termio holds the low 16 bits of each flag word, the line
 * discipline and the first NCC control characters; setting keeps the high
 * bits and the other characters. Every other request goes to the C
 * library's ioctl. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termio.h>

/* The kernel's struct termios of arm64 (and every asm-generic port). */
struct kernel_termios {
    unsigned int c_iflag, c_oflag, c_cflag, c_lflag;
    unsigned char c_line;
    unsigned char c_cc[19];
};

typedef int ioctl_fn(int, unsigned long, void *);

static int real_ioctl(int fd, unsigned long request, void *arg)
{
    static ioctl_fn *next;
    if (!next)
        next = (ioctl_fn *)dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, arg);
}

/* The programs a test starts through a shell (the emulated/ scripts, or
 * system()) are the host's, which cannot load this arm64 library: they get
 * their own preload from the emulator's command line where they need it. */
__attribute__((constructor)) static void keep_preload_to_this_process(void)
{
    unsetenv("LD_PRELOAD");
}

static unsigned int low16(unsigned int kept, unsigned short low) { return (kept & 0xFFFF0000u) | low; }

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    unsigned long with_termios;
    switch (request) {
    case TCGETA: with_termios = TCGETS; break;
    case TCSETA: with_termios = TCSETS; break;
    case TCSETAW: with_termios = TCSETSW; break;
    case TCSETAF: with_termios = TCSETSF; break;
    default: return real_ioctl(fd, request, arg);
    }
    struct termio *t = arg;
    if (!t) {
        errno = EFAULT;
        return -1;
    }
    struct kernel_termios k;
    if (real_ioctl(fd, TCGETS, &k) != 0)
        return -1;
    if (request == TCGETA) {
        t->c_iflag = (unsigned short)k.c_iflag;
        t->c_oflag = (unsigned short)k.c_oflag;
        t->c_cflag = (unsigned short)k.c_cflag;
        t->c_lflag = (unsigned short)k.c_lflag;
        t->c_line = k.c_line;
        memcpy(t->c_cc, k.c_cc, NCC);
        return 0;
    }
    k.c_iflag = low16(k.c_iflag, t->c_iflag);
    k.c_oflag = low16(k.c_oflag, t->c_oflag);
    k.c_cflag = low16(k.c_cflag, t->c_cflag);
    k.c_lflag = low16(k.c_lflag, t->c_lflag);
    k.c_line = t->c_line;
    memcpy(k.c_cc, t->c_cc, NCC);
    return real_ioctl(fd, with_termios, &k);
}
