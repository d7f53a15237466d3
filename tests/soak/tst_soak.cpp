// One real server under a long mixed stream of requests from several clients:
// every valid request gets its exact reply, malformed and oversize ones are
// refused, split requests are joined, clients that vanish leave nothing
// behind. Resident memory must not grow after warm-up and the open file
// descriptors must return to their count before the run.
//
// SOAK_REQUESTS sets the number of requests (1000 by default).
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

const QByteArray kNotJson = "{\"error\":\"не JSON\"}";
const QByteArray kNotFound = "{\"error\":\"не найдена команда\"}";
const QByteArray kCellCancel = "{\"cell\":\"\",\"error\":\"\"}";
const QByteArray kNoDosimeter = "{\"nomer_pdd\": \"\",\"error\":\"ошибка чтения номера дозиметра. Нет доступа\"}";

int openDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// The kinds of traffic in the stream, with their shares in percent.
enum Kind {
    CellCancel, KasStatus, AbsentPort, UnknownCommand, Malformed, Split, Oversize,
    VanishAfterRequest, VanishMidRequest, VanishSilent
};
struct Share { Kind kind; int percent; };
const Share kShares[] = {
    {CellCancel, 25}, {KasStatus, 15}, {AbsentPort, 10}, {UnknownCommand, 10}, {Malformed, 10},
    {Split, 14}, {Oversize, 3}, {VanishAfterRequest, 5}, {VanishMidRequest, 4}, {VanishSilent, 4},
};

Kind kindFor(quint32 roll)
{
    int r = int(roll % 100);
    for (const Share &s : kShares) {
        if (r < s.percent)
            return s.kind;
        r -= s.percent;
    }
    return CellCancel;
}

// A JSON text value with a mix of ASCII, Cyrillic and escapes.
QByteArray randomValue(QRandomGenerator &rng)
{
    static const char *const pieces[] = {"7", "42", "abc", "Иванов", "\\\"", "\\\\", " ", "Ё", "\\n", "\\u0416"};
    QByteArray v;
    const int n = int(rng.bounded(6));
    for (int i = 0; i < n; ++i)
        v += pieces[rng.bounded(int(sizeof pieces / sizeof *pieces))];
    return v;
}

struct Failure {
    QMutex mutex;
    QStringList lines;
    std::atomic<int> count{0};
    void add(const QString &what)
    {
        ++count;
        QMutexLocker lock(&mutex);
        if (lines.size() < 10)
            lines << what;
    }
};

class Client
{
public:
    Client(quint16 port, QByteArray kasStatus, QString absentPort, Failure *failures)
        : m_port(port), m_kasStatus(std::move(kasStatus)), m_absentPort(std::move(absentPort)),
          m_failures(failures)
    {
    }

    void run(int index)
    {
        QRandomGenerator rng(quint32(index) * 2654435761u + 17);
        const Kind kind = kindFor(rng.generate());
        switch (kind) {
        case CellCancel: {
            QByteArray req = "{\"command\":\"cell_cancel\",\"nomer_ppd\":\"" + randomValue(rng) + "\"";
            req += rng.bounded(2) ? ",\"cell\":5}" : ",\"cell\":\"" + randomValue(rng) + "\"}";
            exchange(index, req, kCellCancel);
            break;
        }
        case KasStatus:
            exchange(index, rng.bounded(2) ? "{\"command\":\"Kas_status\"}" : " {\"command\" : \"Kas_status\"}\r\n",
                     m_kasStatus);
            break;
        case AbsentPort:
            exchange(index, "{\"command\":\"Get_Nomer_PPD\",\"port\":\"" + m_absentPort.toUtf8()
                                + QByteArray::number(rng.bounded(61)) + "\"}",
                     kNoDosimeter);
            break;
        case UnknownCommand: {
            static const char *const names[] = {"kas_status", "OUT_TRUE", "", "Get_Nomer_PPD ", "cell cancel", "Ёж"};
            exchange(index, QByteArray("{\"command\":\"") + names[rng.bounded(6)] + "\",\"cell\":\"1\"}",
                     kNotFound);
            break;
        }
        case Malformed: {
            // Never starts with white space or a brace, so it is refused at once.
            QByteArray junk(1 + int(rng.bounded(300)), Qt::Uninitialized);
            for (char &c : junk)
                c = char(rng.bounded(256));
            if (junk[0] == '{' || junk[0] == ' ' || junk[0] == '\t' || junk[0] == '\n' || junk[0] == '\r'
                || junk[0] == '\0')
                junk[0] = '#';
            exchange(index, junk, kNotJson);
            break;
        }
        case Split: {
            const QByteArray req = "{\"command\":\"cell_cancel\",\"nomer_ppd\":\"" + randomValue(rng)
                + "\",\"cell\":\"" + randomValue(rng) + "\"}";
            const int cut1 = 1 + int(rng.bounded(req.size() - 1));
            const int cut2 = cut1 + int(rng.bounded(req.size() - cut1));
            QList<QByteArray> parts{req.left(cut1), req.mid(cut1, cut2 - cut1), req.mid(cut2)};
            parts.removeAll(QByteArray());
            exchange(index, parts, kCellCancel);
            break;
        }
        case Oversize:
            oversize(index, rng);
            break;
        case VanishAfterRequest:
            vanish(index, "{\"command\":\"cell_cancel\"}");
            break;
        case VanishMidRequest:
            vanish(index, "{\"command\":\"Kas_sta");
            break;
        case VanishSilent:
            vanish(index, QByteArray());
            break;
        }
    }

private:
    bool ensureConnected()
    {
        if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
            return true;
        m_socket.reset(new QTcpSocket);
        m_socket->connectToHost(QHostAddress::LocalHost, m_port);
        return m_socket->waitForConnected(5000);
    }

