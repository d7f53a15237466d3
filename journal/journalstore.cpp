#include "journalstore.h"

#include "pgconnection.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

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
{
    QString error;
    if (!open(&error)) {
        log(QStringLiteral("журнал %1 недоступен: %2").arg(m_path, error));
        m_failing = true;
    }
}

JournalStore::~JournalStore()
{
    close();
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
            if (q.exec(QStringLiteral("SELECT max(seq) FROM dose_event")) && q.next() && !q.value(0).isNull()) {
                m_lastSeq = q.value(0).toLongLong();
            } else {
                m_lastSeq = JournalStore::firstSeqOfNewFile(QDateTime::currentSecsSinceEpoch()) - 1;
            }
            m_open = true;
        }
    }
    if (m_open)
        return true;
    QSqlDatabase::removeDatabase(m_connection);
    if (existed && isCorruption(*error) && moveAside())
        return open(error);
    return false;
}

void JournalStore::close()
{
    closeConnection(m_connection);
    m_open = false;
}

bool JournalStore::moveAside()
{
    const QString stampText = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString target = m_path + QStringLiteral(".corrupt-") + stampText;
    if (!QFile::rename(m_path, target)) {
        log(QStringLiteral("журнал %1 поврежден и не может быть перемещен").arg(m_path));
        return false;
    }
    for (const char *suffix : {"-wal", "-shm"})
        QFile::rename(m_path + QLatin1String(suffix), target + QLatin1String(suffix));
    log(QStringLiteral("журнал %1 поврежден, перемещен в %2").arg(m_path, target));
    m_replacedBy = target;
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
    if (!q.prepare(journal::insertStatement(false))) {
        *error = q.lastError().text();
        db.rollback();
        return false;
    }
    const QStringList names = journal::columnNames();
    qint64 seq = m_lastSeq;
    for (const JournalRow &row : rows) {
        for (const QString &n : names)
            q.bindValue(QLatin1Char(':') + n, row.value(n));
        q.bindValue(QStringLiteral(":seq"), ++seq);
        q.bindValue(QStringLiteral(":journal_id"), m_journalId);
        if (!q.exec()) {
            *error = q.lastError().text();
            q.finish();
            db.rollback();
            return false;
        }
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

bool JournalStore::append(QVector<JournalRow> rows)
{
    if (rows.isEmpty())
        return true;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    for (JournalRow &row : rows) {
        stamp(row, nowMs);
        row.insert(QStringLiteral("cabinet_id"), m_cabinetId);
    }

    QString error;
    bool ok = m_open || open(&error);
    QVector<JournalRow> all;
    if (ok) {
        JournalRow head;
        if (!m_replacedBy.isEmpty()) {
            head.insert(QStringLiteral("kind"), journal::kind::Replaced);
            head.insert(QStringLiteral("note"), QFileInfo(m_replacedBy).fileName());
            stamp(head, nowMs);
            head.insert(QStringLiteral("cabinet_id"), m_cabinetId);
            all << head;
        }
        if (m_lost > 0) {
            JournalRow gap;
            gap.insert(QStringLiteral("kind"), journal::kind::Gap);
            gap.insert(QStringLiteral("lost_count"), m_lost);
            gap.insert(QStringLiteral("lost_first"), m_lostFirst);
            gap.insert(QStringLiteral("lost_last"), m_lostLast);
            stamp(gap, nowMs);
            gap.insert(QStringLiteral("cabinet_id"), m_cabinetId);
            all << gap;
        }
        all += rows;
        ok = write(all, &error);
        if (!ok && isCorruption(error)) {
            close();
            if (moveAside() && open(&error))
                ok = write(all, &error);
        }
    }

    if (ok) {
        if (m_failing)
            log(QStringLiteral("журнал %1 снова записывается; потеряно событий: %2").arg(m_path).arg(m_lost));
        m_failing = false;
        m_lost = 0;
        m_replacedBy.clear();
        return true;
    }
    // The connection may be stale (a file system remounted, a file
    // replaced): the next append opens it afresh.
    close();
    if (!m_failing)
        log(QStringLiteral("журнал %1 не записан: %2").arg(m_path, error));
    m_failing = true;
    if (m_lost == 0)
        m_lostFirst = nowMs / 1000;
    m_lostLast = nowMs / 1000;
    m_lost += rows.size();
    return false;
}
