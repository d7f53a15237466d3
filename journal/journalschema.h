#pragma once

// Columns of the journal table, shared by the SQLite file and PostgreSQL, and
// the SQLite schema with its migrations.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// One journal row: column name -> value; a missing column is stored as NULL.
using JournalRow = QVariantMap;

namespace journal {

// Name of the journal table in both databases.
extern const QString kTable;

enum class ColumnType { Integer, Real, Text };

struct Column {
    QString name;
    ColumnType type;
};

// Every column in table order.
const QVector<Column> &columns();
QStringList columnNames();

// Row kinds.
namespace kind {
extern const QString Startup, Registered, Unregistered, Issue, Readout, ReadoutFailed, History, Confirm,
    NotConfirmed, CellFree, CellBlock, CellUnblock, Hub, ScanError, Gap, Replaced;
}

// Current version of the SQLite schema.
constexpr int kSchemaVersion = 1;

// Sets WAL mode and full synchronous commits, then creates or upgrades the
// schema. False with *error when the file cannot be used.
bool prepareSqlite(QSqlDatabase &db, QString *error);

// The schema version recorded in the file (0: none).
int schemaVersion(QSqlDatabase &db);

// "INSERT INTO dose_event (...) VALUES (:seq, ...)" for every column;
// onConflictIgnore adds PostgreSQL's ON CONFLICT DO NOTHING.
QString insertStatement(bool onConflictIgnore);

} // namespace journal
