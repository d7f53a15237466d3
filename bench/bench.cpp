// Latency of the controller's commands over the simulated rack, against the
// protocol floor: the 100 ms pause before each reply, 100 ms of silence after
// each serial exchange and the measured cost of each udevadm query. Prints a
// Markdown table with the machine it ran on; then the same commands with
// reply_end=frame, no reply pause and a rack that takes 2 ms per reply,
// against the classic floor and against that mode's own floor.
//
//   cabinet_bench [--runs N] [--only classic|frame]   (BENCH_RUNS works too; at least 20 by default)
#include "simrack.h"
#include "statefiles.h"
#include "testsupport.h"
#include "hubid.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr double kReplyPauseMs = 100;
constexpr double kSilenceMs = 100;

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

void progress(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// CPU time of a process and of its reaped children, in ms.
struct Cpu {
    double own = 0;
    double children = 0;
};

Cpu cpuOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    Cpu cpu;
    if (!f.open(QIODevice::ReadOnly))
        return cpu;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double tick = 1000.0 / double(sysconf(_SC_CLK_TCK));
    // Fields 14 to 17 of the stat line: utime, stime, cutime, cstime.
    cpu.own = (fields.value(11).toDouble() + fields.value(12).toDouble()) * tick;
    cpu.children = (fields.value(13).toDouble() + fields.value(14).toDouble()) * tick;
    return cpu;
}

