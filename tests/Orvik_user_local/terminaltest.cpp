#include "terminaltest.h"

#include "globals.h"

#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>

QString sourcePath(const QString &relative)
{
    return QStringLiteral(ORVIK_SOURCE_DIR "/") + relative;
}

int closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}

TestCluster::~TestCluster()
{
    stop();
}

QString TestCluster::start()
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PGDATABASE"), QStringLiteral("zuran"));
    env.insert(QStringLiteral("PGPASSWORD"), QStringLiteral("quartzes4"));
    p.setProcessEnvironment(env);
    p.start(sourcePath(QStringLiteral("scripts/pgcluster")), {QStringLiteral("start")});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("pgcluster failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
    const QStringList lines = QString::fromLocal8Bit(p.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = line.left(eq);
        const QString value = line.mid(eq + 1);
        if (key == QLatin1String("PGCLUSTER_DIR"))
            m_dir = value;
        else if (key == QLatin1String("PGPORT"))
            m_port = value.toInt();
        else if (key == QLatin1String("PGPASSWORD"))
            m_password = value;
        else if (key == QLatin1String("PGDATABASE"))
            m_database = value;
    }
    if (m_dir.isEmpty() || m_port <= 0)
        return QStringLiteral("pgcluster printed no settings");
    useCluster();
    return execFile(sourcePath(QStringLiteral("db/schema.sql")));
}

QString TestCluster::startWithDemo()
{
    const QString error = start();
    return error.isEmpty() ? execFile(sourcePath(QStringLiteral("db/demo.sql"))) : error;
}

QSqlDatabase TestCluster::connect(const QString &name, const QString &options) const
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setHostName(QStringLiteral("127.0.0.1"));
    db.setPort(m_port);
    db.setDatabaseName(m_database);
    db.setUserName(QStringLiteral("postgres"));
    db.setPassword(m_password);
    db.setConnectOptions(options);
    db.open();
    return db;
}

void TestCluster::stop()
{
    if (m_dir.isEmpty())
        return;
    QProcess::execute(sourcePath(QStringLiteral("scripts/pgcluster")), {QStringLiteral("stop"), m_dir});
    m_dir.clear();
}

bool TestCluster::halt()
{
    return !m_dir.isEmpty()
        && QProcess::execute(sourcePath(QStringLiteral("scripts/pgcluster")), {QStringLiteral("halt"), m_dir}) == 0;
}

bool TestCluster::resume()
{
    return !m_dir.isEmpty()
        && QProcess::execute(sourcePath(QStringLiteral("scripts/pgcluster")), {QStringLiteral("resume"), m_dir}) == 0;
}

void TestCluster::useCluster() const
{
    G_ip_database = QStringLiteral("127.0.0.1");
    G_port_database = m_port;
    G_DatabaseName = m_database;
    G_UserName = QStringLiteral("postgres");
    G_Password = m_password;
}

QString TestCluster::exec(const QString &sql) const
{
    const QString name = QStringLiteral("test-fixture");
    QString error;
    {
        QSqlDatabase db = connect(name);
        if (!db.isOpen()) {
            error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            if (!q.exec(sql))
                error = q.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return error;
}

QString TestCluster::execFile(const QString &path) const
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read ") + path;
    return exec(QString::fromUtf8(f.readAll()));
}
