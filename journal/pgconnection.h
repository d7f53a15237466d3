#pragma once

// A PostgreSQL connection for the journal's sync and reports. Values left
// empty are taken by libpq from the usual PG* variables (PGHOST, PGPORT,
// PGDATABASE, PGUSER, PGPASSWORD, PGPASSFILE).

#include <QSqlDatabase>
#include <QString>

struct PgSettings {
    bool enabled = false;
    QString host;
    int port = -1;
    QString dbname;
    QString user;
    QString password;
};

// Connect time-out of every journal connection to PostgreSQL.
constexpr int kPgConnectTimeoutSeconds = 5;

// Adds and opens the connection under a name; on failure *error says why
// and the connection stays registered (close it with closeConnection).
QSqlDatabase openPostgres(const QString &connectionName, const PgSettings &settings, QString *error);

// Closes and unregisters a connection of any driver.
void closeConnection(const QString &connectionName);

// The database's own message of an error (PostgreSQL's or SQLite's text),
// else the driver's; on one line.
class QSqlError;
QString sqlErrorText(const QSqlError &error);

// The password in a file: its first line; empty when the file cannot be read.
QString readPasswordFile(const QString &path);
