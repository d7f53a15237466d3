#pragma once

// Helpers of the programs that drive the terminal's real windows for review:
// clicking the keypad and grabbing a window to PNG.

#include <QApplication>
#include <QLayout>
#include <QPushButton>
#include <QString>
#include <QTest>
#include <QWidget>

namespace screentools {

// The object name of a keypad key: a digit, '<' backspace, '>' Enter.
inline QString keyName(QChar k)
{
    if (k == QLatin1Char('>'))
        return QStringLiteral("pushButton_12_enter");
    if (k == QLatin1Char('<'))
        return QStringLiteral("pushButton_backspace");
    if (k == QLatin1Char('0'))
        return QStringLiteral("pushButton_10");
    if (k == QLatin1Char('1'))
        return QStringLiteral("pushButton");
    return QStringLiteral("pushButton_") + k;
}

// Clicks the keys; returns the keys that could not be pressed (hidden or disabled).
inline QString press(QWidget *w, const QString &keys)
{
    QString missed;
    for (const QChar k : keys) {
        QPushButton *b = w->findChild<QPushButton *>(keyName(k));
        if (b && b->isVisible() && b->isEnabled())
            QTest::mouseClick(b, Qt::LeftButton);
        else
            missed += k;
    }
    return missed;
}

// Grabs a window to dir/name as PNG, at the given size or, with an invalid
// size, as it is shown on the screen. Returns the path, or "" on failure.
inline QString grab(QWidget *w, const QString &dir, const QString &name, QSize size)
{
    if (size.isValid()) {
        w->showNormal();
        for (int i = 0; i < 3; ++i) {
            QApplication::processEvents();
            w->resize(size);
            if (w->layout())
                w->layout()->activate();
        }
    }
    QApplication::processEvents();
    const QString path = dir + QLatin1Char('/') + name;
    return w->grab().save(path, "PNG") ? path : QString();
}

} // namespace screentools
