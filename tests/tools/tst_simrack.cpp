// The simulated rack seen from outside: frames and CRC, a QSerialPort client
// talking to virtual dosimeters, failure injection, device removal.

#include "simrack.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

struct Exchange {
    QByteArray reply;
    QList<qint64> arrivals;   // ms after the request was written, per read
    bool opened = false;
};

// A client as the controller is one: open, write, collect until quietMs of
// silence (or maxMs in all), close.
Exchange talk(const QString &path, const QList<QByteArray> &pieces, int pieceGapMs = 0, int quietMs = 100,
              int maxMs = 3000)
{
    Exchange ex;
    QSerialPort port(path);
    port.setBaudRate(115200);
    if (!port.open(QIODevice::ReadWrite))
        return ex;
    ex.opened = true;
    for (int i = 0; i < pieces.size(); ++i) {
        if (i > 0 && pieceGapMs > 0)
            QThread::msleep(pieceGapMs);
        port.write(pieces.at(i));
        port.waitForBytesWritten(1000);
    }
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < maxMs && port.waitForReadyRead(quietMs)) {
        ex.reply += port.readAll();
        ex.arrivals << t.elapsed();
    }
    return ex;
}

Exchange talk(const QString &path, const QByteArray &frame, int quietMs = 100)
{
    return talk(path, QList<QByteArray>{frame}, 0, quietMs);
}

quint8 byteAt(const QByteArray &b, int i)
{
    return i < b.size() ? static_cast<quint8>(b.at(i)) : 0;
}

// Checks the reply frame's own consistency: start, marker, length field, CRC.
void checkReplyFrame(const QByteArray &reply)
{
    QVERIFY2(reply.size() >= 14, reply.toHex().constData());
    QCOMPARE(reply.left(2), hex("1405"));
    QCOMPARE(byteAt(reply, 4), quint8(0x55));
    QCOMPARE(byteAt(reply, 2) | (byteAt(reply, 3) << 8), reply.size() - 4);
    const quint16 crc = simframe::crc16x25(reply.left(reply.size() - 2));
    QCOMPARE(byteAt(reply, reply.size() - 2), quint8(crc & 0xFF));
    QCOMPARE(byteAt(reply, reply.size() - 1), quint8(crc >> 8));
}

QString fieldText(const SimDosimeter &s, const QString &field)
{
    if (field == QLatin1String("userId")) return QString::fromLatin1(s.userId.toHex());
    if (field == QLatin1String("userOrder")) return QString::fromLatin1(s.userOrder.toHex());
    if (field == QLatin1String("userName")) return QString::fromLatin1(s.userName.toHex());
    if (field == QLatin1String("gammaDose")) return QString::number(s.gammaDose);
    if (field == QLatin1String("neutronDose")) return QString::number(s.neutronDose);
    if (field == QLatin1String("gammaMax")) return QStringLiteral("%1/%2").arg(s.gammaMaxRate).arg(s.gammaMaxTime);
    if (field == QLatin1String("neutronMax")) return QStringLiteral("%1/%2").arg(s.neutronMaxRate).arg(s.neutronMaxTime);
    if (field == QLatin1String("de1")) return QString::number(s.de1);
    if (field == QLatin1String("de2")) return QString::number(s.de2);
    if (field == QLatin1String("nde1")) return QString::number(s.nde1);
    if (field == QLatin1String("nde2")) return QString::number(s.nde2);
    if (field == QLatin1String("der1")) return QString::number(double(s.der1), 'g', 9);
    if (field == QLatin1String("der2")) return QString::number(double(s.der2), 'g', 9);
    if (field == QLatin1String("nder1")) return QString::number(double(s.nder1), 'g', 9);
    if (field == QLatin1String("nder2")) return QString::number(double(s.nder2), 'g', 9);
    if (field == QLatin1String("mode")) return QString::number(s.mode);
    if (field == QLatin1String("ack")) return s.configAcknowledged ? QStringLiteral("1") : QStringLiteral("0");
    return QStringLiteral("?") + field;
}

