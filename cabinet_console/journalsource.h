#pragma once

// Where the console reads the dose journal: the controller's SQLite file,
// opened read-only (the controller stays its only writer), or the site's
// PostgreSQL when the [Journal] group turns the copy there on.

#include "pgconnection.h"

#include <QSqlDatabase>
#include <QString>

struct JournalSource
{
    QString sqliteFile;        // absolute path; empty: no journal
    PgSettings pg;             // used when pg.enabled
    QString annualDoseKey;     // users column matched against the worker identifier

    bool configured() const { return pg.enabled || !sqliteFile.isEmpty(); }
    // "the journal file X" or "PostgreSQL" for messages.
    QString describe() const;
};

// The source from the controller's settings (already read into the globals);
// a relative file name is taken from the working directory, as the controller does.
JournalSource journalSourceFromSettings();

// One connection for one request (the web server answers on several threads
// and a connection belongs to the thread that opened it). Closed on destruction.
class JournalConnection
{
public:
    explicit JournalConnection(const JournalSource &source);
    ~JournalConnection();
    JournalConnection(const JournalConnection &) = delete;
    JournalConnection &operator=(const JournalConnection &) = delete;

    bool isOpen() const { return m_open; }
    // Why it is not open, in words for the page.
    const QString &error() const { return m_error; }
    QSqlDatabase database() const;

private:
    bool openSqlite(const QString &file, const QString &options);

    QString m_name;
    bool m_open = false;
    QString m_error;
};
