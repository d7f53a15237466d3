// Dosimeter command requests and reply decoding without a device: the frames
// each command sends, every reply decoder on full and cut replies (a reply
// too short for its value is a read error), the
// history read with scripted block replies, and the exact result texts.
#include "dosimeter.h"
#include "dosimetercodec.h"
#include "frame.h"
#include "jsonresult.h"
#include "settings.h"

#include <QtTest>

#include <functional>

using namespace dosimeter;

namespace {

// Frame bytes without the CRC, after checking that the CRC closes the frame.
QByteArray body(const QByteArray &f)
{
    const QByteArray b = f.left(f.size() - 2);
    const quint16 crc = frame::crc16x25(b);
    if (f.size() < 14 || quint8(f.at(f.size() - 2)) != (crc & 0xFF) || quint8(f.at(f.size() - 1)) != (crc >> 8))
        return QByteArray("bad crc");
    return b.toHex(' ');
}

QByteArray hex(const char *spaced)
{
    return QByteArray(spaced);
}

QString result(const char *key, const QString &value, const QString &message)
{
    return QStringLiteral("{\"") + QLatin1String(key) + QStringLiteral("\": \"") + value
        + QStringLiteral("\",\"error\":\"") + message + QStringLiteral("\"}");
}

// A block reply with k records whose bytes count up from first.
QByteArray blockReply(int k, quint8 first, int extra = 2)
{
    QByteArray r = QByteArray::fromHex("1405000055000000000157");
    r.append(char(k));
    r.append(char(0x00)).append(char(0x00));
    for (int i = 0; i < k * 16; ++i)
        r.append(char(quint8(first + i)));
    r.append(QByteArray(extra, char(0xEE)));
    return r;
}

} // namespace

class TestDosimeterCodec : public QObject
{
    Q_OBJECT

private slots:
    void requests_data();
    void requests();
    void readDecoders_data();
    void readDecoders();
    void writeReplies_data();
    void writeReplies();
    void historyBlocks_data();
    void historyBlocks();
    void historyRead_data();
    void historyRead();
    void resultsStayValidJson();
    void noAnswerTexts_data();
    void noAnswerTexts();
};

void TestDosimeterCodec::requests_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("Set_de1 1.5 to 12345") << float64Request("12345", CodeSetDe1, "1.5")
                                          << hex("14 05 12 00 55 39 30 00 00 01 09 08 00 00 00 00 00 00 f8 3f");
    QTest::newRow("Set_de2 abc sends zeros") << float64Request("12345", CodeSetDe2, "abc")
                                             << hex("14 05 12 00 55 39 30 00 00 01 0c 08 00 00 00 00 00 00 00 00");
    QTest::newRow("Set_nde1 inf sends zeros") << float64Request("1", CodeSetNde1, "inf")
                                              << hex("14 05 12 00 55 01 00 00 00 01 b9 08 00 00 00 00 00 00 00 00");
    QTest::newRow("Set_nde2 nan sends zeros") << float64Request("1", CodeSetNde2, "nan")
                                              << hex("14 05 12 00 55 01 00 00 00 01 bc 08 00 00 00 00 00 00 00 00");
    QTest::newRow("Set_der1 0.1") << float32Request("7", CodeSetDer1, "0.1")
                                  << hex("14 05 0e 00 55 07 00 00 00 01 12 04 cd cc cc 3d");
    QTest::newRow("Set_nder2 1e400 sends zeros") << float32Request("7", CodeSetNder2, "1e400")
                                                 << hex("14 05 0e 00 55 07 00 00 00 01 a5 04 00 00 00 00");
    QTest::newRow("Set_user_id ab12 to 7") << textWriteRequest("7", CodeSetUserId, "AB12")
                                           << hex("14 05 0e 00 55 07 00 00 00 01 46 04 41 42 31 32");
    QTest::newRow("Set_user_order with numero sign")
        << textWriteRequest("-1", CodeSetUserOrder, QStringLiteral("№ Ё"))
        << hex("14 05 0f 00 55 ff ff ff ff 01 4a 05 e2 84 96 20 a8");
    QTest::newRow("Set_user_PPD dropping U+0404") << textWriteRequest("2", CodeSetUserName, QStringLiteral("\u0404Я"))
                                                  << hex("14 05 0b 00 55 02 00 00 00 01 44 01 df");
    QTest::newRow("Set_user_PPD nothing left") << textWriteRequest("2", CodeSetUserName, QStringLiteral("\u0404"))
                                               << hex("14 05 0a 00 55 02 00 00 00 01 44 00");
    QTest::newRow("Set_screen_on_PPD") << modeRequest("12345", kModeMeasurement)
                                       << hex("14 05 0c 00 55 39 30 00 00 01 3a 02 00 00");
    QTest::newRow("Set_screen_off_PPD") << modeRequest("12345", kModeService)
                                        << hex("14 05 0c 00 55 39 30 00 00 01 3a 02 01 00");
    QTest::newRow("Reset_nde") << plainRequest("abc", CodeResetNde) << hex("14 05 0a 00 55 00 00 00 00 01 b4 00");
    QTest::newRow("Get_des_val") << plainRequest("12345", CodeGetDesVal)
                                 << hex("14 05 0a 00 55 39 30 00 00 01 4f 00");
    QTest::newRow("history block 0") << historyBlockRequest("5", 0) << hex("14 05 0c 00 55 05 00 00 00 01 57 02 00 00");
    QTest::newRow("history block 300") << historyBlockRequest("5", 300)
                                       << hex("14 05 0c 00 55 05 00 00 00 01 57 02 2c 01");
}

