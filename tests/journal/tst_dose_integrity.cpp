// Every dose a dosimeter brings back is recorded and counted once, whatever
// fails on the way: the real controller over the simulated rack with a real
// journal file, one scenario per row (a cut dose reply, a confirmation whose
// last reset step fails, block and unblock, a read-out made while the journal
// was off, a dosimeter put back twice, the controller killed between the
// waiting line and the journal's commit, replies that come twice in the fast
// mode, a dose reset that fails, a disk that fills up before the read-out, a
// second controller started on the same journal). In each, the worker's
// annual dose from dose_report equals the doses the simulated dosimeters
// carried, and no read-out stays pending once the dosimeter was reset.
#include "journalobserver.h"
#include "tst_issue_rig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

using rig::Rig;

namespace {

const QString kWorker = QStringLiteral("AB12");   // rig::cycleIssue's worker, as the dosimeter holds it
const qint32 kNumber = 501;
const QString kFree = QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}");
const QString kDone = QStringLiteral("{\"error\":\"\"}");

// One request; the reply is complete as soon as it is a JSON object (or,
// for the classic failure replies that are not valid JSON, after 300 ms
// without more bytes).
QString ask(quint16 port, const QString &json)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return QString();
    s.write(json.toUtf8());
    QByteArray reply;
    QElapsedTimer total, quiet;
    total.start();
    quiet.start();
    while (total.elapsed() < 30000) {
        if (s.waitForReadyRead(20)) {
            reply += s.readAll();
            quiet.restart();
            if (QJsonDocument::fromJson(reply).isObject())
                break;
        } else if (!reply.isEmpty() && quiet.elapsed() > 300) {
            break;
        }
    }
    return QString::fromUtf8(reply);
}

QString cellRequest(const QString &command, int cell, const QString &extra = QString())
{
    return QStringLiteral("{\"command\":\"%1\",\"nomer_ppd\":\"%2\",\"cell\":\"%3\",\"error\":\"\"%4}")
        .arg(command).arg(kNumber).arg(cell).arg(extra);
}

QString cellError(const QString &port, int cell, const QString &block)
{
    return QStringLiteral("{\"command\":\"cell_error\",\"port\":\"%1\",\"cell\":\"%2\",\"block\":\"%3\"}")
        .arg(port).arg(cell).arg(block);
}

QString errorOf(const QString &reply)
{
    return QJsonDocument::fromJson(reply.toUtf8()).object().value(QStringLiteral("error")).toString();
}

// dose_report over a journal file; its JSON output.
QJsonArray report(const QString &journal, const QStringList &command, QString *failure)
{
    QProcess p;
    p.start(qEnvironmentVariable("DOSE_REPORT_BIN", QStringLiteral(DOSE_REPORT_BIN)),
            QStringList{QStringLiteral("--sqlite"), journal, QStringLiteral("--json")} + command);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        *failure = QString::fromUtf8(p.readAllStandardError());
        return {};
    }
    return QJsonDocument::fromJson(p.readAllStandardOutput()).array();
}

// The journal's rows as dose_report lists them, oldest first: "kind:source"
// (source only on read-outs).
QStringList journalKinds(const QString &journal)
{
    QString failure;
    QStringList kinds;
    for (const QJsonValue &v : report(journal, {QStringLiteral("events"), QStringLiteral("--limit"), QStringLiteral("0")},
                                      &failure)) {
        const QJsonObject row = v.toObject();
        const QString source = row.value(QStringLiteral("source")).toString();
        kinds << row.value(QStringLiteral("kind")).toString() + (source.isEmpty() ? QString() : QLatin1Char(':') + source);
    }
    if (!failure.isEmpty())
        kinds << QStringLiteral("dose_report failed: ") + failure;
    return kinds;
}

