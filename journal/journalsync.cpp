#include "journalsync.h"

#include "journalschema.h"
#include "siteschema.h"

#include <QDate>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSet>
#include <QSqlRecord>

#include <atomic>

const QString JournalSync::kTarget = QStringLiteral("postgresql");

namespace {

std::atomic<int> g_syncs{0};

void log(const QString &line)
{
    qDebug().noquote() << line;
}

} // namespace

bool JournalSync::isAnnualDoseKey(const QString &column)
{
    static const QStringList keys{QStringLiteral("user_id"), QStringLiteral("tab_num"), QStringLiteral("card_id"),
                                  QStringLiteral("code")};
    return keys.contains(column);
}

JournalSync::JournalSync(const Options &options)
    : m_options(options)
{
    const int n = ++g_syncs;
    m_liteName = QStringLiteral("journal-sync-lite-%1").arg(n);
    m_pgName = QStringLiteral("journal-sync-pg-%1").arg(n);
    m_thread = std::thread([this]() { run(); });
}

JournalSync::~JournalSync()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

void JournalSync::wake()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    m_cv.notify_all();
}

qint64 JournalSync::acknowledged(const QString &journalPath)
{
    const QString name = QStringLiteral("journal-progress-%1").arg(++g_syncs);
    qint64 seq = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(journalPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT seq FROM sync_progress WHERE target = ?"));
            q.addBindValue(kTarget);
            if (q.exec() && q.next())
                seq = q.value(0).toLongLong();
        }
    }
    closeConnection(name);
    return seq;
}

void JournalSync::closeAll()
{
    closeConnection(m_pgName);
    closeConnection(m_liteName);
    m_pgReady = false;
}

void JournalSync::connectPostgres(QString *error)
{
    QSqlDatabase pg = openPostgres(m_pgName, m_options.pg, error);
    if (!error->isEmpty())
        return;
    // A failure here is logged and the copy goes on if the table takes the
    // rows as they are (a user that may insert but not change the schema).
    QString schemaError;
    if (siteschema::apply(pg, siteschema::builtInScript(), &schemaError)) {
        if (!m_schemaError.isEmpty())
            log(QStringLiteral("синхронизация журнала: схема db/journal.sql применена"));
        m_schemaError.clear();
    } else if (schemaError != m_schemaError) {
        log(QStringLiteral("синхронизация журнала: схема db/journal.sql не применена: ") + schemaError);
        m_schemaError = schemaError;
    }
    m_pgReady = true;
}

namespace {

bool isNumber(const QVariant &v)
{
    switch (v.type()) {
    case QVariant::Int:
    case QVariant::UInt:
    case QVariant::LongLong:
    case QVariant::ULongLong:
    case QVariant::Double:
        return true;
    default:
        return false;
    }
}

// Whether a row read back from the site holds what the journal holds.
bool sameContent(const JournalRow &journal, const JournalRow &site)
{
    for (const QString &name : journal::columnNames()) {
        const QVariant a = journal.value(name), b = site.value(name);
        const bool nullA = !a.isValid() || a.isNull(), nullB = !b.isValid() || b.isNull();
        if (nullA || nullB) {
            if (nullA != nullB)
                return false;
            continue;
        }
        if (isNumber(a) || isNumber(b)) {
            if (a.toDouble() != b.toDouble())
                return false;
        } else if (a.toString() != b.toString()) {
            return false;
        }
    }
    return true;
}

QString keyText(const JournalRow &row)
{
    return QStringLiteral("%1/%2/%3")
        .arg(row.value(QStringLiteral("cabinet_id")).toString(), row.value(QStringLiteral("journal_id")).toString(),
             row.value(QStringLiteral("seq")).toString());
}

} // namespace

