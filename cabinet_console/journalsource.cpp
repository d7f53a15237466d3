#include "journalsource.h"

#include "settings.h"

#include <QAtomicInteger>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

QString JournalSource::describe() const
{
    return pg.enabled ? QStringLiteral("PostgreSQL") : QStringLiteral("файл журнала ") + sqliteFile;
}

JournalSource journalSourceFromSettings()
{
    JournalSource s;
    s.sqliteFile = journalFilePath();
    s.annualDoseKey = G_annual_dose_key;
    if (G_journal_pg.enabled)
        s.pg = journalPgSettings();
    return s;
}

JournalConnection::JournalConnection(const JournalSource &source)
{
    static QAtomicInteger<quint64> counter;
    m_name = QStringLiteral("console-journal-%1").arg(counter.fetchAndAddRelaxed(1));
    if (source.pg.enabled) {
        const QSqlDatabase db = openPostgres(m_name, source.pg, &m_error);
        m_open = db.isOpen();
        if (!m_open)
            m_error = QStringLiteral("База данных журнала недоступна: ") + m_error.simplified();
        return;
    }
    if (source.sqliteFile.isEmpty()) {
        m_error = QStringLiteral("Журнал выключен в настройках (ключ journal пуст)");
        return;
    }
    if (!QFileInfo(source.sqliteFile).isFile()) {
        m_error = QStringLiteral("Файла журнала %1 нет").arg(source.sqliteFile);
        return;
    }
    // Read-only: the writer's WAL and shared-memory files are used as they
    // are, so the controller may commit while a page is read.
    if (openSqlite(source.sqliteFile, QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000")))
        return;
    // A folder the console cannot write to and a controller that has closed
    // the file (no WAL file beside it): SQLite cannot make its shared-memory
    // file, but nobody is writing, so the file is read as it stands.
    if (!QFileInfo::exists(source.sqliteFile + QStringLiteral("-wal"))) {
        QUrl url = QUrl::fromLocalFile(source.sqliteFile);
        url.setQuery(QStringLiteral("mode=ro&immutable=1"));
        const QString first = m_error;
        closeConnection(m_name);
        if (openSqlite(url.toString(QUrl::FullyEncoded),
                       QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000")))
            return;
        m_error = first;
    }
}

bool JournalConnection::openSqlite(const QString &file, const QString &options)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(file);
    db.setConnectOptions(options);
    if (db.open()) {
        // Opening is lazy; the first read shows whether the file is a journal.
        QSqlQuery probe(db);
        if (probe.exec(QStringLiteral("SELECT 1 FROM dose_event LIMIT 1"))) {
            m_open = true;
            m_error.clear();
            return true;
        }
        m_error = probe.lastError().text();
    } else {
        m_error = db.lastError().text();
    }
    m_error = QStringLiteral("Журнал не читается: ") + m_error.simplified();
    return false;
}

JournalConnection::~JournalConnection()
{
    closeConnection(m_name);
}

QSqlDatabase JournalConnection::database() const
{
    return QSqlDatabase::database(m_name, false);
}
