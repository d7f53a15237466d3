// The serial exchange against a real pseudo-terminal standing in for a
// dosimeter: reply collection and its silence rule, the overall deadline and
// size cap, stale input, absent and foreign ports, and whole commands.
#include "dosimeter.h"
#include "frame.h"
#include "mytcpserver.h"
#include "serialexchange.h"
#include "settings.h"
#include "simrack.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

Q_DECLARE_METATYPE(SimFault)

namespace {

struct Chunk
{
    int delayMs;
    QByteArray bytes;
};
using Script = std::function<QList<Chunk>(const QByteArray &request)>;

// A pseudo-terminal whose slave is reachable through a symbolic link, with a
// thread that collects request frames and answers them by script.
class FakeDevice
{
public:
    explicit FakeDevice(const QString &linkPath) : m_link(linkPath)
    {
        char name[256] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        termios t{};
        tcgetattr(m_slave, &t);
        cfmakeraw(&t);
        tcsetattr(m_slave, TCSANOW, &t);
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_ok = ::symlink(name, QFile::encodeName(linkPath).constData()) == 0;
        m_thread = std::thread([this] { run(); });
    }

    ~FakeDevice()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::unlink(QFile::encodeName(m_link).constData());
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
    }

    bool ok() const { return m_ok; }

    void setScript(Script script)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_script = std::move(script);
    }

    // After each request, writes chunkBytes every pauseMs until destroyed.
    void setStream(int chunkBytes, int pauseMs)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_streamBytes = chunkBytes;
        m_streamPauseMs = pauseMs;
    }

    QList<QByteArray> requests() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

    QByteArray received() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

    // Bytes sent at once, as a late reply that nobody collected.
    void writeNow(const QByteArray &bytes) { writeAll(bytes); }

private:
    void writeAll(const QByteArray &bytes)
    {
        int done = 0;
        while (done < bytes.size() && !m_stop) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += int(n);
            } else {
                pollfd p{m_master, POLLOUT, 0};
                ::poll(&p, 1, 10);
            }
        }
    }

    void sleepMs(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!m_stop && t.elapsed() < ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void run()
    {
        QByteArray pending;
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
                continue;
            char buf[4096];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n <= 0)
                continue;
            pending.append(buf, int(n));
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received.append(buf, int(n));
            }
            // A frame is complete when the bytes after the length field are all there.
            while (pending.size() >= 4 && pending.size() >= frame::uint16At(pending, 2) + 4) {
                const QByteArray request = pending.left(frame::uint16At(pending, 2) + 4);
                pending.remove(0, request.size());
                answer(request);
            }
        }
    }

    void answer(const QByteArray &request)
    {
        Script script;
        int streamBytes = 0;
        int streamPause = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests << request;
            script = m_script;
            streamBytes = m_streamBytes;
            streamPause = m_streamPauseMs;
        }
        if (streamBytes > 0) {
            const QByteArray chunk(streamBytes, 'x');
            while (!m_stop) {
                writeAll(chunk);
                sleepMs(streamPause);
            }
            return;
        }
        if (!script)
            return;
        const QList<Chunk> chunks = script(request);
        for (const Chunk &c : chunks) {
            sleepMs(c.delayMs);
            writeAll(c.bytes);
        }
    }

    QString m_link;
    int m_master = -1;
    int m_slave = -1;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    Script m_script;
    int m_streamBytes = 0;
    int m_streamPauseMs = 0;
    QList<QByteArray> m_requests;
    QByteArray m_received;
};

// "delay:hex,delay:hex" as chunks.
QList<Chunk> parseChunks(const QString &text)
{
    QList<Chunk> out;
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QStringList f = part.split(QLatin1Char(':'));
        out << Chunk{f.value(0).toInt(), QByteArray::fromHex(f.value(1).toLatin1())};
    }
    return out;
}

// A reply in the request's layout: its header with the given data, and a CRC.
QByteArray replyTo(const QByteArray &request, const QByteArray &data)
{
    QByteArray r = request.left(11);
    r.append(char(data.size()));
    r.append(data);
    const quint16 length = quint16(r.size() - 2);
    r[2] = char(length & 0xFF);
    r[3] = char(length >> 8);
    const quint16 crc = frame::crc16x25(r);
    r.append(char(crc & 0xFF)).append(char(crc >> 8));
    return r;
}

} // namespace

class TestSerialExchange : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void replyCollection_data();
    void replyCollection();
    void endlessStream_data();
    void endlessStream();
    void staleInputDiscarded();
    void absentDevice();
    void portOutsideDeviceList();
    void identityRead();
    void refusedAndIgnoredStatus_data();
    void refusedAndIgnoredStatus();
    void historyOverTheLine();
    void everyCommandOnTheRack_data();
    void everyCommandOnTheRack();
    void faultsOnTheRack_data();
    void faultsOnTheRack();
    void frameEndOnTheRack_data();
    void frameEndOnTheRack();
    void foreignFrames_data();
    void foreignFrames();
    void numberOverTcp();

private:
    QString port(int i) const { return m_dir->path() + QStringLiteral("/ttyACM") + QString::number(i); }
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeDevice> m_device;
};

