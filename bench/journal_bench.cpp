// Costs of the dose journal itself: one committed row on this disk
// (synchronous=FULL, WAL), ten thousand rows copied to a throw-away
// PostgreSQL cluster, and the report queries over a journal of 100 000 rows.
// Prints a Markdown table.
//
// journal_bench --site WORKERS: the site's side over a PostgreSQL named by the
// PG* variables that scripts/bench-journal-pg filled (users with code
// W0001 ... and a year of dose_event): one worker's annual dose recomputed
// under the counting rule, and one sync batch of 1 000 rows with the
// recomputes of its read-outs' workers.
#include "journalquery.h"
#include "journalstore.h"
#include "journalsync.h"
#include "journaltest.h"

#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace {

double median(QVector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

JournalRow sampleRow(int k)
{
    const bool readout = k % 3 == 1, confirm = k % 3 == 2;
    JournalRow r{{QStringLiteral("command"), readout ? QStringLiteral("OUT") : confirm ? QStringLiteral("OUT_true") : QStringLiteral("IN_g")},
                 {QStringLiteral("kind"), readout ? QStringLiteral("readout") : confirm ? QStringLiteral("confirm") : QStringLiteral("issue")},
                 {QStringLiteral("cell"), 1 + (k / 3) % 30},
                 {QStringLiteral("number"), QString::number(30001 + (k / 3) % 30)},
                 {QStringLiteral("uid"), QStringLiteral("W%1").arg((k / 3) % 400)},
                 {QStringLiteral("outcome"), QString(QLatin1String(""))},
                 {QStringLiteral("request"), QStringLiteral("{\"command\":\"OUT\"}")},
                 {QStringLiteral("reply"), QStringLiteral("{\"OUT\":\"1300\",\"c\":\"1\",\"d\":\"0.000123000\"}")}};
    if (readout)
        r.insert(QStringLiteral("dose_gamma"), 0.01 * (k % 17));
    return r;
}

// A journal file of count sample rows.
void makeJournal(const QString &path, int count)
{
    JournalStore store(path, QStringLiteral("bench"));
    QVector<JournalRow> rows;
    for (int i = 0; i < count; ++i)
        rows << sampleRow(i);
    store.append(rows);
}

// Median of repeated runs of a query, in ms.
template <typename F>
double timeIt(F f, int runs = 5)
{
    QVector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        ms << t.nsecsElapsed() / 1e6;
    }
    return median(ms);
}

double percentile(QVector<double> v, int p)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v.at(qMin(v.size() - 1, (v.size() * p + 99) / 100 - 1));
}

