// The journal of the real controller over the simulated rack: the rows of a
// whole issue-and-return cycle, the same cycle with the journal off giving
// the same replies, files and frames, a read-out row that survives kill -9
// right after its reply, a journal that cannot be written (read-only
// folder, full disk) never failing a command and losing no row, a second
// controller on the same journal refused, and a file that is not a database
// (found at start-up or during a write) moved aside with its replacement
// row kept.
#include "journaltest.h"
#include "journalstore.h"
#include "tst_issue_rig.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QtTest>

using rig::Rig;

namespace {

const QString kGamma = QStringLiteral("1300");
const QString kGammaNeutron = QStringLiteral("1300GN");
const QString kFree = QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}");
// A second at which the return scan does not run its registration check.
const QString kFrozenDate = QStringLiteral("2026-01-01 00:00:20");

// What a client and the rack see of one cycle.
struct Cycle {
    QStringList replies;
    QList<QByteArray> files;        // all state files after each step
    QList<QByteArray> frames;       // every frame the dosimeters received
};

QByteArray stateFiles(const Rig &r)
{
    QByteArray all;
    for (const char *name : {"hub.ini", "error.ini", "nomer_ppd.ini", "port.ini", "datatime.ini"})
        all += QByteArray(name) + ":\n" + r.bytes(QString::fromLatin1(name));
    return all;
}

// Issue to a worker, the worker takes the dosimeter, it comes back into
// cell 2 with readings, its history is read and the return confirmed.
Cycle playCycle(Rig &r, const QString &type, const QStringList &settings)
{
    Cycle c;
    const quint8 detector = type == kGamma ? SimGamma : SimGammaNeutron;
    const int dev = r.rack->insert(1, 402, -1, detector);
    r.registerCell(1, dev, 402);
    if (!r.start(type, rig::frozenClock(kFrozenDate, QStringLiteral("UTC")), 30, settings))
        return c;
    // The two runs differ only in their scratch folders.
    auto step = [&](const QString &request) {
        c.replies << r.request(request).replace(r.work(), QStringLiteral("<work>"));
        c.files << stateFiles(r).replace(r.work().toUtf8(), "<work>");
    };
    const QString neutron = type == kGamma ? QString()
                                           : QStringLiteral(",\"ndel\":\"1\",\"nde2\":\"2\",\"nderl\":\"3\",\"nder2\":\"4\"");
    step(QStringLiteral("{\"command\":\"%1\",\"uid\":\"ab12\",\"uname\":\"иванов\",\"order\":\"цех 5\",\"gdel\":\"1500\","
                        "\"gde2\":\"25\",\"gderl\":\"100\",\"gder2\":\"200\"%2,\"operator\":\"smena1\"}")
             .arg(type == kGamma ? QStringLiteral("IN_g") : QStringLiteral("IN_gn"), neutron));
    c.frames += r.rack->requests(dev);
    r.rack->remove(dev);
    step(QStringLiteral("{\"command\":\"cell_free\",\"nomer_ppd\":\"402\",\"cell\":\"1\"}"));
    SimDosimeter back = rig::returned(402, detector);
    back.history = SimRack::makeHistory(3);
    const int dev2 = r.rack->insert(2, back);
    step(QStringLiteral("{\"command\":\"OUT\"}"));
    step(QStringLiteral("{\"command\":\"OUT_Get_history\",\"nomer_ppd\":\"402\",\"cell\":\"2\",\"error\":\"\"}"));
    step(QStringLiteral("{\"command\":\"OUT_true\",\"nomer_ppd\":\"402\",\"cell\":\"2\",\"error\":\"\"}"));
    step(QStringLiteral("{\"command\":\"Kas_status\"}"));
    c.frames += r.rack->requests(dev2);
    r.server.reset();
    return c;
}

QString journalPath(const Rig &r)
{
    return r.work() + QStringLiteral("/journal.sqlite");
}

QString mismatch(const JournalRow &actual, const JournalRow &expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (actual.value(it.key()).toString() != it.value().toString())
            return QStringLiteral("%1: \"%2\" instead of \"%3\"")
                .arg(it.key(), actual.value(it.key()).toString(), it.value().toString());
    }
    return QString();
}

// The lines of the server's log that hold a text.
int logLinesWith(ServerProcess &server, const QString &text)
{
    server.process().waitForReadyRead(100);
    return QString::fromUtf8(server.log()).split(QLatin1Char('\n')).filter(text).size();
}

} // namespace

class TestJournalServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (rig::libfaketime().isEmpty())
            QSKIP("needs libfaketime to play both runs at the same second");
    }

    // The same cycle with the journal on and off: replies, state files and
    // frames byte for byte; the journal holds exactly the expected rows.
    void cycle_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("gamma") << kGamma;
        QTest::newRow("gamma and neutron") << kGammaNeutron;
    }
    void cycle()
    {
        QFETCH(QString, type);
        Rig on(2), off(2);
        const Cycle withJournal = playCycle(on, type, {});
        const Cycle without = playCycle(off, type, {QStringLiteral("journal=")});
        QCOMPARE(withJournal.replies.size(), 6);
        QVERIFY2(withJournal.replies.at(2).startsWith(QStringLiteral("{\"OUT\":\"") + type), qPrintable(withJournal.replies.at(2)));
        QCOMPARE(withJournal.replies, without.replies);
        QCOMPARE(withJournal.files, without.files);
        QCOMPARE(withJournal.frames, without.frames);
        QVERIFY(!withJournal.frames.isEmpty());
        QVERIFY(!QFile::exists(journalPath(off)));

        const QVector<JournalRow> rows = journalRows(journalPath(on));
        QCOMPARE(kinds(rows), (QStringList{QStringLiteral("startup"), QStringLiteral("issue"), QStringLiteral("freed"),
                                           QStringLiteral("readout"), QStringLiteral("history"), QStringLiteral("confirm")}));
        const bool gn = type == kGammaNeutron;
        const QString host = QSysInfo::machineHostName();
        const QVector<JournalRow> expected{
            {{"dosimeter_type", type}, {"cabinet_id", host}, {"time_text", "2026-01-01T00:00:20Z"}, {"ts", 1767225620}},
            {{"command", gn ? "IN_gn" : "IN_g"}, {"cell", 1}, {"number", "402"}, {"port", on.rack->portPath(0)},
             {"uid", "AB12"}, {"uname", "ИВАНОВ"}, {"work_order", "ЦЕХ 5"}, {"gdel", 1.5}, {"gder2", 0.2},
             {"ndel", gn ? "0.001" : ""}, {"threshold_unit", "dosimeter"}, {"erased", 1}, {"outcome", ""},
             {"operator", "smena1"}},
            {{"cell", 1}, {"number", "402"}, {"note", ""}},
            {{"cell", 2}, {"number", "402"}, {"uid", "AB12"}, {"work_order", "ЦЕХ 5"}, {"dosimeter_type", type},
             {"dose_gamma", 0.000123}, {"rate_gamma", 1.5}, {"rate_gamma_time", 1234},
             {"dose_neutron", gn ? "0.5" : ""}, {"rate_neutron", gn ? "0.25" : ""}, {"rate_neutron_time", gn ? "77" : ""},
             {"source", "scan"},
             {"reply", QString(withJournal.replies.at(2)).replace(QStringLiteral("<work>"), on.work())}},
            {{"cell", 2}, {"number", "402"}, {"history", QJsonDocument::fromJson(withJournal.replies.at(3).toUtf8())
                                                             .object().value(QStringLiteral("history_all")).toString()}},
            {{"cell", 2}, {"number", "402"}, {"outcome", ""}, {"erased", 1}, {"request", QStringLiteral(
                 "{\"command\":\"OUT_true\",\"nomer_ppd\":\"402\",\"cell\":\"2\",\"error\":\"\"}")}},
        };
        for (int i = 0; i < rows.size(); ++i) {
            const QString m = mismatch(rows.at(i), expected.at(i));
            QVERIFY2(m.isEmpty(), qPrintable(QStringLiteral("row %1 (%2): ").arg(i).arg(kinds(rows).at(i)) + m));
            QCOMPARE(rows.at(i).value(QStringLiteral("seq")).toLongLong(), qint64(1 + i));
        }
        QVERIFY(!rows.at(4).value(QStringLiteral("history")).toString().isEmpty());
    }

    // kill -9 right after the OUT reply arrived: the read-out is in the
    // journal when the controller is back.
    void readoutSurvivesKill()
    {
        Rig r(2);
        r.rack->insert(2, rig::returned(702, SimGamma));
        QVERIFY(r.start(kGamma));
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, r.server->port());
        QVERIFY(s.waitForConnected(5000));
        s.write("{\"command\":\"OUT\"}");
        QByteArray reply;
        QElapsedTimer t;
        t.start();
        while (!QJsonDocument::fromJson(reply).isObject() && t.elapsed() < 20000) {
            if (s.waitForReadyRead(100))
                reply += s.readAll();
        }
        r.server->process().kill();
        QVERIFY(r.server->process().waitForFinished(5000));
        QVERIFY2(reply.startsWith("{\"OUT\":\"1300\",\"c\":\"2\""), reply.constData());

        QVERIFY(r.start(kGamma));
        const QVector<JournalRow> rows = journalRows(journalPath(r));
        QCOMPARE(kinds(rows), (QStringList{QStringLiteral("startup"), QStringLiteral("readout"), QStringLiteral("startup")}));
        QCOMPARE(rows.at(1).value(QStringLiteral("number")).toString(), QStringLiteral("702"));
        QCOMPARE(rows.at(1).value(QStringLiteral("reply")).toByteArray(), reply);
        r.server.reset();
    }

    // A journal folder that is read-only, or a disk that is full, while
    // three returned dosimeters are read out: every reply is the usual one,
    // the failure is logged once, the rows wait in memory, and once the
    // journal can be written again the retry writes all three read-outs in
    // order, with no gap row.
    void unwritableJournal_data()
    {
        QTest::addColumn<bool>("fullDisk");
        QTest::newRow("read-only folder") << false;
        QTest::newRow("full disk") << true;
    }
    void unwritableJournal()
    {
        QFETCH(bool, fullDisk);
        QTemporaryDir mountDir;
        const QString folder = mountDir.filePath(QStringLiteral("fs"));
        Tmpfs fs(folder, "1m");
        if (!fs.mounted())
            QSKIP("needs root to mount a small tmpfs (read-only and full file systems)");
        const QString journal = folder + QStringLiteral("/journal.sqlite");
        const QStringList settings{QStringLiteral("journal=") + journal};
        Rig r(3);
        QVERIFY(r.start(kGamma, {}, 30, settings));
        QCOMPARE(r.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"A\"}")), kFree);
        QCOMPARE(r.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"\"}")), kFree);

        QStringList expected{QStringLiteral("startup"), QStringLiteral("cell_block"), QStringLiteral("cell_unblock")};
        if (fullDisk) {
            QVERIFY(fs.fill(folder + QStringLiteral("/filler")));
        } else {
            // A file system with a file open for writing cannot turn
            // read-only: the controller starts again on the read-only folder.
            r.server.reset();
            QVERIFY(fs.setReadOnly(true));
            QVERIFY(r.start(kGamma, {}, 30, settings));
            expected << QStringLiteral("startup");
        }
        for (int cell = 1; cell <= 3; ++cell) {
            SimDosimeter d = rig::returned(700 + cell, SimGamma);
            d.gammaDose = 0.25 * cell;
            QVERIFY(r.rack->insert(cell, d) >= 0);
            const QString out = r.request(QStringLiteral("{\"command\":\"OUT\"}"));
            QVERIFY2(out.startsWith(QStringLiteral("{\"OUT\":\"1300\",\"c\":\"%1\"").arg(cell)), qPrintable(out));
            expected << QStringLiteral("readout");
        }
        QCOMPARE(r.server->process().state(), QProcess::Running);
        QCOMPARE(logLinesWith(*r.server, QStringLiteral(" не записан")) + logLinesWith(*r.server, QStringLiteral(" недоступен")), 1);
        QCOMPARE(kinds(journalRows(journal)).size(), 3);

        if (fullDisk)
            QVERIFY(QFile::remove(folder + QStringLiteral("/filler")));
        else
            QVERIFY(fs.setReadOnly(false));
        // No command comes: the retry timer writes what waited.
        QElapsedTimer t;
        t.start();
        while (kinds(journalRows(journal)).size() < expected.size() && t.elapsed() < 20000)
            QTest::qWait(200);
        QCOMPARE(logLinesWith(*r.server, QStringLiteral("снова записывается")), 1);
        r.server.reset();

        const QVector<JournalRow> rows = journalRows(journal);
        QCOMPARE(kinds(rows), expected);
        for (int cell = 1; cell <= 3; ++cell) {
            const JournalRow &readout = rows.at(rows.size() - 4 + cell);
            QCOMPARE(readout.value(QStringLiteral("cell")).toInt(), cell);
            QCOMPARE(readout.value(QStringLiteral("number")).toString(), QString::number(700 + cell));
            QCOMPARE(readout.value(QStringLiteral("dose_gamma")).toDouble(), 0.25 * cell);
        }
        for (int i = 1; i < rows.size(); ++i)
            QVERIFY(rows.at(i).value(QStringLiteral("seq")).toLongLong() > rows.at(i - 1).value(QStringLiteral("seq")).toLongLong());
        // The annual dose counts all three.
        ScopedDb db(journal);
        QCOMPARE(JournalQuery(db.db()).workers(QDate::currentDate().year()).value(0, QStringLiteral("dose")).toDouble(), 1.5);
    }

    // A second controller on the journal of a running one refuses to start
    // and says why; the first one's rows are all there, none of the second.
    void secondControllerRefused()
    {
        Rig first(1), second(1);
        const QString journal = journalPath(first);
        QVERIFY(first.start(kGamma));
        QCOMPARE(first.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"A\"}")), kFree);
        QVERIFY(!second.start(kGamma, {}, 30, {QStringLiteral("journal=") + journal}));
        QVERIFY(second.server->process().state() == QProcess::NotRunning || second.server->process().waitForFinished(10000));
        QCOMPARE(second.server->process().exitStatus(), QProcess::NormalExit);
        QVERIFY(second.server->process().exitCode() != 0);
        const QString log = QString::fromUtf8(second.server->log());
        QVERIFY2(log.contains(QStringLiteral("журнал %1 ведет другой процесс").arg(journal)), qPrintable(log));
        QVERIFY2(log.contains(QStringLiteral("сервер не запущен")), qPrintable(log));
        QVERIFY(!QFile::exists(journalPath(second)));

        QCOMPARE(first.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"\"}")), kFree);
        first.server.reset();
        QCOMPARE(kinds(journalRows(journal)),
                 (QStringList{QStringLiteral("startup"), QStringLiteral("cell_block"), QStringLiteral("cell_unblock")}));
        // With the first one gone, the second one starts.
        QVERIFY(second.start(kGamma, {}, 30, {QStringLiteral("journal=") + journal}));
        second.server.reset();
        QCOMPARE(kinds(journalRows(journal)).size(), 4);
    }

    // A journal file that is not a database, found at start-up or by a
    // write, is moved aside under a time-stamped name and a new journal
    // starts; its first row names the old file, and no row is lost.
    void corruptJournalMovedAside_data()
    {
        QTest::addColumn<bool>("midWrite");
        QTest::newRow("at start-up") << false;
        QTest::newRow("during a write") << true;
    }
    void corruptJournalMovedAside()
    {
        QFETCH(bool, midWrite);
        Rig r(1);
        const QByteArray garbage = QByteArray("this is no database\n").repeated(400);
        if (!midWrite)
            writeBytes(journalPath(r), garbage);
        QVERIFY(r.start(kGamma));
        QStringList expected{QStringLiteral("journal_replaced"), QStringLiteral("startup"), QStringLiteral("cell_block")};
        if (midWrite) {
            // The controller holds the file open; everything of it turns to
            // garbage (its write-ahead log and shared index too, so that the
            // next write reads the file again).
            QVERIFY(QFile::exists(journalPath(r) + QStringLiteral("-shm")));
            for (const char *suffix : {"", "-wal", "-shm"}) {
                const QString file = journalPath(r) + QLatin1String(suffix);
                QFile f(file);
                QVERIFY(f.open(QIODevice::ReadWrite));
                const qint64 size = f.size();
                f.write(*suffix == '\0' ? garbage.left(int(qMax<qint64>(size, 1))) : QByteArray(int(size), '\0'));
                if (*suffix == '\0' && size > garbage.size())
                    f.write(QByteArray(int(size - garbage.size()), 'g'));
            }
            expected = QStringList{QStringLiteral("journal_replaced"), QStringLiteral("cell_block")};
        }
        QCOMPARE(r.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"A\"}")), kFree);
        r.server.reset();

        const QStringList moved = QDir(r.work()).entryList({QStringLiteral("journal.sqlite.corrupt-*")});
        QVERIFY2(moved.filter(QRegularExpression(QStringLiteral("^journal\\.sqlite\\.corrupt-\\d{8}T\\d{6}Z$"))).size() == 1,
                 qPrintable(moved.join(QLatin1Char(' '))));
        const QString old = moved.filter(QRegularExpression(QStringLiteral("Z$"))).first();
        if (!midWrite)
            QCOMPARE(readBytes(r.work() + QLatin1Char('/') + old), garbage);
        const QVector<JournalRow> rows = journalRows(journalPath(r));
        QCOMPARE(kinds(rows), expected);
        QCOMPARE(rows.first().value(QStringLiteral("note")).toString(), old);
        QCOMPARE(rows.first().value(QStringLiteral("seq")).toLongLong(), qint64(1));
    }
};

QTEST_GUILESS_MAIN(TestJournalServer)
#include "tst_journal_server.moc"
