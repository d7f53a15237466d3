#include "journalquery.h"

#include "journalschema.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {


QString dose(const QString &alias)
{
    return QStringLiteral("(COALESCE(%1.dose_gamma, 0) + COALESCE(%1.dose_neutron, 0))").arg(alias);
}

} // namespace

JournalQuery::JournalQuery(const QSqlDatabase &db)
    : m_db(db)
{
}

QString JournalQuery::confirmedCondition(const QString &alias)
{
    return QStringLiteral(
               "%1.kind = 'readout' AND EXISTS (SELECT 1 FROM dose_event c WHERE c.cabinet_id = %1.cabinet_id "
               "AND c.kind = 'confirm' AND c.cell = %1.cell AND c.number = %1.number AND c.seq > %1.seq "
               "AND NOT EXISTS (SELECT 1 FROM dose_event r2 WHERE r2.cabinet_id = %1.cabinet_id "
               "AND r2.kind = 'readout' AND r2.cell = %1.cell AND r2.number = %1.number AND r2.seq > %1.seq "
               "AND r2.seq < c.seq))")
        .arg(alias);
}

JournalTable JournalQuery::run(const QString &sql, const QVariantList &binds) const
{
    JournalTable table;
    m_error.clear();
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        m_error = q.lastError().text();
        return table;
    }
    for (const QVariant &b : binds)
        q.addBindValue(b);
    if (!q.exec()) {
        m_error = q.lastError().text();
        return table;
    }
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i)
        table.columns << rec.fieldName(i);
    while (q.next()) {
        QVariantList row;
        for (int i = 0; i < rec.count(); ++i)
            row << (q.isNull(i) ? QVariant() : q.value(i));
        table.rows << row;
    }
    return table;
}

QString JournalQuery::where(const EventFilter &f, QVariantList *binds) const
{
    QStringList terms;
    if (f.fromUtc >= 0) {
        terms << QStringLiteral("ts >= ?");
        *binds << f.fromUtc;
    }
    if (f.toUtc >= 0) {
        terms << QStringLiteral("ts < ?");
        *binds << f.toUtc;
    }
    if (!f.uid.isEmpty()) {
        terms << QStringLiteral("uid = ?");
        *binds << f.uid.toUpper();
    }
    if (f.cell >= 0) {
        terms << QStringLiteral("cell = ?");
        *binds << f.cell;
    }
    if (!f.number.isEmpty()) {
        terms << QStringLiteral("number = ?");
        *binds << f.number;
    }
    if (!f.cabinetId.isEmpty()) {
        terms << QStringLiteral("cabinet_id = ?");
        *binds << f.cabinetId;
    }
    if (!f.kinds.isEmpty()) {
        QStringList marks;
        for (const QString &k : f.kinds) {
            marks << QStringLiteral("?");
            *binds << k;
        }
        terms << QStringLiteral("kind IN (%1)").arg(marks.join(QLatin1Char(',')));
    }
    return terms.isEmpty() ? QString() : QStringLiteral(" WHERE ") + terms.join(QStringLiteral(" AND "));
}

JournalTable JournalQuery::events(const EventFilter &f, bool withTexts) const
{
    QStringList names = journal::columnNames();
    if (!withTexts) {
        names.removeAll(QStringLiteral("request"));
        names.removeAll(QStringLiteral("reply"));
    }
    QVariantList binds;
    const QString order = f.newestFirst ? QStringLiteral("DESC") : QStringLiteral("ASC");
    QString sql = QStringLiteral("SELECT %1 FROM dose_event%2 ORDER BY ts %3, cabinet_id %3, seq %3")
                      .arg(names.join(QLatin1Char(',')), where(f, &binds), order);
    if (f.limit > 0) {
        sql += QStringLiteral(" LIMIT ? OFFSET ?");
        binds << f.limit << qMax(0, f.offset);
    }
    return run(sql, binds);
}

qint64 JournalQuery::countEvents(const EventFilter &f) const
{
    QVariantList binds;
    const JournalTable t = run(QStringLiteral("SELECT COUNT(*) FROM dose_event") + where(f, &binds), binds);
    return t.rows.isEmpty() ? -1 : t.rows.first().value(0).toLongLong();
}