// A dosimeter with something in every field.
SimDosimeter sample()
{
    SimDosimeter s;
    s.number = 12345;
    s.detectorType = SimGammaNeutron;
    s.userId = "AB12";
    s.userOrder = hex("d6c5d52035");
    s.userName = hex("c8c2c0cdcec2");
    s.gammaDose = 1.5;
    s.neutronDose = 0.25;
    s.gammaMaxRate = 1.0f;
    s.neutronMaxRate = 2.5f;
    s.gammaMaxTime = 3600;
    s.neutronMaxTime = -5;
    s.de1 = 7;
    s.mode = 0;
    s.configAcknowledged = true;
    s.history = SimRack::makeHistory(3);
    return s;
}

} // namespace

class TestSimRack : public QObject
{
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void frameLayout_data();
    void frameLayout();
    void parse_data();
    void parse();
    void userText_data();
    void userText();
    void reads_data();
    void reads();
    void writes_data();
    void writes();
    void historyBlocks_data();
    void historyBlocks();
    void framing_data();
    void framing();
    void faults_data();
    void faults();
    void frameInjections_data();
    void frameInjections();
    void replyDelay();
    void endlessStream();
    void devicesAndLinks();
    void lateReplyStaysInLine();
    void cookedLineIsMadeRawAgain();
};

void TestSimRack::crc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value") << QByteArray("123456789") << 0x906E;
    QTest::newRow("identity read") << hex("14050a005500000000010100") << 0xA03F;
    QTest::newRow("empty") << QByteArray() << 0x0000;
}

void TestSimRack::crc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int(simframe::crc16x25(bytes)), crc);
}

void TestSimRack::frameLayout_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");   // without CRC unless complete
    QTest::newRow("identity") << 0 << 0x01 << QByteArray() << hex("14050a0055000000000101003fa0");
    QTest::newRow("8 data bytes") << 12345 << 0x09 << hex("000000000000f83f")
                                  << hex("140512005539300000010908000000000000f83f");
    QTest::newRow("4 data bytes") << -1 << 0x12 << hex("cdcccc3d") << hex("14050e0055ffffffff011204cdcccc3d");
    QTest::newRow("2 data bytes") << 7 << 0x3A << hex("0100") << hex("14050c005507000000013a020100");
    QTest::newRow("text") << 7 << 0x46 << QByteArray("AB12") << hex("14050e00550700000001460441423132");
}

void TestSimRack::frameLayout()
{
    QFETCH(int, number);
    QFETCH(int, code);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    const QByteArray frame = simframe::build(number, quint8(code), data);
    QCOMPARE(frame.size(), 14 + data.size());
    QCOMPARE(frame.left(expected.size()).toHex(), expected.toHex());
    checkReplyFrame(frame);
}

void TestSimRack::parse_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("crcOk");
    const QByteArray id = hex("14050a0055000000000101003fa0");
    QByteArray badCrc = id;
    badCrc[13] = char(0xA1);
    QTest::newRow("whole") << id << 14 << true;
    QTest::newRow("whole plus next") << id + id.left(3) << 14 << true;
    QTest::newRow("wrong crc") << badCrc << 14 << false;
    QTest::newRow("first byte only") << id.left(1) << 0 << false;
    QTest::newRow("header only") << id.left(11) << 0 << false;
    QTest::newRow("one byte short") << id.left(13) << 0 << false;
    QTest::newRow("noise") << hex("00") + id << -1 << false;
    QTest::newRow("bad second byte") << hex("1406") << -1 << false;
    QTest::newRow("bad marker") << hex("14050a00560000000001010000") << -1 << false;
    QTest::newRow("length too small") << hex("1405090055000000000101003fa0") << -1 << false;
    QTest::newRow("length and data length disagree") << hex("14050b0055000000000101003fa000") << -1 << false;
}

void TestSimRack::parse()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, result);
    QFETCH(bool, crcOk);
    simframe::Frame fr;
    QCOMPARE(simframe::parse(buffer, &fr), result);
    if (result > 0) {
        QCOMPARE(fr.crcOk, crcOk);
        QCOMPARE(fr.raw, buffer.left(result));
        QCOMPARE(int(fr.code), 0x01);
        QCOMPARE(fr.number, 0);
    }
}

