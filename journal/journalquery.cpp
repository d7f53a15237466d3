#include "journalquery.h"

#include "journalschema.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

JournalQuery::JournalQuery(const QSqlDatabase &db)
    : m_db(db)
{
    // A reader's connection is often opened for one question: pages read
    // through a memory map need no system call each, and the rule's index
    // searches read many.
    if (m_db.driverName() == QLatin1String("QSQLITE")) {
        QSqlQuery q(m_db);
        q.exec(QStringLiteral("PRAGMA mmap_size = 268435456"));
    }
}

QString JournalQuery::countedReadouts(const QString &condition)
{
    // A read-out counts unless the next row of its dosimeter (same cabinet,
    // journal file, number) that is a read-out or a boundary
    // (journal::cycleRowCondition) is a read-out; with no such row it is
    // pending. One search of the index dose_event_cycle per read-out.
    static const QString columns = QStringLiteral(
        "cabinet_id, journal_id, seq, ts, time_text, cell, port, number, uid, work_order, dosimeter_type, source, "
        "dose_gamma, rate_gamma, rate_gamma_time, dose_neutron, rate_neutron, rate_neutron_time");
    QString qualified = columns;
    qualified.replace(QStringLiteral(", "), QStringLiteral(", r.")).prepend(QStringLiteral("r."));
    QString outer = columns;
    outer.replace(QStringLiteral(", "), QStringLiteral(", x.")).prepend(QStringLiteral("x."));
    return QStringLiteral(
               "(SELECT %1, COALESCE(x.dose_gamma, 0) + COALESCE(x.dose_neutron, 0) AS dose, "
               "CASE WHEN x.next_kind IS NULL THEN 1 ELSE 0 END AS pending FROM ("
               "SELECT %2, (SELECT e.kind FROM dose_event e WHERE e.cabinet_id = r.cabinet_id "
               "AND e.journal_id = r.journal_id AND e.number = r.number AND e.seq > r.seq AND %3 "
               "ORDER BY e.seq LIMIT 1) AS next_kind "
               "FROM dose_event r WHERE r.kind = 'readout' AND (%4)) x "
               "WHERE COALESCE(x.next_kind, '') <> 'readout')")
        .arg(outer, qualified, journal::cycleRowCondition(QStringLiteral("e")), condition);
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
    static const QStringList keys{QStringLiteral("user_id"), QStringLiteral("tab_num"), QStringLiteral("card_id"),
                                  QStringLiteral("code")};
    const bool limits = keys.contains(annualDoseKey) && m_db.tables().contains(QStringLiteral("users"));
    // Read-outs and issues are summed per worker apart (each from its own
    // index) and joined by worker; then the name of each worker's latest
    // issue of the year, one index search a worker.
    const QString sql = QStringLiteral(
        "SELECT g.uid, COALESCE((SELECT n.uname FROM dose_event n WHERE n.kind = 'issue' AND n.uid = g.uid "
        "AND n.ts = g.latest AND COALESCE(n.outcome, '') = '' AND substr(n.time_text, 1, 4) = ? "
        "ORDER BY n.seq DESC LIMIT 1), '') AS name, g.issues, g.returns, g.dose, g.max_rate_gamma, "
        "g.max_rate_neutron%1 FROM ("
        "SELECT w.uid, MAX(w.latest) AS latest, SUM(w.issues) AS issues, SUM(w.returns) AS returns, "
        "SUM(w.dose) AS dose, MAX(w.max_rate_gamma) AS max_rate_gamma, MAX(w.max_rate_neutron) AS max_rate_neutron "
        "FROM ("
        "SELECT c.uid, NULL AS latest, 0 AS issues, COUNT(*) AS returns, SUM(c.dose) AS dose, "
        "MAX(c.rate_gamma) AS max_rate_gamma, MAX(c.rate_neutron) AS max_rate_neutron FROM %2 c GROUP BY c.uid "
        "UNION ALL "
        "SELECT i.uid, MAX(i.ts), COUNT(*), 0, 0, NULL, NULL FROM dose_event i "
        "WHERE i.kind = 'issue' AND COALESCE(i.outcome, '') = '' AND i.uid <> '' AND substr(i.time_text, 1, 4) = ? "
        "GROUP BY i.uid"
        ") w GROUP BY w.uid) g%3 ORDER BY g.uid")
        .arg(limits ? QStringLiteral(", u.dose_limit") : QString(),
             countedReadouts(QStringLiteral("r.uid <> '' AND substr(r.time_text, 1, 4) = ?")),
             // The identifier column is fixed to one of four names above;
             // should it match several users, the smallest limit.
             limits ? QStringLiteral(" LEFT JOIN (SELECT upper(CAST(%1 AS TEXT)) AS uid, MIN(dose_year) AS dose_limit "
                                     "FROM users GROUP BY upper(CAST(%1 AS TEXT))) u ON u.uid = g.uid")
                          .arg(annualDoseKey)
                    : QString());
    JournalTable table = run(sql, {y, y, y});
    if (!m_error.isEmpty() || !limits)
        return table;
    table.columns << QStringLiteral("share");
    const int dose = table.column(QStringLiteral("dose")), limit = table.column(QStringLiteral("dose_limit"));
    for (QVariantList &row : table.rows) {
        const QVariant l = row.value(limit);
        row << (l.isValid() && !l.isNull() && l.toDouble() > 0 ? QVariant(row.value(dose).toDouble() / l.toDouble())
                                                               : QVariant());
    }
    return table;
}