// Every reply comes once more, whole, 15 ms after itself (only the replies
// whose size does not depend on the dosimeter's texts).
void lateCopies(SimRack &rack, int device)
{
    for (int code : {0x01, 0x46, 0x4A, 0x44, 0x59, 0x18, 0x09, 0x0C, 0x12, 0x15, 0x3A, 0x75, 0xB4, 0xA8})
        rack.setFault(device, code, SimFault::trailing(15, 15));
    rack.setFault(device, 0x4F, SimFault::trailing(22, 15));
    rack.setFault(device, 0x17, SimFault::trailing(18, 15));
    rack.setFault(device, 0x19, SimFault::trailing(18, 15));
}

// The scheduler's state letter of a process ('T': stopped).
char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 ? text.at(close + 2) : 0;
}

// A controller in front of a small rack, in the fast mode, with one
// dosimeter (kNumber) registered in cell 1.
class Play
{
public:
    explicit Play(bool gammaNeutron) : gn(gammaNeutron)
    {
        device = r.rack->insert(1, kNumber, -1, gn ? SimGammaNeutron : SimGamma);
        r.registerCell(1, device, kNumber);
    }

    bool start(const QStringList &env = {}, const QStringList &settings = {})
    {
        return r.start(gn ? QStringLiteral("1300GN") : QStringLiteral("1300"), env, 0,
                       QStringList{QStringLiteral("reply_end=frame"), QStringLiteral("reply_pause_ms=0")} + settings);
    }
    QString send(const QString &json) { return ask(r.port(), json); }
    QString journal() const { return journalFile.isEmpty() ? r.work() + QStringLiteral("/journal.sqlite") : journalFile; }
    SimDosimeter state() const { return r.rack->state(device); }
    QString port() const { return r.rack->portPath(device); }

    // Issues the dosimeter of cell 1 to the worker.
    bool issue() { return send(rig::cycleIssue(gn)).endsWith(QStringLiteral("\"cell\":\"1\",\"error\":\"\"}")); }

    // The worker takes the dosimeter away (the client then frees the cell it
    // was issued from) and puts it into a cell with the dose it carried; it
    // comes back as another serial device.
    bool bringBack(int cell, double gamma, double neutron = 0, bool withUser = true)
    {
        SimDosimeter carried = state();
        if (!withUser)
            carried.userId.clear();
        const bool issuedFrom = r.rack->position(device) == 1;
        r.rack->remove(device);
        if (issuedFrom && send(cellRequest(QStringLiteral("cell_free"), 1)) != kFree)
            return false;
        carried.gammaDose = gamma;
        carried.neutronDose = neutron;
        carried.gammaMaxRate = 1.5f;
        carried.gammaMaxTime = 1234;
        device = r.rack->insert(cell, carried, cell - 1);
        return device >= 0;
    }

    // A read-out of the dosimeter: its reply.
    QString readOut() { return send(QStringLiteral("{\"command\":\"OUT\"}")); }

    bool gn;
    QString journalFile;   // "" for the controller's default
    bool checked = false;  // the scenario checked the counts itself
    Rig r{3};
    int device = -1;
};

} // namespace

class TestDoseIntegrity : public QObject
{
    Q_OBJECT

private slots:
    void dose_data();
    void dose();

private:
    void play(const QString &scenario, Play &p);
    void checkCounted(Play &p, double annual, bool issuedAtEnd);
};

