// The dose-record pages' API over a real socket: a journal the real
// controller writes through a cycle on the simulated rack, read while it is
// written; filters, server-side paging and the CSV of a journal written by
// the journal library; workers against their limits from SQLite (no users
// table) and from a real PostgreSQL with one.
#include "consoletest.h"
#include "journalschema.h"
#include "journalstore.h"
#include "pgconnection.h"
#include "terminaltest.h"

#include <QDate>
#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <thread>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// RFC 4180: fields split at commas, quoted fields may hold commas, doubled
// quotes and line breaks; records end with CRLF.
QVector<QStringList> parseCsv(const QByteArray &bytes, QString *problem)
{
    const QString text = QString::fromUtf8(bytes);
    QVector<QStringList> records;
    QStringList record;
    QString field;
    auto at = [&text](int i) { return i < text.size() ? text.at(i) : QChar(); };
    bool quoted = false, inQuotes = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (inQuotes) {
            if (c == QLatin1Char('"') && at(i + 1) == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                inQuotes = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"') && field.isEmpty() && !quoted) {
            inQuotes = quoted = true;
        } else if (c == QLatin1Char(',')) {
            record << field;
            field.clear();
            quoted = false;
        } else if (c == QLatin1Char('\r') && at(i + 1) == QLatin1Char('\n')) {
            record << field;
            records << record;
            record.clear();
            field.clear();
            quoted = false;
            ++i;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
            *problem = QStringLiteral("bare %1 at %2").arg(c).arg(i);
            return {};
        } else {
            field += c;
        }
    }
    if (inQuotes || !field.isEmpty() || !record.isEmpty())
        *problem = QStringLiteral("unterminated last record");
    return records;
}

QJsonArray events(WebClient &web, const std::string &query, QJsonObject *reply = nullptr)
{
    const WebReply r = web.get("/api/events?" + query);
    if (reply)
        *reply = r.json();
    return r.json().value(QStringLiteral("events")).toArray();
}

qint64 total(WebClient &web, const std::string &query)
{
    const WebReply r = web.get("/api/events?size=1&" + query);
    return r.status == 200 ? qint64(r.json().value(QStringLiteral("total")).toDouble()) : -r.status;
}

QStringList kindsOf(const QJsonArray &rows)
{
    QStringList k;
    for (const QJsonValue &v : rows)
        k << v.toObject().value(QStringLiteral("kind")).toString();
    return k;
}

// Texts a CSV must carry unchanged (or, starting like a formula, behind a ').
const QStringList kTrickyNames{
    QStringLiteral("О'НИЛ \"БЕТА\""), QStringLiteral("ПЕТРОВ, П.П."), QStringLiteral("ДВЕ\nСТРОКИ"),
    QStringLiteral("=HYPERLINK(\"http://x\")"), QStringLiteral("+7"), QStringLiteral("-1+2"),
    QStringLiteral("@SUM(A1)"), QStringLiteral("<img src=x onerror=alert(1)>"),
};

// A year's issues, read-outs and confirmations of workers: per worker the
// confirmed gamma doses; in each worker's last cycle a read-out of 1000 that
// a later read-out replaced before the confirmation, which must not count.
QVector<JournalRow> workerRows(const QMap<QString, QVector<double>> &doses, const QString &cabinet)
{
    QVector<JournalRow> rows;
    int cell = 0;
    qint64 seq = 0;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    for (auto it = doses.cbegin(); it != doses.cend(); ++it) {
        for (int k = 0; k < it.value().size(); ++k) {
            ++cell;
            const QString number = QString::number(9000 + cell);
            auto row = [&](const QString &kind) {
                JournalRow r;
                JournalStore::stamp(r, nowMs);
                r.insert(QStringLiteral("seq"), ++seq);
                r.insert(QStringLiteral("cabinet_id"), cabinet);
                r.insert(QStringLiteral("kind"), kind);
                r.insert(QStringLiteral("cell"), cell);
                r.insert(QStringLiteral("number"), number);
                r.insert(QStringLiteral("uid"), it.key());
                r.insert(QStringLiteral("outcome"), QString());
                return r;
            };
            JournalRow issue = row(journal::kind::Issue);
            issue.insert(QStringLiteral("uname"), QStringLiteral("РАБОТНИК ") + it.key());
            rows << issue;
            if (k == it.value().size() - 1) {
                JournalRow replaced = row(journal::kind::Readout);
                replaced.insert(QStringLiteral("dose_gamma"), 1000.0);
                rows << replaced;
            }
            JournalRow readout = row(journal::kind::Readout);
            readout.insert(QStringLiteral("dose_gamma"), it.value().at(k));
            rows << readout << row(journal::kind::Confirm);
        }
    }
    return rows;
}