void TestDosimeterCodec::requests()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(body(frame), expected);
}

void TestDosimeterCodec::readDecoders_data()
{
    QTest::addColumn<QString>("decoder");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("expected");
    const QString none;

    QTest::newRow("number 12345") << "number" << QByteArray("14050a005539300000010100")
                                  << result("nomer_pdd", "12345", none);
    QTest::newRow("number -1") << "number" << QByteArray("14050a0055ffffffff")
                               << result("nomer_pdd", "-1", none);
    // A reply cut before the end of the number is a dosimeter that did not answer.
    const QString noNumber = QStringLiteral("ошибка чтения номера дозиметра. Нет доступа");
    QTest::newRow("number from exactly 9 bytes") << "number" << QByteArray("14050a00552a000000")
                                                 << result("nomer_pdd", "42", none);
    QTest::newRow("number cut to 8 bytes") << "number" << QByteArray("14050a00552a0000")
                                           << result("nomer_pdd", none, noNumber);
    QTest::newRow("number cut to 6 bytes") << "number" << QByteArray("14050a00552a") << result("nomer_pdd", none, noNumber);
    QTest::newRow("number cut to 2 bytes") << "number" << QByteArray("1405") << result("nomer_pdd", none, noNumber);
    QTest::newRow("number, 1 byte") << "number" << QByteArray("14") << result("nomer_pdd", none, noNumber);

    QTest::newRow("type gamma") << "type" << QByteArray("14050a0055000000000101000101")
                                << result("Type_PPD", QStringLiteral("гамма-детектор"), none);
    QTest::newRow("type beta") << "type" << QByteArray("14050a00550000000001010002")
                               << result("Type_PPD", QStringLiteral("бетта-детектор"), none);
    QTest::newRow("type gamma and neutron") << "type" << QByteArray("14050a00550000000001010003")
                                            << result("Type_PPD", QStringLiteral("гамма-детектор и нейтронный детектор"), none);
    QTest::newRow("type loader") << "type" << QByteArray("14050a00550000000001010081")
                                 << result("Type_PPD", QStringLiteral("в режиме загрузчика"), none);
    QTest::newRow("type unknown code") << "type" << QByteArray("14050a00550000000001010004")
                                       << result("Type_PPD", QStringLiteral("тип детектора не определен"), none);
    QTest::newRow("type, 12 bytes") << "type" << QByteArray("14050a005500000000010100")
                                    << result("Type_PPD", QStringLiteral("тип детектора не определен"), none);
    QTest::newRow("type, silent") << "type" << QByteArray()
                                  << result("Type_PPD", none, QStringLiteral("ошибка чтения номера дозиметра"));

    QTest::newRow("text work order") << "text" << QByteArray("14050a0055070000000149 05 d6c5d52035 aaaa")
                                     << result("k", QStringLiteral("ЦЕХ 5"), none);
    QTest::newRow("text yo and Latin-1") << "text" << QByteArray("14050a005507000000014502a8e0")
                                         << result("k", QStringLiteral("Ёà"), none);
    QTest::newRow("text exactly as long as its length") << "text" << QByteArray("14050a005507000000014502c0c1")
                                                        << result("k", QStringLiteral("АБ"), none);
    QTest::newRow("text cut inside its bytes") << "text" << QByteArray("14050a005507000000014504c0")
                                               << result("k", none, "m");
    QTest::newRow("text length 0") << "text" << QByteArray("14050a0055070000000145 00 c0c1")
                                   << result("k", none, none);
    QTest::newRow("text length 0, 12 bytes") << "text" << QByteArray("14050a0055070000000145 00")
                                             << result("k", none, none);
    QTest::newRow("text cut before its length") << "text" << QByteArray("14050a00550700000001 45")
                                                << result("k", none, "m");
    QTest::newRow("text, 2 bytes") << "text" << QByteArray("1405") << result("k", none, "m");
    QTest::newRow("text, silent") << "text" << QByteArray("") << result("k", none, "m");

    QTest::newRow("float64 0.000123") << "f64" << QByteArray("14050a0055070000000151 08 46d26ef4311f203f")
                                      << result("k", "0.000123000", none);
    QTest::newRow("float64 negative") << "f64" << QByteArray("14050a005507000000014f08 00000000000004c0")
                                      << result("k", "-2.500000000", none);
    QTest::newRow("float64 from exactly 20 bytes") << "f64" << QByteArray("14050a005507000000014f08 0000000000000440")
                                                   << result("k", "2.500000000", none);
    QTest::newRow("float64 cut to 19 bytes") << "f64" << QByteArray("14050a005507000000014f08 00000000000004")
                                             << result("k", none, "m");
    QTest::newRow("float64 cut to 14 bytes") << "f64" << QByteArray("14050a005507000000014f08 0000")
                                             << result("k", none, "m");
    QTest::newRow("float64 cut to 2 bytes") << "f64" << QByteArray("1405") << result("k", none, "m");
    QTest::newRow("float64, 1 byte") << "f64" << QByteArray("14") << result("k", none, "m");

    QTest::newRow("float32 1.0") << "f32" << QByteArray("14050a005507000000011704 0000803f")
                                 << result("k", "1.000000000", none);
    QTest::newRow("float32 0.1 widened") << "f32" << QByteArray("14050a005507000000011704 cdcccc3d 1122")
                                         << result("k", "0.100000001", none);
    QTest::newRow("float32 from exactly 16 bytes") << "f32" << QByteArray("14050a005507000000011704 0000803f")
                                                   << result("k", "1.000000000", none);
    QTest::newRow("float32 cut to 15 bytes") << "f32" << QByteArray("14050a005507000000011704 00803f")
                                             << result("k", none, "m");
    QTest::newRow("float32 cut to 12 bytes") << "f32" << QByteArray("14050a005507000000011704")
                                             << result("k", none, "m");
    QTest::newRow("float32, silent") << "f32" << QByteArray() << result("k", none, "m");

    QTest::newRow("int32 full") << "i32" << QByteArray("14050a005507000000011904 78563412")
                                << result("k", "305419896", none);
    QTest::newRow("int32 negative") << "i32" << QByteArray("14050a005507000000011904 feffffff")
                                    << result("k", "-2", none);
    QTest::newRow("int32 cut to 13 bytes") << "i32" << QByteArray("14050a005507000000011904 c8")
                                           << result("k", none, "m");
    QTest::newRow("int32 cut to 15 bytes") << "i32" << QByteArray("14050a005507000000011904 010203")
                                           << result("k", none, "m");
    QTest::newRow("int32, 1 byte") << "i32" << QByteArray("00") << result("k", none, "m");

    QTest::newRow("count 300") << "count" << QByteArray("14050a005507000000013002 2c01")
                               << result("event_history", "300", none);
    QTest::newRow("count above 32767") << "count" << QByteArray("14050a005507000000013002 4080")
                                       << result("event_history", "32832", none);
    QTest::newRow("count from exactly 14 bytes") << "count" << QByteArray("14050a005507000000013002 0500")
                                                 << result("event_history", "5", none);
    QTest::newRow("count cut to 13 bytes") << "count" << QByteArray("14050a005507000000013002 05")
                                           << result("event_history", none,
                                                     QStringLiteral("ошибка чтения количества событий истории"));
    QTest::newRow("count, silent") << "count" << QByteArray()
                                   << result("event_history", none, QStringLiteral("ошибка чтения количества событий истории"));
}

