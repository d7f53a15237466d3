#pragma once

// Fitting the screens to the panel they are shown on: font scale, rack
// tables that fill their space, the refusal notice's colours and a status bar
// that never cuts its text silently.

#include <QColor>
#include <QFont>
#include <QStatusBar>
#include <QString>

class QTableWidget;
class QWidget;

// The forms are drawn for a portrait panel of 480 x 800. On a larger screen
// fonts and fixed sizes grow by this factor (never below 1).
double screenScale();
// A font of the forms' family and point size, grown by screenScale().
QFont screenFont(const QString &family, int pointSize, int weight = -1);
// Grows the application's default font by screenScale(), once per process.
void applyScreenFont();
// A fixed size of the forms, grown by screenScale().
int screenPixels(int pixels);
// The least height of anything a worker touches on the 480-px panel, in
// pixels of the forms (grown by screenScale()).
constexpr int TouchTarget = 48;
// Gives a window the place and size of the whole screen. Full screen is only
// a request to a window manager: without one (a kiosk session under xinit)
// the window would keep the size of its form.
void fillScreen(QWidget *window);

// Rows and columns share the table's visible area equally, without scroll
// bars, however the table is resized (for example when controls appear above it).
void fitTableToArea(QTableWidget *table);

// Colours of the refusal notice: white on dark red (#9b0000), contrast 8.8 : 1.
extern const QColor NoticeBackground;
extern const QColor NoticeText;
// Contrast ratio of two colours as WCAG 2 defines it (1 to 21).
double contrastRatio(const QColor &a, const QColor &b);

// A status bar that shows its message on one line: line breaks become blanks,
// and a message too long for the bar is elided, with the whole text in the
// tool tip.
class ElidingStatusBar : public QStatusBar
{
    Q_OBJECT

public:
    explicit ElidingStatusBar(QWidget *parent = nullptr);
    // The text as it is drawn.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void messageChanged(const QString &message);
    QRect textRect() const;
};