void TestDoseIntegrity::play(const QString &scenario, Play &p)
{
    if (scenario == QLatin1String("cut dose reply")) {
        // A dose reply cut inside its value is a failed read, never a dose of
        // 0; the confirmation then reads the dose before it resets, and
        // refuses while it cannot.
        QVERIFY(p.start());
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5));
        p.r.rack->setFault(p.device, 0x4F, SimFault::cut(14));
        const QString out = p.readOut();
        QVERIFY2(out.startsWith(QStringLiteral("{\"error\":\"Произошла критическая ошибка при Сдаче дозиметра")), qPrintable(out));
        const QStringList linesBefore = p.r.lines(QStringLiteral("error.ini"));
        const QString refused = p.send(cellRequest(QStringLiteral("OUT_true"), 2));
        QVERIFY2(errorOf(refused).startsWith(QStringLiteral("Сброс дозиметра 501 не выполнен: доза не прочитана")),
                 qPrintable(refused));
        QCOMPARE(p.state().gammaDose, 2.5);
        QCOMPARE(p.r.lines(QStringLiteral("error.ini")), linesBefore);
        p.r.rack->clearFaults(p.device);
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 2)), kDone);
        QCOMPARE(journalKinds(p.journal()).filter(QStringLiteral("readout")),
                 (QStringList{QStringLiteral("readout_failed"), QStringLiteral("readout:before_reset")}));
    } else if (scenario == QLatin1String("service mode fails during OUT_true")) {
        QVERIFY(p.start());
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"d\":\"2.500000000\"")));
        p.r.rack->setFault(p.device, 0x3A, SimFault::silence());
        QCOMPARE(errorOf(p.send(cellRequest(QStringLiteral("OUT_true"), 2))),
                 QStringLiteral("ошибка установки сервисного режима работы дозиметра"));
        QCOMPARE(journalKinds(p.journal()), (QStringList{QStringLiteral("startup"), QStringLiteral("issue"), QStringLiteral("freed"),
                                                         QStringLiteral("readout:scan"), QStringLiteral("not_confirmed")}));
    } else if (scenario == QLatin1String("the dose reset fails during OUT_true")) {
        // The dosimeter is pulled out as soon as it said its number: no reset
        // step reaches it and the dose stays on it. Its read-out is not closed
        // by the failed confirmation, and the read-out in the next cell
        // replaces it.
        QVERIFY(p.start());
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"d\":\"2.500000000\"")));
        for (int code : {0x59, 0x18, 0x4A, 0x46, 0x44, 0x3A})
            p.r.rack->setFault(p.device, code, SimFault::silence());
        QVERIFY(errorOf(p.send(cellRequest(QStringLiteral("OUT_true"), 2))).contains(QStringLiteral("Ошибка сброса ЭД гамма")));
        QCOMPARE(p.state().gammaDose, 2.5);
        p.r.rack->clearFaults(p.device);
        QVERIFY(p.bringBack(3, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"c\":\"3\",\"d\":\"2.500000000\"")));
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 3)), kDone);
    } else if (scenario == QLatin1String("put back twice while the journal was off")) {
        // Read out in cell 3, then in cell 2 with more dose, both with the
        // journal off: the start-up puts both lines on record, the later
        // (larger) one last, whatever the order of the cells.
        QVERIFY(p.start({}, {QStringLiteral("journal=")}));
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(3, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"c\":\"3\",\"d\":\"2.500000000\"")));
        QVERIFY(p.bringBack(2, 2.75));
        QVERIFY(p.readOut().contains(QStringLiteral("\"c\":\"2\",\"d\":\"2.750000000\"")));
        p.r.server.reset();
        QVERIFY(p.start());
        QCOMPARE(journalKinds(p.journal()), (QStringList{QStringLiteral("startup"), QStringLiteral("readout:recovered"),
                                                         QStringLiteral("readout:recovered")}));
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 2)), kDone);
    } else if (scenario == QLatin1String("block and unblock after a read-out")) {
        QVERIFY(p.start());
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"d\":\"2.500000000\"")));
        QCOMPARE(p.send(cellError(QString(), 2, QStringLiteral("Ячейка неисправна"))), kFree);
        QCOMPARE(p.send(cellError(p.port(), 2, QString())), kFree);
    } else if (scenario == QLatin1String("block and unblock of an issued dosimeter")) {
        // Issued and still in its cell, with the dose it gathered since: the
        // unblock reads it before it resets.
        QVERIFY(p.start());
        QVERIFY(p.issue());
        p.r.rack->setDoses(p.device, 0.7, 0.2);
        p.r.rack->clearRequests(p.device);
        QCOMPARE(p.send(cellError(QString(), 1, QStringLiteral("Ячейка неисправна"))), kFree);
        QCOMPARE(p.send(cellError(p.port(), 1, QString())), kFree);
        const QList<int> codes = rig::codes(p.r.rack->requests(p.device));
        QVERIFY(codes.indexOf(0x4F) >= 0 && codes.indexOf(0xAF) >= 0);
        QVERIFY(codes.indexOf(0x4F) < codes.indexOf(0x59) && codes.indexOf(0xAF) < codes.indexOf(0x59));
    } else if (scenario == QLatin1String("read-out while the journal was off")) {
        // A waiting line that the journal never heard of is put on record
        // at the next start-up.
        QVERIFY(p.start({}, {QStringLiteral("journal=")}));
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"d\":\"2.500000000\"")));
        p.r.server.reset();
        QVERIFY(!QFile::exists(p.journal()));
        QVERIFY(p.start());
        QCOMPARE(journalKinds(p.journal()), (QStringList{QStringLiteral("startup"), QStringLiteral("readout:recovered")}));
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 2)), kDone);
    } else if (scenario == QLatin1String("put back twice before the confirmation")) {
        // Read out in cell 2, taken out again before the confirmation and
        // put into cell 3 with more dose: the later read-out replaces the first.
        QVERIFY(p.start());
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"d\":\"2.500000000\"")));
        QVERIFY(p.bringBack(3, 2.75));
        QVERIFY(p.readOut().contains(QStringLiteral("\"c\":\"3\",\"d\":\"2.750000000\"")));
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 3)), kDone);
    } else if (scenario == QLatin1String("killed between the waiting line and the journal")) {
        // The controller stops itself right before it commits the read-out,
        // after it wrote the waiting line, and is killed there.
        QVERIFY(p.start({QString::fromLatin1(JournalObserver::stopBeforeReadoutVariable()) + QStringLiteral("=1")}));
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, p.r.port());
        QVERIFY(client.waitForConnected(5000));
        client.write("{\"command\":\"OUT\"}");
        QVERIFY(client.waitForBytesWritten(5000));
        const qint64 pid = p.r.server->process().processId();
        QTRY_COMPARE_WITH_TIMEOUT(processState(pid), 'T', 20000);
        ::kill(pid_t(pid), SIGKILL);
        QVERIFY(p.r.server->process().waitForFinished(5000));
        QVERIFY(p.r.lines(QStringLiteral("error.ini")).value(1).startsWith(QStringLiteral("Ждет подтвержения сдачи ")));
        QVERIFY(journalKinds(p.journal()).filter(QStringLiteral("readout")).isEmpty());
        p.r.server.reset();
        QVERIFY(p.start());
        QCOMPARE(journalKinds(p.journal()).filter(QStringLiteral("readout")), QStringList{QStringLiteral("readout:recovered")});
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 2)), kDone);
    } else if (scenario == QLatin1String("every reply comes twice in the fast mode")) {
        lateCopies(*p.r.rack, p.device);
        QVERIFY(p.start());
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5));
        lateCopies(*p.r.rack, p.device);
        const QString out = p.readOut();
        QVERIFY2(out.contains(QStringLiteral("\"d\":\"2.500000000\",\"r\":\"1.500000000\",\"tm\":\"1234\""))
                     && out.contains(QStringLiteral("\"u\":\"AB12\"")),
                 qPrintable(out));
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 2)), kDone);
    } else if (scenario == QLatin1String("issued again without a read-out")) {
        // Back without its user (cleared elsewhere), so the scan takes it for
        // a fresh dosimeter: the next issue reads the dose of the last cycle
        // before it resets it.
        QVERIFY(p.start());
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5, 0, false));
        QCOMPARE(p.readOut(), QStringLiteral("{\"OUT\":\"\",\"error\":\"\"}"));
        QVERIFY(p.send(rig::cycleIssue(false)).endsWith(QStringLiteral("\"cell\":\"2\",\"error\":\"\"}")));
        QCOMPARE(journalKinds(p.journal()).mid(3), (QStringList{QStringLiteral("registered"),
                                                                QStringLiteral("readout:before_reset"), QStringLiteral("issue")}));
    } else if (scenario == QLatin1String("issue refused while the dose cannot be read")) {
        // The same, but the dose reply is cut: the issue fails as any failed
        // issue does, says why, and resets nothing; the unblock reads the
        // dose once the reply is whole again.
        QVERIFY(p.start());
        QVERIFY(p.issue());
        QVERIFY(p.bringBack(2, 2.5, 0, false));
        QCOMPARE(p.readOut(), QStringLiteral("{\"OUT\":\"\",\"error\":\"\"}"));
        p.r.rack->setFault(p.device, 0x4F, SimFault::cut(14));
        const QString refused = p.send(rig::cycleIssue(false));
        QVERIFY2(refused.startsWith(QStringLiteral("{\"error\":\"Произошла критическая ошибка при выдачи дозиметра \n повторите "
                                                   "операцию \n Сброс дозиметра 501 не выполнен: доза не прочитана")),
                 qPrintable(refused));
        QCOMPARE(p.state().gammaDose, 2.5);
        QVERIFY(p.r.lines(QStringLiteral("error.ini")).value(1).startsWith(QStringLiteral("error : Произошла критическая ошибка")));
        p.r.rack->clearFaults(p.device);
        QCOMPARE(p.send(cellError(p.port(), 2, QString())), kFree);
    } else if (scenario == QLatin1String("disk full before the read-out")) {
        // The read-out waits in memory while the disk is full: the reply is
        // the usual one, the confirmation is refused and leaves the dose on
        // the dosimeter; once there is room the row is written and the
        // confirmation goes ahead.
        QTemporaryDir mountDir;
        const QString folder = mountDir.filePath(QStringLiteral("fs"));
        Tmpfs fs(folder, "1m");
        if (!fs.mounted()) {
            p.checked = true;
            QSKIP("needs root to mount a small tmpfs (a full file system)");
        }
        p.journalFile = folder + QStringLiteral("/journal.sqlite");
        QVERIFY(p.start({}, {QStringLiteral("journal=") + p.journalFile}));
        QVERIFY(p.issue());
        QVERIFY(fs.fill(folder + QStringLiteral("/filler")));
        QVERIFY(p.bringBack(2, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"d\":\"2.500000000\"")));
        const QString refused = errorOf(p.send(cellRequest(QStringLiteral("OUT_true"), 2)));
        QVERIFY2(refused.startsWith(QStringLiteral("Сброс дозиметра 501 не выполнен")), qPrintable(refused));
        QCOMPARE(p.state().gammaDose, 2.5);
        QVERIFY(QFile::remove(folder + QStringLiteral("/filler")));
        QVERIFY(waitFor([&] { return !journalKinds(p.journal()).filter(QStringLiteral("readout:")).isEmpty(); }, 20000));
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 2)), kDone);
        p.r.server.reset();
        QCOMPARE(p.state().gammaDose, 0.0);
        // The rest is checked on the same file system, before it goes.
        checkCounted(p, 2.5, false);
    } else if (scenario == QLatin1String("second controller on the same journal")) {
        // A second controller on the journal of a running one does not start;
        // the first one's cycle goes on and counts once.
        QVERIFY(p.start());
        QVERIFY(p.issue());
        Rig second(1);
        QVERIFY(!second.start(QStringLiteral("1300"), {}, 0, {QStringLiteral("journal=") + p.journal()}));
        QVERIFY(second.server->process().state() == QProcess::NotRunning ||
                second.server->process().waitForFinished(10000));
        QVERIFY(second.server->process().exitCode() != 0);
        QVERIFY(p.bringBack(2, 2.5));
        QVERIFY(p.readOut().contains(QStringLiteral("\"d\":\"2.500000000\"")));
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_true"), 2)), kDone);
    } else {
        QFAIL("unknown scenario");
    }
}

