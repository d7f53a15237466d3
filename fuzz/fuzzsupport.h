#pragma once

// Shared set-up of the fuzz targets: an application object, a silenced debug
// log and a check that aborts with a message (so libFuzzer records the input).

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "fatal: %s\n", qPrintable(msg));
        std::abort();
    }
}

inline void setUp()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
    qInstallMessageHandler(quietMessages);
}

// A scratch folder, on a memory file system when there is one: state files
// are rewritten (and synced) on every input.
// It is removed when the fuzzer exits normally.
inline QTemporaryDir *scratchDir()
{
    static QTemporaryDir dir(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                 ? QStringLiteral("/dev/shm/orvik-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/orvik-fuzz-XXXXXX"));
    return &dir;
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

} // namespace fuzz

// Aborts with the failed condition; libFuzzer reports it as a crash.
#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);     \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
