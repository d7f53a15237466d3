// Renders the terminal's screens to PNG files for review: the main screen, a
// refusal, the cell dialog and the settings screen. Runs in the terminal's
// folder against a database given by the PG* variables (see scripts/render-screens).
#include "cell.h"
#include "globals.h"
#include "mainwindow.h"
#include "settings.h"

#include <QApplication>
#include <QDir>
#include <QLayout>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <cstdio>

static void press(QWidget *w, const QString &keys)
{
    for (const QChar k : keys) {
        QString name = k == QLatin1Char('>') ? QStringLiteral("pushButton_12_enter")
            : k == QLatin1Char('<')          ? QStringLiteral("pushButton_backspace")
            : k == QLatin1Char('0')          ? QStringLiteral("pushButton_10")
            : k == QLatin1Char('1')          ? QStringLiteral("pushButton")
                                             : QStringLiteral("pushButton_") + k;
        if (QPushButton *b = w->findChild<QPushButton *>(name))
            QTest::mouseClick(b, Qt::LeftButton);
    }
}

// Grabs a window at its form's nominal size, whatever the screen's size.
static bool save(QWidget *w, const QString &dir, const char *name, QSize size)
{
    w->showNormal();
    for (int i = 0; i < 3; ++i) {
        QApplication::processEvents();
        w->resize(size);
        if (w->layout())
            w->layout()->activate();
    }
    QApplication::processEvents();
    const QString path = dir + QLatin1Char('/') + QLatin1String(name);
    const bool ok = w->grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
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
