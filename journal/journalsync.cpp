#include "journalsync.h"

#include "journalschema.h"

#include <QDate>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
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

static void initJournalResource()
{
    Q_INIT_RESOURCE(journal);
}

bool JournalSync::isAnnualDoseKey(const QString &column)
{
    static const QStringList keys{QStringLiteral("user_id"), QStringLiteral("tab_num"), QStringLiteral("card_id"),
                                  QStringLiteral("code")};
    return keys.contains(column);
}

JournalSync::JournalSync(const Options &options)
    : m_options(options)
{
    initJournalResource();
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

bool JournalSync::ensureSchema(QString *error)
{
    QSqlDatabase pg = QSqlDatabase::database(m_pgName, false);
    QSqlQuery q(pg);
    if (!q.exec(QStringLiteral("SELECT to_regclass('dose_event') IS NOT NULL")) || !q.next()) {
        *error = q.lastError().text();
        return false;
    }
    if (q.value(0).toBool())
        return true;
    QFile f(QStringLiteral(":/journal/journal.sql"));
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("no built-in journal.sql");
        return false;
    }
    if (!q.exec(QString::fromUtf8(f.readAll()))) {
        *error = q.lastError().text();
        return false;
    }
    log(QStringLiteral("синхронизация журнала: таблица dose_event создана"));
    return true;
}

bool JournalSync::shipBatch(bool *more, QString *error)
{
    *more = false;
    QSqlDatabase lite = QSqlDatabase::database(m_liteName, false);
    QSqlDatabase pg = QSqlDatabase::database(m_pgName, false);
    const qint64 from = [&]() {
        QSqlQuery q(lite);
        q.prepare(QStringLiteral("SELECT seq FROM sync_progress WHERE target = ?"));
        q.addBindValue(kTarget);
        return q.exec() && q.next() ? q.value(0).toLongLong() : qint64(0);
    }();

    const QStringList names = journal::columnNames();
    QVector<JournalRow> rows;
    {
        QSqlQuery q(lite);
        q.prepare(QStringLiteral("SELECT %1 FROM dose_event WHERE seq > ? ORDER BY seq LIMIT ?")
                      .arg(names.join(QLatin1Char(','))));
        q.addBindValue(from);
        q.addBindValue(m_options.batchRows);
        if (!q.exec()) {
            // The journal file may not hold the table yet.
            return true;
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
        *error = pg.lastError().text();
        return false;
    }
    auto fail = [&](const QSqlQuery &q) {
        *error = q.lastError().text();
        pg.rollback();
        return false;
    };
    QSqlQuery insert(pg);
    if (!insert.prepare(journal::insertStatement(true)))
        return fail(insert);
    for (const JournalRow &row : rows) {
        for (const QString &n : names)
            insert.bindValue(QLatin1Char(':') + n, row.value(n));
        if (!insert.exec())
            return fail(insert);
    }

    const QString key = m_options.annualDoseKey;
    if (isAnnualDoseKey(key)) {
        QSqlQuery worker(pg);
        worker.prepare(QStringLiteral("SELECT uid FROM dose_event WHERE cabinet_id = ? AND kind = 'readout' "
                                      "AND cell = ? AND number = ? AND seq < ? ORDER BY seq DESC LIMIT 1"));
        QSqlQuery recompute(pg);
        recompute.prepare(QStringLiteral("SELECT dose_journal_recompute(?, ?, ?)"));
        for (const JournalRow &row : rows) {
            if (row.value(QStringLiteral("kind")).toString() != journal::kind::Confirm)
                continue;
            worker.addBindValue(row.value(QStringLiteral("cabinet_id")));
            worker.addBindValue(row.value(QStringLiteral("cell")));
            worker.addBindValue(row.value(QStringLiteral("number")));
            worker.addBindValue(row.value(QStringLiteral("seq")));
            if (!worker.exec())
                return fail(worker);
            if (!worker.next() || worker.value(0).toString().isEmpty())
                continue;
            const QString uid = worker.value(0).toString();
            worker.finish();
            recompute.addBindValue(key);
            recompute.addBindValue(uid);
            recompute.addBindValue(QDate::currentDate().year());
            if (!recompute.exec())
                return fail(recompute);
            recompute.finish();
        }
    }
    if (!pg.commit()) {
        *error = pg.lastError().text();
        pg.rollback();
        return false;
    }

    // Acknowledged: remember it. Should this fail, the batch is shipped
    // again later and ignored there.
    const qint64 last = rows.last().value(QStringLiteral("seq")).toLongLong();
    QSqlQuery progress(lite);
    progress.prepare(QStringLiteral("INSERT INTO sync_progress (target, seq) VALUES (?, ?) "
                                    "ON CONFLICT (target) DO UPDATE SET seq = excluded.seq"));
    progress.addBindValue(kTarget);
    progress.addBindValue(last);
    if (!progress.exec())
        log(QStringLiteral("синхронизация журнала: отметка не записана: ") + progress.lastError().text());
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
                error = lite.lastError().text();
                ok = false;
            }
        }
        if (ok && !m_pgReady) {
            openPostgres(m_pgName, m_options.pg, &error);
            ok = error.isEmpty() && ensureSchema(&error);
            m_pgReady = ok;
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