// The site's side; PG* variables name the database.
int siteBench(int workers)
{
    QTextStream out(stdout);
    PgSettings pg;
    pg.enabled = true;
    QString error;
    QSqlDatabase db = openPostgres(QStringLiteral("site-bench"), pg, &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "journal_bench: %s\n", qPrintable(error));
        return 2;
    }
    const int year = QDate::currentDate().year();
    QSqlQuery q(db);
    const qint64 rows = q.exec(QStringLiteral("SELECT count(*) FROM dose_event")) && q.next() ? q.value(0).toLongLong() : -1;

    // One worker at a time, as the sync calls it; the first call of a
    // worker reads its rows from disk or the cache, the second one again.
    QVector<double> first, again;
    q.prepare(QStringLiteral("SELECT dose_journal_recompute('code', ?, ?)"));
    for (int i = 0; i < 40; ++i) {
        const QString uid = QStringLiteral("W%1").arg(1 + (i * 2654435761u) % workers, 4, 10, QLatin1Char('0'));
        for (QVector<double> *v : {&first, &again}) {
            QElapsedTimer t;
            t.start();
            q.addBindValue(uid);
            q.addBindValue(year);
            if (!q.exec() || !q.next()) {
                std::fprintf(stderr, "journal_bench: %s\n", qPrintable(sqlErrorText(q.lastError())));
                return 2;
            }
            *v << t.nsecsElapsed() / 1e6;
        }
    }

    // One batch of 1 000 rows from a cabinet's journal: 250 cycles (issue,
    // read-out, history, confirmation) of the 100 workers one cabinet of
    // fifty serves; once with the annual dose recomputed, once without.
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/journal-site-bench-XXXXXX"));
    QSet<QString> uids;
    auto shipBatch = [&](const QString &cabinet, const QString &key) {
        const QString path = dir.filePath(cabinet + QStringLiteral(".sqlite"));
        JournalStore store(path, cabinet);
        store.append({JournalRow{{QStringLiteral("kind"), QStringLiteral("startup")}}});
        JournalSync::Options o;
        o.journalPath = path;
        o.pg = pg;
        o.annualDoseKey = key;
        o.batchRows = 1000;
        o.idleMs = 60000;
        JournalSync sync(o);
        sync.wake();
        QElapsedTimer wait;
        wait.start();
        // Connected, the schema applied and the first row shipped.
        while (JournalSync::acknowledged(path) < store.lastSeq() && wait.elapsed() < 120000)
            QThread::msleep(5);
        QVector<JournalRow> batch;
        for (int k = 0; k < 250; ++k) {
            const QString uid = QStringLiteral("W%1").arg(1 + (k * 37) % qMin(100, workers), 4, 10, QLatin1Char('0'));
            uids << uid;
            auto row = [&](const char *kind, const char *command) {
                return JournalRow{{QStringLiteral("kind"), QString::fromLatin1(kind)},
                                  {QStringLiteral("command"), QString::fromLatin1(command)}, {QStringLiteral("cell"), 1 + k % 60},
                                  {QStringLiteral("number"), QString::number(900000 + k % 60)}, {QStringLiteral("uid"), uid},
                                  {QStringLiteral("outcome"), QString()}, {QStringLiteral("erased"), 0},
                                  {QStringLiteral("request"), QStringLiteral("{\"command\":\"%1\"}").arg(QLatin1String(command))}};
            };
            JournalRow issue = row("issue", "IN_g"), readout = row("readout", "OUT"),
                       history = row("history", "OUT_Get_history"), confirm = row("confirm", "OUT_true");
            issue.insert(QStringLiteral("erased"), 1);
            confirm.insert(QStringLiteral("erased"), 1);
            readout.remove(QStringLiteral("erased"));
            readout.insert(QStringLiteral("dose_gamma"), 0.001 * (k % 50));
            readout.insert(QStringLiteral("reply"),
                           QStringLiteral("{\"OUT\":\"1300\",\"c\":\"%1\",\"d\":\"0.001230000\"}").arg(1 + k % 60));
            batch << issue << readout << history << confirm;
        }
        store.append(batch);
        QElapsedTimer t;
        t.start();
        sync.wake();
        while (JournalSync::acknowledged(path) < store.lastSeq() && t.elapsed() < 120000)
            QThread::msleep(1);
        return t.nsecsElapsed() / 1e6;
    };
    const double batchMs = shipBatch(QStringLiteral("bench-sync"), QStringLiteral("code"));
    const double copyMs = shipBatch(QStringLiteral("bench-copy"), QString());

    out << "| site database (" << rows << " rows of dose_event, " << workers << " workers) | ms |\n|---|---:|\n";
    out << "| one worker's annual dose recomputed, median of 40 workers (first call) | " << QString::number(median(first), 'f', 2) << " |\n";
    out << "| the same, 95th percentile (first call) | " << QString::number(percentile(first, 95), 'f', 2) << " |\n";
    out << "| the same, median (second call) | " << QString::number(median(again), 'f', 2) << " |\n";
    out << "| one sync batch of 1 000 rows with " << uids.size() << " workers recomputed (wake to acknowledgement) | "
        << QString::number(batchMs, 'f', 0) << " |\n";
    out << "| the same batch without the annual dose (copy only) | " << QString::number(copyMs, 'f', 0) << " |\n";
    out.flush();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 2 && args.at(1) == QLatin1String("--site"))
        return siteBench(args.value(2, QStringLiteral("5000")).toInt());
    QTextStream out(stdout);
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/journal-bench-XXXXXX"));
    // JOURNAL_BENCH_KEEP=1 keeps the journals for a look with sqlite3.
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("JOURNAL_BENCH_KEEP"));

    // One committed row at a time, as the controller writes them.
    const QString small = dir.filePath(QStringLiteral("append.sqlite"));
    QVector<double> appendMs;
    {
        JournalStore store(small, QStringLiteral("bench"));
        for (int i = 0; i < 220; ++i) {
            QElapsedTimer t;
            t.start();
            store.append({sampleRow(i)});
            if (i >= 20)
                appendMs << t.nsecsElapsed() / 1e6;
        }
    }
    std::sort(appendMs.begin(), appendMs.end());

    // 10 000 rows to PostgreSQL.
    const QString tenK = dir.filePath(QStringLiteral("tenk.sqlite"));
    makeJournal(tenK, 10000);
    double syncMs = -1;
    TestCluster cluster;
    const QString clusterError = cluster.start();
    if (clusterError.isEmpty()) {
        JournalSync::Options o;
        o.journalPath = tenK;
        o.pg = clusterSettings(cluster);
        QElapsedTimer t;
        t.start();
        JournalSync sync(o);
        sync.wake();
        qint64 last = 0;
        {
            JournalStore probe(tenK, QStringLiteral("bench"));
            last = probe.lastSeq();
        }
        while (JournalSync::acknowledged(tenK) < last && t.elapsed() < 600000)
            QThread::msleep(20);
        syncMs = t.nsecsElapsed() / 1e6;
    } else {
        std::fprintf(stderr, "no PostgreSQL cluster: %s\n", qPrintable(clusterError));
    }

    // Queries over 100 000 rows.
    const QString big = dir.filePath(QStringLiteral("big.sqlite"));
    makeJournal(big, 100000);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
    db.setDatabaseName(big);
    db.open();
    const JournalQuery q(db);
    const int year = QDate::currentDate().year();
    EventFilter page;
    page.limit = 50;
    page.offset = 50000;
    EventFilter oneWorker;
    oneWorker.uid = QStringLiteral("W7");
    oneWorker.limit = 50;
    const double pageMs = timeIt([&]() { q.events(page); });
    const double countMs = timeIt([&]() { q.countEvents(oneWorker); });
    const double workerMs = timeIt([&]() { q.events(oneWorker); });
    const double workersMs = timeIt([&]() { q.workers(year); }, 7);
    const double dosesMs = timeIt([&]() { q.workerDoses(QStringLiteral("W7")); });
    const double lifeMs = timeIt([&]() { q.dosimeterLife(QStringLiteral("30007")); });
    const double unconfirmedMs = timeIt([&]() { q.unconfirmed(); }, 7);

    out << "| journal measurement | ms |\n|---|---:|\n";
    out << "| one row committed (median of 200; synchronous=FULL, WAL) | " << QString::number(median(appendMs), 'f', 2) << " |\n";
    out << "| one row committed, 95th percentile | " << QString::number(appendMs.value(appendMs.size() * 95 / 100), 'f', 2) << " |\n";
    out << "| 10 000 rows copied to PostgreSQL (batches of 500) | " << (syncMs < 0 ? QStringLiteral("—") : QString::number(syncMs, 'f', 0)) << " |\n";
    out << "| 100 000 rows: one page of 50 events at offset 50 000 | " << QString::number(pageMs, 'f', 1) << " |\n";
    out << "| 100 000 rows: count of one worker's events | " << QString::number(countMs, 'f', 2) << " |\n";
    out << "| 100 000 rows: first page of one worker's events | " << QString::number(workerMs, 'f', 1) << " |\n";
    out << "| 100 000 rows: workers of the year | " << QString::number(workersMs, 'f', 1) << " |\n";
    out << "| 100 000 rows: one worker's counted doses | " << QString::number(dosesMs, 'f', 2) << " |\n";
    out << "| 100 000 rows: one dosimeter's life | " << QString::number(lifeMs, 'f', 1) << " |\n";
    out << "| 100 000 rows: unconfirmed read-outs | " << QString::number(unconfirmedMs, 'f', 1) << " |\n";
    out.flush();
    return 0;
}
