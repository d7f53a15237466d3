// The rows each served command adds to the journal, read from its request,
// its reply and the rack's lines before and after it.
#include "commandrows.h"

#include <QtTest>

using Rows = QVector<JournalRow>;
Q_DECLARE_METATYPE(RackLines)
Q_DECLARE_METATYPE(Rows)

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
        QTest::addColumn<Rows>("expected");

        const QVariant null;
        const RackLines two = lines({QStringLiteral("401"), QStringLiteral("402")}, {kPort1, kPort2});
        const RackLines empty2 = lines({QString(), QString()}, {QString(), QString()});
        const QString issue = QStringLiteral(
            "{\"command\":\"IN_g\",\"uid\":\"ab12\",\"uname\":\"иванов\",\"order\":\"цех 5\",\"gdel\":\"1500\","
            "\"gde2\":\"25\",\"gderl\":\"x\",\"gder2\":200,\"operator\":\"smena1\"}");

        QTest::newRow("IN_g issued")
            << issue
            << QStringLiteral("{\"comand\":\"IN_g\",\"nomer_pdd\":\"402\",\"port\":\"/r/ttyACM2\",\"cell\":\"2\",\"error\":\"\"}")
            << two << two
            << Rows{{{"kind", "issue"}, {"command", "IN_g"}, {"cell", 2}, {"number", "402"}, {"port", kPort2},
                     {"uid", "AB12"}, {"uname", "ИВАНОВ"}, {"work_order", "ЦЕХ 5"}, {"gdel", 1500.0}, {"gde2", 25.0},
                     {"gderl", null}, {"gder2", null}, {"ndel", null}, {"outcome", ""}, {"operator", "smena1"}}};
        QTest::newRow("IN_gn failed: outcome is the error text, no cell")
            << QStringLiteral("{\"command\":\"IN_gn\",\"uid\":\"7\",\"ndel\":\"1.5\",\"nder2\":\"4\"}")
            << QStringLiteral("{\"error\":\"Произошла критическая ошибка при выдачи дозиметра \n повторите операцию \n X\"}")
            << two << two
            << Rows{{{"kind", "issue"}, {"cell", null}, {"number", ""}, {"uid", "7"}, {"ndel", 1.5}, {"nder2", 4.0},
                     {"outcome", "Произошла критическая ошибка при выдачи дозиметра \n повторите операцию \n X"},
                     {"operator", ""}}};
        QTest::newRow("OUT with nothing back and nothing changed: no row")
            << QStringLiteral("{\"command\":\"OUT\"}") << QStringLiteral("{\"OUT\":\"\",\"error\":\"\"}") << two
            << two << Rows{};
        QTest::newRow("OUT whose check blanks a cell")
            << QStringLiteral("{\"command\":\"OUT\"}") << QStringLiteral("{\"OUT\":\"\",\"error\":\"\"}") << two
            << lines({QStringLiteral("401"), QString()}, {kPort1, QString()})
            << Rows{{{"kind", "unregistered"}, {"command", "OUT"}, {"cell", 2}, {"number", "402"}, {"port", kPort2}}};
        QTest::newRow("OUT that could not write its files")
            << QStringLiteral("{\"command\":\"OUT\"}")
            << QStringLiteral("{\"OUT\":\"\",\"error\":\"Ошибка записи nomer_ppd.ini, port.ini\"}") << two << two
            << Rows{{{"kind", "scan_error"}, {"outcome", "Ошибка записи nomer_ppd.ini, port.ini"}}};
        QTest::newRow("OUT read-out, gamma, with a fresh dosimeter registered on the way")
            << QStringLiteral("{\"command\":\"OUT\"}")
            << QStringLiteral("{\"OUT\":\"1300\",\"c\":\"3\",\"d\":\"0.000123000\",\"r\":\"1.500000000\",\"tm\":\"1234\","
                              "\"tw\":\"0\",\"u\":\"AB12\",\"duty\":\"ЦЕХ 5\",\"n\":\"702\",\"error\":\"\"}")
            << lines({QString(), QString(), QString()}, {QString(), QString(), QString()})
            << lines({QStringLiteral("501"), QString(), QStringLiteral("702")}, {kPort1, QString(), kPort3},
                     {QString(), QString(), QStringLiteral("Ждет подтвержения сдачи OUT:1300")})
            << Rows{{{"kind", "readout"}, {"cell", 3}, {"number", "702"}, {"port", kPort3}, {"uid", "AB12"},
                     {"work_order", "ЦЕХ 5"}, {"dosimeter_type", "1300"}, {"dose_gamma", 0.000123},
                     {"rate_gamma", 1.5}, {"rate_gamma_time", 1234}, {"dose_neutron", null}, {"outcome", ""}},
                    {{"kind", "registered"}, {"cell", 1}, {"number", "501"}, {"port", kPort1}}};
        QTest::newRow("OUT read-out, gamma and neutron")
            << QStringLiteral("{\"command\":\"OUT\"}")
            << QStringLiteral("{\"OUT\":\"1300GN\",\"c\":\"1\",\"d\":\"1\",\"r\":\"2\",\"tm\":\"3\",\"dn\":\"0.5\","
                              "\"rn\":\"0.25\",\"tmn\":\"77\",\"tw\":\"0\",\"u\":\"U\",\"duty\":\"D\",\"n\":\"9\",\"error\":\"\"}")
            << lines({QString()}, {QString()}) << lines({QStringLiteral("9")}, {kPort1})
            << Rows{{{"kind", "readout"}, {"dosimeter_type", "1300GN"}, {"dose_neutron", 0.5}, {"rate_neutron", 0.25},
                     {"rate_neutron_time", 77}, {"port", kPort1}}};
        QTest::newRow("OUT read-out failed: the cell is the one newly marked")
            << QStringLiteral("{\"command\":\"OUT\"}")
            << QStringLiteral("{\"error\":\"Произошла критическая ошибка при Сдаче дозиметра \n Ошибка чтение ЭД гамма\"}")
            << lines({QString(), QString()}, {QString(), QString()})
            << lines({QString(), QStringLiteral("88")}, {QString(), kPort2},
                     {QString(), QStringLiteral("error:Произошла критическая ошибка при Сдаче дозиметра Ошибка")})
            << Rows{{{"kind", "readout_failed"}, {"cell", 2}, {"number", "88"}, {"port", kPort2},
                     {"outcome", "Произошла критическая ошибка при Сдаче дозиметра \n Ошибка чтение ЭД гамма"}}};

        const QString confirm = QStringLiteral("{\"command\":\"OUT_true\",\"nomer_ppd\":\"402\",\"cell\":\"2\",\"error\":\"%1\"}");
        QTest::newRow("OUT_true confirmed")
            << confirm.arg(QString()) << QStringLiteral("{\"error\":\"\"}") << two << two
            << Rows{{{"kind", "confirm"}, {"cell", 2}, {"number", "402"}, {"port", kPort2}, {"outcome", ""}}};
        QTest::newRow("OUT_true finds another dosimeter: not confirmed")
            << confirm.arg(QString()) << QStringLiteral("{\"error\":\"\"}") << two
            << lines({QStringLiteral("401"), QString()}, {kPort1, QString()})
            << Rows{{{"kind", "not_confirmed"}, {"cell", 2}, {"number", "402"}}};
        QTest::newRow("OUT_true with an error text from the client")
            << confirm.arg(QStringLiteral("не сдан")) << QStringLiteral("{\"error\":\"\"}") << two << two
            << Rows{{{"kind", "not_confirmed"}, {"note", "не сдан"}}};
        QTest::newRow("OUT_true without a device")
            << confirm.arg(QString()) << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << two << empty2
            << Rows{{{"kind", "not_confirmed"}, {"port", kPort2}}};
        QTest::newRow("OUT_true whose files could not be written")
            << confirm.arg(QString()) << QStringLiteral("{\"error\":\"Ошибка записи error.ini\"}") << two << two
            << Rows{{{"kind", "not_confirmed"}, {"outcome", "Ошибка записи error.ini"}}};
        QTest::newRow("OUT_Get_history")
            << QStringLiteral("{\"command\":\"OUT_Get_history\",\"nomer_ppd\":\"402\",\"cell\":\"2\",\"error\":\"E\"}")
            << QStringLiteral("{\"history_all\": \"00ff\",\"error\":\"E\"}") << two << two
            << Rows{{{"kind", "history"}, {"cell", 2}, {"number", "402"}, {"port", kPort2}, {"history", "00ff"},
                     {"outcome", "E"}}};
        QTest::newRow("cell_free with a cell out of range")
            << QStringLiteral("{\"command\":\"cell_free\",\"nomer_ppd\":\"5\",\"cell\":\"x\"}")
            << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << two << two
            << Rows{{{"kind", "cell_free"}, {"cell", null}, {"number", "5"}, {"port", ""}, {"note", "free"}}};
        QTest::newRow("cell_error block")
            << QStringLiteral("{\"command\":\"cell_error\",\"port\":\"\",\"cell\":\"1\",\"block\":\"Ячейка неисправна\"}")
            << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << two << two
            << Rows{{{"kind", "cell_block"}, {"cell", 1}, {"number", "401"}, {"port", kPort1},
                     {"note", "Ячейка неисправна"}}};
        QTest::newRow("cell_error unblock registers again")
            << QStringLiteral("{\"command\":\"cell_error\",\"port\":\"/r/ttyACM3\",\"cell\":\"1\",\"block\":\"\"}")
            << QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}") << two
            << lines({QStringLiteral("777"), QStringLiteral("402")}, {kPort3, kPort2})
            << Rows{{{"kind", "cell_unblock"}, {"cell", 1}, {"number", "777"}, {"port", kPort3}, {"note", ""}}};
        QTest::newRow("Init_hub_ini")
            << QStringLiteral("{\"command\":\"Init_hub_ini\",\"port\":\"/r/ttyACM1\",\"cell\":\"4\"}")
            << QStringLiteral("{\"port\": \"/r/ttyACM1\", \"cell\": \"4\",\"error\":\"\"}") << two << two
            << Rows{{{"kind", "hub"}, {"cell", 4}, {"port", kPort1}, {"outcome", ""}}};
        QTest::newRow("Kas_status is not journalled")
            << QStringLiteral("{\"command\":\"Kas_status\"}") << QStringLiteral("{\"cell_sensor\": []}") << two << two
            << Rows{};
        QTest::newRow("not JSON")
            << QStringLiteral("{\"command\":\"OUT_true\"") << QStringLiteral("{\"error\":\"не JSON\"}") << two << two
            << Rows{};
    }
    void rowsOfCommands()
    {
        QFETCH(QString, request);
        QFETCH(QString, reply);
        QFETCH(RackLines, before);
        QFETCH(RackLines, after);
        QFETCH(Rows, expected);
        const Rows rows = commandRows({request, reply, before, after});
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