void TestDosimeterCodec::readDecoders()
{
    QFETCH(QString, decoder);
    QFETCH(QByteArray, reply);
    QFETCH(QString, expected);
    const QByteArray r = QByteArray::fromHex(reply);
    const QString k = QStringLiteral("k");
    const QString m = QStringLiteral("m");
    QString actual;
    if (decoder == QLatin1String("number"))
        actual = numberResult(r);
    else if (decoder == QLatin1String("type"))
        actual = typeResult(r);
    else if (decoder == QLatin1String("text"))
        actual = textReadResult(k, m, r);
    else if (decoder == QLatin1String("f64"))
        actual = float64ReadResult(k, m, r);
    else if (decoder == QLatin1String("f32"))
        actual = float32ReadResult(k, m, r);
    else if (decoder == QLatin1String("i32"))
        actual = int32ReadResult(k, m, r);
    else if (decoder == QLatin1String("count"))
        actual = countResult(r);
    else
        QFAIL("unknown decoder");
    QCOMPARE(actual, expected);
    // Every result reads back as an object with the value and message.
    const CommandReply back(actual);
    QVERIFY(back.isObject());
}

void TestDosimeterCodec::writeReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("writeMessage");
    QTest::addColumn<QString>("modeMessage");
    QTest::newRow("empty") << QByteArray() << "silent" << "silent";
    QTest::newRow("1 byte") << QByteArray("00") << "silent" << "silent";
    QTest::newRow("2 bytes") << QByteArray("1405") << "" << "";
    QTest::newRow("12 bytes") << QByteArray("14050a005507000000010900") << "" << "";
    QTest::newRow("13 bytes, accepted") << QByteArray("14050a00550700000001090100") << "" << "";
    QTest::newRow("13 bytes, refused") << QByteArray("14050a00550700000001090101") << "refused" << "";
    QTest::newRow("refused with a full reply") << QByteArray("14050a00550700000001090180aabb") << "refused" << "";
}

