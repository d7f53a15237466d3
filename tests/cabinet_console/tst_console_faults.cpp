// The console under faults and attacks, over real sockets: a controller that
// never answers, a reply lost in the middle of the calibration, two
// technicians in one wizard run, accounts changed while logged in, parallel
// and spread-out password guessing, slow clients, chunked and oversize
// requests, a foreign Host header.
#include "consoletest.h"
#include "simrack.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

QString errorOf(const WebReply &r)
{
    return r.json().value(QStringLiteral("error")).toString();
}

// A reply on a connection that ends after it says so, and nothing of keep-alive.
bool saysClose(const RawReply &r)
{
    return r.header("Connection") == "close" && r.header("Keep-Alive").empty();
}

// Every reply carries these, errors included.
bool hasSecurityHeaders(const RawReply &r)
{
    return !r.header("Content-Security-Policy").empty() && r.header("X-Content-Type-Options") == "nosniff"
        && r.header("X-Frame-Options") == "DENY" && !r.header("Cache-Control").empty();
}

// Replaces "NAME ROLE" at the start of the account's line, keeping its password string.
bool setRole(const QString &usersFile, const QString &name, const QString &role)
{
    QByteArray text = readBytes(usersFile);
    QList<QByteArray> lines = text.split('\n');
    bool found = false;
    for (QByteArray &line : lines) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 3 && f.at(0) == name.toUtf8()) {
            line = f.at(0) + ' ' + role.toUtf8() + ' ' + f.at(2);
            found = true;
        }
    }
    writeBytes(usersFile, lines.join('\n'));
    return found;
}

} // namespace

class TestConsoleFaults : public QObject
{
    Q_OBJECT

private:
    // A console whose controller port accepts and never answers.
    std::unique_ptr<ConsoleRig> m_rig;
    std::unique_ptr<FakeController> m_hung;

    std::string host() const { return "Host: 127.0.0.1:" + std::to_string(m_rig->consolePort) + "\r\n"; }

private slots:
    void initTestCase()
    {
        m_rig = std::make_unique<ConsoleRig>(4, QStringList{QStringLiteral("console_controller_timeout=1"),
                                                            QStringLiteral("dose_unit=мкЗв")});
        QVERIFY(m_rig->dir.isValid());
        m_hung = std::make_unique<FakeController>();
        m_hung->setMode(FakeController::Mode::Hang);
        m_rig->consoleTalksTo(m_hung->port());
        for (const char *name : {"tech2", "viewer2", "viewer3", "victim", "victim2"}) {
            const bool tech = QByteArray(name).startsWith("tech");
            QCOMPARE(addConsoleUser(m_rig->settings, QLatin1String(name),
                                    tech ? QStringLiteral("technician") : QStringLiteral("viewer"), "right-password"),
                     0);
        }
        QVERIFY(m_rig->start(false));
    }