qint64 statusKiB(qint64 pid, const QByteArray &field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

double median(QVector<double> v)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    const int n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Result {
    QString name;
    QVector<double> ms;
    QVector<double> msJournal; // the same runs with the dose journal on ...
    QVector<double> msAfter;   // ... and then off again
    double exchanges = 0;      // per run
    double queries = 0;        // per run
    double pauseMs = kReplyPauseMs;
    double bytes = 0;          // per run: request and reply bytes on the serial lines
    Cpu cpu;                   // per run
    qint64 hwmKiB = 0;
    int wrongReplies = 0;
    QString firstWrong;
};

// One cabinet_server over one simulated rack.
class Bench
{
public:
    // extraSettings: more settings.ini lines; replyDelayMs: the rack's time per reply.
    Bench(int dosimeters, const QString &udevCountFile, const QStringList &extraSettings = {}, int replyDelayMs = 0)
        : m_count(udevCountFile)
    {
        m_work = m_dir.filePath(QStringLiteral("work"));
        m_ram = m_work + QStringLiteral("/ram");
        QDir().mkpath(m_ram);
        m_rack = std::make_unique<SimRack>(m_dir.filePath(QStringLiteral("rack")));
        m_rack->setReplyDelay(replyDelayMs);
        QByteArray hub;
        for (int i = 0; i < dosimeters; ++i) {
            if (m_rack->insert(i + 1, 30001 + i, i, SimGamma) < 0)
                qFatal("cannot insert a dosimeter: %s", qPrintable(m_rack->lastError()));
            hub += SimRack::hubId(i + 1).toUtf8() + '\n';
        }
        writeBytes(m_work + QStringLiteral("/hub.ini"), hub);
        m_port = freeTcpPort();
        m_settings = QStringList{QStringLiteral("tcp_port=%1").arg(m_port), QStringLiteral("Path_RAM=%1").arg(m_ram),
                                 QStringLiteral("port_base=%1").arg(m_rack->portBase()), QStringLiteral("type_ppd=1300"),
                                 QStringLiteral("kas_count_cell=%1").arg(dosimeters),
                                 QStringLiteral("Time_energe_ppd=30")}
            + extraSettings;
    }
    ~Bench() { stop(); }

    SimRack &rack() { return *m_rack; }
    QString ram() const { return m_ram; }
    qint64 pid() const { return m_proc ? m_proc->processId() : 0; }

    // Starts the server, with the dose journal (journal.sqlite in its working
    // directory) or without, and waits for its start-up to end; the time it took, in ms.
    double start(bool journal = false)
    {
        stop();
        writeSettings(m_work + QStringLiteral("/settings.ini"),
                      m_settings + QStringList{journal ? QStringLiteral("journal=journal.sqlite") : QStringLiteral("journal=")});
        m_logPath = m_dir.filePath(QStringLiteral("server-%1.log").arg(++m_starts));
        m_proc = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{message}"));
        env.insert(QStringLiteral("PATH"), QStringLiteral(BENCH_UDEV_DIR ":") + env.value(QStringLiteral("PATH")));
        env.insert(QStringLiteral("BENCH_UDEV_REAL"), SimRack::udevadmPath());
        env.insert(QStringLiteral("BENCH_UDEV_COUNT"), m_count);
        m_proc->setProcessEnvironment(env);
        m_proc->setWorkingDirectory(m_work);
        m_proc->setProcessChannelMode(QProcess::MergedChannels);
        m_proc->setStandardOutputFile(m_logPath);
        QElapsedTimer t;
        t.start();
        m_proc->start(QStringLiteral(CABINET_SERVER_BIN), {});
        if (!m_proc->waitForStarted(5000))
            qFatal("cabinet_server does not start");
        // Polls the log file for the start-up's last line; only new bytes are
        // read, with the tail of the previous read for a line cut in two.
        QFile log(m_logPath);
        QByteArray tail;
        const QByteArray marker = "server is started";
        while (t.elapsed() < 120000) {
            if (log.isOpen() || log.open(QIODevice::ReadOnly)) {
                const QByteArray chunk = tail + log.readAll();
                if (chunk.contains(marker))
                    return t.nsecsElapsed() / 1e6;
                tail = chunk.right(marker.size());
            }
            if (m_proc->state() != QProcess::Running)
                qFatal("cabinet_server stopped during start-up");
            QThread::usleep(1000);
        }
        qFatal("cabinet_server start-up takes more than 120 s");
        return 0;
    }

    void stop()
    {
        m_socket.reset();
        if (m_proc && m_proc->state() != QProcess::NotRunning) {
            m_proc->terminate();
            if (!m_proc->waitForFinished(5000)) {
                m_proc->kill();
                m_proc->waitForFinished(5000);
            }
        }
        m_proc.reset();
    }

    // One request on the open connection; the reply is complete once it
    // parses as a JSON object. The time until then, in ms.
    double request(const QByteArray &request, QByteArray *reply)
    {
        if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
            m_socket = std::make_unique<QTcpSocket>();
            m_socket->connectToHost(QHostAddress::LocalHost, m_port);
            if (!m_socket->waitForConnected(5000))
                qFatal("no connection to cabinet_server");
        }
        reply->clear();
        QElapsedTimer t;
        t.start();
        m_socket->write(request);
        m_socket->flush();
        while (t.elapsed() < 120000) {
            if (!m_socket->waitForReadyRead(1000)) {
                if (m_socket->state() != QAbstractSocket::ConnectedState)
                    break;
                continue;
            }
            *reply += m_socket->readAll();
            if (QJsonDocument::fromJson(*reply).isObject())
                return t.nsecsElapsed() / 1e6;
        }
        return t.nsecsElapsed() / 1e6;
    }

    void clearRequests()
    {
        for (int d : m_rack->devices())
            m_rack->clearRequests(d);
    }
    int requestsSeen() const
    {
        int n = 0;
        for (int d : m_rack->devices())
            n += m_rack->requests(d).size();
        return n;
    }
    // Bytes both ways on the serial lines since the requests were cleared.
    qint64 bytesSeen() const
    {
        qint64 n = 0;
        for (int d : m_rack->devices()) {
            n += m_rack->bytesSent(d);
            for (const QByteArray &f : m_rack->requests(d))
                n += f.size();
        }
        return n;
    }
    qint64 queriesSeen() const { return QFileInfo(m_count).size(); }

    // Sets one line of a state file, keeping the others.
    void setLine(const QString &name, int index, const QString &value)
    {
        StateFile f(m_ram + name);
        if (!f.set(index, value) || !f.save())
            qFatal("cannot set line %d of %s", index, qPrintable(name));
    }

    // Runs a request several times, with a preparation before each run that
    // is not timed, and checks each reply.
    Result measure(const QString &name, int runs, const QByteArray &req, const std::function<void()> &prepare,
                   const std::function<bool(const QByteArray &)> &check)
    {
        progress(QStringLiteral("%1 (%2 runs)").arg(name).arg(runs));
        Result r;
        r.name = name;
        QByteArray reply;
        // Two warm-up runs: the first connection, first-use allocations.
        for (int i = 0; i < 2; ++i) {
            prepare();
            request(req, &reply);
        }
        double exchanges = 0, queries = 0, bytes = 0;
        Cpu cpu;
        for (int i = 0; i < runs; ++i) {
            prepare();
            clearRequests();
            const qint64 q0 = queriesSeen();
            const Cpu c0 = cpuOf(pid());
            r.ms << request(req, &reply);
            const Cpu c1 = cpuOf(pid());
            cpu.own += c1.own - c0.own;
            cpu.children += c1.children - c0.children;
            exchanges += requestsSeen();
            bytes += bytesSeen();
            queries += queriesSeen() - q0;
            if (!check(reply)) {
                if (r.wrongReplies++ == 0)
                    r.firstWrong = QStringLiteral("%1 bytes: %2 ... %3")
                                       .arg(reply.size())
                                       .arg(QString::fromUtf8(reply.left(150)), QString::fromUtf8(reply.right(150)));
            }
        }
        r.exchanges = exchanges / runs;
        r.queries = queries / runs;
        r.bytes = bytes / runs;
        r.cpu.own = cpu.own / runs;
        r.cpu.children = cpu.children / runs;
        r.hwmKiB = statusKiB(pid(), "VmHWM:");

        // The same runs on a server that keeps the dose journal, then once
        // more without it: the journal's series stands between two series
        // without, so that a change of the machine's load during the
        // measurement does not count as the journal's.
        for (const bool journal : {true, false}) {
            start(journal);
            for (int i = 0; i < runs + 2; ++i) {
                prepare();
                const double ms = request(req, &reply);
                if (i >= 2)
                    (journal ? r.msJournal : r.msAfter) << ms;
                if (!check(reply) && r.wrongReplies++ == 0)
                    r.firstWrong = QStringLiteral("journal %1: ").arg(journal ? "on" : "off again")
                        + QString::fromUtf8(reply.left(300));
            }
        }
        return r;
    }

private:
    QTemporaryDir m_dir;
    QString m_work, m_ram, m_count, m_logPath;
    QStringList m_settings;
    std::unique_ptr<SimRack> m_rack;
    std::unique_ptr<QProcess> m_proc;
    std::unique_ptr<QTcpSocket> m_socket;
    quint16 m_port = 0;
    int m_starts = 0;
};

