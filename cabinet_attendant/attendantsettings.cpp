#include "attendantsettings.h"

#include "settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <cmath>

namespace {

bool isOn(const QString &text)
{
    const QString t = text.trimmed().toLower();
    return t == QLatin1String("on") || t == QLatin1String("true") || t == QLatin1String("yes") || t == QLatin1String("1");
}

// Seconds (a decimal number) between min and max as milliseconds, or the default.
void seconds(QSettings &s, const char *key, double min, double max, int *ms, QStringList *problems)
{
    const QString name = QLatin1String(key);
    if (!s.contains(name))
        return;
    bool ok = false;
    const double v = s.value(name).toString().trimmed().toDouble(&ok);
    if (ok && std::isfinite(v) && v >= min && v <= max)
        *ms = int(std::lround(v * 1000));
    else
        *problems << QStringLiteral("%1: \"%2\" не число секунд от %3 до %4")
                         .arg(name, s.value(name).toString()).arg(min).arg(max);
}

} // namespace

AttendantSettings AttendantSettings::read()
{
    AttendantSettings a;
    readPortSettings();
    readJournalSettings();
    a.controller.host = QStringLiteral("127.0.0.1");
    a.controller.port = G_tcp_port;
    a.journalPath = journalFilePath();
    if (!QFileInfo::exists(G_settings_file)) {
        a.problems << QStringLiteral("нет файла настроек %1").arg(G_settings_file);
        return a;
    }
    QSettings s(G_settings_file, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("Attendant"));
    a.enabled = isOn(s.value(QStringLiteral("enabled"), QStringLiteral("off")).toString());
    const QString controller = s.value(QStringLiteral("controller")).toString().trimmed();
    QString error;
    if (!controller.isEmpty() && !controllerclient::parseAddress(controller, &a.controller, &error))
        a.problems << QStringLiteral("controller: ") + error;
    seconds(s, "poll_seconds", 0.1, 3600, &a.pollMs, &a.problems);
    seconds(s, "status_seconds", 1, 86400, &a.statusEveryMs, &a.problems);
    seconds(s, "reply_timeout", 1, 3600, &a.replyTimeoutMs, &a.problems);
    // Only "off" turns the check off: an empty value keeps the controller's journal.
    const QString journal = s.value(QStringLiteral("journal")).toString().trimmed();
    if (journal.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0)
        a.journalPath.clear();
    else if (!journal.isEmpty())
        a.journalPath = QDir::current().absoluteFilePath(journal);
    return a;
}