bool JournalSync::keepConflict(const JournalRow &row, QString *error)
{
    QSqlDatabase pg = QSqlDatabase::database(m_pgName, false);
    const QStringList names = journal::columnNames();
    // The row under that key in a table, and any kept before.
    auto held = [&](const QString &table, QVector<JournalRow> *rows) {
        QSqlQuery q(pg);
        if (!q.prepare(QStringLiteral("SELECT %1 FROM %2 WHERE cabinet_id = ? AND journal_id = ? AND seq = ?")
                           .arg(names.join(QLatin1Char(',')), table))) {
            *error = sqlErrorText(q.lastError());
            return false;
        }
        q.addBindValue(row.value(QStringLiteral("cabinet_id")));
        q.addBindValue(row.value(QStringLiteral("journal_id")));
        q.addBindValue(row.value(QStringLiteral("seq")));
        if (!q.exec()) {
            *error = sqlErrorText(q.lastError());
            return false;
        }
        while (q.next()) {
            JournalRow r;
            for (int i = 0; i < names.size(); ++i)
                r.insert(names.at(i), q.value(i));
            *rows << r;
        }
        return true;
    };
    QVector<JournalRow> site, kept;
    if (!held(journal::kTable, &site) || !held(QStringLiteral("dose_event_conflict"), &kept))
        return false;
    for (const JournalRow &r : site + kept) {
        if (sameContent(row, r))
            return true;   // a replay
    }
    QSqlQuery insert(pg);
    if (!insert.prepare(journal::insertStatement(false, QStringLiteral("dose_event_conflict")))) {
        *error = sqlErrorText(insert.lastError());
        return false;
    }
    for (const QString &n : names)
        insert.bindValue(QLatin1Char(':') + n, row.value(n));
    if (!insert.exec()) {
        *error = sqlErrorText(insert.lastError());
        return false;
    }
    log(QStringLiteral("синхронизация журнала: КОНФЛИКТ строка %1 (%2) уже есть в базе с другим содержимым; "
                       "обе сохранены, новая в dose_event_conflict")
            .arg(keyText(row), row.value(QStringLiteral("kind")).toString()));
    return true;
}

namespace {

// A PostgreSQL text[] literal: every element double-quoted, " and \ escaped.
QString textArray(const QStringList &items)
{
    QStringList quoted;
    for (QString item : items) {
        item.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
        quoted << QLatin1Char('"') + item + QLatin1Char('"');
    }
    return QLatin1Char('{') + quoted.join(QLatin1Char(',')) + QLatin1Char('}');
}

} // namespace

void JournalSync::recompute(const QStringList &uids)
{
    QSqlDatabase pg = QSqlDatabase::database(m_pgName, false);
    QSqlQuery q(pg);
    QString error;
    // Inside a savepoint: a failure undoes only the recompute.
    if (!q.exec(QStringLiteral("SAVEPOINT dose_recompute"))) {
        error = sqlErrorText(q.lastError());
    } else if (!q.prepare(QStringLiteral("SELECT count(*) FROM dose_journal_recompute_many(?, CAST(? AS text[]), ?)"))) {
        error = sqlErrorText(q.lastError());
    } else {
        q.addBindValue(m_options.annualDoseKey);
        q.addBindValue(textArray(uids));
        q.addBindValue(QDate::currentDate().year());
        if (!q.exec())
            error = sqlErrorText(q.lastError());
    }
    q.finish();
    QSqlQuery end(pg);
    if (error.isEmpty() && !end.exec(QStringLiteral("RELEASE SAVEPOINT dose_recompute")))
        error = sqlErrorText(end.lastError());
    if (!error.isEmpty()) {
        end.exec(QStringLiteral("ROLLBACK TO SAVEPOINT dose_recompute"));
        if (error != m_recomputeError)
            log(QStringLiteral("синхронизация журнала: годовая доза не пересчитана (строки копируются дальше): ")
                + error);
    } else if (!m_recomputeError.isEmpty()) {
        log(QStringLiteral("синхронизация журнала: годовая доза снова пересчитывается"));
    }
    m_recomputeError = error;
}

