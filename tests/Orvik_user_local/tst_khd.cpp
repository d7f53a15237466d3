// CRC-8, the address frame and the default settings file.
#include "globals.h"
#include "khd.h"

#include <QtTest>

class TestKhd : public QObject
{
    Q_OBJECT

private slots:
    void crc8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("crc");
        QTest::newRow("empty") << QByteArray() << 0x00;
        QTest::newRow("check value 123456789") << QByteArray("123456789") << 0xA1;
        QTest::newRow("request body B501DE000000000000") << QByteArray::fromHex("B501DE000000000000") << 0xEB;
        QTest::newRow("reply body b5fede010000000000") << QByteArray::fromHex("b5fede010000000000") << 0x01;
        QTest::newRow("single 01") << QByteArray::fromHex("01") << 0x5E;
        QTest::newRow("single ff") << QByteArray::fromHex("ff") << 0x35;
        // A 1-Wire ROM code whose last byte is the CRC of the first seven.
        QTest::newRow("rom 02 1c b8 01 00 00 00") << QByteArray::fromHex("021cb801000000") << 0xA2;
    }
    void crc8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, crc);
        QCOMPARE(int(crc_8(reinterpret_cast<const unsigned char *>(bytes.constData()), size_t(bytes.size()))), crc);
    }

    // A message followed by its own CRC checks to 0, also past 255 bytes.
    void crc8ResidueOnLongBuffers_data()
    {
        QTest::addColumn<int>("length");
        for (int n : {1, 255, 256, 257, 1000, 70000})
            QTest::newRow(qPrintable(QString::number(n))) << n;
    }
    void crc8ResidueOnLongBuffers()
    {
        QFETCH(int, length);
        QByteArray data(length, Qt::Uninitialized);
        for (int i = 0; i < length; ++i)
            data[i] = char((i * 37 + 11) & 0xFF);
        const unsigned char crc = crc_8(reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size()));
        data.append(char(crc));
        QCOMPARE(int(crc_8(reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size()))), 0);
    }

    void requestFrame()
    {
        QCOMPARE(addressRequestFrame().toHex(), QByteArray("b501de0000000000000000ebaa"));
    }

    void addressReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("json");
        QTest::newRow("fixed reply") << QByteArray::fromHex("b5fede010000000000000001aa")
                                     << QStringLiteral("{\"adr\": \"1\",\"error\":\"\"}");
        QTest::newRow("address 0x7f") << QByteArray::fromHex("b5fede7f0000000000000000aa")
                                      << QStringLiteral("{\"adr\": \"127\",\"error\":\"\"}");
        QTest::newRow("address 0x80 negative") << QByteArray::fromHex("b5fede800000000000000000aa")
                                               << QStringLiteral("{\"adr\": \"-128\",\"error\":\"\"}");
        QTest::newRow("address 0xff") << QByteArray::fromHex("b5fedeff0000000000000000aa")
                                      << QStringLiteral("{\"adr\": \"-1\",\"error\":\"\"}");
        QTest::newRow("two bytes") << QByteArray::fromHex("b5fe") << QStringLiteral("{\"adr\": \"0\",\"error\":\"\"}");
        QTest::newRow("three bytes") << QByteArray::fromHex("b5fede") << QStringLiteral("{\"adr\": \"0\",\"error\":\"\"}");
        QTest::newRow("one byte") << QByteArray::fromHex("b5")
                                  << QStringLiteral("{\"adr\": \"\",\"error\":\"ошибка чтения адреса устройства\"}");
        QTest::newRow("nothing") << QByteArray()
                                 << QStringLiteral("{\"adr\": \"\",\"error\":\"ошибка чтения адреса устройства\"}");
    }
    void addressReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, json);
        QCOMPARE(addressFromReply(reply), json);
    }

    // The default settings block, written to the working directory.
    void writeSettingsFile()
    {
        QTemporaryDir dir;
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        WriteSettings();
        QDir::setCurrent(before);
        QSettings s(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        QCOMPARE(s.childGroups(), QStringList{"Settings"});
        s.beginGroup(QStringLiteral("Settings"));
        QStringList pairs;
        const QStringList keys = s.childKeys();
        for (const QString &key : keys)
            pairs << key + QLatin1Char('=') + s.value(key).toString();
        QCOMPARE(pairs, QStringList({"Count_ZURAN=4", "Count_cell=120", "DatabaseName=database_zuran",
                                     "SERVICE_Tulem_Narbet=0", "UserName=postgres", "ip_database=127.0.0.1",
                                     "kas_height=6", "kas_width=20"}));
    }

    void adrAnswersFixedReply()
    {
        QCOMPARE(Adr(QStringLiteral("/dev/ttyACM0")), QStringLiteral("{\"adr\": \"1\",\"error\":\"\"}"));
    }
};

QTEST_APPLESS_MAIN(TestKhd)
#include "tst_khd.moc"
