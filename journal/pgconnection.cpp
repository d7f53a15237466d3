#include "pgconnection.h"

#include <QFile>
#include <QSqlError>

QSqlDatabase openPostgres(const QString &connectionName, const PgSettings &settings, QString *error)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(settings.host);
    if (settings.port > 0)
        db.setPort(settings.port);
    db.setDatabaseName(settings.dbname);
    db.setUserName(settings.user);
    db.setPassword(settings.password);
    db.setConnectOptions(QStringLiteral("connect_timeout=%1").arg(kPgConnectTimeoutSeconds));
    if (!db.open() && error)
        *error = db.lastError().text();
    return db;
}

void closeConnection(const QString &connectionName)
{
    if (!QSqlDatabase::contains(connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
}

QString readPasswordFile(const QString &path)
{
    QFile f(path);
    if (path.isEmpty() || !f.open(QIODevice::ReadOnly))
        return QString();
    QString line = QString::fromUtf8(f.readLine());
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

QString sqlErrorText(const QSqlError &error)
{
    QString database = error.databaseText().simplified();
    // QPSQL adds the SQLSTATE in brackets, empty when the connection broke.
    if (database.endsWith(QLatin1String("()")))
        database = database.chopped(2).trimmed();
    const QString driver = error.driverText().simplified();
    if (database.isEmpty())
        return driver;
    return driver.isEmpty() ? database : database + QStringLiteral(" (") + driver + QLatin1Char(')');
}
