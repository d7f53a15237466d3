#include "journalcheck.h"

#include "journalschema.h"

#include <QAtomicInteger>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

namespace {

class ReadOnlyJournal
{
public:
    explicit ReadOnlyJournal(const QString &path)
    {
        static QAtomicInteger<quint64> counter;
        m_name = QStringLiteral("attendant-journal-%1").arg(counter.fetchAndAddRelaxed(1));
        if (!QFileInfo(path).isFile()) {
            m_error = QStringLiteral("нет файла журнала %1").arg(path);
            return;
        }
        // With the controller running its -wal and -shm files are used
        // read-only; a journal the controller has closed (no -wal beside it)
        // in a folder this account cannot write is read as it stands.
        if (open(path, QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000")))
            return;
        if (!QFileInfo::exists(path + QStringLiteral("-wal"))) {
            QUrl url = QUrl::fromLocalFile(path);
            url.setQuery(QStringLiteral("mode=ro&immutable=1"));
            open(url.toString(QUrl::FullyEncoded),
                 QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000"));
        }
    }
    ~ReadOnlyJournal()
    {
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }

    bool isOpen() const { return m_open; }
    const QString &error() const { return m_error; }
    QSqlDatabase &db() { return m_db; }

private:
    bool open(const QString &name, const QString &options)
    {
        if (m_db.isValid()) {
            m_db.close();
            m_db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_name);
        }
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(name);
        m_db.setConnectOptions(options);
        if (m_db.open()) {
            QSqlQuery probe(m_db);
            if (probe.exec(QStringLiteral("SELECT 1 FROM dose_event LIMIT 1"))) {
                m_open = true;
                return true;
            }
            m_error = probe.lastError().text();
        } else {
            m_error = m_db.lastError().text();
        }
        m_error = QStringLiteral("журнал не читается: ") + m_error.simplified();
        return false;
    }

    QString m_name;
    QSqlDatabase m_db;
    bool m_open = false;
    QString m_error;
};

} // namespace

JournalReadout findReadout(const QString &journalPath, const QString &number, int cell, const QString &reply)
{
    JournalReadout r;
    ReadOnlyJournal journal(journalPath);
    if (!journal.isOpen()) {
        r.failure = journal.error();
        return r;
    }
    // An erasure is what the controller's own check before a reset takes
    // for one: a row of the counting rule that is not a read-out.
    QString sql = QStringLiteral(
        "SELECT r.seq FROM dose_event r WHERE r.kind = 'readout' AND r.number = :number AND r.cell = :cell");
    if (!reply.isEmpty())
        sql += QStringLiteral(" AND r.reply = :reply");
    sql += QStringLiteral(" AND NOT EXISTS (SELECT 1 FROM dose_event b WHERE b.number = r.number AND b.seq > r.seq"
                          " AND b.kind <> 'readout' AND %1) ORDER BY r.seq DESC LIMIT 1")
               .arg(journal::cycleRowCondition(QStringLiteral("b")));
    QSqlQuery q(journal.db());
    q.prepare(sql);
    q.bindValue(QStringLiteral(":number"), number);
    q.bindValue(QStringLiteral(":cell"), cell);
    if (!reply.isEmpty())
        q.bindValue(QStringLiteral(":reply"), reply);
    if (!q.exec()) {
        r.failure = QStringLiteral("журнал не читается: ") + q.lastError().text().simplified();
        return r;
    }
    if (!q.next()) {
        r.failure = QStringLiteral("в журнале нет показаний дозиметра %1 из ячейки %2").arg(number).arg(cell);
        return r;
    }
    r.found = true;
    r.seq = q.value(0).toLongLong();
    return r;
}
