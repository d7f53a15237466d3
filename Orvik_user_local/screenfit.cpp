// Sizes, fonts and colours taken from the screen the terminal runs on.
#include "screenfit.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOption>
#include <QTableWidget>

#include <algorithm>
#include <cmath>

double screenScale()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 1.0;
    const QSize size = screen->geometry().size();
    return std::max(1.0, std::min(size.width() / 480.0, size.height() / 800.0));
}

QFont screenFont(const QString &family, int pointSize, int weight)
{
    QFont f(family, int(std::lround(pointSize * screenScale())), weight);
    return f;
}

void applyScreenFont()
{
    static const QFont base = QGuiApplication::font();
    QFont f = base;
    if (base.pointSizeF() > 0)
        f.setPointSizeF(base.pointSizeF() * screenScale());
    QGuiApplication::setFont(f);
}

int screenPixels(int pixels)
{
    return int(std::lround(pixels * screenScale()));
}

void fillScreen(QWidget *window)
{
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        window->setGeometry(screen->geometry());
}

void fitTableToArea(QTableWidget *table)
{
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (QHeaderView *header : {table->horizontalHeader(), table->verticalHeader()}) {
        header->setMinimumSectionSize(1);
        header->setSectionResizeMode(QHeaderView::Stretch);
    }
}

const QColor NoticeBackground(0x9b, 0x00, 0x00);
const QColor NoticeText(Qt::white);

static double luminance(const QColor &c)
{
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrastRatio(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

ElidingStatusBar::ElidingStatusBar(QWidget *parent)
    : QStatusBar(parent)
{
    setSizeGripEnabled(false);
    connect(this, &QStatusBar::messageChanged, this, &ElidingStatusBar::messageChanged);
}

QRect ElidingStatusBar::textRect() const
{
    return rect().adjusted(6, 0, -6, 0);
}

QString ElidingStatusBar::shownText() const
{
    QString line = currentMessage();
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return fontMetrics().elidedText(line, Qt::ElideRight, textRect().width());
}

void ElidingStatusBar::messageChanged(const QString &message)
{
    QString line = message;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    setToolTip(shownText() == line ? QString() : message);
}

void ElidingStatusBar::paintEvent(QPaintEvent *event)
{
    if (currentMessage().isEmpty()) {
        QStatusBar::paintEvent(event);
        return;
    }
    QPainter p(this);
    p.setPen(palette().windowText().color());
    p.drawText(textRect(), Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine, shownText());
}

void ElidingStatusBar::resizeEvent(QResizeEvent *event)
{
    QStatusBar::resizeEvent(event);
    messageChanged(currentMessage());
}
