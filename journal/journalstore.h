#pragma once

// The cabinet's journal file: appends rows, never changes or deletes one.
// A file that cannot be written costs events, never a command: the failure
// is logged once, the lost events are counted, and the first write that
// works again is preceded by a "gap" row. A file that is not a database is
// moved aside under a time-stamped name and a new one is started.

#include "journalschema.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include <functional>

class JournalStore
{
public:
    // Opens (or creates) the file. The journal keeps working without it
    // and tries again at every append.
    JournalStore(const QString &path, const QString &cabinetId);
    ~JournalStore();
    JournalStore(const JournalStore &) = delete;
    JournalStore &operator=(const JournalStore &) = delete;

    // Adds the rows in one transaction, each with the next sequence number,
    // the time and the cabinet id. True when they are committed.
    bool append(QVector<JournalRow> rows);

    bool isWritable() const { return m_open && !m_failing; }
    qint64 lastSeq() const { return m_lastSeq; }
    const QString &path() const { return m_path; }
    const QString &cabinetId() const { return m_cabinetId; }
    // The identity of the open file (journal_id of its rows).
    const QString &journalId() const { return m_journalId; }

    // Where log lines go (default: the Qt debug log).
    static void setLogSink(std::function<void(const QString &)> sink);

    // First sequence number of a new journal file: its creation time in UTC
    // seconds times 1000, so that a file started afresh never reuses a number
    // that an older file already gave to the site database.
    static qint64 firstSeqOfNewFile(qint64 utcSeconds) { return utcSeconds * 1000 + 1; }

    // The time fields of a row made now.
    static void stamp(JournalRow &row, qint64 utcMs);

private:
    bool open(QString *error);
    void close();
    bool write(const QVector<JournalRow> &rows, QString *error);
    bool moveAside();
    static bool isCorruption(const QString &error);

    QString m_path;
    QString m_cabinetId;
    QString m_connection;
    QString m_journalId;
    bool m_open = false;
    bool m_failing = false;
    qint64 m_lastSeq = 0;
    QString m_replacedBy;   // name the corrupt file was moved to, for the next row
    // Events lost while the file could not be written.
    qint64 m_lost = 0;
    qint64 m_lostFirst = 0;
    qint64 m_lostLast = 0;
};
