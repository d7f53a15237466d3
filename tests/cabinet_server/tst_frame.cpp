// Frame layout, CRC, number and value parsing, reply access and the user-text
// byte rules, checked against byte arrays without a device.
#include "frame.h"
#include "textcodec.h"

#include <QtTest>

#include <limits>

class TestFrame : public QObject
{
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void identityFrame();
    void numberField_data();
    void numberField();
    void valueParsing_data();
    void valueParsing();
    void frameLength_data();
    void frameLength();
    void valueEncodings();
    void replyAccess_data();
    void replyAccess();
    void textEncode_data();
    void textEncode();
    void rawEncode_data();
    void rawEncode();
    void textDecode_data();
    void textDecode();
    void completeFrame_data();
    void completeFrame();
    void echo_data();
    void echo();
};

void TestFrame::crc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value") << QByteArray("123456789") << 0x906E;
    QTest::newRow("identity header") << QByteArray::fromHex("14050a00550000000001 0100") << 0xA03F;
    QTest::newRow("empty") << QByteArray() << 0x0000;
}

void TestFrame::crc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int(frame::crc16x25(bytes)), crc);
}

void TestFrame::identityFrame()
{
    QCOMPARE(frame::identity().toHex(' '), QByteArray("14 05 0a 00 55 00 00 00 00 01 01 00 3f a0"));
}

void TestFrame::numberField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("abc") << "abc" << QByteArray("00000000");
    QTest::newRow("-1") << "-1" << QByteArray("ffffffff");
    QTest::newRow("12345") << "12345" << QByteArray("39300000");
    QTest::newRow("empty") << "" << QByteArray("00000000");
    QTest::newRow("blanks around") << " 7 " << QByteArray("07000000");
    QTest::newRow("largest") << "2147483647" << QByteArray("ffffff7f");
    QTest::newRow("smallest") << "-2147483648" << QByteArray("00000080");
    QTest::newRow("too large") << "2147483648" << QByteArray("00000000");
    QTest::newRow("hex text") << "0x10" << QByteArray("00000000");
    QTest::newRow("decimal point") << "12.5" << QByteArray("00000000");
}

void TestFrame::numberField()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, field);
    const QByteArray f = frame::build(frame::parseNumber(text), 0x45);
    QCOMPARE(f.mid(5, 4).toHex(), field);
}

void TestFrame::valueParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("float64");
    QTest::addColumn<QByteArray>("float32");
    QTest::newRow("1.5") << "1.5" << QByteArray("000000000000f83f") << QByteArray("0000c03f");
    QTest::newRow("0.1") << "0.1" << QByteArray("9a9999999999b93f") << QByteArray("cdcccc3d");
    QTest::newRow("-2") << "-2" << QByteArray("00000000000000c0") << QByteArray("000000c0");
    QTest::newRow("abc") << "abc" << QByteArray("0000000000000000") << QByteArray("00000000");
    QTest::newRow("comma") << "1,5" << QByteArray("0000000000000000") << QByteArray("00000000");
    QTest::newRow("inf") << "inf" << QByteArray("0000000000000000") << QByteArray("00000000");
    QTest::newRow("-inf") << "-inf" << QByteArray("0000000000000000") << QByteArray("00000000");
    QTest::newRow("nan") << "nan" << QByteArray("0000000000000000") << QByteArray("00000000");
    QTest::newRow("1e400") << "1e400" << QByteArray("0000000000000000") << QByteArray("00000000");
    // Fits a double but not a float: single precision would make it infinite.
    QTest::newRow("1e39") << "1e39" << QByteArray("1d4a9cf487820748") << QByteArray("00000000");
}

void TestFrame::valueParsing()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, float64);
    QFETCH(QByteArray, float32);
    QCOMPARE(frame::float64Bytes(frame::parseDouble(text)).toHex(), float64);
    QCOMPARE(frame::float32Bytes(frame::parseFloat(text)).toHex(), float32);
}

void TestFrame::frameLength_data()
{
    QTest::addColumn<int>("dataBytes");
    QTest::addColumn<int>("frameSize");
    QTest::addColumn<QByteArray>("lengthField");
    QTest::newRow("no data") << 0 << 14 << QByteArray("0a00");
    QTest::newRow("2 bytes") << 2 << 16 << QByteArray("0c00");
    QTest::newRow("4 bytes") << 4 << 18 << QByteArray("0e00");
    QTest::newRow("8 bytes") << 8 << 22 << QByteArray("1200");
    QTest::newRow("60 bytes") << 60 << 74 << QByteArray("4600");
}

