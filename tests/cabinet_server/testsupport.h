#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
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

// A free TCP port on the loopback interface.
quint16 freeTcpPort();

// Writes a settings file with group "Settings" and the given key=value lines.
void writeSettings(const QString &path, const QStringList &keyValues);

// Writes a file with exactly the given bytes.
void writeBytes(const QString &path, const QByteArray &bytes);
QByteArray readBytes(const QString &path);

// A cabinet_server process in its own working directory on a free port.
class ServerProcess
{
public:
    // workDir holds settings.ini (written by the caller) and hub.ini.
    // extraEnv entries are NAME=VALUE; PATH may be prefixed by the caller.
    ServerProcess(const QString &workDir, quint16 port, const QStringList &extraEnv = {});
    ~ServerProcess();

    // Waits until the server accepts connections; false on time-out or exit.
    bool waitReady(int timeoutMs = 20000);
    quint16 port() const { return m_port; }
    QByteArray log() const;   // everything the server printed so far
    QProcess &process() { return m_proc; }

private:
    QProcess m_proc;
    quint16 m_port;
    mutable QByteArray m_log;
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
