#pragma once

// The cabinet's journal file: appends rows, never changes or deletes one.
// One process writes a file (JournalWriterLock); a second one refuses it.
// A file that cannot be written costs no command and, as long as memory
// allows, no row: rows wait in memory in order and are written with the next
// append, the retry timer or flush() once writing works again; only rows that
// do not fit are lost, and a "gap" row then says how many. A file that is
// not a database is moved aside under a time-stamped name, a new one is
// started, and its first row ("journal_replaced") names the old one.

#include "journalschema.h"
#include "writerlock.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class QTimer;

class JournalStore
{
public:
    // Opens (or creates) the file. The journal keeps working without it
    // and tries again at every append.
    JournalStore(const QString &path, const QString &cabinetId);
    ~JournalStore();
    JournalStore(const JournalStore &) = delete;
    JournalStore &operator=(const JournalStore &) = delete;

    // Adds the rows after those still waiting, each with the next sequence
    // number, the file's identity, the time and the cabinet id, in one
    // transaction. True only when they are committed to disk; otherwise they
    // wait in memory (unless the queue is full: then they are lost and
    // counted for the gap row).
    bool append(QVector<JournalRow> rows);

    // Writes the rows waiting in memory; true when none is left. The retry
    // timer calls it too, every retryInterval while rows wait.
    bool flush();
    // Rows waiting in memory for the file.
    int pendingRows() const { return m_queue.size(); }

    bool isWritable() const { return m_open && !m_failing && !m_refused; }
    // Another process (or another store here) writes this file: this one
    // writes nothing, ever.
    bool isRefused() const { return m_refused; }
    qint64 lastSeq() const { return m_lastSeq; }
    const QString &path() const { return m_path; }
    const QString &cabinetId() const { return m_cabinetId; }
    // The identity of the open file (journal_id of its rows).
    const QString &journalId() const { return m_journalId; }

    // How much may wait in memory: rows and bytes of text (the request and
    // reply texts of a history read can be megabytes).
    static constexpr int kQueueRows = 10000;
    static constexpr qint64 kQueueBytes = 64 * 1024 * 1024;
    void setQueueLimits(int rows, qint64 bytes);
    static constexpr int kRetryMs = 2000;
    void setRetryInterval(int ms);

    // Where log lines go (default: the Qt debug log).
    static void setLogSink(std::function<void(const QString &)> sink);

    // The time fields of a row made now.
    static void stamp(JournalRow &row, qint64 utcMs);

private:
    bool open(QString *error);
    void close();
    bool write(const QVector<JournalRow> &rows, QString *error);
    QVector<JournalRow> batch() const;
    bool moveAside(qint64 nowMs);
    static bool isCorruption(const QString &error);
    static qint64 textBytes(const JournalRow &row);
    void lose(int rows, qint64 nowMs);

    QString m_path;
    QString m_cabinetId;
    QString m_connection;
    JournalWriterLock m_lock;
    bool m_refused = false;
    bool m_open = false;
    bool m_failing = false;
    qint64 m_lastSeq = 0;
    QString m_journalId;
    QVector<JournalRow> m_replaced;  // "journal_replaced" rows owed to the new file
    // Rows waiting for the file, oldest first.
    QVector<JournalRow> m_queue;
    qint64 m_queueBytes = 0;
    int m_maxRows = kQueueRows;
    qint64 m_maxBytes = kQueueBytes;
    // Rows that did not fit in memory: they are lost, the gap row counts them.
    qint64 m_lost = 0;
    qint64 m_lostFirst = 0;
    qint64 m_lostLast = 0;
    bool m_overflowLogged = false;
    std::unique_ptr<QTimer> m_retry;
};
