// Serial reader to file: reads codes from a card reader or barcode scanner and
// keeps the last one, as upper-case hexadecimal text, in an output file.
//
// The same source builds both programs; the compile definitions pick the
// device, the line speed and the output file:
//   READER_DEVICE  device path, e.g. "/dev/ttyS4"
//   READER_SPEED   termios speed constant, e.g. B9600
//   READER_OUTPUT  output file, e.g. "/tmp/Orvik_gamma/CARD_READER.ini"
//
// Usage: PROGRAM [--device PATH] [--output FILE]

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifndef READER_DEVICE
#error "READER_DEVICE must name the serial device"
#endif
#ifndef READER_SPEED
#error "READER_SPEED must name the termios line speed"
#endif
#ifndef READER_OUTPUT
#error "READER_OUTPUT must name the output file"
#endif

namespace {

constexpr size_t kReadSize = 256;
// Two hexadecimal digits per byte plus the terminating zero.
constexpr size_t kHexSize = 2 * kReadSize + 1;

const char kOpenFileFailed[] = "He удается открыть файл.\n";

// Permission bits for a new output file, as an ordinary fopen() would give it.
mode_t g_file_mode = 0644;

[[noreturn]] void fail()
{
    fflush(stdout);
    exit(1);
}

// Puts the line in raw 8N1 mode with the read timing of the program:
// a read returns as soon as one byte is there, or after 20 s of silence.
// Every flag not named here keeps the value the device had.
void applyLineSettings(struct termios &tty)
{
    tty.c_cflag &= ~tcflag_t(PARENB | CSTOPB | CRTSCTS | CSIZE);
    tty.c_cflag |= CS8 | CREAD | CLOCAL;

    tty.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ECHONL | ISIG);

    tty.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    tty.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);

    tty.c_oflag &= ~tcflag_t(OPOST | ONLCR);

    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 200;

    cfsetispeed(&tty, READER_SPEED);
    cfsetospeed(&tty, READER_SPEED);
}

// Formats the bytes as upper-case hexadecimal text without separators.
void toHex(const unsigned char *bytes, size_t count, char (&hex)[kHexSize])
{
    size_t pos = 0;
    for (size_t i = 0; i < count && i < kReadSize; ++i) {
        snprintf(hex + pos, kHexSize - pos, "%02X", static_cast<unsigned>(bytes[i]));
        pos += 2;
    }
    hex[pos] = '\0';
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Replaces the output file with the given text. The text goes into a
// temporary file in the same folder first, which is then renamed over the
// output file, so a consumer never sees the file empty or half written.
bool replaceFile(const std::string &path, const char *text)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = folder + "." + base + ".XXXXXX";

    const int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        return false;
    const bool ok = fchmod(fd, g_file_mode) == 0 && writeAll(fd, text, strlen(text));
    if (close(fd) != 0 || !ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void usage(const char *path)
{
    const char *slash = strrchr(path, '/');
    const char *program = slash ? slash + 1 : path;
    fprintf(stderr, "Usage: %s [--device PATH] [--output FILE]\n"
                    "Reads codes from the serial device and keeps the last one read, as upper-case\n"
                    "hexadecimal text, in the output file (replaced as a whole). Ends with status 1\n"
                    "when the device cannot be opened, set up or read, or the file cannot be written.\n"
                    "Defaults: --device %s --output %s\n",
            program, READER_DEVICE, READER_OUTPUT);
}

} // namespace

int main(int argc, char *argv[])
{
    std::string device = READER_DEVICE;
    std::string output = READER_OUTPUT;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--device" || arg == "--output") && i + 1 < argc) {
            (arg == "--device" ? device : output) = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            usage(argv[0]);
            return 0;
        } else {
            usage(argv[0]);
            return 1;
        }
    }
    if (device.empty() || output.empty()) {
        usage(argv[0]);
        return 1;
    }

    const mode_t mask = umask(0);
    umask(mask);
    g_file_mode = 0666 & ~mask;

    for (;;) {
        // A device that cannot be opened leaves fd at -1; the attribute
        // query below then fails and reports it, after the reason the open
        // itself gives (a missing device, no permission).
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0) {
            const int err = errno;
            printf("Error %i from open %s: %s\n", err, device.c_str(), strerror(err));
        }

        struct termios tty;
        memset(&tty, 0, sizeof tty);
        if (tcgetattr(fd, &tty) != 0) {
            const int err = errno;
            printf("Error %i from tcgetattr: %s\n", err, strerror(err));
            fail();
        }

        applyLineSettings(tty);

        if (tcsetattr(fd, TCSANOW, &tty) != 0) {
            const int err = errno;
            printf("Error %i from tcsetattr: %s\n", err, strerror(err));
            fail();
        }

        unsigned char buffer[kReadSize];
        memset(buffer, 0, sizeof buffer);
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0) {
            printf("Error reading: %s", strerror(errno));
            fail();
        }

        // One or two bytes are line noise or a broken-off code; a time-out
        // reads nothing. Neither changes the file.
        if (count > 2) {
            char hex[kHexSize];
            toHex(buffer, size_t(count), hex);
            if (!replaceFile(output, hex)) {
                fputs(kOpenFileFailed, stdout);
                fail();
            }
        }

        close(fd);
    }
}
