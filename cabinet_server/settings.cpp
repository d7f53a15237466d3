#include "settings.h"

#include <QFileInfo>
#include <QSettings>

QStringList G_ports_dkg = makePortList(QStringLiteral("/dev/ttyACM"));
QString G_Path_RAM = QStringLiteral("/tmp/pelk1300");
QString G_type_ppd = QStringLiteral("1300");
int G_kas_count_cell = 30;
int G_Time_energe_ppd = 30;

QString G_settings_file = QStringLiteral("settings.ini");
QString G_port_base = QStringLiteral("/dev/ttyACM");
quint16 G_tcp_port = 6000;

QStringList makePortList(const QString &base)
{
    QStringList ports;
    ports.reserve(kPortCount);
    for (int i = 0; i < kPortCount; ++i)
        ports << base + QString::number(i);
    return ports;
}

void resetGlobals()
{
    G_port_base = QStringLiteral("/dev/ttyACM");
    G_ports_dkg = makePortList(G_port_base);
    G_Path_RAM = QStringLiteral("/tmp/pelk1300");
    G_type_ppd = QStringLiteral("1300");
    G_kas_count_cell = 30;
    G_Time_energe_ppd = 30;
    G_tcp_port = 6000;
}

static QVariant settingsValue(const QString &key, const QString &defaultText)
{
    QSettings s(G_settings_file, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("Settings"));
    return s.value(key, defaultText);
}

QString settingsText(const QString &key, const QString &defaultText)
{
    return settingsValue(key, defaultText).toString();
}

int settingsInt(const QString &key, const QString &defaultText)
{
    bool ok = false;
    const int v = settingsValue(key, defaultText).toString().toInt(&ok, 10);
    return ok ? v : 0;
}

void readPortSettings()
{
    if (QFileInfo::exists(G_settings_file)) {
        G_port_base = settingsValue(QStringLiteral("port_base"), QStringLiteral("/dev/ttyACM")).toString();
        const int port = settingsInt(QStringLiteral("tcp_port"), QStringLiteral("6000"));
        G_tcp_port = (port > 0 && port < 65536) ? quint16(port) : quint16(6000);
    }
    G_ports_dkg = makePortList(G_port_base);
}

void StartSettings()
{
    if (!QFileInfo::exists(G_settings_file))
        return;
    G_kas_count_cell = settingsInt(QStringLiteral("kas_count_cell"), QStringLiteral("30"));
    G_Path_RAM = settingsValue(QStringLiteral("Path_RAM"), QStringLiteral("/tmp/pelk1300")).toString();
    G_type_ppd = settingsValue(QStringLiteral("type_ppd"), QStringLiteral("1300")).toString();
    G_Time_energe_ppd = settingsInt(QStringLiteral("Time_energe_ppd"), QStringLiteral("30"));
}

// Operator console

int G_rack_columns = 6;
QString G_console_listen = QStringLiteral("127.0.0.1:8080");
QString G_console_cert;
QString G_console_key;
QString G_console_users = QStringLiteral("/etc/cabinet_console/users");

void readConsoleSettings()
{
    if (!QFileInfo::exists(G_settings_file))
        return;
    const int columns = settingsInt(QStringLiteral("rack_columns"), QStringLiteral("6"));
    G_rack_columns = columns > 0 && columns <= 61 ? columns : 6;
    G_console_listen = settingsValue(QStringLiteral("console_listen"), G_console_listen).toString();
    G_console_cert = settingsValue(QStringLiteral("console_cert"), QString()).toString();
    G_console_key = settingsValue(QStringLiteral("console_key"), QString()).toString();
    G_console_users = settingsValue(QStringLiteral("console_users"), G_console_users).toString();
}
