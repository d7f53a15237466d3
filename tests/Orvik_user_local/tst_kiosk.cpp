// The terminal as an unattended kiosk, through its real windows under the
// offscreen platform against a real PostgreSQL server: one marked cell on
// racks of every shape, every way out of a dialog leads back to the main
// screen, nothing of an earlier worker stays, a hanging database does not
// freeze the screen, only trusted reader files log anyone in, and a scan
// travels from a serial line through barcode_reader into a login.
#include "cell.h"
#include "codewatcher.h"
#include "globals.h"
#include "login.h"
#include "mainwindow.h"
#include "screenfit.h"
#include "settings.h"
#include "terminaltest.h"
#include "virtualline.h"
#include "windowtest.h"

#include <QAtomicInt>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>
#include <QWindow>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Racks of several shapes in set 1 of the demo data, one worker per case.
struct RackCase {
    const char *name;
    int kas, height, width, mesh;
    int row, column;        // the marked item, 0-based; -1: refused
    const char *heading;    // rows counted across racks
};
const RackCase Racks[] = {
    {"6x6 top left", 10, 6, 6, 1, 0, 0, "Ряд 55\nЯчейка 1"},
    {"6x6 top right", 10, 6, 6, 6, 0, 5, "Ряд 55\nЯчейка 6"},
    {"6x6 bottom left", 10, 6, 6, 31, 5, 0, "Ряд 60\nЯчейка 1"},
    {"6x6 bottom right", 10, 6, 6, 36, 5, 5, "Ряд 60\nЯчейка 6"},
    {"6 rows of 20, top left", 11, 6, 20, 1, 0, 0, "Ряд 61\nЯчейка 1"},
    {"6 rows of 20, top right", 11, 6, 20, 20, 0, 19, "Ряд 61\nЯчейка 20"},
    {"6 rows of 20, bottom left", 11, 6, 20, 101, 5, 0, "Ряд 66\nЯчейка 1"},
    {"6 rows of 20, bottom right", 11, 6, 20, 120, 5, 19, "Ряд 66\nЯчейка 20"},
    {"20 rows of 6, top left", 12, 20, 6, 1, 0, 0, "Ряд 221\nЯчейка 1"},
    {"20 rows of 6, top right", 12, 20, 6, 6, 0, 5, "Ряд 221\nЯчейка 6"},
    {"20 rows of 6, bottom left", 12, 20, 6, 115, 19, 0, "Ряд 240\nЯчейка 1"},
    {"20 rows of 6, bottom right", 12, 20, 6, 120, 19, 5, "Ряд 240\nЯчейка 6"},
    {"1x1", 13, 1, 1, 1, 0, 0, "Ряд 13\nЯчейка 1"},
    {"65 rows: too large to draw", 14, 65, 1, 1, -1, -1, ""},
    {"1000x1000: too large to draw", 15, 1000, 1000, 1, -1, -1, ""},
    {"width 0", 16, 6, 0, 1, -1, -1, ""},
    {"cell beyond its rack", 10, 6, 6, 37, -1, -1, ""},
};
const int FirstCode = 3000;

QString rackFixture()
{
    QString sql;
    QSet<int> racks;
    for (const RackCase &r : Racks) {
        if (!racks.contains(r.kas))
            sql += QStringLiteral("INSERT INTO kas VALUES (%1, 1, 'R%1', '', %2, %3);\n").arg(r.kas).arg(r.height).arg(r.width);
        racks.insert(r.kas);
    }
    for (int i = 0; i < int(std::size(Racks)); ++i) {
        const RackCase &r = Racks[i];
        sql += QStringLiteral("INSERT INTO users (user_id, name_0, name_1, name_2, set_ID, kas_ID, mesh_ID, tab_num) "
                              "VALUES (%1, 'Рабочий', 'Номер', '%2', 1, %3, %4, %5);\n")
                   .arg(100 + i).arg(i).arg(r.kas).arg(r.mesh).arg(FirstCode + i);
        sql += QStringLiteral("INSERT INTO mesh VALUES (%1, %2, 1, %3, 1, '');\n").arg(r.mesh).arg(r.kas).arg(100 + i);
    }
    return sql;
}

using windowtest::child;
using windowtest::greenItems;
using windowtest::stopOwnTimer;