JournalTable JournalQuery::workers(int year, const QString &annualDoseKey) const
{
    const QString y = QString::number(year);
    struct Worker {
        QString name;
        qint64 issues = 0, returns = 0;
        double dose = 0;
        QVariant maxGamma, maxNeutron, limit;
    };
    QMap<QString, Worker> byUid;

    const JournalTable issues = run(
        QStringLiteral("SELECT uid, uname FROM dose_event WHERE kind = 'issue' AND COALESCE(outcome, '') = '' AND uid <> '' "
                       "AND substr(time_text, 1, 4) = ? ORDER BY ts, seq"),
        {y});
    if (!m_error.isEmpty())
        return {};
    for (const QVariantList &row : issues.rows) {
        Worker &w = byUid[row.value(0).toString()];
        ++w.issues;
        w.name = row.value(1).toString();
    }

    const JournalTable returns = run(
        QStringLiteral("SELECT r.uid, COUNT(*), SUM(%1), MAX(r.rate_gamma), MAX(r.rate_neutron) FROM dose_event r "
                       "WHERE %2 AND r.uid <> '' AND substr(r.time_text, 1, 4) = ? GROUP BY r.uid")
            .arg(dose(QStringLiteral("r")), confirmedCondition()),
        {y});
    if (!m_error.isEmpty())
        return {};
    for (const QVariantList &row : returns.rows) {
        Worker &w = byUid[row.value(0).toString()];
        w.returns = row.value(1).toLongLong();
        w.dose = row.value(2).toDouble();
        w.maxGamma = row.value(3);
        w.maxNeutron = row.value(4);
    }

    JournalTable table;
    table.columns = QStringList{QStringLiteral("uid"), QStringLiteral("name"), QStringLiteral("issues"),
                                QStringLiteral("returns"), QStringLiteral("dose"), QStringLiteral("max_rate_gamma"),
                                QStringLiteral("max_rate_neutron")};
    static const QStringList keys{QStringLiteral("user_id"), QStringLiteral("tab_num"), QStringLiteral("card_id"),
                                  QStringLiteral("code")};
    const bool limits = keys.contains(annualDoseKey) && m_db.tables().contains(QStringLiteral("users"));
    if (limits) {
        table.columns << QStringLiteral("dose_limit") << QStringLiteral("share");
        // The identifier column is fixed to one of four names above.
        const QString sql = QStringLiteral("SELECT dose_year FROM users WHERE upper(CAST(%1 AS text)) = ?")
                                .arg(annualDoseKey);
        for (auto it = byUid.begin(); it != byUid.end(); ++it) {
            const JournalTable u = run(sql, {it.key()});
            if (!u.rows.isEmpty())
                it->limit = u.rows.first().value(0);
        }
        m_error.clear();
    }
    for (auto it = byUid.cbegin(); it != byUid.cend(); ++it) {
        QVariantList row{it.key(), it->name, it->issues, it->returns, it->dose, it->maxGamma, it->maxNeutron};
        if (limits) {
            const double limit = it->limit.toDouble();
            row << it->limit << (it->limit.isValid() && limit > 0 ? QVariant(it->dose / limit) : QVariant());
        }
        table.rows << row;
    }
    return table;
}

JournalTable JournalQuery::workerDoses(const QString &uid) const
{
    return run(QStringLiteral("SELECT r.time_text, r.ts, r.cabinet_id, r.cell, r.number, r.dose_gamma, "
                              "r.dose_neutron, %1 AS dose, r.rate_gamma, r.rate_neutron FROM dose_event r "
                              "WHERE r.uid = ? AND %2 ORDER BY r.ts, r.seq")
                   .arg(dose(QStringLiteral("r")), confirmedCondition()),
               {uid.toUpper()});
}

JournalTable JournalQuery::dosimeterLife(const QString &number) const
{
    EventFilter f;
    f.number = number;
    f.limit = 0;
    return events(f);
}

JournalTable JournalQuery::unconfirmed() const
{
    return run(QStringLiteral("SELECT r.time_text, r.ts, r.cabinet_id, r.seq, r.cell, r.number, r.uid, "
                              "r.work_order, r.dose_gamma, r.dose_neutron, %1 AS dose, r.rate_gamma, "
                              "r.rate_neutron FROM dose_event r WHERE r.kind = 'readout' AND NOT (%2) "
                              "ORDER BY r.ts, r.seq")
                   .arg(dose(QStringLiteral("r")), confirmedCondition()),
               {});
}

JournalTable JournalQuery::lastHistory(const QString &number) const
{
    return run(QStringLiteral("SELECT time_text, ts, cabinet_id, cell, number, history FROM dose_event "
                              "WHERE kind = 'history' AND number = ? AND history <> '' "
                              "ORDER BY ts DESC, seq DESC LIMIT 1"),
               {number});
}

