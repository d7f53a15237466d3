#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <cstdio>
#include <sys/mount.h>
#include <unistd.h>

namespace {
// Lines may come from any thread (the journal's sync logs from its own).
QMutex g_captureMutex;
QStringList g_capturedLines;
void captureLine(QtMsgType, const QMessageLogContext &, const QString &text)
{
    QMutexLocker lock(&g_captureMutex);
    g_capturedLines << text;
}
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_captureMutex);
    g_capturedLines.clear();
    m_previous = qInstallMessageHandler(&captureLine);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&g_captureMutex);
    return g_capturedLines;
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void writeSettings(const QString &path, const QStringList &keyValues)
{
    QByteArray data = "[Settings]\n";
    for (const QString &kv : keyValues)
        data += kv.toUtf8() + '\n';
    writeBytes(path, data);
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    f.write(bytes);
}

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

ProgramProcess::ProgramProcess(const QString &program, const QStringList &args, const QString &workDir,
                               const QStringList &extraEnv)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{message}"));
    for (const QString &kv : extraEnv) {
        const int eq = kv.indexOf(QLatin1Char('='));
        env.insert(kv.left(eq), kv.mid(eq + 1));
    }
    m_proc.setProcessEnvironment(env);
    m_proc.setWorkingDirectory(workDir);
    m_proc.setProcessChannelMode(QProcess::MergedChannels);
    m_proc.start(program, args);
}

ProgramProcess::~ProgramProcess()
{
    if (m_proc.state() != QProcess::NotRunning) {
        m_proc.terminate();
        if (!m_proc.waitForFinished(3000)) {
            m_proc.kill();
            m_proc.waitForFinished(3000);
        }
    }
}

QByteArray ProgramProcess::log() const
{
    auto &p = const_cast<QProcess &>(m_proc);
    m_log += p.readAll();
    return m_log;
}

bool ProgramProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    if (!m_proc.waitForStarted(5000))
        return false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        log();
        if (m_log.contains(text))
            return true;
        if (m_proc.state() == QProcess::NotRunning)
            return false;
        m_proc.waitForReadyRead(50);
    }
    return false;
}

QStringList serverCommand()
{
    const QStringList words =
        qEnvironmentVariable("CABINET_SERVER_CMD").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {QStringLiteral(CABINET_SERVER_BIN)};
    static bool told = false;
    if (!told) {
        told = true;
        std::fprintf(stderr, "controller started as: %s\n", qPrintable(words.join(QLatin1Char(' '))));
    }
    return words;
}

ServerProcess::ServerProcess(const QString &workDir, quint16 port, const QStringList &extraEnv)
    : ProgramProcess(serverCommand().constFirst(), serverCommand().mid(1), workDir, extraEnv), m_port(port)
{
}

QByteArray sendRequest(quint16 port, const QByteArray &request, int quietMs, int timeoutMs)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return QByteArray("<no connection>");
    s.write(request);
    s.flush();
    QByteArray reply;
    QElapsedTimer t;
    t.start();
    // Wait for the first byte, then until the data stop.
    while (t.elapsed() < timeoutMs) {
        if (s.waitForReadyRead(reply.isEmpty() ? 200 : quietMs)) {
            reply += s.readAll();
        } else if (!reply.isEmpty() || s.state() != QAbstractSocket::ConnectedState) {
            break;
        }
    }
    return reply;
}

Tmpfs::Tmpfs(const QString &path, const QByteArray &size)
    : m_path(path)
{
    QDir().mkpath(path);
    const QByteArray options = "size=" + size + ",mode=0755";
    m_mounted = ::geteuid() == 0
        && ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) == 0;
}

Tmpfs::~Tmpfs()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
}

bool Tmpfs::setReadOnly(bool readOnly)
{
    const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return ::mount("tmpfs", QFile::encodeName(m_path).constData(), "tmpfs", flags, nullptr) == 0;
}

bool Tmpfs::fill(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'x');
    while (f.write(block) == block.size()) {
    }
    return true;
}

qint64 residentKiB(qint64 pid, const char *field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
