#include "journalstore.h"

#include "pgconnection.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>

#include <sqlite3.h>

namespace {

std::function<void(const QString &)> &logSink()
{
    static std::function<void(const QString &)> sink = [](const QString &line) { qDebug().noquote() << line; };
    return sink;
}

void log(const QString &line)
{
    logSink()(line);
}

int g_connections = 0;

// The -wal and -shm files stay in place when the journal is closed. A reader
// that may not create files in the journal's folder (the console's account,
// dose_report run by an operator) can then open the file read-only also while
// the controller is stopped; SQLite would otherwise delete both at close.
// Qt's SQLite driver uses the system's libsqlite3, the one linked here.
void keepWalFiles(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return;
    sqlite3 *connection = *static_cast<sqlite3 *const *>(handle.constData());
    int on = 1;
    if (connection)
        sqlite3_file_control(connection, "main", SQLITE_FCNTL_PERSIST_WAL, &on);
}

} // namespace

void JournalStore::setLogSink(std::function<void(const QString &)> sink)
{
    logSink() = std::move(sink);
}

void JournalStore::stamp(JournalRow &row, qint64 utcMs)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime);
    row.insert(QStringLiteral("ts"), utcMs / 1000);
    row.insert(QStringLiteral("time_text"), local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate));
}

JournalStore::JournalStore(const QString &path, const QString &cabinetId)
    : m_path(path)
    , m_cabinetId(cabinetId)
    , m_connection(QStringLiteral("journal-store-%1").arg(++g_connections))
    , m_lock(path)
    , m_retry(std::make_unique<QTimer>())
{
    m_retry->setSingleShot(true);
    m_retry->setInterval(kRetryMs);
    QObject::connect(m_retry.get(), &QTimer::timeout, [this]() { flush(); });
    QString error;
    if (!open(&error)) {
        if (!m_refused)
            log(QStringLiteral("журнал %1 недоступен: %2").arg(m_path, error));
        m_failing = true;
    }
}

JournalStore::~JournalStore()
{
    // Rows still in memory get a last chance; what stays is said.
    if (!m_refused && !flush() && (!m_queue.isEmpty() || m_lost > 0))
        log(QStringLiteral("журнал %1: при остановке не записаны события: %2 (в очереди), %3 (потеряны раньше)")
                .arg(m_path).arg(m_queue.size()).arg(m_lost));
    close();
}

void JournalStore::setQueueLimits(int rows, qint64 bytes)
{
    m_maxRows = rows;
    m_maxBytes = bytes;
}

void JournalStore::setRetryInterval(int ms)
{
    m_retry->setInterval(ms);
}

bool JournalStore::isCorruption(const QString &error)
{
    return error.contains(QLatin1String("not a database"), Qt::CaseInsensitive)
        || error.contains(QLatin1String("malformed"), Qt::CaseInsensitive)
        || error.contains(QLatin1String("corrupt"), Qt::CaseInsensitive);
}

bool JournalStore::open(QString *error)
{
    close();
    if (m_refused) {
        *error = QStringLiteral("файл ведет другой процесс");
        return false;
    }
    QString why;
    switch (m_lock.acquire(&why)) {
    case JournalWriterLock::State::Held:
        break;
    case JournalWriterLock::State::HeldByOther:
        // Two writers would number rows each on their own: this one stays
        // off the file for good, and what waited here is dropped.
        m_refused = true;
        m_queue.clear();
        m_queueBytes = 0;
        m_retry->stop();
        log(QStringLiteral("журнал %1 ведет другой процесс (%2): этот процесс в него не пишет").arg(m_path, why));
        *error = why;
        return false;
    case JournalWriterLock::State::Failed:
        *error = why;
        return false;
    }
    const bool existed = QFileInfo::exists(m_path);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        if (!db.open()) {
            *error = db.lastError().text();
        } else if (journal::prepareSqlite(db, error)) {
            keepWalFiles(db);
            m_journalId = journal::journalId(db);
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT COALESCE(max(seq), 0) FROM dose_event")) && q.next())
                m_lastSeq = q.value(0).toLongLong();
            m_open = !m_journalId.isEmpty();
            if (!m_open)
                *error = QStringLiteral("no journal_id in journal_meta");
        }
    }
    if (m_open)
        return true;
    QSqlDatabase::removeDatabase(m_connection);
    if (existed && isCorruption(*error) && moveAside(QDateTime::currentMSecsSinceEpoch()))
        return open(error);
    return false;
}

void JournalStore::close()
{
    closeConnection(m_connection);
    m_open = false;
}

bool JournalStore::moveAside(qint64 nowMs)
{
    const QString stampText = QDateTime::fromMSecsSinceEpoch(nowMs, Qt::UTC).toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString target = m_path + QStringLiteral(".corrupt-") + stampText;
    if (!QFile::rename(m_path, target)) {
        log(QStringLiteral("журнал %1 поврежден и не может быть перемещен").arg(m_path));
        return false;
    }
    for (const char *suffix : {"-wal", "-shm"})
        QFile::rename(m_path + QLatin1String(suffix), target + QLatin1String(suffix));
    log(QStringLiteral("журнал %1 поврежден, перемещен в %2").arg(m_path, target));
    // The new file's first row names the old one; it waits with the rows.
    JournalRow replaced;
    replaced.insert(QStringLiteral("kind"), journal::kind::Replaced);
    replaced.insert(QStringLiteral("note"), QFileInfo(target).fileName());
    replaced.insert(QStringLiteral("cabinet_id"), m_cabinetId);
    stamp(replaced, nowMs);
    m_replaced << replaced;
    return true;
}

