#pragma once

// Copies the journal rows that the site's PostgreSQL has not acknowledged yet
// into its table dose_event, in batches, on a thread of its own with its own
// connections. How far it got is kept in the journal file (sync_progress), so
// a restart goes on from there. A replayed row (same key, same content) is
// ignored; a row whose key the site holds with other content is kept in
// dose_event_conflict and logged. On every connect it applies the built-in
// db/journal.sql, so a site database of an older version heals. When a users
// column is named it recomputes, in a savepoint of the batch's transaction,
// the annual dose of the worker of every read-out it ships; a failed
// recompute is logged and never holds up the copy.
// The database down, slow or unreachable: 5 s connect time-out, retries with
// back-off from 1 s to 60 s, rows stay in the file; nobody waits for it.

#include "journalschema.h"
#include "pgconnection.h"

#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

class JournalSync
{
public:
    struct Options {
        QString journalPath;
        PgSettings pg;
        QString annualDoseKey;      // users column matched against "uid"; empty: off
        int batchRows = 500;
        int idleMs = 2000;          // look for new rows at least this often
    };

    explicit JournalSync(const Options &options);
    // Stops the thread (waits for a running connect or batch).
    ~JournalSync();
    JournalSync(const JournalSync &) = delete;
    JournalSync &operator=(const JournalSync &) = delete;

    // New rows were written: ship them soon. Never blocks.
    void wake();

    // The last sequence number the site database acknowledged, read from the journal file.
    static qint64 acknowledged(const QString &journalPath);
    // Name of the progress entry in sync_progress.
    static const QString kTarget;
    // The users columns that annual_dose_key may name.
    static bool isAnnualDoseKey(const QString &column);

private:
    void run();
    // Ships one batch; false on a database error (*error says which).
    bool shipBatch(bool *more, QString *error);
    // A row the site already holds under its key: kept aside when its
    // content differs. False on a database error.
    bool keepConflict(const JournalRow &row, QString *error);
    void recompute(const QStringList &uids);
    void connectPostgres(QString *error);
    void closeAll();

    Options m_options;
    QString m_liteName;
    QString m_pgName;
    bool m_pgReady = false;
    QString m_schemaError;      // last failure to apply journal.sql, logged once
    QString m_recomputeError;   // likewise for the annual dose
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    bool m_woken = false;
    std::thread m_thread;
};