void TestDosimeterCodec::writeReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, writeMessage);
    QFETCH(QString, modeMessage);
    const QByteArray r = QByteArray::fromHex(reply);
    const bool silent = writeMessage == QLatin1String("silent");
    // Threshold writes echo their value whatever happened; text writes only when answered.
    QCOMPARE(writeResult("set_de1", "1.5", "silent", "refused", r), result("set_de1", "1.5", writeMessage));
    QCOMPARE(textWriteResult("set_user_id", "AB", "silent", "refused", r),
             result("set_user_id", silent ? QString() : QStringLiteral("AB"), writeMessage));
    QCOMPARE(modeResult("set_screen_on", "silent", r), result("set_screen_on", QString(), modeMessage));
}

void TestDosimeterCodec::historyBlocks_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("blocks");
    QTest::newRow("0") << 0 << 1;
    QTest::newRow("126") << 126 << 1;
    QTest::newRow("127") << 127 << 2;
    QTest::newRow("300") << 300 << 3;
    QTest::newRow("32768") << 32768 << 259;
    QTest::newRow("65535") << 65535 << 517;
}

void TestDosimeterCodec::historyBlocks()
{
    QFETCH(int, count);
    QFETCH(int, blocks);
    QCOMPARE(historyBlockCount(quint16(count)), blocks);
}