bool JournalStore::write(const QVector<JournalRow> &rows, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery q(db);
    auto fail = [&]() {
        *error = q.lastError().text();
        q.finish();
        db.rollback();
        return false;
    };
    // Numbers follow the file's own last one: monotonic within the file,
    // whatever the clock says.
    if (!q.exec(QStringLiteral("SELECT COALESCE(max(seq), 0) FROM dose_event")) || !q.next())
        return fail();
    qint64 seq = q.value(0).toLongLong();
    q.finish();
    if (!q.prepare(journal::insertStatement(false)))
        return fail();
    const QStringList names = journal::columnNames();
    for (const JournalRow &row : rows) {
        for (const QString &n : names)
            q.bindValue(QLatin1Char(':') + n, row.value(n));
        q.bindValue(QStringLiteral(":seq"), ++seq);
        q.bindValue(QStringLiteral(":journal_id"), m_journalId);
        if (!q.exec())
            return fail();
    }
    q.finish();
    if (!db.commit()) {
        *error = db.lastError().text();
        db.rollback();
        return false;
    }
    m_lastSeq = seq;
    return true;
}

QVector<JournalRow> JournalStore::batch() const
{
    QVector<JournalRow> all = m_replaced + m_queue;
    if (m_lost > 0) {
        // The lost rows came after every row that waited.
        JournalRow gap;
        gap.insert(QStringLiteral("kind"), journal::kind::Gap);
        gap.insert(QStringLiteral("lost_count"), m_lost);
        gap.insert(QStringLiteral("lost_first"), m_lostFirst);
        gap.insert(QStringLiteral("lost_last"), m_lostLast);
        gap.insert(QStringLiteral("cabinet_id"), m_cabinetId);
        stamp(gap, QDateTime::currentMSecsSinceEpoch());
        all << gap;
    }
    return all;
}

qint64 JournalStore::textBytes(const JournalRow &row)
{
    // A rough size in memory: the texts in UTF-16 and the map's own nodes.
    qint64 bytes = 64 * row.size();
    for (auto it = row.cbegin(); it != row.cend(); ++it) {
        if (it.value().type() == QVariant::String)
            bytes += 2 * it.value().toString().size();
    }
    return bytes;
}

void JournalStore::lose(int rows, qint64 nowMs)
{
    if (m_lost == 0)
        m_lostFirst = nowMs / 1000;
    m_lostLast = nowMs / 1000;
    m_lost += rows;
    if (!m_overflowLogged)
        log(QStringLiteral("журнал %1: очередь в памяти полна (%2 событий), новые события теряются")
                .arg(m_path).arg(m_queue.size()));
    m_overflowLogged = true;
}

bool JournalStore::flush()
{
    if (m_refused)
        return false;
    if (m_queue.isEmpty() && m_lost == 0 && m_replaced.isEmpty())
        return true;
    QString error;
    bool ok = m_open || open(&error);
    if (ok) {
        ok = write(batch(), &error);
        if (!ok && isCorruption(error)) {
            close();
            if (moveAside(QDateTime::currentMSecsSinceEpoch()) && open(&error))
                ok = write(batch(), &error);
        }
    }
    if (ok) {
        if (m_failing)
            log(QStringLiteral("журнал %1 снова записывается; записано из очереди: %2, потеряно событий: %3")
                    .arg(m_path).arg(m_queue.size()).arg(m_lost));
        m_failing = false;
        m_queue.clear();
        m_queueBytes = 0;
        m_replaced.clear();
        m_lost = 0;
        m_overflowLogged = false;
        m_retry->stop();
        return true;
    }
    if (m_refused)
        return false;
    // The connection may be stale (a file system remounted, a file
    // replaced): the next attempt opens it afresh.
    close();
    if (!m_failing)
        log(QStringLiteral("журнал %1 не записан: %2").arg(m_path, error));
    m_failing = true;
    m_retry->start();
    return false;
}

bool JournalStore::append(QVector<JournalRow> rows)
{
    if (m_refused)
        return false;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    qint64 bytes = 0;
    for (JournalRow &row : rows) {
        stamp(row, nowMs);
        row.insert(QStringLiteral("cabinet_id"), m_cabinetId);
        bytes += textBytes(row);
    }
    // Once a row was lost, later ones wait only after the gap row is
    // written, so that the gap stands where the loss was.
    if (m_lost > 0 && !flush()) {
        lose(rows.size(), nowMs);
        return false;
    }
    m_queue += rows;
    m_queueBytes += bytes;
    if (flush())
        return true;
    // Not written: the rows wait if they fit.
    if (m_queue.size() > m_maxRows || m_queueBytes > m_maxBytes) {
        m_queue.resize(m_queue.size() - rows.size());
        m_queueBytes -= bytes;
        lose(rows.size(), nowMs);
    }
    return false;
}
