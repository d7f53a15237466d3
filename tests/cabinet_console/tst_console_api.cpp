// The console's API against the real controller on a simulated rack: the
// map follows an issue, a take, a return and its confirmation; service
// actions reach the state files only through the controller's commands,
// each carrying the account name; the calibration wizard builds hub.ini.
#include "consoletest.h"
#include "simrack.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QJsonObject cellOf(WebClient &web, int cell)
{
    const QJsonArray cells = web.get("/api/rack").json().value(QStringLiteral("cells")).toArray();
    return cells.at(cell - 1).toObject();
}

QString stateOf(WebClient &web, int cell)
{
    return cellOf(web, cell).value(QStringLiteral("state")).toString();
}

QString line(const QString &fileText, int cell)
{
    return fileText.split(QLatin1Char('\n')).value(cell - 1);
}

} // namespace

class TestConsoleApi : public QObject
{
    Q_OBJECT

private slots:
    void mapFollowsTheCycleAndServiceActions()
    {
        ConsoleRig rig(3);
        QVERIFY(rig.dir.isValid());
        QVERIFY(rig.placeDosimeters(3));
        QVERIFY(rig.start());
        WebClient web(rig.consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);

        const QJsonObject rackReply = web.get("/api/rack").json();
        QCOMPARE(rackReply.value(QStringLiteral("columns")).toInt(), 6);
        QCOMPARE(rackReply.value(QStringLiteral("count")).toInt(), 3);
        for (int cell = 1; cell <= 3; ++cell) {
            const QJsonObject c = cellOf(web, cell);
            QCOMPARE(c.value(QStringLiteral("state")).toString(), QStringLiteral("ready"));
            QCOMPARE(c.value(QStringLiteral("number")).toString(), QString::number(5000 + cell));
            QCOMPARE(c.value(QStringLiteral("word")).toString(), QStringLiteral("готов к выдаче"));
        }

        // Issue and take, through the controller.
        const QByteArray issued = rig.command(
            R"({"command":"IN_g","uid":"7001","uname":"ИВАНОВ","order":"Н-1","gdel":"1","gde2":"2","gderl":"3","gder2":"4"})");
        QVERIFY2(issued.contains("\"cell\":\"1\""), issued.constData());
        QCOMPARE(stateOf(web, 1), QStringLiteral("issued"));
        // A block would replace the issued dosimeter's line.
        const WebReply blockIssued = web.post("/api/cell/block", {{QStringLiteral("cell"), 1}, {QStringLiteral("text"), QStringLiteral("x")}});
        QCOMPARE(blockIssued.status, 409);
        QVERIFY(blockIssued.json().value(QStringLiteral("error")).toString().contains(QStringLiteral("ещё не забрали")));
        QVERIFY(rig.rack->remove(0));
        rig.command(R"({"command":"cell_free","nomer_ppd":"5001","cell":"1"})");
        QCOMPARE(stateOf(web, 1), QStringLiteral("empty"));

        // The worker brings it back: the console polls for returns.
        SimDosimeter back = rig.rack->state(1);
        back.number = 5001;
        back.userId = "7001";
        back.userOrder = simtext::encodeUser(QStringLiteral("ЦЕХ \"5\""));
        back.gammaDose = 0.25;
        back.gammaMaxRate = 1.5f;
        back.gammaMaxTime = 1234;
        back.history = SimRack::makeHistory(300);
        QCOMPARE(rig.rack->insert(1, back, 0), 0);
        const WebReply out = web.post("/api/out", {});
        QCOMPARE(out.status, 200);
        const QJsonObject outReply = out.json().value(QStringLiteral("reply")).toObject();
        QCOMPARE(outReply.value(QStringLiteral("c")).toString(), QStringLiteral("1"));
        const QJsonObject returned = cellOf(web, 1);
        QCOMPARE(returned.value(QStringLiteral("state")).toString(), QStringLiteral("returned"));
        const QJsonObject readings = returned.value(QStringLiteral("readings")).toObject();
        QCOMPARE(readings.value(QStringLiteral("u")).toString(), QStringLiteral("7001"));
        QCOMPARE(readings.value(QStringLiteral("duty")).toString(), QStringLiteral("ЦЕХ \"5\""));
        QCOMPARE(readings.value(QStringLiteral("n")).toString(), QStringLiteral("5001"));
        QCOMPARE(readings.value(QStringLiteral("d")).toString(), outReply.value(QStringLiteral("d")).toString());

        // History: 300 records of 16 bytes as hex.
        const WebReply history = web.post("/api/cell/history", {{QStringLiteral("cell"), 1}});
        QCOMPARE(history.status, 200);
        const QString hex = history.json().value(QStringLiteral("reply")).toObject()
                                .value(QStringLiteral("history_all")).toString();
        QCOMPARE(hex.size(), 300 * 32);
        QCOMPARE(hex.left(32), QString::fromLatin1(back.history.first().toHex()));

        // A block would replace the dose waiting for confirmation.
        const WebReply blockReturned = web.post("/api/cell/block", {{QStringLiteral("cell"), 1}, {QStringLiteral("text"), QStringLiteral("x")}});
        QCOMPARE(blockReturned.status, 409);
        QVERIFY(blockReturned.json().value(QStringLiteral("error")).toString().contains(QStringLiteral("ждёт подтверждения")));

        // Confirmation: only for the number the technician saw.
        QCOMPARE(web.post("/api/cell/confirm", {{QStringLiteral("cell"), 1}, {QStringLiteral("number"), QStringLiteral("5002")}}).status, 409);
        QCOMPARE(web.post("/api/cell/confirm", {{QStringLiteral("cell"), 2}, {QStringLiteral("number"), QStringLiteral("5002")}}).status, 409);
        QCOMPARE(stateOf(web, 1), QStringLiteral("returned"));
        const WebReply confirmed =
            web.post("/api/cell/confirm", {{QStringLiteral("cell"), 1}, {QStringLiteral("number"), QStringLiteral("5001")}});
        QCOMPARE(confirmed.status, 200);
        QCOMPARE(confirmed.json().value(QStringLiteral("error")).toString(), QString());
        const QJsonObject resting = cellOf(web, 1);
        QCOMPARE(resting.value(QStringLiteral("state")).toString(), QStringLiteral("resting"));
        const int left = resting.value(QStringLiteral("left")).toInt();
        QVERIFY2(left >= 20 && left <= 31, qPrintable(QString::number(left)));
        QVERIFY(rig.rack->state(0).userId.isEmpty());
        // Confirmed meanwhile (by the self-service attendant, say): refused as such, nothing sent.
        const WebReply twice =
            web.post("/api/cell/confirm", {{QStringLiteral("cell"), 1}, {QStringLiteral("number"), QStringLiteral("5001")}});
        QCOMPARE(twice.status, 409);
        QCOMPARE(twice.json().value(QStringLiteral("error")).toString(), QStringLiteral("Возврат уже подтвержден"));
        QCOMPARE(twice.json().value(QStringLiteral("already")).toBool(), true);

        // Block and unblock: the text reaches error.ini byte for byte.
        const QString evil = QStringLiteral("<img src=x onerror=alert(1)>");
        QCOMPARE(web.post("/api/cell/block", {{QStringLiteral("cell"), 2}, {QStringLiteral("text"), evil}}).status, 200);
        QCOMPARE(line(rig.file("/error.ini"), 2), evil);
        const QJsonObject blocked = cellOf(web, 2);
        QCOMPARE(blocked.value(QStringLiteral("state")).toString(), QStringLiteral("blocked"));
        QCOMPARE(blocked.value(QStringLiteral("text")).toString(), evil);
        QCOMPARE(web.post("/api/cell/unblock", {{QStringLiteral("cell"), 2}}).status, 200);
        QCOMPARE(line(rig.file("/error.ini"), 2), QString());
        QCOMPARE(stateOf(web, 2), QStringLiteral("resting"));   // re-registered now

        // Requests the console refuses before the controller sees them.
        struct Refusal { const char *path; QJsonObject body; int status; };
        const Refusal refusals[] = {
            {"/api/cell/unblock", {{QStringLiteral("cell"), 3}}, 409},
            {"/api/cell/block", {{QStringLiteral("cell"), 3}, {QStringLiteral("text"), QStringLiteral("   ")}}, 400},
            {"/api/cell/block", {{QStringLiteral("cell"), 0}, {QStringLiteral("text"), QStringLiteral("x")}}, 400},
            {"/api/cell/block", {{QStringLiteral("cell"), 4}, {QStringLiteral("text"), QStringLiteral("x")}}, 400},
            {"/api/cell/block", {{QStringLiteral("cell"), QStringLiteral("2x")}, {QStringLiteral("text"), QStringLiteral("x")}}, 400},
            {"/api/cell/block", {{QStringLiteral("cell"), 1.5}, {QStringLiteral("text"), QStringLiteral("x")}}, 400},
            {"/api/cell/history", {{QStringLiteral("cell"), 1}, {QStringLiteral("x"), 1}}, 200},
        };
        const QString errorBefore = rig.file("/error.ini");
        for (const Refusal &r : refusals)
            QVERIFY2(web.post(r.path, r.body).status == r.status, r.path);
        QCOMPARE(rig.file("/error.ini"), errorBefore);

        // Every service command named the account.
        const QByteArray log = rig.controllerLog();
        for (const char *command : {"cell_error", "OUT_Get_history", "OUT_true"}) {
            const QByteArray needle = QByteArray("\"command\":\"") + command + "\"";
            QVERIFY2(log.contains(needle), command);
        }
        QVERIFY(log.contains("\"operator\":\"tech\""));
        // out, history twice, the one confirmation that passed, block, unblock
        QCOMPARE(log.count("\"operator\":\"tech\""), 6);

        // A controller that is gone gives a clear error, not a hang.
        rig.controller.reset();
        const WebReply gone = web.post("/api/out", {});
        QCOMPARE(gone.status, 502);
        QVERIFY(gone.json().value(QStringLiteral("error")).toString().contains(QStringLiteral("Контроллер")));
        QCOMPARE(web.get("/api/rack").status, 200);
    }

