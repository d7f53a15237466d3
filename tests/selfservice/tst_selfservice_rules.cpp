// The rules of the self-service loop that need no running part: the
// thresholds from a worker's budget and their unit on the way to the
// controller (checked against the controller's own threshold text), what the
// controller's replies mean for the worker, the terminal's settings file, and
// what the attendant reads from the controller's replies, cell lines and
// journal.
#include "attendantsettings.h"
#include "issuesteps.h"
#include "journalcheck.h"
#include "journalstore.h"
#include "rackstatus.h"
#include "selfservice.h"
#include "thresholds.h"
#include "workflowsteps.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

controllerclient::Reply replyOf(const QByteArray &raw)
{
    controllerclient::Reply r;
    r.raw = raw;
    const QJsonDocument doc = QJsonDocument::fromJson(raw);
    r.status = doc.isObject() ? controllerclient::Reply::Status::Ok : controllerclient::Reply::Status::NotJson;
    r.object = doc.object();
    return r;
}

} // namespace

class TestSelfServiceRules : public QObject
{
    Q_OBJECT

private slots:
    void budgetThresholds_data()
    {
        QTest::addColumn<bool>("gammaNeutron");
        QTest::addColumn<double>("permitted");
        QTest::addColumn<double>("current");
        // gamma warning, alarm; neutron warning, alarm (site levels 1.5 and 3;
        // a gamma rack has no neutron budget and sends no neutron thresholds)
        QTest::addColumn<QVector<double>>("expected");
        QTest::newRow("plenty left: the site's levels") << false << 20.0 << 3.25 << QVector<double>{1.5, 3, 0, 0};
        QTest::newRow("less left than the alarm level") << false << 20.0 << 18.0 << QVector<double>{1.5, 2, 0, 0};
        QTest::newRow("little left: 80 % of it warns") << false << 20.0 << 19.0 << QVector<double>{0.8, 1, 0, 0};
        QTest::newRow("used up") << false << 20.0 << 20.0 << QVector<double>{0, 0, 0, 0};
        QTest::newRow("over the limit") << false << 20.0 << 20.5 << QVector<double>{0, 0, 0, 0};
        QTest::newRow("gamma-neutron: half each") << true << 20.0 << 19.0 << QVector<double>{0.4, 0.5, 0.4, 0.5};
        QTest::newRow("gamma-neutron, plenty left") << true << 20.0 << 0.0 << QVector<double>{1.5, 3, 1.5, 3};
        QTest::newRow("seventh digit rounded down") << false << 1.0 << 0.0000001 << QVector<double>{0.799999, 0.999999, 0, 0};
    }
    void budgetThresholds()
    {
        QFETCH(bool, gammaNeutron);
        QFETCH(double, permitted);
        QFETCH(double, current);
        QFETCH(QVector<double>, expected);
        const SiteLevels site;
        const IssueThresholds t = ::budgetThresholds(site, permitted, current, gammaNeutron);
        QCOMPARE(t.gamma.doseWarning, expected.at(0));
        QCOMPARE(t.gamma.doseAlarm, expected.at(1));
        QCOMPARE(t.neutron.doseWarning, expected.at(2));
        QCOMPARE(t.neutron.doseAlarm, expected.at(3));
        // Rates are the site's; the alarms never allow more than what is left.
        QCOMPARE(t.gamma.rateWarning, 0.1);
        QCOMPARE(t.gamma.rateAlarm, 0.2);
        const double left = remainingDose(permitted, current);
        QVERIFY(t.gamma.doseAlarm + (gammaNeutron ? t.neutron.doseAlarm : 0.0) <= left);
        QVERIFY(t.gamma.doseWarning <= t.gamma.doseAlarm);
    }