    // 6 clicks at once (with the map's polls, within the 8 connections one
    // address may hold) against a controller that never answers: one waits
    // out the time-out, the others are refused at once; the map goes on.
    void hungControllerNeverBlocksTheMap()
    {
        WebClient web(m_rig->consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);
        std::mutex mutex;
        QList<int> statuses;
        QList<qint64> refusedAfter;
        QStringList timeoutTexts;
        std::vector<std::thread> clicks;
        for (int i = 0; i < 6; ++i) {
            clicks.emplace_back([&] {
                WebClient c(m_rig->consolePort);
                c.sessionCookie = web.sessionCookie;
                c.csrf = web.csrf;
                QElapsedTimer t;
                t.start();
                const WebReply r = c.post("/api/out", {});
                std::lock_guard<std::mutex> lock(mutex);
                statuses << r.status;
                if (r.status == 503)
                    refusedAfter << t.elapsed();
                if (r.status == 504)
                    timeoutTexts << errorOf(r);
            });
        }
        qint64 slowest = 0;
        int polls = 0;
        QElapsedTimer during;
        during.start();
        while (during.elapsed() < 2500) {
            QElapsedTimer t;
            t.start();
            QCOMPARE(web.get("/api/rack").status, 200);
            QCOMPARE(web.get("/api/calibration").status, 200);
            slowest = qMax(slowest, t.elapsed());
            ++polls;
            QTest::qWait(100);
        }
        for (std::thread &t : clicks)
            t.join();
        QVERIFY2(slowest < 1000, qPrintable(QString::number(slowest)));
        QVERIFY(polls > 10);
        QString seen;
        for (int s : statuses)
            seen += QString::number(s) + QLatin1Char(' ');
        QVERIFY2(statuses.count(504) == 1 && statuses.count(503) == 5, qPrintable(seen));
        for (qint64 ms : refusedAfter)
            QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
        QVERIFY2(timeoutTexts.value(0).contains(QStringLiteral("не ответил за 1 с")), qPrintable(timeoutTexts.value(0)));
        QCOMPARE(m_hung->requests(), 1);
        // The link stays busy while the controller holds the command: still no second one.
        const WebReply again = web.post("/api/out", {});
        QCOMPARE(again.status, 503);
        QVERIFY2(errorOf(again).contains(QStringLiteral("Контроллер занят")), qPrintable(errorOf(again)));
        QCOMPARE(m_hung->requests(), 1);
    }

    // The unit named once in the settings (UTF-8 in the file) and the zone reach every page.
    void unitsAndZoneOnPages()
    {
        WebClient web(m_rig->consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);
        for (const char *page : {"/", "/records", "/workers", "/worker?uid=1", "/dosimeter", "/calibration"}) {
            const QString html = QString::fromStdString(web.get(page).body);
            QVERIFY2(html.contains(QStringLiteral("<meta name=\"dose-unit\" content=\"мкЗв\">")), page);
            QVERIFY2(html.contains(QStringLiteral("<meta name=\"rate-unit\" content=\"мЗв/ч\">")), page);
            QVERIFY2(html.contains(QStringLiteral("Время стойки: ")), page);
        }
        QVERIFY(QString::fromStdString(web.get("/workers").body)
                    .contains(QStringLiteral("<th scope=\"col\">Доза, мкЗв</th><th scope=\"col\">Предел, мкЗв</th>")));
    }

    // The role is looked up on every request: a demoted or removed account
    // is refused at its next request, a promoted one gains at once.
    void rightsOnEveryRequest()
    {
        const QString users = m_rig->dir.filePath(QStringLiteral("users"));
        WebClient tech2(m_rig->consolePort), viewer2(m_rig->consolePort), viewer3(m_rig->consolePort);
        QCOMPARE(tech2.login(QStringLiteral("tech2"), QStringLiteral("right-password")), 200);
        QCOMPARE(viewer2.login(QStringLiteral("viewer2"), QStringLiteral("right-password")), 200);
        QCOMPARE(viewer3.login(QStringLiteral("viewer3"), QStringLiteral("right-password")), 200);
        QCOMPARE(tech2.post("/api/calibration/stop", {}).status, 200);
        QCOMPARE(viewer3.post("/api/calibration/stop", {}).status, 403);

        QVERIFY(setRole(users, QStringLiteral("tech2"), QStringLiteral("viewer")));
        const WebReply demoted = tech2.post("/api/calibration/stop", {});
        QCOMPARE(demoted.status, 401);
        QVERIFY2(errorOf(demoted).contains(QStringLiteral("Права учётной записи изменились")), demoted.body.c_str());
        QCOMPARE(tech2.get("/api/rack").status, 401);   // the session has ended, not only the role
        QCOMPARE(tech2.get("/").location, std::string("/login"));

        QByteArray out;
        QProcess remove;
        remove.start(QStringLiteral(CABINET_CONSOLE_BIN),
                     {QStringLiteral("--settings"), m_rig->settings, QStringLiteral("--remove-user"), QStringLiteral("viewer2")});
        QVERIFY(remove.waitForFinished(10000));
        QCOMPARE(remove.exitCode(), 0);
        const WebReply removed = viewer2.get("/api/rack");
        QCOMPARE(removed.status, 401);
        QVERIFY2(errorOf(removed).contains(QStringLiteral("удалена")), removed.body.c_str());

        QVERIFY(setRole(users, QStringLiteral("viewer3"), QStringLiteral("technician")));
        QCOMPARE(viewer3.post("/api/calibration/stop", {}).status, 200);
    }