bool JournalSync::shipBatch(bool *more, QString *error)
{
    *more = false;
    QSqlDatabase lite = QSqlDatabase::database(m_liteName, false);
    QSqlDatabase pg = QSqlDatabase::database(m_pgName, false);
    qint64 from = 0;
    {
        QSqlQuery q(lite);
        if (!q.prepare(QStringLiteral("SELECT seq FROM sync_progress WHERE target = ?"))) {
            *error = QStringLiteral("journal: ") + sqlErrorText(q.lastError());
            return false;
        }
        q.addBindValue(kTarget);
        if (!q.exec()) {
            *error = QStringLiteral("journal: ") + sqlErrorText(q.lastError());
            return false;
        }
        if (q.next())
            from = q.value(0).toLongLong();
    }

    const QStringList names = journal::columnNames();
    QVector<JournalRow> rows;
    {
        QSqlQuery q(lite);
        if (!q.prepare(QStringLiteral("SELECT %1 FROM dose_event WHERE seq > ? ORDER BY seq LIMIT ?")
                           .arg(names.join(QLatin1Char(','))))) {
            // The journal file may not hold the table yet.
            return true;
        }
        q.addBindValue(from);
        q.addBindValue(m_options.batchRows);
        if (!q.exec()) {
            *error = QStringLiteral("journal: ") + sqlErrorText(q.lastError());
            return false;
        }
        while (q.next()) {
            JournalRow row;
            for (int i = 0; i < names.size(); ++i)
                row.insert(names.at(i), q.value(i));
            rows << row;
        }
    }
    if (rows.isEmpty())
        return true;

    if (!pg.transaction()) {
        *error = sqlErrorText(pg.lastError());
        return false;
    }
    auto fail = [&](const QSqlQuery &q) {
        *error = sqlErrorText(q.lastError());
        pg.rollback();
        return false;
    };
    // A hundred rows a statement; the keys returned are the rows that were
    // new, the others the site held already (a replay, or a conflict).
    const int chunk = 100;
    QSet<QString> inserted;
    auto keyOf = [](const QVariant &cabinet, const QVariant &journalId, const QVariant &seq) {
        return cabinet.toString() + QLatin1Char('\x1f') + journalId.toString() + QLatin1Char('\x1f') + seq.toString();
    };
    QSqlQuery insert(pg);
    int prepared = 0;
    for (int from = 0; from < rows.size(); from += chunk) {
        const int n = qMin(chunk, rows.size() - from);
        if (n != prepared) {
            if (!insert.prepare(journal::insertRowsStatement(n)))
                return fail(insert);
            prepared = n;
        }
        for (int i = from; i < from + n; ++i) {
            for (const QString &name : names)
                insert.addBindValue(rows.at(i).value(name));
        }
        if (!insert.exec())
            return fail(insert);
        while (insert.next())
            inserted << keyOf(insert.value(0), insert.value(1), insert.value(2));
    }
    insert.finish();
    QVector<JournalRow> held;
    QStringList uids;
    for (const JournalRow &row : rows) {
        if (!inserted.contains(keyOf(row.value(QStringLiteral("cabinet_id")),
                                     row.value(QStringLiteral("journal_id")), row.value(QStringLiteral("seq")))))
            held << row;
        const QString uid = row.value(QStringLiteral("uid")).toString();
        if (row.value(QStringLiteral("kind")).toString() == journal::kind::Readout && !uid.isEmpty()
            && !uids.contains(uid))
            uids << uid;
    }
    for (const JournalRow &row : held) {
        if (!keepConflict(row, error)) {
            pg.rollback();
            return false;
        }
    }
    if (isAnnualDoseKey(m_options.annualDoseKey) && !uids.isEmpty())
        recompute(uids);
    if (!pg.commit()) {
        *error = sqlErrorText(pg.lastError());
        pg.rollback();
        return false;
    }

    // Acknowledged: remember it. Should this fail, the batch is shipped
    // again later and ignored there.
    const qint64 last = rows.last().value(QStringLiteral("seq")).toLongLong();
    QSqlQuery progress(lite);
    const bool ready = progress.prepare(QStringLiteral("INSERT INTO sync_progress (target, seq) VALUES (?, ?) "
                                                       "ON CONFLICT (target) DO UPDATE SET seq = excluded.seq"));
    progress.addBindValue(kTarget);
    progress.addBindValue(last);
    if (!ready || !progress.exec())
        log(QStringLiteral("синхронизация журнала: отметка не записана: ") + sqlErrorText(progress.lastError()));
    *more = rows.size() == m_options.batchRows;
    return true;
}

void JournalSync::run()
{
    int backoffMs = 0;
    bool failing = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const int waitMs = backoffMs > 0 ? backoffMs : m_options.idleMs;
            m_cv.wait_for(lock, std::chrono::milliseconds(waitMs),
                          [this, backoffMs]() { return m_stop || (m_woken && backoffMs == 0); });
            if (m_stop)
                break;
            m_woken = false;
        }
        if (!QFileInfo::exists(m_options.journalPath))
            continue;

        QString error;
        bool ok = true;
        if (!QSqlDatabase::contains(m_liteName)) {
            QSqlDatabase lite = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_liteName);
            lite.setDatabaseName(m_options.journalPath);
            lite.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
            if (!lite.open()) {
                error = QStringLiteral("journal: ") + sqlErrorText(lite.lastError());
                ok = false;
            }
        }
        if (ok && !m_pgReady) {
            connectPostgres(&error);
            ok = error.isEmpty();
        }
        bool more = ok;
        while (ok && more) {
            ok = shipBatch(&more, &error);
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                break;
        }
        // The file is opened afresh each round: a corrupt journal moved
        // aside is followed to the new one.
        closeConnection(m_liteName);
        if (ok) {
            if (failing)
                log(QStringLiteral("синхронизация журнала с PostgreSQL восстановлена"));
            failing = false;
            backoffMs = 0;
            continue;
        }
        closeAll();
        if (!failing)
            log(QStringLiteral("синхронизация журнала с PostgreSQL не удалась: ") + error.simplified());
        failing = true;
        backoffMs = backoffMs == 0 ? 1000 : qMin(backoffMs * 2, 60000);
    }
    closeAll();
}
