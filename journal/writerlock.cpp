#include "writerlock.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

JournalWriterLock::JournalWriterLock(const QString &journalPath)
    : m_path(lockPath(journalPath))
{
}

JournalWriterLock::~JournalWriterLock()
{
    if (m_fd >= 0)
        ::close(m_fd);   // drops the lock
}

JournalWriterLock::State JournalWriterLock::acquire(QString *why)
{
    if (m_fd >= 0)
        return State::Held;
    const QByteArray path = QFile::encodeName(m_path);
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return State::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            char text[32] = {};
            const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            const QString pid = QString::fromLatin1(text, n > 0 ? int(n) : 0).trimmed();
            *why = pid.isEmpty() ? QStringLiteral("%1 занят").arg(m_path)
                                 : QStringLiteral("%1 занят процессом %2").arg(m_path, pid);
            ::close(fd);
            return State::HeldByOther;
        }
        *why = QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(error)));
        ::close(fd);
        return State::Failed;
    }
    // Who holds it, for the message of a second writer; the lock holds
    // whether or not this is written (a full disk).
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0) {
        // Nothing to do: the text is only informative.
    }
    m_fd = fd;
    return State::Held;
}