void TestSimRack::userText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("readBack");
    QTest::newRow("work order") << QStringLiteral("цех 5") << hex("d6c5d52035") << QStringLiteral("ЦЕХ 5");
    QTest::newRow("yo") << QStringLiteral("ё") << hex("a8") << QStringLiteral("Ё");
    QTest::newRow("latin") << QStringLiteral("ab12") << QByteArray("AB12") << QStringLiteral("AB12");
    QTest::newRow("first and last letter") << QStringLiteral("аЯ") << hex("c0df") << QStringLiteral("АЯ");
    QTest::newRow("numero sign") << QStringLiteral("№1") << hex("e2849631")
                                 << QString::fromLatin1("\xe2\x84\x96" "1");
}

void TestSimRack::userText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, stored);
    QFETCH(QString, readBack);
    QCOMPARE(simtext::encodeUser(text).toHex(), stored.toHex());
    QCOMPARE(simtext::decodeUser(stored), readBack);
}

void TestSimRack::reads_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("fromByte11");   // reply bytes 11 .. end-3
    QTest::newRow("identity") << 0 << 0x01 << QByteArray() << hex("0103");
    QTest::newRow("identity by own number") << 12345 << 0x01 << QByteArray() << hex("0103");
    QTest::newRow("user id") << 12345 << 0x45 << QByteArray() << hex("04") + "AB12";
    QTest::newRow("work order") << 12345 << 0x49 << QByteArray() << hex("05d6c5d52035");
    QTest::newRow("gamma dose") << 12345 << 0x4F << QByteArray() << hex("08000000000000f83f");
    QTest::newRow("neutron dose") << 12345 << 0xAF << QByteArray() << hex("08000000000000d03f");
    QTest::newRow("gamma max rate") << 12345 << 0x17 << QByteArray() << hex("040000803f");
    QTest::newRow("neutron max rate") << 12345 << 0xA7 << QByteArray() << hex("0400002040");
    QTest::newRow("gamma max time") << 12345 << 0x19 << QByteArray() << hex("04100e0000");
    QTest::newRow("neutron max time") << 12345 << 0xA9 << QByteArray() << hex("04fbffffff");
    QTest::newRow("event count") << 12345 << 0x30 << QByteArray() << hex("020300");
    QTest::newRow("empty block") << 12345 << 0x57 << hex("0100") << hex("000100");
    QTest::newRow("unknown code") << 12345 << 0x99 << QByteArray() << hex("01fe");
}

void TestSimRack::reads()
{
    QFETCH(int, number);
    QFETCH(int, code);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, fromByte11);
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(4, sample());
    QCOMPARE(dev, 0);
    const Exchange ex = talk(rack.portPath(dev), simframe::build(number, quint8(code), data));
    QVERIFY(ex.opened);
    checkReplyFrame(ex.reply);
    QCOMPARE(ex.reply.mid(5, 4).toHex(), QByteArray("39300000"));   // the own number, 12345
    QCOMPARE(int(byteAt(ex.reply, 9)), 0x01);
    QCOMPARE(int(byteAt(ex.reply, 10)), code);
    QCOMPARE(ex.reply.mid(11, ex.reply.size() - 13).toHex(), fromByte11.toHex());
    QCOMPARE(rack.requests(dev), QList<QByteArray>{simframe::build(number, quint8(code), data)});
}

