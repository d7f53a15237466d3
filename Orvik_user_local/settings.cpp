#include "settings.h"
#include "ui_settings.h"

#include "cell.h"

#include <QDebug>
#include <QHeaderView>
#include <QTableWidget>

settings::settings(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::settings)
{
    ui->setupUi(this);
    ui->label_message->hide();
    init_date();
}

settings::~settings()
{
    delete ui;
}

void settings::init_date()
{
    // The rack picture is fixed: height "20" gives the columns, width "6" the rows.
    const int columns = QStringLiteral("20").toInt();
    const int rows = QStringLiteral("6").toInt();
    QTableWidget *table = ui->tableWidget;
    table->clear();
    table->setColumnCount(columns);
    table->setRowCount(rows);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            table->setItem(r, c, new QTableWidgetItem(QString::number(c + 1)));
    for (int c = 0; c < columns; ++c)
        table->setColumnWidth(c, 18);
    for (int r = 0; r < rows; ++r)
        table->setRowHeight(r, 32);

    layoutForScreen(this);
    const int columnWidth = (table->geometry().width() - 55) / columns;
    const int rowHeight = (table->geometry().height() - 30) / rows;
    for (int c = 0; c < columns; ++c) {
        table->setColumnWidth(c, columnWidth);
        qDebug() << table->geometry().width() << columnWidth;
    }
    for (int r = 0; r < rows; ++r)
        table->setRowHeight(r, rowHeight);

    table->setStyleSheet(RackTableStyle);
    table->horizontalHeader()->hide();
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            table->item(r, c)->setTextAlignment(Qt::AlignCenter);
    markDosimeterItem(table);
}

void settings::on_pushButton_clicked() {}
void settings::on_pushButton_4_clicked() {}

void settings::on_pushButton_cancel_clicked()
{
    // The main window comes back before this dialog closes, so the program
    // never finds itself without a visible window.
    emit firstWindow2();
    close();
}

void settings::on_pushButton_Out_clicked()
{
    emit exitRequested();
}