    // Guesses sent in parallel are counted before the password is checked;
    // guesses spread over addresses meet the account's limit, which a new
    // password from the administrator lifts.
    void loginLimitsHold()
    {
        std::vector<std::thread> guesses;
        std::mutex mutex;
        QList<int> statuses;
        for (int i = 0; i < 30; ++i) {
            guesses.emplace_back([&] {
                const int s = rawLogin(m_rig->consolePort, "127.0.0.2", QStringLiteral("victim"), QStringLiteral("guess"));
                std::lock_guard<std::mutex> lock(mutex);
                statuses << s;
            });
        }
        for (std::thread &t : guesses)
            t.join();
        // 0: a connection over the 8 one address may hold, closed unanswered.
        QCOMPARE(statuses.count(401) + statuses.count(429) + statuses.count(0), 30);
        QVERIFY(statuses.count(429) >= 1);
        QVERIFY2(statuses.count(401) >= 1 && statuses.count(401) <= 5, qPrintable(QString::number(statuses.count(401))));
        QVERIFY(m_rig->console->waitForOutput("failed login from 127.0.0.2", 1000));
        QVERIFY2(m_rig->console->log().count("failed login from 127.0.0.2") <= 5, m_rig->console->log().constData());

        QStringList spread;
        for (int i = 10; i < 18; ++i)
            spread << QString::number(rawLogin(m_rig->consolePort, "127.0.0." + std::to_string(i), QStringLiteral("victim2"),
                                               QStringLiteral("guess")));
        QCOMPARE(spread.join(QLatin1Char(' ')), QStringLiteral("401 401 401 401 401 429 429 429"));
        QCOMPARE(rawLogin(m_rig->consolePort, "127.0.0.20", QStringLiteral("victim2"), QStringLiteral("right-password")), 429);
        QCOMPARE(addConsoleUser(m_rig->settings, QStringLiteral("victim2"), QStringLiteral("viewer"), "new-password"), 0);
        QCOMPARE(rawLogin(m_rig->consolePort, "127.0.0.21", QStringLiteral("victim2"), QStringLiteral("new-password")), 200);
    }

    // 16 clients from two addresses that send their heads a byte at a time
    // do not stop the map; a ninth connection from one of them is closed
    // unanswered.
    void slowClients()
    {
        std::atomic<bool> stop{false};
        std::vector<std::thread> slow;
        for (int i = 0; i < 16; ++i) {
            slow.emplace_back([&, i] {
                RawConnection c(m_rig->consolePort, i % 2 ? "127.0.0.3" : "127.0.0.4");
                c.send("GET /api/rack HTTP/1.1\r\n" + host());
                const std::string trickle = "X-Slow: " + std::string(100, 'x');
                for (size_t at = 0; !stop && at < trickle.size(); ++at) {
                    if (!c.send(trickle.substr(at, 1)))
                        break;
                    QThread::msleep(200);
                }
            });
        }
        QTest::qWait(300);
        {
            RawConnection ninth(m_rig->consolePort, "127.0.0.3");
            ninth.send("GET /login HTTP/1.1\r\n" + host() + "\r\n");
            const RawReply r = ninth.read(3000);
            QVERIFY2(r.status == 0 && r.closed, r.head.c_str());
        }
        WebClient web(m_rig->consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);
        for (int i = 0; i < 10; ++i) {
            QElapsedTimer t;
            t.start();
            QCOMPARE(web.get("/api/rack").status, 200);
            QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
            QTest::qWait(150);
        }
        stop = true;
        for (std::thread &t : slow)
            t.join();
    }