void TestSimRack::writes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::newRow("user id") << 0x46 << QByteArray("X7") << 0 << "userId" << "5837";
    QTest::newRow("work order") << 0x4A << hex("d6c5d52035") << 0 << "userOrder" << "d6c5d52035";
    QTest::newRow("name") << 0x44 << QByteArray() << 0 << "userName" << "";
    QTest::newRow("reset gamma dose") << 0x59 << QByteArray() << 0 << "gammaDose" << "0";
    QTest::newRow("reset neutron dose") << 0xB4 << QByteArray() << 0 << "neutronDose" << "0";
    QTest::newRow("reset gamma max") << 0x18 << QByteArray() << 0 << "gammaMax" << "0/0";
    QTest::newRow("reset neutron max") << 0xA8 << QByteArray() << 0 << "neutronMax" << "0/0";
    QTest::newRow("de1 1.5") << 0x09 << hex("000000000000f83f") << 0 << "de1" << "1.5";
    QTest::newRow("de2") << 0x0C << hex("0000000000000040") << 0 << "de2" << "2";
    QTest::newRow("nde1") << 0xB9 << hex("0000000000000840") << 0 << "nde1" << "3";
    QTest::newRow("nde2") << 0xBC << hex("0000000000001040") << 0 << "nde2" << "4";
    QTest::newRow("der1 0.1") << 0x12 << hex("cdcccc3d") << 0 << "der1" << "0.100000001";
    QTest::newRow("der2") << 0x15 << hex("0000a03f") << 0 << "der2" << "1.25";
    QTest::newRow("nder1") << 0xA2 << hex("00002040") << 0 << "nder1" << "2.5";
    QTest::newRow("nder2") << 0xA5 << hex("00004040") << 0 << "nder2" << "3";
    QTest::newRow("service mode") << 0x3A << hex("0100") << 0 << "mode" << "1";
    QTest::newRow("write clears ack") << 0x3A << hex("0000") << 0 << "ack" << "0";
    QTest::newRow("de1 with 4 bytes refused") << 0x09 << hex("0000c03f") << 2 << "de1" << "7";
    QTest::newRow("mode with 1 byte refused") << 0x3A << hex("01") << 2 << "mode" << "0";
    QTest::newRow("refusal keeps ack") << 0x3A << hex("01") << 2 << "ack" << "1";
}

void TestSimRack::writes()
{
    QFETCH(int, code);
    QFETCH(QByteArray, data);
    QFETCH(int, status);
    QFETCH(QString, field);
    QFETCH(QString, value);
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(1, sample());
    const Exchange ex = talk(rack.portPath(dev), simframe::build(12345, quint8(code), data));
    checkReplyFrame(ex.reply);
    QCOMPARE(ex.reply.size(), 15);
    QCOMPARE(int(byteAt(ex.reply, 11)), 1);
    QCOMPARE(int(byteAt(ex.reply, 12)), status);
    QCOMPARE(fieldText(rack.state(dev), field), value);
}

void TestSimRack::historyBlocks_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("block");
    QTest::addColumn<int>("records");
    QTest::newRow("no events") << 0 << 0 << 0;
    QTest::newRow("126 events") << 126 << 0 << 126;
    QTest::newRow("127 events, block 0") << 127 << 0 << 127;
    QTest::newRow("127 events, block 1") << 127 << 1 << 0;
    QTest::newRow("300 events, block 1") << 300 << 1 << 127;
    QTest::newRow("300 events, block 2") << 300 << 2 << 46;
    QTest::newRow("300 events, block 3") << 300 << 3 << 0;
    QTest::newRow("40000 events, last block") << 40000 << 314 << 122;
}

void TestSimRack::historyBlocks()
{
    QFETCH(int, count);
    QFETCH(int, block);
    QFETCH(int, records);
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(1, 77);
    const QList<QByteArray> history = SimRack::makeHistory(count);
    QVERIFY(rack.setHistory(dev, history));

    Exchange ex = talk(rack.portPath(dev), simframe::build(77, 0x30));
    QCOMPARE(ex.reply.mid(11, 3).toHex(),
             (hex("02") + QByteArray(1, char(count & 0xFF)) + QByteArray(1, char(count >> 8))).toHex());

    ex = talk(rack.portPath(dev), simframe::build(77, 0x57, simframe::le16(quint16(block))));
    checkReplyFrame(ex.reply);
    QCOMPARE(ex.reply.size(), 16 + 16 * records);
    QCOMPARE(int(byteAt(ex.reply, 11)), records);
    QCOMPARE(int(byteAt(ex.reply, 12) | (byteAt(ex.reply, 13) << 8)), block);
    QByteArray expected;
    for (int i = 0; i < records; ++i)
        expected += history.at(block * 127 + i);
    QCOMPARE(ex.reply.mid(14, 16 * records), expected);
    if (records == 127)
        QCOMPARE(ex.reply.size(), 2048);
}

