#pragma once

// Helpers of the tests that drive the terminal's real windows.

#include "cell.h"
#include "globals.h"
#include "mainwindow.h"
#include "screentools.h"
#include "terminaltest.h"

#include <QFile>
#include <QLabel>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace windowtest {

template <typename T>
T *child(QWidget *w, const char *name)
{
    T *c = w->findChild<T *>(QLatin1String(name));
    if (!c)
        qFatal("no widget %s", name);
    return c;
}

// Stops a window's own one-second timer so that ticks are driven by the test.
inline void stopOwnTimer(QObject *o)
{
    for (QTimer *t : o->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        t->stop();
}

// Items of a table with a green background, as "row,column".
inline QStringList greenItems(QTableWidget *t)
{
    QStringList out;
    for (int r = 0; r < t->rowCount(); ++r)
        for (int c = 0; c < t->columnCount(); ++c)
            if (t->item(r, c) && t->item(r, c)->background().color() == QColor(Qt::green))
                out << QStringLiteral("%1,%2").arg(r).arg(c);
    return out;
}

// True when the keypad, the prompt and the code box are all shown.
inline bool keypadShown(QWidget *main)
{
    for (const char *n : {"pushButton", "pushButton_5", "pushButton_10", "pushButton_backspace",
                          "pushButton_12_enter", "label", "textEdit_kod"})
        if (child<QWidget>(main, n)->isHidden())
            return false;
    return true;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A main window on the cluster with the photo cache in ram and the globals
// at their start values, shown full screen; its own timers and the cell
// dialog's are stopped so that the test drives the ticks.
inline std::unique_ptr<MainWindow> freshTerminal(const TestCluster &cluster, const QString &ram)
{
    cluster.useCluster();
    G_Path_RAM = ram;
    G_Input_value = 0;
    G_SERVICE_Tulem_Narbet = 0;
    G_Cell_idle_seconds = 60;
    G_Timer_flag_cell = false;
    G_Timer_Error_cell = 10;
    std::unique_ptr<MainWindow> w(new MainWindow);
    stopOwnTimer(w.get());
    stopOwnTimer(w->cellDialog());
    w->showFullScreen();
    return w;
}

} // namespace windowtest
