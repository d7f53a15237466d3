// Start-up settings: built-in values, the settings file, port list and TCP port.
#include "settings.h"
#include "testsupport.h"

#include <QtTest>

class TestSettings : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString file() const { return m_dir.filePath(QStringLiteral("settings.ini")); }

private slots:
    void init()
    {
        resetGlobals();
        QFile::remove(file());
        G_settings_file = file();
    }

    void missingFileKeepsEveryGlobal()
    {
        G_kas_count_cell = 45; // as raised by the discovery from a long hub.ini
        StartSettings();
        QCOMPARE(G_kas_count_cell, 45);
        QCOMPARE(G_Path_RAM, QStringLiteral("/tmp/pelk1300"));
        QCOMPARE(G_type_ppd, QStringLiteral("1300"));
        QCOMPARE(G_Time_energe_ppd, 30);
        readPortSettings();
        QCOMPARE(G_tcp_port, quint16(6000));
        QCOMPARE(G_ports_dkg.size(), 61);
        QCOMPARE(G_ports_dkg.first(), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(G_ports_dkg.at(10), QStringLiteral("/dev/ttyACM10"));
        QCOMPARE(G_ports_dkg.last(), QStringLiteral("/dev/ttyACM60"));
    }

    void fileWithoutGroupStoresDefaults()
    {
        writeBytes(file(), "[Other]\nkas_count_cell=12\ntype_ppd=1300GN\n");
        G_kas_count_cell = 45;
        G_type_ppd = QStringLiteral("1300GN");
        StartSettings();
        QCOMPARE(G_kas_count_cell, 30); // overrides the larger hub.ini count
        QCOMPARE(G_type_ppd, QStringLiteral("1300"));
        QCOMPARE(G_Path_RAM, QStringLiteral("/tmp/pelk1300"));
        QCOMPARE(G_Time_energe_ppd, 30);
    }

    void eachKey_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("rest");
        QTest::newRow("all keys") << QStringList{"kas_count_cell=12", "Path_RAM=/var/x", "type_ppd=1300GN",
                                                 "Time_energe_ppd=600"}
                                  << 12 << "/var/x" << "1300GN" << 600;
        QTest::newRow("not numbers give 0") << QStringList{"kas_count_cell=abc", "Time_energe_ppd=1.5"} << 0
                                            << "/tmp/pelk1300" << "1300" << 0;
        QTest::newRow("negative") << QStringList{"kas_count_cell=-3"} << -3 << "/tmp/pelk1300" << "1300" << 30;
        QTest::newRow("empty values") << QStringList{"kas_count_cell=", "type_ppd="} << 0 << "/tmp/pelk1300" << ""
                                      << 30;
    }
    void eachKey()
    {
        QFETCH(QStringList, lines);
        QFETCH(int, count);
        QFETCH(QString, path);
        QFETCH(QString, type);
        QFETCH(int, rest);
        writeSettings(file(), lines);
        StartSettings();
        QCOMPARE(G_kas_count_cell, count);
        QCOMPARE(G_Path_RAM, path);
        QCOMPARE(G_type_ppd, type);
        QCOMPARE(G_Time_energe_ppd, rest);
    }

    void portBaseAndTcpPort()
    {
        writeSettings(file(), {"port_base=/tmp/sim/ttyACM", "tcp_port=16001"});
        readPortSettings();
        QCOMPARE(G_tcp_port, quint16(16001));
        QCOMPARE(G_ports_dkg.size(), 61);
        QCOMPARE(G_ports_dkg.at(0), QStringLiteral("/tmp/sim/ttyACM0"));
        QCOMPARE(G_ports_dkg.at(60), QStringLiteral("/tmp/sim/ttyACM60"));
        // A port that is not a usable number keeps the default.
        writeSettings(file(), {"tcp_port=seventy"});
        readPortSettings();
        QCOMPARE(G_tcp_port, quint16(6000));
        QCOMPARE(G_ports_dkg.at(3), QStringLiteral("/dev/ttyACM3"));
    }

    void exchangeSettings_data()
    {
        QTest::addColumn<QStringList>("lines");      // empty: no settings file
        QTest::addColumn<bool>("frame");
        QTest::addColumn<int>("pause");
        QTest::addColumn<QString>("complaint");      // start of a log line saying why, or empty
        QTest::newRow("no file") << QStringList() << false << 100 << QString();
        QTest::newRow("keys absent") << QStringList{"kas_count_cell=5"} << false << 100 << QString();
        QTest::newRow("frame, no pause") << QStringList{"reply_end=frame", "reply_pause_ms=0"} << true << 0 << QString();
        QTest::newRow("silence, longest pause") << QStringList{"reply_end=silence", "reply_pause_ms=1000"} << false
                                                << 1000 << QString();
        QTest::newRow("capitals and blanks") << QStringList{"reply_end= Frame ", "reply_pause_ms= 20"} << true << 20
                                             << QString();
        QTest::newRow("unknown mode") << QStringList{"reply_end=fast"} << false << 100 << "reply_end: ";
        QTest::newRow("pause above 1000") << QStringList{"reply_end=frame", "reply_pause_ms=1001"} << true << 100
                                          << "reply_pause_ms: ";
        QTest::newRow("negative pause") << QStringList{"reply_pause_ms=-1"} << false << 100 << "reply_pause_ms: ";
        QTest::newRow("pause not a number") << QStringList{"reply_pause_ms=5ms"} << false << 100 << "reply_pause_ms: ";
        QTest::newRow("empty pause") << QStringList{"reply_pause_ms="} << false << 100 << "reply_pause_ms: ";
    }
    void exchangeSettings()
    {
        QFETCH(QStringList, lines);
        QFETCH(bool, frame);
        QFETCH(int, pause);
        QFETCH(QString, complaint);
        if (!lines.isEmpty())
            writeSettings(file(), lines);
        // Left over from a previous reading: must not survive this one.
        G_reply_end = frame ? ReplyEnd::Silence : ReplyEnd::Frame;
        G_reply_pause_ms = 7;
        LogCapture log;
        readExchangeSettings();
        QCOMPARE(G_reply_end == ReplyEnd::Frame, frame);
        QCOMPARE(G_reply_pause_ms, pause);
        QStringList complaints;
        for (const QString &l : log.lines())
            if (l.startsWith(QLatin1String("reply_")))
                complaints << l;
        QCOMPARE(complaints.size(), complaint.isEmpty() ? 0 : 1);
        if (!complaint.isEmpty())
            QVERIFY2(complaints.first().startsWith(complaint), qPrintable(complaints.first()));
        // The mode in use is always named, with the pause.
        const QString mode = QStringLiteral("конец ответа дозиметра: %1").arg(frame ? "frame" : "silence");
        QCOMPARE(log.lines().last().left(mode.size()), mode);
        QVERIFY(log.lines().last().endsWith(QStringLiteral("пауза перед ответом %1 мс").arg(pause)));
        resetExchangeSettings();
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