void TestSerialExchange::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    G_ports_dkg = makePortList(m_dir->path() + QStringLiteral("/ttyACM"));
    m_device.reset(new FakeDevice(port(0)));
    QVERIFY(m_device->ok());
}

void TestSerialExchange::cleanup()
{
    m_device.reset();
    m_dir.reset();
    resetGlobals();
    resetExchangeSettings();
}

void TestSerialExchange::replyCollection_data()
{
    QTest::addColumn<QString>("chunks");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    const QString full = QStringLiteral("14050a00553930000001010001");
    QTest::newRow("at once") << "0:" + full << QByteArray::fromHex(full.toLatin1()) << 100 << 600;
    QTest::newRow("three chunks 50 ms apart")
        << "0:14050a0055,50:3930000001,50:010001" << QByteArray::fromHex(full.toLatin1()) << 200 << 800;
    QTest::newRow("150 ms pause cuts the reply") << "0:14050a0055,150:3930000001" << QByteArray::fromHex("14050a0055")
                                                 << 100 << 600;
    QTest::newRow("silent") << "" << QByteArray() << 100 << 600;
    const QByteArray block(2048, char(0x5A));
    QTest::newRow("largest block") << "0:" + QString::fromLatin1(block.toHex()) << block << 100 << 600;
}

void TestSerialExchange::replyCollection()
{
    QFETCH(QString, chunks);
    QFETCH(QByteArray, expected);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    const QList<Chunk> script = parseChunks(chunks);
    m_device->setScript([script](const QByteArray &) { return script; });

    const QByteArray request = frame::identity();
    QElapsedTimer t;
    t.start();
    const QByteArray reply = Compport(port(0), request);
    const qint64 elapsed = t.elapsed();
    QCOMPARE(reply.toHex(), expected.toHex());
    QVERIFY2(elapsed >= minMs && elapsed <= maxMs, QByteArray::number(elapsed).constData());
    QCOMPARE(m_device->requests(), QList<QByteArray>{request});
}

void TestSerialExchange::endlessStream_data()
{
    QTest::addColumn<int>("chunkBytes");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<bool>("capReached");
    QTest::newRow("slow stream stopped by the deadline") << 256 << 20 << false;
    QTest::newRow("fast stream stopped by the size cap") << 4096 << 1 << true;
}

void TestSerialExchange::endlessStream()
{
    QFETCH(int, chunkBytes);
    QFETCH(int, pauseMs);
    QFETCH(bool, capReached);
    m_device->setStream(chunkBytes, pauseMs);
    QElapsedTimer t;
    t.start();
    const QByteArray reply = Compport(port(0), frame::identity());
    const qint64 elapsed = t.elapsed();
    QVERIFY2(elapsed <= kExchangeDeadlineMs + 300, QByteArray::number(elapsed).constData());
    QVERIFY(reply.size() <= kExchangeMaxReply);
    if (capReached) {
        QCOMPARE(reply.size(), kExchangeMaxReply);
    } else {
        QVERIFY2(elapsed >= kExchangeDeadlineMs - 100, QByteArray::number(elapsed).constData());
        QVERIFY(reply.size() > 0 && reply.size() < kExchangeMaxReply);
    }
    QCOMPARE(reply, QByteArray(reply.size(), 'x'));
}

void TestSerialExchange::staleInputDiscarded()
{
    const QByteArray late = QByteArray::fromHex("14050a0055010000000101000111");
    m_device->setScript([](const QByteArray &request) {
        return QList<Chunk>{{0, replyTo(request, QByteArray::fromHex("03"))}};
    });
    m_device->writeNow(late);
    QTest::qWait(50);
    const QByteArray request = frame::identity();
    const QByteArray reply = Compport(port(0), request);
    QCOMPARE(reply.toHex(), replyTo(request, QByteArray::fromHex("03")).toHex());
}

void TestSerialExchange::absentDevice()
{
    QElapsedTimer t;
    t.start();
    QCOMPARE(Compport(port(1), frame::identity()), QByteArray());
    QCOMPARE(Get_Nomer_PPD(port(1)),
             QStringLiteral("{\"nomer_pdd\": \"\",\"error\":\"ошибка чтения номера дозиметра. Нет доступа\"}"));
    QVERIFY(t.elapsed() < 100);
    QVERIFY(m_device->received().isEmpty());
}

void TestSerialExchange::portOutsideDeviceList()
{
    // A working device behind a path that is not one of the rack's devices.
    const QString foreign = m_dir->path() + QStringLiteral("/other0");
    FakeDevice other(foreign);
    QVERIFY(other.ok());
    other.setScript([](const QByteArray &request) { return QList<Chunk>{{0, replyTo(request, "\x01")}}; });
    const QString prefixed = port(0) + QStringLiteral("0");   // ttyACM00 is not in the list either
    for (const QString &p : {foreign, prefixed, QStringLiteral("/dev/ttyACM0"), QString()}) {
        QCOMPARE(Compport(p, frame::identity()), QByteArray());
    }
    QTest::qWait(50);
    QVERIFY(other.received().isEmpty());
    QVERIFY(m_device->received().isEmpty());
    // The same device is reached once its path is a listed one.
    QCOMPARE(Compport(port(0), frame::identity()), QByteArray());
    QCOMPARE(m_device->requests().size(), 1);
}