    void calibrationWizard()
    {
        ConsoleRig rig(4);
        QVERIFY(rig.dir.isValid());
        QVERIFY(rig.start());
        WebClient web(rig.consolePort);
        QCOMPARE(web.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);
        const QString hubFile = rig.dir.filePath(QStringLiteral("hub.ini"));
        auto step = [&web] { return web.post("/api/calibration/step", {}); };
        auto errorOf = [](const WebReply &r) { return r.json().value(QStringLiteral("error")).toString(); };

        QCOMPARE(step().status, 409);   // not started
        QCOMPARE(web.post("/api/calibration/start", {{QStringLiteral("restart"), true}}).json()
                     .value(QStringLiteral("nextCell")).toInt(), 1);

        WebReply r = step();
        QCOMPARE(r.status, 409);
        QVERIFY(errorOf(r).contains(QStringLiteral("не обнаружен")));

        // Cell 1 is wired to USB position 2.
        const int first = rig.rack->insert(2, 7001);
        r = step();
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json().value(QStringLiteral("step")).toObject().value(QStringLiteral("hub")).toString(),
                 SimRack::hubId(2));
        QCOMPARE(readBytes(hubFile), (SimRack::hubId(2) + '\n').toUtf8());

        // Two new devices at once.
        const int a = rig.rack->insert(1, 7002);
        const int b = rig.rack->insert(3, 7003);
        r = step();
        QCOMPARE(r.status, 409);
        QVERIFY(errorOf(r).contains(QStringLiteral("больше одного")));
        QVERIFY(errorOf(r).contains(rig.rack->portPath(a)) && errorOf(r).contains(rig.rack->portPath(b)));
        QVERIFY(rig.rack->remove(b));
        r = step();
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json().value(QStringLiteral("step")).toObject().value(QStringLiteral("cell")).toInt(), 2);

        // A second dosimeter on a position already recorded (a miswired hub).
        const int twin = rig.rack->insert(2, 7004);
        r = step();
        QCOMPARE(r.status, 409);
        QVERIFY2(errorOf(r).contains(QStringLiteral("уже записан для ячейки 1")), qPrintable(errorOf(r)));
        QVERIFY(rig.rack->remove(twin));

        // A device whose position cannot be learnt.
        const int odd = rig.rack->insert(3, 7005);
        QVERIFY(rig.rack->setUdevOutput(odd, "garbage\n"));
        r = step();
        QCOMPARE(r.status, 409);
        QVERIFY(errorOf(r).contains(QStringLiteral("не удалось узнать")));
        QVERIFY(rig.rack->resetUdevOutput(odd));
        // Pulled out and plugged in again: it counts as new.
        r = step();
        QCOMPARE(r.status, 200);
        QCOMPARE(readBytes(hubFile),
                 (SimRack::hubId(2) + '\n' + SimRack::hubId(1) + '\n' + SimRack::hubId(3) + '\n').toUtf8());
        QCOMPARE(r.json().value(QStringLiteral("done")).toArray().size(), 3);

        // Going on later starts after the last line of hub.ini.
        QCOMPARE(web.post("/api/calibration/start", {{QStringLiteral("restart"), false}}).json()
                     .value(QStringLiteral("nextCell")).toInt(), 4);
        Q_UNUSED(first);
        QCOMPARE(rig.controllerLog().count("\"command\":\"Init_hub_ini\""), 3);
    }
};

QTEST_GUILESS_MAIN(TestConsoleApi)
#include "tst_console_api.moc"