QJsonArray tableToJsonArray(const JournalTable &table)
{
    QJsonArray array;
    for (const QVariantList &row : table.rows) {
        QJsonObject o;
        for (int i = 0; i < table.columns.size(); ++i)
            o.insert(table.columns.at(i), QJsonValue::fromVariant(row.value(i)));
        array.append(o);
    }
    return array;
}

QByteArray tableToJson(const JournalTable &table)
{
    return QJsonDocument(tableToJsonArray(table)).toJson(QJsonDocument::Indented);
}

QString tableCellText(const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return QString();
    if (v.type() == QVariant::Double)
        return QString::number(v.toDouble(), 'g', 12);
    return v.toString();
}

namespace {

QString csvField(QString text, bool guard)
{
    static const QString starts = QStringLiteral("=+-@\t\r");
    if (guard && !text.isEmpty() && starts.contains(text.at(0)))
        text.prepend(QLatin1Char('\''));
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    return QLatin1Char('"') + text.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

} // namespace

QByteArray tableToCsv(const JournalTable &table, bool guardFormulas)
{
    QStringList lines;
    QStringList header;
    for (const QString &c : table.columns)
        header << csvField(c, false);
    lines << header.join(QLatin1Char(','));
    for (const QVariantList &row : table.rows) {
        QStringList fields;
        for (int i = 0; i < table.columns.size(); ++i) {
            const QVariant v = row.value(i);
            // Only texts can hold a formula; a negative number is a number.
            const bool text = v.type() == QVariant::String;
            fields << csvField(tableCellText(v), guardFormulas && text);
        }
        lines << fields.join(QLatin1Char(','));
    }
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

bool parseFilterTime(const QString &text, bool end, qint64 *utc)
{
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (date.isValid()) {
        *utc = QDateTime(end ? date.addDays(1) : date, QTime(0, 0)).toSecsSinceEpoch();
        return true;
    }
    const QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid())
        return false;
    *utc = t.toSecsSinceEpoch() + (end ? 1 : 0);
    return true;
}

JournalTable dosimeterMonths(const QSqlDatabase &db, const QString &number, QString *error)
{
    // Journals written before the erasure columns existed: a confirm, an
    // unblock or an issue is where a dose was erased.
    const QSqlRecord columns = db.record(QStringLiteral("dose_event"));
    const bool hasErased = columns.contains(QStringLiteral("erased"));
    const QString legacyBoundary = QStringLiteral("kind IN ('confirm', 'cell_unblock', 'issue')");
    const QString boundary = hasErased
        ? QStringLiteral("(erased = 1 OR (erased IS NULL AND %1))").arg(legacyBoundary)
        : legacyBoundary;
    const QString lineage = columns.contains(QStringLiteral("journal_id"))
        ? QStringLiteral("cabinet_id, journal_id")
        : QStringLiteral("cabinet_id");
    // A read-out counts when the next read-out-or-boundary row of its journal
    // is not a read-out. Rows outside that order (an issue that erased
    // nothing) sort after it in the window and have no kind there, so the
    // last row of the order sees none after it.
    const QString sql = QStringLiteral(
        "SELECT month, SUM(issue) AS issues, SUM(readout) AS readouts, "
        "SUM(CASE WHEN readout = 1 AND (next_kind IS NULL OR next_kind <> 'readout') THEN dose ELSE 0 END) AS dose "
        "FROM (SELECT substr(time_text, 1, 7) AS month, "
        "CASE WHEN kind = 'issue' AND COALESCE(outcome, '') = '' THEN 1 ELSE 0 END AS issue, "
        "CASE WHEN kind = 'readout' THEN 1 ELSE 0 END AS readout, "
        "COALESCE(dose_gamma, 0) + COALESCE(dose_neutron, 0) AS dose, "
        "LEAD(CASE WHEN kind = 'readout' OR %1 THEN kind END) OVER (PARTITION BY %2 ORDER BY "
        "CASE WHEN kind = 'readout' OR %1 THEN 0 ELSE 1 END, seq) AS next_kind "
        "FROM dose_event WHERE number = ? AND (kind IN ('readout', 'issue') OR %1)) e "
        "GROUP BY month ORDER BY month")
                            .arg(boundary, lineage);
    JournalTable table;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        *error = q.lastError().text();
        return table;
    }
    q.addBindValue(number);
    if (!q.exec()) {
        *error = q.lastError().text();
        return table;
    }
    table.columns = QStringList{QStringLiteral("month"), QStringLiteral("issues"), QStringLiteral("readouts"),
                                QStringLiteral("dose")};
    while (q.next())
        table.rows << QVariantList{q.value(0), q.value(1).toLongLong(), q.value(2).toLongLong(), q.value(3).toDouble()};
    error->clear();
    return table;
}