void TestDosimeterCodec::historyRead_data()
{
    QTest::addColumn<QString>("countResult");
    // Block replies by index; an index past the list is answered with an empty block.
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("history");
    QTest::addColumn<QString>("error");
    const QString count = QStringLiteral("{\"event_history\": \"%1\",\"error\":\"\"}");
    const QByteArray emptyBlock = QByteArray::fromHex("14050a005500000000015700");
    const QString recs2 = QString::fromLatin1(blockReply(2, 0).mid(14, 32).toHex());
    const QString noAnswer = QStringLiteral("ошибка чтения количества событий истории");

    QTest::newRow("count 0, one empty block") << count.arg(0) << QList<QByteArray>{emptyBlock} << 1 << "" << "";
    QTest::newRow("two records") << count.arg(2) << QList<QByteArray>{blockReply(2, 0)} << 1 << recs2 << "";
    QTest::newRow("records cut short") << count.arg(2) << QList<QByteArray>{blockReply(2, 0).left(20)} << 1
                                       << QStringLiteral("000102030405") << "";
    QTest::newRow("12-byte reply with records announced") << count.arg(2) << QList<QByteArray>{emptyBlock.left(11) + "\x02"}
                                                          << 1 << "" << "";
    QTest::newRow("11-byte reply") << count.arg(2) << QList<QByteArray>{emptyBlock.left(11)} << 1 << "" << "";
    QTest::newRow("count 127, two blocks")
        << count.arg(127) << QList<QByteArray>{blockReply(127, 0), blockReply(0, 0)} << 2
        << QString::fromLatin1(blockReply(127, 0).mid(14, 2032).toHex()) << "";
    QTest::newRow("count 300, three blocks")
        << count.arg(300) << QList<QByteArray>{blockReply(1, 0x10), blockReply(1, 0x20), blockReply(1, 0x30)} << 3
        << QString::fromLatin1(blockReply(1, 0x10).mid(14, 16).toHex() + blockReply(1, 0x20).mid(14, 16).toHex()
                               + blockReply(1, 0x30).mid(14, 16).toHex())
        << "";
    QTest::newRow("silent middle block keeps the message")
        << count.arg(300) << QList<QByteArray>{blockReply(1, 0x10), QByteArray(), blockReply(1, 0x30)} << 3
        << QString::fromLatin1(blockReply(1, 0x10).mid(14, 16).toHex() + blockReply(1, 0x30).mid(14, 16).toHex())
        << noAnswer;
    QTest::newRow("1-byte last block") << count.arg(130) << QList<QByteArray>{blockReply(1, 0x10), QByteArray("\x14")}
                                       << 2 << QString::fromLatin1(blockReply(1, 0x10).mid(14, 16).toHex())
                                       << noAnswer;
    QTest::newRow("count above 32767 reads all blocks") << count.arg(40000) << QList<QByteArray>{} << 315 << ""
                                                        << "";
    QTest::newRow("count not a number") << count.arg("x") << QList<QByteArray>{} << 1 << "" << "";
    QTest::newRow("count failed")
        << QStringLiteral("{\"event_history\": \"\",\"error\":\"ошибка чтения количества событий истории\"}")
        << QList<QByteArray>{} << 0 << ""
        << QStringLiteral("ошибка чтения количества событий историиОшибка, чтения количества событий истории");
    QTest::newRow("count result not JSON") << "garbage" << QList<QByteArray>{} << 1 << "" << "";
}

