#pragma once

// One writer per journal file: an exclusive flock on "<journal>.lock" beside
// it, held for the writer's life and dropped by the kernel when the process
// ends, also on kill -9. SQLite's own locks only order transactions; they
// cannot keep a second controller from numbering rows of its own. Readers
// (the console, dose_report) open the journal read-only and never take it.

#include <QString>

class JournalWriterLock
{
public:
    enum class State {
        Held,          // this object holds the lock
        HeldByOther,   // another open file holds it (another process, or another store here)
        Failed,        // the lock file cannot be opened (read-only folder ...): try again later
    };

    explicit JournalWriterLock(const QString &journalPath);
    ~JournalWriterLock();
    JournalWriterLock(const JournalWriterLock &) = delete;
    JournalWriterLock &operator=(const JournalWriterLock &) = delete;

    // Takes the lock unless held already; never waits. *why says what went
    // wrong, with the holder's process id when it is known.
    State acquire(QString *why);
    bool isHeld() const { return m_fd >= 0; }

    static QString lockPath(const QString &journalPath) { return journalPath + QStringLiteral(".lock"); }

private:
    QString m_path;
    int m_fd = -1;
};
