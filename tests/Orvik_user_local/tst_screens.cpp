// The terminal's screens, driven by clicks under the offscreen platform,
// against the demo database on a real PostgreSQL server.
#include "cell.h"
#include "codewatcher.h"
#include "globals.h"
#include "mainwindow.h"
#include "pictures.h"
#include "settings.h"
#include "terminaltest.h"
#include "windowtest.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSqlDatabase>
#include <QStatusBar>
#include <QTableWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {

using windowtest::child;
using windowtest::greenItems;
using windowtest::stopOwnTimer;

QImage pictureOf(QLabel *label)
{
    return label->pixmap(Qt::ReturnByValue).toImage();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QVERIFY(windowtest::writeFile(path, bytes));
}

} // namespace

class TestScreens : public QObject
{
    Q_OBJECT

    TestCluster cluster;
    std::unique_ptr<QTemporaryDir> ram;
    std::unique_ptr<MainWindow> w;

    QPushButton *enterKey() { return child<QPushButton>(w.get(), "pushButton_12_enter"); }
    QString codeBox() { return child<QTextEdit>(w.get(), "textEdit_kod")->toPlainText(); }
    QString status() { return w->statusBar()->currentMessage(); }
    QLabel *message() { return child<QLabel>(w.get(), "label_message"); }
    cell *dialog() { return w->cellDialog(); }

    // Clicks the keypad: digits, '<' for backspace, '>' for Enter.
    void press(const QString &keys) { screentools::press(w.get(), keys); }
    bool keypadShown() { return windowtest::keypadShown(w.get()); }

    bool errorControlsShown()
    {
        bool all = true, none = true;
        for (const char *n : {"pushButton_error", "radioButton", "radioButton_2", "radioButton_3", "radioButton_4"}) {
            const bool shown = !child<QWidget>(dialog(), n)->isHidden();
            all = all && shown;
            none = none && !shown;
        }
        if (!all && !none)
            qWarning("error controls partly shown");
        return all;
    }

    void tickCell() { QMetaObject::invokeMethod(dialog(), "slotTimerAlarm_cell", Qt::DirectConnection); }