QStringList pictureItems(QTableWidget *t)
{
    QStringList out;
    for (int r = 0; r < t->rowCount(); ++r)
        for (int c = 0; c < t->columnCount(); ++c)
            if (auto *label = qobject_cast<QLabel *>(t->cellWidget(r, c)))
                if (!label->pixmap(Qt::ReturnByValue).isNull())
                    out << QStringLiteral("%1,%2").arg(r).arg(c);
    return out;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QVERIFY(windowtest::writeFile(path, bytes));
}

// Records whether the status bar has been painted with a given message.
class PaintWatch : public QObject
{
public:
    PaintWatch(QStatusBar *bar, const QString &message)
        : m_bar(bar), m_message(message)
    {
        bar->installEventFilter(this);
    }
    QAtomicInt painted;

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (o == m_bar && e->type() == QEvent::Paint && m_bar->currentMessage() == m_message)
            painted.storeRelaxed(1);
        return false;
    }

private:
    QStatusBar *m_bar;
    QString m_message;
};

// From a thread and a connection of its own, waits until a statement of the
// terminal waits for a lock, and notes whether the status bar had been
// painted by then. A lock still waited for after 20 s is broken up by ending
// the holder's session, so that a missing time-out fails the test instead of
// hanging it.
class LockWaitWatch : public QThread
{
public:
    LockWaitWatch(const TestCluster &cluster, const QAtomicInt &painted)
        : m_cluster(cluster), m_painted(painted) {}
    QAtomicInt sawWait, paintedFirst, brokeLock, stop;

protected:
    void run() override
    {
        const QString name = QStringLiteral("lock-watch");
        {
            QSqlDatabase db = m_cluster.connect(name);
            if (db.isOpen()) {
                QElapsedTimer waited;
                QSqlQuery q(db);
                for (int i = 0; i < 3000 && !stop.loadRelaxed(); ++i) {
                    q.exec(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                                          "AND query LIKE '%FROM users WHERE tab_num%'"));
                    const bool waiting = q.next() && q.value(0).toInt() > 0;
                    if (waiting && !sawWait.loadRelaxed()) {
                        paintedFirst.storeRelaxed(m_painted.loadRelaxed());
                        sawWait.storeRelaxed(1);
                        waited.start();
                    }
                    if (sawWait.loadRelaxed() && !waiting)
                        break;
                    if (waiting && waited.isValid() && waited.elapsed() > 20000) {
                        q.exec(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                              "WHERE application_name = 'orvik-test-locker'"));
                        brokeLock.storeRelaxed(1);
                        break;
                    }
                    msleep(20);
                }
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }

private:
    const TestCluster &m_cluster;
    const QAtomicInt &m_painted;
};

// A table locked by a session of its own until the object goes.
class TableLock
{
public:
    TableLock(const TestCluster &cluster, const QString &table)
        : m_table(table)
    {
        QSqlDatabase db = cluster.connect(Name, QStringLiteral("application_name=orvik-test-locker"));
        QSqlQuery q(db);
        if (!db.isOpen() || !db.transaction())
            error = db.lastError().text();
        else if (!q.exec(QStringLiteral("LOCK TABLE %1 IN ACCESS EXCLUSIVE MODE").arg(table)))
            error = q.lastError().text();
    }
    ~TableLock()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(Name, false);
            db.rollback();
            db.close();
        }
        QSqlDatabase::removeDatabase(Name);
    }
    bool held() const
    {
        QSqlQuery q(QSqlDatabase::database(Name, false));
        return q.exec(QStringLiteral("SELECT count(*) FROM pg_locks WHERE mode = 'AccessExclusiveLock' "
                                     "AND relation = '%1'::regclass AND granted").arg(m_table))
            && q.next() && q.value(0).toInt() == 1;
    }
    QString error;

private:
    const QString Name = QStringLiteral("locker");
    QString m_table;
};

} // namespace

class TestKiosk : public QObject
{
    Q_OBJECT

    TestCluster cluster;
    std::unique_ptr<QTemporaryDir> ram;
    std::unique_ptr<MainWindow> w;

    cell *dialog() { return w->cellDialog(); }
    QString status() { return w->statusBar()->currentMessage(); }
    QLabel *notice() { return child<QLabel>(w.get(), "label_message"); }
    QString codeBox() { return child<QTextEdit>(w.get(), "textEdit_kod")->toPlainText(); }
    void tickCell() { QMetaObject::invokeMethod(dialog(), "slotTimerAlarm_cell", Qt::DirectConnection); }

    void press(const QString &keys) { QCOMPARE(screentools::press(w.get(), keys), QString()); }
    bool keypadShown() { return windowtest::keypadShown(w.get()); }

