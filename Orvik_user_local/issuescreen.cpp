#include "issuescreen.h"

#include "cell.h"
#include "issuesteps.h"
#include "rackplace.h"
#include "screenfit.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QLabel *wrappedLabel(const QFont &font, Qt::Alignment alignment, const QString &name, QWidget *parent)
{
    auto *l = new QLabel(parent);
    l->setFont(font);
    l->setWordWrap(true);
    l->setAlignment(alignment);
    l->setObjectName(name);
    return l;
}

QString doseText(double value, const QString &unit)
{
    return QString::number(value, 'f', 3) + QLatin1Char(' ') + unit;
}

} // namespace

IssueScreen::IssueScreen(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("issueScreen"));
    setWindowTitle(QStringLiteral("Dialog"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);

    QFont headingFont = screenFont(QStringLiteral("Times"), 24);
    headingFont.setBold(true);
    m_heading = wrappedLabel(headingFont, Qt::AlignCenter, QStringLiteral("issue_heading"), this);
    layout->addWidget(m_heading);

    auto *worker = new QHBoxLayout;
    m_photo = new QLabel(this);
    m_photo->setObjectName(QStringLiteral("issue_photo"));
    m_photo->setFixedSize(screenPixels(55), screenPixels(55));
    worker->addWidget(m_photo);
    m_name = wrappedLabel(screenFont(QStringLiteral("Times"), 14, 6), Qt::AlignLeft | Qt::AlignVCenter,
                          QStringLiteral("issue_name"), this);
    m_name->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    worker->addWidget(m_name, 1);
    layout->addLayout(worker);

    // The worker's own dose: what the year has brought, what is allowed, what is left.
    m_dosePanel = new QFrame(this);
    m_dosePanel->setObjectName(QStringLiteral("issue_dose"));
    m_dosePanel->setFrameShape(QFrame::StyledPanel);
    auto *dose = new QVBoxLayout(m_dosePanel);
    dose->setContentsMargins(8, 4, 8, 4);
    dose->setSpacing(2);
    QFont captionFont = screenFont(QStringLiteral("Times"), 14);
    captionFont.setBold(true);
    m_doseCaption = wrappedLabel(captionFont, Qt::AlignLeft, QStringLiteral("issue_dose_caption"), m_dosePanel);
    m_doseCaption->setText(QStringLiteral("Ваша доза за этот год"));
    dose->addWidget(m_doseCaption);
    const QFont doseFont = screenFont(QStringLiteral("Times"), 14);
    m_doseReceived = wrappedLabel(doseFont, Qt::AlignLeft, QStringLiteral("issue_dose_received"), m_dosePanel);
    m_dosePermitted = wrappedLabel(doseFont, Qt::AlignLeft, QStringLiteral("issue_dose_permitted"), m_dosePanel);
    QFont leftFont = doseFont;
    leftFont.setBold(true);
    m_doseLeft = wrappedLabel(leftFont, Qt::AlignLeft, QStringLiteral("issue_dose_left"), m_dosePanel);
    for (QLabel *l : {m_doseReceived, m_dosePermitted, m_doseLeft})
        dose->addWidget(l);
    m_dosePanel->hide();
    layout->addWidget(m_dosePanel);

    m_status = wrappedLabel(screenFont(QStringLiteral("Times"), 14), Qt::AlignCenter, QStringLiteral("issue_status"),
                            this);
    layout->addWidget(m_status);

    m_pages = new QStackedWidget(this);
    m_table = new QTableWidget(m_pages);
    m_table->setObjectName(QStringLiteral("issue_table"));
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->setMinimumHeight(screenPixels(120));
    m_pages->addWidget(m_table);

    // The work-order keypad: the digits typed, ten keys and backspace, and
    // the two ways on.
    auto *order = new QWidget(m_pages);
    auto *orderLayout = new QVBoxLayout(order);
    orderLayout->setContentsMargins(0, 0, 0, 0);
    QFont codeFont = screenFont(QStringLiteral("Times"), 28);
    codeFont.setBold(true);
    m_orderCode = wrappedLabel(codeFont, Qt::AlignCenter, QStringLiteral("order_code"), order);
    m_orderCode->setFrameShape(QFrame::StyledPanel);
    m_orderCode->setMinimumHeight(screenPixels(56));
    orderLayout->addWidget(m_orderCode);
    auto *keys = new QGridLayout;
    keys->setSpacing(4);
    const QString digits = QStringLiteral("1234567890");
    for (int i = 0; i < digits.size(); ++i) {
        const QString d = digits.mid(i, 1);
        QPushButton *b = key(d, QStringLiteral("order_key_") + d);
        connect(b, &QPushButton::clicked, this, [this, d]() { appendOrderDigit(d); });
        keys->addWidget(b, i / 3, i % 3);
    }
    QPushButton *back = key(QStringLiteral("Стереть"), QStringLiteral("order_backspace"));
    connect(back, &QPushButton::clicked, this, [this]() {
        QString text = m_orderCode->text();
        text.chop(1);
        m_orderCode->setText(text);
    });
    keys->addWidget(back, 3, 1, 1, 2);
    orderLayout->addLayout(keys, 1);
    auto *ways = new QHBoxLayout;
    QPushButton *none = key(QStringLiteral("Без наряда"), QStringLiteral("order_none"));
    connect(none, &QPushButton::clicked, this, [this]() { emit orderEntered(QString()); });
    QPushButton *next = key(QStringLiteral("Далее"), QStringLiteral("order_next"));
    connect(next, &QPushButton::clicked, this, [this]() { emit orderEntered(m_orderCode->text()); });
    ways->addWidget(none);
    ways->addWidget(next);
    orderLayout->addLayout(ways);
    m_pages->addWidget(order);
    layout->addWidget(m_pages, 1);
    // A kiosk without a window manager honours no full-screen request.
    fillScreen(this);
}

