// The copy to a real throw-away PostgreSQL cluster: ten thousand rows with
// the server stopped in the middle arrive exactly once; two journal files of
// one cabinet numbering their rows alike both arrive whole; a row the site
// holds with other content is kept aside and logged; a site database of an
// older version heals on connect and a failing recompute never stops the
// copy; the annual dose of a worker after two confirmed returns through the
// real controller is their sum, stays so when the sync replays everything,
// and the terminal's own login engine then refuses that worker. Also how
// journal.sql is split into statements.
#include "journaltest.h"
#include "testsupport.h"
#include "journalstore.h"
#include "journalsync.h"
#include "login.h"
#include "siteschema.h"
#include "tst_issue_rig.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QtTest>

namespace {

// A digest of every row's identity and content (of the rows that meet the
// condition), in sequence order.
QByteArray digest(QSqlDatabase &db, const QString &where = QStringLiteral("1 = 1"))
{
    QSqlQuery q(db);
    q.exec(QStringLiteral("SELECT cabinet_id, journal_id, seq, kind, uid, number, cell, dose_gamma, request FROM dose_event "
                          "WHERE %1 ORDER BY seq").arg(where));
    QCryptographicHash h(QCryptographicHash::Sha256);
    while (q.next()) {
        for (int i = 0; i < 9; ++i)
            h.addData(q.isNull(i) ? QByteArray("\x1f\x1f") : q.value(i).toString().toUtf8() + '\x1f');
        h.addData("\x1e", 1);
    }
    return h.result().toHex();
}

// Rows of a small cycle, the k-th of a file: an issue, a read-out and an
// erasing confirmation, with a request text that tells the rows apart.
QVector<JournalRow> cycleRows(int k, const QString &uid, double dose)
{
    auto row = [&](const QString &kind, const QString &command) {
        return JournalRow{{QStringLiteral("kind"), kind}, {QStringLiteral("command"), command},
                          {QStringLiteral("cell"), 1 + k % 4}, {QStringLiteral("number"), QString::number(700 + k % 4)},
                          {QStringLiteral("uid"), uid}, {QStringLiteral("outcome"), QString()},
                          {QStringLiteral("request"), QStringLiteral("{\"k\":%1,\"c\":\"%2\"}").arg(k).arg(command)}};
    };
    JournalRow issue = row(QStringLiteral("issue"), QStringLiteral("IN_g"));
    issue.insert(QStringLiteral("erased"), 1);
    JournalRow readout = row(QStringLiteral("readout"), QStringLiteral("OUT"));
    readout.insert(QStringLiteral("dose_gamma"), dose);
    JournalRow confirm = row(QStringLiteral("confirm"), QStringLiteral("OUT_true"));
    confirm.insert(QStringLiteral("erased"), 1);
    return {issue, readout, confirm};
}

// Ships a journal file with a sync of its own until the site acknowledged its last row.
bool shipAll(const QString &path, const PgSettings &pg, const QString &annualDoseKey = QString())
{
    qint64 last = 0;
    {
        ScopedDb lite(path);
        last = lite.scalar(QStringLiteral("SELECT max(seq) FROM dose_event")).toLongLong();
    }
    JournalSync::Options o;
    o.journalPath = path;
    o.pg = pg;
    o.annualDoseKey = annualDoseKey;
    o.idleMs = 200;
    JournalSync sync(o);
    sync.wake();
    return waitFor([&]() { return JournalSync::acknowledged(path) == last; }, 60000);
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
        QCOMPARE(digest(site.db(), QStringLiteral("cabinet_id = 'cab-big'")), digest(lite.db()));
        // The next test reads the site's table as one cabinet's.
        QCOMPARE(site.exec(QStringLiteral("DELETE FROM dose_event WHERE cabinet_id = 'cab-big'")), QString());
    }

    // Two journal files of one cabinet both number their rows from 1 (a
    // journal started afresh, a board whose clock was reset): the site keeps
    // every row of both, told apart by the files' identities.
    void twoFilesOfOneCabinet()
    {
        const QStringList paths{m_dir.filePath(QStringLiteral("two-a.sqlite")), m_dir.filePath(QStringLiteral("two-b.sqlite"))};
        QStringList ids;
        for (int f = 0; f < 2; ++f) {
            JournalStore store(paths.at(f), QStringLiteral("cab-two"));
            for (int k = 0; k < 20; ++k)
                QVERIFY(store.append(cycleRows(k, QStringLiteral("T%1").arg(f), 0.5 + f)));
            ids << store.journalId();
        }
        QVERIFY(ids.at(0) != ids.at(1));
        for (const QString &path : paths)
            QVERIFY(shipAll(path, pg()));
        ScopedDb site(pg());
        QCOMPARE(site.scalar(QStringLiteral("SELECT COUNT(*) FROM dose_event WHERE cabinet_id = 'cab-two'")).toLongLong(),
                 qint64(120));
        for (int f = 0; f < 2; ++f) {
            ScopedDb lite(paths.at(f));
            QCOMPARE(digest(site.db(), QStringLiteral("cabinet_id = 'cab-two' AND journal_id = '%1'").arg(ids.at(f))),
                     digest(lite.db()));
        }
        QCOMPARE(site.scalar(QStringLiteral("SELECT dose FROM dose_year_by_worker WHERE uid = 'T1'")).toDouble(), 30.0);
        QCOMPARE(count(site, QStringLiteral("dose_event_conflict")), qint64(0));
        QCOMPARE(site.exec(QStringLiteral("DELETE FROM dose_event WHERE cabinet_id = 'cab-two'")), QString());
    }