    QWidget *formWidget(const QString &window, const QString &object)
    {
        QWidget *top = window == QLatin1String("main") ? static_cast<QWidget *>(w.get())
            : window == QLatin1String("cell")          ? static_cast<QWidget *>(dialog())
                                                       : static_cast<QWidget *>(w->settingsDialog());
        return top->findChild<QWidget *>(object);
    }

private slots:
    void initTestCase()
    {
        // Not in the terminal's folder: the pictures must come from the program itself.
        QVERIFY2(!QFile::exists(QStringLiteral("img/user_id.png")), "tests run outside the terminal's folder");
        const QString error = cluster.startWithDemo();
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    void init()
    {
        ram.reset(new QTemporaryDir);
        w = windowtest::freshTerminal(cluster, ram->path());
    }
    void cleanup() { w.reset(); }
    void cleanupTestCase() { cluster.stop(); }

    // The fixed texts of the three forms. "mark" is a piece of the UTF-8 text
    // in hex that must be there byte for byte: the Latin x, the double and
    // triple blanks.
    void formTexts_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("object");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("mark");
        QTest::newRow("main label") << "main" << "label" << QString("Введите код доступа \nили используйте сканер штрихкодов или прокси  карту") << QByteArray("d0b82020d0ba");
        QTest::newRow("main label_name_sensor") << "main" << "label_name_sensor" << QString("Датчик Лодан-21-01 частиц x см*см") << QByteArray("d186207820d181");
        QTest::newRow("main pushButton_12_enter") << "main" << "pushButton_12_enter" << QString("Вход") << QByteArray("");
        QTest::newRow("main pushButton_backspace") << "main" << "pushButton_backspace" << QString("") << QByteArray("");
        QTest::newRow("main pushButton_11_detect1") << "main" << "pushButton_11_detect1" << QString("0") << QByteArray("");
        QTest::newRow("main pushButton_14_detect4") << "main" << "pushButton_14_detect4" << QString("0") << QByteArray("");
        QTest::newRow("main pushButton_10") << "main" << "pushButton_10" << QString("0") << QByteArray("");
        QTest::newRow("main pushButton") << "main" << "pushButton" << QString("1") << QByteArray("");
        QTest::newRow("main pushButton_9") << "main" << "pushButton_9" << QString("9") << QByteArray("");
        QTest::newRow("cell label_cell") << "cell" << "label_cell" << QString("Кассетница 1 \nРяд 1 \nЯчейка 1") << QByteArray("");
        QTest::newRow("cell label") << "cell" << "label" << QString("открыта ") << QByteArray("");
        QTest::newRow("cell label_3") << "cell" << "label_3" << QString("После использования закройте ячейку") << QByteArray("");
        QTest::newRow("cell label_2") << "cell" << "label_2" << QString("Датчик Лодан-21-01 частиц x см*см") << QByteArray("d186207820d181");
        QTest::newRow("cell radioButton") << "cell" << "radioButton" << QString("Не открылась ячейка") << QByteArray("");
        QTest::newRow("cell radioButton_2") << "cell" << "radioButton_2" << QString("Не удалось закрыть ячейку") << QByteArray("");
        QTest::newRow("cell radioButton_3") << "cell" << "radioButton_3" << QString("Ячейка закрыта, сообщение не исчезло") << QByteArray("");
        QTest::newRow("cell radioButton_4") << "cell" << "radioButton_4" << QString("Другая") << QByteArray("");
        QTest::newRow("cell pushButton_error") << "cell" << "pushButton_error" << QString("Сообщить об ошибке") << QByteArray("");
        QTest::newRow("cell pushButton_done") << "cell" << "pushButton_done" << QString("Готово") << QByteArray("");
        QTest::newRow("cell pushButton_3") << "cell" << "pushButton_3" << QString("0") << QByteArray("");
        QTest::newRow("settings label_message") << "settings" << "label_message" << QString("Сообщение") << QByteArray("");
        QTest::newRow("settings pushButton_cancel") << "settings" << "pushButton_cancel" << QString("Назад") << QByteArray("");
        QTest::newRow("settings label_name_now") << "settings" << "label_name_now" << QString("Комплект 1") << QByteArray("");
        QTest::newRow("settings label_2") << "settings" << "label_2" << QString("Версия ПО 0.1.0") << QByteArray("");
        QTest::newRow("settings pushButton_Out") << "settings" << "pushButton_Out" << QString("Выйти из \nприложения") << QByteArray("");
        QTest::newRow("settings label_4") << "settings" << "label_4" << QString("БД обновлена: \nЛокально в 16.04.2025 10:22") << QByteArray("");
        QTest::newRow("settings pushButton_8") << "settings" << "pushButton_8" << QString("Пользователи   \nкомплекта") << QByteArray("d0b82020200a");
        QTest::newRow("settings pushButton_6") << "settings" << "pushButton_6" << QString("Открыть все \nячейки комплекта") << QByteArray("");
        QTest::newRow("settings pushButton_3") << "settings" << "pushButton_3" << QString("Открыть все") << QByteArray("");
    }
    void formTexts()
    {
        QFETCH(QString, window);
        QFETCH(QString, object);
        QFETCH(QString, text);
        QFETCH(QByteArray, mark);
        QWidget *widget = formWidget(window, object);
        QVERIFY2(widget, qPrintable(object));
        const QString shown = widget->property("text").toString();
        QCOMPARE(shown, text);
        if (!mark.isEmpty())
            QVERIFY2(shown.toUtf8().toHex().contains(mark), shown.toUtf8().toHex().constData());
    }

