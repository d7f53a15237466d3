#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QElapsedTimer>
#include <QTest>
#include <QTemporaryDir>
#include <QtGlobal>

#include <memory>

// Collects the debug lines written in this process while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;

private:
    QtMessageHandler m_previous;
};

// Waits, serving events, until the condition holds; false after limitMs.
template <typename F>
bool waitFor(F condition, int limitMs, int stepMs = 30)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > limitMs)
            return false;
        QTest::qWait(stepMs);
    }
    return true;
}

// A memory figure of a process in KiB from /proc/PID/status (resident memory
// by default, "VmHWM:" its peak); -1 if unknown.
qint64 residentKiB(qint64 pid, const char *field = "VmRSS:");

// A free TCP port on the loopback interface.
quint16 freeTcpPort();

// Writes a settings file with group "Settings" and the given key=value lines.
void writeSettings(const QString &path, const QStringList &keyValues);

// Writes a file with exactly the given bytes.
void writeBytes(const QString &path, const QByteArray &bytes);
QByteArray readBytes(const QString &path);

// A program of this project as a child process in its own working directory,
// its log lines bare (QT_MESSAGE_PATTERN=%{message}); stopped when it goes.
class ProgramProcess
{
public:
    // extraEnv entries are NAME=VALUE; PATH may be prefixed by the caller.
    ProgramProcess(const QString &program, const QStringList &args, const QString &workDir,
                   const QStringList &extraEnv = {});
    virtual ~ProgramProcess();

    // Waits until its output holds the text; false on time-out or exit.
    bool waitForOutput(const QByteArray &text, int timeoutMs);
    QByteArray log() const;   // everything it printed so far
    QProcess &process() { return m_proc; }

private:
    QProcess m_proc;
    mutable QByteArray m_log;
};

// The command that starts the controller: CABINET_SERVER_CMD split on blanks
// (e.g. an emulator and a controller built for another machine, or the
// installed program under another account), else the controller of this build.
QStringList serverCommand();

// A cabinet_server process in its own working directory on a free port.
class ServerProcess : public ProgramProcess
{
public:
    // workDir holds settings.ini (written by the caller) and hub.ini.
    ServerProcess(const QString &workDir, quint16 port, const QStringList &extraEnv = {});

    // Waits until the server accepts connections; false on time-out or exit.
    bool waitReady(int timeoutMs = 20000) { return waitForOutput("server is started", timeoutMs); }
    quint16 port() const { return m_port; }

private:
    quint16 m_port;
};

// A small tmpfs that can be turned read-only or filled up; only root can mount one.
class Tmpfs
{
public:
    Tmpfs(const QString &path, const QByteArray &size);
    ~Tmpfs();
    bool mounted() const { return m_mounted; }
    bool setReadOnly(bool readOnly);
    // Writes the file until the file system is full; false when it cannot be created.
    bool fill(const QString &file);

private:
    QString m_path;
    bool m_mounted = false;
};

// Sends one request and reads the reply until the data stop for quietMs
// (the protocol has no delimiter). Returns the reply bytes.
QByteArray sendRequest(quint16 port, const QByteArray &request, int quietMs = 400, int timeoutMs = 20000);
