// Commands whose handlers are not connected yet answer "не найдена команда".
#include "cellcommands.h"
#include "rackmap.h"
#include "settings.h"

#include <QSettings>

QString Init_start()
{
    QSettings s(G_settings_file, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("Settings"));
    G_kas_count_cell = settingsInt(QStringLiteral("kas_count_cell"), QStringLiteral("30"));
    G_Path_RAM = s.value(QStringLiteral("Path_RAM"), QStringLiteral("/tmp/pelk1300")).toString();
    return QStringLiteral("success");
}

static QString notConnected() { return QStringLiteral("{\"error\":\"не найдена команда\"}"); }
QString Init_hub_ini(QString, QString) { return notConnected(); }
QString Kas_status() { return notConnected(); }
QString cell_free(QString, QString) { return notConnected(); }
QString cell_error(QString, QString, QString) { return notConnected(); }