void TestSimRack::framing_data()
{
    const QByteArray idFrame = hex("14050a0055000000000101003fa0");
    const QByteArray own = simframe::build(500, 0x30);
    QByteArray badCrc = idFrame;
    badCrc[12] = char(0x3E);
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("replies");
    QTest::addColumn<int>("recorded");
    QTest::addColumn<int>("bad");
    QTest::newRow("whole") << QList<QByteArray>{idFrame} << 1 << 1 << 0;
    QTest::newRow("wrong crc") << QList<QByteArray>{badCrc} << 0 << 0 << 1;
    QTest::newRow("in three pieces") << QList<QByteArray>{idFrame.left(3), idFrame.mid(3, 6), idFrame.mid(9)} << 1
                                     << 1 << 0;
    QTest::newRow("byte by byte") << [&] {
        QList<QByteArray> l;
        for (char c : own)
            l << QByteArray(1, c);
        return l;
    }() << 1 << 1 << 0;
    QTest::newRow("noise first") << QList<QByteArray>{hex("00ff14"), idFrame} << 1 << 1 << 0;
    QTest::newRow("two frames at once") << QList<QByteArray>{idFrame + own} << 2 << 2 << 0;
    QTest::newRow("bad then good") << QList<QByteArray>{badCrc + idFrame} << 1 << 1 << 1;
    QTest::newRow("torn frame then whole") << QList<QByteArray>{own.left(7), own} << 1 << 1 << 0;
    QTest::newRow("another number") << QList<QByteArray>{simframe::build(501, 0x30)} << 0 << 1 << 0;
}

void TestSimRack::framing()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, replies);
    QFETCH(int, recorded);
    QFETCH(int, bad);
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(2, 500);
    const Exchange ex = talk(rack.portPath(dev), pieces, 20);
    int frames = 0;
    QByteArray rest = ex.reply;
    simframe::Frame fr;
    int n;
    while ((n = simframe::parse(rest, &fr)) > 0) {
        QVERIFY(fr.crcOk);
        QCOMPARE(fr.number, 500);
        ++frames;
        rest.remove(0, n);
    }
    QVERIFY2(rest.isEmpty(), rest.toHex().constData());
    QCOMPARE(frames, replies);
    QCOMPARE(rack.requests(dev).size(), recorded);
    QCOMPARE(rack.badFrames(dev).size(), bad);
}

Q_DECLARE_METATYPE(SimFault)

void TestSimRack::faults_data()
{
    QTest::addColumn<int>("faultCode");
    QTest::addColumn<SimFault>("fault");
    QTest::addColumn<int>("code");
    QTest::addColumn<QList<int>>("lengths");    // reply length of three requests in a row
    QTest::addColumn<int>("minFirstMs");       // first byte not before this
    QTest::addColumn<double>("doseAfter");     // gamma dose after the three requests

    const int All = SimRack::AllCodes;
    // 0x4F reads the dose (22 bytes); 0x59 resets it (15 bytes).
    QTest::newRow("none") << All << SimFault() << 0x59 << QList<int>{15, 15, 15} << 0 << 0.0;
    QTest::newRow("silent") << All << SimFault::silence() << 0x59 << QList<int>{0, 0, 0} << 0 << 4.0;
    QTest::newRow("silent other code") << 0x4F << SimFault::silence() << 0x59 << QList<int>{15, 15, 15} << 0 << 0.0;
    QTest::newRow("refused") << 0x59 << SimFault::refuse() << 0x59 << QList<int>{15, 15, 15} << 0 << 4.0;
    QTest::newRow("cut to 13") << 0x4F << SimFault::cut(13) << 0x4F << QList<int>{13, 13, 13} << 0 << 4.0;
    QTest::newRow("cut to 1") << All << SimFault::cut(1) << 0x59 << QList<int>{1, 1, 1} << 0 << 0.0;
    QTest::newRow("chunks 50 ms apart") << All << SimFault::chunks(8, 50) << 0x4F << QList<int>{22, 22, 22} << 0
                                        << 4.0;
    // The second half comes after the client gave up and waits in the line
    // for the next client, in front of that client's reply.
    QTest::newRow("chunks 200 ms apart") << All << SimFault::chunks(11, 200) << 0x4F << QList<int>{11, 22, 22} << 0
                                         << 4.0;
    QTest::newRow("delay") << All << SimFault::delay(60) << 0x4F << QList<int>{22, 22, 22} << 60 << 4.0;
    QTest::newRow("only the second") << All << SimFault::silence().after(1).times(1) << 0x4F
                                     << QList<int>{22, 0, 22} << 0 << 4.0;
    QTest::newRow("first two") << 0x4F << SimFault::cut(3).times(2) << 0x4F << QList<int>{3, 3, 22} << 0 << 4.0;
}

