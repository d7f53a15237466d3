#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "cell.h"
#include "codewatcher.h"
#include "globals.h"
#include "issueflow.h"
#include "login.h"
#include "pictures.h"
#include "screenfit.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QIcon>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    applyScreenFont();
    ui->setupUi(this);
    // One line that elides a long message and carries the whole text in its tool tip.
    ui->statusbar = new ElidingStatusBar(this);
    ui->statusbar->setObjectName(QStringLiteral("statusbar"));
    setStatusBar(ui->statusbar);

    const QFont keyFont = screenFont(QStringLiteral("Times"), 32);
    QFont promptFont = screenFont(QStringLiteral("Times"), 16);
    promptFont.setBold(true);
    QFont codeFont = screenFont(QStringLiteral("Times"), 32);
    codeFont.setBold(true);
    ui->label->setFont(promptFont);
    ui->textEdit_kod->setFont(codeFont);
    for (QPushButton *key : {ui->pushButton, ui->pushButton_2, ui->pushButton_3, ui->pushButton_4, ui->pushButton_5,
                             ui->pushButton_6, ui->pushButton_7, ui->pushButton_8, ui->pushButton_9,
                             ui->pushButton_10, ui->pushButton_backspace, ui->pushButton_12_enter}) {
        key->setFont(keyFont);
        key->setMinimumHeight(screenPixels(100));
    }
    ui->label->setFixedHeight(screenPixels(100));
    ui->textEdit_kod->setMinimumHeight(screenPixels(62));
    ui->textEdit_kod->setMaximumHeight(screenPixels(100));
    for (QPushButton *sensor : {ui->pushButton_11_detect1, ui->pushButton_12_detect2, ui->pushButton_13_detect3,
                                ui->pushButton_14_detect4}) {
        sensor->setFont(screenFont(QStringLiteral("Times"), 32, 6));
        sensor->setFixedSize(screenPixels(75), screenPixels(75));
    }
    ui->label_message->setWordWrap(true);
    // Space left over stays at the bottom, so the panel keeps its place when the keypad hides.
    ui->verticalLayout->addStretch(1);
    // The hidden keypad keeps its room, so nothing moves under a notice.
    for (QWidget *w : keypadWidgets()) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
    // Narrow margins: on a 480-px panel the Enter key needs every pixel for its icon and text.
    ui->verticalLayout->setContentsMargins(4, 4, 4, 4);
    ui->gridLayout_keypad->setSpacing(4);
    ui->pushButton_backspace->setIcon(QIcon(Pictures::Backspace));
    ui->pushButton_backspace->setIconSize(QSize(48, 48));
    ui->pushButton_12_enter->setIcon(QIcon(Pictures::Enter));
    ui->pushButton_12_enter->setIconSize(QSize(64, 64));

    fillScreen(this);

    f2_cell = new cell(nullptr);
    connect(f2_cell, &cell::firstWindow, this, &MainWindow::slotCloseCell);
    connect(f2_cell, &cell::firstWindow_settings, this, &MainWindow::slotCloseCell);

    // "Назад" of the settings screen returns the way the cell dialog does:
    // idle again, full screen, code box cleared.
    f3_settings = new settings(nullptr);
    connect(f3_settings, &settings::firstWindow2, this, &MainWindow::slotCloseCell);
    connect(f3_settings, &settings::exitRequested, this, &MainWindow::slotExit);

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &MainWindow::slotTimerAlarm);
    timer->start(1000);

    ui->pushButton_12_enter->setEnabled(false);
    ui->label_message->hide();
    ui->label_log1->hide();
    ui->label_log2->hide();
    ui->label_log3->hide();
    ui->label_name_sensor->show();
    ui->pushButton_11_detect1->show();
    ui->pushButton_12_detect2->show();
    ui->pushButton_13_detect3->show();
    ui->pushButton_14_detect4->show();

    Global_Timer_main = true;
    Global_user_name = QString();
    Global_Timer_Error = 0;

    // With a controller address a granted login issues a dosimeter (issueflow.h).
    const SelfServiceSettings selfService = SelfServiceSettings::load();
    if (selfService.enabled()) {
        m_issueFlow = new IssueFlow(selfService, this);
        connect(m_issueFlow, &IssueFlow::finished, this, &MainWindow::slotCloseCell);
        connect(m_issueFlow, &IssueFlow::failed, this, [this](const QString &notice) {
            slotCloseCell();
            notification_show(notice);
        });
    }

    watcher = new CodeFileWatcher(G_Path_RAM, this);
    connect(watcher, &CodeFileWatcher::codeRead, this, &MainWindow::slotCodeRead);
    watcher->start();
}

