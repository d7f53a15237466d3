// The query code over the cabinet's SQLite file and the site's PostgreSQL:
// the counting rule (the same table of cases for JournalQuery on both
// databases and for the site's views), workers of a year, paging and
// filters, and dose_report's arguments, outputs and exit codes.
#include "journaltest.h"
#include "journalstore.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <pwd.h>
#include <unistd.h>

using Rows = QVector<JournalRow>;
using Doses = QMap<QString, double>;
Q_DECLARE_METATYPE(Rows)
Q_DECLARE_METATYPE(Doses)

namespace {

// A row with the columns the matching rule reads; seq follows the order given.
JournalRow ev(const QString &kind, int cell, const QString &number, const QString &uid = QString(), double gamma = 0,
              double neutron = 0, const QString &time = QStringLiteral("2026-03-01T10:00:00+03:00"),
              const QString &cabinet = QStringLiteral("A"))
{
    JournalRow r{{QStringLiteral("kind"), kind}, {QStringLiteral("cell"), cell}, {QStringLiteral("number"), number},
                 {QStringLiteral("uid"), uid}, {QStringLiteral("time_text"), time},
                 {QStringLiteral("cabinet_id"), cabinet}, {QStringLiteral("outcome"), QString()}};
    r.insert(QStringLiteral("ts"), QDateTime::fromString(time, Qt::ISODate).toSecsSinceEpoch());
    if (kind == QLatin1String("readout")) {
        r.insert(QStringLiteral("dose_gamma"), gamma);
        if (neutron > 0)
            r.insert(QStringLiteral("dose_neutron"), neutron);
        r.insert(QStringLiteral("rate_gamma"), gamma / 10);
    }
    return r;
}

// The row with more columns set (erased, journal_id, source ...); a new
// time_text sets ts too.
JournalRow with(JournalRow r, const QVariantMap &more)
{
    for (auto it = more.cbegin(); it != more.cend(); ++it)
        r.insert(it.key(), it.value());
    r.insert(QStringLiteral("ts"), QDateTime::fromString(r.value(QStringLiteral("time_text")).toString(), Qt::ISODate)
                                       .toSecsSinceEpoch());
    return r;
}

// Inserts rows with the given times (the store would stamp them with now).
QString insertRows(QSqlDatabase &db, const Rows &rows)
{
    QSqlQuery q(db);
    if (!q.prepare(journal::insertStatement(false)))
        return q.lastError().text();
    qint64 seq = 0;
    for (const JournalRow &row : rows) {
        for (const QString &n : journal::columnNames())
            q.bindValue(QLatin1Char(':') + n, row.value(n));
        q.bindValue(QStringLiteral(":seq"), ++seq);
        if (!q.exec())
            return q.lastError().text();
    }
    return QString();
}

Doses dosesOf(const JournalTable &workers)
{
    Doses d;
    for (int i = 0; i < workers.rows.size(); ++i) {
        if (workers.value(i, QStringLiteral("returns")).toInt() > 0)
            d.insert(workers.value(i, QStringLiteral("uid")).toString(), workers.value(i, QStringLiteral("dose")).toDouble());
    }
    return d;
}

struct Run {
    int exitCode = -1;
    QString out, err;
};

Run report(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(DOSE_REPORT_BIN), args);
    Run r;
    if (!p.waitForFinished(30000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace

class TestJournalQuery : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    TestCluster m_cluster;
    bool m_pg = false;
    int m_files = 0;

    // A fresh SQLite journal holding the rows.
    QString sqliteWith(const Rows &rows)
    {
        const QString path = m_dir.filePath(QStringLiteral("j%1.sqlite").arg(++m_files));
        { JournalStore store(path, QStringLiteral("A")); }
        ScopedDb db(path);
        const QString error = insertRows(db.db(), rows);
        return error.isEmpty() ? path : QString();
    }

    PgSettings pg() const { return clusterSettings(m_cluster); }

private slots:
    void initTestCase()
    {
        m_pg = m_cluster.start().isEmpty()
            && m_cluster.execFile(sourcePath(QStringLiteral("db/journal.sql"))).isEmpty();
    }

    // The counting rule as a table: rows in journal order -> the counted dose
    // of each worker in 2026 and the read-outs still pending. The same table
    // runs over SQLite and PostgreSQL through JournalQuery, and over the
    // site's views dose_year_by_worker and dose_counted, so that the two
    // implementations of the rule cannot drift apart.
    void countingRule_data()
    {
        QTest::addColumn<Rows>("rows");
        QTest::addColumn<Doses>("doses");       // per worker, year 2026
        QTest::addColumn<int>("pending");
        const QString r = QStringLiteral("readout"), c = QStringLiteral("confirm"), nc = QStringLiteral("not_confirmed"),
                      i = QStringLiteral("issue"), h = QStringLiteral("history"), b = QStringLiteral("cell_block"),
                      u = QStringLiteral("cell_unblock");
        const QString n1 = QStringLiteral("701"), n2 = QStringLiteral("702");
        const QVariantMap erased{{"erased", 1}}, kept{{"erased", 0}};
        auto at = [](const char *time) { return QVariantMap{{"time_text", QString::fromLatin1(time)}}; };
        // Rows of this version name their file and say whether they erased.
        auto v2 = [](JournalRow row, QVariantMap more = {}) {
            more.insert(QStringLiteral("journal_id"), QStringLiteral("f1"));
            if (row.value(QStringLiteral("kind")) != QLatin1String("readout") && !more.contains(QStringLiteral("erased")))
                more.insert(QStringLiteral("erased"), 0);
            return with(row, more);
        };

        QTest::newRow("read-out alone: pending, counted") << Rows{v2(ev(r, 1, n1, "W1", 2.5, 0.5))} << Doses{{"W1", 3.0}} << 1;
        QTest::newRow("confirmation that erased")
            << Rows{v2(ev(i, 1, n1, "W1"), erased), v2(ev(r, 1, n1, "W1", 2.5, 0.5)), v2(ev(h, 1, n1)), v2(ev(c, 1, n1), erased)}
            << Doses{{"W1", 3.0}} << 0;
        QTest::newRow("re-inserted before confirmation: counted once")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(r, 4, n1, "W1", 2.25)), v2(ev(c, 4, n1), erased)}
            << Doses{{"W1", 2.25}} << 0;
        QTest::newRow("re-inserted, not confirmed yet")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(r, 4, n1, "W1", 2.25))} << Doses{{"W1", 2.25}} << 1;
        QTest::newRow("failed confirmation that erased, then the next issue")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(nc, 1, n1), erased), v2(ev(i, 1, n1, "W2"), erased),
                    v2(ev(r, 2, n1, "W2", 1.0))}
            << Doses{{"W1", 2.0}, {"W2", 1.0}} << 1;
        QTest::newRow("failed confirmation that did not erase, read again")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(nc, 1, n1), kept), v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(c, 1, n1), erased)}
            << Doses{{"W1", 2.0}} << 0;
        QTest::newRow("confirmation that did not erase is no boundary")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(c, 1, n1), kept), v2(ev(r, 1, n1, "W1", 2.5))} << Doses{{"W1", 2.5}} << 1;
        QTest::newRow("block, then unblock that erased")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(b, 1, n1)), v2(ev(u, 1, n1), erased), v2(ev(i, 1, n1, "W1"), erased),
                    v2(ev(r, 1, n1, "W1", 0.5))}
            << Doses{{"W1", 2.5}} << 1;
        QTest::newRow("recovered and before-reset read-outs count like scans")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0), {{"source", "recovered"}}), v2(ev(c, 1, n1), erased),
                    v2(ev(i, 1, n1, "W2"), erased), v2(ev(r, 1, n1, "W2", 0.75), {{"source", "before_reset"}}),
                    v2(ev(i, 1, n1, "W3"), erased)}
            << Doses{{"W1", 2.0}, {"W2", 0.75}} << 0;
        QTest::newRow("another dosimeter's boundary ends no cycle")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(c, 2, n2), erased), v2(ev(r, 1, n1, "W1", 2.5))} << Doses{{"W1", 2.5}} << 1;
        QTest::newRow("two journal files of one cabinet, same number")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), with(ev(r, 1, n1, "W1", 3.0), {{"journal_id", "f2"}})}
            << Doses{{"W1", 5.0}} << 2;
        QTest::newRow("two cabinets, same number")
            << Rows{v2(ev(r, 1, n1, "W1", 2.0)), v2(ev(r, 1, n1, "W1", 3.0, 0, "2026-03-01T11:00:00+03:00", "B"))}
            << Doses{{"W1", 5.0}} << 2;
        QTest::newRow("replaced across the new year")
            << Rows{v2(ev(r, 1, n1, "W1", 9.0), at("2025-12-31T23:59:00+03:00")), v2(ev(r, 1, n1, "W1", 9.5), at("2026-01-02T08:00:00+03:00")),
                    v2(ev(c, 1, n1), erased)}
            << Doses{{"W1", 9.5}} << 0;
        QTest::newRow("read out in the old year, erased in the new one")
            << Rows{v2(ev(r, 1, n1, "W1", 9.0), at("2025-12-31T23:59:00+03:00")), v2(ev(c, 1, n1), erased),
                    v2(ev(r, 1, n1, "W1", 1.0), at("2026-01-02T08:00:00+03:00")), v2(ev(c, 1, n1), erased)}
            << Doses{{"W1", 1.0}} << 0;
        // Rows older than the erased column: confirm, cell_unblock and issue end a cycle.
        QTest::newRow("legacy: read twice, confirmed")
            << Rows{ev(r, 1, n1, "W1", 2.0), ev(r, 1, n1, "W1", 2.25), ev(c, 1, n1)} << Doses{{"W1", 2.25}} << 0;
        QTest::newRow("legacy: not_confirmed is no boundary")
            << Rows{ev(r, 1, n1, "W1", 2.0), ev(nc, 1, n1), ev(r, 1, n1, "W1", 2.0), ev(c, 1, n1)} << Doses{{"W1", 2.0}} << 0;
        QTest::newRow("legacy: unblock and issue are boundaries")
            << Rows{ev(r, 1, n1, "W1", 2.0), ev(u, 1, n1), ev(r, 1, n1, "W1", 1.0), ev(i, 1, n1, "W2"), ev(r, 1, n1, "W2", 4.0)}
            << Doses{{"W1", 3.0}, {"W2", 4.0}} << 1;
        QTest::newRow("legacy: confirmed twice, two workers")
            << Rows{ev(r, 1, n1, "W1", 1.0), ev(c, 1, n1), ev(c, 1, n1), ev(r, 3, n1, "W2", 4.0), ev(c, 3, n1),
                    ev(r, 1, n1, "W1", 0.5), ev(c, 1, n1)}
            << Doses{{"W1", 1.5}, {"W2", 4.0}} << 0;
        QTest::newRow("legacy rows then rows of this version, one dosimeter")
            << Rows{ev(r, 1, n1, "W1", 1.0), ev(c, 1, n1), with(ev(r, 1, n1, "W1", 2.0), {{"journal_id", "f1"}})}
            << Doses{{"W1", 3.0}} << 1;
    }
    void countingRule()
    {
        QFETCH(Rows, rows);
        QFETCH(Doses, doses);
        QFETCH(int, pending);
        const QString path = sqliteWith(rows);
        QVERIFY(!path.isEmpty());
        ScopedDb lite(path);
        JournalQuery q(lite.db());
        QCOMPARE(dosesOf(q.workers(2026)), doses);
        QCOMPARE(q.unconfirmed().rows.size(), pending);
        QCOMPARE(q.lastError(), QString());
        Doses perWorker;
        for (const QString &uid : doses.keys()) {
            const JournalTable t = q.workerDoses(uid);
            for (int k = 0; k < t.rows.size(); ++k) {
                if (t.value(k, QStringLiteral("time_text")).toString().startsWith(QLatin1String("2026")))
                    perWorker[uid] += t.value(k, QStringLiteral("dose")).toDouble();
            }
        }
        QCOMPARE(perWorker, doses);

        if (!m_pg)
            QSKIP("no PostgreSQL cluster");
        ScopedDb site(pg());
        QVERIFY(site.isOpen());
        QCOMPARE(site.exec(QStringLiteral("TRUNCATE dose_event")), QString());
        QCOMPARE(insertRows(site.db(), rows), QString());
        JournalQuery pq(site.db());
        QCOMPARE(dosesOf(pq.workers(2026)), doses);
        QCOMPARE(pq.unconfirmed().rows.size(), pending);
        Doses view;
        QSqlQuery v(site.db());
        QVERIFY(v.exec(QStringLiteral("SELECT uid, dose FROM dose_year_by_worker WHERE year = 2026")));
        while (v.next())
            view.insert(v.value(0).toString(), v.value(1).toDouble());
        QCOMPARE(view, doses);
        QCOMPARE(site.scalar(QStringLiteral("SELECT count(*) FROM dose_counted WHERE pending")).toInt(), pending);
    }

    // Pages of events in order, filters and counts.
    void pagingAndFilters()
    {
        Rows rows;
        for (int i = 0; i < 250; ++i)
            rows << ev(i % 5 ? QStringLiteral("issue") : QStringLiteral("readout"), 1 + i % 10, QString::number(700 + i % 7),
                       QStringLiteral("W%1").arg(i % 3), 1.0, 0,
                       QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::OffsetFromUTC, 0).addSecs(60 * i).toString(Qt::ISODate));
        const QString path = sqliteWith(rows);
        ScopedDb lite(path);
        JournalQuery q(lite.db());
        EventFilter f;
        f.limit = 100;
        f.offset = 200;
        JournalTable page = q.events(f);
        QCOMPARE(page.rows.size(), 50);
        QCOMPARE(page.value(0, QStringLiteral("seq")).toInt(), 201);
        QVERIFY(page.column(QStringLiteral("request")) < 0);
        f.newestFirst = true;
        f.offset = 0;
        f.limit = 1;
        QCOMPARE(q.events(f).value(0, QStringLiteral("seq")).toInt(), 250);

        struct Case { EventFilter filter; qint64 count; };
        auto filter = [](auto set) { EventFilter e; e.limit = 0; set(e); return e; };
        const qint64 start = QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch();
        const QVector<Case> cases{
            {filter([](EventFilter &) {}), 250},
            {filter([](EventFilter &e) { e.uid = QStringLiteral("w1"); }), 83},
            {filter([](EventFilter &e) { e.cell = 3; }), 25},
            {filter([](EventFilter &e) { e.number = QStringLiteral("700"); }), 36},
            {filter([&](EventFilter &e) { e.fromUtc = start + 60 * 10; e.toUtc = start + 60 * 20; }), 10},
            {filter([](EventFilter &e) { e.kinds = QStringList{QStringLiteral("readout")}; }), 50},
            {filter([](EventFilter &e) { e.cabinetId = QStringLiteral("B"); }), 0},
        };
        for (const Case &c : cases) {
            QCOMPARE(q.countEvents(c.filter), c.count);
            QCOMPARE(qint64(q.events(c.filter).rows.size()), c.count);
        }
        QCOMPARE(q.dosimeterLife(QStringLiteral("703")).rows.size(), 36);
    }

    void doseReport_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");   // exact stdout, or the start of stderr for failures
        const QString f = QStringLiteral("%FILE%");
        auto args = [](std::initializer_list<const char *> list) {
            QStringList l;
            for (const char *a : list)
                l << QString::fromUtf8(a);
            return l;
        };
        QTest::newRow("no command") << QStringList{} << 1 << QStringLiteral("dose_report: no command given");
        QTest::newRow("unknown command") << args({"frobnicate"}) << 1 << QStringLiteral("dose_report: unknown command \"frobnicate\"");
        QTest::newRow("option of another command") << args({"workers", "--cell", "3"}) << 1
                                                   << QStringLiteral("dose_report: --cell does not apply to workers");
        QTest::newRow("two formats") << args({"--csv", "--json", "workers"}) << 1
                                     << QStringLiteral("dose_report: --csv and --json exclude each other");
        QTest::newRow("bad date") << args({"events", "--from", "yesterday"}) << 1
                                  << QStringLiteral("dose_report: --from needs a date or an ISO time, not \"yesterday\"");
        QTest::newRow("dosimeter without number") << args({"dosimeter"}) << 1
                                                  << QStringLiteral("dose_report: dosimeter needs exactly one dosimeter number");
        QTest::newRow("bad year") << args({"workers", "--year", "20x6"}) << 1
                                  << QStringLiteral("dose_report: --year needs a year, not \"20x6\"");
        QTest::newRow("missing file") << args({"--sqlite", "/nonexistent/j.sqlite", "workers"}) << 2
                                      << QStringLiteral("dose_report: journal file /nonexistent/j.sqlite not found");
        QTest::newRow("not a database") << (QStringList{QStringLiteral("--sqlite"), QStringLiteral("%GARBAGE%"), QStringLiteral("workers")})
                                        << 2 << QStringLiteral("dose_report: ");
        QTest::newRow("workers, CSV")
            << (QStringList{QStringLiteral("--sqlite"), f, QStringLiteral("--csv"), QStringLiteral("workers"), QStringLiteral("--year"), QStringLiteral("2026")})
            << 0
            << QStringLiteral("uid,name,issues,returns,dose,max_rate_gamma,max_rate_neutron\r\n"
                              "W1,\"ИВАНОВ, И.\",1,1,3,0.25,\r\n"
                              "W2,,0,1,1.5,0.15,\r\n");
        QTest::newRow("unconfirmed, text")
            << (QStringList{QStringLiteral("--sqlite"), f, QStringLiteral("unconfirmed")}) << 0
            << QStringLiteral("time_text                  ts          cabinet_id  seq  cell  number  uid  work_order  dose_gamma  dose_neutron  dose  rate_gamma  rate_neutron  source\n"
                              "2026-03-01T10:00:00+03:00  1772348400  A           4    2     702     W2               1.5                       1.5   0.15\n");
        QTest::newRow("journal named by the settings")
            << (QStringList{QStringLiteral("--settings"), QStringLiteral("%SETTINGS%"), QStringLiteral("--csv"), QStringLiteral("unconfirmed")})
            << 0 << QStringLiteral("%2 rows%");
        QTest::newRow("settings without a journal")
            << (QStringList{QStringLiteral("--settings"), QStringLiteral("%NOJOURNAL%"), QStringLiteral("unconfirmed")}) << 2
            << QStringLiteral("dose_report: settings file ");
        QTest::newRow("events of one worker, CSV columns")
            << (QStringList{QStringLiteral("--sqlite"), f, QStringLiteral("--csv"), QStringLiteral("events"), QStringLiteral("--uid"), QStringLiteral("w1"),
                            QStringLiteral("--cell"), QStringLiteral("1")})
            << 0 << QStringLiteral("%3 rows%");
    }
    void doseReport()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        JournalRow issue = ev(QStringLiteral("issue"), 1, QStringLiteral("701"), QStringLiteral("W1"));
        issue.insert(QStringLiteral("uname"), QStringLiteral("ИВАНОВ, И."));
        const QString path = sqliteWith({issue, ev(QStringLiteral("readout"), 1, QStringLiteral("701"), QStringLiteral("W1"), 2.5, 0.5),
                                         ev(QStringLiteral("confirm"), 1, QStringLiteral("701")),
                                         ev(QStringLiteral("readout"), 2, QStringLiteral("702"), QStringLiteral("W2"), 1.5)});
        const QString garbage = m_dir.filePath(QStringLiteral("garbage.sqlite"));
        writeBytes(garbage, QByteArray(4096, 'g'));
        args.replaceInStrings(QStringLiteral("%FILE%"), path);
        args.replaceInStrings(QStringLiteral("%GARBAGE%"), garbage);
        const QString settings = m_dir.filePath(QStringLiteral("named.ini"));
        writeBytes(settings, QStringLiteral("[Settings]\njournal=%1\n").arg(path).toUtf8());
        args.replaceInStrings(QStringLiteral("%SETTINGS%"), settings);
        const QString noJournal = m_dir.filePath(QStringLiteral("nojournal.ini"));
        writeBytes(noJournal, "[Settings]\njournal=\n");
        args.replaceInStrings(QStringLiteral("%NOJOURNAL%"), noJournal);
        const Run r = report(args);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode != 0) {
            QVERIFY2(r.err.startsWith(output), qPrintable(r.err));
            QCOMPARE(r.out, QString());
        } else if (output == QLatin1String("%3 rows%")) {
            const QStringList lines = r.out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
            QCOMPARE(lines.size(), 3);
            QVERIFY(lines.first().startsWith(QStringLiteral("seq,ts,time_text,cabinet_id,command,kind,cell")));
        } else if (output == QLatin1String("%2 rows%")) {
            // The header and the one unconfirmed read-out of this file.
            const QStringList lines = r.out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
            QCOMPARE(lines.size(), 2);
            QVERIFY2(lines.at(1).contains(QStringLiteral(",702,W2,")), qPrintable(lines.at(1)));
        } else {
            QCOMPARE(r.out, output);
        }
    }

    // JSON output and the PostgreSQL source that cannot be reached.
    void doseReportJsonAndUnreachable()
    {
        const QString path = sqliteWith({ev(QStringLiteral("readout"), 2, QStringLiteral("702"), QStringLiteral("W2"), 1.5, 0.25)});
        const Run json = report({QStringLiteral("--sqlite"), path, QStringLiteral("--json"), QStringLiteral("unconfirmed")});
        QCOMPARE(json.exitCode, 0);
        const QJsonArray a = QJsonDocument::fromJson(json.out.toUtf8()).array();
        QCOMPARE(a.size(), 1);
        QCOMPARE(a.at(0).toObject().value(QStringLiteral("dose")).toDouble(), 1.75);
        QCOMPARE(a.at(0).toObject().value(QStringLiteral("number")).toString(), QStringLiteral("702"));

        const QString settings = m_dir.filePath(QStringLiteral("settings.ini"));
        writeBytes(settings, QStringLiteral("[Journal]\nhost=127.0.0.1\nport=%1\nuser=nobody\n").arg(closedPort()).toUtf8());
        const Run down = report({QStringLiteral("--pg"), QStringLiteral("--settings"), settings, QStringLiteral("workers")});
        QCOMPARE(down.exitCode, 2);
        QVERIFY2(down.err.startsWith(QStringLiteral("dose_report: cannot connect to PostgreSQL")), qPrintable(down.err));
    }

    // A reader that may not create files in the journal's folder (the
    // console's account) lists the events while the journal is open for
    // writing and after the writer has closed it.
    void readerWithoutWriteAccess_data()
    {
        QTest::addColumn<bool>("writerOpen");
        QTest::newRow("writer holds it open") << true;
        QTest::newRow("writer stopped") << false;
    }
    void readerWithoutWriteAccess()
    {
        QFETCH(bool, writerOpen);
        if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()
            || !getpwnam("nobody"))
            QSKIP("needs root, setpriv and the account nobody to read as another account");
        QTemporaryDir dir;
        const QFileDevice::Permissions open = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
        QVERIFY(QFile::setPermissions(dir.path(), open));
        // The program is copied where the other account may run it.
        const QString program = dir.filePath(QStringLiteral("dose_report"));
        QVERIFY(QFile::copy(QStringLiteral(DOSE_REPORT_BIN), program));
        QVERIFY(QFile::setPermissions(program, open));
        const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
        auto store = std::make_unique<JournalStore>(path, QStringLiteral("A"));
        QVERIFY(store->append({ev(QStringLiteral("issue"), 1, QStringLiteral("701"), QStringLiteral("W1")),
                               ev(QStringLiteral("readout"), 1, QStringLiteral("701"), QStringLiteral("W1"), 2.5)}));
        if (!writerOpen)
            store.reset();
        QProcess p;
        p.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                            QStringLiteral("--clear-groups"), program, QStringLiteral("--sqlite"), path,
                                            QStringLiteral("--csv"), QStringLiteral("events")});
        QVERIFY(p.waitForFinished(30000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(p.exitCode() == 0, qPrintable(err));
        const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines.at(2).contains(QStringLiteral(",readout,1,")), qPrintable(lines.at(2)));
    }

    void cleanupTestCase() { m_cluster.stop(); }
};

QTEST_GUILESS_MAIN(TestJournalQuery)
#include "tst_journal_query.moc"
