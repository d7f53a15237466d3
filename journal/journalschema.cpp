#include "journalschema.h"

#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>

namespace journal {

const QString kTable = QStringLiteral("dose_event");

namespace kind {
const QString Startup = QStringLiteral("startup");
const QString Registered = QStringLiteral("registered");
const QString Unregistered = QStringLiteral("unregistered");
const QString Issue = QStringLiteral("issue");
const QString Readout = QStringLiteral("readout");
const QString ReadoutFailed = QStringLiteral("readout_failed");
const QString History = QStringLiteral("history");
const QString Confirm = QStringLiteral("confirm");
const QString NotConfirmed = QStringLiteral("not_confirmed");
const QString CellFree = QStringLiteral("cell_free");       // older rows: freed or still there
const QString Freed = QStringLiteral("freed");
const QString StillThere = QStringLiteral("still_there");
const QString CellBlock = QStringLiteral("cell_block");
const QString CellUnblock = QStringLiteral("cell_unblock");
const QString Hub = QStringLiteral("hub");
const QString ScanError = QStringLiteral("scan_error");
const QString Gap = QStringLiteral("gap");
const QString Replaced = QStringLiteral("journal_replaced");
} // namespace kind

namespace source {
const QString Scan = QStringLiteral("scan");
const QString Recovered = QStringLiteral("recovered");
const QString BeforeReset = QStringLiteral("before_reset");
} // namespace source

const QString kThresholdUnitDosimeter = QStringLiteral("dosimeter");

const QVector<Column> &columns()
{
    using T = ColumnType;
    static const QVector<Column> list{
        {QStringLiteral("seq"), T::Integer},
        {QStringLiteral("ts"), T::Integer},              // UTC seconds
        {QStringLiteral("time_text"), T::Text},          // ISO 8601, local time with its offset
        {QStringLiteral("cabinet_id"), T::Text},
        {QStringLiteral("command"), T::Text},
        {QStringLiteral("kind"), T::Text},
        {QStringLiteral("cell"), T::Integer},
        {QStringLiteral("port"), T::Text},
        {QStringLiteral("number"), T::Text},             // dosimeter number as decimal text
        {QStringLiteral("uid"), T::Text},                // worker identifier as the dosimeter holds it
        {QStringLiteral("uname"), T::Text},
        {QStringLiteral("work_order"), T::Text},
        {QStringLiteral("operator"), T::Text},
        {QStringLiteral("gdel"), T::Real},
        {QStringLiteral("gde2"), T::Real},
        {QStringLiteral("gderl"), T::Real},
        {QStringLiteral("gder2"), T::Real},
        {QStringLiteral("ndel"), T::Real},
        {QStringLiteral("nde2"), T::Real},
        {QStringLiteral("nderl"), T::Real},
        {QStringLiteral("nder2"), T::Real},
        {QStringLiteral("outcome"), T::Text},            // the reply's error text
        {QStringLiteral("dosimeter_type"), T::Text},
        {QStringLiteral("dose_gamma"), T::Real},
        {QStringLiteral("rate_gamma"), T::Real},
        {QStringLiteral("rate_gamma_time"), T::Integer},
        {QStringLiteral("dose_neutron"), T::Real},
        {QStringLiteral("rate_neutron"), T::Real},
        {QStringLiteral("rate_neutron_time"), T::Integer},
        {QStringLiteral("history"), T::Text},
        {QStringLiteral("note"), T::Text},
        {QStringLiteral("lost_count"), T::Integer},
        {QStringLiteral("lost_first"), T::Integer},
        {QStringLiteral("lost_last"), T::Integer},
        {QStringLiteral("request"), T::Text},
        {QStringLiteral("reply"), T::Text},
        // Version 2.
        {QStringLiteral("journal_id"), T::Text, 2},      // the file that wrote the row; '' on older rows
        {QStringLiteral("source"), T::Text, 2},          // read-outs: scan, recovered, before_reset
        {QStringLiteral("erased"), T::Integer, 2},       // 1: the command erased the dose of number (went ahead, not every dose reset failed)
        {QStringLiteral("threshold_unit"), T::Text, 2},  // issue rows: dosimeter
    };
    return list;
}

QStringList columnNames()
{
    QStringList names;
    for (const Column &c : columns())
        names << c.name;
    return names;
}

QString cycleRowCondition(const QString &alias)
{
    const QString a = alias.isEmpty() ? QString() : alias + QLatin1Char('.');
    return QStringLiteral("(%1kind = 'readout' OR %1erased = 1 OR (%1erased IS NULL AND %1kind IN ('confirm', "
                          "'cell_unblock', 'issue')))")
        .arg(a);
}

QString insertStatement(bool onConflictIgnore, const QString &table)
{
    const QStringList names = columnNames();
    QStringList placeholders;
    // A row without a file identity is one of an older file.
    for (const QString &n : names)
        placeholders << (n == QLatin1String("journal_id") ? QStringLiteral("COALESCE(:journal_id, '')")
                                                          : QLatin1Char(':') + n);
    QString sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                      .arg(table, names.join(QLatin1Char(',')), placeholders.join(QLatin1Char(',')));
    if (onConflictIgnore)
        sql += QStringLiteral(" ON CONFLICT (cabinet_id, journal_id, seq) DO NOTHING");
    return sql;
}

QString insertRowsStatement(int rows)
{
    const QStringList names = columnNames();
    QStringList marks;
    for (const QString &n : names)
        marks << (n == QLatin1String("journal_id") ? QStringLiteral("COALESCE(?, '')") : QStringLiteral("?"));
    const QString tuple = QLatin1Char('(') + marks.join(QLatin1Char(',')) + QLatin1Char(')');
    QStringList tuples;
    for (int i = 0; i < rows; ++i)
        tuples << tuple;
    return QStringLiteral("INSERT INTO %1 (%2) VALUES %3 ON CONFLICT (cabinet_id, journal_id, seq) DO NOTHING "
                          "RETURNING cabinet_id, journal_id, seq")
        .arg(kTable, names.join(QLatin1Char(',')), tuples.join(QLatin1Char(',')));
}

namespace {

bool run(QSqlQuery &q, const QString &sql, QString *error)
{
    if (q.exec(sql))
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}

QString sqliteType(ColumnType t)
{
    switch (t) {
    case ColumnType::Integer: return QStringLiteral("INTEGER");
    case ColumnType::Real: return QStringLiteral("REAL");
    case ColumnType::Text: break;
    }
    return QStringLiteral("TEXT");
}

// Migration to version 1: the table, its indexes, the sync progress.
QStringList version1()
{
    QStringList defs;
    for (const Column &c : columns()) {
        if (c.since != 1)
            continue;
        if (c.name == QLatin1String("seq"))
            defs << QStringLiteral("seq INTEGER PRIMARY KEY");
        else
            defs << c.name + QLatin1Char(' ') + sqliteType(c.type);
    }
    return {
        QStringLiteral("CREATE TABLE dose_event (%1)").arg(defs.join(QStringLiteral(", "))),
        QStringLiteral("CREATE INDEX dose_event_ts ON dose_event (ts, cabinet_id, seq)"),
        QStringLiteral("CREATE INDEX dose_event_match ON dose_event (cabinet_id, kind, cell, number, seq)"),
        QStringLiteral("CREATE INDEX dose_event_number ON dose_event (number, seq)"),
        QStringLiteral("CREATE INDEX dose_event_uid ON dose_event (uid, kind)"),
        QStringLiteral("CREATE TABLE sync_progress (target TEXT PRIMARY KEY, seq INTEGER NOT NULL)"),
    };
}

// Migration to version 2: the file's identity, the columns of the counting
// rule and of read-outs' origin, the index the rule walks. Rows already in
// the file keep journal_id '' and NULL in the new columns.
QStringList version2()
{
    QStringList sql;
    for (const Column &c : columns()) {
        if (c.since != 2)
            continue;
        sql << QStringLiteral("ALTER TABLE dose_event ADD COLUMN %1 %2%3")
                   .arg(c.name, sqliteType(c.type),
                        c.name == QLatin1String("journal_id") ? QStringLiteral(" NOT NULL DEFAULT ''") : QString());
    }
    return sql + QStringList{
        QStringLiteral("CREATE TABLE journal_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
        QStringLiteral("INSERT INTO journal_meta VALUES ('journal_id', '%1')").arg(newJournalId()),
        QStringLiteral("DROP INDEX IF EXISTS dose_event_match"),
        // The counting rule: the next read-out or boundary of a dosimeter,
        // and the workers' read-outs and issues, each from its index alone.
        QStringLiteral("CREATE INDEX dose_event_cycle ON dose_event (cabinet_id, journal_id, number, seq, kind, erased) "
                       "WHERE %1").arg(cycleRowCondition()),
        QStringLiteral("CREATE INDEX dose_event_readout ON dose_event (uid, time_text, cabinet_id, journal_id, number, "
                       "kind, dose_gamma, dose_neutron, rate_gamma, rate_neutron) WHERE kind = 'readout'"),
        QStringLiteral("CREATE INDEX dose_event_issue ON dose_event (uid, ts, seq, time_text, kind, outcome, uname) "
                       "WHERE kind = 'issue'"),
    };
}

} // namespace

QString newJournalId()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
}

QString journalId(QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT value FROM journal_meta WHERE key = 'journal_id'")) || !q.next())
        return QString();
    return q.value(0).toString();
}

int schemaVersion(QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT max(version) FROM schema_version")) || !q.next())
        return 0;
    return q.value(0).toInt();
}

bool prepareSqlite(QSqlDatabase &db, QString *error)
{
    QSqlQuery q(db);
    // A file that is not a database fails here already.
    if (!run(q, QStringLiteral("PRAGMA journal_mode=WAL"), error))
        return false;
    if (!q.next() || q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        if (error)
            *error = QStringLiteral("WAL mode refused");
        return false;
    }
    if (!run(q, QStringLiteral("PRAGMA synchronous=FULL"), error)
        || !run(q, QStringLiteral("PRAGMA busy_timeout=2000"), error)
        || !run(q, QStringLiteral("PRAGMA cache_size=-256"), error)
        || !run(q, QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL, "
                                  "applied TEXT NOT NULL)"),
                error))
        return false;

    const QVector<QStringList> migrations{version1(), version2()};
    for (int v = schemaVersion(db); v < migrations.size(); ++v) {
        if (!db.transaction()) {
            if (error)
                *error = db.lastError().text();
            return false;
        }
        for (const QString &sql : migrations.at(v)) {
            if (!run(q, sql, error)) {
                db.rollback();
                return false;
            }
        }
        q.prepare(QStringLiteral("INSERT INTO schema_version VALUES (?, datetime('now'))"));
        q.addBindValue(v + 1);
        if (!q.exec() || !db.commit()) {
            if (error)
                *error = q.lastError().text();
            db.rollback();
            return false;
        }
    }
    // A file whose identity went missing gets a new one: its rows can then
    // never be taken for another file's.
    if (journalId(db).isEmpty()) {
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO journal_meta (key, value) VALUES ('journal_id', ?)"));
        q.addBindValue(newJournalId());
        if (!q.exec()) {
            if (error)
                *error = q.lastError().text();
            return false;
        }
    }
    return true;
}

} // namespace journal
