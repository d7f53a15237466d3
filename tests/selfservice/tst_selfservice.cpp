// The self-service loop with its real parts: a throw-away PostgreSQL with the
// workers, the controller over the simulated rack with its journal and the
// copy to PostgreSQL, the return attendant as its own process, and the
// terminal's real windows offscreen, logging in through a reader file.
// One rig for every case: the rack's cells are used one after another.
//
//   cell 1  the dosimeters of the threshold rows, then the one issued in the cycle
//   cell 2  the dosimeter of the second login
//   cell 4  where the cycle's dosimeter comes back
//   cell 5  a return whose read-out fails
//   cell 6  a return whose attendant is killed before it confirms
//   cell 1  then a return whose first confirmation fails in the reset
//   cell 2  then returns taken out or swapped before their confirmation, then
//           a failed read-out that someone else's scan reads after all
#include "controllerclient.h"
#include "issueflow.h"
#include "issuescreen.h"
#include "journalstore.h"
#include "journaltest.h"
#include "thresholds.h"
#include "tst_issue_rig.h"
#include "windowtest.h"

#include <QElapsedTimer>
#include <QStatusBar>
#include <QTcpServer>
#include <QtEndian>

#include <signal.h>
#include <QtTest>

using namespace windowtest;

namespace {

const QString kCardA = QStringLiteral("C0FFEE01");   // worker 21, tab_num 2101: 1.000 permitted, 0 received
const QString kUnit = QStringLiteral("мЗв");
const QString kWaiting = QStringLiteral("Ждет подтвержения сдачи ");

// The value a dosimeter received with a threshold command (float64 or float32).
double frameThreshold(const QList<QByteArray> &frames, quint8 code)
{
    for (const QByteArray &f : frames) {
        if (f.size() < 14 || quint8(f.at(10)) != code)
            continue;
        const int length = quint8(f.at(11));
        const char *data = f.constData() + 12;
        if (length == 8) {
            const quint64 bits = qFromLittleEndian<quint64>(data);
            double v;
            memcpy(&v, &bits, sizeof v);
            return v;
        }
        if (length == 4) {
            const quint32 bits = qFromLittleEndian<quint32>(data);
            float v;
            memcpy(&v, &bits, sizeof v);
            return v;
        }
    }
    return -1;
}

} // namespace

class TestSelfService : public QObject
{
    Q_OBJECT

    TestCluster m_cluster;
    QTemporaryDir m_dir;
    std::unique_ptr<rig::Rig> m_rig;
    std::unique_ptr<ProgramProcess> m_attendant;

    QString ram() const { return m_dir.filePath(QStringLiteral("ram")); }
    QString work() const { return m_rig->work(); }
    QString journal() const { return work() + QStringLiteral("/journal.sqlite"); }

    void startAttendant(const QStringList &flags = {})
    {
        m_attendant.reset();
        m_attendant = std::make_unique<ProgramProcess>(
            QStringLiteral(ATTENDANT_BIN),
            QStringList{QStringLiteral("--settings"), work() + QStringLiteral("/settings.ini")} + flags, work());
        QVERIFY2(m_attendant->waitForOutput("cabinet_attendant: контроллер", 10000), m_attendant->log().constData());
    }
    QString attendantLog() const { return QString::fromUtf8(m_attendant->log()); }
    bool attendantLogged(const QString &text) const
    {
        m_attendant->process().waitForReadyRead(10);
        return attendantLog().contains(text);
    }

    // The terminal's settings file, pointing at a controller, and a terminal reading it.
    std::unique_ptr<MainWindow> terminal(quint16 controllerPort, const QString &extra = QString())
    {
        const QString file = m_dir.filePath(QStringLiteral("self-service.ini"));
        writeBytes(file, QStringLiteral("[SelfService]\ncontroller=127.0.0.1:%1\nannual_dose_key=tab_num\n"
                                        "order=ЦЕХ 1\ndose_warning=1.5\ndose_alarm=3\nrate_warning=0.1\n"
                                        "rate_alarm=0.2\nissue_timeout=10\ntake_timeout=20\npoll_ms=200\n%2")
                             .arg(controllerPort)
                             .arg(extra)
                             .toUtf8());
        qputenv(SelfServiceSettings::FileVariable, file.toLocal8Bit());
        return freshTerminal(m_cluster, ram());
    }
    // A card shown to the reader: its program writes the code into its file.
    void showCard(const QString &code)
    {
        QVERIFY(writeFile(ram() + QStringLiteral("/CARD_READER.ini"), code.toLatin1()));
    }

