#pragma once

#include <QMainWindow>
#include <QString>

class QTimer;
class QPushButton;
class cell;
class settings;
class CodeFileWatcher;
class IssueFlow;

namespace Ui {
class MainWindow;
}

// The idle screen with the keypad, and the login.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    cell *cellDialog() const { return f2_cell; }
    settings *settingsDialog() const { return f3_settings; }
    CodeFileWatcher *codeWatcher() const { return watcher; }

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_backspace_clicked();
    void on_pushButton_12_enter_clicked();

public slots:
    void notification_show(QString notification);
    void slotTimerAlarm();
    void slotCloseCell();
    void Enter_in(int type_enter, QString id);

private slots:
    void on_pushButton_4_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_7_clicked();
    void on_pushButton_8_clicked();
    void on_pushButton_9_clicked();
    void on_pushButton_10_clicked();

    void slotCodeRead(int kind, const QString &code);
    void slotExit();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // The notice's rich text: the text escaped, its line breaks kept.
    static QString noticeHtml(const QString &text);
    // Lays the notice over the window's whole width.
    void placeNotice();
    // Takes down the notice, the code box and the status bar and shows the keypad.
    void clearPreviousWorker();
    void appendDigit(const QString &digit);
    // The digit keys, backspace, Enter, the prompt and the code box.
    QList<QWidget *> keypadWidgets() const;
    void setKeypadVisible(bool visible);
    // Ends a login attempt with a refusal or error text.
    void refuse(const QString &text);

    Ui::MainWindow *ui;
    QTimer *timer;
    cell *f2_cell;
    settings *f3_settings;
    CodeFileWatcher *watcher;
    IssueFlow *m_issueFlow = nullptr;   // the self-service issue, when a controller is set
};
