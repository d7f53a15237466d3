// The rows each served command adds to the journal, read from its request,
// its reply, the rack's lines before and after it and the reset the check
// before a reset let go ahead; issue rows as the dosimeter holds them (the
// controller's own write rules); the read-out a waiting line records.
#include "commandrows.h"
#include "textcodec.h"
#include "workflowsteps.h"

#include <QtTest>

using Rows = QVector<JournalRow>;
Q_DECLARE_METATYPE(RackLines)
Q_DECLARE_METATYPE(Rows)
Q_DECLARE_METATYPE(Erasure)

namespace {

RackLines lines(const QStringList &numbers, const QStringList &ports, const QStringList &errors = {})
{
    QStringList e = errors;
    while (e.size() < numbers.size())
        e << QString();
    return {numbers, ports, e};
}

const QString kPort1 = QStringLiteral("/r/ttyACM1");
const QString kPort2 = QStringLiteral("/r/ttyACM2");
const QString kPort3 = QStringLiteral("/r/ttyACM3");

// Compares the columns an expected row names (NULL: an invalid QVariant).
QString mismatch(const JournalRow &actual, const JournalRow &expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QVariant a = actual.value(it.key());
        const bool same = it.value().isValid() ? (a.isValid() && a.toString() == it.value().toString())
                                               : (!a.isValid() || a.isNull());
        if (!same)
            return QStringLiteral("%1: got \"%2\", expected \"%3\"")
                .arg(it.key(), a.toString(), it.value().isValid() ? it.value().toString() : QStringLiteral("NULL"));
    }
    return QString();
}

} // namespace

class TestCommandRows : public QObject
{
    Q_OBJECT

private slots:
    void rowsOfCommands_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<RackLines>("before");
        QTest::addColumn<RackLines>("after");
        QTest::addColumn<Erasure>("erasure");
        QTest::addColumn<Rows>("expected");

        const QVariant null;
        const Erasure none;
        const Erasure erased402{true, 1, QStringLiteral("402")};
        const RackLines two = lines({QStringLiteral("401"), QStringLiteral("402")}, {kPort1, kPort2});
        const RackLines empty2 = lines({QString(), QString()}, {QString(), QString()});
        const QString issue = QStringLiteral(
            "{\"command\":\"IN_g\",\"uid\":\"ab12\",\"uname\":\"иванов\",\"order\":\"цех 5\",\"gdel\":\"1500\","
            "\"gde2\":\"25\",\"gderl\":\"x\",\"gder2\":200,\"operator\":\"smena1\"}");