    QString request(const QString &json) { return m_rig->request(json); }
    // A fresh dosimeter put into a cell and registered by a return scan.
    int insertFresh(int position, qint32 number)
    {
        const int dev = m_rig->rack->insert(position, number);
        request(QStringLiteral("{\"command\":\"OUT\"}"));
        return m_rig->lines(QStringLiteral("nomer_ppd.ini")).value(position - 1) == QString::number(number) ? dev : -1;
    }
    QString cellLine(int cell) const { return m_rig->lines(QStringLiteral("error.ini")).value(cell - 1); }

    double annualDose(int userId)
    {
        ScopedDb site(clusterSettings(m_cluster));
        return site.scalar(QStringLiteral("SELECT dose_year_now_ppd FROM users WHERE user_id = %1").arg(userId)).toDouble();
    }
    // How many rows of a kind the journal holds for a dosimeter.
    qint64 journalCount(const QString &kind, const QString &number)
    {
        ScopedDb lite(journal());
        return lite.scalar(QStringLiteral("SELECT count(*) FROM dose_event WHERE kind = '%1' AND number = '%2'")
                               .arg(kind, number))
            .toLongLong();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(ram()));
        const QString error = m_cluster.start();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(m_cluster.exec(QStringLiteral(
                     "INSERT INTO set VALUES (1, 'Комплект 1', NULL);"
                     "INSERT INTO kas VALUES (1, 1, 'Кассетница 1', NULL, 2, 3);"
                     "INSERT INTO users (user_id, name_0, name_1, name_2, dose_year, dose_year_now_ppd, block, "
                     "  set_ID, kas_ID, mesh_ID, tab_num, card_id) VALUES "
                     "  (21, 'Тестов', 'Тест', 'Тестович', 1.0, 0, NULL, 1, 1, 1, 2101, 'C0FFEE01'),"
                     "  (22, 'Пробов', 'Иван', 'Ильич', 20, 0, NULL, 1, 1, 2, 2102, 'C0FFEE02'),"
                     "  (23, 'Сменов', 'Пётр', 'Ильич', 20, 0, NULL, 1, 1, 3, 2103, 'C0FFEE03');"
                     "INSERT INTO mesh VALUES (1, 1, 1, 21, 1, ''), (2, 1, 1, 22, 1, '');")),
                 QString());
        const QString passwordFile = m_dir.filePath(QStringLiteral("pgpass"));
        writeBytes(passwordFile, m_cluster.password().toUtf8() + '\n');

