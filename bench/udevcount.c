/* Counting front for the stand-in udevadm: appends one byte to the file named
 * by BENCH_UDEV_COUNT, then runs the program named by BENCH_UDEV_REAL with the
 * same arguments. The benchmark puts it first on the server's PATH to learn
 * how many device queries each command makes. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    (void)argc;
    const char *count = getenv("BENCH_UDEV_COUNT");
    if (count && *count) {
        int fd = open(count, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, "q", 1) != 1) {
                /* a lost count only shows as a lower query count */
            }
            close(fd);
        }
    }
    const char *real = getenv("BENCH_UDEV_REAL");
    if (!real || !*real)
        return 127;
    argv[0] = (char *)real;
    execv(real, argv);
    return 127;
}