    // Bodies and heads the console never keeps: refused before they are read,
    // the connection ended, memory unchanged; the refusals carry the security headers.
    void oversizeRequests()
    {
        const qint64 pid = m_rig->console->process().processId();
        const qint64 before = residentKiB(pid);
        QVERIFY(before > 0);

        // A chunked body of 1 MiB.
        {
            RawConnection c(m_rig->consolePort);
            QVERIFY(c.send("POST /api/login HTTP/1.1\r\n" + host() + "Transfer-Encoding: chunked\r\n"
                           "Content-Type: application/json\r\n\r\n"));
            std::thread body([&c] {
                const std::string chunk = "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
                for (int i = 0; i < 16 && c.send(chunk); ++i) {
                }
                c.send("0\r\n\r\n");
            });
            const RawReply r = c.read();
            body.join();
            QCOMPARE(r.status, 411);
            QVERIFY(hasSecurityHeaders(r));
            QVERIFY(saysClose(r));
            QVERIFY(r.closed || c.waitClosed(3000));
        }
        // A declared 10 MiB body: 413 before any of it is sent.
        {
            RawConnection c(m_rig->consolePort);
            QVERIFY(c.send("POST /api/login HTTP/1.1\r\n" + host() + "Content-Length: 10485760\r\n\r\n"));
            const RawReply r = c.read();
            QCOMPARE(r.status, 413);
            QVERIFY(hasSecurityHeaders(r));
            QVERIFY(saysClose(r));
            QVERIFY(r.closed || c.waitClosed(3000));
        }
        // 40 000 headers, and a head of 21 KiB in three lines.
        struct Head { const char *name; std::string lines; };
        std::string many;
        for (int i = 0; i < 40000; ++i)
            many += "X-H" + std::to_string(i) + ": v\r\n";
        const std::string wide = "X-A: " + std::string(7000, 'a') + "\r\nX-B: " + std::string(7000, 'b')
                                 + "\r\nX-C: " + std::string(7000, 'c') + "\r\n";
        for (const Head &h : {Head{"many", many}, Head{"wide", wide}}) {
            RawConnection c(m_rig->consolePort);
            std::thread sender([&] { c.send("GET /login HTTP/1.1\r\n" + host() + h.lines + "\r\n"); });
            const RawReply r = c.read();
            sender.join();
            QVERIFY2(r.status == 431, h.name);
            QVERIFY2(hasSecurityHeaders(r), h.name);
            QVERIFY2(saysClose(r), h.name);
        }
        const qint64 after = residentKiB(pid);
        QVERIFY2(after - before <= 4096, qPrintable(QStringLiteral("%1 -> %2 KiB").arg(before).arg(after)));

        // Only the configured host names (by default the listen address and
        // localhost); a body the console refuses unread ends the connection,
        // so that it is never read as a request of its own.
        const std::string smuggled = "GET /api/session HTTP/1.1\r\n" + host() + "\r\n";
        const std::string carrying = "Content-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled;
        struct HostCase { std::string request; int status; };
        for (const HostCase &h : {HostCase{"GET /login HTTP/1.1\r\nHost: evil.example:" + std::to_string(m_rig->consolePort)
                                               + "\r\n\r\n", 421},
                                  HostCase{"GET /login HTTP/1.1\r\n\r\n", 421},
                                  HostCase{"POST /api/login HTTP/1.1\r\nHost: evil.example\r\n" + carrying, 421},
                                  HostCase{"GET /login HTTP/1.1\r\n" + host() + carrying, 400},
                                  HostCase{"GET /login HTTP/1.1\r\nHost: localhost:" + std::to_string(m_rig->consolePort)
                                               + "\r\n\r\n", 200},
                                  HostCase{"GET /login HTTP/1.1\r\n" + host() + "\r\n", 200}}) {
            RawConnection c(m_rig->consolePort);
            c.send(h.request);
            const RawReply r = c.read();
            QVERIFY2(r.status == h.status, h.request.c_str());
            QVERIFY(hasSecurityHeaders(r));
            QVERIFY2(saysClose(r) == (h.status != 200), r.head.c_str());
            if (h.status != 200) {
                const RawReply next = c.read(2000);
                QVERIFY2(next.status == 0 && next.closed, next.head.c_str());
            }
        }
    }

