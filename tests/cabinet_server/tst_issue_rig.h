#pragma once

// A controller process in front of a simulated rack, for the issue and
// return tests: scratch folders, state files, clock and zone of the server.

#include "simrack.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace rig {

inline QString libfaketime()
{
    for (const char *p : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                          "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                          "/usr/lib/faketime/libfaketime.so.1"}) {
        if (QFile::exists(QString::fromLatin1(p)))
            return QString::fromLatin1(p);
    }
    return QString();
}

// Environment entries that freeze the server's wall clock at a local date
// ("2026-01-01 00:00:16") in a zone; monotonic time keeps running so that
// serial and socket time-outs behave.
inline QStringList frozenClock(const QString &localDate, const QString &tz)
{
    return {QStringLiteral("TZ=") + tz, QStringLiteral("LD_PRELOAD=") + libfaketime(),
            QStringLiteral("FAKETIME=") + localDate, QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC=1")};
}

// The seconds since 1970 that a frozen clock shows, asked of the same library.
inline qint64 frozenEpoch(const QString &localDate, const QString &tz)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &kv : frozenClock(localDate, tz))
        env.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("date"), {QStringLiteral("+%s")});
    p.waitForFinished(5000);
    return p.readAllStandardOutput().trimmed().toLongLong();
}

// One rack of `cells` cells (hub.ini lists USB positions 1..cells), a
// controller serving it, and the state files under work/ram.
class Rig
{
    QTemporaryDir m_dir;   // first: outlives the server and the rack
    int m_cells;
    quint16 m_port = freeTcpPort();

public:
    explicit Rig(int cells) : m_cells(cells)
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("ram"));
        rack = std::make_unique<SimRack>(m_dir.filePath(QStringLiteral("rack")));
        QStringList hub;
        for (int pos = 1; pos <= cells; ++pos)
            hub << SimRack::hubId(pos);
        writeLines(QStringLiteral("hub.ini"), hub);
        QStringList blank, zero;
        for (int i = 0; i < cells; ++i) {
            blank << QString();
            zero << QStringLiteral("0");
        }
        for (const char *name : {"error.ini", "nomer_ppd.ini", "port.ini"})
            writeState(QString::fromLatin1(name), blank);
        writeState(QStringLiteral("datatime.ini"), zero);
    }

    // Starts the controller; false when it does not come up.
    // moreSettings are more key=value lines of the [Settings] group, after
    // those of the member extraSettings.
    bool start(const QString &type, const QStringList &extraEnv = {}, int restSeconds = 30,
               const QStringList &moreSettings = {})
    {
        writeSettings(m_dir.filePath(QStringLiteral("settings.ini")),
                      QStringList{QStringLiteral("Path_RAM=") + ram(), QStringLiteral("type_ppd=") + type,
                                  QStringLiteral("kas_count_cell=%1").arg(m_cells),
                                  QStringLiteral("Time_energe_ppd=%1").arg(restSeconds),
                                  QStringLiteral("port_base=") + rack->portBase(),
                                  QStringLiteral("tcp_port=%1").arg(m_port)}
                          + extraSettings + moreSettings);
        QStringList env = extraEnv;
        env << QStringLiteral("PATH=") + SimRack::udevadmDir() + QLatin1Char(':') + qEnvironmentVariable("PATH");
        server = std::make_unique<ServerProcess>(m_dir.path(), m_port, env);
        return server->waitReady();
    }

    // Sends one request; the server's log lines written for it go to *log.
    QString request(const QString &json, QStringList *log = nullptr)
    {
        const int before = server->log().size();
        const QByteArray reply = sendRequest(m_port, json.toUtf8(), 300, 60000);
        server->process().waitForReadyRead(50);
        if (log) {
            *log = QString::fromUtf8(server->log().mid(before)).split(QLatin1Char('\n'));
        }
        return QString::fromUtf8(reply);
    }

    QString ram() const { return m_dir.filePath(QStringLiteral("ram")); }
    // The server's working directory.
    QString work() const { return m_dir.path(); }
    QString path(const QString &name) const
    {
        return name == QLatin1String("hub.ini") ? m_dir.filePath(name) : ram() + QLatin1Char('/') + name;
    }
    void writeLines(const QString &name, const QStringList &lines)
    {
        QByteArray data;
        for (const QString &l : lines)
            data += l.toUtf8() + '\n';
        writeBytes(path(name), data);
    }
    void writeState(const QString &name, const QStringList &lines) { writeLines(name, lines); }
    QByteArray bytes(const QString &name) const { return readBytes(path(name)); }
    // The lines of a state file without their line feeds.
    QStringList lines(const QString &name) const
    {
        QString text = QString::fromUtf8(bytes(name));
        if (text.endsWith(QLatin1Char('\n')))
            text.chop(1);
        return text.split(QLatin1Char('\n'));
    }
    // Sets one line of a state file.
    void setLine(const QString &name, int index, const QString &value)
    {
        QStringList l = lines(name);
        while (l.size() <= index)
            l << QString();
        l[index] = value;
        writeLines(name, l);
    }
    // Registers the dosimeter on a device in a cell (1-based), with a stamp.
    void registerCell(int cell, int device, qint32 number, qint64 stamp = 0)
    {
        setLine(QStringLiteral("nomer_ppd.ini"), cell - 1, QString::number(number));
        setLine(QStringLiteral("port.ini"), cell - 1, rack->portPath(device));
        setLine(QStringLiteral("datatime.ini"), cell - 1, QString::number(stamp));
    }

    quint16 port() const { return m_port; }

    // With RIG_KEEP_JOURNAL=DIR the journal the controller wrote is kept as
    // DIR/<test>-<row>.sqlite (the ARM build reads it with its own dose_report).
    ~Rig()
    {
        const QString keep = qEnvironmentVariable("RIG_KEEP_JOURNAL");
        const QString journal = m_dir.filePath(QStringLiteral("journal.sqlite"));
        if (keep.isEmpty() || !QFile::exists(journal))
            return;
        server.reset();
        QString name = QString::fromLatin1(QTest::currentTestFunction());
        if (QTest::currentDataTag())
            name += QLatin1Char('-') + QString::fromLatin1(QTest::currentDataTag());
        const QString target = QDir(keep).filePath(name + QStringLiteral(".sqlite"));
        QDir().mkpath(keep);
        for (const char *suffix : {"", "-wal", "-shm"}) {
            QFile::remove(target + QLatin1String(suffix));
            QFile::copy(journal + QLatin1String(suffix), target + QLatin1String(suffix));
        }
    }

    std::unique_ptr<SimRack> rack;
    std::unique_ptr<ServerProcess> server;
    QStringList extraSettings;   // more key=value lines for settings.ini
};

