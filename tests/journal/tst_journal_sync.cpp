// The copy to a real throw-away PostgreSQL cluster: ten thousand rows with
// the server stopped in the middle arrive exactly once; the annual dose of a
// worker after two confirmed returns through the real controller is their
// sum, stays so when the sync replays everything, and the terminal's own
// login engine then refuses that worker.
#include "journaltest.h"
#include "journalstore.h"
#include "journalsync.h"
#include "login.h"
#include "tst_issue_rig.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QtTest>

namespace {

// Waits until the condition holds; false after limitMs.
template <typename F>
bool waitFor(F condition, int limitMs)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > limitMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

// A digest of every row's identity and content, in sequence order.
QByteArray digest(QSqlDatabase &db)
{
    QSqlQuery q(db);
    q.exec(QStringLiteral("SELECT cabinet_id, seq, kind, uid, number, cell, dose_gamma, request FROM dose_event ORDER BY seq"));
    QCryptographicHash h(QCryptographicHash::Sha256);
    while (q.next()) {
        for (int i = 0; i < 8; ++i)
            h.addData(q.value(i).toString().toUtf8() + '\x1f');
        h.addData("\x1e", 1);
    }
    return h.result().toHex();
}

qint64 count(ScopedDb &db, const QString &table = QStringLiteral("dose_event"))
{
    const QVariant v = db.scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table);
    return v.isValid() ? v.toLongLong() : -1;
}

} // namespace

class TestJournalSync : public QObject
{
    Q_OBJECT

    TestCluster m_cluster;
    QTemporaryDir m_dir;

    PgSettings pg() const { return clusterSettings(m_cluster); }

private slots:
    void initTestCase()
    {
        const QString error = m_cluster.start();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(m_cluster.execFile(sourcePath(QStringLiteral("db/journal.sql"))), QString());
    }

    void tenThousandRowsAcrossAnOutage()
    {
        const QString path = m_dir.filePath(QStringLiteral("big.sqlite"));
        const int total = 10000;
        {
            JournalStore store(path, QStringLiteral("cab-big"));
            for (int i = 0; i < total; i += 100) {
                QVector<JournalRow> rows;
                for (int k = i; k < i + 100; ++k)
                    rows << JournalRow{{QStringLiteral("kind"), QStringLiteral("issue")},
                                       {QStringLiteral("command"), QStringLiteral("IN_g")},
                                       {QStringLiteral("uid"), QStringLiteral("W%1").arg(k % 37)},
                                       {QStringLiteral("number"), QString::number(1000 + k % 61)},
                                       {QStringLiteral("cell"), 1 + k % 30},
                                       {QStringLiteral("dose_gamma"), k * 0.001},
                                       {QStringLiteral("request"), QStringLiteral("{\"n\":%1}").arg(k)}};
                QVERIFY(store.append(rows));
            }
        }
        ScopedDb lite(path);
        QCOMPARE(count(lite), qint64(total));
        const qint64 last = lite.scalar(QStringLiteral("SELECT max(seq) FROM dose_event")).toLongLong();

        JournalSync::Options o;
        o.journalPath = path;
        o.pg = pg();
        o.batchRows = 100;
        o.idleMs = 200;
        auto sync = std::make_unique<JournalSync>(o);
        sync->wake();
        // Stop the server once part of the rows arrived.
        QVERIFY(waitFor([&]() { return JournalSync::acknowledged(path) >= last - total + 1500; }, 120000));
        QVERIFY(m_cluster.halt());
        QTest::qWait(500);   // a batch committed just before the stop is noted
        const qint64 atHalt = JournalSync::acknowledged(path);
        QVERIFY2(atHalt < last, "the sync ended before the server stopped");
        // Nothing is acknowledged while the server is away.
        QTest::qWait(3000);
        QCOMPARE(JournalSync::acknowledged(path), atHalt);
        QVERIFY(m_cluster.resume());
        QVERIFY(waitFor([&]() { return JournalSync::acknowledged(path) == last; }, 180000));
        sync.reset();

        ScopedDb site(pg());
        QVERIFY(site.isOpen());
        QCOMPARE(site.scalar(QStringLiteral("SELECT COUNT(*) FROM dose_event WHERE cabinet_id = 'cab-big'")).toLongLong(),
                 qint64(total));
        QCOMPARE(site.scalar(QStringLiteral("SELECT COUNT(DISTINCT seq) FROM dose_event WHERE cabinet_id = 'cab-big'"))
                     .toLongLong(),
                 qint64(total));
        QCOMPARE(digest(site.db()), digest(lite.db()));
        // The next test reads the site's table as one cabinet's.
        QCOMPARE(site.exec(QStringLiteral("DELETE FROM dose_event WHERE cabinet_id = 'cab-big'")), QString());
    }