void TestDoseIntegrity::dose_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("gammaNeutron");
    QTest::addColumn<double>("annual");   // gamma + neutron the dosimeter carried
    QTest::addColumn<bool>("issuedAtEnd");   // the scenario ends with the dosimeter issued again
    const QStringList gamma{QStringLiteral("cut dose reply"), QStringLiteral("service mode fails during OUT_true"),
                            QStringLiteral("block and unblock after a read-out"),
                            QStringLiteral("read-out while the journal was off"),
                            QStringLiteral("killed between the waiting line and the journal"),
                            QStringLiteral("every reply comes twice in the fast mode")};
    for (const QString &s : gamma)
        QTest::newRow(qPrintable(s)) << s << false << 2.5 << false;
    for (const QString &s : {QStringLiteral("disk full before the read-out"), QStringLiteral("second controller on the same journal")})
        QTest::newRow(qPrintable(s)) << s << false << 2.5 << false;
    QTest::newRow("the dose reset fails during OUT_true") << QStringLiteral("the dose reset fails during OUT_true") << false
                                                          << 2.5 << false;
    QTest::newRow("put back twice before the confirmation")
        << QStringLiteral("put back twice before the confirmation") << false << 2.75 << false;
    QTest::newRow("put back twice while the journal was off")
        << QStringLiteral("put back twice while the journal was off") << false << 2.75 << false;
    QTest::newRow("block and unblock of an issued dosimeter, gamma and neutron")
        << QStringLiteral("block and unblock of an issued dosimeter") << true << 0.9 << false;
    QTest::newRow("issued again without a read-out") << QStringLiteral("issued again without a read-out") << false << 2.5
                                                     << true;
    QTest::newRow("issue refused while the dose cannot be read")
        << QStringLiteral("issue refused while the dose cannot be read") << false << 2.5 << false;
}