    void formLook()
    {
        QCOMPARE(dialog()->windowTitle(), QStringLiteral("Dialog"));
        QCOMPARE(w->settingsDialog()->windowTitle(), QStringLiteral("Dialog"));
        QVERIFY(child<QLabel>(w->settingsDialog(), "label_message")->isHidden());
        QCOMPARE(child<QComboBox>(w->settingsDialog(), "comboBox")->count(), 0);
        // The pictures, from any working directory.
        QVERIFY(!child<QPushButton>(w.get(), "pushButton_backspace")->icon().pixmap(48).isNull());
        QVERIFY(!child<QPushButton>(w.get(), "pushButton_12_enter")->icon().pixmap(64).isNull());
        QVERIFY(!pictureOf(child<QLabel>(dialog(), "foto")).isNull());
        QCOMPARE(child<QPushButton>(w.get(), "pushButton_backspace")->iconSize(), QSize(48, 48));
        QCOMPARE(child<QPushButton>(w.get(), "pushButton_12_enter")->iconSize(), QSize(64, 64));
        QLabel *prompt = child<QLabel>(w.get(), "label");
        QCOMPARE(prompt->minimumHeight(), 100);
        QCOMPARE(prompt->maximumHeight(), 100);
        QTextEdit *box = child<QTextEdit>(w.get(), "textEdit_kod");
        QCOMPARE(box->minimumHeight(), 62);
        QCOMPARE(box->maximumHeight(), 100);
        QCOMPARE(child<QPushButton>(w.get(), "pushButton_11_detect1")->size(), QSize(75, 75));
        QCOMPARE(child<QLabel>(dialog(), "foto")->maximumHeight(), 55);
        // The rack tables take what the screen leaves them.
        QCOMPARE(child<QTableWidget>(dialog(), "tableWidget")->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(child<QTableWidget>(w->settingsDialog(), "tableWidget")->sizePolicy().verticalPolicy(),
                 QSizePolicy::Expanding);
        for (const char *key : {"pushButton", "pushButton_5", "pushButton_10", "pushButton_backspace",
                                "pushButton_12_enter"})
            QVERIFY2(child<QPushButton>(w.get(), key)->minimumHeight() >= 100, key);
    }

    // Fonts: family, point size, weight (Qt 5 scale) and bold.
    void formFonts_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("object");
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("bold");
        QTest::newRow("prompt") << "main" << "label" << "Times" << 16 << int(QFont::Bold) << true;
        QTest::newRow("code box") << "main" << "textEdit_kod" << "Times" << 32 << int(QFont::Bold) << true;
        QTest::newRow("key 1") << "main" << "pushButton" << "Times" << 32 << int(QFont::Normal) << false;
        QTest::newRow("key 0") << "main" << "pushButton_10" << "Times" << 32 << int(QFont::Normal) << false;
        QTest::newRow("backspace") << "main" << "pushButton_backspace" << "Times" << 32 << int(QFont::Normal) << false;
        QTest::newRow("enter") << "main" << "pushButton_12_enter" << "Times" << 32 << int(QFont::Normal) << false;
        QTest::newRow("sensor 1") << "main" << "pushButton_11_detect1" << "Times" << 32 << 6 << false;
        QTest::newRow("sensor 4") << "main" << "pushButton_14_detect4" << "Times" << 32 << 6 << false;
        QTest::newRow("cell place") << "cell" << "label_cell" << "Times" << 32 << int(QFont::Normal) << false;
        QTest::newRow("cell state") << "cell" << "label" << "Times" << 18 << int(QFont::Normal) << false;
        QTest::newRow("cell name") << "cell" << "label_fio" << "Times" << 14 << 6 << false;
        QTest::newRow("cell instruction") << "cell" << "label_3" << "Times" << 12 << int(QFont::Normal) << false;
        QTest::newRow("set caption") << "settings" << "label_name_now" << "Sans Serif" << -1 << int(QFont::Normal) << false;
        QTest::newRow("rack table") << "settings" << "tableWidget" << "Sans Serif" << -1 << -1 << false;
    }
    void formFonts()
    {
        QFETCH(QString, window);
        QFETCH(QString, object);
        QFETCH(QString, family);
        QFETCH(int, size);
        QFETCH(int, weight);
        QFETCH(bool, bold);
        QWidget *widget = formWidget(window, object);
        QVERIFY2(widget, qPrintable(object));
        const QFont f = widget->font();
        QCOMPARE(f.family(), family);
        if (size > 0)
            QCOMPARE(f.pointSize(), size);
        if (weight >= 0)
            QCOMPARE(f.weight(), weight);
        QCOMPARE(f.bold(), bold);
    }