void TestFrame::frameLength()
{
    QFETCH(int, dataBytes);
    QFETCH(int, frameSize);
    QFETCH(QByteArray, lengthField);
    QByteArray data;
    for (int i = 0; i < dataBytes; ++i)
        data.append(char(0xA0 + i));
    const QByteArray f = frame::build(-1, 0x3A, data);
    QCOMPARE(f.size(), frameSize);
    QCOMPARE(f.left(2).toHex(), QByteArray("1405"));
    QCOMPARE(f.mid(2, 2).toHex(), lengthField);
    QCOMPARE(f.mid(4, 8).toHex(), QByteArray("55ffffffff013a") + QByteArray::number(dataBytes, 16).rightJustified(2, '0'));
    QCOMPARE(f.mid(12, dataBytes), data);
    // The CRC covers the rewritten length field.
    const quint16 crc = frame::crc16x25(f.left(frameSize - 2));
    QCOMPARE(quint8(f.at(frameSize - 2)), quint8(crc & 0xFF));
    QCOMPARE(quint8(f.at(frameSize - 1)), quint8(crc >> 8));
    if (dataBytes > 0) {
        QByteArray unrewritten = f.left(frameSize - 2);
        unrewritten[2] = 0x0A;
        QVERIFY(frame::crc16x25(unrewritten) != crc);
    }
}

void TestFrame::valueEncodings()
{
    QCOMPARE(frame::float32Bytes(0.1f).toHex(' '), QByteArray("cd cc cc 3d"));
    QCOMPARE(frame::uint16Bytes(0x1234).toHex(), QByteArray("3412"));
    QCOMPARE(frame::int32Bytes(-2).toHex(), QByteArray("feffffff"));
}

void TestFrame::replyAccess_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("byte12");
    QTest::addColumn<int>("uint16At12");
    QTest::addColumn<qint32>("int32At5");
    QTest::addColumn<qint32>("int32At12");
    QTest::addColumn<double>("float64At12");
    QTest::addColumn<double>("float32At12");
    QTest::newRow("empty") << QByteArray() << 0 << 0 << 0 << 0 << 0.0 << 0.0;
    QTest::newRow("6 bytes") << QByteArray::fromHex("1405000055ff") << 0 << 0 << 255 << 0 << 0.0 << 0.0;
    QTest::newRow("13 bytes") << QByteArray::fromHex("14050a0055ffffffff01190081") << 0x81 << 0x81 << -1 << 0x81
                              << 0.0 << 0.0;
    QTest::newRow("15 bytes, float32 incomplete")
        << QByteArray::fromHex("14050a00550000000001170400803f") << 0 << 0x8000 << 0 << 0x3f8000 << 0.0 << 0.0;
    QTest::newRow("16 bytes, float32 complete")
        << QByteArray::fromHex("14050a0055000000000117040000803f") << 0 << 0 << 0 << 0x3f800000 << 0.0 << 1.0;
    QTest::newRow("20 bytes, float64 complete")
        << QByteArray::fromHex("14050a0055000000000117080000000000000440") << 0 << 0 << 0 << 0 << 2.5 << 0.0;
}

void TestFrame::replyAccess()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, byte12);
    QFETCH(int, uint16At12);
    QFETCH(qint32, int32At5);
    QFETCH(qint32, int32At12);
    QFETCH(double, float64At12);
    QFETCH(double, float32At12);
    QCOMPARE(int(frame::byteAt(reply, 12)), byte12);
    QCOMPARE(int(frame::uint16At(reply, 12)), uint16At12);
    QCOMPARE(frame::int32At(reply, 5), int32At5);
    QCOMPARE(frame::int32At(reply, 12), int32At12);
    QCOMPARE(frame::float64At(reply, 12), float64At12);
    QCOMPARE(double(frame::float32At(reply, 12)), float32At12);
    QCOMPARE(int(frame::byteAt(reply, reply.size())), 0);
    QCOMPARE(int(frame::byteAt(reply, -1)), 0);
}