QPushButton *IssueScreen::key(const QString &text, const QString &name)
{
    auto *b = new QPushButton(text, this);
    b->setObjectName(name);
    b->setFont(screenFont(QStringLiteral("Times"), 22));
    b->setMinimumHeight(screenPixels(56));
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    return b;
}

void IssueScreen::appendOrderDigit(const QString &digit)
{
    // The dosimeter keeps 20 characters of a work order.
    if (m_orderCode->text().size() < 20)
        m_orderCode->setText(m_orderCode->text() + digit);
}

void IssueScreen::showWorker(const QString &name, const QString &photoPath)
{
    m_name->setText(name);
    setPhoto(photoPath);
    m_dosePanel->hide();
    setStatus(QString());
}

void IssueScreen::setPhoto(const QString &photoPath)
{
    m_photo->setPixmap(scaledPicture(photoPath, screenPixels(55), Qt::FastTransformation));
}

void IssueScreen::showOrderStep()
{
    m_heading->setText(IssueText::OrderHeading);
    m_orderCode->clear();
    setStatus(QString());
    m_pages->setCurrentIndex(1);
}

void IssueScreen::showIssuing(int rackHeight, int rackWidth)
{
    m_heading->setText(IssueText::Issuing);
    setStatus(IssueText::IssuingStatus);
    m_pages->setCurrentIndex(0);
    drawRack(rackHeight, rackWidth, 0);
}

QStringList IssueScreen::doseTexts(double received, double permitted, double left, const QString &unit)
{
    return {QStringLiteral("Получено: ") + doseText(received, unit),
            QStringLiteral("Разрешено: ") + doseText(permitted, unit),
            QStringLiteral("Осталось: ") + doseText(left, unit)};
}

void IssueScreen::showDose(double received, double permitted, double left, const QString &unit)
{
    const QStringList lines = doseTexts(received, permitted, left, unit);
    m_doseReceived->setText(lines.at(0));
    m_dosePermitted->setText(lines.at(1));
    m_doseLeft->setText(lines.at(2));
    m_dosePanel->show();
}

void IssueScreen::showTake(int cell, int rackHeight, int rackWidth)
{
    m_heading->setText(IssueText::takeHeading(cell));
    m_pages->setCurrentIndex(0);
    drawRack(rackHeight, rackWidth, cell);
}

void IssueScreen::setStatus(const QString &text)
{
    m_status->setText(text);
    m_status->setVisible(!text.isEmpty());
}

void IssueScreen::drawRack(int rackHeight, int rackWidth, int markedCell)
{
    const RackPlace place = rackPlace(markedCell, rackHeight, rackWidth);
    fillRackTable(m_table, place.rackDrawable ? rackHeight : 0, place.rackDrawable ? rackWidth : 0);
    layoutForScreen(this);
    if (place.drawable)
        markDosimeterItem(m_table, place.tableRow, place.tableColumn);
}

void IssueScreen::reject()
{
    emit closeRequested();
}

QString IssueScreen::heading() const
{
    return m_heading->text();
}

QString IssueScreen::status() const
{
    return m_status->text();
}

QStringList IssueScreen::doseLines() const
{
    if (m_dosePanel->isHidden())
        return {};
    return {m_doseReceived->text(), m_dosePermitted->text(), m_doseLeft->text()};
}