void TestSerialExchange::identityRead()
{
    const QList<QPair<QByteArray, QString>> cases{
        {QByteArray::fromHex("39300000"), QStringLiteral("{\"nomer_pdd\": \"12345\",\"error\":\"\"}")},
        {QByteArray::fromHex("ffffffff"), QStringLiteral("{\"nomer_pdd\": \"-1\",\"error\":\"\"}")},
    };
    for (const auto &c : cases) {
        const QByteArray number = c.first;
        m_device->setScript([number](const QByteArray &request) {
            QByteArray r = replyTo(request, QByteArray::fromHex("01"));
            r.replace(5, 4, number);
            return QList<Chunk>{{0, r}};
        });
        QCOMPARE(Get_Nomer_PPD(port(0)), c.second);
        // The same text comes back through the command dispatcher.
        QCOMPARE(f_command(QStringLiteral("{\"command\":\"Get_Nomer_PPD\",\"port\":\"%1\"}").arg(port(0))),
                 c.second);
    }
    QCOMPARE(Get_Type_PPD(port(0)), QStringLiteral("{\"Type_PPD\": \"гамма-детектор\",\"error\":\"\"}"));
    for (const QByteArray &r : m_device->requests())
        QCOMPARE(r.toHex(' '), QByteArray("14 05 0a 00 55 00 00 00 00 01 01 00 3f a0"));
    QCOMPARE(m_device->requests().size(), 5);
}

void TestSerialExchange::refusedAndIgnoredStatus_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected");
    auto row = [](const char *command, int code, const char *expected) {
        QTest::newRow(command) << QString::fromLatin1(command) << code << QString::fromUtf8(expected);
    };
    row("Set_user_id", 0x46, R"({"set_user_id": "AB12","error":"ошибка записи идентификатора пользователя"})");
    row("Set_user_order", 0x4A, R"({"set_user_order": "ЦЕХ 5","error":"Ошибка записи наряда пользователя"})");
    row("Set_user_PPD", 0x44, R"({"set_user_name": "ИВАНОВ И.И.","error":"Ошибка записи имени пользователя"})");
    row("Reset_de", 0x59, R"({"reset_de": "","error":"Ошибка сброса ЭД гамма"})");
    row("Set_nmaxder", 0xA8, R"({"set_nmaxder": "","error":"Ошибка сброса МЭД нейтроный"})");
    row("Set_de1", 0x09, R"({"set_de1": "1.5","error":"Ошибка записи 1 порог по ЭД"})");
    row("Set_nde1", 0xB9, R"({"set_nde1": "1.5","error":"Ошибка записи 1 порог нейтронный по ЭД"})");
    row("Set_nder2", 0xA5, R"({"set_nder2": "1.5","error":"Ошибка записи 2 порог нейтроный по МЭД"})");
    row("Set_screen_on_PPD", 0x3A, R"({"set_screen_on": "","error":""})");
    row("Ack_configuration_PPD", 0x75, R"({"ack_configuration": "","error":""})");
    // A 13-byte reply holds no time value and no count: a read error.
    row("Get_maxtime", 0x19, R"({"get_maxtime": "","error":"ошибка чтения МЭД гамма"})");
    row("Get_count_event_history", 0x30, R"({"event_history": "","error":"ошибка чтения количества событий истории"})");
}

void TestSerialExchange::refusedAndIgnoredStatus()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(QString, expected);
    // Every request is answered with status byte 1 and nothing else.
    m_device->setScript([](const QByteArray &request) {
        return QList<Chunk>{{0, replyTo(request, QByteArray::fromHex("01")).left(13)}};
    });
    const QString p = port(0);
    const QString n = QStringLiteral("12345");
    const QString v = QStringLiteral("1.5");
    const QMap<QString, std::function<QString()>> calls{
        {"Set_user_id", [&] { return Set_user_id(p, n, QStringLiteral("ab12")); }},
        {"Set_user_order", [&] { return Set_user_order(p, n, QStringLiteral("цех 5")); }},
        {"Set_user_PPD", [&] { return Set_user_PPD(p, n, QStringLiteral("Иванов И.И.")); }},
        {"Reset_de", [&] { return Reset_de(p, n); }},
        {"Set_nmaxder", [&] { return Set_nmaxder(p, n); }},
        {"Set_de1", [&] { return Set_de1(p, n, v); }},
        {"Set_nde1", [&] { return Set_nde1(p, n, v); }},
        {"Set_nder2", [&] { return Set_nder2(p, n, v); }},
        {"Set_screen_on_PPD", [&] { return Set_screen_on_PPD(p, n); }},
        {"Ack_configuration_PPD", [&] { return Ack_configuration_PPD(p, n); }},
        {"Get_maxtime", [&] { return Get_maxtime(p, n); }},
        {"Get_count_event_history", [&] { return Get_count_event_history(p, n); }},
    };
    QVERIFY(calls.contains(command));
    QCOMPARE(calls.value(command)(), expected);
    const QList<QByteArray> requests = m_device->requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().mid(5, 4).toHex(), QByteArray("39300000"));
    QCOMPARE(int(quint8(requests.first().at(10))), code);
}