void TestFrame::textEncode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("prepared");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("work order") << QStringLiteral("цех 5") << QStringLiteral("ЦЕХ 5") << QByteArray("d6c5d52035");
    QTest::newRow("latin and digits") << "ab12" << "AB12" << QByteArray("41423132");
    QTest::newRow("yo") << QStringLiteral("ё") << QStringLiteral("Ё") << QByteArray("a8");
    QTest::newRow("capitals A..Ya")
        << QStringLiteral("абвгдежзийклмнопрст") << QStringLiteral("АБВГДЕЖЗИЙКЛМНОПРСТ")
        << QByteArray("c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2");
    QTest::newRow("capitals U..Ya") << QStringLiteral("УФХЦЧШЩЪЫЬЭЮЯ") << QStringLiteral("УФХЦЧШЩЪЫЬЭЮЯ")
                                    << QByteArray("d3d4d5d6d7d8d9dadbdcdddedf");
    QTest::newRow("numero sign") << QStringLiteral("№7") << QStringLiteral("№7") << QByteArray("e2849637");
    QTest::newRow("dropped U+0400") << QStringLiteral("А\u0400Б") << QStringLiteral("А\u0400Б")
                                    << QByteArray("c0c1");
    QTest::newRow("dropped U+0402..U+040F")
        << QStringLiteral("\u0402\u0403\u0404\u0405\u0406\u0407\u0408\u0409\u040a\u040b\u040c\u040d\u040e\u040fЯ")
        << QStringLiteral("\u0402\u0403\u0404\u0405\u0406\u0407\u0408\u0409\u040a\u040b\u040c\u040d\u040e\u040fЯ")
        << QByteArray("df");
    QTest::newRow("lower-case ђ becomes a dropped capital") << QStringLiteral("\u0452") << QStringLiteral("\u0402")
                                                            << QByteArray("");
    QTest::newRow("other scripts unchanged") << QStringLiteral("é\u0460") << QStringLiteral("É\u0460")
                                             << QByteArray("c389d1a0");
    QTest::newRow("21 characters cut to 20") << QStringLiteral("абвгдежзийклмнопрстуф")
                                            << QStringLiteral("АБВГДЕЖЗИЙКЛМНОПРСТУ")
                                            << QByteArray("c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3");
    QTest::newRow("22 characters cut to 20") << QStringLiteral("1234567890abcdefghijkl")
                                            << QStringLiteral("1234567890ABCDEFGHIJ")
                                            << QByteArray("31323334353637383930414243444546474849 4a");
    QTest::newRow("empty") << "" << "" << QByteArray("");
}

void TestFrame::textEncode()
{
    QFETCH(QString, text);
    QFETCH(QString, prepared);
    QFETCH(QByteArray, bytes);
    const QString p = textcodec::prepareUserText(text);
    QCOMPARE(p, prepared);
    QVERIFY(p.size() <= 20);
    QCOMPARE(textcodec::encodeUserText(p.toUtf8()).toHex(), QByteArray::fromHex(bytes).toHex());
}

void TestFrame::rawEncode_data()
{
    QTest::addColumn<QByteArray>("utf8");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("0xD0 as last byte") << QByteArray("41d0") << QByteArray("41");
    QTest::newRow("0xD0 alone") << QByteArray("d0") << QByteArray("");
    QTest::newRow("0xD0 before a blank") << QByteArray("d02041") << QByteArray("2041");
    QTest::newRow("0xD0 before an unknown byte") << QByteArray("d0b042") << QByteArray("42");
    QTest::newRow("NUL kept") << QByteArray("410042") << QByteArray("410042");
    QTest::newRow("0xD1 pairs unchanged") << QByteArray("d18f") << QByteArray("d18f");
}

void TestFrame::rawEncode()
{
    QFETCH(QByteArray, utf8);
    QFETCH(QByteArray, bytes);
    QCOMPARE(textcodec::encodeUserText(QByteArray::fromHex(utf8)).toHex(), bytes);
}

void TestFrame::textDecode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("work order") << QByteArray("d6c5d52035") << QStringLiteral("ЦЕХ 5");
    QTest::newRow("A and Ya") << QByteArray("c0dfa8") << QStringLiteral("АЯЁ");
    QTest::newRow("lower-case a reads as Latin-1") << QByteArray("e0") << QStringLiteral("à");
    QTest::newRow("bytes above 0x7F") << QByteArray("80a9bfff") << QStringLiteral("\u0080\u00a9\u00bf\u00ff");
    QTest::newRow("NUL characters") << QByteArray("41000042") << QString::fromUtf8("A\0\0B", 4);
    QTest::newRow("digits and Latin") << QByteArray("414231") << QStringLiteral("AB1");
}

void TestFrame::textDecode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(textcodec::decodeUserText(QByteArray::fromHex(bytes)), text);
}