// The return scan runs a registration check on calls whose second count
// leaves 5 modulo 11; timing runs keep clear of those seconds.
void avoidCheckSecond()
{
    for (;;) {
        const quint32 s = quint32(QDateTime::currentSecsSinceEpoch());
        if (s % 11 != 4 && s % 11 != 5)
            return;
        QThread::msleep(50);
    }
}

// Median cost of one hub-id query, run the way the server runs it.
double measureQueryMs(SimRack &rack, const QString &countFile)
{
    qputenv("PATH", QByteArray(BENCH_UDEV_DIR ":") + qgetenv("PATH"));
    qputenv("BENCH_UDEV_REAL", SimRack::udevadmPath().toUtf8());
    qputenv("BENCH_UDEV_COUNT", countFile.toUtf8());
    QVector<double> ms;
    const QString port = rack.portPath(rack.devices().value(0));
    for (int i = 0; i < 60; ++i) {
        QElapsedTimer t;
        t.start();
        const QString id = Get_hub_id(port);
        const double elapsed = t.nsecsElapsed() / 1e6;
        if (id.isEmpty())
            qFatal("the stand-in udevadm gives no hub id");
        if (i >= 10)
            ms << elapsed;
    }
    return median(ms);
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).section(QLatin1Char(' '), 0, 2) : QString();
}

