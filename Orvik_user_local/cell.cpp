#include "cell.h"
#include "ui_cell.h"

#include "globals.h"
#include "pictures.h"
#include "screenfit.h"

#include <QApplication>
#include <QDebug>
#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QPixmap>
#include <QRadioButton>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>

bool G_Timer_flag_cell = false;
int G_Timer_Error_cell = 10;
bool Flag_Waiting_Close_Cell = true;

const QString RackTableStyle = QStringLiteral(
    "QTableView { font-size: 7pt; text-align: center; margin-left:-70%; margin-right:-70%; }");

QPixmap scaledPicture(const QString &path, int size, Qt::TransformationMode mode)
{
    const QPixmap picture(path);
    if (picture.isNull())
        return QPixmap();
    return picture.scaled(size, size, Qt::IgnoreAspectRatio, mode);
}

void markDosimeterItem(QTableWidget *table, int row, int column)
{
    if (row < 0 || column < 0 || row >= table->rowCount() || column >= table->columnCount())
        return;
    auto *label = new QLabel;
    label->setPixmap(scaledPicture(Pictures::Dosimeter, 17, Qt::SmoothTransformation));
    label->setAlignment(Qt::AlignCenter);
    table->setCellWidget(row, column, label);
    if (QTableWidgetItem *item = table->item(row, column))
        item->setBackground(Qt::green);
}

void fillRackTable(QTableWidget *table, int rows, int columns)
{
    table->clear();
    table->setRowCount(rows);
    table->setColumnCount(columns);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            auto *item = new QTableWidgetItem(QString::number(c + 1));
            item->setTextAlignment(Qt::AlignCenter);
            table->setItem(r, c, item);
        }
    }
    table->setStyleSheet(RackTableStyle);
    table->horizontalHeader()->hide();
    fitTableToArea(table);
}

void layoutForScreen(QWidget *window)
{
    if (window->isVisible())
        return;
    if (QScreen *screen = QGuiApplication::primaryScreen())
        window->resize(screen->geometry().size());
    window->ensurePolished();
    if (window->layout())
        window->layout()->activate();
}

static int readInt(const QString &text)
{
    return text.trimmed().toInt(); // not a number reads as 0
}

cell::cell(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::cell)
{
    ui->setupUi(this);
    ui->label_cell->setFont(screenFont(QStringLiteral("Times"), 32));
    ui->label->setFont(screenFont(QStringLiteral("Times"), 18));
    ui->label_fio->setFont(screenFont(QStringLiteral("Times"), 14, 6));
    ui->label_3->setFont(screenFont(QStringLiteral("Times"), 12));
    for (QWidget *sensor : {ui->pushButton, ui->pushButton_2, ui->pushButton_3, ui->pushButton_4}) {
        sensor->setMinimumSize(screenPixels(50), screenPixels(50));
        sensor->setMaximumSize(screenPixels(75), screenPixels(75));
    }
    ui->tableWidget->setMinimumHeight(screenPixels(120));
    // Touch targets for gloved hands: at least 48 px high on the 480-px panel,
    // the error-report choices with their labels (the indicator sets the
    // height of the area that takes a touch).
    ui->pushButton_done->setFont(screenFont(QStringLiteral("Times"), 20));
    ui->pushButton_done->setMinimumHeight(screenPixels(64));
    ui->pushButton_error->setMinimumHeight(screenPixels(TouchTarget));
    const QString choice = QStringLiteral("QRadioButton { min-height: %1px; spacing: %2px; }"
                                          " QRadioButton::indicator { width: %3px; height: %3px; }")
                               .arg(screenPixels(TouchTarget)).arg(screenPixels(12)).arg(screenPixels(36));
    for (QRadioButton *r : {ui->radioButton, ui->radioButton_2, ui->radioButton_3, ui->radioButton_4})
        r->setStyleSheet(choice);

    ui->foto->setPixmap(scaledPicture(Pictures::Placeholder, 55, Qt::FastTransformation));

    timer_cell = new QTimer(this);
    connect(timer_cell, &QTimer::timeout, this, &cell::slotTimerAlarm_cell);
    timer_cell->start(1000);
    qApp->installEventFilter(this);
}