    void enterKeyEnabling_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("at start") << "" << "" << false;
        QTest::newRow("first digit") << "7" << "7" << true;
        QTest::newRow("every digit in order") << "1234567890" << "1234567890" << true;
        QTest::newRow("backspace shortens") << "12<" << "1" << true;
        QTest::newRow("backspace to empty") << "1<" << "" << false;
        QTest::newRow("backspace on empty box") << "<" << "" << false;
        QTest::newRow("backspace twice then digit") << "1<<0" << "0" << true;
    }
    void enterKeyEnabling()
    {
        QFETCH(QString, keys);
        QFETCH(QString, code);
        QFETCH(bool, enabled);
        press(keys);
        QCOMPARE(codeBox(), code);
        QCOMPARE(enterKey()->isEnabled(), enabled);
    }

    // The service codes act without a database: one that would be noticed
    // listens where the terminal connects.
    void serviceCodesNeverReachDatabase_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("settingsShown");
        QTest::newRow("settings code") << G_Password_Settings << true;
        QTest::newRow("exit code") << G_Password_Settings_Out << false;
    }
    void serviceCodesNeverReachDatabase()
    {
        QFETCH(QString, code);
        QFETCH(bool, settingsShown);
        QTcpServer watch;
        QVERIFY(watch.listen(QHostAddress::LocalHost, 0));
        G_port_database = watch.serverPort();
        press(code + QLatin1Char('>'));
        QVERIFY(!watch.waitForNewConnection(300));
        QVERIFY(!w->isVisible());
        QCOMPARE(w->settingsDialog()->isVisible(), settingsShown);
        QVERIFY(!dialog()->isVisible());
        QVERIFY(status() != QStringLiteral("Выполняется Вход"));
        QCOMPARE(Global_Timer_main, !settingsShown);
    }

    // A refusal takes the keypad's place for four ticks, then nothing of it stays.
    void notificationCountdown()
    {
        press(QStringLiteral("1003>"));
        const QString text = QStringLiteral("Пропуск изъят Кузнецов\nИлья\nОлегович");
        const QString shown = QStringLiteral("<h2><center>Пропуск изъят Кузнецов<br>Илья<br>Олегович</center><h2>");
        QCOMPARE(message()->text(), shown);
        QCOMPARE(status(), text);
        QCOMPARE(message()->geometry().topLeft(), QPoint(5, 57));
        QCOMPARE(message()->width(), w->centralWidget()->width() - 10);
        QVERIFY(message()->height() >= message()->heightForWidth(message()->width()));
        QVERIFY(!message()->isHidden());
        QVERIFY(!keypadShown());
        QVERIFY(Global_Timer_main);
        QCOMPARE(codeBox(), QString());

        // An empty notification keeps the text, clears the status bar, hides the keypad.
        w->notification_show(QString());
        QCOMPARE(message()->text(), shown);
        QCOMPARE(status(), QString());
        QVERIFY(!keypadShown());
        QCOMPARE(Global_Timer_Error, 5);

        const QList<int> counter{4, 3, 2, 1, 0, 0};
        const QList<bool> up{true, true, true, false, false, false};
        for (int tick = 0; tick < counter.size(); ++tick) {
            w->slotTimerAlarm();
            QCOMPARE(Global_Timer_Error, counter.at(tick));
            QCOMPARE(!message()->isHidden(), up.at(tick));
            QCOMPARE(keypadShown(), !up.at(tick));
        }
        QCOMPARE(message()->text(), QString());
        QCOMPARE(status(), QString());
        QCOMPARE(codeBox(), QString());
    }

    void busyAndServiceSwitch()
    {
        Global_Timer_main = false;
        w->Enter_in(0, QStringLiteral("1001"));
        QCOMPARE(status(), QStringLiteral("Выполняется другая операция повторите еще раз"));
        QVERIFY(Global_Timer_main);

        G_SERVICE_Tulem_Narbet = 1;
        w->Enter_in(0, QStringLiteral("1001"));
        QCOMPARE(status(), QStringLiteral("Выполняется Вход"));
        QVERIFY(!Global_Timer_main);
        QVERIFY(message()->isHidden());
        QVERIFY(!dialog()->isVisible());
    }

    void databaseErrorWithinSeconds()
    {
        G_port_database = closedPort();
        QElapsedTimer clock;
        clock.start();
        press(QStringLiteral("1001>"));
        QVERIFY(clock.elapsed() < 6000);
        QCOMPARE(message()->text(), QStringLiteral("<h2><center>Не удалось установить соединение с БД</center><h2>"));
        QCOMPARE(status(), QStringLiteral("Не удалось становить соединение с БД"));
        QVERIFY(Global_Timer_main);
        QVERIFY(!QSqlDatabase::contains(G_DatabaseName));
    }

    // Keypad login, countdown of the cell dialog, error report, and back.
    void loginShowsCellAndHandsBack()
    {
        press(QStringLiteral("1001>"));
        QVERIFY(dialog()->isVisible());
        QVERIFY(dialog()->isFullScreen());
        QVERIFY(!w->isVisible());
        QVERIFY(!Global_Timer_main);
        QCOMPARE(Global_user_id, QStringLiteral("11"));
        QCOMPARE(child<QLabel>(dialog(), "label_fio")->text(), QStringLiteral("Петров\nПётр\nПетрович"));
        // Rack 1, cell 8, 6 wide: row 2, position 2; "Т1 | " gives two blanks before "Ряд".
        QCOMPARE(child<QLabel>(dialog(), "label_cell")->text(), QStringLiteral("Кассетница Т1 |  Ряд 2\nЯчейка 2"));
        QTableWidget *table = child<QTableWidget>(dialog(), "tableWidget");
        QCOMPARE(table->columnCount(), 6);
        QCOMPARE(table->rowCount(), 6);
        QCOMPARE(greenItems(table), QStringList({"1,1"}));
        auto *mark = qobject_cast<QLabel *>(table->cellWidget(1, 1));
        QVERIFY(mark);
        QVERIFY(!pictureOf(mark).isNull());
        QVERIFY(!table->cellWidget(0, 0));
        const QString cached = G_Path_RAM + QStringLiteral("/11.png");
        QVERIFY(QFile::exists(cached));
        QCOMPARE(pictureOf(child<QLabel>(dialog(), "foto")),
                 scaledPicture(cached, 55, Qt::FastTransformation).toImage());

        QVERIFY(G_Timer_flag_cell);
        for (int tick = 1; tick <= 10; ++tick) {
            tickCell();
            QVERIFY2(!errorControlsShown(), qPrintable(QString::number(tick)));
        }
        tickCell();
        QVERIFY(errorControlsShown());

        child<QRadioButton>(dialog(), "radioButton_3")->setChecked(true);
        QTest::mouseClick(child<QPushButton>(dialog(), "pushButton_error"), Qt::LeftButton);
        QVERIFY(!dialog()->isVisible());
        QVERIFY(w->isVisible());
        QVERIFY(w->isFullScreen());
        QVERIFY(Global_Timer_main);
        QVERIFY(!G_Timer_flag_cell);
        QCOMPARE(codeBox(), QString());
        QCOMPARE(status(), QString());
        QVERIFY(enterKey()->isEnabled());

        // Enter on the empty box after the return is a login with the empty code.
        press(QStringLiteral(">"));
        QCOMPARE(status(), QStringLiteral("Не найден пользователь "));
    }

    // A worker without a photo sees the default picture, not the previous one.
    void previousPhotoNeverShown()
    {
        const QImage fallback = scaledPicture(Pictures::DefaultPhoto, 55, Qt::FastTransformation).toImage();
        press(QStringLiteral("1001>"));
        QVERIFY(dialog()->isVisible());
        QVERIFY(pictureOf(child<QLabel>(dialog(), "foto")) != fallback);
        QTest::mouseClick(child<QPushButton>(dialog(), "pushButton_error"), Qt::LeftButton);
        press(QStringLiteral("1009>"));
        QVERIFY(dialog()->isVisible());
        QCOMPARE(child<QLabel>(dialog(), "label_fio")->text(), QStringLiteral("Морозов\nКирилл\nИльич"));
        QCOMPARE(pictureOf(child<QLabel>(dialog(), "foto")), fallback);
        QVERIFY(!QFile::exists(G_Path_RAM + QStringLiteral("/19.png")));
    }

    void cellArithmetic_data()
    {
        QTest::addColumn<int>("kas");
        QTest::addColumn<int>("mesh");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::newRow("w6 cell 1") << 1 << 1 << 5 << 6 << true << 1 << 1;
        QTest::newRow("w6 cell 6") << 1 << 6 << 5 << 6 << true << 1 << 6;
        QTest::newRow("w6 cell 7") << 1 << 7 << 5 << 6 << true << 2 << 1;
        QTest::newRow("w6 cell 12") << 1 << 12 << 5 << 6 << true << 2 << 6;
        QTest::newRow("second rack cell 1") << 2 << 1 << 5 << 6 << true << 6 << 1;
        QTest::newRow("second rack cell 8") << 2 << 8 << 5 << 6 << true << 7 << 2;
        QTest::newRow("w1") << 1 << 3 << 4 << 1 << true << 3 << 1;
        QTest::newRow("width 0") << 1 << 3 << 4 << 0 << false << 0 << 0;
        QTest::newRow("negative width") << 1 << 3 << 4 << -2 << false << 0 << 0;
        QTest::newRow("far rack, row still an int") << 1000000 << 1 << 1000 << 6 << true << 999999001 << 1;
        QTest::newRow("row beyond an int") << 2147483647 << 1 << 1000 << 6 << false << 0 << 0;
        QTest::newRow("cell number beyond an int row") << 3 << 2147483647 << 2 << 1 << false << 0 << 0;
    }
    void cellArithmetic()
    {
        QFETCH(int, kas);
        QFETCH(int, mesh);
        QFETCH(int, height);
        QFETCH(int, width);
        QFETCH(bool, valid);
        QFETCH(int, row);
        QFETCH(int, column);
        const CellPosition p = cellPosition(kas, mesh, height, width);
        QCOMPARE(p.valid, valid);
        if (valid) {
            QCOMPARE(p.row, row);
            QCOMPARE(p.column, column);
        }
    }

    // The table is the worker's rack, height rows of width cells; the worker's
    // cell is its one green item and carries the dosimeter picture.
    void cellDialogMarks_data()
    {
        QTest::addColumn<QStringList>("args"); // kas, mesh, height, width
        QTest::addColumn<QString>("green");     // "row,column", empty for none
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("columns");
        QTest::addColumn<QString>("label");
        QTest::newRow("cell 1") << QStringList{"1", "1", "6", "6"} << "0,0" << 6 << 6
                                << "Кассетница Т1 |  Ряд 1\nЯчейка 1";
        QTest::newRow("cell 6") << QStringList{"1", "6", "6", "6"} << "0,5" << 6 << 6
                                << "Кассетница Т1 |  Ряд 1\nЯчейка 6";
        QTest::newRow("cell 7") << QStringList{"1", "7", "6", "6"} << "1,0" << 6 << 6
                                << "Кассетница Т1 |  Ряд 2\nЯчейка 1";
        QTest::newRow("cell 12") << QStringList{"1", "12", "6", "6"} << "1,5" << 6 << 6
                                 << "Кассетница Т1 |  Ряд 2\nЯчейка 6";
        QTest::newRow("second rack: rows counted on, table of its own") << QStringList{"2", "2", "3", "6"} << "0,1"
                                                                          << 3 << 6 << "Кассетница Т1 |  Ряд 4\nЯчейка 2";
        QTest::newRow("wide rack, last row") << QStringList{"1", "118", "6", "20"} << "5,17" << 6 << 20
                                             << "Кассетница Т1 |  Ряд 6\nЯчейка 18";
        QTest::newRow("tall rack, last row") << QStringList{"1", "119", "20", "6"} << "19,4" << 20 << 6
                                             << "Кассетница Т1 |  Ряд 20\nЯчейка 5";
        QTest::newRow("cell beyond the rack") << QStringList{"1", "37", "6", "6"} << "" << 6 << 6
                                              << "Кассетница Т1 |  Ряд 7\nЯчейка 1";
        QTest::newRow("width 0") << QStringList{"1", "3", "6", "0"} << "" << 0 << 0
                                 << "Кассетница Т1 |  Ряд \nЯчейка ";
        QTest::newRow("width not a number") << QStringList{"1", "3", "6", "шесть"} << "" << 0 << 0
                                            << "Кассетница Т1 |  Ряд \nЯчейка ";
        QTest::newRow("height 0") << QStringList{"1", "3", "0", "6"} << "" << 0 << 0
                                  << "Кассетница Т1 |  Ряд 1\nЯчейка 3";
        QTest::newRow("rack number too large") << QStringList{"2147483647", "1", "6", "6"} << "0,0" << 6 << 6
                                               << "Кассетница Т1 |  Ряд \nЯчейка ";
        QTest::newRow("64 x 64 is drawn") << QStringList{"1", "4096", "64", "64"} << "63,63" << 64 << 64
                                          << "Кассетница Т1 |  Ряд 64\nЯчейка 64";
        QTest::newRow("wider than 64 is not drawn") << QStringList{"1", "1502", "6", "1500"} << "" << 0 << 0
                                                    << "Кассетница Т1 |  Ряд 2\nЯчейка 2";
        QTest::newRow("taller than 64 is not drawn") << QStringList{"1", "1", "65", "1"} << "" << 0 << 0
                                                     << "Кассетница Т1 |  Ряд 1\nЯчейка 1";
    }
    void cellDialogMarks()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, green);
        QFETCH(int, rows);
        QFETCH(int, columns);
        QFETCH(QString, label);
        dialog()->open_cell(QStringLiteral("Имя"), QStringLiteral("1"), args[0], args[1], QStringLiteral("1"),
                            QStringLiteral("Комплект"), QStringLiteral("Т1 | "), args[2], args[3]);
        QTableWidget *table = child<QTableWidget>(dialog(), "tableWidget");
        QCOMPARE(greenItems(table), green.isEmpty() ? QStringList() : QStringList{green});
        QCOMPARE(child<QLabel>(dialog(), "label_cell")->text(), label);
        QCOMPARE(table->rowCount(), rows);
        QCOMPARE(table->columnCount(), columns);
        for (int r = 0; r < table->rowCount(); ++r)
            for (int c = 0; c < table->columnCount(); ++c) {
                QCOMPARE(table->item(r, c)->text(), QString::number(c + 1));
                // The picture sits in the marked item only.
                QCOMPARE(table->cellWidget(r, c) != nullptr, green == QStringLiteral("%1,%2").arg(r).arg(c));
            }
        QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    }

    void secondOpenRestartsCountdown()
    {
        const QStringList a{"Имя", "1", "1", "3", "1", "К", "Т1 | ", "6", "6"};
        auto open = [&] { dialog()->open_cell(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]); };
        QVERIFY(!G_Timer_flag_cell);
        tickCell();
        QCOMPARE(G_Timer_Error_cell, 10); // no countdown before the first opening
        open();
        for (int i = 0; i < 14; ++i)
            tickCell();
        QVERIFY(errorControlsShown());
        QCOMPARE(G_Timer_Error_cell, -4);
        open();
        QVERIFY(!errorControlsShown());
        QCOMPARE(G_Timer_Error_cell, 10);
        QVERIFY(G_Timer_flag_cell);
        for (int i = 0; i < 10; ++i)
            tickCell();
        QVERIFY(!errorControlsShown());
        tickCell();
        QVERIFY(errorControlsShown());
    }

    // Card and barcode codes written by the reader programs log a worker in.
    void codeFileLogins_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QString>("name");
        QTest::newRow("card") << "CARD_READER.ini" << QByteArray("04A1B2C3D4") << "Петров\nПётр\nПетрович";
        QTest::newRow("barcode") << "barcode.ini" << QByteArray("343630373030313233343536370D") << "Сидорова\nАнна\nСергеевна";
    }
    void codeFileLogins()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, code);
        QFETCH(QString, name);
        writeFile(G_Path_RAM + QLatin1Char('/') + file, code);
        QTRY_VERIFY_WITH_TIMEOUT(dialog()->isVisible(), 5000); // the watcher's own one-second poll
        QCOMPARE(child<QLabel>(dialog(), "label_fio")->text(), name);
        QVERIFY(!w->isVisible());
    }

    // What counts as a new code, and that codes wait for an idle main screen.
    void codeWatcherRules()
    {
        const QString card = G_Path_RAM + QStringLiteral("/CARD_READER.ini");
        const QString scan = G_Path_RAM + QStringLiteral("/barcode.ini");
        writeFile(card, "OLD1");
        CodeFileWatcher watcher(G_Path_RAM);
        QSignalSpy spy(&watcher, &CodeFileWatcher::codeRead);
        watcher.poll();
        QCOMPARE(spy.count(), 0); // there before the start
        writeFile(card, "AB12");
        writeFile(scan, "  77 \n");
        watcher.poll();
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0), QVariantList({1, QStringLiteral("AB12")}));
        QCOMPARE(spy.at(1), QVariantList({2, QStringLiteral("77")}));
        watcher.poll();
        QCOMPARE(spy.count(), 2); // unchanged files
        writeFile(card, "");
        watcher.poll();
        QCOMPARE(spy.count(), 2); // an emptied file is no code
        writeFile(card, "AB12");
        QFile(card).open(QIODevice::ReadOnly);
        QFile f(card);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
        f.close();
        watcher.poll();
        QCOMPARE(spy.count(), 3); // the same card read again
        QFile::remove(scan);
        watcher.poll();
        QCOMPARE(spy.count(), 3);

        // While the cell dialog is up, a card read is dropped.
        press(QStringLiteral("1001>"));
        QVERIFY(dialog()->isVisible());
        writeFile(G_Path_RAM + QStringLiteral("/barcode.ini"), "343630373030313233343536370D");
        w->codeWatcher()->poll();
        QCOMPARE(child<QLabel>(dialog(), "label_fio")->text(), QStringLiteral("Петров\nПётр\nПетрович"));
        QVERIFY(!Global_Timer_main);
    }

    void settingsScreen()
    {
        press(G_Password_Settings + QLatin1Char('>'));
        settings *s = w->settingsDialog();
        QVERIFY(s->isVisible());
        QVERIFY(s->isFullScreen());
        QVERIFY(child<QLabel>(s, "label_message")->isHidden());
        QTableWidget *table = child<QTableWidget>(s, "tableWidget");
        QCOMPARE(table->rowCount(), 6);
        QCOMPARE(table->columnCount(), 20);
        for (int r = 0; r < 6; ++r)
            for (int c = 0; c < 20; ++c)
                QCOMPARE(table->item(r, c)->text(), QString::number(c + 1));
        QCOMPARE(greenItems(table), QStringList{"0,0"});
        QVERIFY(table->cellWidget(0, 0));

        for (const char *name : {"pushButton_8", "pushButton_6", "pushButton_3"})
            QTest::mouseClick(child<QPushButton>(s, name), Qt::LeftButton);
        QVERIFY(s->isVisible());
        QVERIFY(!w->isVisible());

        QTest::mouseClick(child<QPushButton>(s, "pushButton_cancel"), Qt::LeftButton);
        QVERIFY(!s->isVisible());
        QVERIFY(w->isVisible());
        QVERIFY(Global_Timer_main);
        QCOMPARE(codeBox(), QString());

        press(G_Password_Settings + QLatin1Char('>'));
        QVERIFY(s->isVisible());
        QTest::mouseClick(child<QPushButton>(s, "pushButton_Out"), Qt::LeftButton);
        QVERIFY(!s->isVisible());
        QVERIFY(!w->isVisible());
        QVERIFY(!dialog()->isVisible());
    }
};

QTEST_MAIN(TestScreens)
#include "tst_screens.moc"