        QTest::newRow("IN_g issued")
            << issue
            << QStringLiteral("{\"comand\":\"IN_g\",\"nomer_pdd\":\"402\",\"port\":\"/r/ttyACM2\",\"cell\":\"2\",\"error\":\"\"}")
            << two << two << erased402
            // Thresholds as the frames carry them: divided by 1000; "x" and a
            // number that is no text are sent as 0.
            << Rows{{{"kind", "issue"}, {"command", "IN_g"}, {"cell", 2}, {"number", "402"}, {"port", kPort2},
                     {"uid", "AB12"}, {"uname", "ИВАНОВ"}, {"work_order", "ЦЕХ 5"}, {"gdel", 1.5}, {"gde2", 0.025},
                     {"gderl", 0.0}, {"gder2", 0.0}, {"ndel", null}, {"threshold_unit", "dosimeter"}, {"erased", 1},
                     {"outcome", ""}, {"operator", "smena1"}}};
        QTest::newRow("IN_g: texts cut as the frames cut them")
            << QStringLiteral("{\"command\":\"IN_g\",\"uid\":\"abcdefghij0123456789xyzuv\",\"uname\":\"сидорова-петрова анна\","
                              "\"order\":\"ёлка\",\"gdel\":\"1234567\"}")
            << QStringLiteral("{\"comand\":\"IN_g\",\"nomer_pdd\":\"402\",\"port\":\"/r/ttyACM2\",\"cell\":\"2\",\"error\":\"\"}")
            << two << two << erased402
            << Rows{{{"uid", "ABCDEFGHIJ0123456789"}, {"uname", "СИДОРОВА-ПЕТРОВА АНН"}, {"work_order", "ЁЛКА"},
                     {"gdel", 1234.57}, {"erased", 1}}};
        QTest::newRow("IN_gn failed after its reset: names the dosimeter it reset")
            << QStringLiteral("{\"command\":\"IN_gn\",\"uid\":\"7\",\"ndel\":\"1500\",\"nder2\":\"4\"}")
            << QStringLiteral("{\"error\":\"Произошла критическая ошибка при выдачи дозиметра \n повторите операцию \n X\"}")
            << two << two << erased402
            << Rows{{{"kind", "issue"}, {"cell", 2}, {"number", "402"}, {"uid", "7"}, {"ndel", 1.5}, {"nder2", 0.004},
                     {"erased", 1}, {"outcome", "Произошла критическая ошибка при выдачи дозиметра \n повторите операцию \n X"},
                     {"operator", ""}}};
        QTest::newRow("IN_g refused before its reset")
            << QStringLiteral("{\"command\":\"IN_g\",\"uid\":\"7\"}")
            << QStringLiteral("{\"error\":\"Произошла критическая ошибка при выдачи дозиметра \n повторите операцию \n "
                              "Сброс дозиметра 402 не выполнен\"}")
            << two << two << none << Rows{{{"kind", "issue"}, {"cell", null}, {"number", ""}, {"erased", null}}};
        QTest::newRow("IN_g: no cell") << QStringLiteral("{\"command\":\"IN_g\",\"uid\":\"7\"}")
                                       << QStringLiteral("{\"error\":\"no_cell\"}") << two << two << none
                                       << Rows{{{"kind", "issue"}, {"number", ""}, {"erased", null}}};
        QTest::newRow("OUT with nothing back and nothing changed: no row")
            << QStringLiteral("{\"command\":\"OUT\"}") << QStringLiteral("{\"OUT\":\"\",\"error\":\"\"}") << two
            << two << none << Rows{};
        QTest::newRow("OUT whose check blanks a cell")
            << QStringLiteral("{\"command\":\"OUT\"}") << QStringLiteral("{\"OUT\":\"\",\"error\":\"\"}") << two
            << lines({QStringLiteral("401"), QString()}, {kPort1, QString()})
            << none << Rows{{{"kind", "unregistered"}, {"command", "OUT"}, {"cell", 2}, {"number", "402"}, {"port", kPort2}}};
        QTest::newRow("OUT that could not write its files")
            << QStringLiteral("{\"command\":\"OUT\"}")
            << QStringLiteral("{\"OUT\":\"\",\"error\":\"Ошибка записи nomer_ppd.ini, port.ini\"}") << two << two
            << none << Rows{{{"kind", "scan_error"}, {"outcome", "Ошибка записи nomer_ppd.ini, port.ini"}}};
        QTest::newRow("OUT read-out, gamma, with a fresh dosimeter registered on the way")
            << QStringLiteral("{\"command\":\"OUT\"}")
            << QStringLiteral("{\"OUT\":\"1300\",\"c\":\"3\",\"d\":\"0.000123000\",\"r\":\"1.500000000\",\"tm\":\"1234\","
                              "\"tw\":\"0\",\"u\":\"AB12\",\"duty\":\"ЦЕХ 5\",\"n\":\"702\",\"error\":\"\"}")
            << lines({QString(), QString(), QString()}, {QString(), QString(), QString()})
            << lines({QStringLiteral("501"), QString(), QStringLiteral("702")}, {kPort1, QString(), kPort3},
                     {QString(), QString(), QStringLiteral("Ждет подтвержения сдачи OUT:1300")})
            << none << Rows{{{"kind", "readout"}, {"cell", 3}, {"number", "702"}, {"port", kPort3}, {"uid", "AB12"},
                     {"work_order", "ЦЕХ 5"}, {"dosimeter_type", "1300"}, {"dose_gamma", 0.000123},
                     {"rate_gamma", 1.5}, {"rate_gamma_time", 1234}, {"dose_neutron", null}, {"outcome", ""},
                     {"source", "scan"}, {"erased", null}},
                    {{"kind", "registered"}, {"cell", 1}, {"number", "501"}, {"port", kPort1}}};
        QTest::newRow("OUT read-out, gamma and neutron")
            << QStringLiteral("{\"command\":\"OUT\"}")
            << QStringLiteral("{\"OUT\":\"1300GN\",\"c\":\"1\",\"d\":\"1\",\"r\":\"2\",\"tm\":\"3\",\"dn\":\"0.5\","
                              "\"rn\":\"0.25\",\"tmn\":\"77\",\"tw\":\"0\",\"u\":\"U\",\"duty\":\"D\",\"n\":\"9\",\"error\":\"\"}")
            << lines({QString()}, {QString()}) << lines({QStringLiteral("9")}, {kPort1})
            << none << Rows{{{"kind", "readout"}, {"dosimeter_type", "1300GN"}, {"dose_neutron", 0.5}, {"rate_neutron", 0.25},
                     {"rate_neutron_time", 77}, {"port", kPort1}}};
        QTest::newRow("OUT read-out failed: the cell is the one newly marked")
            << QStringLiteral("{\"command\":\"OUT\"}")
            << QStringLiteral("{\"error\":\"Произошла критическая ошибка при Сдаче дозиметра \n Ошибка чтение ЭД гамма\"}")
            << lines({QString(), QString()}, {QString(), QString()})
            << lines({QString(), QStringLiteral("88")}, {QString(), kPort2},
                     {QString(), QStringLiteral("error:Произошла критическая ошибка при Сдаче дозиметра Ошибка")})
            << none << Rows{{{"kind", "readout_failed"}, {"cell", 2}, {"number", "88"}, {"port", kPort2},
                     {"outcome", "Произошла критическая ошибка при Сдаче дозиметра \n Ошибка чтение ЭД гамма"}}};