void TestSerialExchange::historyOverTheLine()
{
    // 130 events: two blocks of 127 and 3 records.
    m_device->setScript([](const QByteArray &request) {
        if (quint8(request.at(10)) == 0x30)
            return QList<Chunk>{{0, replyTo(request, QByteArray::fromHex("8200"))}};
        const int index = frame::uint16At(request, 12);
        const int k = index == 0 ? 127 : 3;
        QByteArray data("\x00\x00", 2);
        for (int i = 0; i < k * 16; ++i)
            data.append(char(quint8(index * 16 + i)));
        QByteArray r = replyTo(request, data);
        r[11] = char(k);
        return QList<Chunk>{{0, r.left(1000)}, {20, r.mid(1000)}};
    });
    QByteArray records;
    for (int i = 0; i < 127 * 16; ++i)
        records.append(char(quint8(i)));
    for (int i = 0; i < 3 * 16; ++i)
        records.append(char(quint8(16 + i)));
    const QString text = Get_history_all(port(0), QStringLiteral("77"));
    QCOMPARE(text, QStringLiteral("{\"history_all\": \"") + QString::fromLatin1(records.toHex())
                       + QStringLiteral("\",\"error\":\"\"}"));
    const QList<QByteArray> requests = m_device->requests();
    QCOMPARE(requests.size(), 3);
    QCOMPARE(requests.at(0).left(12).toHex(' '), QByteArray("14 05 0a 00 55 4d 00 00 00 01 30 00"));
    QCOMPARE(requests.at(1).left(14).toHex(' '), QByteArray("14 05 0c 00 55 4d 00 00 00 01 57 02 00 00"));
    QCOMPARE(requests.at(2).left(14).toHex(' '), QByteArray("14 05 0c 00 55 4d 00 00 00 01 57 02 01 00"));
}

namespace {

// A dosimeter numbered 12345 with a user, readings and three history records.
SimDosimeter rackDosimeter()
{
    SimDosimeter st;
    st.number = 12345;
    st.detectorType = SimGammaNeutron;
    st.userId = QByteArray("7001");
    st.userOrder = QByteArray::fromHex("d6c5d52035");
    st.gammaDose = 0.000123;
    st.neutronDose = 2.5;
    st.gammaMaxRate = 1.0f;
    st.gammaMaxTime = 305419896;
    st.neutronMaxRate = 0.5f;
    st.neutronMaxTime = -2;
    st.history = SimRack::makeHistory(3);
    return st;
}

using Command = std::function<QString(const QString &port)>;

// Commands by name, called with the rack dosimeter's number and fixed values.
QMap<QString, Command> rackCommands()
{
    const QString n = QStringLiteral("12345");
    return {
        {"Get_Nomer_PPD", [](const QString &p) { return Get_Nomer_PPD(p); }},
        {"Get_Type_PPD", [](const QString &p) { return Get_Type_PPD(p); }},
        {"Get_user_id", [n](const QString &p) { return Get_user_id(p, n); }},
        {"Get_user_order", [n](const QString &p) { return Get_user_order(p, n); }},
        {"Set_user_id", [n](const QString &p) { return Set_user_id(p, n, QStringLiteral("ab12")); }},
        {"Set_user_order", [n](const QString &p) { return Set_user_order(p, n, QStringLiteral("цех 5")); }},
        {"Set_user_order quote", [n](const QString &p) { return Set_user_order(p, n, QStringLiteral("a\"b\\")); }},
        {"Set_user_PPD", [n](const QString &p) { return Set_user_PPD(p, n, QStringLiteral("Пётр №1")); }},
        {"Reset_de", [n](const QString &p) { return Reset_de(p, n); }},
        {"Set_maxder", [n](const QString &p) { return Set_maxder(p, n); }},
        {"Set_de1", [n](const QString &p) { return Set_de1(p, n, QStringLiteral("1.5")); }},
        {"Set_de2", [n](const QString &p) { return Set_de2(p, n, QStringLiteral("abc")); }},
        {"Set_der1", [n](const QString &p) { return Set_der1(p, n, QStringLiteral("0.1")); }},
        {"Set_der2", [n](const QString &p) { return Set_der2(p, n, QStringLiteral("2")); }},
        {"Reset_nde", [n](const QString &p) { return Reset_nde(p, n); }},
        {"Set_nmaxder", [n](const QString &p) { return Set_nmaxder(p, n); }},
        {"Set_nde1", [n](const QString &p) { return Set_nde1(p, n, QStringLiteral("0.5")); }},
        {"Set_nde2", [n](const QString &p) { return Set_nde2(p, n, QStringLiteral("inf")); }},
        {"Set_nder1", [n](const QString &p) { return Set_nder1(p, n, QStringLiteral("1.5")); }},
        {"Set_nder2", [n](const QString &p) { return Set_nder2(p, n, QStringLiteral("-1")); }},
        {"Set_screen_on_PPD", [n](const QString &p) { return Set_screen_on_PPD(p, n); }},
        {"Set_screen_off_PPD", [n](const QString &p) { return Set_screen_off_PPD(p, n); }},
        {"Ack_configuration_PPD", [n](const QString &p) { return Ack_configuration_PPD(p, n); }},
        {"Get_des_val", [n](const QString &p) { return Get_des_val(p, n); }},
        {"Get_maxder", [n](const QString &p) { return Get_maxder(p, n); }},
        {"Get_maxtime", [n](const QString &p) { return Get_maxtime(p, n); }},
        {"Get_ndes_val", [n](const QString &p) { return Get_ndes_val(p, n); }},
        {"Get_nmaxder", [n](const QString &p) { return Get_nmaxder(p, n); }},
        {"Get_nmaxtime", [n](const QString &p) { return Get_nmaxtime(p, n); }},
        {"Get_count_event_history", [n](const QString &p) { return Get_count_event_history(p, n); }},
        {"Get_history_all", [n](const QString &p) { return Get_history_all(p, n); }},
    };
}

QString rackResult(const char *key, const QString &value, const QString &message = QString())
{
    return QStringLiteral("{\"") + QLatin1String(key) + QStringLiteral("\": \"") + value
        + QStringLiteral("\",\"error\":\"") + message + QStringLiteral("\"}");
}

} // namespace