void TestDosimeterCodec::historyRead()
{
    QFETCH(QString, countResult);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, requests);
    QFETCH(QString, history);
    QFETCH(QString, error);

    QList<QByteArray> sent;
    const Exchange exchange = [&](const QByteArray &request) {
        sent << request;
        const int i = sent.size() - 1;
        return i < replies.size() ? replies.at(i) : QByteArray::fromHex("14050a005500000000015700");
    };
    const QString text = historyResult(countResult, "12345", exchange);
    QCOMPARE(text, result("history_all", history, error));
    QCOMPARE(sent.size(), requests);
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(sent.at(i), historyBlockRequest("12345", quint16(i)));
}

void TestDosimeterCodec::resultsStayValidJson()
{
    // A value holding quotes, a backslash and a line feed cannot add keys.
    const QByteArray reply = QByteArray::fromHex("14050a00550700000001490622 2c 5c 0a 41 22");
    const QString text = textReadResult("user_order", "m", reply);
    const CommandReply back(text);
    QVERIFY(back.isObject());
    QCOMPARE(back.value("user_order"), QStringLiteral("\",\\\nA\""));
    QCOMPARE(back.error(), QString());
}

void TestDosimeterCodec::noAnswerTexts_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");
    auto row = [](const char *command, const char *expected) {
        QTest::newRow(command) << QString::fromLatin1(command) << QString::fromUtf8(expected);
    };
    row("Get_Nomer_PPD", R"({"nomer_pdd": "","error":"ошибка чтения номера дозиметра. Нет доступа"})");
    row("Get_Type_PPD", R"({"Type_PPD": "","error":"ошибка чтения номера дозиметра"})");
    row("Get_user_id", R"({"user_id": "","error":"ошибка чтения идентификатора пользователя"})");
    row("Get_user_order", R"({"user_order": "","error":"ошибка чтения идентификатора пользователя"})");
    row("Set_user_id", R"({"set_user_id": "","error":"ошибка записи идентификатора пользователя"})");
    row("Set_user_order", R"({"set_user_order": "","error":"ошибка записи наряда пользователя"})");
    row("Set_user_PPD", R"({"set_user_name": "","error":"ошибка записи имени"})");
    row("Reset_de", R"({"reset_de": "","error":"Ошибка сброса ЭД гамма"})");
    row("Set_maxder", R"({"set_maxder": "","error":"Ошибка сброса МЭД гамма"})");
    row("Set_de1", R"({"set_de1": "2.5","error":"Ошибка записи 1 порог по ЭД"})");
    row("Set_de2", R"({"set_de2": "2.5","error":"Ошибка записи 2 порог по ЭД"})");
    row("Set_der1", R"({"set_der1": "2.5","error":"Ошибка записи 1 порог по МЭД"})");
    row("Set_der2", R"({"set_der2": "2.5","error":"Ошибка записи 2 порог по МЭД"})");
    row("Reset_nde", R"({"reset_nde": "","error":"Ошибка сброса ЭД нейтроный"})");
    row("Set_nmaxder", R"({"set_nmaxder": "","error":"Ошибка сброса МЭД нейтроный"})");
    row("Set_nde1", R"({"set_nde1": "2.5","error":"Ошибка записи 1 порог нейтронный по ЭД"})");
    row("Set_nde2", R"({"set_nde2": "2.5","error":"Ошибка записи 2 порог нейтроный по ЭД"})");
    row("Set_nder1", R"({"set_nder1": "2.5","error":"Ошибка записи 1 порог нейтроный по МЭД"})");
    row("Set_nder2", R"({"set_nder2": "2.5","error":"Ошибка записи 2 порог нейтроный по МЭД"})");
    row("Set_screen_on_PPD", R"({"set_screen_on": "","error":"ошибка установки режима изменения дозиметра"})");
    row("Set_screen_off_PPD", R"({"set_screen_off": "","error":"ошибка установки сервисного режима работы дозиметра"})");
    row("Ack_configuration_PPD",
        R"({"ack_configuration": "","error":"ошибка установки сервисного режима работы дозиметра"})");
    row("Get_des_val", R"({"get_des_val": "","error":"ошибка чтения ЭД гамма"})");
    row("Get_maxder", R"({"get_maxder": "","error":"ошибка чтения максимальной МЭД гамма"})");
    row("Get_maxtime", R"({"get_maxtime": "","error":"ошибка чтения МЭД гамма"})");
    row("Get_ndes_val", R"({"get_ndes_val": "","error":"ошибка чтения ЭД нейтроный"})");
    row("Get_nmaxder", R"({"get_nmaxder": "","error":"ошибка чтения максимальной МЭД нейтроный"})");
    row("Get_nmaxtime", R"({"get_nmaxtime": "","error":"ошибка чтения МЭД нейтроный"})");
    row("Get_count_event_history", R"({"event_history": "","error":"ошибка чтения количества событий истории"})");
    row("Get_history_all", R"({"history_all": "","error":"ошибка чтения количества событий историиОшибка, чтения количества событий истории"})");
}

