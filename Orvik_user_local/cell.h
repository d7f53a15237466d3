#pragma once

#include "rackplace.h"

#include <QDialog>
#include <QPixmap>
#include <QString>

class QTimer;
class QTableWidget;

namespace Ui {
class cell;
}

// Countdown state of the cell dialog.
extern bool G_Timer_flag_cell;        // true: the error-report countdown runs
extern int G_Timer_Error_cell;        // seconds counter of the countdown
extern bool Flag_Waiting_Close_Cell;  // gate for showing the error-report controls

// The screen a worker sees after a successful login.
class cell : public QDialog
{
    Q_OBJECT

public:
    explicit cell(QWidget *parent = nullptr);
    ~cell() override;

    void open_cell(QString Global_user_name, QString set_ID, QString kas_ID, QString mesh_ID, QString mesh_status,
                   QString set_name, QString kas_name, QString kas_height, QString kas_width);
    void set_foto(QString foto);

    // Esc, a window-manager close and reject() all return to the main screen.
    void reject() override;

signals:
    void firstWindow();
    void firstWindow_settings();

private slots:
    void on_pushButton_clicked();
    void on_cell_accepted();
    void slotTimerAlarm_cell();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_3_cansel_clicked();
    void on_pushButton_3_cancel_clicked();
    void on_pushButton_error_clicked();
    void on_pushButton_done_clicked();

protected:
    // Any touch, click or key while the dialog is up restarts its idle time.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setErrorControlsVisible(bool visible);
    // Hands the screen back to the main window and hides the dialog.
    void returnToMain();

    Ui::cell *ui;
    QTimer *timer_cell;
    int m_idleSeconds = 0;
};

// Table style of the rack pictures.
extern const QString RackTableStyle;
// Puts the dosimeter picture into an item of a rack table and marks it green.
void markDosimeterItem(QTableWidget *table, int row = 0, int column = 0);
// Fills a rack table: rows of columns items, each row numbered 1 to columns.
void fillRackTable(QTableWidget *table, int rows, int columns);
// A square picture of the file at path, or an empty one when it cannot be loaded.
QPixmap scaledPicture(const QString &path, int size, Qt::TransformationMode mode);
// Lays out a hidden window as it will be on the full screen, so that the
// geometry of its widgets can be read before it is shown.
void layoutForScreen(QWidget *window);
