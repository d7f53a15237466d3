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
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