QString machine()
{
    QString text;
    QProcess p;
    p.start(QStringLiteral("nproc"), {});
    p.waitForFinished();
    text += QStringLiteral("nproc: ") + QString::fromUtf8(p.readAll()).trimmed() + QLatin1Char('\n');
    p.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("lscpu | head")});
    p.waitForFinished();
    text += QString::fromUtf8(p.readAll());
    return text;
}

bool isObjectWithEmptyError(const QByteArray &reply)
{
    const QJsonObject o = QJsonDocument::fromJson(reply).object();
    return !o.isEmpty() && o.value(QStringLiteral("error")).toString().isEmpty();
}

} // namespace

namespace {

// The medians with the journal on and off again; dashes where not measured.
QString journalColumns(const Result &r)
{
    auto cell = [](const QVector<double> &ms) {
        return ms.isEmpty() ? QStringLiteral("—") : QString::number(median(ms), 'f', 1);
    };
    return cell(r.msJournal) + QStringLiteral(" | ") + cell(r.msAfter);
}

// Settings and rack of one way of running the controller.
struct Mode {
    QStringList settings;      // extra settings.ini lines
    int rackDelayMs = 0;       // the rack's processing time per reply
    double pauseMs = kReplyPauseMs;
};

// Time per byte through a pseudo-terminal, as the rack's lines carry them
// (the baud rate does not slow a pseudo-terminal down, nor a USB CDC device).
double measureTransferMsPerByte()
{
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return 0;
    termios tio;
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    const QByteArray block(2048, char(0x5A));
    QByteArray in(4096, '\0');
    const qint64 total = 8 * 1024 * 1024;
    QElapsedTimer t;
    t.start();
    qint64 moved = 0;
    while (moved < total) {
        if (::write(master, block.constData(), size_t(block.size())) != block.size())
            break;
        qint64 got = 0;
        while (got < block.size()) {
            const ssize_t n = ::read(slave, in.data(), size_t(in.size()));
            if (n <= 0)
                break;
            got += n;
        }
        moved += got;
    }
    const double ms = t.nsecsElapsed() / 1e6;
    ::close(master);
    ::close(slave);
    return moved > 0 ? ms / double(moved) : 0;
}

// The commands over a rack of 30 cells, in a fixed order (each prepares the
// state the next needs). bigHistory adds a history of 65535 events.
QList<Result> runCommands(int runs, const QString &countFile, const Mode &mode, bool bigHistory)
{
    QList<Result> results;
    const int cells = 30;
    const int last = cells - 1;                 // device and line index of cell 30
    Bench bench(cells, countFile, mode.settings, mode.rackDelayMs);
    bench.start();
    const auto none = []() {};

    results << bench.measure(QStringLiteral("Kas_status"), runs, "{\"command\":\"Kas_status\"}", none,
                             [](const QByteArray &r) { return r.startsWith("{\"cell_sensor\": [0, 0,"); });

    const QByteArray port0 = bench.rack().portPath(0).toUtf8();
    results << bench.measure(QStringLiteral("Get_Nomer_PPD"), runs,
                             "{\"command\":\"Get_Nomer_PPD\",\"port\":\"" + port0 + "\"}", none,
                             [](const QByteArray &r) { return r == "{\"nomer_pdd\": \"30001\",\"error\":\"\"}"; });

    results << bench.measure(QStringLiteral("OUT, nothing returned"), runs, "{\"command\":\"OUT\"}", avoidCheckSecond,
                             [](const QByteArray &r) { return r == "{\"OUT\":\"\",\"error\":\"\"}"; });

    // Issue: every cell but the last is blocked, so exactly one dosimeter is eligible.
    for (int i = 0; i < last; ++i)
        bench.setLine(QStringLiteral("/error.ini"), i, QStringLiteral("Ячейка занята"));
    const QByteArray inG = "{\"command\":\"IN_g\",\"gdel\":\"1500\",\"gde2\":\"3000\",\"gderl\":\"10000\","
                           "\"gder2\":\"20000\",\"order\":\"Н-42\",\"uid\":\"7001\",\"uname\":\"Иванов И.И.\"}";
    // Each run issues a dosimeter the journal has not seen issued: the same
    // one issued again without a read-out would make the journal-on series
    // read its dose before the reset (three more exchanges), which is not
    // the normal path measured here.
    qint32 fresh = 40001;
    results << bench.measure(QStringLiteral("IN_g, one eligible dosimeter"), runs, inG,
                             [&]() {
                                 bench.rack().setNumber(last, fresh++);
                                 bench.rack().setUser(last, QByteArray(), QByteArray(), QByteArray());
                                 bench.setLine(QStringLiteral("/error.ini"), last, QString());
                             },
                             [](const QByteArray &r) { return r.contains("\"cell\":\"30\",\"error\":\"\"}"); });

    // Return: the issued dosimeter comes back into an unregistered cell 30.
    const qint32 number = bench.rack().state(last).number;
    results << bench.measure(QStringLiteral("OUT, one returned dosimeter"), runs, "{\"command\":\"OUT\"}",
                             [&]() {
                                 avoidCheckSecond();
                                 bench.rack().setUser(last, simtext::encodeUser(QStringLiteral("7001")),
                                                      simtext::encodeUser(QStringLiteral("Н-42")),
                                                      simtext::encodeUser(QStringLiteral("Иванов И.И.")));
                                 bench.rack().setDoses(last, 0.0125);
                                 bench.rack().setMaxRates(last, 1.5f, 1234);
                                 for (const QString &f : {QStringLiteral("/nomer_ppd.ini"), QStringLiteral("/port.ini"),
                                                          QStringLiteral("/error.ini")})
                                     bench.setLine(f, last, QString());
                             },
                             [&](const QByteArray &r) {
                                 return isObjectWithEmptyError(r) && r.contains(QByteArray::number(number));
                             });

    const QByteArray cellReq = "\"nomer_ppd\":\"" + QByteArray::number(number) + "\",\"cell\":\"30\",\"error\":\"\"}";
    const QByteArray historyReq = "{\"command\":\"OUT_Get_history\"," + cellReq;
    auto historyOf = [](int events) {
        return [events](const QByteArray &r) {
            const QJsonObject o = QJsonDocument::fromJson(r).object();
            return o.value(QStringLiteral("history_all")).toString().size() == events * 32;
        };
    };
    bench.rack().setHistory(last, SimRack::makeHistory(300));
    results << bench.measure(QStringLiteral("OUT_Get_history, 300 events"), runs, historyReq, none, historyOf(300));
    if (bigHistory) {
        bench.rack().setHistory(last, SimRack::makeHistory(65535));
        results << bench.measure(QStringLiteral("OUT_Get_history, 65535 events"), runs, historyReq, none,
                                 historyOf(65535));
    }

    results << bench.measure(QStringLiteral("OUT_true"), runs, "{\"command\":\"OUT_true\"," + cellReq, none,
                             [](const QByteArray &r) { return r == "{\"error\":\"\"}"; });
    bench.stop();
    return results;
}

// Start-up discovery: a fresh state folder each time, so every dosimeter is scanned.
Result runDiscovery(int n, int runs, const QString &countFile, const Mode &mode)
{
    const QString name = QStringLiteral("start-up discovery, %1 dosimeters").arg(n);
    progress(QStringLiteral("%1 (%2 runs)").arg(name).arg(runs));
    Bench disc(n, countFile, mode.settings, mode.rackDelayMs);
    Result r;
    r.name = name;
    r.pauseMs = 0;
    double exchanges = 0, queries = 0, bytes = 0;
    for (int i = 0; i < runs; ++i) {
        for (const QString &f : QDir(disc.ram()).entryList(QDir::Files))
            QFile::remove(disc.ram() + QLatin1Char('/') + f);
        disc.clearRequests();
        const qint64 q0 = disc.queriesSeen();
        r.ms << disc.start();
        const Cpu c = cpuOf(disc.pid());
        r.cpu.own += c.own / runs;
        r.cpu.children += c.children / runs;
        r.hwmKiB = qMax(r.hwmKiB, statusKiB(disc.pid(), "VmHWM:"));
        exchanges += disc.requestsSeen();
        bytes += disc.bytesSeen();
        queries += disc.queriesSeen() - q0;
        StateFile numbers(disc.ram() + QStringLiteral("/nomer_ppd.ini"));
        int registered = 0;
        for (const QString &v : numbers.values())
            registered += v.isEmpty() ? 0 : 1;
        if (registered != n && r.wrongReplies++ == 0)
            r.firstWrong = QStringLiteral("%1 of %2 registered").arg(registered).arg(n);
        disc.stop();
    }
    r.exchanges = exchanges / runs;
    r.queries = queries / runs;
    r.bytes = bytes / runs;
    return r;
}

QList<Result> runAll(int runs, const QString &countFile, const Mode &mode, bool bigHistory)
{
    QList<Result> results = runCommands(runs, countFile, mode, bigHistory);
    for (int n : {30, 61})
        results << runDiscovery(n, runs, countFile, mode);
    for (Result &r : results)
        r.pauseMs = r.name.startsWith(QLatin1String("start-up")) ? 0 : mode.pauseMs;
    return results;
}

// The classic floor: reply pause, 100 ms of silence per exchange, the queries.
double classicFloor(const Result &r, double queryMs)
{
    return (r.name.startsWith(QLatin1String("start-up")) ? 0 : kReplyPauseMs) + r.exchanges * kSilenceMs
        + r.queries * queryMs;
}

double worstOf(const Result &r)
{
    return r.ms.isEmpty() ? 0 : *std::max_element(r.ms.begin(), r.ms.end());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int runs = qMax(20, qEnvironmentVariableIntValue("BENCH_RUNS"));
    const QStringList args = app.arguments();
    const int ri = args.indexOf(QStringLiteral("--runs"));
    if (ri >= 0)
        runs = qMax(1, args.value(ri + 1).toInt());
    const int oi = args.indexOf(QStringLiteral("--only"));
    const QString only = oi >= 0 ? args.value(oi + 1) : QString();
    const bool classic = only != QLatin1String("frame");
    const bool framed = only != QLatin1String("classic");

    // Other work on the machine shows directly in the medians: say how busy it was.
    const QString loadBefore = loadAverage();
    QTemporaryDir scratch;
    const QString countFile = scratch.filePath(QStringLiteral("udev-queries"));

    double queryMs = 0;
    {
        Bench probe(1, countFile);
        queryMs = measureQueryMs(probe.rack(), countFile);
    }
    progress(QStringLiteral("udevadm query: %1 ms").arg(queryMs, 0, 'f', 2));
    const double transferMsPerByte = measureTransferMsPerByte();
    progress(QStringLiteral("pseudo-terminal transfer: %1 ms per KiB").arg(transferMsPerByte * 1024, 0, 'f', 4));

    // The classic table is measured as it always was: a rack that answers at once.
    QList<Result> results;
    if (classic)
        results = runAll(runs, countFile, Mode(), false);
    const QString loadMiddle = loadAverage();
    Mode frameMode;
    frameMode.settings = QStringList{QStringLiteral("reply_end=frame"), QStringLiteral("reply_pause_ms=0")};
    frameMode.rackDelayMs = SimRack::kDefaultReplyDelayMs;
    frameMode.pauseMs = 0;
    QList<Result> frameResults;
    if (framed)
        frameResults = runAll(runs, countFile, frameMode, true);

    out() << "Machine:\n\n```\n" << machine() << "```\n\n";
    out() << "Load average (1, 5, 15 min) before the run: " << loadBefore << "; between the two modes: " << loadMiddle
          << "; after: " << loadAverage() << ". Other work on the machine adds to every median.\n\n";
    QStringList problems;
    if (classic) {
        out() << QStringLiteral("udevadm query (stand-in, median of 50): %1 ms. Floor = %2 ms reply pause (not at"
                                " start-up) + %3 ms silence per serial exchange + one query cost per udevadm query.\n\n")
                     .arg(queryMs, 0, 'f', 2).arg(kReplyPauseMs).arg(kSilenceMs);
        out() << "| command | runs | median ms | worst ms | exchanges | udevadm queries | floor ms | median / floor |"
                 " server CPU ms | udevadm CPU ms | peak RSS MiB | journal on median ms | journal off again median ms |\n";
        out() << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
        bool allWithin = true;
        for (const Result &r : results) {
            const double floorMs = r.pauseMs + r.exchanges * kSilenceMs + r.queries * queryMs;
            const double med = median(r.ms);
            const double ratio = floorMs > 0 ? med / floorMs : 0;
            allWithin = allWithin && ratio <= 1.10;
            out() << "| " << r.name << " | " << r.ms.size() << " | " << QString::number(med, 'f', 1) << " | "
                  << QString::number(worstOf(r), 'f', 1) << " | " << QString::number(r.exchanges, 'g', 4) << " | "
                  << QString::number(r.queries, 'g', 4) << " | " << QString::number(floorMs, 'f', 1) << " | "
                  << QString::number(ratio, 'f', 3) << " | " << QString::number(r.cpu.own, 'f', 2) << " | "
                  << QString::number(r.cpu.children, 'f', 2) << " | "
                  << QString::number(r.hwmKiB / 1024.0, 'f', 1) << " | " << journalColumns(r) << " |\n";
            if (r.wrongReplies)
                problems << QStringLiteral("%1: %2 wrong replies, first: %3").arg(r.name).arg(r.wrongReplies).arg(r.firstWrong);
        }
        out() << "\nCPU columns are per request (per start-up for discovery); udevadm CPU is that of the reaped"
                 " query processes. Peak RSS is the server's VmHWM.\n";
        out() << (allWithin ? "\nEvery median is within 10 % of its floor.\n"
                            : "\nSome medians are NOT within 10 % of their floor.\n");
    }
    if (framed) {
        out() << QStringLiteral("\nreply_end=frame, reply_pause_ms=0, the rack takes %1 ms per reply. Classic floor as"
                                " above, from the same exchange and query counts. Frame floor = %1 ms per exchange"
                                " + transfer (%2 ms per KiB through a pseudo-terminal, both ways) + one query cost"
                                " per udevadm query.\n\n")
                     .arg(frameMode.rackDelayMs).arg(transferMsPerByte * 1024, 0, 'f', 4);
        out() << "| command | runs | median ms | worst ms | exchanges | bytes | classic floor ms | median / classic"
                 " floor | frame floor ms | median / frame floor | server CPU ms | journal on median ms |"
                 " journal off again median ms |\n";
        out() << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
        bool allTenfold = true;
        for (const Result &r : frameResults) {
            const double classicMs = classicFloor(r, queryMs);
            const double frameMs = r.pauseMs + r.exchanges * frameMode.rackDelayMs + r.bytes * transferMsPerByte
                + r.queries * queryMs;
            const double med = median(r.ms);
            allTenfold = allTenfold && med * 10 <= classicMs;
            out() << "| " << r.name << " | " << r.ms.size() << " | " << QString::number(med, 'f', 1) << " | "
                  << QString::number(worstOf(r), 'f', 1) << " | " << QString::number(r.exchanges, 'g', 4) << " | "
                  << QString::number(r.bytes, 'f', 0) << " | " << QString::number(classicMs, 'f', 1) << " | "
                  << QString::number(classicMs > 0 ? med / classicMs : 0, 'f', 3) << " | "
                  << QString::number(frameMs, 'f', 1) << " | " << QString::number(frameMs > 0 ? med / frameMs : 0, 'f', 2)
                  << " | " << QString::number(r.cpu.own, 'f', 2) << " | " << journalColumns(r) << " |\n";
            if (r.wrongReplies)
                problems << QStringLiteral("frame mode, %1: %2 wrong replies, first: %3")
                                .arg(r.name).arg(r.wrongReplies).arg(r.firstWrong);
        }
        out() << (allTenfold ? "\nEvery frame-mode median is at least 10 times below its classic floor.\n"
                             : "\nSome frame-mode medians are NOT 10 times below their classic floor.\n");
    }
    for (const QString &p : problems)
        out() << "\nWRONG: " << p << "\n";
    out().flush();
    return problems.isEmpty() ? 0 : 1;
}