MainWindow::~MainWindow()
{
    delete f2_cell;
    delete f3_settings;
    delete ui;
}

void MainWindow::appendDigit(const QString &digit)
{
    ui->textEdit_kod->setPlainText(ui->textEdit_kod->toPlainText() + digit);
    ui->pushButton_12_enter->setEnabled(true);
}

void MainWindow::on_pushButton_clicked() { appendDigit(QStringLiteral("1")); }
void MainWindow::on_pushButton_2_clicked() { appendDigit(QStringLiteral("2")); }
void MainWindow::on_pushButton_3_clicked() { appendDigit(QStringLiteral("3")); }
void MainWindow::on_pushButton_4_clicked() { appendDigit(QStringLiteral("4")); }
void MainWindow::on_pushButton_5_clicked() { appendDigit(QStringLiteral("5")); }
void MainWindow::on_pushButton_6_clicked() { appendDigit(QStringLiteral("6")); }
void MainWindow::on_pushButton_7_clicked() { appendDigit(QStringLiteral("7")); }
void MainWindow::on_pushButton_8_clicked() { appendDigit(QStringLiteral("8")); }
void MainWindow::on_pushButton_9_clicked() { appendDigit(QStringLiteral("9")); }
void MainWindow::on_pushButton_10_clicked() { appendDigit(QStringLiteral("0")); }

void MainWindow::on_pushButton_backspace_clicked()
{
    QString text = ui->textEdit_kod->toPlainText();
    if (!text.isEmpty())
        text.chop(1);
    if (text.isEmpty())
        ui->pushButton_12_enter->setEnabled(false);
    ui->textEdit_kod->setPlainText(text);
}

void MainWindow::on_pushButton_12_enter_clicked()
{
    const QString code = ui->textEdit_kod->toPlainText();
    if (code == G_Password_Settings) {
        qDebug() << "Переход в настройки";
        f3_settings->init_date();
        f3_settings->showFullScreen();
        close();
        Global_Timer_main = false;
    } else if (code == G_Password_Settings_Out) {
        qDebug() << "Выход";
        close();
    } else {
        Enter_in(0, code);
    }
}

QList<QWidget *> MainWindow::keypadWidgets() const
{
    return {ui->pushButton,   ui->pushButton_2, ui->pushButton_3, ui->pushButton_4,        ui->pushButton_5,
            ui->pushButton_6, ui->pushButton_7, ui->pushButton_8, ui->pushButton_9,        ui->pushButton_10,
            ui->label,        ui->textEdit_kod, ui->pushButton_backspace, ui->pushButton_12_enter};
}

void MainWindow::setKeypadVisible(bool visible)
{
    for (QWidget *w : keypadWidgets())
        w->setVisible(visible);
}

QString MainWindow::noticeHtml(const QString &text)
{
    // Escaped, so that a name or reason is shown as typed, with its line breaks.
    QString html = text.toHtmlEscaped();
    html.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    return QStringLiteral("<h2><center>") + html + QStringLiteral("</center><h2>");
}