        const QString confirm = QStringLiteral("{\"command\":\"OUT_true\",\"nomer_ppd\":\"402\",\"cell\":\"2\",\"error\":\"%1\"}");
        QTest::newRow("OUT_true confirmed")
            << confirm.arg(QString()) << QStringLiteral("{\"error\":\"\"}") << two << two << erased402
            << Rows{{{"kind", "confirm"}, {"cell", 2}, {"number", "402"}, {"port", kPort2}, {"outcome", ""}, {"erased", 1}}};
        QTest::newRow("OUT_true whose reset failed part-way: not confirmed, but erased")
            << confirm.arg(QString())
            << QStringLiteral("{\"error\":\"ошибка установки сервисного режима работы дозиметра\"}") << two << two
            << erased402 << Rows{{{"kind", "not_confirmed"}, {"number", "402"}, {"erased", 1}}};
        QTest::newRow("OUT_true refused before its reset")
            << confirm.arg(QString()) << QStringLiteral("{\"error\":\"Сброс дозиметра 402 не выполнен\"}") << two
            << two << none << Rows{{{"kind", "not_confirmed"}, {"number", "402"}, {"erased", 0}}};
        QTest::newRow("OUT_true finds another dosimeter: not confirmed")
            << confirm.arg(QString()) << QStringLiteral("{\"error\":\"\"}") << two
            << lines({QStringLiteral("401"), QString()}, {kPort1, QString()})
            << none << Rows{{{"kind", "not_confirmed"}, {"cell", 2}, {"number", "402"}}};
        QTest::newRow("OUT_true with an error text from the client")
            << confirm.arg(QStringLiteral("не сдан")) << QStringLiteral("{\"error\":\"\"}") << two << two
            << none << Rows{{{"kind", "not_confirmed"}, {"note", "не сдан"}, {"erased", 0}}};
        QTest::newRow("OUT_true without a device")
            << confirm.arg(QString()) << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << two << empty2
            << none << Rows{{{"kind", "not_confirmed"}, {"port", kPort2}}};
        QTest::newRow("OUT_true whose files could not be written")
            << confirm.arg(QString()) << QStringLiteral("{\"error\":\"Ошибка записи error.ini\"}") << two << two
            << none << Rows{{{"kind", "not_confirmed"}, {"outcome", "Ошибка записи error.ini"}}};
        QTest::newRow("OUT_Get_history")
            << QStringLiteral("{\"command\":\"OUT_Get_history\",\"nomer_ppd\":\"402\",\"cell\":\"2\",\"error\":\"E\"}")
            << QStringLiteral("{\"history_all\": \"00ff\",\"error\":\"E\"}") << two << two
            << none << Rows{{{"kind", "history"}, {"cell", 2}, {"number", "402"}, {"port", kPort2}, {"history", "00ff"},
                     {"outcome", "E"}}};
        QTest::newRow("cell_free with a cell out of range")
            << QStringLiteral("{\"command\":\"cell_free\",\"nomer_ppd\":\"5\",\"cell\":\"x\"}")
            << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << two << two
            << none << Rows{{{"kind", "freed"}, {"cell", null}, {"number", "5"}, {"port", ""}, {"note", null}}};
        QTest::newRow("cell_free: the dosimeter still answers from its cell")
            << QStringLiteral("{\"command\":\"cell_free\",\"nomer_ppd\":\"402\",\"cell\":\"2\"}")
            << QStringLiteral("{\"cell\":\"\",\"error\":\"\"}") << two << two
            << none << Rows{{{"kind", "still_there"}, {"cell", 2}, {"number", "402"}, {"port", kPort2}}};
        QTest::newRow("cell_error block")
            << QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"Ячейка неисправна\"}")
            << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << two << two
            << none << Rows{{{"kind", "cell_block"}, {"cell", 1}, {"number", "401"}, {"port", kPort1},
                     {"note", "Ячейка неисправна"}, {"erased", null}}};
        QTest::newRow("cell_error unblock registers again")
            << QStringLiteral("{\"command\":\"cell_error\",\"port\":\"/r/ttyACM3\",\"cell\":\"1\",\"block\":\"\"}")
            << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << two
            << lines({QStringLiteral("777"), QStringLiteral("402")}, {kPort3, kPort2})
            << Erasure{true, 0, QStringLiteral("777")}
            << Rows{{{"kind", "cell_unblock"}, {"cell", 1}, {"number", "777"}, {"port", kPort3}, {"note", ""}, {"erased", 1}}};
        QTest::newRow("cell_error unblock of a dosimeter that did not say its number")
            << QStringLiteral("{\"command\":\"cell_error\",\"port\":\"/r/ttyACM1\",\"cell\":\"1\",\"block\":\"\"}")
            << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << empty2 << empty2
            << Erasure{true, 0, QStringLiteral("401")} << Rows{{{"kind", "cell_unblock"}, {"number", "401"}, {"erased", 1}}};
        QTest::newRow("cell_error unblock refused")
            << QStringLiteral("{\"command\":\"cell_error\",\"port\":\"/r/ttyACM1\",\"cell\":\"1\",\"block\":\"\"}")
            << QStringLiteral("{\"cell\":\"\",\"error\":\"Сброс дозиметра 401 не выполнен\"}") << two << two << none
            << Rows{{{"kind", "cell_unblock"}, {"number", "401"}, {"erased", 0},
                     {"outcome", "Сброс дозиметра 401 не выполнен"}}};
        QTest::newRow("Init_hub_ini")
            << QStringLiteral("{\"command\":\"Init_hub_ini\",\"port\":\"/r/ttyACM1\",\"cell\":\"4\"}")
            << QStringLiteral("{\"port\": \"/r/ttyACM1\", \"cell\": \"4\",\"error\":\"\"}") << two << two
            << none << Rows{{{"kind", "hub"}, {"cell", 4}, {"port", kPort1}, {"outcome", ""}}};
        QTest::newRow("Kas_status is not journalled")
            << QStringLiteral("{\"command\":\"Kas_status\"}") << QStringLiteral("{\"cell_sensor\": []}") << two << two
            << none << Rows{};
        QTest::newRow("not JSON")
            << QStringLiteral("{\"command\":\"OUT_true\"") << QStringLiteral("{\"error\":\"не JSON\"}") << two << two
            << none << Rows{};
    }
    void rowsOfCommands()
    {
        QFETCH(QString, request);
        QFETCH(QString, reply);
        QFETCH(RackLines, before);
        QFETCH(RackLines, after);
        QFETCH(Erasure, erasure);
        QFETCH(Rows, expected);
        const WriteRules controller{textcodec::prepareUserText, workflow::thresholdText};
        const Rows rows = commandRows({request, reply, before, after, erasure, controller});
        QCOMPARE(rows.size(), expected.size());
        for (int i = 0; i < rows.size(); ++i) {
            const QString m = mismatch(rows.at(i), expected.at(i));
            QVERIFY2(m.isEmpty(), qPrintable(QStringLiteral("row %1: ").arg(i) + m));
            // Every row keeps the texts it came from.
            QCOMPARE(rows.at(i).value(QStringLiteral("request")).toString(), request);
            QCOMPARE(rows.at(i).value(QStringLiteral("reply")).toString(), reply);
        }
        // The observer looks at the rack only for journalled commands.
        if (!expected.isEmpty())
            QVERIFY(isJournalled(requestCommand(request)));
    }

    // The read-out a waiting line records, and whether it is the one a
    // scan's reply recorded.
    void waitingLines_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<JournalRow>("expected");   // empty: not a waiting line's status
        QTest::addColumn<QString>("scanReply");     // the reply of the scan that wrote the line
        const QVariant null;
        const QString gamma = QStringLiteral("OUT:1300,c:2,d:0.000123000,r:1.500000000,tm:1234,tw:0,u:AB12,duty:ЦЕХ 5,n:402,error:");
        QTest::newRow("gamma") << gamma
            << JournalRow{{"kind", "readout"}, {"source", "recovered"}, {"cell", 2}, {"port", kPort2}, {"number", "402"},
                          {"uid", "AB12"}, {"work_order", "ЦЕХ 5"}, {"dosimeter_type", "1300"}, {"dose_gamma", 0.000123},
                          {"rate_gamma", 1.5}, {"rate_gamma_time", 1234}, {"dose_neutron", null}, {"note", gamma}}
            << QStringLiteral("{\"OUT\":\"1300\",\"c\":\"2\",\"d\":\"0.000123000\",\"r\":\"1.500000000\",\"tm\":\"1234\","
                              "\"tw\":\"0\",\"u\":\"AB12\",\"duty\":\"ЦЕХ 5\",\"n\":\"402\",\"error\":\"\"}");
        QTest::newRow("gamma and neutron")
            << QStringLiteral("OUT:1300GN,c:2,d:2.5,r:1,tm:3,dn:0.5,rn:0.25,tmn:77,tw:0,u:7001,duty:,n:9,error:")
            << JournalRow{{"number", "9"}, {"uid", "7001"}, {"work_order", ""}, {"dosimeter_type", "1300GN"},
                          {"dose_gamma", 2.5}, {"dose_neutron", 0.5}, {"rate_neutron", 0.25}, {"rate_neutron_time", 77}}
            << QStringLiteral("{\"OUT\":\"1300GN\",\"c\":\"2\",\"d\":\"2.5\",\"r\":\"1\",\"tm\":\"3\",\"dn\":\"0.5\","
                              "\"rn\":\"0.25\",\"tmn\":\"77\",\"tw\":\"0\",\"u\":\"7001\",\"duty\":\"\",\"n\":\"9\",\"error\":\"\"}");
        QTest::newRow("worker texts with commas and colons")
            << QStringLiteral("OUT:1300,c:2,d:1,r:1,tm:1,tw:0,u:A,B:C,duty:ЦЕХ 5, n:3,n:402,error:")
            << JournalRow{{"number", "402"}, {"uid", "A,B:C"}, {"work_order", "ЦЕХ 5, n:3"}} << QString();
        QTest::newRow("a failed read-out's text") << QStringLiteral("Ошибка чтение ЭД гамма") << JournalRow() << QString();
        QTest::newRow("readings missing") << QStringLiteral("OUT:1300,c:2,tw:0,u:A,duty:B,n:4,error:") << JournalRow()
                                          << QString();
        QTest::newRow("no error field at the end") << QStringLiteral("OUT:1300,c:2,d:1,r:1,tm:1,tw:0,u:A,duty:B,n:4")
                                                   << JournalRow() << QString();
    }
    void waitingLines()
    {
        QFETCH(QString, status);
        QFETCH(JournalRow, expected);
        QFETCH(QString, scanReply);
        const JournalRow row = recoveredReadout(status, 1, kPort2);
        if (expected.isEmpty()) {
            QVERIFY(row.isEmpty());
            return;
        }
        QCOMPARE(mismatch(row, expected), QString());
        if (scanReply.isEmpty())
            return;
        const RackLines cell2 = lines({QString(), QString()}, {QString(), kPort2});
        const Rows scanned = commandRows({QStringLiteral("{\"command\":\"OUT\"}"), scanReply, cell2, cell2});
        QCOMPARE(scanned.size(), 1);
        QVERIFY(sameReadings(row, scanned.first()));
        // Any reading that differs makes another read-out.
        for (const QString &column : readingColumns()) {
            JournalRow other = scanned.first();
            other.insert(column, column == QLatin1String("uid") ? QVariant(QStringLiteral("X")) : QVariant(42.0));
            QVERIFY2(!sameReadings(row, other), qPrintable(column));
        }
    }

    // A start-up row, then one row per registration the discovery made.
    void startup()
    {
        const Rows rows = startupRows(lines({QString(), QString(), QString()}, {QString(), QString(), QString()}),
                                      lines({QStringLiteral("11"), QString(), QStringLiteral("33")}, {kPort1, QString(), kPort3}),
                                      QStringLiteral("1300GN"), 3);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(mismatch(rows[0], {{"kind", "startup"}, {"dosimeter_type", "1300GN"}, {"note", "cells=3"}}), QString());
        QCOMPARE(mismatch(rows[1], {{"kind", "registered"}, {"cell", 1}, {"number", "11"}, {"port", kPort1}}), QString());
        QCOMPARE(mismatch(rows[2], {{"kind", "registered"}, {"cell", 3}, {"number", "33"}, {"port", kPort3}}), QString());
        // A restart that keeps the files registers nothing.
        const RackLines same = lines({QStringLiteral("11")}, {kPort1});
        QCOMPARE(startupRows(same, same, QStringLiteral("1300"), 1).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCommandRows)
#include "tst_command_rows.moc"
