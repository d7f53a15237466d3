#pragma once

// Questions asked of a journal: the events with filters and paging, the
// workers of a year against their limits, one worker's counted doses, one
// dosimeter's life, the read-outs not yet erased, the last history read of a
// dosimeter. The same SQL runs over the cabinet's SQLite file (QSQLITE) and
// the site's PostgreSQL (QPSQL), whose table has the same columns.
//
// Which read-outs count is the rule of countedReadouts(), the same as the
// site's view dose_counted (db/journal.sql): the last read-out of a dosimeter
// before its dose was erased, and the last one not erased yet (pending).

#include <QJsonArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVector>

// A result: column names and rows of values (NULL is an invalid QVariant).
struct JournalTable {
    QStringList columns;
    QVector<QVariantList> rows;

    int column(const QString &name) const { return columns.indexOf(name); }
    QVariant value(int row, const QString &name) const { return rows.value(row).value(column(name)); }
};

struct EventFilter {
    qint64 fromUtc = -1;       // ts >= fromUtc when >= 0
    qint64 toUtc = -1;         // ts < toUtc when >= 0
    QString uid;               // worker identifier, compared upper-cased
    int cell = -1;
    QString number;            // dosimeter number
    QString cabinetId;
    QStringList kinds;         // any of these kinds; empty: all
    int limit = 1000;          // page size; <= 0: no limit
    int offset = 0;
    bool newestFirst = false;
};

class JournalQuery
{
public:
    explicit JournalQuery(const QSqlDatabase &db);

    // Columns of events(): every column but the request and reply texts
    // unless withTexts.
    JournalTable events(const EventFilter &filter, bool withTexts = false) const;
    // How many events the filter matches, without paging.
    qint64 countEvents(const EventFilter &filter) const;

    // Per worker identifier with activity in the year (one grouped query):
    // uid, name (the latest issued), issues, returns (counted read-outs,
    // pending ones included), dose (gamma + neutron), max_rate_gamma,
    // max_rate_neutron; with annualDoseKey naming a users column and a users
    // table present also dose_limit (the smallest, should the identifier
    // match several users) and share (dose / limit). Ordered by uid.
    JournalTable workers(int year, const QString &annualDoseKey = QString()) const;

    // One worker's counted read-outs, oldest first: time_text, ts,
    // cabinet_id, cell, number, dose_gamma, dose_neutron, dose, rate_gamma,
    // rate_neutron, source, pending (1: not erased yet).
    JournalTable workerDoses(const QString &uid) const;

    // Every event of a dosimeter number, oldest first (no request and reply texts).
    JournalTable dosimeterLife(const QString &number) const;

    // Read-outs not yet erased (pending): the doses still on a dosimeter,
    // oldest first; they count toward the annual dose already.
    JournalTable unconfirmed() const;

    // The latest history read of a dosimeter (one row or none).
    JournalTable lastHistory(const QString &number) const;

    // One dosimeter per month of its journal time (time_text, the writing
    // cabinet's local time), oldest first: month ("2026-03"), issues,
    // readouts, and dose (gamma + neutron of the read-outs that count).
    JournalTable dosimeterMonths(const QString &number) const;

    // The error of the last question; empty when it worked.
    QString lastError() const { return m_error; }

    // The counting rule: the counted read-outs among the rows of dose_event r
    // that meet the condition, as a derived table with the columns of the
    // site's view dose_counted (cabinet_id, journal_id, seq, ts, time_text,
    // cell, port, number, uid, work_order, dosimeter_type, source,
    // dose_gamma, rate_gamma, rate_gamma_time, dose_neutron, rate_neutron,
    // rate_neutron_time, dose, pending).
    static QString countedReadouts(const QString &condition = QStringLiteral("1 = 1"));

private:
    JournalTable run(const QString &sql, const QVariantList &binds) const;
    QString where(const EventFilter &f, QVariantList *binds) const;

    QSqlDatabase m_db;
    mutable QString m_error;
};

// A table as a JSON array of objects (numbers as numbers, NULL as null).
QJsonArray tableToJsonArray(const JournalTable &table);
QByteArray tableToJson(const JournalTable &table);

// A table as CSV: a header line, CRLF line ends, fields with a comma, quote or
// line feed quoted. guardFormulas puts a ' before a text field starting with
// = + - @ (or a tab or CR), so that a spreadsheet does not run it as a formula;
// numbers stay as they are.
QByteArray tableToCsv(const JournalTable &table, bool guardFormulas = false);

// A value as a report shows it: "" for NULL, doubles without trailing noise.
QString tableCellText(const QVariant &value);

// A bound of a time filter: "2026-01-02" (the whole day), "2026-01-02T10:00"
// (that minute) or "2026-01-02T10:00:30" (that second), a blank allowed for
// the T, in the local zone unless the text ends in "Z" or an offset such as
// "+03:00". A start is the first second of what the text names; an end
// (end = true) is the second after its last, so a range includes both ends
// at the precision given. False when the text is none of these.
bool parseFilterTime(const QString &text, bool end, qint64 *utcSeconds);
