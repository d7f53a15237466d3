// Renders the terminal's screens to PNG files for review: the main screen, a
// refusal, the cell dialog and the settings screen. Runs in the terminal's
// folder against a database given by the PG* variables (see scripts/render-screens).
#include "cell.h"
#include "globals.h"
#include "mainwindow.h"
#include "settings.h"
#include "screentools.h"

#include <QApplication>
#include <QDir>
#include <QLayout>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <cstdio>

static void press(QWidget *w, const QString &keys)
{
    const QString missed = screentools::press(w, keys);
    if (!missed.isEmpty())
        std::fprintf(stderr, "keys not pressed: %s\n", qPrintable(missed));
}

// Grabs a window at its form's nominal size, whatever the screen's size.
static bool save(QWidget *w, const QString &dir, const char *name, QSize size)
{
    const QString path = screentools::grab(w, dir, QLatin1String(name), size);
    std::fprintf(stderr, "%s %s\n", path.isEmpty() ? "could not write" : "wrote",
                 qPrintable(dir + QLatin1Char('/') + QLatin1String(name)));
    return !path.isEmpty();
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    applyEnvironment();
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screens");
    QDir().mkpath(out);
    bool ok = true;

    MainWindow w;
    w.showFullScreen();
    press(&w, QStringLiteral("1001"));
    ok &= save(&w, out, "main.png", QSize(533, 800));

    press(&w, QStringLiteral("<4>"));  // personnel number 1004: dose exceeded
    ok &= save(&w, out, "refusal.png", QSize(533, 800));
    for (int i = 0; i < 4; ++i)
        w.slotTimerAlarm();

    press(&w, QStringLiteral("<1>"));
    if (!w.cellDialog()->isVisible()) {
        std::fprintf(stderr, "the demo login did not show the cell dialog: %s\n", qPrintable(w.statusBar()->currentMessage()));
        return 1;
    }
    for (int i = 0; i < 11; ++i)
        QMetaObject::invokeMethod(w.cellDialog(), "slotTimerAlarm_cell");
    ok &= save(w.cellDialog(), out, "cell.png", QSize(480, 809));
    if (QPushButton *report = w.cellDialog()->findChild<QPushButton *>(QStringLiteral("pushButton_error")))
        QTest::mouseClick(report, Qt::LeftButton);

    press(&w, G_Password_Settings + QLatin1Char('>'));
    ok &= save(w.settingsDialog(), out, "settings.png", QSize(480, 800));
    return ok ? 0 : 1;
}