void TestDosimeterCodec::noAnswerTexts()
{
    QFETCH(QString, command);
    QFETCH(QString, expected);
    // A port outside the rack's device list answers nothing and is never opened.
    resetGlobals();
    const QString p = QStringLiteral("/dev/null");
    const QString n = QStringLiteral("12345");
    const QString v = QStringLiteral("2.5");
    const QMap<QString, std::function<QString()>> calls{
        {"Get_Nomer_PPD", [&] { return Get_Nomer_PPD(p); }},
        {"Get_Type_PPD", [&] { return Get_Type_PPD(p); }},
        {"Get_user_id", [&] { return Get_user_id(p, n); }},
        {"Get_user_order", [&] { return Get_user_order(p, n); }},
        {"Set_user_id", [&] { return Set_user_id(p, n, QStringLiteral("ab")); }},
        {"Set_user_order", [&] { return Set_user_order(p, n, QStringLiteral("цех 5")); }},
        {"Set_user_PPD", [&] { return Set_user_PPD(p, n, QStringLiteral("Иванов")); }},
        {"Reset_de", [&] { return Reset_de(p, n); }},
        {"Set_maxder", [&] { return Set_maxder(p, n); }},
        {"Set_de1", [&] { return Set_de1(p, n, v); }},
        {"Set_de2", [&] { return Set_de2(p, n, v); }},
        {"Set_der1", [&] { return Set_der1(p, n, v); }},
        {"Set_der2", [&] { return Set_der2(p, n, v); }},
        {"Reset_nde", [&] { return Reset_nde(p, n); }},
        {"Set_nmaxder", [&] { return Set_nmaxder(p, n); }},
        {"Set_nde1", [&] { return Set_nde1(p, n, v); }},
        {"Set_nde2", [&] { return Set_nde2(p, n, v); }},
        {"Set_nder1", [&] { return Set_nder1(p, n, v); }},
        {"Set_nder2", [&] { return Set_nder2(p, n, v); }},
        {"Set_screen_on_PPD", [&] { return Set_screen_on_PPD(p, n); }},
        {"Set_screen_off_PPD", [&] { return Set_screen_off_PPD(p, n); }},
        {"Ack_configuration_PPD", [&] { return Ack_configuration_PPD(p, n); }},
        {"Get_des_val", [&] { return Get_des_val(p, n); }},
        {"Get_maxder", [&] { return Get_maxder(p, n); }},
        {"Get_maxtime", [&] { return Get_maxtime(p, n); }},
        {"Get_ndes_val", [&] { return Get_ndes_val(p, n); }},
        {"Get_nmaxder", [&] { return Get_nmaxder(p, n); }},
        {"Get_nmaxtime", [&] { return Get_nmaxtime(p, n); }},
        {"Get_count_event_history", [&] { return Get_count_event_history(p, n); }},
        {"Get_history_all", [&] { return Get_history_all(p, n); }},
    };
    QVERIFY(calls.contains(command));
    QElapsedTimer t;
    t.start();
    QCOMPARE(calls.value(command)(), expected);
    QVERIFY2(t.elapsed() < 50, "a port outside the device list must not be waited on");
}

QTEST_APPLESS_MAIN(TestDosimeterCodec)
#include "tst_dosimeter_codec.moc"