void TestSerialExchange::everyCommandOnTheRack_data()
{
    QTest::addColumn<QString>("command");
    // The frames the dosimeter must receive, without their CRC.
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QString>("expected");
    const QString head = QStringLiteral("14 05 0a 00 55 39 30 00 00 01 ");
    auto plain = [&](const char *command, const char *code, const QString &expected) {
        QTest::newRow(command) << QString::fromLatin1(command) << QStringList{head + QLatin1String(code) + " 00"}
                               << expected;
    };
    auto withData = [](const char *command, const char *frame, const QString &expected) {
        QTest::newRow(command) << QString::fromLatin1(command) << QStringList{QString::fromLatin1(frame)} << expected;
    };

    QTest::newRow("Get_Nomer_PPD") << "Get_Nomer_PPD" << QStringList{"14 05 0a 00 55 00 00 00 00 01 01 00"}
                                   << rackResult("nomer_pdd", "12345");
    QTest::newRow("Get_Type_PPD") << "Get_Type_PPD" << QStringList{"14 05 0a 00 55 00 00 00 00 01 01 00"}
                                  << rackResult("Type_PPD", QStringLiteral("гамма-детектор и нейтронный детектор"));
    plain("Get_user_id", "45", rackResult("user_id", "7001"));
    plain("Get_user_order", "49", rackResult("user_order", QStringLiteral("ЦЕХ 5")));
    withData("Set_user_id", "14 05 0e 00 55 39 30 00 00 01 46 04 41 42 31 32", rackResult("set_user_id", "AB12"));
    withData("Set_user_order", "14 05 0f 00 55 39 30 00 00 01 4a 05 d6 c5 d5 20 35",
             rackResult("set_user_order", QStringLiteral("ЦЕХ 5")));
    withData("Set_user_order quote", "14 05 0e 00 55 39 30 00 00 01 4a 04 41 22 42 5c",
             rackResult("set_user_order", QStringLiteral("A\\\"B\\\\")));
    withData("Set_user_PPD", "14 05 13 00 55 39 30 00 00 01 44 09 cf a8 d2 d0 20 e2 84 96 31",
             rackResult("set_user_name", QStringLiteral("ПЁТР №1")));
    plain("Reset_de", "59", rackResult("reset_de", ""));
    plain("Set_maxder", "18", rackResult("set_maxder", ""));
    withData("Set_de1", "14 05 12 00 55 39 30 00 00 01 09 08 00 00 00 00 00 00 f8 3f", rackResult("set_de1", "1.5"));
    withData("Set_de2", "14 05 12 00 55 39 30 00 00 01 0c 08 00 00 00 00 00 00 00 00", rackResult("set_de2", "abc"));
    withData("Set_der1", "14 05 0e 00 55 39 30 00 00 01 12 04 cd cc cc 3d", rackResult("set_der1", "0.1"));
    withData("Set_der2", "14 05 0e 00 55 39 30 00 00 01 15 04 00 00 00 40", rackResult("set_der2", "2"));
    plain("Reset_nde", "b4", rackResult("reset_nde", ""));
    plain("Set_nmaxder", "a8", rackResult("set_nmaxder", ""));
    withData("Set_nde1", "14 05 12 00 55 39 30 00 00 01 b9 08 00 00 00 00 00 00 e0 3f", rackResult("set_nde1", "0.5"));
    withData("Set_nde2", "14 05 12 00 55 39 30 00 00 01 bc 08 00 00 00 00 00 00 00 00", rackResult("set_nde2", "inf"));
    withData("Set_nder1", "14 05 0e 00 55 39 30 00 00 01 a2 04 00 00 c0 3f", rackResult("set_nder1", "1.5"));
    withData("Set_nder2", "14 05 0e 00 55 39 30 00 00 01 a5 04 00 00 80 bf", rackResult("set_nder2", "-1"));
    withData("Set_screen_on_PPD", "14 05 0c 00 55 39 30 00 00 01 3a 02 00 00", rackResult("set_screen_on", ""));
    withData("Set_screen_off_PPD", "14 05 0c 00 55 39 30 00 00 01 3a 02 01 00", rackResult("set_screen_off", ""));
    plain("Ack_configuration_PPD", "75", rackResult("ack_configuration", ""));
    plain("Get_des_val", "4f", rackResult("get_des_val", "0.000123000"));
    plain("Get_maxder", "17", rackResult("get_maxder", "1.000000000"));
    plain("Get_maxtime", "19", rackResult("get_maxtime", "305419896"));
    plain("Get_ndes_val", "af", rackResult("get_ndes_val", "2.500000000"));
    plain("Get_nmaxder", "a7", rackResult("get_nmaxder", "0.500000000"));
    plain("Get_nmaxtime", "a9", rackResult("get_nmaxtime", "-2"));
    plain("Get_count_event_history", "30", rackResult("event_history", "3"));
    QByteArray records;
    for (const QByteArray &r : SimRack::makeHistory(3))
        records += r;
    QTest::newRow("Get_history_all") << "Get_history_all"
                                     << QStringList{head + "30 00", QStringLiteral("14 05 0c 00 55 39 30 00 00 01 57 02 00 00")}
                                     << rackResult("history_all", QString::fromLatin1(records.toHex()));
}