        m_rig = std::make_unique<rig::Rig>(6);
        const QStringList settings{
            QStringLiteral("reply_end=frame"), QStringLiteral("reply_pause_ms=0"),
            QStringLiteral("journal=journal.sqlite"), QStringLiteral("cabinet_id=selfservice"),
            QStringLiteral("annual_dose_key=tab_num"),
            QStringLiteral("[Journal]"), QStringLiteral("pg=on"), QStringLiteral("host=127.0.0.1"),
            QStringLiteral("port=%1").arg(m_cluster.port()), QStringLiteral("dbname=") + m_cluster.database(),
            QStringLiteral("user=postgres"), QStringLiteral("password_file=") + passwordFile,
            QStringLiteral("[Attendant]"), QStringLiteral("enabled=on"), QStringLiteral("poll_seconds=0.3"),
            QStringLiteral("status_seconds=2")};
        QVERIFY(m_rig->start(QStringLiteral("1300"), {}, 0, settings));
        startAttendant();
    }
    void cleanupTestCase()
    {
        m_attendant.reset();
        m_rig.reset();
        m_cluster.stop();
    }

    // The thresholds of the worker's budget as the dosimeter receives them:
    // each requested value arrives divided by 1000, rounded down to what the
    // budget allows.
    void thresholdsOnTheDosimeter_data()
    {
        QTest::addColumn<double>("permitted");
        QTest::addColumn<double>("current");
        QTest::addColumn<double>("siteWarning");
        QTest::addColumn<double>("siteAlarm");
        QTest::addColumn<double>("warning");   // as the dosimeter receives them
        QTest::addColumn<double>("alarm");
        QTest::newRow("site levels bind") << 20.0 << 3.25 << 1.5 << 3.0 << 1.5 << 3.0;
        QTest::newRow("remaining dose binds") << 1.0 << 0.0 << 1.5 << 3.0 << 0.8 << 1.0;
        QTest::newRow("share of the remaining dose binds the warning") << 20.0 << 18.4 << 1.5 << 3.0 << 1.28 << 1.6;
        QTest::newRow("six digits, rounded down") << 20.0 << 3.1234449 << 100.0 << 100.0 << 13.5012 << 16.8765;
        QTest::newRow("a thousandth left") << 0.001 << 0.0 << 1.5 << 3.0 << 0.0008 << 0.001;
    }
    void thresholdsOnTheDosimeter()
    {
        QFETCH(double, permitted);
        QFETCH(double, current);
        QFETCH(double, siteWarning);
        QFETCH(double, siteAlarm);
        QFETCH(double, warning);
        QFETCH(double, alarm);
        const int dev = insertFresh(1, 4001);
        QVERIFY(dev >= 0);
        m_rig->rack->clearRequests(dev);

        SelfServiceSettings s;
        s.levels.gamma = {siteWarning, siteAlarm, 0.1, 0.2};
        const IssueThresholds t = budgetThresholds(s.levels, permitted, current, false);
        const QJsonObject issue = issueRequest(s, QStringLiteral("9999"), QStringLiteral("ПОРОГОВ П.П."), QString(), t);
        controllerclient::Address controller{QStringLiteral("127.0.0.1"), m_rig->port()};
        const controllerclient::Reply reply = controllerclient::send(controller, issue);
        QVERIFY2(reply.ok() && reply.value("cell") == QLatin1String("1"), reply.raw.constData());

        const QList<QByteArray> frames = m_rig->rack->requests(dev);
        const struct {
            const char *key;
            quint8 code;
            double expected;
        } sent[] = {{"gdel", 0x09, warning}, {"gde2", 0x0C, alarm}, {"gderl", 0x12, 0.1}, {"gder2", 0x15, 0.2}};
        for (const auto &k : sent) {
            const double received = frameThreshold(frames, k.code);
            const double requested = issue.value(QLatin1String(k.key)).toString().toDouble();
            // The unit factor, from what was asked and what arrived.
            QVERIFY2(qAbs(requested / received / kRequestPerDosimeterUnit - 1) < 1e-5,
                     qPrintable(QStringLiteral("%1: %2 arrived as %3").arg(QLatin1String(k.key)).arg(requested).arg(received)));
            if (k.code == 0x09 || k.code == 0x0C)
                QCOMPARE(received, k.expected);
            else
                QCOMPARE(float(received), float(k.expected));
        }
        QVERIFY(t.gamma.doseAlarm <= remainingDose(permitted, current));
        m_rig->rack->remove(dev);
        QCOMPARE(request(QStringLiteral("{\"command\":\"cell_free\",\"nomer_ppd\":\"4001\",\"cell\":\"1\"}")),
                 QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}"));
    }

    // The whole loop: a card login issues a dosimeter programmed for the
    // worker's budget, the worker takes it and brings it back into another
    // cell with a dose, the attendant confirms it, the site database adds the
    // dose, and the next login shows what is left.
    void selfServiceCycle()
    {
        const int dev = insertFresh(1, 5001);
        QVERIFY(dev >= 0);
        const double before = annualDose(21);
        QCOMPARE(before, 0.0);
        auto w = terminal(m_rig->port());
        auto *flow = w->findChild<IssueFlow *>();
        QVERIFY(flow);
        IssueScreen *screen = flow->screen();
        showCard(kCardA);
        QVERIFY2(waitFor([&]() { return screen->heading() == QStringLiteral("Возьмите дозиметр из ячейки 1"); }, 10000),
                 qPrintable(screen->heading() + w->statusBar()->currentMessage()));
        QVERIFY(screen->isVisible());
        QVERIFY(!w->isVisible());
        QCOMPARE(screen->doseLines(), (QStringList{QStringLiteral("Получено: 0.000 мЗв"),
                                                   QStringLiteral("Разрешено: 1.000 мЗв"),
                                                   QStringLiteral("Осталось: 1.000 мЗв")}));
        QCOMPARE(greenItems(screen->rackTable()), QStringList{QStringLiteral("0,0")});

        // The dosimeter carries the worker's key, name and the thresholds of the budget.
        const SimDosimeter issued = m_rig->rack->state(dev);
        QCOMPARE(simtext::decodeUser(issued.userId), QStringLiteral("2101"));
        QCOMPARE(simtext::decodeUser(issued.userName), QStringLiteral("ТЕСТОВ Т.Т."));
        QCOMPARE(simtext::decodeUser(issued.userOrder), QStringLiteral("ЦЕХ 1"));
        QCOMPARE(issued.de1, 0.8);
        QCOMPARE(issued.de2, 1.0);
        QCOMPARE(issued.der1, 0.1f);
        QCOMPARE(issued.der2, 0.2f);
        QCOMPARE(issued.mode, quint16(0));

        // Taken: the terminal is back on its main screen.
        m_rig->rack->remove(dev);
        QVERIFY(waitFor([&]() { return screen->isHidden() && w->isVisible(); }, 5000));
        QVERIFY(keypadShown(w.get()));
        QCOMPARE(cellLine(1), QString());

        // Back into cell 4 with a dose; the attendant confirms it.
        SimDosimeter back = issued;
        back.gammaDose = 0.25;
        back.gammaMaxRate = 0.05f;
        back.gammaMaxTime = 600;
        back.history = SimRack::makeHistory(5);
        QVERIFY(m_rig->rack->insert(4, back) >= 0);
        QVERIFY2(waitFor([&]() { return attendantLogged(QStringLiteral("дозиметр 5001, работник 2101, ЭД 0.250000000, "
                                                                       "история 5 записей, в журнале, seq")); },
                         15000),
                 qPrintable(attendantLog()));
        QVERIFY(attendantLog().contains(QStringLiteral(": подтверждён")));
        QCOMPARE(journalCount(QStringLiteral("readout"), QStringLiteral("5001")), 1);
        QCOMPARE(journalCount(QStringLiteral("confirm"), QStringLiteral("5001")), 1);
        QCOMPARE(cellLine(4), QString());
        QCOMPARE(m_rig->rack->state(m_rig->rack->deviceOfNumber(5001)).gammaDose, 0.0);

        // The site database: risen by exactly the dose carried.
        QVERIFY2(waitFor([&]() { return annualDose(21) != before; }, 30000), "the annual dose was not recomputed");
        QCOMPARE(annualDose(21), before + 0.25);

        // The next login, with a work order typed this time, shows what is
        // left, and the next dosimeter is programmed for it.
        w.reset();
        w = terminal(m_rig->port(), QStringLiteral("order_keypad=on\n"));
        flow = w->findChild<IssueFlow *>();
        screen = flow->screen();
        const int dev2 = insertFresh(2, 5002);
        QVERIFY(dev2 >= 0);
        showCard(kCardA);
        QVERIFY(waitFor([&]() { return screen->heading() == QStringLiteral("Введите номер наряда"); }, 10000));
        for (const char *key : {"order_key_4", "order_key_7", "order_key_1", "order_key_1", "order_next"})
            QTest::mouseClick(child<QPushButton>(screen, key), Qt::LeftButton);
        QVERIFY2(waitFor([&]() { return screen->heading() == QStringLiteral("Возьмите дозиметр из ячейки 2"); }, 10000),
                 qPrintable(screen->heading() + w->statusBar()->currentMessage()));
        QCOMPARE(screen->doseLines(), (QStringList{QStringLiteral("Получено: 0.250 мЗв"),
                                                   QStringLiteral("Разрешено: 1.000 мЗв"),
                                                   QStringLiteral("Осталось: 0.750 мЗв")}));
        QCOMPARE(m_rig->rack->state(dev2).de2, 0.75);
        QCOMPARE(m_rig->rack->state(dev2).de1, 0.6);
        QCOMPARE(simtext::decodeUser(m_rig->rack->state(dev2).userOrder), QStringLiteral("4711"));
        m_rig->rack->remove(dev2);
        QVERIFY(waitFor([&]() { return screen->isHidden() && w->isVisible(); }, 5000));
    }

    // Nobody takes the dosimeter: the worker is told, and the cell stays as
    // the controller marked it, for a technician.
    void notTakenInTime()
    {
        const int dev = insertFresh(2, 5012);
        QVERIFY(dev >= 0);
        auto w = terminal(m_rig->port(), QStringLiteral("take_timeout=1\n"));
        showCard(kCardA);
        const QString notice = QStringLiteral("Дозиметр не забран из ячейки 2. Ячейка оставлена для техника");
        QVERIFY(waitFor([&]() { return w->statusBar()->currentMessage() == notice; }, 10000));
        QVERIFY(w->isVisible());
        QCOMPARE(cellLine(2), QStringLiteral("Дозиметр ожидает, чтобы его забрали"));
        m_rig->rack->remove(dev);
        QCOMPARE(request(QStringLiteral("{\"command\":\"cell_free\",\"nomer_ppd\":\"5012\",\"cell\":\"2\"}")),
                 QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}"));
    }

    // The controller cannot be reached or never answers: the worker is told,
    // the screen stays live meanwhile, and the terminal is usable again.
    void controllerUnavailableAtLogin_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("notice");
        QTest::newRow("down") << false << QStringLiteral("Нет связи с кассетницей. Дозиметр не выдан, обратитесь к технику");
        QTest::newRow("never answers") << true << QStringLiteral("Кассетница не ответила вовремя. Обратитесь к технику");
    }
    void controllerUnavailableAtLogin()
    {
        QFETCH(bool, listening);
        QFETCH(QString, notice);
        QTcpServer silent;
        if (listening)
            QVERIFY(silent.listen(QHostAddress::LocalHost));
        auto w = terminal(listening ? silent.serverPort() : quint16(closedPort()), QStringLiteral("issue_timeout=1\n"));
        auto *flow = w->findChild<IssueFlow *>();
        QElapsedTimer clock;
        qint64 tickAt = -1;
        QTimer tick;
        tick.setInterval(100);
        QObject::connect(&tick, &QTimer::timeout, [&]() {
            if (tickAt < 0 && flow->isRunning())
                tickAt = clock.elapsed();
        });
        tick.start();
        clock.start();
        showCard(kCardA);
        QVERIFY(waitFor([&]() { return w->statusBar()->currentMessage() == notice; }, 10000));
        const qint64 noticeAt = clock.elapsed();
        QVERIFY(flow->screen()->isHidden());
        QVERIFY(w->isVisible());
        QVERIFY(child<QLabel>(w.get(), "label_message")->isVisible());
        if (listening) {
            // The GUI thread ran its timers while the controller kept silent.
            QVERIFY(tickAt >= 0);
            QVERIFY2(noticeAt - tickAt >= 500, qPrintable(QStringLiteral("%1 %2").arg(tickAt).arg(noticeAt)));
        }
        for (int i = 0; i < 4; ++i)
            w->slotTimerAlarm();
        QVERIFY(keypadShown(w.get()));
        QVERIFY(Global_Timer_main);
    }

    // A read-out that fails twice: the attendant lets the controller read it
    // once more, then blocks the cell with a text; the dosimeter keeps its dose.
    void readoutFailsTwice()
    {
        SimDosimeter d = rig::returned(5005, SimGamma);
        d.userId = simtext::encodeUser(QStringLiteral("2102"));
        d.gammaDose = 0.5;
        const int dev = m_rig->rack->insert(5, d);
        m_rig->rack->setFault(dev, 0x4F, SimFault::silence());
        const QString block = QStringLiteral("Автоприём: показания дозиметра в ячейке 5 не считаны дважды. "
                                             "Проверьте дозиметр, затем разблокируйте ячейку");
        QVERIFY2(waitFor([&]() { return cellLine(5) == block; }, 15000), qPrintable(cellLine(5) + attendantLog()));
        QVERIFY(attendantLogged(QStringLiteral("ячейка 5 (") + m_rig->rack->portPath(dev)
                                + QStringLiteral("): показания не считаны, дозиметр будет прочитан ещё раз")));
        QCOMPARE(journalCount(QStringLiteral("readout_failed"), QStringLiteral("5005")), 2);
        QCOMPARE(journalCount(QStringLiteral("confirm"), QStringLiteral("5005")), 0);
        const SimDosimeter kept = m_rig->rack->state(dev);
        QCOMPARE(kept.gammaDose, 0.5);
        QCOMPARE(simtext::decodeUser(kept.userId), QStringLiteral("2102"));
        // Blocked, the cell stays as it is.
        QTest::qWait(1000);
        QCOMPARE(cellLine(5), block);
    }

    // A read-out that is not in the journal is never confirmed: the
    // attendant looks twice, then blocks the cell with the readings in the
    // text, and the dosimeter keeps its dose.
    void readoutMissingFromTheJournal()
    {
        // A journal that holds none of this controller's rows.
        const QString other = m_dir.filePath(QStringLiteral("other.sqlite"));
        { JournalStore store(other, QStringLiteral("elsewhere")); }
        startAttendant({QStringLiteral("--journal"), other});
        SimDosimeter d = rig::returned(5003, SimGamma);
        d.userId = simtext::encodeUser(QStringLiteral("2102"));
        d.gammaDose = 0.5;
        const int dev = m_rig->rack->insert(3, d);
        const QString block = QStringLiteral("Автоприём: сдача не подтверждена дважды (в журнале нет показаний "
                                             "дозиметра 5003 из ячейки 3). дозиметр 5003, работник 2102, ЭД "
                                             "0.500000000. Проверьте журнал, затем разблокируйте ячейку");
        QVERIFY2(waitFor([&]() { return cellLine(3) == block; }, 15000), qPrintable(cellLine(3) + attendantLog()));
        QCOMPARE(journalCount(QStringLiteral("readout"), QStringLiteral("5003")), 1);
        QCOMPARE(journalCount(QStringLiteral("confirm"), QStringLiteral("5003")), 0);
        QCOMPARE(m_rig->rack->state(dev).gammaDose, 0.5);
        startAttendant();
    }

    // The attendant killed between the read-out and the confirmation: after
    // its restart the waiting return is confirmed once and counted once. A
    // worker of its own: the read-outs the scenarios above leave waiting in
    // their cells count toward their worker's annual dose already.
    void attendantKilledBeforeConfirmation()
    {
        SimDosimeter d = rig::returned(5006, SimGamma);
        d.userId = simtext::encodeUser(QStringLiteral("2103"));
        d.gammaDose = 0.5;
        d.history = SimRack::makeHistory(2);
        const int dev = m_rig->rack->insert(6, d);
        // The history read takes long: the attendant is killed while it waits.
        m_rig->rack->setFault(dev, 0x30, SimFault::chunks(1, 60).times(1));
        QVERIFY2(m_rig->server->waitForOutput("Чтение истории дозиметра 5", 15000),
                 qPrintable(QString::fromUtf8(m_rig->server->log().right(3000)) + attendantLog()));
        m_attendant->process().kill();
        QVERIFY(m_attendant->process().waitForFinished(5000));
        QCOMPARE(journalCount(QStringLiteral("readout"), QStringLiteral("5006")), 1);
        QVERIFY(waitFor([&]() { return cellLine(6).startsWith(kWaiting); }, 5000));
        QCOMPARE(journalCount(QStringLiteral("confirm"), QStringLiteral("5006")), 0);

        startAttendant();
        QVERIFY2(waitFor([&]() { return attendantLogged(QStringLiteral("дозиметр 5006, работник 2103, ЭД 0.500000000, "
                                                                       "история 2 записей, в журнале, seq")); },
                         15000),
                 qPrintable(attendantLog()));
        QVERIFY(attendantLog().contains(QStringLiteral("возврат: ячейка 6, дозиметр 5006, работник 2103, ЭД "
                                                       "0.500000000: ждёт подтверждения, найден в ячейке")));
        QCOMPARE(cellLine(6), QString());
        QVERIFY(waitFor([&]() { return annualDose(23) != 0.0; }, 30000));
        QCOMPARE(annualDose(23), 0.5);
        QTest::qWait(1000);
        QCOMPARE(journalCount(QStringLiteral("readout"), QStringLiteral("5006")), 1);
        QCOMPARE(journalCount(QStringLiteral("confirm"), QStringLiteral("5006")), 1);
        QCOMPARE(annualDose(23), 0.5);
    }

    // The dosimeter refuses its first reset: the controller answers the
    // attendant's confirmation with the error, its waiting line cleared and
    // the journal's row marking the dosimeter erased. The attendant confirms
    // once more without looking for the read-out again (the journal would
    // no longer show it), and the dose is counted once.
    void confirmationRetriedAfterAFailedReset()
    {
        const int cell = 1;
        const int number = 5021;
        const QString n = QString::number(number);
        SimDosimeter d = rig::returned(number, SimGamma);
        d.userId = simtext::encodeUser(QStringLiteral("2102"));
        d.gammaDose = 0.5;
        const int dev = m_rig->rack->insert(cell, d);
        m_rig->rack->setFault(dev, 0x59, SimFault::refuse().times(1));
        QVERIFY2(waitFor([&]() { return attendantLogged(QStringLiteral("дозиметр %1, работник 2102, ЭД 0.500000000, "
                                                                       "история 0 записей, в журнале, seq").arg(n)); },
                         15000),
                 qPrintable(attendantLog()));
        QVERIFY(attendantLog().contains(QStringLiteral("возврат: ячейка %1, дозиметр %2, работник 2102, ЭД 0.500000000: "
                                                       "не подтверждён (")
                                            .arg(cell)
                                            .arg(n)));
        QVERIFY(!attendantLog().contains(QStringLiteral("ячейка %1 заблокирована").arg(cell)));
        QCOMPARE(cellLine(cell), QString());
        QCOMPARE(m_rig->rack->state(dev).gammaDose, 0.0);
        QCOMPARE(journalCount(QStringLiteral("readout"), n), 1);
        QCOMPARE(journalCount(QStringLiteral("not_confirmed"), n), 1);
        QCOMPARE(journalCount(QStringLiteral("confirm"), n), 1);
    }

    // The dosimeter leaves its cell while the attendant reads its history:
    // the controller answers the confirmation without a reset, and the
    // attendant says so instead of "подтверждён".
    void confirmationWithoutTheDosimeter_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("swappedIn");   // the dosimeter put in its place; 0: none
        QTest::addColumn<QString>("logged");
        QTest::newRow("taken out") << 5031 << 0
                                   << QStringLiteral(": не подтверждён: дозиметра нет в ячейке, сброс не выполнен, "
                                                     "ячейка свободна");
        QTest::newRow("swapped") << 5032 << 5033
                                 << QStringLiteral(": не подтверждён: в ячейке другой дозиметр, сброс не выполнен, "
                                                   "ячейка освобождена");
    }
    void confirmationWithoutTheDosimeter()
    {
        QFETCH(int, number);
        QFETCH(int, swappedIn);
        QFETCH(QString, logged);
        const int cell = 2;
        const QString n = QString::number(number);
        const QByteArray reading = QByteArrayLiteral("Чтение истории дозиметра 1");
        const int readsBefore = m_rig->server->log().count(reading);
        SimDosimeter d = rig::returned(number, SimGamma);
        d.userId = simtext::encodeUser(QStringLiteral("2102"));
        d.gammaDose = 0.5;
        d.history = SimRack::makeHistory(2);
        const int dev = m_rig->rack->insert(cell, d);
        const QString port = m_rig->rack->portPath(dev);
        m_rig->rack->setFault(dev, 0x30, SimFault::chunks(1, 60).times(1));
        QVERIFY2(waitFor([&]() {
                     m_rig->server->process().waitForReadyRead(10);
                     return m_rig->server->log().count(reading) > readsBefore;
                 }, 15000),
                 qPrintable(attendantLog()));
        m_rig->rack->remove(dev);
        if (swappedIn) {
            const int other = m_rig->rack->insert(cell, swappedIn);
            QCOMPARE(m_rig->rack->portPath(other), port);
        }
        const QString line = QStringLiteral("возврат: ячейка 2, дозиметр %1, работник 2102, ЭД 0.500000000").arg(n);
        QVERIFY2(waitFor([&]() { return attendantLogged(line + logged); }, 15000), qPrintable(attendantLog()));
        QVERIFY(!attendantLog().contains(line + QStringLiteral(", история")));
        QCOMPARE(journalCount(QStringLiteral("readout"), n), 1);
        QCOMPARE(journalCount(QStringLiteral("confirm"), n), 0);
        if (swappedIn) {
            // The dosimeter put in is registered by a later scan.
            const int other = m_rig->rack->deviceOfNumber(swappedIn);
            QVERIFY(waitFor([&]() { return m_rig->lines(QStringLiteral("nomer_ppd.ini")).value(cell - 1)
                                           == QString::number(swappedIn); }, 10000));
            m_rig->rack->remove(other);
            request(QStringLiteral("{\"command\":\"cell_free\",\"nomer_ppd\":\"\",\"cell\":\"2\"}"));
        }
    }

    // A failed read-out read after all by someone else's scan (the console's
    // "poll for returns") while the attendant sleeps: its look-over finds
    // the return waiting and forgets the failure, so that the next
    // dosimeter's first failure in that cell gets its second read.
    void failedReadoutReadElsewhere()
    {
        const int cell = 2;
        startAttendant({QStringLiteral("--interval"), QStringLiteral("3")});
        SimDosimeter a = rig::returned(5041, SimGamma);
        a.userId = simtext::encodeUser(QStringLiteral("2102"));
        a.gammaDose = 0.5;
        const int devA = m_rig->rack->insert(cell, a);
        const QString port = m_rig->rack->portPath(devA);
        m_rig->rack->setFault(devA, 0x4F, SimFault::silence());
        const QString again = QStringLiteral("ячейка 2 (%1): показания не считаны, дозиметр будет прочитан ещё раз").arg(port);
        QVERIFY2(waitFor([&]() { return attendantLogged(again); }, 15000), qPrintable(attendantLog()));
        const qint64 pid = m_attendant->process().processId();
        QCOMPARE(::kill(pid_t(pid), SIGSTOP), 0);
        m_rig->rack->clearFault(devA, 0x4F);
        request(QStringLiteral("{\"command\":\"OUT\"}"));
        const bool waiting = cellLine(cell).startsWith(kWaiting);
        QCOMPARE(::kill(pid_t(pid), SIGCONT), 0);
        QVERIFY2(waiting, qPrintable(cellLine(cell)));
        QVERIFY2(waitFor([&]() { return attendantLogged(QStringLiteral("дозиметр 5041, работник 2102, ЭД 0.500000000, "
                                                                       "история 0 записей, в журнале, seq")); },
                         15000),
                 qPrintable(attendantLog()));
        m_rig->rack->remove(devA);
        QCOMPARE(request(QStringLiteral("{\"command\":\"cell_free\",\"nomer_ppd\":\"5041\",\"cell\":\"2\"}")),
                 QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}"));

        // The next dosimeter in the cell fails once and is read again, not blocked.
        SimDosimeter b = rig::returned(5042, SimGamma);
        b.userId = simtext::encodeUser(QStringLiteral("2102"));
        b.gammaDose = 0.25;
        const int devB = m_rig->rack->insert(cell, b);
        m_rig->rack->setFault(devB, 0x4F, SimFault::silence().times(1));
        QVERIFY2(waitFor([&]() { return attendantLogged(QStringLiteral("дозиметр 5042, работник 2102, ЭД 0.250000000, "
                                                                       "история 0 записей, в журнале, seq")); },
                         20000),
                 qPrintable(attendantLog() + cellLine(cell)));
        QVERIFY(!attendantLog().contains(QStringLiteral("ячейка 2 заблокирована")));
        startAttendant();
    }
};

QTEST_MAIN(TestSelfService)
#include "tst_selfservice.moc"