void TestSimRack::faults()
{
    QFETCH(int, faultCode);
    QFETCH(SimFault, fault);
    QFETCH(int, code);
    QFETCH(QList<int>, lengths);
    QFETCH(int, minFirstMs);
    QFETCH(double, doseAfter);
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(1, 9);
    rack.setDoses(dev, 4.0);
    rack.setFault(dev, faultCode, fault);
    for (int i = 0; i < lengths.size(); ++i) {
        const Exchange ex = talk(rack.portPath(dev), simframe::build(9, quint8(code)));
        QCOMPARE(ex.reply.size(), lengths.at(i));
        if (!ex.arrivals.isEmpty())
            QVERIFY2(ex.arrivals.first() >= minFirstMs - 5, QByteArray::number(ex.arrivals.first()).constData());
        if (fault.chunkSize > 0 && fault.chunkPauseMs < 100) {
            // Pieces came one by one, with the pauses between them.
            QVERIFY(ex.arrivals.size() >= 2);
            QVERIFY(ex.arrivals.last() >= 2 * fault.chunkPauseMs - 5);   // clocks tick in whole ms
        }
        if (fault.chunkPauseMs >= 100)
            QThread::msleep(fault.chunkPauseMs + 50);   // let the late half reach the line
        if (ex.reply.size() >= 13 && fault.refusal)
            QCOMPARE(int(byteAt(ex.reply, 12)), int(fault.refusal));
    }
    QCOMPARE(rack.state(dev).gammaDose, doseAfter);
    QCOMPARE(rack.requests(dev).size(), lengths.size());
    rack.clearFaults(dev);
    QThread::msleep(200);   // a late half reply may still be on its way
    const QByteArray healthy = talk(rack.portPath(dev), simframe::build(9, 0x4F)).reply;
    QVERIFY2(healthy.endsWith(simframe::build(9, 0x4F, simframe::leDouble(doseAfter))), healthy.toHex().constData());
}

void TestSimRack::frameInjections_data()
{
    QTest::addColumn<SimFault>("fault");
    QTest::addColumn<int>("size");          // bytes received in all
    QTest::addColumn<int>("lengthField");   // the reply's length field
    QTest::addColumn<bool>("crcFits");      // CRC fits the first lengthField + 4 bytes (or all)
    QTest::addColumn<int>("gapAtLeastMs");  // pause between frame and trailing bytes
    // 0x4F: a 22-byte dose reply with length field 18.
    QTest::newRow("wrong CRC") << SimFault::wrongCrc() << 22 << 18 << false << 0;
    QTest::newRow("length 3 too large") << SimFault::wrongLength(3) << 22 << 21 << true << 0;
    QTest::newRow("length 1 too small") << SimFault::wrongLength(-1) << 22 << 17 << false << 0;
    QTest::newRow("5 bytes after the frame") << SimFault::trailing(5) << 27 << 18 << true << 0;
    QTest::newRow("a second copy 60 ms later") << SimFault::trailing(22, 60) << 44 << 18 << true << 60;
    QTest::newRow("chunks with trailing bytes") << SimFault::chunks(8, 30).withTrailing(3, 30) << 25 << 18 << true
                                                << 30;
}

