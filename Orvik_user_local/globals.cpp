#include "globals.h"

#include <QSettings>
#include <QtGlobal>

QString G_ip_database = QStringLiteral("127.0.0.1");
int G_port_database = -1;
QString G_DatabaseName = QStringLiteral("zuran");
QString G_UserName = QStringLiteral("postgres");
QString G_Password = QStringLiteral("quartzes4");
QString G_Password_Settings = QStringLiteral("482915736041");
QString G_Password_Settings_Out = QStringLiteral("9051738264187302");
int G_SERVICE_Tulem_Narbet = 0;
int G_Input_value = 0;
QString G_Path_RAM = QStringLiteral("/tmp/Orvik_gamma");
QString G_Path_photo;
int G_Cell_idle_seconds = 60;

QString photoFolder()
{
    return G_Path_photo.isEmpty() ? G_Path_RAM : G_Path_photo;
}

bool Global_Timer_main = true;
int Global_Timer_Error = 0;
QString Global_user_id;
QString Global_user_name;

static void takeEnv(const char *name, QString &target)
{
    const QString value = qEnvironmentVariable(name);
    if (!value.isEmpty())
        target = value;
}

void applyEnvironment()
{
    takeEnv("PGHOST", G_ip_database);
    takeEnv("PGDATABASE", G_DatabaseName);
    takeEnv("PGUSER", G_UserName);
    takeEnv("PGPASSWORD", G_Password);
    takeEnv("ORVIK_PATH_RAM", G_Path_RAM);
    takeEnv("ORVIK_PHOTO_DIR", G_Path_photo);
    bool ok = false;
    const int port = qEnvironmentVariable("PGPORT").toInt(&ok);
    if (ok && port > 0 && port < 65536)
        G_port_database = port;
    const int idle = qEnvironmentVariable("ORVIK_CELL_IDLE_SECONDS").toInt(&ok);
    if (ok && idle >= 0)
        G_Cell_idle_seconds = idle;
}

void WriteSettings()
{
    QSettings s(QStringLiteral("settings.ini"), QSettings::IniFormat);
    s.beginGroup(QStringLiteral("Settings"));
    s.setValue(QStringLiteral("SERVICE_Tulem_Narbet"), 0);
    s.setValue(QStringLiteral("ip_database"), QStringLiteral("127.0.0.1"));
    s.setValue(QStringLiteral("DatabaseName"), QStringLiteral("database_zuran"));
    s.setValue(QStringLiteral("UserName"), QStringLiteral("postgres"));
    s.setValue(QStringLiteral("Count_ZURAN"), 4);
    s.setValue(QStringLiteral("Count_cell"), 120);
    s.setValue(QStringLiteral("kas_height"), 6);
    s.setValue(QStringLiteral("kas_width"), 20);
    s.endGroup();
}