    // Reads until at least size bytes arrived, the peer closed, or the time ran out.
    static QByteArray readAtLeast(QTcpSocket &s, int size, int timeoutMs)
    {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < size && t.elapsed() < timeoutMs) {
            if (s.bytesAvailable() > 0 || s.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - t.elapsed()))))
                got += s.readAll();
            else if (s.state() != QAbstractSocket::ConnectedState)
                break;
        }
        return got;
    }

    void exchange(int index, const QByteArray &request, const QByteArray &expected)
    {
        exchange(index, QList<QByteArray>{request}, expected);
    }

    // Sends the pieces with short gaps and checks the one reply byte for byte.
    // Extra bytes would stay in the socket and spoil the next comparison.
    void exchange(int index, const QList<QByteArray> &pieces, const QByteArray &expected)
    {
        if (!ensureConnected()) {
            m_failures->add(QStringLiteral("#%1: no connection").arg(index));
            return;
        }
        for (int i = 0; i < pieces.size(); ++i) {
            if (i > 0)
                QThread::msleep(30);
            m_socket->write(pieces[i]);
            m_socket->waitForBytesWritten(5000);
        }
        const QByteArray reply = readAtLeast(*m_socket, expected.size(), 15000);
        if (reply != expected) {
            m_failures->add(QStringLiteral("#%1: sent %2, got %3, expected %4")
                                .arg(index)
                                .arg(QString::fromLatin1(pieces.join("|").left(120).toHex()),
                                     QString::fromUtf8(reply.left(200)), QString::fromUtf8(expected)));
            m_socket.reset(); // start clean after a mismatch
        }
    }

    // More than the 64 KiB a connection may hold: only refusals come back.
    void oversize(int index, QRandomGenerator &rng)
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_port);
        if (!s.waitForConnected(5000)) {
            m_failures->add(QStringLiteral("#%1: no connection for oversize").arg(index));
            return;
        }
        QByteArray big = "{\"command\":\"cell_cancel\",\"pad\":\"";
        big += QByteArray(64 * 1024 + int(rng.bounded(8192)), 'x');
        big += "\"}";
        s.write(big);
        s.waitForBytesWritten(5000);
        QByteArray reply = readAtLeast(s, kNotJson.size(), 15000);
        while (s.waitForReadyRead(400))
            reply += s.readAll();
        if (reply.isEmpty() || QByteArray(reply).replace(kNotJson, QByteArray()) != QByteArray())
            m_failures->add(QStringLiteral("#%1: oversize answered %2").arg(index).arg(QString::fromUtf8(reply.left(200))));
    }

    void vanish(int index, const QByteArray &request)
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_port);
        if (!s.waitForConnected(5000)) {
            m_failures->add(QStringLiteral("#%1: no connection for a vanishing client").arg(index));
            return;
        }
        if (!request.isEmpty()) {
            s.write(request);
            s.waitForBytesWritten(5000);
        }
        s.abort();
    }

    quint16 m_port;
    QByteArray m_kasStatus;
    QString m_absentPort;
    Failure *m_failures;
    std::unique_ptr<QTcpSocket> m_socket;
};

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void mixedStreamKeepsRepliesMemoryAndDescriptors()
    {
        bool ok = false;
        int total = qEnvironmentVariableIntValue("SOAK_REQUESTS", &ok);
        if (!ok || total <= 0)
            total = 1000;
        const int clients = 3;
        const int warmUp = qMax(100, total / 10);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString ram = dir.filePath(QStringLiteral("ram"));
        QVERIFY(QDir().mkpath(ram));
        const quint16 port = freeTcpPort();
        const int cells = 4;
        writeSettings(dir.filePath(QStringLiteral("settings.ini")),
                      {QStringLiteral("tcp_port=%1").arg(port), QStringLiteral("Path_RAM=%1").arg(ram),
                       QStringLiteral("port_base=%1/absent/ttyACM").arg(dir.path()),
                       QStringLiteral("type_ppd=1300"), QStringLiteral("kas_count_cell=%1").arg(cells)});
        ServerProcess server(dir.path(), port);
        QVERIFY2(server.waitReady(), server.log().constData());
        const qint64 pid = server.process().processId();

        // Known cell states, written after start-up discovery has run.
        writeBytes(ram + QStringLiteral("/port.ini"), "/dev/ttyACM5\n\n" + dir.path().toUtf8() + "/absent/ttyACM7\n");
        writeBytes(ram + QStringLiteral("/error.ini"), "\nЯчейка заблокирована\n\n\n");
        const QByteArray kasStatus = "{\"cell_sensor\": [0, 0, 0, 0], \"cell_port\": [\"/dev/ttyACM5\", \"\", \""
            + dir.path().toUtf8() + "/absent/ttyACM7\", \"\"], \"cell_error\": [\"\", \"Ячейка заблокирована\", \"\", \"\"], \"error\":\"\"}";

        const int fdStart = openDescriptors(pid);
        QVERIFY(fdStart > 0);

        Failure failures;
        std::atomic<int> next{0};
        std::atomic<int> running{clients};
        std::vector<std::thread> threads;
        const QString absentPort = dir.filePath(QStringLiteral("absent/ttyACM"));
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c]() {
                Q_UNUSED(c);
                Client client(port, kasStatus, absentPort, &failures);
                for (int i = next++; i < total; i = next++)
                    client.run(i);
                --running;
            });
        }

        // Watch the server while the clients work; its log is drained so that
        // its output pipe never fills.
        QElapsedTimer t;
        t.start();
        qint64 rssAfterWarmUp = -1;
        qint64 rssMax = 0;
        QByteArray logTail;
        while (running > 0) {
            if (server.process().waitForReadyRead(100))
                logTail = (logTail + server.process().readAll()).right(8192);
            const qint64 rss = residentKiB(pid);
            if (rssAfterWarmUp < 0 && next >= warmUp)
                rssAfterWarmUp = rss;
            if (rssAfterWarmUp >= 0)
                rssMax = qMax(rssMax, rss);
        }
        for (std::thread &th : threads)
            th.join();
        const qint64 elapsed = t.elapsed();

        // Disconnects are handled by the event loop after the last reply.
        int fdEnd = openDescriptors(pid);
        for (int i = 0; i < 50 && fdEnd != fdStart; ++i) {
            server.process().waitForReadyRead(100);
            server.process().readAll();
            fdEnd = openDescriptors(pid);
        }
        const qint64 rssEnd = residentKiB(pid);
        QCOMPARE(server.process().state(), QProcess::Running);

        qInfo("%d requests from %d clients in %.1f s; VmRSS after warm-up %lld KiB, highest %lld KiB, "
              "at the end %lld KiB; VmHWM %lld KiB; descriptors %d -> %d",
              total, clients, elapsed / 1000.0, rssAfterWarmUp, rssMax, rssEnd, residentKiB(pid, "VmHWM:"),
              fdStart, fdEnd);

        QVERIFY2(failures.count == 0,
                 qPrintable(QStringLiteral("%1 wrong replies, first ones:\n").arg(failures.count.load())
                            + failures.lines.join(QLatin1Char('\n'))));
        QVERIFY(rssAfterWarmUp > 0);
        QVERIFY2(rssEnd - rssAfterWarmUp < 1024,
                 qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(rssEnd - rssAfterWarmUp)));
        QCOMPARE(fdEnd, fdStart);
    }
};

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
