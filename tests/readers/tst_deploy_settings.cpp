// The sample settings.ini that installation puts into the controller's working
// directory is read by the controller's own settings code as intended.

#include "settings.h"

#include <QTest>

class tst_DeploySettings : public QObject
{
    Q_OBJECT

private slots:
    void sampleIsRead();
};

void tst_DeploySettings::sampleIsRead()
{
    // Values the sample does not hold, so every key must come from the file.
    resetGlobals();
    G_kas_count_cell = 7;
    G_Path_RAM = QStringLiteral("/nowhere");
    G_type_ppd = QStringLiteral("1300GN");
    G_Time_energe_ppd = 1;
    G_port_base = QStringLiteral("/dev/ttyUSB");
    G_tcp_port = 1;

    G_settings_file = QStringLiteral(SAMPLE_SETTINGS);
    readPortSettings();
    StartSettings();

    QCOMPARE(G_kas_count_cell, 30);
    QCOMPARE(G_Path_RAM, QStringLiteral("/tmp/pelk1300"));
    QCOMPARE(G_type_ppd, QStringLiteral("1300"));
    QCOMPARE(G_Time_energe_ppd, 30);
    QCOMPARE(G_port_base, QStringLiteral("/dev/ttyACM"));
    QCOMPARE(int(G_tcp_port), 6000);
    QCOMPARE(G_ports_dkg.first(), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(G_ports_dkg.last(), QStringLiteral("/dev/ttyACM60"));

    // The console's keys; certificate and key are commented out in the sample.
    G_rack_columns = 2;
    G_console_listen = QStringLiteral("0.0.0.0:1");
    G_console_users = QStringLiteral("/nowhere");
    readConsoleSettings();
    QCOMPARE(G_rack_columns, 6);
    QCOMPARE(G_console_listen, QStringLiteral("127.0.0.1:8080"));
    QCOMPARE(G_console_users, QStringLiteral("/etc/cabinet_console/users"));
    QCOMPARE(G_console_cert, QString());
    QCOMPARE(G_console_key, QString());
    resetGlobals();
}

QTEST_GUILESS_MAIN(tst_DeploySettings)
#include "tst_deploy_settings.moc"
