#pragma once

#include <QDialog>

namespace Ui {
class settings;
}

// The service screen, reached from the keypad with the settings code.
class settings : public QDialog
{
    Q_OBJECT

public:
    explicit settings(QWidget *parent = nullptr);
    ~settings() override;

    // Draws the fixed rack picture anew.
    void init_date();

    // Esc, a window-manager close and reject() return like "Назад".
    void reject() override;

signals:
    void firstWindow2();     // "Назад": back to the main screen
    void exitRequested();    // "Выйти из приложения": end the program

private slots:
    void on_pushButton_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_cancel_clicked();
    void on_pushButton_Out_clicked();

private:
    Ui::settings *ui;
};
