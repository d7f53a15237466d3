/* Preload library for running the controller under qemu-user (qemu 7.2, as in
 * Debian 12), which passes waitid(P_PIDFD) through to the kernel but refuses
 * clone(CLONE_PIDFD). Qt's process launcher probes the first to decide on the
 * second, so under the emulator every QProcess start would fail. Answering the
 * probe with ENOSYS makes Qt take its plain fork() path; every other system
 * call goes through unchanged. Used only with qemu-aarch64-static -E LD_PRELOAD=. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/syscall.h>

#define P_PIDFD_ID 3

long syscall(long number, ...)
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; ++i)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_waitid && a[0] == P_PIDFD_ID) {
        errno = ENOSYS;
        return -1;
    }
    static long (*next)(long, ...);
    if (!next)
        next = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
