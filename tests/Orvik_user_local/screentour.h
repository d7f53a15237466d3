#pragma once

// Walks the terminal's real windows through every screen that a worker or a
// service engineer sees, against the demo database (db/demo.sql), and hands
// each screen to a visitor while it sits full screen on the screen.

#include "cell.h"
#include "globals.h"
#include "mainwindow.h"
#include "screentools.h"
#include "settings.h"

#include <QApplication>
#include <QStatusBar>
#include <QString>

#include <functional>

namespace screentools {

using ScreenVisitor = std::function<void(const QString &name, QWidget *window)>;

// Lets the window settle (show, layout, paint) before it is looked at.
inline void settle()
{
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
}

// Returns an error text, empty when every screen could be reached.
inline QString tourScreens(MainWindow &w, const ScreenVisitor &visit)
{
    w.showFullScreen();
    settle();
    if (!press(&w, QStringLiteral("1001")).isEmpty())
        return QStringLiteral("keypad not usable");
    settle();
    visit(QStringLiteral("main"), &w);

    // Refusals: a blocked worker, an exceeded dose, a blocked set (all with
    // line breaks), and the database error.
    const struct {
        const char *name;
        const char *code;
    } refusals[] = {{"refusal-blocked", "1003"}, {"refusal-dose", "1004"}, {"refusal-set", "1006"}};
    for (const auto &r : refusals) {
        w.Enter_in(0, QString::fromLatin1(r.code));
        settle();
        if (!w.cellDialog()->isHidden() || w.statusBar()->currentMessage().isEmpty())
            return QStringLiteral("no refusal for %1").arg(QLatin1String(r.code));
        visit(QString::fromLatin1(r.name), &w);
        for (int i = 0; i < 4; ++i)
            w.slotTimerAlarm();
    }

    if (!press(&w, QStringLiteral("1001>")).isEmpty() || !w.cellDialog()->isVisible())
        return QStringLiteral("the demo login did not show the cell dialog: ") + w.statusBar()->currentMessage();
    cell *dialog = w.cellDialog();
    settle();
    visit(QStringLiteral("cell"), dialog);
    for (int i = 0; i < 11; ++i)
        QMetaObject::invokeMethod(dialog, "slotTimerAlarm_cell");
    settle();
    visit(QStringLiteral("cell-error-controls"), dialog);
    dialog->reject();
    settle();

    if (!press(&w, G_Password_Settings + QLatin1Char('>')).isEmpty() || !w.settingsDialog()->isVisible())
        return QStringLiteral("the settings code did not show the settings screen");
    settle();
    visit(QStringLiteral("settings"), w.settingsDialog());
    w.settingsDialog()->reject();
    settle();
    return QString();
}

} // namespace screentools