    // A file restored from a copy goes on under the same identity: the rows
    // the site holds alike are ignored, the one it holds with other content
    // is kept beside it in dose_event_conflict and logged loudly, once.
    void conflictKeptAside()
    {
        const QString a = m_dir.filePath(QStringLiteral("conflict-a.sqlite")), b = m_dir.filePath(QStringLiteral("conflict-b.sqlite"));
        {
            JournalStore store(a, QStringLiteral("cab-conflict"));
            QVERIFY(store.append(cycleRows(0, QStringLiteral("C1"), 1.0 / 3)));   // every digit must come back
        }
        for (const char *suffix : {"", "-wal"})
            QVERIFY(QFile::copy(a + QLatin1String(suffix), b + QLatin1String(suffix)));
        QString id;
        for (const QString &path : {a, b}) {
            JournalStore store(path, QStringLiteral("cab-conflict"));
            QVERIFY(store.append(cycleRows(1, path == a ? QStringLiteral("C1") : QStringLiteral("C2"), 2.0)));
            id = store.journalId();
        }
        LogCapture log;
        QVERIFY(shipAll(a, pg()));
        QVERIFY(shipAll(b, pg()));
        ScopedDb site(pg());
        QCOMPARE(site.scalar(QStringLiteral("SELECT COUNT(*) FROM dose_event WHERE cabinet_id = 'cab-conflict'")).toLongLong(),
                 qint64(6));
        QCOMPARE(site.scalar(QStringLiteral("SELECT string_agg(uid || ':' || seq, ' ' ORDER BY seq) FROM dose_event_conflict "
                                            "WHERE cabinet_id = 'cab-conflict' AND arrived IS NOT NULL")).toString(),
                 QStringLiteral("C2:4 C2:5 C2:6"));
        QCOMPARE(log.lines().filter(QStringLiteral("КОНФЛИКТ строка cab-conflict/%1/").arg(id)).size(), 3);
        // Shipped again: nothing more is kept or logged.
        {
            ScopedDb lite(b);
            QCOMPARE(lite.exec(QStringLiteral("UPDATE sync_progress SET seq = 0")), QString());
        }
        QVERIFY(shipAll(b, pg()));
        QCOMPARE(count(site, QStringLiteral("dose_event_conflict")), qint64(3));
        QCOMPARE(log.lines().filter(QStringLiteral("КОНФЛИКТ")).size(), 3);
        QCOMPARE(site.exec(QStringLiteral("DELETE FROM dose_event WHERE cabinet_id = 'cab-conflict'; "
                                          "DELETE FROM dose_event_conflict")),
                 QString());
    }

