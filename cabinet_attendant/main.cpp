// cabinet_attendant: confirms returns at the rack controller with nobody at
// the console (attendant.h). Settings from the controller's settings.ini,
// group [Attendant]; the flags override them.
#include "attendant.h"
#include "attendantsettings.h"
#include "log.h"
#include "settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTimer>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("cabinet_attendant"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVIK_VERSION));
    installLogFormat();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Confirms dosimeter returns at the rack controller: polls OUT, reads the history, checks the read-out in "
        "the dose journal and sends OUT_true; blocks a cell whose read-out or confirmation fails twice."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption settingsOption(QStringLiteral("settings"),
        QStringLiteral("The controller's settings file (default: settings.ini in the working directory)."),
        QStringLiteral("FILE"), QStringLiteral("settings.ini"));
    const QCommandLineOption controllerOption(QStringLiteral("controller"),
        QStringLiteral("Controller address HOST:PORT (default: 127.0.0.1 and the settings' tcp_port)."),
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption intervalOption(QStringLiteral("interval"),
        QStringLiteral("Seconds between two return scans (default 2)."), QStringLiteral("SECONDS"));
    const QCommandLineOption journalOption(QStringLiteral("journal"),
        QStringLiteral("Journal file to check read-outs in, or \"off\" (default: the controller's journal)."),
        QStringLiteral("FILE"));
    parser.addOptions({settingsOption, controllerOption, intervalOption, journalOption});
    parser.process(app);

    G_settings_file = parser.value(settingsOption);
    AttendantSettings s = AttendantSettings::read();
    if (parser.isSet(controllerOption)) {
        QString error;
        if (!controllerclient::parseAddress(parser.value(controllerOption), &s.controller, &error)) {
            logLine(QStringLiteral("--controller: ") + error);
            return 1;
        }
    }
    if (parser.isSet(intervalOption)) {
        bool ok = false;
        const double seconds = parser.value(intervalOption).toDouble(&ok);
        if (!ok || !(seconds >= 0.1 && seconds <= 3600)) {
            logLine(QStringLiteral("--interval: ожидается число секунд от 0.1 до 3600"));
            return 1;
        }
        s.pollMs = int(seconds * 1000);
    }
    if (parser.isSet(journalOption)) {
        const QString j = parser.value(journalOption);
        s.journalPath = j == QLatin1String("off") ? QString() : QDir::current().absoluteFilePath(j);
    }
    for (const QString &p : s.problems)
        logLine(QStringLiteral("настройка не принята: ") + p);
    if (!s.enabled) {
        // Shipped off: a site turns it on once the controller's journal and
        // the confirmation by the attendant are what it wants.
        logLine(QStringLiteral("cabinet_attendant выключен: [Attendant] enabled=on в %1 включает его").arg(G_settings_file));
        return 0;
    }

    Attendant::Options o;
    o.controller = s.controller;
    o.timeouts.replyMs = s.replyTimeoutMs;
    o.journalPath = s.journalPath;
    o.statusEveryMs = s.statusEveryMs;
    Attendant attendant(o);
    logLine(QStringLiteral("cabinet_attendant: контроллер %1, опрос каждые %2 с")
                .arg(s.controller.text()).arg(s.pollMs / 1000.0));

    // One round at a time; the next one starts the interval after the last ended.
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&]() {
        attendant.round();
        timer.start(s.pollMs);
    });
    timer.start(0);
    return app.exec();
}