void TestSimRack::frameInjections()
{
    QFETCH(SimFault, fault);
    QFETCH(int, size);
    QFETCH(int, lengthField);
    QFETCH(bool, crcFits);
    QFETCH(int, gapAtLeastMs);
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(1, 9);
    rack.setDoses(dev, 4.0);
    rack.setFault(dev, 0x4F, fault);
    const Exchange ex = talk(rack.portPath(dev), simframe::build(9, 0x4F));
    const QByteArray clean = simframe::build(9, 0x4F, simframe::leDouble(4.0));
    QCOMPARE(ex.reply.size(), size);
    QCOMPARE(byteAt(ex.reply, 2) | (byteAt(ex.reply, 3) << 8), lengthField);
    // Everything but the length field and the CRC is the clean reply.
    QCOMPARE(ex.reply.mid(4, 16), clean.mid(4, 16));
    const QByteArray frame = ex.reply.left(qMin(ex.reply.size(), lengthField + 4));
    const quint16 crc = simframe::crc16x25(frame.left(frame.size() - 2));
    QCOMPARE(byteAt(frame, frame.size() - 2) == (crc & 0xFF) && byteAt(frame, frame.size() - 1) == (crc >> 8),
             crcFits);
    if (size > 22) {
        // The bytes after the frame repeat the reply from its start.
        QByteArray repeated;
        while (repeated.size() < size - 22)
            repeated += clean;
        QCOMPARE(ex.reply.mid(22), repeated.left(size - 22));
        QCOMPARE(rack.bytesSent(dev), qint64(size));
    }
    if (gapAtLeastMs > 0) {
        QVERIFY(ex.arrivals.size() >= 2);
        QVERIFY2(ex.arrivals.last() - ex.arrivals.at(ex.arrivals.size() - 2) >= gapAtLeastMs - 5,
                 QByteArray::number(ex.arrivals.last()).constData());
    }
    QCOMPARE(rack.state(dev).gammaDose, 4.0);
}

void TestSimRack::replyDelay()
{
    QTemporaryDir dir;
    SimRack rack(dir.path());
    QCOMPARE(rack.replyDelay(), SimRack::kDefaultReplyDelayMs);
    const int dev = rack.insert(1, 9);
    for (int delay : {0, 80}) {
        rack.setReplyDelay(delay);
        rack.clearRequests(dev);
        QElapsedTimer t;
        t.start();
        const Exchange ex = talk(rack.portPath(dev), simframe::build(9, 0x59));
        QCOMPARE(ex.reply.size(), 15);
        QCOMPARE(rack.bytesSent(dev), qint64(15));
        QVERIFY(!ex.arrivals.isEmpty());
        // Counted from the end of the write: the delay is a floor.
        QVERIFY2(ex.arrivals.first() >= delay - 5, QByteArray::number(ex.arrivals.first()).constData());
    }
}

void TestSimRack::endlessStream()
{
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(1, 9);
    rack.setFault(dev, 0x4F, SimFault::stream(64, 10));
    QSerialPort port(rack.portPath(dev));
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.write(simframe::build(9, 0x4F));
    QElapsedTimer t;
    t.start();
    QByteArray got;
    while (t.elapsed() < 400 && port.waitForReadyRead(100))
        got += port.readAll();
    // Never silent for 100 ms: the loop ran into its 400 ms limit.
    QVERIFY2(t.elapsed() >= 400, QByteArray::number(t.elapsed()).constData());
    QVERIFY2(got.size() > 22 * 10, QByteArray::number(got.size()).constData());
    QCOMPARE(got.left(22), simframe::build(9, 0x4F, simframe::leDouble(0)));
    QCOMPARE(got.mid(22, 22), got.left(22));

    // A request for another code ends the stream: its reply is the last thing
    // that arrives.
    auto drain = [&port](QElapsedTimer *timer) {
        QByteArray bytes;
        timer->start();
        while (timer->elapsed() < 2000 && port.waitForReadyRead(150))
            bytes += port.readAll();
        return bytes;
    };
    port.write(simframe::build(9, 0x30));
    got = drain(&t);
    QVERIFY2(t.elapsed() < 2000, "the stream did not stop");
    QVERIFY(got.endsWith(simframe::build(9, 0x30, simframe::le16(0))));

    // Clearing the fault ends a stream too.
    port.write(simframe::build(9, 0x4F));
    QVERIFY(port.waitForReadyRead(200));
    rack.clearFaults(dev);
    drain(&t);
    QVERIFY2(t.elapsed() < 2000, "the stream did not stop");
    QCOMPARE(rack.requests(dev).size(), 3);
}

