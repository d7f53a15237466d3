#include "hubid.h"
#include "journalobserver.h"
#include "journalstore.h"
#include "log.h"
#include "mytcpserver.h"
#include "settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication a(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("cabinet_server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVIK_VERSION));
    installLogFormat();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Dosimeter rack controller: one JSON command per TCP request."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption settingsOption(QStringLiteral("settings"),
        QStringLiteral("Settings file (default: settings.ini in the working directory)."),
        QStringLiteral("FILE"), QStringLiteral("settings.ini"));
    parser.addOption(settingsOption);
    parser.process(a);

    G_settings_file = parser.value(settingsOption);
    bool ok = false;
    const int udevTimeout = qEnvironmentVariableIntValue("CABINET_UDEVADM_TIMEOUT_MS", &ok);
    if (ok && udevTimeout > 0)
        G_udevadm_timeout_ms = udevTimeout;
    readPortSettings();
    readExchangeSettings();
    readJournalSettings();

    JournalObserver journal;
    // Another controller keeps this journal: two would serve one rack.
    if (journal.store() && journal.store()->isRefused()) {
        logLine(QStringLiteral("сервер не запущен: журнал %1 ведет другой процесс").arg(journalFilePath()));
        return 1;
    }
    setCommandObserver(&journal);
    MyTcpServer server;
    return a.exec();
}