JournalTable JournalQuery::workerDoses(const QString &uid) const
{
    return run(QStringLiteral("SELECT c.time_text, c.ts, c.cabinet_id, c.cell, c.number, c.dose_gamma, c.dose_neutron, "
                              "c.dose, c.rate_gamma, c.rate_neutron, c.source, c.pending FROM %1 c ORDER BY c.ts, c.seq")
                   .arg(countedReadouts(QStringLiteral("r.uid = ?"))),
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
    return run(QStringLiteral("SELECT c.time_text, c.ts, c.cabinet_id, c.seq, c.cell, c.number, c.uid, c.work_order, "
                              "c.dose_gamma, c.dose_neutron, c.dose, c.rate_gamma, c.rate_neutron, c.source FROM %1 c "
                              "WHERE c.pending = 1 ORDER BY c.ts, c.seq")
                   .arg(countedReadouts()),
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

bool parseFilterTime(const QString &text, bool end, qint64 *utcSeconds)
{
    static const QRegularExpression re(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})(?:[T ](\\d{2}):(\\d{2})(?::(\\d{2}))?(Z|[+-]\\d{2}:?\\d{2})?)?$"));
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (!date.isValid())
        return false;
    if (m.captured(4).isEmpty()) {
        const QDateTime day(end ? date.addDays(1) : date, QTime(0, 0), Qt::LocalTime);
        *utcSeconds = day.toSecsSinceEpoch();
        return true;
    }
    const bool withSeconds = !m.captured(6).isEmpty();
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), withSeconds ? m.captured(6).toInt() : 0);
    if (!time.isValid())
        return false;
    QDateTime moment;
    const QString zone = m.captured(7);
    if (zone.isEmpty()) {
        moment = QDateTime(date, time, Qt::LocalTime);
    } else if (zone == QLatin1String("Z")) {
        moment = QDateTime(date, time, Qt::UTC);
    } else {
        const QString digits = QString(zone).remove(QLatin1Char(':'));
        const int hours = digits.mid(1, 2).toInt(), minutes = digits.mid(3, 2).toInt();
        if (hours > 14 || minutes > 59)
            return false;
        const int offset = (hours * 3600 + minutes * 60) * (zone.startsWith(QLatin1Char('-')) ? -1 : 1);
        moment = QDateTime(date, time, Qt::OffsetFromUTC, offset);
    }
    if (!moment.isValid())
        return false;
    *utcSeconds = moment.toSecsSinceEpoch() + (end ? (withSeconds ? 1 : 60) : 0);
    return true;
}

JournalTable JournalQuery::dosimeterMonths(const QString &number) const
{
    // Issues and read-outs are counted as they happened; the dose is that of
    // the read-outs the annual dose counts, by the same rule.
    return run(QStringLiteral("SELECT m.month, SUM(m.issues) AS issues, SUM(m.readouts) AS readouts, "
                              "SUM(m.dose) AS dose FROM ("
                              "SELECT substr(time_text, 1, 7) AS month, "
                              "CASE WHEN kind = 'issue' AND COALESCE(outcome, '') = '' THEN 1 ELSE 0 END AS issues, "
                              "CASE WHEN kind = 'readout' THEN 1 ELSE 0 END AS readouts, 0.0 AS dose "
                              "FROM dose_event WHERE number = ? AND kind IN ('issue', 'readout') "
                              "UNION ALL SELECT substr(c.time_text, 1, 7), 0, 0, c.dose FROM %1 c"
                              ") m GROUP BY m.month ORDER BY m.month")
                   .arg(countedReadouts(QStringLiteral("r.number = ?"))),
               {number, number});
}