void TestSimRack::devicesAndLinks()
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/rack");
    SimRack rack(folder);
    QCOMPARE(rack.portBase(), folder + QStringLiteral("/ttyACM"));
    QCOMPARE(rack.insert(5, 100), 0);
    QCOMPARE(rack.insert(6, 101), 1);
    QCOMPARE(rack.insert(7, 102, 4), 4);
    QCOMPARE(rack.insert(8, 103, 4), -1);           // device 4 is taken
    QVERIFY(!rack.lastError().isEmpty());
    QCOMPARE(rack.insert(0, 104), -1);              // positions start at 1
    QVERIFY(rack.remove(0));
    QCOMPARE(rack.insert(9, 105), 0);               // lowest free device again
    QCOMPARE(rack.devices(), (QList<int>{0, 1, 4}));
    QCOMPARE(rack.position(4), 7);
    QCOMPARE(rack.deviceAt(9), 0);
    QCOMPARE(rack.deviceOfNumber(101), 1);

    const QString link = rack.portPath(1);
    QVERIFY(QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo(link).symLinkTarget().startsWith(QStringLiteral("/dev/pts/")));
    QVERIFY(QFileInfo::exists(folder + QStringLiteral("/.udev/ttyACM1")));
    QCOMPARE(talk(link, simframe::build(0, 0x01)).reply.mid(5, 4).toHex(), QByteArray("65000000"));

    // A client holding the port when the dosimeter is pulled out.
    QSerialPort held(link);
    QVERIFY(held.open(QIODevice::ReadWrite));
    QVERIFY(rack.remove(1));
    QVERIFY(!rack.remove(1));
    QVERIFY(!QFileInfo(link).exists() && !QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/.udev/ttyACM1")));
    held.write(simframe::build(0, 0x01));
    held.waitForBytesWritten(100);
    QVERIFY(!held.waitForReadyRead(150));
    held.close();
    QVERIFY(!talk(link, simframe::build(0, 0x01)).opened);

    // Put back into the same device number: a fresh line that answers.
    QCOMPARE(rack.insert(6, 101, 1), 1);
    QCOMPARE(talk(link, simframe::build(0, 0x01)).reply.size(), 15);
    QCOMPARE(rack.requests(1).size(), 1);
    rack.clearRequests(1);
    QVERIFY(rack.requests(1).isEmpty());
    rack.removeAll();
    QVERIFY(rack.devices().isEmpty());
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList{});
}

void TestSimRack::lateReplyStaysInLine()
{
    // A reply that arrives after the client closed is waiting for the next
    // client: the rack does not flush the line on its own.
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(1, 9);
    rack.setFault(dev, 0x4F, SimFault::delay(200).times(1));
    QCOMPARE(talk(rack.portPath(dev), simframe::build(9, 0x4F)).reply.size(), 0);
    QThread::msleep(250);
    const Exchange ex = talk(rack.portPath(dev), simframe::build(9, 0x30));
    QCOMPARE(ex.reply.size(), 22 + 16);
    QCOMPARE(int(byteAt(ex.reply, 10)), 0x4F);
    QCOMPARE(int(byteAt(ex.reply, 22 + 10)), 0x30);
}

void TestSimRack::cookedLineIsMadeRawAgain()
{
    // A client that leaves the line cooked (echo, canonical input) would have
    // the line discipline echo and mangle the replies: the rack puts it back
    // into raw mode.
    QTemporaryDir dir;
    SimRack rack(dir.path());
    const int dev = rack.insert(1, 9);
    auto lineFlags = [&] {
        const int fd = ::open(QFile::encodeName(rack.portPath(dev)).constData(), O_RDWR | O_NOCTTY);
        termios tio;
        const bool ok = fd >= 0 && ::tcgetattr(fd, &tio) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok ? tio.c_lflag & (ECHO | ICANON) : tcflag_t(~0u);
    };
    QCOMPARE(lineFlags(), tcflag_t(0));   // raw before anyone opened it

    const int fd = ::open(QFile::encodeName(rack.portPath(dev)).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios tio;
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    tio.c_lflag |= ECHO | ICANON;
    tio.c_oflag |= OPOST;
    QCOMPARE(::tcsetattr(fd, TCSANOW, &tio), 0);
    ::close(fd);
    QTRY_COMPARE_WITH_TIMEOUT(lineFlags(), tcflag_t(0), 1000);

    const Exchange ex = talk(rack.portPath(dev), simframe::build(9, 0x30));
    QCOMPARE(ex.reply, simframe::build(9, 0x30, simframe::le16(0)));
    QCOMPARE(rack.requests(dev).size(), 1);
}

QTEST_GUILESS_MAIN(TestSimRack)
#include "tst_simrack.moc"