void TestDoseIntegrity::dose()
{
    QFETCH(QString, scenario);
    QFETCH(bool, gammaNeutron);
    QFETCH(double, annual);
    QFETCH(bool, issuedAtEnd);
    Play p(gammaNeutron);
    play(scenario, p);
    if (QTest::currentTestFailed() || p.checked)
        return;
    checkCounted(p, annual, issuedAtEnd);
}

void TestDoseIntegrity::checkCounted(Play &p, double annual, bool issuedAtEnd)
{
    p.checked = true;
    // Every scenario ends with the dosimeter reset (and perhaps issued again).
    QCOMPARE(p.state().gammaDose, 0.0);
    QCOMPARE(p.state().neutronDose, 0.0);
    QCOMPARE(p.state().userId, issuedAtEnd ? simtext::encodeUser(kWorker) : QByteArray());
    p.r.server.reset();

    QString failure;
    const QJsonArray rows = report(p.journal(), {QStringLiteral("events"), QStringLiteral("--limit"), QStringLiteral("0")},
                                   &failure);
    QVERIFY2(!rows.isEmpty(), qPrintable(failure));
    const QString year = rows.last().toObject().value(QStringLiteral("time_text")).toString().left(4);
    const QJsonArray workers = report(p.journal(), {QStringLiteral("workers"), QStringLiteral("--year"), year}, &failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    double dose = -1;
    for (const QJsonValue &w : workers) {
        if (w.toObject().value(QStringLiteral("uid")).toString() == kWorker)
            dose = w.toObject().value(QStringLiteral("dose")).toDouble();
    }
    QVERIFY2(qAbs(dose - annual) < 1e-9, qPrintable(QStringLiteral("annual dose %1, carried %2").arg(dose).arg(annual)));
    const QJsonArray pending = report(p.journal(), {QStringLiteral("unconfirmed")}, &failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY2(pending.isEmpty(), QJsonDocument(pending).toJson().constData());
}

QTEST_GUILESS_MAIN(TestDoseIntegrity)
#include "tst_dose_integrity.moc"
