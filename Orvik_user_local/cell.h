#pragma once

#include <QDialog>
#include <QPixmap>
#include <QString>

class QTimer;

namespace Ui {
class cell;
}

// Countdown state of the cell dialog.
extern bool G_Timer_flag_cell;        // true: the error-report countdown runs
extern int G_Timer_Error_cell;        // seconds counter of the countdown
extern bool Flag_Waiting_Close_Cell;  // gate for showing the error-report controls

// Row and position of a worker's cell in the rack table. Racks follow one
// another downwards, height rows each; width cells make one row.
struct CellPosition {
    bool valid = false;  // false when the width is below 1 or the row does not fit an int
    int row = 0;         // 1-based
    int column = 0;      // 1-based
};
CellPosition cellPosition(int kasId, int meshId, int height, int width);

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

private:
    void setErrorControlsVisible(bool visible);

    Ui::cell *ui;
    QTimer *timer_cell;
};

// Table style of the rack pictures.
extern const QString RackTableStyle;
// Puts the dosimeter picture into the first item of a rack table and marks it green.
class QTableWidget;
void markDosimeterItem(QTableWidget *table);
// A square picture of the file at path, or an empty one when it cannot be loaded.
QPixmap scaledPicture(const QString &path, int size, Qt::TransformationMode mode);
// Lays out a hidden window as it will be on the full screen, so that the
// geometry of its widgets can be read before it is shown.
void layoutForScreen(QWidget *window);
