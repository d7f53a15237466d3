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
    int since = 1;      // schema version that added the column
};

// Every column in table order.
const QVector<Column> &columns();
QStringList columnNames();

// Row kinds.
namespace kind {
extern const QString Startup, Registered, Unregistered, Issue, Readout, ReadoutFailed, History, Confirm,
    NotConfirmed, CellFree, Freed, StillThere, CellBlock, CellUnblock, Hub, ScanError, Gap, Replaced;
}

// Where the readings of a read-out came from (column source; NULL on older
// rows means Scan).
namespace source {
extern const QString Scan, Recovered, BeforeReset;
}

// Column threshold_unit of issue rows whose thresholds are stored as written
// to the dosimeter, in the unit of the dose columns (NULL on older rows: as
// requested).
extern const QString kThresholdUnitDosimeter;

// The rows the counting rule walks: read-outs and boundaries (a row that
// erased the dose of its number: erased = 1, or on rows older than that
// column a confirm, cell_unblock or issue). Columns prefixed with alias
// when one is given. The SQLite index dose_event_cycle is on exactly these
// rows, and a query uses it only with this very condition.
QString cycleRowCondition(const QString &alias = QString());

// Current version of the SQLite schema.
constexpr int kSchemaVersion = 2;

// Sets WAL mode and full synchronous commits, then creates or upgrades the
// schema. False with *error when the file cannot be used.
bool prepareSqlite(QSqlDatabase &db, QString *error);

// The schema version recorded in the file (0: none).
int schemaVersion(QSqlDatabase &db);

// The identity of the journal file (journal_meta, key journal_id); empty
// when the file has none (schema older than version 2).
QString journalId(QSqlDatabase &db);

// A new file identity: 32 lower-case hex characters of random bytes.
QString newJournalId();

// "INSERT INTO dose_event (...) VALUES (:seq, ...)" for every column;
// onConflictIgnore adds PostgreSQL's ON CONFLICT DO NOTHING on the site key
// (cabinet_id, journal_id, seq). The table is dose_event unless named.
QString insertStatement(bool onConflictIgnore, const QString &table = kTable);

// The site's insert of several rows at once: positional placeholders, every
// column of each row in turn; rows whose key the site holds already are left
// out, and the key of each row inserted is returned.
QString insertRowsStatement(int rows);

} // namespace journal