    // The wizard over the real controller with a stand-in in between: a
    // reply lost after the controller wrote hub.ini, a retry, two
    // technicians, a restart that must name what it replaces.
    void wizardSafeToRetryAndOwned()
    {
        ConsoleRig rig(3, {QStringLiteral("console_controller_timeout=1")});
        QVERIFY(rig.dir.isValid());
        QCOMPARE(addConsoleUser(rig.settings, QStringLiteral("tech2"), QStringLiteral("technician"), "tech2-password"), 0);
        FakeController link(rig.controllerPort);
        rig.consoleTalksTo(link.port());
        QVERIFY(rig.start());
        const QString hubFile = rig.dir.filePath(QStringLiteral("hub.ini"));
        WebClient tech(rig.consolePort), tech2(rig.consolePort);
        QCOMPARE(tech.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);
        QCOMPARE(tech2.login(QStringLiteral("tech2"), QStringLiteral("tech2-password")), 200);
        const QJsonObject restart{{QStringLiteral("restart"), true}};

        QCOMPARE(tech.post("/api/calibration/start", {}).status, 400);   // neither restart nor continue said
        QCOMPARE(tech.post("/api/calibration/start", restart).status, 200);
        // The other technician sees the run and cannot step, start or take it without saying so.
        const QJsonObject seen = tech2.get("/api/calibration").json();
        QCOMPARE(seen.value(QStringLiteral("owner")).toString(), QStringLiteral("tech"));
        QCOMPARE(seen.value(QStringLiteral("mine")).toBool(), false);
        const WebReply foreign = tech2.post("/api/calibration/step", {});
        QCOMPARE(foreign.status, 409);
        QVERIFY2(errorOf(foreign).contains(QStringLiteral("Калибровку ведёт tech")), foreign.body.c_str());
        QCOMPARE(tech2.post("/api/calibration/start", restart).status, 409);
        QCOMPARE(tech2.post("/api/calibration/stop", {}).status, 409);
        QCOMPARE(tech2.post("/api/calibration/takeover", {}).status, 400);

        // Cell 1: the controller writes, but its reply comes after the time-out.
        link.setMode(FakeController::Mode::Late, 1500);
        rig.rack->insert(2, 7001);
        std::atomic<qint64> slowestRead{0};
        std::atomic<bool> stepping{true};
        std::thread reader([&] {
            WebClient r(rig.consolePort);
            r.sessionCookie = tech2.sessionCookie;
            while (stepping) {
                QElapsedTimer t;
                t.start();
                r.get("/api/calibration");
                slowestRead = qMax<qint64>(slowestRead, t.elapsed());
            }
        });
        const WebReply lost = tech.post("/api/calibration/step", {});
        stepping = false;
        reader.join();
        QCOMPARE(lost.status, 504);
        QVERIFY2(slowestRead < 500, qPrintable(QString::number(slowestRead)));
        QTRY_COMPARE_WITH_TIMEOUT(readBytes(hubFile), (SimRack::hubId(2) + '\n').toUtf8(), 10000);
        const QByteArray written = readBytes(hubFile);
        // The retry finds its line there and sends nothing.
        link.setMode(FakeController::Mode::Pass);
        const WebReply retry = tech.post("/api/calibration/step", {});
        QCOMPARE(retry.status, 200);
        QCOMPARE(retry.json().value(QStringLiteral("step")).toObject().value(QStringLiteral("sent")).toBool(), false);
        QCOMPARE(retry.json().value(QStringLiteral("nextCell")).toInt(), 2);
        QCOMPARE(readBytes(hubFile), written);
        QCOMPARE(link.requests(), 1);
        // The link stays busy until the late reply's connection ends.
        QTRY_COMPARE_WITH_TIMEOUT(tech.get("/api/rack").json().value(QStringLiteral("controllerBusy")).toString(),
                                  QString(), 5000);

        // Cell 2: the reply is lost outright; hub.ini shows the step done.
        link.setMode(FakeController::Mode::Drop);
        rig.rack->insert(1, 7002);
        const WebReply dropped = tech.post("/api/calibration/step", {});
        QCOMPARE(dropped.status, 200);
        QCOMPARE(readBytes(hubFile), (SimRack::hubId(2) + '\n' + SimRack::hubId(1) + '\n').toUtf8());
        link.setMode(FakeController::Mode::Pass);

        // The other technician takes the run over, by saying so.
        const WebReply taken = tech2.post("/api/calibration/takeover", {{QStringLiteral("confirm"), true}});
        QCOMPARE(taken.status, 200);
        QCOMPARE(taken.json().value(QStringLiteral("owner")).toString(), QStringLiteral("tech2"));
        QCOMPARE(tech.post("/api/calibration/step", {}).status, 409);
        rig.rack->insert(3, 7003);
        const WebReply last = tech2.post("/api/calibration/step", {});
        QCOMPARE(last.status, 200);
        QCOMPARE(last.json().value(QStringLiteral("active")).toBool(), false);
        QVERIFY(last.json().value(QStringLiteral("message")).toString().startsWith(QStringLiteral("Карта полная")));
        const QByteArray full = readBytes(hubFile);
        QCOMPARE(full, (SimRack::hubId(2) + '\n' + SimRack::hubId(1) + '\n' + SimRack::hubId(3) + '\n').toUtf8());
        QCOMPARE(rig.controllerLog().count("\"command\":\"Init_hub_ini\""), 3);

        // "Continue" on a full map says so; a restart must name the lines it replaces.
        const WebReply more = tech.post("/api/calibration/start", {{QStringLiteral("restart"), false}});
        QCOMPARE(more.status, 200);
        QCOMPARE(more.json().value(QStringLiteral("complete")).toBool(), true);
        QCOMPARE(more.json().value(QStringLiteral("active")).toBool(), false);
        QVERIFY(more.json().value(QStringLiteral("message")).toString().startsWith(QStringLiteral("Карта полная")));
        const WebReply unconfirmed = tech.post("/api/calibration/start", restart);
        QCOMPARE(unconfirmed.status, 409);
        QVERIFY2(errorOf(unconfirmed).contains(QStringLiteral("все 3 строк")), unconfirmed.body.c_str());
        QCOMPARE(tech.post("/api/calibration/start", {{QStringLiteral("restart"), true}, {QStringLiteral("replaces"), 2}}).status,
                 409);
        QCOMPARE(readBytes(hubFile), full);
        const WebReply confirmed =
            tech.post("/api/calibration/start", {{QStringLiteral("restart"), true}, {QStringLiteral("replaces"), 3}});
        QCOMPARE(confirmed.status, 200);
        QCOMPARE(confirmed.json().value(QStringLiteral("nextCell")).toInt(), 1);
        QCOMPARE(readBytes(hubFile), full);   // nothing replaced before the first step
    }

    void cleanupTestCase()
    {
        m_rig.reset();
        m_hung.reset();
    }
};

QTEST_GUILESS_MAIN(TestConsoleFaults)
#include "tst_console_faults.moc"
