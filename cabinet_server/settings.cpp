#include "settings.h"

#include "log.h"
#include "pgconnection.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSysInfo>

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

// Fast exchanges

ReplyEnd G_reply_end = ReplyEnd::Silence;
int G_reply_pause_ms = kDefaultReplyPauseMs;

void resetExchangeSettings()
{
    G_reply_end = ReplyEnd::Silence;
    G_reply_pause_ms = kDefaultReplyPauseMs;
}

void readExchangeSettings()
{
    resetExchangeSettings();
    if (QFileInfo::exists(G_settings_file)) {
        const QString end = settingsText(QStringLiteral("reply_end"), QStringLiteral("silence")).trimmed().toLower();
        if (end == QLatin1String("frame"))
            G_reply_end = ReplyEnd::Frame;
        else if (end != QLatin1String("silence"))
            logLine(QStringLiteral("reply_end: неизвестное значение \"%1\" (silence или frame), оставлено silence")
                        .arg(end));

        const QString pauseText =
            settingsText(QStringLiteral("reply_pause_ms"), QString::number(kDefaultReplyPauseMs)).trimmed();
        bool ok = false;
        const int pause = pauseText.toInt(&ok, 10);
        if (ok && pause >= 0 && pause <= kMaxReplyPauseMs)
            G_reply_pause_ms = pause;
        else
            logLine(QStringLiteral("reply_pause_ms: значение \"%1\" не число от 0 до %2, оставлено %3")
                        .arg(pauseText).arg(kMaxReplyPauseMs).arg(kDefaultReplyPauseMs));
    }
    const QString mode = G_reply_end == ReplyEnd::Frame
        ? QStringLiteral("frame (конец кадра с верной длиной и CRC, иначе 100 мс тишины)")
        : QStringLiteral("silence (100 мс тишины)");
    logLine(QStringLiteral("конец ответа дозиметра: %1, пауза перед ответом %2 мс").arg(mode).arg(G_reply_pause_ms));
}

// Operator console

int G_rack_columns = 6;
QString G_console_listen = QStringLiteral("127.0.0.1:8080");
QString G_console_cert;
QString G_console_key;
QString G_console_users = QStringLiteral("/etc/cabinet_console/users");
QStringList G_console_hosts;
int G_console_controller_timeout_s = 10;
QString G_dose_unit = QStringLiteral("мЗв");
QString G_rate_unit = QStringLiteral("мЗв/ч");

// Qt 5's QSettings reads an INI file's bytes as Latin-1, so a value written in
// UTF-8 (a unit such as "мЗв") comes back as its bytes; they are read as UTF-8
// again. Qt 6 reads UTF-8 itself: a text with characters above Latin-1 stays.
static QString utf8Setting(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return text;
    }
    const QByteArray bytes = text.toLatin1();
    const QString decoded = QString::fromUtf8(bytes);
    return decoded.toUtf8() == bytes && !decoded.contains(QChar::ReplacementCharacter) ? decoded : text;
}

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
    // A value with commas reads as a list.
    const QVariant hosts = settingsValue(QStringLiteral("console_hosts"), QString());
    G_console_hosts.clear();
    for (const QString &h : hosts.toStringList().join(QLatin1Char(',')).split(QLatin1Char(','), Qt::SkipEmptyParts))
        G_console_hosts << h.trimmed().toLower();
    const int timeout = settingsInt(QStringLiteral("console_controller_timeout"), QStringLiteral("10"));
    G_console_controller_timeout_s = timeout >= 1 && timeout <= 10 ? timeout : 10;
    G_dose_unit = utf8Setting(settingsText(QStringLiteral("dose_unit"), G_dose_unit)).trimmed();
    G_rate_unit = utf8Setting(settingsText(QStringLiteral("rate_unit"), G_rate_unit)).trimmed();
}

// Dose journal

QString G_journal_file = QStringLiteral("journal.sqlite");
QString G_cabinet_id = QSysInfo::machineHostName();
QString G_annual_dose_key;
JournalPgSettings G_journal_pg;

void readJournalSettings()
{
    G_journal_file = QStringLiteral("journal.sqlite");
    G_cabinet_id = QSysInfo::machineHostName();
    G_annual_dose_key.clear();
    G_journal_pg = JournalPgSettings();
    if (!QFileInfo::exists(G_settings_file))
        return;
    G_journal_file = settingsText(QStringLiteral("journal"), G_journal_file);
    G_cabinet_id = settingsText(QStringLiteral("cabinet_id"), G_cabinet_id);
    G_annual_dose_key = settingsText(QStringLiteral("annual_dose_key"), QString()).trimmed();

    QSettings s(G_settings_file, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("Journal"));
    const QString pg = s.value(QStringLiteral("pg"), QStringLiteral("off")).toString().trimmed().toLower();
    G_journal_pg.enabled = pg == QLatin1String("on") || pg == QLatin1String("true") || pg == QLatin1String("1")
        || pg == QLatin1String("yes");
    G_journal_pg.host = s.value(QStringLiteral("host")).toString();
    G_journal_pg.dbname = s.value(QStringLiteral("dbname")).toString();
    G_journal_pg.user = s.value(QStringLiteral("user")).toString();
    G_journal_pg.passwordFile = s.value(QStringLiteral("password_file")).toString();
    bool ok = false;
    const int port = s.value(QStringLiteral("port")).toString().toInt(&ok);
    G_journal_pg.port = ok && port > 0 && port < 65536 ? port : -1;
    const int batch = s.value(QStringLiteral("batch")).toString().toInt(&ok);
    G_journal_pg.batchRows = ok && batch > 0 ? batch : 500;
}

QString journalFilePath()
{
    return G_journal_file.isEmpty() ? QString() : QDir::current().absoluteFilePath(G_journal_file);
}

PgSettings journalPgSettings()
{
    PgSettings pg;
    pg.enabled = G_journal_pg.enabled;
    pg.host = G_journal_pg.host;
    pg.port = G_journal_pg.port;
    pg.dbname = G_journal_pg.dbname;
    pg.user = G_journal_pg.user;
    pg.password = readPasswordFile(G_journal_pg.passwordFile);
    return pg;
}