    // The request text, divided and written by the controller's own code,
    // gives exactly the rounded-down value, for any value.
    void requestTextThroughTheController()
    {
        QVector<double> values{1e-9, 0.0008, 0.001, 0.6, 0.75, 0.8, 1, 1.6, 3, 16.75, 16.8765551, 999999.5, 1234567,
                               2.5e-7, 0.1, 0.2, 1e6, 9.999995, 0.0999999};
        QRandomGenerator random(21);
        for (int i = 0; i < 100000; ++i)
            values << std::pow(10.0, random.bounded(12.0) - 6) * random.generateDouble();
        for (double v : values) {
            const double written = thresholdAsWritten(v);
            const QString onTheDosimeter = workflow::thresholdText(requestThresholdText(v));
            if (onTheDosimeter.toDouble() != written || written > v || written < v * (1 - 1.1e-5))
                QFAIL(qPrintable(QStringLiteral("%1: request %2 written as %3, expected %4")
                                     .arg(v, 0, 'g', 17).arg(requestThresholdText(v), onTheDosimeter)
                                     .arg(written, 0, 'g', 17)));
        }
        QCOMPARE(requestThresholdText(16.75), QStringLiteral("16750"));
        QCOMPARE(requestThresholdText(0), QStringLiteral("0"));
        QCOMPARE(requestThresholdText(-1), QStringLiteral("0"));
    }

