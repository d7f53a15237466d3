#pragma once

// The screen of a self-service issue: an optional work-order keypad, then
// "Выдача дозиметра…" while the controller programs a dosimeter, then the
// cell to take it from, marked in the rack, with the worker's name, photo and
// own annual dose (received, permitted, left). Only shows what IssueFlow
// tells it; built in code, in the look of the cell dialog.

#include <QDialog>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTableWidget;

class IssueScreen : public QDialog
{
    Q_OBJECT

public:
    explicit IssueScreen(QWidget *parent = nullptr);

    // Name (three lines) and photo of the worker; the dose panel stays empty
    // until showDose().
    void showWorker(const QString &name, const QString &photoPath);
    void setPhoto(const QString &photoPath);
    // The work-order keypad; orderEntered() gives the digits typed ("" for "Без наряда").
    void showOrderStep();
    // Waiting for the controller; the rack drawn without a mark.
    void showIssuing(int rackHeight, int rackWidth);
    // The worker's annual dose, in the unit given.
    void showDose(double received, double permitted, double left, const QString &unit);
    // The cell to take the dosimeter from, marked in the rack when it lies in it.
    void showTake(int cell, int rackHeight, int rackWidth);
    void setStatus(const QString &text);

    // Esc and a window close end the screen through closeRequested().
    void reject() override;

    QString heading() const;
    QString status() const;
    // "Получено …", "Разрешено …", "Осталось …" as shown.
    QStringList doseLines() const;
    QTableWidget *rackTable() const { return m_table; }

    // The three lines of the dose panel for these values.
    static QStringList doseTexts(double received, double permitted, double left, const QString &unit);

signals:
    void orderEntered(const QString &order);
    void closeRequested();

private:
    void drawRack(int rackHeight, int rackWidth, int markedCell);
    void appendOrderDigit(const QString &digit);
    QPushButton *key(const QString &text, const QString &name);

    QLabel *m_heading;
    QLabel *m_photo;
    QLabel *m_name;
    QFrame *m_dosePanel;
    QLabel *m_doseCaption;
    QLabel *m_doseReceived;
    QLabel *m_dosePermitted;
    QLabel *m_doseLeft;
    QLabel *m_status;
    QStackedWidget *m_pages;
    QTableWidget *m_table;
    QLabel *m_orderCode;
};
