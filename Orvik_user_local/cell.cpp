#include "cell.h"
#include "ui_cell.h"

#include <QDebug>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QPixmap>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>

#include <limits>

bool G_Timer_flag_cell = false;
int G_Timer_Error_cell = 10;
bool Flag_Waiting_Close_Cell = true;

const QString RackTableStyle = QStringLiteral(
    "QTableView { font-size: 7pt; text-align: center; margin-left:-70%; margin-right:-70%; }");

// A rack geometry from the database larger than this is not drawn in full.
static const int MaxRackSide = 1000;

CellPosition cellPosition(int kasId, int meshId, int height, int width)
{
    CellPosition p;
    if (width < 1)
        return p;
    // Counted in 64 bits: identifiers and geometry come from the database and
    // their products need not fit an int.
    const qint64 row = (qint64(kasId) - 1) * height + (qint64(meshId) - 1) / width + 1;
    if (row < std::numeric_limits<int>::min() || row > std::numeric_limits<int>::max())
        return p;
    p.valid = true;
    p.row = int(row);
    p.column = meshId % width;
    if (p.column == 0)
        p.column = width;
    return p;
}

QPixmap scaledPicture(const QString &path, int size, Qt::TransformationMode mode)
{
    const QPixmap picture(path);
    if (picture.isNull())
        return QPixmap();
    return picture.scaled(size, size, Qt::IgnoreAspectRatio, mode);
}

void markDosimeterItem(QTableWidget *table)
{
    if (table->rowCount() < 1 || table->columnCount() < 1)
        return;
    auto *label = new QLabel;
    label->setPixmap(scaledPicture(QStringLiteral("img/ppd.png"), 17, Qt::SmoothTransformation));
    label->setAlignment(Qt::AlignCenter);
    table->setCellWidget(0, 0, label);
    if (QTableWidgetItem *first = table->item(0, 0))
        first->setBackground(Qt::green);
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
    ui->label_cell->setFont(QFont(QStringLiteral("Times"), 32));
    ui->label->setFont(QFont(QStringLiteral("Times"), 18));
    ui->label_fio->setFont(QFont(QStringLiteral("Times"), 14, 6));
    ui->label_3->setFont(QFont(QStringLiteral("Times"), 12));

    ui->foto->setPixmap(scaledPicture(QStringLiteral("user_circle_icon.png"), 55, Qt::FastTransformation));

    timer_cell = new QTimer(this);
    connect(timer_cell, &QTimer::timeout, this, &cell::slotTimerAlarm_cell);
    timer_cell->start(1000);
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
    // The position uses the rack's real geometry; only the drawn table is capped.
    const CellPosition pos = cellPosition(K, M, readInt(kas_height), readInt(kas_width));
    const int H = qBound(0, readInt(kas_height), MaxRackSide);
    const int W = qBound(0, readInt(kas_width), MaxRackSide);

    ui->label_cell->setText(QStringLiteral("Кассетница ") + kas_name + QStringLiteral(" Ряд ")
                            + (pos.valid ? QString::number(pos.row) : QString())
                            + QStringLiteral("\nЯчейка ") + (pos.valid ? QString::number(pos.column) : QString()));
    ui->label_fio->setText(Global_user_name);

    // H columns and W rows; each row reads 1 to H.
    QTableWidget *table = ui->tableWidget;
    table->clear();
    table->setColumnCount(H);
    table->setRowCount(W);
    for (int r = 0; r < W; ++r)
        for (int c = 0; c < H; ++c)
            table->setItem(r, c, new QTableWidgetItem(QString::number(c + 1)));

    layoutForScreen(this);
    if (H > 0 && W > 0) {
        const int columnWidth = (table->geometry().width() - 55) / H;
        const int rowHeight = (table->geometry().height() - 30) / W;
        for (int c = 0; c < H; ++c)
            table->setColumnWidth(c, columnWidth);
        for (int r = 0; r < W; ++r)
            table->setRowHeight(r, rowHeight);
        qDebug() << columnWidth << table->geometry().width();
    }
    table->setStyleSheet(RackTableStyle);
    table->horizontalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);

    // The worker's cell, only when it lies inside the table.
    if (pos.valid && pos.row >= 1 && pos.row <= W && pos.column >= 1 && pos.column <= H)
        table->item(pos.row - 1, pos.column - 1)->setBackground(Qt::green);
    for (int r = 0; r < W; ++r)
        for (int c = 0; c < H; ++c)
            table->item(r, c)->setTextAlignment(Qt::AlignCenter);

    G_Timer_flag_cell = true;
    G_Timer_Error_cell = 10;

    markDosimeterItem(table);
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
}

void cell::on_pushButton_clicked() {}
void cell::on_cell_accepted() {}
void cell::on_pushButton_2_clicked() {}
void cell::on_pushButton_3_clicked() {}
void cell::on_pushButton_3_cansel_clicked() {}

void cell::on_pushButton_3_cancel_clicked()
{
    emit firstWindow();
    close();
    G_Timer_flag_cell = false;
}

void cell::on_pushButton_error_clicked()
{
    // The main window is brought back before this dialog closes, so the
    // program never finds itself without a visible window.
    emit firstWindow();
    close();
    G_Timer_flag_cell = false;
}