void MainWindow::placeNotice()
{
    // As wide as the window, as high as the wrapped text needs, and at least
    // down to the sensor panel's lower edge, so no half-covered key shows.
    const int width = qMax(1, centralWidget()->width() - 10);
    const int panelBottom = ui->pushButton_13_detect3->geometry().bottom() + 4;
    ui->label_message->setGeometry(5, 57, width, qMax(ui->label_message->heightForWidth(width), panelBottom - 57));
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    placeNotice();
}

void MainWindow::clearPreviousWorker()
{
    ui->label_message->hide();
    ui->label_message->clear();
    ui->textEdit_kod->clear();
    ui->statusbar->clearMessage();
    setKeypadVisible(true);
}

void MainWindow::notification_show(QString notification)
{
    if (!notification.isEmpty())
        ui->label_message->setText(noticeHtml(notification));
    ui->label_message->setStyleSheet(QStringLiteral("QLabel { background-color : %1; color : %2; }")
                                         .arg(NoticeBackground.name(), NoticeText.name()));
    placeNotice();
    ui->label_message->raise();
    ui->label_message->show();
    ui->statusbar->showMessage(notification);
    Global_Timer_Error = 5;
    setKeypadVisible(false);
    Global_Timer_main = true;
}

void MainWindow::slotTimerAlarm()
{
    if (!Global_Timer_main)
        return;
    if (Global_Timer_Error < 1)
        return;
    --Global_Timer_Error;
    if (Global_Timer_Error == 1)
        clearPreviousWorker();
}

void MainWindow::slotCloseCell()
{
    Global_Timer_main = true;
    showFullScreen();
    ui->statusbar->showMessage(QString());
    ui->textEdit_kod->setPlainText(QString());
}

void MainWindow::refuse(const QString &text)
{
    notification_show(text);
    Global_Timer_main = true;
}

void MainWindow::Enter_in(int type_enter, QString id)
{
    if (Global_Timer_main) {
        Global_Timer_main = false;
        // Nothing of an earlier worker stays on screen during or after this login.
        clearPreviousWorker();
        Global_Timer_Error = 0;
        ui->statusbar->showMessage(LoginText::Busy);
        Global_user_id = QString();
        Global_user_name = QString();
        // Painted now: the database calls below block the screen until they end.
        if (centralWidget()->layout())
            centralWidget()->layout()->activate();
        if (isVisible())
            repaint();
    } else {
        ui->statusbar->showMessage(LoginText::OtherOperation);
        Global_Timer_main = true;
        return;
    }
    if (G_SERVICE_Tulem_Narbet != 0)
        return;

    const LoginEngine::Result r = LoginEngine::login(type_enter, id);
    if (r.user.found) {
        Global_user_id = r.user.userId;
        Global_user_name = r.user.name;
    }
    switch (r.outcome) {
    case LoginEngine::Outcome::DatabaseError:
        notification_show(LoginText::DbError);
        ui->statusbar->showMessage(LoginText::DbErrorStatus);
        Global_Timer_main = true;
        return;
    case LoginEngine::Outcome::Refused:
        refuse(r.text);
        return;
    case LoginEngine::Outcome::Granted:
        break;
    }

    if (m_issueFlow) {
        m_issueFlow->start(r.user, r.cell);
        close();
        return;
    }

    // The dialog is shown before the main window closes, so the program
    // never finds itself without a visible window.
    f2_cell->open_cell(Global_user_name, r.cell.setId, r.cell.kasId, r.cell.meshId, r.cell.status, r.cell.setName,
                       r.cell.kasName, r.cell.height, r.cell.width);
    f2_cell->show();
    f2_cell->showFullScreen();
    close();
    f2_cell->set_foto(LoginEngine::cachePhoto(Global_user_id));
}

void MainWindow::slotCodeRead(int kind, const QString &code)
{
    // Codes from the readers count only while the main screen is idle.
    if (!Global_Timer_main) {
        qDebug() << "code ignored while busy, kind" << kind;
        return;
    }
    Enter_in(kind, code);
}

void MainWindow::slotExit()
{
    f2_cell->hide();
    f3_settings->hide();
    close();
    QCoreApplication::quit();
}
