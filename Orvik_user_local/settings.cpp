#include "settings.h"
#include "ui_settings.h"

#include "cell.h"
#include "screenfit.h"

#include <QDebug>
#include <QTableWidget>

settings::settings(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::settings)
{
    ui->setupUi(this);
    ui->label_message->hide();
    ui->tableWidget->setMinimumHeight(screenPixels(200));
    // A touch target like the buttons.
    ui->comboBox->setMinimumHeight(TouchTarget);
    init_date();
}

settings::~settings()
{
    delete ui;
}

void settings::init_date()
{
    // The rack picture is fixed: 6 rows of 20 cells, the first one marked.
    const int columns = QStringLiteral("20").toInt();
    const int rows = QStringLiteral("6").toInt();
    QTableWidget *table = ui->tableWidget;
    fillRackTable(table, rows, columns);
    layoutForScreen(this);
    qDebug() << table->geometry().width() << table->columnWidth(0);
    markDosimeterItem(table);
}

void settings::on_pushButton_clicked() {}
void settings::on_pushButton_4_clicked() {}

void settings::on_pushButton_cancel_clicked()
{
    // The main window comes back before this dialog hides, so the program
    // never finds itself without a visible window.
    emit firstWindow2();
    QDialog::reject();
}

void settings::reject()
{
    on_pushButton_cancel_clicked();
}

void settings::on_pushButton_Out_clicked()
{
    emit exitRequested();
}