void TestSerialExchange::everyCommandOnTheRack()
{
    QFETCH(QString, command);
    QFETCH(QStringList, frames);
    QFETCH(QString, expected);
    SimRack rack(m_dir->filePath(QStringLiteral("rack")));
    G_ports_dkg = makePortList(rack.portBase());
    const int dev = rack.insert(3, rackDosimeter(), 4);
    QCOMPARE(dev, 4);
    const QMap<QString, Command> commands = rackCommands();
    QVERIFY(commands.contains(command));

    QCOMPARE(commands.value(command)(rack.portPath(dev)), expected);
    // The rack records only frames whose CRC it found right.
    QVERIFY(rack.badFrames(dev).isEmpty());
    QStringList sent;
    for (const QByteArray &f : rack.requests(dev))
        sent << QString::fromLatin1(f.left(f.size() - 2).toHex(' '));
    QCOMPARE(sent, frames);
}

void TestSerialExchange::faultsOnTheRack_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<SimFault>("fault");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("maxMs");
    const QString readFailed = QStringLiteral("ошибка чтения ЭД гамма");
    const QString writeFailed = QStringLiteral("Ошибка записи 1 порог по ЭД");
    QTest::newRow("chunks 50 ms apart come whole") << "Get_des_val" << 0x4F << SimFault::chunks(8, 50)
                                                   << rackResult("get_des_val", "0.000123000") << 1000;
    QTest::newRow("a 150 ms pause cuts the value off") << "Get_des_val" << 0x4F << SimFault::chunks(14, 150)
                                                       << rackResult("get_des_val", "", readFailed) << 1000;
    QTest::newRow("silent read") << "Get_des_val" << 0x4F << SimFault::silence()
                                 << rackResult("get_des_val", "", readFailed) << 1000;
    QTest::newRow("endless stream ends at the deadline") << "Get_des_val" << 0x4F << SimFault::stream(64, 10)
                                                         << rackResult("get_des_val", "0.000123000")
                                                         << kExchangeDeadlineMs + 500;
    QTest::newRow("refused write") << "Set_de1" << 0x09 << SimFault::refuse(3)
                                   << rackResult("set_de1", "1.5", writeFailed) << 1000;
    QTest::newRow("write cut to 1 byte") << "Set_de1" << 0x09 << SimFault::cut(1)
                                         << rackResult("set_de1", "1.5", writeFailed) << 1000;
    QTest::newRow("write cut to 12 bytes") << "Set_de1" << 0x09 << SimFault::cut(12)
                                           << rackResult("set_de1", "1.5") << 1000;
    QTest::newRow("refusal ignored by the mode command") << "Set_screen_off_PPD" << 0x3A << SimFault::refuse()
                                                         << rackResult("set_screen_off", "") << 1000;
}

void TestSerialExchange::faultsOnTheRack()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(SimFault, fault);
    QFETCH(QString, expected);
    QFETCH(int, maxMs);
    SimRack rack(m_dir->filePath(QStringLiteral("rack")));
    G_ports_dkg = makePortList(rack.portBase());
    const int dev = rack.insert(1, rackDosimeter(), 0);
    QCOMPARE(dev, 0);
    rack.setFault(dev, code, fault);
    QElapsedTimer t;
    t.start();
    QCOMPARE(rackCommands().value(command)(rack.portPath(dev)), expected);
    QVERIFY2(t.elapsed() < maxMs, QByteArray::number(t.elapsed()).constData());
    QCOMPARE(rack.requests(dev).size(), 1);
}

// How the reply of the frame mode relates to the classic one.
enum FrameEnd {
    SameAsSilence,   // fell back to the silence rule: the very same bytes
    EndsAtFrame,     // the classic reply without the bytes that came after the frame
    EitherOfThem,    // bytes right after the frame may or may not share its read
};

