#pragma once

#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// A PostgreSQL cluster of its own for one test program, started and stopped
// with scripts/pgcluster. The terminal's connection settings point at it.
class TestCluster
{
public:
    TestCluster() = default;
    ~TestCluster();
    TestCluster(const TestCluster &) = delete;
    TestCluster &operator=(const TestCluster &) = delete;

    // Starts the server, loads the schema and points the terminal's globals
    // at it. Returns an error text, empty on success.
    QString start();
    // start() and the demo data of db/demo.sql.
    QString startWithDemo();
    void stop();
    // Points the terminal's globals at this cluster again.
    void useCluster() const;

    int port() const { return m_port; }
    QString password() const { return m_password; }
    QString database() const { return m_database; }
    // Stops the server but keeps its data; resume() starts it again on the same port.
    bool halt();
    bool resume();

    // Registers a connection to this cluster under the name (in the calling
    // thread) and opens it; the caller removes it.
    QSqlDatabase connect(const QString &name, const QString &options = QString()) const;

    // Runs SQL (several statements allowed) on a connection of its own;
    // returns the error text, empty on success.
    QString exec(const QString &sql) const;
    QString execFile(const QString &path) const;

private:
    QString m_dir;
    int m_port = 0;
    QString m_password;
    QString m_database;
};

// A TCP port on 127.0.0.1 where nothing listens.
int closedPort();

// Path of a file of the source tree.
QString sourcePath(const QString &relative);