    // A site database that has dose_event of the first version (holding a
    // row) but not the function: the first connect heals it, the rows are
    // copied and the annual dose recomputed. With no users table the
    // recompute fails in its savepoint, is logged with the database's own
    // message, and the copy goes on.
    void siteHeals_data()
    {
        QTest::addColumn<bool>("users");
        QTest::newRow("table without the function") << true;
        QTest::newRow("recompute fails") << false;
    }
    void siteHeals()
    {
        QFETCH(bool, users);
        const QString name = users ? QStringLiteral("heal_users") : QStringLiteral("heal_bare");
        QCOMPARE(m_cluster.exec(QStringLiteral("CREATE DATABASE ") + name), QString());
        PgSettings s = pg();
        s.dbname = name;
        {
            ScopedDb site(s);
            QStringList defs;
            for (const journal::Column &c : journal::columns()) {
                if (c.since == 1)
                    defs << c.name + (c.type == journal::ColumnType::Integer ? QStringLiteral(" bigint")
                                      : c.type == journal::ColumnType::Real ? QStringLiteral(" double precision")
                                                                            : QStringLiteral(" text"));
            }
            QCOMPARE(site.exec(QStringLiteral("CREATE TABLE dose_event (%1, PRIMARY KEY (cabinet_id, seq))").arg(defs.join(", "))),
                     QString());
            QCOMPARE(site.exec(QStringLiteral("INSERT INTO dose_event (cabinet_id, seq, ts, time_text, kind, number, uid, dose_gamma) "
                                              "VALUES ('cab-heal', 1, 0, '%1-01-01T00:00:00Z', 'readout', '9', 'H1', 0.25)")
                                   .arg(QDate::currentDate().year())),
                     QString());
            if (users)
                QCOMPARE(site.exec(QStringLiteral("CREATE TABLE users (user_id integer, dose_year numeric, "
                                                  "dose_year_now_ppd numeric, code text); "
                                                  "INSERT INTO users VALUES (1, 20, 0, 'H1')")),
                         QString());
        }
        const QString path = m_dir.filePath(name + QStringLiteral(".sqlite"));
        {
            JournalStore store(path, QStringLiteral("cab-heal"));
            QVERIFY(store.append(cycleRows(0, QStringLiteral("H1"), 1.5)));
        }
        LogCapture log;
        QVERIFY(shipAll(path, s, QStringLiteral("code")));
        ScopedDb site(s);
        QCOMPARE(site.scalar(QStringLiteral("SELECT COUNT(*) FROM dose_event")).toLongLong(), qint64(4));
        QCOMPARE(site.scalar(QStringLiteral("SELECT journal_id FROM dose_event WHERE seq = 1 AND kind = 'readout'")).toString(),
                 QString());
        QCOMPARE(site.scalar(QStringLiteral("SELECT pg_get_constraintdef(oid) FROM pg_constraint "
                                            "WHERE conrelid = 'dose_event'::regclass AND contype = 'p'")).toString(),
                 QStringLiteral("PRIMARY KEY (cabinet_id, journal_id, seq)"));
        const QStringList failed = log.lines().filter(QStringLiteral("годовая доза не пересчитана"));
        if (users) {
            QCOMPARE(failed, QStringList());
            QCOMPARE(site.scalar(QStringLiteral("SELECT dose_year_now_ppd FROM users")).toDouble(), 1.75);
            // By hand, for one worker named in lower case.
            QCOMPARE(site.exec(QStringLiteral("UPDATE users SET dose_year_now_ppd = 0")), QString());
            QCOMPARE(site.scalar(QStringLiteral("SELECT dose_journal_recompute('code', 'h1')")).toDouble(), 1.75);
            QCOMPARE(site.scalar(QStringLiteral("SELECT dose_year_now_ppd FROM users")).toDouble(), 1.75);
        } else {
            QCOMPARE(failed.size(), 1);
            QVERIFY2(failed.first().contains(QStringLiteral("relation \"users\" does not exist")), qPrintable(failed.first()));
        }
    }

    // journal.sql split into statements: semicolons inside quotes, dollar
    // bodies and comments do not end one.
    void splitStatements_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("statements");
        QTest::newRow("two statements") << "SELECT 1; SELECT 2;" << QStringList{"SELECT 1", "SELECT 2"};
        QTest::newRow("no final semicolon") << "SELECT 1;\nSELECT 2\n" << QStringList{"SELECT 1", "SELECT 2"};
        QTest::newRow("quoted") << "SELECT ';', \"a;b\", 'it''s;';" << QStringList{"SELECT ';', \"a;b\", 'it''s;'"};
        QTest::newRow("dollar body")
            << "CREATE FUNCTION f() RETURNS int LANGUAGE plpgsql AS $$ BEGIN RETURN 1; END $$; SELECT 2;"
            << QStringList{"CREATE FUNCTION f() RETURNS int LANGUAGE plpgsql AS $$ BEGIN RETURN 1; END $$", "SELECT 2"};
        QTest::newRow("tagged body holding $$")
            << "DO $body$ BEGIN PERFORM '$$;'; END $body$;" << QStringList{"DO $body$ BEGIN PERFORM '$$;'; END $body$"};
        QTest::newRow("parameter is no quote") << "PREPARE p AS SELECT $1; SELECT 2;" << QStringList{"PREPARE p AS SELECT $1", "SELECT 2"};
        QTest::newRow("comments") << "-- a; b\nSELECT 1 /* c; d */ + 1; -- e;\n/* f; */"
                                  << QStringList{"SELECT 1   + 1"};
        QTest::newRow("empty statements") << ";;\n ; " << QStringList{};
    }
    void splitStatements()
    {
        QFETCH(QString, script);
        QFETCH(QStringList, statements);
        QCOMPARE(siteschema::splitStatements(script), statements);
    }

    // Every statement of the built-in journal.sql runs again on a database
    // that has them all.
    void schemaAppliesTwice()
    {
        const QString script = siteschema::builtInScript();
        QVERIFY(siteschema::splitStatements(script).size() > 10);
        ScopedDb site(pg());
        for (int i = 0; i < 2; ++i) {
            QString error;
            QVERIFY2(siteschema::apply(site.db(), script, &error), qPrintable(error));
        }
        QString error;
        QVERIFY(!siteschema::apply(site.db(), script + QStringLiteral("\nSELECT no_such_column FROM dose_event;"), &error));
        QCOMPARE(error.left(41), QStringLiteral("SELECT no_such_column FROM dose_event: ER"));
        QVERIFY2(error.contains(QStringLiteral("column \"no_such_column\" does not exist")), qPrintable(error));
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
