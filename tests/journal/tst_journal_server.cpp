// The journal of the real controller over the simulated rack: the rows of a
// whole issue-and-return cycle, the same cycle with the journal off giving
// the same replies, files and frames, a read-out row that survives kill -9
// right after its reply, and a journal that cannot be written (read-only
// folder, full disk, a file that is not a database) never failing a command.
#include "journaltest.h"
#include "journalstore.h"
#include "tst_issue_rig.h"

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
            QCOMPARE(rows.at(i).value(QStringLiteral("seq")).toLongLong(),
                     JournalStore::firstSeqOfNewFile(1767225620) + i);
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

    // A journal folder that is read-only, or a disk that is full: every
    // reply is the usual one, the failure is logged once, and the first row
    // written afterwards follows a gap row counting the lost events.
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
        Rig r(2);
        QVERIFY(r.start(kGamma, {}, 30, settings));
        QCOMPARE(r.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"A\"}")), kFree);

        int lost = 3;
        if (fullDisk) {
            QVERIFY(fs.fill(folder + QStringLiteral("/filler")));
        } else {
            // A file system with a file open for writing cannot turn
            // read-only: the controller starts again on the read-only folder.
            r.server.reset();
            QVERIFY(fs.setReadOnly(true));
            QVERIFY(r.start(kGamma, {}, 30, settings));
            ++lost;   // its start-up
        }
        const QString port = r.rack->portBase() + QStringLiteral("9");
        const QStringList requests{
            QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"2\",\"block\":\"B\"}"),
            QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"2\",\"block\":\"\"}"),
            QStringLiteral("{\"command\":\"Init_hub_ini\",\"port\":\"%1\",\"cell\":\"2\"}").arg(port),
        };
        const QStringList replies{kFree, kFree,
                                  QStringLiteral("{\"port\": \"%1\", \"cell\": \"2\", \"error\":\"Не найден дозиметр по "
                                                 "номеру порта: %1 ячейка 2\"}").arg(port)};
        for (int i = 0; i < requests.size(); ++i)
            QCOMPARE(r.request(requests.at(i)), replies.at(i));
        QCOMPARE(r.server->process().state(), QProcess::Running);
        QCOMPARE(logLinesWith(*r.server, QStringLiteral(" не записан")) + logLinesWith(*r.server, QStringLiteral(" недоступен")), 1);

        if (fullDisk)
            QVERIFY(QFile::remove(folder + QStringLiteral("/filler")));
        else
            QVERIFY(fs.setReadOnly(false));
        QCOMPARE(r.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"\"}")), kFree);
        QCOMPARE(logLinesWith(*r.server, QStringLiteral("снова записывается")), 1);
        r.server.reset();

        const QVector<JournalRow> rows = journalRows(journal);
        QCOMPARE(kinds(rows), (QStringList{QStringLiteral("startup"), QStringLiteral("cell_block"), QStringLiteral("gap"),
                                           QStringLiteral("cell_unblock")}));
        const JournalRow &gap = rows.at(2);
        QCOMPARE(gap.value(QStringLiteral("lost_count")).toInt(), lost);
        QVERIFY(gap.value(QStringLiteral("lost_first")).toLongLong() >= rows.at(1).value(QStringLiteral("ts")).toLongLong());
        QVERIFY(gap.value(QStringLiteral("lost_last")).toLongLong() >= gap.value(QStringLiteral("lost_first")).toLongLong());
        QVERIFY(gap.value(QStringLiteral("lost_last")).toLongLong() <= rows.at(3).value(QStringLiteral("ts")).toLongLong());
        QVERIFY(rows.at(3).value(QStringLiteral("seq")).toLongLong() > rows.at(1).value(QStringLiteral("seq")).toLongLong());
    }

    // A journal file that is not a database is moved aside under a
    // time-stamped name and a new journal starts, its numbers above any the
    // old file could have given.
    void corruptJournalMovedAside()
    {
        Rig r(1);
        const QByteArray garbage = QByteArray("this is no database\n").repeated(400);
        writeBytes(journalPath(r), garbage);
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QVERIFY(r.start(kGamma));
        QCOMPARE(r.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"A\"}")), kFree);
        r.server.reset();

        const QStringList moved = QDir(r.work()).entryList({QStringLiteral("journal.sqlite.corrupt-*")});
        QCOMPARE(moved.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^journal\\.sqlite\\.corrupt-\\d{8}T\\d{6}Z$")).match(moved.first()).hasMatch(),
                 qPrintable(moved.first()));
        QCOMPARE(readBytes(r.work() + QLatin1Char('/') + moved.first()), garbage);
        const QVector<JournalRow> rows = journalRows(journalPath(r));
        QCOMPARE(kinds(rows), (QStringList{QStringLiteral("journal_replaced"), QStringLiteral("startup"),
                                           QStringLiteral("cell_block")}));
        QCOMPARE(rows.first().value(QStringLiteral("note")).toString(), moved.first());
        QVERIFY(rows.first().value(QStringLiteral("seq")).toLongLong() >= JournalStore::firstSeqOfNewFile(before));
    }
};

QTEST_GUILESS_MAIN(TestJournalServer)
#include "tst_journal_server.moc"