    // Two confirmed returns of worker 7 on a gamma-and-neutron rack through
    // the real controller; the site's users table follows, and the terminal
    // refuses the worker once the sum passes the permitted dose.
    void annualDoseAndLogin()
    {
        QCOMPARE(m_cluster.exec(QStringLiteral(
                     "INSERT INTO set VALUES (1, 'Комплект А', NULL);"
                     "INSERT INTO kas VALUES (1, 1, 'K1', NULL, 5, 6);"
                     "INSERT INTO users (user_id, name_0, name_1, name_2, dose_year, dose_year_now_ppd, block, "
                     "  set_ID, kas_ID, mesh_ID, tab_num) VALUES (7, 'Иванов', 'Иван', 'Иванович', 20, 0, NULL, 1, 1, 3, 507);"
                     "INSERT INTO mesh VALUES (3, 1, 1, 7, 1, '');")),
                 QString());
        const QString passwordFile = m_dir.filePath(QStringLiteral("pgpass"));
        writeBytes(passwordFile, m_cluster.password().toUtf8() + '\n');
        rig::Rig r(2);
        const QStringList settings{QStringLiteral("annual_dose_key=user_id"), QStringLiteral("[Journal]"),
                                   QStringLiteral("pg=on"), QStringLiteral("host=127.0.0.1"),
                                   QStringLiteral("port=%1").arg(m_cluster.port()),
                                   QStringLiteral("dbname=") + m_cluster.database(), QStringLiteral("user=postgres"),
                                   QStringLiteral("password_file=") + passwordFile};
        QVERIFY(r.start(QStringLiteral("1300GN"), {}, 30, settings));
        const QString journal = r.work() + QStringLiteral("/journal.sqlite");
        ScopedDb site(pg());
        auto annualDose = [&]() {
            return site.scalar(QStringLiteral("SELECT dose_year_now_ppd FROM users WHERE user_id = 7")).toDouble();
        };

        // Returns of 12.0 + 0.5 and 8.5 + 0.5, each read out and confirmed.
        const QVector<double> gamma{12.0, 8.5};
        const QVector<double> expected{12.5, 21.5};
        m_cluster.useCluster();
        for (int i = 0; i < 2; ++i) {
            SimDosimeter d = rig::returned(702 + i, SimGammaNeutron);
            d.userId = simtext::encodeUser(QStringLiteral("7"));
            d.gammaDose = gamma.at(i);
            QVERIFY(r.rack->insert(i + 1, d) >= 0);
            const QString out = r.request(QStringLiteral("{\"command\":\"OUT\"}"));
            QVERIFY2(out.startsWith(QStringLiteral("{\"OUT\":\"1300GN\",\"c\":\"%1\"").arg(i + 1)), qPrintable(out));
            QCOMPARE(r.request(QStringLiteral("{\"command\":\"OUT_true\",\"nomer_ppd\":\"%1\",\"cell\":\"%2\",\"error\":\"\"}")
                                   .arg(702 + i).arg(i + 1)),
                     QStringLiteral("{\"error\":\"\"}"));
            QVERIFY2(waitFor([&]() { return qAbs(annualDose() - expected.at(i)) < 1e-9; }, 60000),
                     qPrintable(QString::number(annualDose())));
            const LoginEngine::Result login = LoginEngine::login(0, QStringLiteral("507"));
            if (i == 0) {
                QCOMPARE(int(login.outcome), int(LoginEngine::Outcome::Granted));
            } else {
                QCOMPARE(int(login.outcome), int(LoginEngine::Outcome::Refused));
                QCOMPARE(login.text, QStringLiteral("Текущая разрешенная доза 20.000 превышена 21.500 Иванов\nИван\nИванович"));
            }
        }

        // A replay of every row changes neither the rows nor the dose.
        const qint64 rows = count(site);
        {
            ScopedDb lite(journal);
            QCOMPARE(lite.exec(QStringLiteral("UPDATE sync_progress SET seq = 0")), QString());
        }
        r.request(QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"2\",\"block\":\"X\"}"));
        ScopedDb lite(journal);
        const qint64 last = lite.scalar(QStringLiteral("SELECT max(seq) FROM dose_event")).toLongLong();
        QVERIFY(waitFor([&]() { return JournalSync::acknowledged(journal) == last; }, 60000));
        QCOMPARE(count(site), rows + 1);
        QCOMPARE(annualDose(), 21.5);

        // The report over the site's database says the same.
        QProcess report;
        report.start(QStringLiteral(DOSE_REPORT_BIN),
                     {QStringLiteral("--pg"), QStringLiteral("--settings"), r.work() + QStringLiteral("/settings.ini"),
                      QStringLiteral("--csv"), QStringLiteral("workers")});
        QVERIFY(report.waitForFinished(30000));
        QCOMPARE(report.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(report.readAllStandardOutput()),
                 QStringLiteral("uid,name,issues,returns,dose,max_rate_gamma,max_rate_neutron,dose_limit,share\r\n"
                                "7,,0,2,21.5,1.5,0.25,20,1.075\r\n"));
        r.server.reset();
    }

    void cleanupTestCase() { m_cluster.stop(); }
};

QTEST_MAIN(TestJournalSync)
#include "tst_journal_sync.moc"
