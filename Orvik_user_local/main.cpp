#include "globals.h"
#include "mainwindow.h"

#include <QApplication>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstring>

namespace {

const char kHelp[] =
    "Usage: Orvik_user_local [Qt options]\n"
    "Full-screen user terminal of the dosimeter store: a worker types a personnel code, shows a card or\n"
    "scans a barcode, and is shown the cell that holds their dosimeter, checked against the store's\n"
    "PostgreSQL database. Started by the kiosk session, not by systemd.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Displays this help.\n"
    "  -v, --version  Displays version information.\n"
    "  Qt's own options (-platform NAME, -display DISPLAY and the others) are taken as well.\n"
    "\n"
    "Environment:\n"
    "  PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD  the database (default 127.0.0.1, database zuran,\n"
    "                  user postgres)\n"
    "  ORVIK_PATH_RAM  folder of the reader files and the photo cache (default /tmp/Orvik_gamma)\n"
    "  ORVIK_PHOTO_DIR folder of the photo cache alone\n"
    "  ORVIK_CELL_IDLE_SECONDS  seconds without a touch before the cell dialog returns to the main\n"
    "                  screen (default 60, 0 off)\n"
    "  ORVIK_CONTROLLER  HOST:PORT of the rack controller: a granted login then issues a dosimeter\n"
    "                  (self-service; default: the settings file's controller=, else none; empty: none)\n"
    "  ORVIK_TERMINAL_SETTINGS  the self-service settings file, group [SelfService] (default\n"
    "                  /etc/orvik-terminal/self-service.ini; empty: no file)\n";

// --help and --version are answered before Qt looks for a display.
bool answered(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("Orvik_user_local %s\n", ORVIK_VERSION);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (answered(argc, argv))
        return 0;
    QApplication a(argc, argv);
    applyEnvironment();

    // The first interface language of the system that has a catalogue wins.
    QTranslator translator;
    const QStringList uiLanguages = QLocale::system().uiLanguages();
    for (const QString &locale : uiLanguages) {
        const QString baseName = QStringLiteral("Orvik_user_local_") + QLocale(locale).name();
        if (translator.load(QStringLiteral(":/i18n/") + baseName)) {
            a.installTranslator(&translator);
            break;
        }
    }

    MainWindow w;
    w.showFullScreen();
    return a.exec();
}
