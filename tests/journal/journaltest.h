#pragma once

// Helpers of the journal tests: a scoped database connection and the rows of
// a journal file read back through the query code.

#include "journalquery.h"
#include "journalschema.h"
#include "pgconnection.h"
#include "terminaltest.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

// A connection under a name of its own, closed and removed with the object.
class ScopedDb
{
public:
    // A SQLite file.
    explicit ScopedDb(const QString &sqlitePath)
        : m_name(nextName())
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(sqlitePath);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        m_db.open();
    }
    // A PostgreSQL database.
    explicit ScopedDb(const PgSettings &pg)
        : m_name(nextName())
    {
        QString error;
        m_db = openPostgres(m_name, pg, &error);
    }
    ~ScopedDb()
    {
        m_db = QSqlDatabase();
        closeConnection(m_name);
    }
    QSqlDatabase &db() { return m_db; }
    bool isOpen() const { return m_db.isOpen(); }

    // Runs one statement; returns its error text, empty on success.
    QString exec(const QString &sql)
    {
        QSqlQuery q(m_db);
        return q.exec(sql) ? QString() : q.lastError().text();
    }
    // The first value of a query's first row.
    QVariant scalar(const QString &sql)
    {
        QSqlQuery q(m_db);
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    }

private:
    static QString nextName()
    {
        static int n = 0;
        return QStringLiteral("journal-test-%1").arg(++n);
    }
    QString m_name;
    QSqlDatabase m_db;
};

// The connection settings of a throw-away cluster.
inline PgSettings clusterSettings(const TestCluster &cluster)
{
    PgSettings s;
    s.enabled = true;
    s.host = QStringLiteral("127.0.0.1");
    s.port = cluster.port();
    s.dbname = cluster.database();
    s.user = QStringLiteral("postgres");
    s.password = cluster.password();
    return s;
}

// Every row of a journal, oldest first, with the request and reply texts.
inline QVector<JournalRow> journalRows(QSqlDatabase &db)
{
    EventFilter all;
    all.limit = 0;
    const JournalTable t = JournalQuery(db).events(all, true);
    QVector<JournalRow> rows;
    for (int r = 0; r < t.rows.size(); ++r) {
        JournalRow row;
        for (int c = 0; c < t.columns.size(); ++c)
            row.insert(t.columns.at(c), t.rows.at(r).value(c));
        rows << row;
    }
    return rows;
}

inline QVector<JournalRow> journalRows(const QString &sqlitePath)
{
    ScopedDb db(sqlitePath);
    return journalRows(db.db());
}

// The kind column of each row.
inline QStringList kinds(const QVector<JournalRow> &rows)
{
    QStringList k;
    for (const JournalRow &r : rows)
        k << r.value(QStringLiteral("kind")).toString();
    return k;
}