void TestSerialExchange::frameEndOnTheRack_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<SimFault>("fault");
    QTest::addColumn<int>("frameEnd");
    QTest::addColumn<QString>("expected");
    const QString dose = rackResult("get_des_val", "0.000123000");
    const QString noDose = rackResult("get_des_val", "", QStringLiteral("ошибка чтения ЭД гамма"));
    QByteArray records;
    for (const QByteArray &r : SimRack::makeHistory(3))
        records += r;
    const QString history = rackResult("history_all", QString::fromLatin1(records.toHex()));
    // Six bytes 60 ms after the reply: the silence rule takes them in, an
    // exchange that ended at the frame does not.
    auto late = [](const SimFault &f) { return f.withTrailing(6, 60); };
    auto row = [](const char *name, const char *command, int code, const SimFault &fault, FrameEnd end,
                  const QString &expected) {
        QTest::newRow(name) << QString::fromLatin1(command) << code << fault << int(end) << expected;
    };
    row("clean frame", "Get_des_val", 0x4F, late(SimFault()), EndsAtFrame, dose);
    row("chunks 50 ms apart", "Get_des_val", 0x4F, late(SimFault::chunks(8, 50)), EndsAtFrame, dose);
    row("history block in chunks 50 ms apart", "Get_history_all", 0x57, late(SimFault::chunks(16, 50)), EndsAtFrame,
        history);
    row("wrong CRC", "Get_des_val", 0x4F, late(SimFault::wrongCrc()), SameAsSilence, dose);
    row("length one too large", "Get_des_val", 0x4F, late(SimFault::wrongLength(1)), SameAsSilence, dose);
    row("length one too small", "Get_des_val", 0x4F, late(SimFault::wrongLength(-1)), SameAsSilence, dose);
    row("length beyond the size cap", "Get_des_val", 0x4F, late(SimFault::wrongLength(65000)), SameAsSilence, dose);
    row("cut inside the frame", "Get_des_val", 0x4F, late(SimFault::cut(13)), SameAsSilence, noDose);
    row("wrong CRC in chunks", "Get_history_all", 0x57, late(SimFault::wrongCrc().withChunks(16, 50)),
        SameAsSilence, history);
    row("bytes right after the frame", "Get_des_val", 0x4F, SimFault::trailing(6), EitherOfThem, dose);
    row("a whole second frame right after", "Get_des_val", 0x4F, SimFault::trailing(22), EitherOfThem, dose);
    row("a 150 ms pause cuts in both modes", "Get_des_val", 0x4F, SimFault::chunks(14, 150), SameAsSilence, noDose);
    row("silent", "Get_des_val", 0x4F, SimFault::silence(), SameAsSilence,
        rackResult("get_des_val", "", QStringLiteral("ошибка чтения ЭД гамма")));
}

void TestSerialExchange::frameEndOnTheRack()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(SimFault, fault);
    QFETCH(int, frameEnd);
    QFETCH(QString, expected);
    SimRack rack(m_dir->filePath(QStringLiteral("rack")));
    G_ports_dkg = makePortList(rack.portBase());
    const int dev = rack.insert(1, rackDosimeter(), 0);
    const QString port = rack.portPath(dev);
    const QByteArray request = frame::build(12345, quint8(code), code == 0x57 ? frame::uint16Bytes(0) : QByteArray());
    const QByteArray identityReply = simframe::build(12345, 0x01, QByteArray(1, char(SimGammaNeutron)));

    struct Run {
        QByteArray reply;     // one exchange with the injection
        QByteArray next;      // the exchange after it, without one
        QString result;       // the whole command, with the injection
    };
    auto run = [&](ReplyEnd mode) {
        G_reply_end = mode;
        rack.setFault(dev, code, fault);   // counts from the start again
        Run r;
        r.reply = Compport(port, request);
        QTest::qWait(250);                // whatever comes late reaches the line
        r.next = Compport(port, frame::identity());
        r.result = rackCommands().value(command)(port);
        QTest::qWait(250);
        return r;
    };
    const Run silence = run(ReplyEnd::Silence);
    const Run framed = run(ReplyEnd::Frame);

    QCOMPARE(silence.result, expected);
    QCOMPARE(framed.result, silence.result);
    // Late bytes were dropped before the next request in both modes.
    QCOMPARE(silence.next.toHex(' '), identityReply.toHex(' '));
    QCOMPARE(framed.next.toHex(' '), identityReply.toHex(' '));
    const int frameSize = int(frame::uint16At(silence.reply, 2)) + 4;
    switch (frameEnd) {
    case SameAsSilence:
        QCOMPARE(framed.reply.toHex(' '), silence.reply.toHex(' '));
        break;
    case EndsAtFrame:
        QVERIFY(silence.reply.size() > frameSize);
        QVERIFY(frame::isComplete(silence.reply.left(frameSize)));
        QCOMPARE(framed.reply.toHex(' '), silence.reply.left(frameSize).toHex(' '));
        break;
    default:
        QVERIFY(framed.reply == silence.reply || framed.reply == silence.reply.left(frameSize));
    }
}