    // The main screen is back, idle, with nothing of an earlier worker on it.
    void verifyCleanMainScreen()
    {
        QVERIFY(w->isVisible());
        QVERIFY(w->isFullScreen());
        QVERIFY(Global_Timer_main);
        QVERIFY(dialog()->isHidden());
        QVERIFY(w->settingsDialog()->isHidden());
        QVERIFY(notice()->isHidden());
        QVERIFY(keypadShown());
        QCOMPARE(status(), QString());
        QCOMPARE(codeBox(), QString());
    }

private slots:
    void initTestCase()
    {
        const QString error = cluster.startWithDemo();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(cluster.exec(rackFixture()), QString());
    }
    void init()
    {
        ram.reset(new QTemporaryDir);
        w = windowtest::freshTerminal(cluster, ram->path());
    }
    void cleanup() { w.reset(); }
    void cleanupTestCase() { cluster.stop(); }

    // The worker's rack as rows of cells, the worker's cell its one green item
    // with the picture; racks that cannot be drawn are refused.
    void oneMarkedCell_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < int(std::size(Racks)); ++i)
            QTest::newRow(Racks[i].name) << i;
    }
    void oneMarkedCell()
    {
        QFETCH(int, index);
        const RackCase &r = Racks[index];
        press(QString::number(FirstCode + index) + QLatin1Char('>'));
        if (r.row < 0) {
            QVERIFY(dialog()->isHidden());
            QCOMPARE(status(), LoginText::NoCell);
            return;
        }
        QVERIFY2(dialog()->isVisible(), qPrintable(status()));
        QCOMPARE(child<QLabel>(dialog(), "label_cell")->text(),
                 QStringLiteral("Кассетница Т1 |  ") + QString::fromUtf8(r.heading));
        QTableWidget *table = child<QTableWidget>(dialog(), "tableWidget");
        QCOMPARE(table->rowCount(), r.height);
        QCOMPARE(table->columnCount(), r.width);
        for (int c = 0; c < r.width; ++c)
            QCOMPARE(table->item(r.height - 1, c)->text(), QString::number(c + 1));
        const QString marked = QStringLiteral("%1,%2").arg(r.row).arg(r.column);
        QCOMPARE(greenItems(table), QStringList{marked});
        QCOMPARE(pictureItems(table), QStringList{marked});
    }

    // Every way out of the cell dialog and the settings screen leads back to
    // an idle main screen that takes the next login.
    void everyWayOutLeadsBack_data()
    {
        QTest::addColumn<bool>("settingsScreen");
        QTest::addColumn<QString>("way");
        for (bool s : {false, true})
            for (const char *way : {"Esc", "window close", "reject", "button"})
                QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(s ? "settings" : "cell", way))) << s << way;
        // "Готово", at once: the worker is done before the error report is offered.
        QTest::newRow("cell, done") << false << "done";
    }
    void everyWayOutLeadsBack()
    {
        QFETCH(bool, settingsScreen);
        QFETCH(QString, way);
        press(settingsScreen ? G_Password_Settings + QLatin1Char('>') : QStringLiteral("1001>"));
        QDialog *d = settingsScreen ? static_cast<QDialog *>(w->settingsDialog()) : static_cast<QDialog *>(dialog());
        QVERIFY(d->isVisible());
        QVERIFY(!w->isVisible());
        if (way == QLatin1String("Esc"))
            QTest::keyClick(d, Qt::Key_Escape);
        else if (way == QLatin1String("window close"))
            QVERIFY(d->windowHandle()->close());
        else if (way == QLatin1String("reject"))
            d->reject();
        else if (way == QLatin1String("done")) {
            QVERIFY(child<QPushButton>(d, "pushButton_done")->isVisible());
            QTest::mouseClick(child<QPushButton>(d, "pushButton_done"), Qt::LeftButton);
        }
        else
            QTest::mouseClick(child<QPushButton>(d, settingsScreen ? "pushButton_cancel" : "pushButton_error"),
                              Qt::LeftButton);
        QCoreApplication::processEvents();
        verifyCleanMainScreen();
        QVERIFY(!G_Timer_flag_cell);
        press(QStringLiteral("1002>"));
        QVERIFY(dialog()->isVisible());
        QCOMPARE(child<QLabel>(dialog(), "label_fio")->text(), QStringLiteral("Сидорова\nАнна\nСергеевна"));
    }

    // A card read during a refusal's countdown: the cell dialog shows the new
    // worker, and the way back shows nothing of the refused one.
    void loginDuringCountdownLeavesNothingBehind()
    {
        press(QStringLiteral("1003>"));
        QVERIFY(!notice()->isHidden());
        w->slotTimerAlarm();
        writeFile(G_Path_RAM + QLatin1Char('/') + CodeFileWatcher::CardFile, "04A1B2C3D4");
        w->codeWatcher()->poll();
        QVERIFY(dialog()->isVisible());
        QCOMPARE(child<QLabel>(dialog(), "label_fio")->text(), QStringLiteral("Петров\nПётр\nПетрович"));
        QCOMPARE(notice()->text(), QString());
        dialog()->reject();
        verifyCleanMainScreen();
        for (int i = 0; i < 6; ++i)
            w->slotTimerAlarm();
        verifyCleanMainScreen();

        // A refusal after another one shows only its own text.
        press(QStringLiteral("1003>"));
        w->Enter_in(0, QStringLiteral("1004"));
        QVERIFY(!notice()->text().contains(QStringLiteral("Кузнецов")));
        QVERIFY(notice()->text().contains(QStringLiteral("Смирнов")));
        QVERIFY(!status().contains(QStringLiteral("Кузнецов")));
    }

    // Without a touch the cell dialog goes back by itself; a touch restarts
    // the time; 0 turns it off. No error report is made on the way.
    void cellDialogIdleReturn_data()
    {
        QTest::addColumn<int>("idle");
        QTest::addColumn<int>("touchAt");   // tick after which the screen is touched; 0: never
        QTest::addColumn<int>("backAfter"); // ticks until the main screen is back; 0: never within 200
        QTest::newRow("60 s, untouched") << 60 << 0 << 60;
        QTest::newRow("60 s, touched at 30") << 60 << 30 << 90;
        QTest::newRow("5 s, untouched") << 5 << 0 << 5;
        QTest::newRow("off") << 0 << 0 << 0;
    }
    void cellDialogIdleReturn()
    {
        QFETCH(int, idle);
        QFETCH(int, touchAt);
        QFETCH(int, backAfter);
        G_Cell_idle_seconds = idle;
        QSignalSpy reports(child<QPushButton>(dialog(), "pushButton_error"), &QPushButton::clicked);
        press(QStringLiteral("1001>"));
        QVERIFY(dialog()->isVisible());
        int ticks = 0;
        while (dialog()->isVisible() && ticks < 200) {
            tickCell();
            ++ticks;
            if (ticks == touchAt)
                QTest::mouseClick(child<QLabel>(dialog(), "label_fio"), Qt::LeftButton);
        }
        if (backAfter == 0) {
            QVERIFY(dialog()->isVisible());
            return;
        }
        QCOMPARE(ticks, backAfter);
        verifyCleanMainScreen();
        QCOMPARE(reports.count(), 0);
        QVERIFY(!G_Timer_flag_cell);
    }

    // A table lock held by another session: the login gives up with the
    // database refusal while the lock is still held, and "Выполняется Вход"
    // was on screen before the terminal's statement reached the server.
    void hangingDatabaseDoesNotFreeze()
    {
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        {
            TableLock lock(cluster, QStringLiteral("users"));
            QVERIFY2(lock.error.isEmpty(), qPrintable(lock.error));

            PaintWatch paint(w->statusBar(), LoginText::Busy);
            LockWaitWatch watch(cluster, paint.painted);
            watch.start();
            press(QStringLiteral("1001>"));
            watch.stop.storeRelaxed(1);
            watch.wait();

            QVERIFY2(!watch.brokeLock.loadRelaxed(), "the login waited for the lock for more than 20 s");
            QVERIFY(watch.sawWait.loadRelaxed());
            QVERIFY(watch.paintedFirst.loadRelaxed());
            QVERIFY(dialog()->isHidden());
            QCOMPARE(notice()->text(), QStringLiteral("<h2><center>Не удалось установить соединение с БД</center><h2>"));
            QCOMPARE(status(), LoginText::DbErrorStatus);
            QVERIFY(Global_Timer_main);
            // The lock is still held: the login ended on its own time-out.
            QVERIFY(lock.held());
        }

        // Once the lock is gone the same login goes through.
        for (int i = 0; i < 4; ++i)
            w->slotTimerAlarm();
        press(QStringLiteral("1001>"));
        QVERIFY(dialog()->isVisible());
    }

    // Only a plain file of root, the readers' account or the terminal's own
    // account that nobody else can write logs a worker in.
    void readerFileTrust_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<QString>("reason");
        QTest::newRow("own file, 0644") << "plain" << true << "";
        QTest::newRow("own file, group-writable 0664") << "0664" << true << "";
        QTest::newRow("another account's file") << "nobody" << false << "owned by uid 65534, not by orvik-readers or root";
        QTest::newRow("writable by others") << "0666" << false << "writable by others";
        QTest::newRow("symbolic link") << "link" << false << "not a plain file";
    }
    void readerFileTrust()
    {
        QFETCH(QString, setup);
        QFETCH(bool, trusted);
        QFETCH(QString, reason);
        const QString path = G_Path_RAM + QLatin1Char('/') + CodeFileWatcher::CardFile;
        if (setup == QLatin1String("link")) {
            const QString target = G_Path_RAM + QStringLiteral("/elsewhere");
            writeFile(target, "04A1B2C3D4");
            QVERIFY(QFile::link(target, path));
        } else {
            writeFile(path, "04A1B2C3D4");
            QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                    | QFileDevice::ReadOther));
        }
        if (setup == QLatin1String("0664") || setup == QLatin1String("0666"))
            QVERIFY(::chmod(QFile::encodeName(path).constData(), setup == QLatin1String("0664") ? 0664 : 0666) == 0);
        if (setup == QLatin1String("nobody")) {
            if (geteuid() != 0)
                QSKIP("giving a file to another account needs root");
            QVERIFY(::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
        }
        if (!trusted)
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("reader file ignored: .*")
                                                                + QRegularExpression::escape(reason)));
        w->codeWatcher()->poll();
        QCOMPARE(dialog()->isVisible(), trusted);
        QCOMPARE(CodeFileWatcher::distrust(path), reason);
        // Logged once, not at every poll.
        w->codeWatcher()->poll();
    }

    // A scan on the serial line, through barcode_reader and its file, logs the worker in.
    void scanThroughBarcodeReader()
    {
        VirtualLine line;
        QVERIFY(line.isOpen());
        const QString output = G_Path_RAM + QLatin1Char('/') + CodeFileWatcher::BarcodeFile;
        QProcess reader;
        reader.start(QStringLiteral(BARCODE_READER_BIN),
                     {QStringLiteral("--device"), line.slavePath(), QStringLiteral("--output"), output});
        QVERIFY(reader.waitForStarted(5000));
        const QByteArray scan("4607001234567\r");
        QVERIFY(line.send(scan));

        QTRY_COMPARE_WITH_TIMEOUT(QFile::exists(output), true, 10000);
        QFile written(output);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("343630373030313233343536370D"));
        w->codeWatcher()->poll();
        QVERIFY(dialog()->isVisible());
        QCOMPARE(child<QLabel>(dialog(), "label_fio")->text(), QStringLiteral("Сидорова\nАнна\nСергеевна"));

        reader.kill();
        reader.waitForFinished(5000);
    }

    // The notice's colours meet WCAG AA and are the ones on screen.
    void noticeContrast_data()
    {
        QTest::addColumn<QColor>("a");
        QTest::addColumn<QColor>("b");
        QTest::addColumn<double>("ratio");
        QTest::newRow("black on white") << QColor(Qt::black) << QColor(Qt::white) << 21.0;
        QTest::newRow("same colour") << QColor(Qt::red) << QColor(Qt::red) << 1.0;
        QTest::newRow("blue on red (the old notice)") << QColor(Qt::blue) << QColor(Qt::red) << 2.15;
        QTest::newRow("white on #767676") << QColor(Qt::white) << QColor(0x76, 0x76, 0x76) << 4.54;
    }
    void noticeContrast()
    {
        QFETCH(QColor, a);
        QFETCH(QColor, b);
        QFETCH(double, ratio);
        QVERIFY2(qAbs(contrastRatio(a, b) - ratio) < 0.01, qPrintable(QString::number(contrastRatio(a, b))));
        QVERIFY(contrastRatio(NoticeText, NoticeBackground) >= 4.5);

        press(QStringLiteral("1003>"));
        const QImage shot = notice()->grab().toImage();
        QCOMPARE(QColor(shot.pixel(1, 1)), NoticeBackground);
        QCOMPARE(notice()->palette().color(QPalette::WindowText), NoticeText);
    }
};

QTEST_MAIN(TestKiosk)
#include "tst_kiosk.moc"