    void issueRequest_data()
    {
        QTest::addColumn<QString>("rackType");
        QTest::addColumn<QString>("order");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("gamma, default order") << QStringLiteral("1300") << QString()
            << QByteArray(R"({"command":"IN_g","gde2":"3000","gdel":"1500","gder2":"200","gderl":"100",)"
                          R"("order":"БЕЗ НАРЯДА","uid":"2101","uname":"ТЕСТОВ Т.Т."})");
        QTest::newRow("gamma-neutron, typed order") << QStringLiteral("1300GN") << QStringLiteral("4711")
            << QByteArray(R"({"command":"IN_gn","gde2":"3000","gdel":"1500","gder2":"200","gderl":"100",)"
                          R"("nde2":"3000","ndel":"1500","nder2":"200","nderl":"100",)"
                          R"("order":"4711","uid":"2101","uname":"ТЕСТОВ Т.Т."})");
    }
    void issueRequest()
    {
        QFETCH(QString, rackType);
        QFETCH(QString, order);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("s.ini"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[SelfService]\ncontroller=127.0.0.1:6000\nrack_type=" + rackType.toLatin1() + "\n");
        f.close();
        const SelfServiceSettings s = SelfServiceSettings::fromFile(file);
        const IssueThresholds t = ::budgetThresholds(s.levels, 20, 0, s.gammaNeutron);
        const QJsonObject r = ::issueRequest(s, QStringLiteral("2101"), ::dosimeterName(QStringLiteral("Тестов\nТест\nТестович")).toUpper(),
                                             order, t);
        QCOMPARE(QJsonDocument(r).toJson(QJsonDocument::Compact), expected);
    }

    void dosimeterName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("surname and initials") << QStringLiteral("Петров\nПётр\nПетрович") << QStringLiteral("Петров П.П.");
        QTest::newRow("no patronymic") << QStringLiteral("Ли\nАнна\n") << QStringLiteral("Ли А.");
        QTest::newRow("cut to 20") << QStringLiteral("Константинопольский\nИван\nИванович")
                                   << QStringLiteral("Константинопольский ");
    }
    void dosimeterName()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(::dosimeterName(name), expected);
    }

    void budgetRefusal_data()
    {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<double>("current");
        QTest::addColumn<QString>("expected");
        QTest::newRow("may go") << QStringLiteral("2101") << 19.999 << QString();
        QTest::newRow("no identifier") << QString() << 0.0 << IssueText::NoIdentifier;
        QTest::newRow("identifier the dosimeter would cut") << QStringLiteral("123456789012345678901") << 0.0
                                                            << IssueText::IdentifierTooLong;
        QTest::newRow("nothing left") << QStringLiteral("2101") << 20.0
                                      << QStringLiteral("Годовая доза исчерпана: получено 20.000 из 20.000 мЗв Тестов\nТ\nТ");
    }
    void budgetRefusal()
    {
        QFETCH(QString, uid);
        QFETCH(double, current);
        QFETCH(QString, expected);
        WorkerBudget b;
        b.read = b.found = true;
        b.uid = uid;
        b.permitted = 20;
        b.current = current;
        QCOMPARE(::budgetRefusal(b, QStringLiteral("мЗв"), QStringLiteral("Тестов\nТ\nТ")), expected);
    }

    // What each reply of the issue command means for the worker.
    void issueReply_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("cell");
        QTest::addColumn<QString>("notice");
        using S = controllerclient::Reply::Status;
        QTest::newRow("issued") << int(S::Ok)
            << QByteArray(R"({"comand":"IN_g","nomer_pdd":"5001","port":"/dev/ttyACM3","cell":"4","error":""})") << 4
            << QString();
        QTest::newRow("issued, a state file not written") << int(S::Ok)
            << QByteArray(R"({"comand":"IN_g","nomer_pdd":"5001","port":"p","cell":"2","error":"Ошибка записи error.ini"})")
            << 2 << QString();
        QTest::newRow("no rested dosimeter") << int(S::Ok) << QByteArray(R"({"error":"no_cell"})") << 0
                                             << IssueText::NoDosimeter;
        QTest::newRow("critical error, raw line feeds")
            << int(S::Ok)
            << QByteArray("{\"error\":\"Произошла критическая ошибка при выдачи дозиметра \n повторите операцию \n x\"}")
            << 0 << IssueText::IssueFailed;
        QTest::newRow("refused connection") << int(S::NotConnected) << QByteArray() << 0 << IssueText::NoController;
        QTest::newRow("silence") << int(S::NoReply) << QByteArray() << 0 << IssueText::ControllerSilent;
        QTest::newRow("garbage") << int(S::NotJson) << QByteArray("{\"cell\":") << 0 << IssueText::ControllerGarbled;
    }
    void issueReply()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, raw);
        QFETCH(int, cell);
        QFETCH(QString, notice);
        controllerclient::Reply reply = replyOf(raw);
        reply.status = controllerclient::Reply::Status(status);
        const IssueResult r = interpretIssueReply(reply);
        QCOMPARE(r.issued, cell > 0);
        QCOMPARE(r.cell, cell);
        QCOMPARE(r.notice, notice);
        QCOMPARE(interpretCellFree(replyOf(R"({"cell":"free","error":""})")), TakeState::Taken);
        QCOMPARE(interpretCellFree(replyOf(R"({"cell":"","error":""})")), TakeState::InCell);
    }

    // The terminal's own settings file: values taken, bad ones named and left
    // at their defaults; Cyrillic texts as a site writes them (UTF-8).
    void settingsFile()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("s.ini"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[SelfService]\ncontroller=rack.local:6001\nrack_type=1300GN\nannual_dose_key=card_id\n"
                "order=ЦЕХ 5\ndose_unit=мкЗв\ndose_alarm=2.5\nneutron_dose_alarm=x\nwarning_share=1.5\n"
                "take_timeout=90\norder_keypad=on\n");
        f.close();
        const SelfServiceSettings s = SelfServiceSettings::fromFile(file);
        QVERIFY(s.enabled());
        QCOMPARE(s.controller.text(), QStringLiteral("rack.local:6001"));
        QVERIFY(s.gammaNeutron);
        QVERIFY(s.orderKeypad);
        QCOMPARE(s.annualDoseKey, QStringLiteral("card_id"));
        QCOMPARE(s.defaultOrder, QStringLiteral("ЦЕХ 5"));
        QCOMPARE(s.doseUnit, QStringLiteral("мкЗв"));
        QCOMPARE(s.levels.gamma.doseAlarm, 2.5);
        QCOMPARE(s.levels.neutron.doseAlarm, 3.0);
        QCOMPARE(s.levels.warningShare, 0.8);
        QCOMPARE(s.takeTimeoutMs, 90000);
        // An issue queued behind the attendant's longest wait is still waited for.
        QVERIFY(s.issueTimeoutMs > AttendantSettings().replyTimeoutMs);
        QCOMPARE(s.problems.size(), 2);
        QVERIFY(!SelfServiceSettings::fromFile(dir.filePath(QStringLiteral("none.ini"))).enabled());
        // From the environment: an empty controller address is none (the
        // file's stands), an empty file name is no file.
        qputenv(SelfServiceSettings::FileVariable, file.toLocal8Bit());
        qputenv(SelfServiceSettings::ControllerVariable, QByteArray());
        QCOMPARE(SelfServiceSettings::load().controller.text(), QStringLiteral("rack.local:6001"));
        qputenv(SelfServiceSettings::ControllerVariable, "10.0.0.5:6002");
        QCOMPARE(SelfServiceSettings::load().controller.text(), QStringLiteral("10.0.0.5:6002"));
        qputenv(SelfServiceSettings::FileVariable, QByteArray());
        qputenv(SelfServiceSettings::ControllerVariable, QByteArray());
        QVERIFY(!SelfServiceSettings::load().enabled());
        controllerclient::Address a;
        QVERIFY(controllerclient::parseAddress(QStringLiteral("[::1]:6000"), &a));
        QCOMPARE(a.host, QStringLiteral("::1"));
        QVERIFY(!controllerclient::parseAddress(QStringLiteral("host:0"), &a));
        QVERIFY(!controllerclient::parseAddress(QStringLiteral("::1:6000"), &a));
    }

    // Returns waiting for confirmation, as the attendant finds them in the cells' lines.
    void waitingLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QString>("gamma");
        QTest::addColumn<QString>("neutron");
        QTest::newRow("gamma") << QStringLiteral("Ждет подтвержения сдачи OUT:1300,c:2,d:0.000123000,r:1.500000000,"
                                                 "tm:1234,tw:0,u:7001,duty:ЦЕХ 5,n:12345,error:")
                               << "12345" << "7001" << "0.000123000" << "";
        QTest::newRow("gamma-neutron") << QStringLiteral("Ждет подтвержения сдачи OUT:1300GN,c:6,d:0.25,r:1.5,tm:12,"
                                                         "dn:0.5,rn:0.25,tmn:77,tw:0,u:AB12,duty:X,n:402,error:")
                                       << "402" << "AB12" << "0.25" << "0.5";
        QTest::newRow("a work order with ,n: in it") << QStringLiteral("Ждет подтвержения сдачи OUT:1300,c:1,d:1,r:1,"
                                                                       "tm:1,tw:0,u:7,duty:A,n:9,B,n:77,error:")
                                                     << "77" << "7" << "1" << "";
        QTest::newRow("a worker id with a comma") << QStringLiteral("Ждет подтвержения сдачи OUT:1300,c:3,d:0.5,r:1,"
                                                                     "tm:1,tw:0,u:70,01,duty:ЦЕХ, 5,n:88,error:")
                                                  << "88" << "70,01" << "0.5" << "";
        QTest::newRow("issued, not returned") << QStringLiteral("Дозиметр ожидает, чтобы его забрали") << "" << "" << ""
                                              << "";
        QTest::newRow("no number") << QStringLiteral("Ждет подтвержения сдачи OUT:1300,c:1,d:1,error:") << "" << ""
                                   << "" << "";
    }
    void waitingLine()
    {
        QFETCH(QString, line);
        QFETCH(QString, number);
        QFETCH(QString, uid);
        QFETCH(QString, gamma);
        QFETCH(QString, neutron);
        ReturnReadings r;
        QCOMPARE(readingsFromWaitingLine(line, &r), !number.isEmpty());
        if (number.isEmpty())
            return;
        QCOMPARE(r.number, number);
        QCOMPARE(r.uid, uid);
        QCOMPARE(r.gammaDose, gamma);
        QCOMPARE(r.neutronDose, neutron);
    }

    // Whether the attendant finds a read-out in the journal: the latest one
    // of the dosimeter in the cell, unless a later row erased the dosimeter
    // by the journal's counting rule. Rows: kind[:erased] ("" is NULL, as
    // on rows older than the mark), number 7 in cell 2 unless said.
    void journalReadout_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<qint64>("seq");   // the row found, 0: none
        QTest::newRow("read out") << QStringList{"issue:1", "readout"} << qint64(2);
        QTest::newRow("the latest of two") << QStringList{"readout", "readout"} << qint64(2);
        QTest::newRow("confirmed") << QStringList{"readout", "confirm:1"} << qint64(0);
        QTest::newRow("a failed confirmation whose reset went ahead") << QStringList{"readout", "not_confirmed:1"}
                                                                       << qint64(0);
        QTest::newRow("a confirmation refused before the reset") << QStringList{"readout", "not_confirmed:0"}
                                                                  << qint64(1);
        QTest::newRow("an unblock that erased nothing") << QStringList{"readout", "cell_unblock:0"} << qint64(1);
        QTest::newRow("an older confirmation row") << QStringList{"readout", "confirm:"} << qint64(0);
        QTest::newRow("read out again after it") << QStringList{"readout", "confirm:1", "readout"} << qint64(3);
        QTest::newRow("another dosimeter erased") << QStringList{"readout", "confirm:1:8"} << qint64(1);
        QTest::newRow("read out in another cell") << QStringList{"readout:-:7:3"} << qint64(0);
    }
    void journalReadout()
    {
        QFETCH(QStringList, rows);
        QFETCH(qint64, seq);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
        {
            JournalStore store(path, QStringLiteral("rules"));
            QVector<JournalRow> written;
            for (const QString &r : rows) {
                const QStringList f = r.split(QLatin1Char(':'));
                JournalRow row{{QStringLiteral("kind"), f.at(0)},
                               {QStringLiteral("number"), f.value(2, QStringLiteral("7"))},
                               {QStringLiteral("cell"), f.value(3, QStringLiteral("2")).toInt()}};
                if (f.size() > 1 && !f.at(1).isEmpty() && f.at(1) != QLatin1String("-"))
                    row.insert(QStringLiteral("erased"), f.at(1).toInt());
                written << row;
            }
            QVERIFY(store.append(written));
        }
        const JournalReadout found = findReadout(path, QStringLiteral("7"), 2, QString());
        QCOMPARE(found.found, seq > 0);
        QCOMPARE(found.seq, seq);
        if (seq == 0)
            QCOMPARE(found.failure, QStringLiteral("в журнале нет показаний дозиметра 7 из ячейки 2"));
    }

    // The controller's replies the attendant reads.
    void controllerReplies()
    {
        QVector<CellStatus> cells;
        QVERIFY(parseRackStatus(replyOf(R"({"cell_sensor": [0, 0, 0], "cell_port": ["/dev/ttyACM0", "", ""], )"
                                        R"("cell_error": ["", "Ждет подтвержения сдачи OUT:1300", "error:Произошла )"
                                        R"(критическая ошибка при Сдаче дозиметра Ошибка чтение ЭД гамма"], "error":""})")
                                    .object,
                                &cells));
        QCOMPARE(cells.size(), 3);
        QCOMPARE(cells.at(0).port, QStringLiteral("/dev/ttyACM0"));
        QVERIFY(!isFailedReadout(cells.at(1).line));
        QVERIFY(isFailedReadout(cells.at(2).line));
        QVERIFY(!parseRackStatus(replyOf(R"({"error":"не JSON"})").object, &cells));

        ReturnReadings r;
        QVERIFY(readingsFromOut(replyOf(R"({"OUT":"1300","c":"4","d":"0.250000000","r":"0.05","tm":"600","tw":"0",)"
                                        R"("u":"2101","duty":"ЦЕХ 1","n":"5001","error":""})")
                                    .object,
                                &r));
        QCOMPARE(readingsText(r), QStringLiteral("дозиметр 5001, работник 2101, ЭД 0.250000000"));
        QVERIFY(!readingsFromOut(replyOf(R"({"OUT":"","error":""})").object, &r));
        const QJsonObject failure =
            replyOf("{\"error\":\"Произошла критическая ошибка при Сдаче дозиметра \n Ошибка чтение ЭД гамма\"}").object;
        QVERIFY(isReadoutFailureReply(failure));
        QVERIFY(!isReadoutFailureReply(replyOf(R"({"OUT":"","error":"Ошибка записи port.ini"})").object));
    }
};

QTEST_MAIN(TestSelfServiceRules)
#include "tst_selfservice_rules.moc"