// In the frame mode a whole frame that does not answer the request (another
// command code or dosimeter number: a late copy of an earlier reply) is
// dropped and the exchange goes on; the silence rule keeps every byte.
void TestSerialExchange::foreignFrames_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("chunks");
    QTest::addColumn<QByteArray>("framed");     // what the frame mode returns
    QTest::addColumn<bool>("endsAtFrame");      // without waiting for the silence
    const QByteArray request = frame::build(12345, 0x17);
    const QByteArray rate = frame::build(12345, 0x17, frame::float32Bytes(1.5f));
    const QByteArray dose = frame::build(12345, 0x4F, frame::float64Bytes(2.5));
    const QByteArray stranger = frame::build(777, 0x17, frame::float32Bytes(9.0f));
    auto hex = [](const QByteArray &b) { return QString::fromLatin1(b.toHex()); };
    QTest::newRow("late copy, then the reply") << request << "0:" + hex(dose) + ",5:" + hex(rate) << rate << true;
    QTest::newRow("late copy and the reply in one piece") << request << "0:" + hex(dose + rate) << rate << true;
    QTest::newRow("late copy split across the reply's start")
        << request << "0:" + hex(dose.left(9)) + ",5:" + hex(dose.mid(9) + rate) << rate << true;
    QTest::newRow("two late copies") << request << "0:" + hex(dose + dose) + ",5:" + hex(rate) << rate << true;
    QTest::newRow("another dosimeter's frame") << request << "0:" + hex(stranger) + ",5:" + hex(rate) << rate << true;
    QTest::newRow("only a frame of another command") << request << "0:" + hex(dose) << QByteArray() << false;
    QTest::newRow("identity read takes any number")
        << frame::identity() << "0:" + hex(frame::build(777, 0x01, QByteArray(1, '\x01')))
        << frame::build(777, 0x01, QByteArray(1, '\x01')) << true;
    QTest::newRow("bytes that are no frame stay") << request << "0:00" + hex(rate) << QByteArray(1, 0) + rate << false;
}

void TestSerialExchange::foreignFrames()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, chunks);
    QFETCH(QByteArray, framed);
    QFETCH(bool, endsAtFrame);
    const QList<Chunk> script = parseChunks(chunks);
    m_device->setScript([script](const QByteArray &) { return script; });
    QByteArray all;
    for (const Chunk &c : script)
        all += c.bytes;

    G_reply_end = ReplyEnd::Silence;
    QCOMPARE(Compport(port(0), request).toHex(' '), all.toHex(' '));
    G_reply_end = ReplyEnd::Frame;
    QElapsedTimer t;
    t.start();
    QCOMPARE(Compport(port(0), request).toHex(' '), framed.toHex(' '));
    if (endsAtFrame)
        QVERIFY2(t.elapsed() < kExchangeSilenceMs, QByteArray::number(t.elapsed()).constData());
    else
        QVERIFY2(t.elapsed() >= kExchangeSilenceMs, QByteArray::number(t.elapsed()).constData());
}

void TestSerialExchange::numberOverTcp()
{
    SimRack rack(m_dir->filePath(QStringLiteral("rack")));
    QCOMPARE(rack.insert(1, 12345, 2), 2);
    const QString ram = m_dir->filePath(QStringLiteral("ram"));
    QVERIFY(QDir().mkpath(ram));
    const quint16 tcp = freeTcpPort();
    writeSettings(m_dir->filePath(QStringLiteral("settings.ini")),
                  {QStringLiteral("Path_RAM=") + ram, QStringLiteral("port_base=") + rack.portBase(),
                   QStringLiteral("tcp_port=") + QString::number(tcp)});
    ServerProcess server(m_dir->path(), tcp,
                         {QStringLiteral("PATH=") + SimRack::udevadmDir() + QLatin1Char(':') + qEnvironmentVariable("PATH")});
    QVERIFY2(server.waitReady(60000), server.log().constData());
    const QByteArray noAnswer =
        QStringLiteral("{\"nomer_pdd\": \"\",\"error\":\"ошибка чтения номера дозиметра. Нет доступа\"}").toUtf8();
    const QList<QPair<QString, QByteArray>> cases{
        {rack.portPath(2), QByteArray("{\"nomer_pdd\": \"12345\",\"error\":\"\"}")},
        {rack.portPath(3), noAnswer},          // a listed device that is not there
        {rack.folder() + QStringLiteral("/.udev/ttyACM2"), noAnswer},   // not a rack device
    };
    for (const auto &c : cases) {
        rack.clearRequests(2);
        const QByteArray request = "{\"command\":\"Get_Nomer_PPD\",\"port\":\"" + c.first.toUtf8() + "\"}";
        QCOMPARE(sendRequest(tcp, request), c.second);
        const QList<QByteArray> sent = rack.requests(2);
        if (c.first == rack.portPath(2)) {
            QCOMPARE(sent.size(), 1);
            QCOMPARE(sent.first().toHex(' '), QByteArray("14 05 0a 00 55 00 00 00 00 01 01 00 3f a0"));
        } else {
            QVERIFY(sent.isEmpty());
        }
    }
}

QTEST_GUILESS_MAIN(TestSerialExchange)
#include "tst_serial_exchange.moc"
