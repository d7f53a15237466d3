#pragma once

// Walks the screens of the self-service issue (IssueScreen) with the demo
// worker 1001 (rack of 6 x 6): the work-order step, the issue under way and
// the cell to take the dosimeter from with the worker's own dose, and hands
// each to a visitor while it sits full screen.

#include "issuescreen.h"
#include "issuesteps.h"
#include "login.h"
#include "screentour.h"

#include <QTest>

namespace screentools {

inline QString tourSelfServiceScreens(const ScreenVisitor &visit)
{
    IssueScreen screen;
    const QString name = QStringLiteral("Петров\nПётр\nПетрович");
    screen.showWorker(name, LoginEngine::cachePhoto(QStringLiteral("11")));
    screen.showOrderStep();
    screen.showFullScreen();
    settle();
    for (const char *key : {"order_key_4", "order_key_7", "order_key_1", "order_key_1"}) {
        auto *b = screen.findChild<QPushButton *>(QLatin1String(key));
        if (!b)
            return QStringLiteral("no key %1").arg(QLatin1String(key));
        QTest::mouseClick(b, Qt::LeftButton);
    }
    settle();
    visit(QStringLiteral("issue-order"), &screen);

    screen.showIssuing(6, 6);
    screen.showDose(3.25, 20, 16.75, QStringLiteral("мЗв"));
    settle();
    visit(QStringLiteral("issue"), &screen);

    screen.showTake(8, 6, 6);
    screen.setStatus(IssueText::takeStatus(57));
    settle();
    visit(QStringLiteral("own-dose"), &screen);
    screen.hide();
    return QString();
}

} // namespace screentools
