/* Stand-in for `udevadm info PATH` over a simulated rack.
 *
 * The rack keeps, beside each device link DIR/ttyACM<N>, the complete query
 * output in DIR/.udev/ttyACM<N>; this program prints that file. An optional
 * DIR/.udev/ttyACM<N>.delay (milliseconds) and the environment variable
 * SIMRACK_UDEVADM_DELAY_MS delay the answer, for tests of slow queries.
 * An unknown path gives a message on stderr, nothing on stdout, exit 1. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static long delay_from_text(const char *text)
{
    if (!text)
        return 0;
    char *end = NULL;
    long v = strtol(text, &end, 10);
    return (end != text && v > 0) ? v : 0;
}

static long delay_from_file(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return 0;
    char buf[32] = {0};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    buf[n] = 0;
    fclose(f);
    return delay_from_text(buf);
}

static void sleep_ms(long ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int main(int argc, char **argv)
{
    const char *path = NULL;
    int info = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "info") == 0 && !info)
            info = 1;
        else if (strncmp(argv[i], "--name=", 7) == 0)
            path = argv[i] + 7;
        else if (argv[i][0] != '-')
            path = argv[i];
    }
    if (!info || !path || !*path) {
        fprintf(stderr, "usage: udevadm info PATH\n");
        return 2;
    }

    /* DIR/ttyACM<N> -> DIR/.udev/ttyACM<N> */
    const char *slash = strrchr(path, '/');
    size_t dirlen = slash ? (size_t)(slash - path) : 1;
    const char *dir = slash ? path : ".";
    const char *base = slash ? slash + 1 : path;
    size_t size = dirlen + strlen("/.udev/") + strlen(base) + strlen(".delay") + 1;
    char *sidecar = malloc(size);
    char *delayfile = malloc(size);
    if (!sidecar || !delayfile)
        return 1;
    snprintf(sidecar, size, "%.*s/.udev/%s", (int)dirlen, dir, base);
    snprintf(delayfile, size, "%s.delay", sidecar);

    long delay = delay_from_text(getenv("SIMRACK_UDEVADM_DELAY_MS"));
    long own = *base ? delay_from_file(delayfile) : 0;
    if (own > delay)
        delay = own;
    if (delay > 0)
        sleep_ms(delay);

    FILE *f = *base ? fopen(sidecar, "rb") : NULL;
    if (!f) {
        fprintf(stderr, "Unknown device \"%s\": No such device\n", path);
        return 1;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        fwrite(buf, 1, n, stdout);
    fclose(f);
    free(sidecar);
    free(delayfile);
    return 0;
}