QJsonObject workerNamed(const QJsonArray &workers, const QString &uid)
{
    for (const QJsonValue &w : workers) {
        if (w.toObject().value(QStringLiteral("uid")).toString() == uid)
            return w.toObject();
    }
    return {};
}

QStringList uidsOf(const QJsonArray &workers)
{
    QStringList u;
    for (const QJsonValue &w : workers)
        u << w.toObject().value(QStringLiteral("uid")).toString();
    return u;
}

} // namespace

class TestConsoleRecords : public QObject
{
    Q_OBJECT

private slots:
    // A worker's dosimeter goes out and comes back through the controller;
    // the technician's actions name the account; the console reads it all
    // while the controller goes on writing.
    void recordsOfARealCycle()
    {
        ConsoleRig rig(3);
        QVERIFY(rig.dir.isValid());
        QVERIFY(rig.placeDosimeters(3));
        QVERIFY(rig.start());
        WebClient web(rig.consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);

        const QByteArray issued = rig.command(
            "{\"command\":\"IN_g\",\"uid\":\"7001\",\"uname\":\"О'НИЛ \\\"БЕТА\\\"\",\"order\":\"Н-1\","
            "\"gdel\":\"1\",\"gde2\":\"2\",\"gderl\":\"3\",\"gder2\":\"4\"}");
        QVERIFY2(issued.contains("\"cell\":\"1\""), issued.constData());
        QVERIFY(rig.rack->remove(0));
        rig.command(R"({"command":"cell_free","nomer_ppd":"5001","cell":"1"})");
        SimDosimeter back = rig.rack->state(1);
        back.number = 5001;
        back.userId = "7001";
        back.userOrder = simtext::encodeUser(QStringLiteral("Н-1"));
        back.gammaDose = 0.25;
        back.history = SimRack::makeHistory(40);
        QCOMPARE(rig.rack->insert(1, back, 0), 0);
        const WebReply out = web.post("/api/out", {});
        QVERIFY2(out.status == 200 && out.json().value(QStringLiteral("error")).toString().isEmpty(), out.body.c_str());
        QCOMPARE(web.post("/api/cell/history", {{QStringLiteral("cell"), 1}}).status, 200);
        QCOMPARE(web.post("/api/cell/confirm", {{QStringLiteral("cell"), 1}, {QStringLiteral("number"), QStringLiteral("5001")}}).status, 200);
        const QString evil = QStringLiteral("<img src=x onerror=alert(1)>, \"=1+1\"");
        QCOMPARE(web.post("/api/cell/block", {{QStringLiteral("cell"), 2}, {QStringLiteral("text"), evil}}).status, 200);

        // Newest first; the technician's actions carry the account, the
        // outside client's issue none.
        QJsonObject page;
        const QJsonArray all = events(web, "size=500", &page);
        QCOMPARE(qint64(page.value(QStringLiteral("total")).toDouble()), qint64(all.size()));
        const QStringList kinds = kindsOf(all);
        QCOMPARE(kinds.first(), QStringLiteral("cell_block"));
        for (const char *k : {"issue", "freed", "readout", "history", "confirm", "cell_block"})
            QVERIFY2(kinds.contains(QLatin1String(k)), k);
        QVERIFY2(kinds.indexOf(QStringLiteral("confirm")) < kinds.indexOf(QStringLiteral("issue")), "not newest first");
        for (const QJsonValue &v : all) {
            const QJsonObject e = v.toObject();
            const QString kind = e.value(QStringLiteral("kind")).toString();
            const bool byConsole = kind == QLatin1String("readout") || kind == QLatin1String("history")
                || kind == QLatin1String("confirm") || kind == QLatin1String("cell_block");
            QCOMPARE(e.value(QStringLiteral("operator")).toString(), byConsole ? QStringLiteral("tech") : QString());
        }

        // Filters, each against what the cycle did.
        struct FilterCase { std::string query; QStringList kinds; };
        const FilterCase cases[] = {
            {"uid=7001", {"readout", "issue"}},
            {"kind=confirm", {"confirm"}},
            {"kind=confirm,issue", {"confirm", "issue"}},
            {"number=5001&kind=issue,readout,history,confirm,freed", {"confirm", "history", "readout", "freed", "issue"}},
            {"cell=2&kind=cell_block", {"cell_block"}},
            {"cell=3&kind=issue", {}},
            {"from=" + QDate::currentDate().addDays(1).toString(Qt::ISODate).toStdString(), {}},
            {"to=" + QDate::currentDate().addDays(-1).toString(Qt::ISODate).toStdString(), {}},
            {"uid=7001&from=" + QDate::currentDate().toString(Qt::ISODate).toStdString()
                 + "&to=" + QDate::currentDate().toString(Qt::ISODate).toStdString(), {"readout", "issue"}},
        };
        for (const FilterCase &c : cases)
            QVERIFY2(kindsOf(events(web, c.query)) == c.kinds, c.query.c_str());
        const QJsonObject issueRow = events(web, "kind=issue").first().toObject();
        QCOMPARE(issueRow.value(QStringLiteral("uname")).toString(), QStringLiteral("О'НИЛ \"БЕТА\""));

        // The CSV of a filter: the block text with its comma and quotes
        // survives, behind the formula guard only where it starts like one.
        const WebReply csv = web.get("/api/events.csv?cell=2&kind=cell_block");
        QCOMPARE(csv.status, 200);
        QCOMPARE(csv.contentType, std::string("text/csv; charset=utf-8"));
        QString problem;
        const QVector<QStringList> table = parseCsv(QByteArray::fromStdString(csv.body), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(table.size(), 2);
        QCOMPARE(table.at(1).value(table.at(0).indexOf(QStringLiteral("note"))), evil);
        QCOMPARE(table.at(1).value(table.at(0).indexOf(QStringLiteral("operator"))), QStringLiteral("tech"));

        // One worker and one dosimeter.
        const QJsonObject worker = web.get("/api/worker?uid=7001").json();
        QCOMPARE(worker.value(QStringLiteral("name")).toString(), QStringLiteral("О'НИЛ \"БЕТА\""));
        const QJsonArray doses = worker.value(QStringLiteral("doses")).toArray();
        QCOMPARE(doses.size(), 1);
        const double readDose = events(web, "kind=readout").first().toObject().value(QStringLiteral("dose_gamma")).toDouble();
        QCOMPARE(doses.first().toObject().value(QStringLiteral("dose")).toDouble(), readDose);
        const QJsonObject workers = web.get("/api/workers").json();
        QCOMPARE(workers.value(QStringLiteral("limits")).toBool(), false);
        QCOMPARE(workerNamed(workers.value(QStringLiteral("workers")).toArray(), QStringLiteral("7001"))
                     .value(QStringLiteral("dose")).toDouble(), readDose);

        // Its life newest first, paged; the month's chart counts the one read-out.
        const QJsonObject dosimeter = web.get("/api/dosimeter?number=5001").json();
        QStringList life = kindsOf(dosimeter.value(QStringLiteral("life")).toArray());
        std::reverse(life.begin(), life.end());
        QCOMPARE(life.mid(life.indexOf(QStringLiteral("issue"))),
                 (QStringList{"issue", "freed", "readout", "history", "confirm"}));
        QCOMPARE(qint64(dosimeter.value(QStringLiteral("total")).toDouble()), qint64(life.size()));
        const QJsonArray months = dosimeter.value(QStringLiteral("months")).toArray();
        QCOMPARE(months.size(), 1);
        QCOMPARE(months.first().toObject().value(QStringLiteral("issues")).toInt(), 1);
        QCOMPARE(months.first().toObject().value(QStringLiteral("dose")).toDouble(), readDose);
        const QJsonArray records = dosimeter.value(QStringLiteral("history")).toObject()
                                       .value(QStringLiteral("records")).toArray();
        QCOMPARE(records.size(), 40);
        for (int i : {0, 39}) {
            const QByteArray hex = back.history.at(i).toHex(' ').toUpper();
            QCOMPARE(records.at(i).toString(), QString::fromLatin1(hex));
        }
        QCOMPARE(web.get("/api/dosimeter?number=5003").json().value(QStringLiteral("history")).type(), QJsonValue::Null);

        // Reads while the controller writes: each block and unblock commits
        // a row; a reader on another connection sees every page and never
        // fewer rows than before.
        const qint64 before = total(web, "");
        std::atomic<bool> stop{false};
        std::atomic<int> reads{0}, failures{0}, shrinks{0};
        std::thread reader([&] {
            WebClient second(rig.consolePort);
            if (second.login(QStringLiteral("tech"), QStringLiteral("tech-password")) != 200) {
                ++failures;
                return;
            }
            qint64 last = 0;
            while (!stop) {
                const qint64 n = total(second, "");
                if (n < 0)
                    ++failures;
                else if (n < last)
                    ++shrinks;
                last = qMax(last, n);
                ++reads;
            }
        });
        for (int i = 0; i < 10; ++i) {
            rig.command(R"({"command":"cell_error","port":"","cell":"3","block":"проверка"})");
            rig.command(QStringLiteral(R"({"command":"cell_error","port":"%1","cell":"3","block":""})")
                            .arg(rig.rack->portPath(2)).toUtf8());
        }
        stop = true;
        reader.join();
        QCOMPARE(failures.load(), 0);
        QCOMPARE(shrinks.load(), 0);
        QVERIFY(reads.load() > 0);
        QCOMPARE(total(web, ""), before + 20);
    }

    // The console under an account of its own that may only read the
    // controller's folder (group read, as the installed services run): the
    // journal is read while the controller writes it and after it closed it.
    void readsAsAnotherAccount()
    {
        const group *nogroup = getgrnam("nogroup");
        if (geteuid() != 0 || !QFileInfo::exists(QStringLiteral("/usr/bin/setpriv")) || !nogroup)
            QSKIP("needs root, setpriv and the group nogroup to run the console as another account");
        ConsoleRig rig(2);
        QVERIFY(rig.dir.isValid());
        // The folder: the controller's, readable by the group, files inheriting it.
        const QByteArray folder = QFile::encodeName(rig.dir.path());
        QVERIFY(chown(folder.constData(), 0, nogroup->gr_gid) == 0);
        QVERIFY(chmod(folder.constData(), 02750) == 0);
        for (const QString &name : {QStringLiteral("settings.ini")}) {
            const QByteArray f = QFile::encodeName(rig.dir.filePath(name));
            QVERIFY(chown(f.constData(), 0, nogroup->gr_gid) == 0 && chmod(f.constData(), 0640) == 0);
        }
        rig.consolePrefix = QStringList{QStringLiteral("/usr/bin/setpriv"), QStringLiteral("--reuid=65534"),
                                        QStringLiteral("--regid=%1").arg(nogroup->gr_gid), QStringLiteral("--clear-groups")};
        QVERIFY(rig.start());
        const QString journal = rig.dir.filePath(QStringLiteral("journal.sqlite"));
        QVERIFY(QFileInfo::exists(journal + QStringLiteral("-shm")));
        QVERIFY(!(QFileInfo(journal + QStringLiteral("-shm")).permissions() & QFileDevice::WriteOther));
        WebClient web(rig.consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);

        const qint64 before = total(web, "");
        QVERIFY2(before > 0, qPrintable(QString::number(before)));
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(web.post("/api/cell/block", {{QStringLiteral("cell"), 2}, {QStringLiteral("text"), QStringLiteral("x")}}).status, 200);
            QCOMPARE(total(web, ""), before + 2 * i + 1);
            rig.command(R"({"command":"cell_error","port":"","cell":"2","block":""})");
            QCOMPARE(total(web, ""), before + 2 * i + 2);
        }
        QCOMPARE(kindsOf(events(web, "size=2")), (QStringList{"cell_unblock", "cell_block"}));
        QCOMPARE(events(web, "kind=cell_block").first().toObject().value(QStringLiteral("operator")).toString(),
                 QStringLiteral("tech"));

        // The controller stops and closes the file: still readable, nothing lost.
        rig.controller.reset();
        {
            // The last writer's connection closing folds the WAL file back
            // (a stopped controller leaves it; the next one to close does this).
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("last-writer"));
            db.setDatabaseName(journal);
            QVERIFY(db.open());
            QSqlQuery(QStringLiteral("SELECT COUNT(*) FROM dose_event"), db);
            db.close();
        }
        closeConnection(QStringLiteral("last-writer"));
        QVERIFY(!QFileInfo::exists(journal + QStringLiteral("-wal")));
        QCOMPARE(total(web, ""), before + 10);
    }

    // Paging, filters and the CSV over a journal the journal library wrote
    // (no controller), and what the console refuses.
    void pagingFiltersAndCsv()
    {
        ConsoleRig rig(3);
        QVERIFY(rig.dir.isValid());
        const QString path = rig.dir.filePath(QStringLiteral("journal.sqlite"));
        {
            JournalStore store(path, QStringLiteral("cab-1"));
            QVector<JournalRow> rows;
            for (int i = 0; i < 120; ++i) {
                JournalRow r;
                r.insert(QStringLiteral("kind"), i % 3 == 0 ? journal::kind::Issue : journal::kind::CellBlock);
                r.insert(QStringLiteral("cell"), i % 4 + 1);
                r.insert(QStringLiteral("number"), QString::number(100 + i % 5));
                r.insert(QStringLiteral("uid"), i % 3 == 0 ? QStringLiteral("U%1").arg(i % 2) : QString());
                r.insert(QStringLiteral("uname"), kTrickyNames.at(i % kTrickyNames.size()));
                r.insert(QStringLiteral("dose_gamma"), -0.5 * (i + 1));
                rows << r;
            }
            QVERIFY(store.append(rows));
        }
        // Row k at 2026-01-02 03:00 + 10 k minutes in the cabinet's zone (UTC+3).
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("retime"));
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("UPDATE dose_event SET ts = 1767312000 + (seq - (SELECT MIN(seq) FROM dose_event)) * 600")));
            QVERIFY(q.exec(QStringLiteral("UPDATE dose_event SET time_text = strftime('%Y-%m-%dT%H:%M:%S+03:00', ts + 10800, 'unixepoch')")));
            db.close();
        }
        closeConnection(QStringLiteral("retime"));
        rig.env << QStringLiteral("TZ=UTC-3");
        QVERIFY(rig.start(false));
        WebClient web(rig.consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);

        // Pages of 50 join to the whole, newest first, without a gap or a repeat.
        QJsonObject reply;
        QList<qint64> seqs;
        for (int page = 1; page <= 3; ++page) {
            const QJsonArray rows = events(web, "size=50&page=" + std::to_string(page), &reply);
            QCOMPARE(rows.size(), page < 3 ? 50 : 20);
            QCOMPARE(reply.value(QStringLiteral("pages")).toInt(), 3);
            for (const QJsonValue &v : rows)
                seqs << qint64(v.toObject().value(QStringLiteral("seq")).toDouble());
        }
        QCOMPARE(seqs.size(), 120);
        for (int i = 1; i < seqs.size(); ++i)
            QVERIFY(seqs.at(i) == seqs.at(i - 1) - 1);
        QCOMPARE(events(web, "size=50&page=4").size(), 0);
        QCOMPARE(events(web, "from=2026-01-02T10:00&to=2026-01-02T10:30").first().toObject()
                     .value(QStringLiteral("time")).toString(), QStringLiteral("2026-01-02 10:30:00"));

        // One dosimeter's life pages like the records.
        const QJsonObject third = web.get("/api/dosimeter?number=103&size=10&page=3").json();
        QCOMPARE(qint64(third.value(QStringLiteral("total")).toDouble()), qint64(24));
        QCOMPARE(third.value(QStringLiteral("pages")).toInt(), 3);
        QCOMPARE(third.value(QStringLiteral("life")).toArray().size(), 4);
        QCOMPARE(third.value(QStringLiteral("months")).toArray().first().toObject().value(QStringLiteral("month"))
                     .toString(), QStringLiteral("2026-01"));

        struct Count { std::string query; qint64 expected; };
        const Count counts[] = {
            {"", 120}, {"kind=issue", 40}, {"cell=2", 30}, {"number=103", 24}, {"uid=u1", 20},
            {"uid=U0&cell=1", 10}, {"kind=issue,cell_block", 120}, {"kind=gap", 0},
            // Times are exact, in the cabinet's zone; a date is its whole day.
            {"from=2026-01-02T10:00&to=2026-01-02T10:30", 4}, {"from=2026-01-02T10:00:01&to=2026-01-02T10:30", 3},
            {"from=2026-01-02T10:00&to=2026-01-02T10:29:59", 3}, {"from=2026-01-02&to=2026-01-02", 120},
            {"to=2026-01-01", 0}, {"from=2026-01-02T22:50", 1}, {"from=2026-01-02T07:00:00Z&to=2026-01-02T07:00:00Z", 1},
        };
        for (const Count &c : counts)
            QVERIFY2(total(web, c.query) == c.expected, c.query.c_str());

        // The chart's dose counts a cycle's last read-out before its erasure
        // once, and a pending one: 2 + 4 of the read-outs 1, 2 (confirm), 4.
        {
            JournalStore store(path, QStringLiteral("cab-1"));
            QVector<JournalRow> cycle;
            for (const auto &k : {std::make_pair(journal::kind::Issue, 0.0), std::make_pair(journal::kind::Readout, 1.0),
                                  std::make_pair(journal::kind::Readout, 2.0), std::make_pair(journal::kind::Confirm, 0.0),
                                  std::make_pair(journal::kind::Readout, 4.0)}) {
                JournalRow r;
                r.insert(QStringLiteral("kind"), k.first);
                r.insert(QStringLiteral("number"), QStringLiteral("777"));
                r.insert(QStringLiteral("cell"), 1);
                if (k.first == journal::kind::Readout)
                    r.insert(QStringLiteral("dose_gamma"), k.second);
                cycle << r;
            }
            QVERIFY(store.append(cycle));
        }
        const QJsonArray month = web.get("/api/dosimeter?number=777").json().value(QStringLiteral("months")).toArray();
        QCOMPARE(month.size(), 1);
        QCOMPARE(month.first().toObject().value(QStringLiteral("dose")).toDouble(), 6.0);
        QCOMPARE(month.first().toObject().value(QStringLiteral("readouts")).toInt(), 3);
        QCOMPARE(month.first().toObject().value(QStringLiteral("issues")).toInt(), 1);


        struct Bad { std::string path; int status; };
        const Bad bad[] = {
            {"/api/events?cell=0", 400}, {"/api/events?cell=x", 400}, {"/api/events?from=yesterday", 400},
            {"/api/events?to=2026-13-01", 400}, {"/api/events?page=0", 400}, {"/api/events?size=501", 400},
            {"/api/events.csv?cell=-1", 400}, {"/api/worker", 400}, {"/api/dosimeter?number=", 400},
            {"/api/workers?year=19", 400},
        };
        for (const Bad &b : bad)
            QVERIFY2(web.get(b.path).status == b.status, b.path.c_str());

        // The CSV holds exactly the rows and columns of the filter, every
        // text as it is, texts starting like a formula behind a '.
        const std::string filter = "kind=issue";
        const QJsonArray shown = events(web, filter + "&size=500", &reply);
        const WebReply csv = web.get("/api/events.csv?" + filter);
        QCOMPARE(csv.status, 200);
        QString problem;
        const QVector<QStringList> table = parseCsv(QByteArray::fromStdString(csv.body), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QStringList header;
        for (const QJsonValue &c : reply.value(QStringLiteral("columns")).toArray())
            header << c.toString();
        QCOMPARE(table.value(0), header);
        QCOMPARE(table.size() - 1, shown.size());
        for (int r = 0; r < shown.size(); ++r) {
            const QJsonObject row = shown.at(r).toObject();
            for (int c = 0; c < header.size(); ++c) {
                const QJsonValue v = row.value(header.at(c));
                const double d = v.toDouble();
                QString expected = !v.isDouble()        ? v.toString()
                    : d == double(qint64(d))            ? QString::number(qint64(d))
                                                        : QString::number(d, 'g', 12);
                if (v.isString() && !expected.isEmpty() && QStringLiteral("=+-@").contains(expected.at(0)))
                    expected.prepend(QLatin1Char('\''));
                QVERIFY2(table.at(r + 1).value(c) == expected,
                         qPrintable(header.at(c) + QStringLiteral(": ") + table.at(r + 1).value(c)));
            }
        }
        QStringList names;
        for (int r = 1; r < table.size(); ++r)
            names << table.at(r).value(header.indexOf(QStringLiteral("uname")));
        QVERIFY(names.contains(QStringLiteral("ДВЕ\nСТРОКИ")));
        QVERIFY(names.contains(QStringLiteral("'=HYPERLINK(\"http://x\")")));
        QVERIFY(names.contains(QStringLiteral("'-1+2")));

        // No users table in the cabinet's file: no limits, none marked.
        const QJsonObject workers = web.get("/api/workers").json();
        QCOMPARE(workers.value(QStringLiteral("limits")).toBool(), false);
        for (const QJsonValue &w : workers.value(QStringLiteral("workers")).toArray())
            QCOMPARE(w.toObject().value(QStringLiteral("near")).toBool(), false);

        // A file that is not a journal is a clear error, not a crash.
        writeBytes(path, "not a database at all");
        QFile::remove(path + QStringLiteral("-wal"));
        QFile::remove(path + QStringLiteral("-shm"));
        const WebReply broken = web.get("/api/events");
        QCOMPARE(broken.status, 503);
        QVERIFY(broken.json().value(QStringLiteral("error")).toString().contains(QStringLiteral("Журнал не читается")));
        QFile::remove(path);
        QCOMPARE(web.get("/api/workers").status, 503);
        QCOMPARE(web.get("/api/rack").status, 200);
    }

    // The site's PostgreSQL with its users table: this year's dose against
    // dose_year, highest first, those above 80 % marked.
    void workersAgainstSiteLimits()
    {
        TestCluster cluster;
        const QString started = cluster.start();
        if (!started.isEmpty())
            QFAIL(qPrintable(started));
        QFile sql(QStringLiteral(ORVIK_SOURCE_DIR "/db/journal.sql"));
        QVERIFY(sql.open(QIODevice::ReadOnly));
        QCOMPARE(cluster.exec(QString::fromUtf8(sql.readAll())), QString());
        QCOMPARE(cluster.exec(QStringLiteral(
                     "INSERT INTO users (user_id, name_0, dose_year, dose_year_now_ppd) VALUES "
                     "(7, 'Иванов', 20, 0), (8, 'Петров', 20, 0), (10, 'Сидоров', 10, 0), (12, 'Орлов', 20, 0)")),
                 QString());
        // 17 of 20 (85 %), 5 of 20, 8.5 of 10 (85 %), 3 without a users
        // row, 16 of 20 (exactly 80 %: not above).
        const QMap<QString, QVector<double>> doses{
            {QStringLiteral("7"), {10.0, 7.0}}, {QStringLiteral("8"), {5.0}}, {QStringLiteral("10"), {8.5}},
            {QStringLiteral("11"), {3.0}}, {QStringLiteral("12"), {16.0}}};
        {
            const QSqlDatabase db = cluster.connect(QStringLiteral("records-site"));
            QVERIFY(db.isOpen());
            for (const JournalRow &row : workerRows(doses, QStringLiteral("cab-site"))) {
                QSqlQuery q(db);
                QVERIFY(q.prepare(journal::insertStatement(false)));
                for (const QString &c : journal::columnNames())
                    q.bindValue(QLatin1Char(':') + c, row.value(c));
                QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            }
        }
        closeConnection(QStringLiteral("records-site"));

        ConsoleRig rig(2, {QStringLiteral("annual_dose_key=user_id"), QStringLiteral("[Journal]"), QStringLiteral("pg=on"),
                           QStringLiteral("host=127.0.0.1"), QStringLiteral("port=%1").arg(cluster.port()),
                           QStringLiteral("dbname=") + cluster.database(), QStringLiteral("user=postgres"),
                           QStringLiteral("password_file=") + QStringLiteral("pgpass")});
        writeBytes(rig.dir.filePath(QStringLiteral("pgpass")), cluster.password().toUtf8() + '\n');
        QVERIFY(rig.start(false));
        WebClient web(rig.consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);

        const WebReply reply = web.get("/api/workers");
        QCOMPARE(reply.status, 200);
        const QJsonObject o = reply.json();
        QCOMPARE(o.value(QStringLiteral("limits")).toBool(), true);
        const QJsonArray workers = o.value(QStringLiteral("workers")).toArray();
        QCOMPARE(uidsOf(workers), (QStringList{"7", "12", "10", "8", "11"}));
        struct Expect { const char *uid; double dose; QJsonValue limit; bool near; };
        const Expect expect[] = {
            {"7", 17.0, 20.0, true}, {"12", 16.0, 20.0, false}, {"10", 8.5, 10.0, true}, {"8", 5.0, 20.0, false}, {"11", 3.0, QJsonValue(), false}};
        for (const Expect &e : expect) {
            const QJsonObject w = workerNamed(workers, QLatin1String(e.uid));
            QCOMPARE(w.value(QStringLiteral("dose")).toDouble(), e.dose);
            QCOMPARE(w.value(QStringLiteral("dose_limit")).toDouble(), e.limit.toDouble());
            QCOMPARE(w.value(QStringLiteral("dose_limit")).isNull(), e.limit.isNull());
            QCOMPARE(w.value(QStringLiteral("near")).toBool(), e.near);
        }
        // The same database feeds the events and one worker's doses.
        QCOMPARE(total(web, "kind=readout"), qint64(6 + 5));   // confirmed ones and one replaced per worker
        QCOMPARE(web.get("/api/worker?uid=7").json().value(QStringLiteral("doses")).toArray().size(), 2);
        QCOMPARE(web.get("/api/workers?year=1999").json().value(QStringLiteral("workers")).toArray().size(), 0);

        // The site's server gone: a clear error.
        cluster.stop();
        const WebReply gone = web.get("/api/workers");
        QCOMPARE(gone.status, 503);
        QVERIFY(gone.json().value(QStringLiteral("error")).toString().contains(QStringLiteral("База данных журнала")));
    }
};

QTEST_GUILESS_MAIN(TestConsoleRecords)
#include "tst_console_records.moc"