// The command codes a dosimeter received, in order.
inline QList<int> codes(const QList<QByteArray> &frames)
{
    QList<int> out;
    for (const QByteArray &f : frames)
        out << (f.size() > 10 ? quint8(f.at(10)) : -1);
    return out;
}

// Whether the lines appear in the log in this order (each as a whole line).
inline bool inOrder(const QStringList &log, const QStringList &expected, QString *missing = nullptr)
{
    int from = 0;
    for (const QString &e : expected) {
        const int at = log.indexOf(e, from);
        if (at < 0) {
            if (missing)
                *missing = e;
            return false;
        }
        from = at + 1;
    }
    return true;
}

// The log lines from the first one equal to expected's first line on, as
// many as expected holds: compared with expected, it shows a missing, extra
// or misplaced line.
inline QStringList logFrom(const QStringList &log, const QStringList &expected)
{
    const int at = expected.isEmpty() ? -1 : log.indexOf(expected.first());
    return at < 0 ? QStringList() : log.mid(at, expected.size());
}

// A dosimeter coming back from a worker, with readings on both channels.
inline SimDosimeter returned(qint32 number, quint8 type)
{
    SimDosimeter d;
    d.number = number;
    d.detectorType = type;
    d.userId = simtext::encodeUser(QStringLiteral("AB12"));
    d.userOrder = simtext::encodeUser(QStringLiteral("ЦЕХ 5"));
    d.userName = simtext::encodeUser(QStringLiteral("ИВАНОВ"));
    d.gammaDose = 0.000123;
    d.gammaMaxRate = 1.5f;
    d.gammaMaxTime = 1234;
    d.neutronDose = 0.5;
    d.neutronMaxRate = 0.25f;
    d.neutronMaxTime = 77;
    d.mode = 0;
    return d;
}

// The issue request of the cycle tests: IN_g, or IN_gn with neutron thresholds.
inline QString cycleIssue(bool gammaNeutron)
{
    QString issue = QStringLiteral("{\"command\":\"%1\",\"uid\":\"ab12\",\"uname\":\"Иванов\",\"order\":\"цех 5\","
                                   "\"gdel\":\"1500\",\"gde2\":\"25\",\"gderl\":\"100\",\"gder2\":\"200\"")
                        .arg(gammaNeutron ? QStringLiteral("IN_gn") : QStringLiteral("IN_g"));
    if (gammaNeutron)
        issue += QStringLiteral(",\"ndel\":\"1\",\"nde2\":\"2\",\"nderl\":\"3\",\"nder2\":\"4\"");
    return issue + QLatin1Char('}');
}

// The dosimeter a worker carried away, back with the readings of returned()
// and an event history.
inline SimDosimeter afterWork(SimDosimeter carried, int events)
{
    const SimDosimeter back = returned(carried.number, carried.detectorType);
    carried.gammaDose = back.gammaDose;
    carried.gammaMaxRate = back.gammaMaxRate;
    carried.gammaMaxTime = back.gammaMaxTime;
    carried.neutronDose = back.neutronDose;
    carried.neutronMaxRate = back.neutronMaxRate;
    carried.neutronMaxTime = back.neutronMaxTime;
    carried.history = SimRack::makeHistory(events);
    return carried;
}

} // namespace rig