cell::~cell()
{
    delete ui;
}

void cell::setErrorControlsVisible(bool visible)
{
    ui->pushButton_error->setVisible(visible);
    ui->radioButton->setVisible(visible);
    ui->radioButton_2->setVisible(visible);
    ui->radioButton_3->setVisible(visible);
    ui->radioButton_4->setVisible(visible);
}

void cell::open_cell(QString Global_user_name, QString set_ID, QString kas_ID, QString mesh_ID, QString mesh_status,
                     QString set_name, QString kas_name, QString kas_height, QString kas_width)
{
    Q_UNUSED(set_ID)
    Q_UNUSED(mesh_status)
    Q_UNUSED(set_name)
    setErrorControlsVisible(false);

    const int K = readInt(kas_ID);
    const int M = readInt(mesh_ID);
    const int H = readInt(kas_height);
    const int W = readInt(kas_width);
    // The heading counts rows across racks; the table shows the worker's rack only.
    const CellPosition pos = cellPosition(K, M, H, W);
    const RackPlace place = rackPlace(M, H, W);

    ui->label_cell->setText(QStringLiteral("Кассетница ") + kas_name + QStringLiteral(" Ряд ")
                            + (pos.valid ? QString::number(pos.row) : QString())
                            + QStringLiteral("\nЯчейка ") + (pos.valid ? QString::number(pos.column) : QString()));
    ui->label_fio->setText(Global_user_name);

    // H rows of W cells; each row reads 1 to W. A rack too large to draw is not drawn.
    QTableWidget *table = ui->tableWidget;
    fillRackTable(table, place.rackDrawable ? H : 0, place.rackDrawable ? W : 0);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layoutForScreen(this);
    if (table->columnCount() > 0)
        qDebug() << table->columnWidth(0) << table->geometry().width();

    // The worker's cell is the one green item and carries the dosimeter picture.
    if (place.drawable)
        markDosimeterItem(table, place.tableRow, place.tableColumn);

    G_Timer_flag_cell = true;
    G_Timer_Error_cell = 10;
    m_idleSeconds = 0;
}

void cell::set_foto(QString foto)
{
    // A file that cannot be loaded leaves an empty picture, never the previous one.
    ui->foto->setPixmap(scaledPicture(foto, 55, Qt::FastTransformation));
}

void cell::slotTimerAlarm_cell()
{
    if (!G_Timer_flag_cell)
        return;
    if (G_Timer_Error_cell <= 0 && Flag_Waiting_Close_Cell)
        setErrorControlsVisible(true);
    --G_Timer_Error_cell;
    // Nobody has touched the screen for a while: the worker has gone.
    if (G_Cell_idle_seconds > 0 && isVisible() && ++m_idleSeconds >= G_Cell_idle_seconds) {
        qDebug() << "cell dialog idle for" << m_idleSeconds << "s, back to the main screen";
        returnToMain();
    }
}

bool cell::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::TouchBegin:
    case QEvent::KeyPress:
        if (isVisible())
            m_idleSeconds = 0;
        break;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void cell::on_pushButton_clicked() {}
void cell::on_cell_accepted() {}
void cell::on_pushButton_2_clicked() {}
void cell::on_pushButton_3_clicked() {}
void cell::on_pushButton_3_cansel_clicked() {}

void cell::returnToMain()
{
    // The main window is brought back before this dialog hides, so the
    // program never finds itself without a visible window.
    emit firstWindow();
    QDialog::reject();
    G_Timer_flag_cell = false;
}

void cell::reject()
{
    returnToMain();
}

void cell::on_pushButton_3_cancel_clicked()
{
    returnToMain();
}

void cell::on_pushButton_error_clicked()
{
    returnToMain();
}

// "Готово": the worker is done; back to the main screen as with Esc.
void cell::on_pushButton_done_clicked()
{
    returnToMain();
}
