// The command server over a real TCP socket: fixed replies byte for byte,
// several clients, split, cut and oversize requests.
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QByteArray kNotJson = "{\"error\":\"не JSON\"}";
const QByteArray kCellCancel = "{\"cell\":\"\",\"error\":\"\"}";

// Reads from an open socket until the data stop for quietMs.
QByteArray readReply(QTcpSocket &s, int quietMs = 300, int timeoutMs = 10000)
{
    QByteArray reply;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (s.waitForReadyRead(reply.isEmpty() ? 200 : quietMs))
            reply += s.readAll();
        else if (!reply.isEmpty() || s.state() != QAbstractSocket::ConnectedState)
            break;
    }
    return reply;
}

bool connectTo(QTcpSocket &s, quint16 port)
{
    s.connectToHost(QHostAddress::LocalHost, port);
    return s.waitForConnected(5000);
}

} // namespace

class TestTcpServer : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server;
    quint16 m_port = 0;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir(m_dir.path()).mkpath(QStringLiteral("ram"));
        m_port = freeTcpPort();
        writeSettings(m_dir.filePath(QStringLiteral("settings.ini")),
                      {QStringLiteral("tcp_port=%1").arg(m_port),
                       QStringLiteral("Path_RAM=%1").arg(m_dir.filePath(QStringLiteral("ram"))),
                       QStringLiteral("port_base=%1/ttyACM").arg(m_dir.path()),
                       QStringLiteral("type_ppd=1300")});
        m_server = std::make_unique<ServerProcess>(m_dir.path(), m_port);
        QVERIFY2(m_server->waitReady(), m_server->log().constData());
    }
    void cleanupTestCase() { m_server.reset(); }

    void fixedRepliesByteForByte_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("garbage") << QByteArray("hello") << kNotJson;
        QTest::newRow("lower-case command") << QByteArray("{\"command\":\"get_nomer_ppd\"}")
                                            << QByteArray("{\"error\":\"не найдена команда\"}");
        QTest::newRow("cell_cancel") << QByteArray("{\"command\":\"cell_cancel\"}") << kCellCancel;
        QTest::newRow("IN_gn on a gamma rack") << QByteArray("{\"command\":\"IN_gn\"}")
                                               << QByteArray("{\"error\":\"Не правильная конфигурация \"}");
        QTest::newRow("two objects in one read")
            << QByteArray("{\"command\":\"cell_cancel\"}{\"command\":\"cell_cancel\"}") << kNotJson;
        QTest::newRow("array") << QByteArray("[{\"command\":\"cell_cancel\"}]") << kNotJson;
        QTest::newRow("trailing new line") << QByteArray("{\"command\":\"cell_cancel\"}\r\n") << kCellCancel;
        QTest::newRow("zero byte cuts the request")
            << QByteArray("{\"command\":\"cell_cancel\"}\0{{{garbage", 37) << kCellCancel;
        QTest::newRow("zero byte inside the object") << QByteArray("{\"command\":\"cell_\0cancel\"}", 26) << kNotJson;
        // Invalid UTF-8 becomes a replacement character: the command then matches no row.
        QTest::newRow("invalid UTF-8") << QByteArray("{\"command\":\"cell_cancel\xff\"}")
                                       << QByteArray("{\"error\":\"не найдена команда\"}");
    }
    void fixedRepliesByteForByte()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        QCOMPARE(sendRequest(m_port, request), reply);
    }

    void repliesGoToTheSenderAndDisconnectsCloseOnlyTheirOwn()
    {
        QTcpSocket first, second;
        QVERIFY(connectTo(first, m_port));
        QVERIFY(connectTo(second, m_port));
        QTest::qWait(100);
        // The first client still gets its answers while a second one is connected.
        first.write("{\"command\":\"cell_cancel\"}");
        QCOMPARE(readReply(first), kCellCancel);
        QCOMPARE(second.bytesAvailable(), qint64(0));
        second.write("hello");
        QCOMPARE(readReply(second), kNotJson);
        // The second client goes away: the first one keeps its connection.
        second.disconnectFromHost();
        QTest::qWait(300);
        QCOMPARE(first.state(), QAbstractSocket::ConnectedState);
        first.write("{\"command\":\"Kas_statuss\"}");
        QCOMPARE(readReply(first), QByteArray("{\"error\":\"не найдена команда\"}"));

        // The same the other way round: the older client leaves, the newer stays.
        QTcpSocket third;
        QVERIFY(connectTo(third, m_port));
        first.disconnectFromHost();
        QTest::qWait(300);
        QCOMPARE(third.state(), QAbstractSocket::ConnectedState);
        third.write("{\"command\":\"cell_cancel\"}");
        QCOMPARE(readReply(third), kCellCancel);
    }

    void splitRequestIsJoined()
    {
        QTcpSocket s;
        QVERIFY(connectTo(s, m_port));
        s.write("{\"command\":\"cell_");
        s.flush();
        QTest::qWait(300);
        s.write("cancel\",\"cell\":\"3\"}");
        QCOMPARE(readReply(s), kCellCancel);

        // Three pieces, the break inside a string and after an escape.
        s.write("{\"command\":\"cell_cancel\",\"nomer_ppd\":\"a\\");
        s.flush();
        QTest::qWait(200);
        s.write("\"b");
        s.flush();
        QTest::qWait(200);
        s.write("\"}");
        QCOMPARE(readReply(s), kCellCancel);
    }

    void incompleteRequestTimesOut()
    {
        QTcpSocket s;
        QVERIFY(connectTo(s, m_port));
        QElapsedTimer t;
        t.start();
        s.write("{\"command\":\"cell_cancel\"");
        const QByteArray reply = readReply(s, 300, 5000);
        QCOMPARE(reply, kNotJson);
        QVERIFY2(t.elapsed() >= 1000 && t.elapsed() < 3000, QByteArray::number(t.elapsed()).constData());
        // The connection is usable afterwards.
        s.write("{\"command\":\"cell_cancel\"}");
        QCOMPARE(readReply(s), kCellCancel);

        // Garbage that merely begins like an object is refused at once.
        for (const QByteArray &garbage : {QByteArray("{abc"), QByteArray("{\"command\" \"cell_cancel\""),
                                           QByteArray("{\"command\":cell_cancel")}) {
            t.restart();
            s.write(garbage);
            QCOMPARE(readReply(s, 300, 5000), kNotJson);
            QVERIFY2(t.elapsed() < 900, garbage.constData());
        }
    }

    void oversizeRequestIsDropped()
    {
        QTcpSocket s;
        QVERIFY(connectTo(s, m_port));
        QByteArray big = "{\"command\":\"cell_cancel\",\"pad\":\"";
        big += QByteArray(70 * 1024, 'x');
        big += "\"}";
        s.write(big);
        const QByteArray reply = readReply(s, 500, 10000);
        // Only refusals come back, however the bytes were split into reads.
        QVERIFY(!reply.isEmpty());
        QCOMPARE(reply.size() % kNotJson.size(), 0);
        QCOMPARE(QByteArray(reply).replace(kNotJson, ""), QByteArray());
        // The server keeps serving.
        QCOMPARE(sendRequest(m_port, "{\"command\":\"cell_cancel\"}"), kCellCancel);
    }

    // Past the 64 KiB a connection may hold, the connection answers once and
    // then drops what its client sends until a second passes without data;
    // after such a pause it serves requests again.
    void oversizeStreamAnsweredOnce_data()
    {
        QTest::addColumn<int>("piece");      // bytes per write
        QTest::addColumn<int>("pauseMs");    // between writes
        QTest::addColumn<bool>("requestWithinTheSecond");
        QTest::newRow("1 MiB in one write") << 1024 * 1024 << 0 << false;
        QTest::newRow("1 MiB in 16 KiB pieces, 20 ms apart") << 16 * 1024 << 20 << false;
        QTest::newRow("1 MiB, then a request 300 ms later") << 1024 * 1024 << 0 << true;
    }
    void oversizeStreamAnsweredOnce()
    {
        QFETCH(int, piece);
        QFETCH(int, pauseMs);
        QFETCH(bool, requestWithinTheSecond);
        QTcpSocket s;
        QVERIFY(connectTo(s, m_port));
        QByteArray stream = "{\"command\":\"cell_cancel\",\"pad\":\"";
        stream += QByteArray(1024 * 1024 - stream.size(), 'x');
        QByteArray replies;
        for (int at = 0; at < stream.size(); at += piece) {
            s.write(stream.mid(at, piece));
            while (s.bytesToWrite() > 0 && s.waitForBytesWritten(5000))
                replies += s.readAll();
            if (pauseMs > 0)
                QTest::qWait(pauseMs);
            replies += s.readAll();
        }
        if (requestWithinTheSecond) {
            QTest::qWait(300);
            s.write("{\"command\":\"cell_cancel\"}");
        }
        // Everything until 1.5 s of quiet.
        QElapsedTimer t;
        t.start();
        do
            replies += s.readAll();
        while (t.elapsed() < 30000 && s.waitForReadyRead(1500));
        QCOMPARE(replies, kNotJson);
        QCOMPARE(s.state(), QAbstractSocket::ConnectedState);
        s.write("{\"command\":\"cell_cancel\"}");
        QCOMPARE(readReply(s), kCellCancel);
    }

    void clientThatVanishesMidRequest()
    {
        {
            QTcpSocket s;
            QVERIFY(connectTo(s, m_port));
            s.write("{\"command\":\"cell_c");
            s.flush();
            s.abort();
        }
        {
            QTcpSocket s;
            QVERIFY(connectTo(s, m_port));
            s.write("{\"command\":\"cell_cancel\"}");
            s.flush();
            s.abort(); // gone before the reply
        }
        QTest::qWait(1500);
        QCOMPARE(sendRequest(m_port, "{\"command\":\"cell_cancel\"}"), kCellCancel);
        QCOMPARE(m_server->process().state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestTcpServer)
#include "tst_tcpserver.moc"