void TestFrame::completeFrame_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("complete");
    const QByteArray identity = QByteArray::fromHex("14050a0055000000000101003fa0");
    // A dose reply: 8 data bytes, length 0x12, 22 bytes.
    const QByteArray dose = frame::build(12345, 0x4F, frame::float64Bytes(0.000123));
    QByteArray block = frame::build(12345, 0x57, QByteArray(2 + 127 * 16, char(0x5A)));
    QCOMPARE(block.size(), 2048);
    auto flipped = [](QByteArray b, int at) {
        b[at] = char(b.at(at) ^ 0x01);
        return b;
    };
    auto withLength = [](QByteArray b, int length) {
        b[2] = char(length & 0xFF);
        b[3] = char(length >> 8);
        const quint16 crc = frame::crc16x25(b.left(b.size() - 2));
        b[b.size() - 2] = char(crc & 0xFF);
        b[b.size() - 1] = char(crc >> 8);
        return b;
    };

    QTest::newRow("identity request") << identity << true;
    QTest::newRow("dose reply") << dose << true;
    QTest::newRow("largest history block") << block << true;
    QTest::newRow("start bytes and marker are not checked")
        << withLength(QByteArray::fromHex("0000000000000000000101000000"), 10) << true;
    QTest::newRow("smallest: 4 bytes, length 0, CRC of 2 bytes is 0") << QByteArray::fromHex("de0c0000") << true;
    QTest::newRow("4 bytes, length 0, wrong CRC") << QByteArray::fromHex("de0d0000") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("3 bytes") << identity.left(3) << false;
    QTest::newRow("one byte short") << identity.left(13) << false;
    QTest::newRow("header only") << dose.left(12) << false;
    QTest::newRow("one byte more") << identity + QByteArray(1, char(0x14)) << false;
    QTest::newRow("two frames back to back") << identity + identity << false;
    QTest::newRow("a byte before the frame") << QByteArray(1, char(0x00)) + identity << false;
    QTest::newRow("CRC low byte wrong") << flipped(identity, 12) << false;
    QTest::newRow("CRC high byte wrong") << flipped(identity, 13) << false;
    QTest::newRow("CRC most significant first") << identity.left(12) + QByteArray::fromHex("a03f") << false;
    QTest::newRow("data byte changed") << flipped(dose, 15) << false;
    QTest::newRow("length one too small, CRC fitting") << withLength(dose, 0x11) << false;
    QTest::newRow("length one too large, CRC fitting") << withLength(dose, 0x13) << false;
    QTest::newRow("length 0xFFFF") << withLength(dose, 0xFFFF) << false;
    QTest::newRow("length high byte set") << withLength(dose, 0x0112) << false;
    QTest::newRow("block cut by one byte") << block.left(2047) << false;
}

void TestFrame::completeFrame()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, complete);
    QCOMPARE(frame::isComplete(bytes), complete);
}

// Which reply frames answer a request (command code and number echoed; the
// identity read takes any number), and how much of the bytes received a
// leading whole frame takes.
void TestFrame::echo_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("echoes");
    QTest::addColumn<int>("leading");
    const QByteArray dose = frame::build(12345, 0x4F, frame::float64Bytes(2.5));
    const QByteArray rate = frame::build(12345, 0x17, frame::float32Bytes(1.5f));
    QTest::newRow("dose reply to its request") << frame::build(12345, 0x4F) << dose << true << 22;
    QTest::newRow("another code") << frame::build(12345, 0x17) << dose << false << 22;
    QTest::newRow("another number") << frame::build(12346, 0x4F) << dose << false << 22;
    QTest::newRow("identity read takes any number") << frame::identity() << frame::build(777, 0x01, QByteArray(1, '\x01'))
                                                    << true << 15;
    QTest::newRow("request to number 0 takes any number") << frame::build(0, 0x59) << frame::build(5, 0x59, QByteArray(1, 0))
                                                          << true << 15;
    QTest::newRow("identity reply to a dose request") << frame::build(12345, 0x4F)
                                                      << frame::build(12345, 0x01, QByteArray(1, '\x01')) << false << 15;
    QTest::newRow("late copy in front of the reply") << frame::build(12345, 0x17) << dose + rate << false << 22;
    QTest::newRow("header only") << frame::build(12345, 0x4F) << dose.left(12) << true << 0;
    QTest::newRow("10 bytes: no code") << frame::build(12345, 0x4F) << dose.left(10) << false << 0;
    QTest::newRow("wrong CRC starts no frame") << frame::build(12345, 0x4F) << dose.left(20) + QByteArray::fromHex("0000")
                                               << true << 0;
    QTest::newRow("empty") << frame::build(12345, 0x4F) << QByteArray() << false << 0;
}

void TestFrame::echo()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, echoes);
    QFETCH(int, leading);
    QCOMPARE(frame::echoes(bytes, request), echoes);
    QCOMPARE(frame::leadingFrameSize(bytes), leading);
}

QTEST_APPLESS_MAIN(TestFrame)
#include "tst_frame.moc"
