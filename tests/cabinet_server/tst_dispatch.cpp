// The command table: routing, key order, value types, rack type checks.
#include "mytcpserver.h"
#include "settings.h"

#include <QtTest>

class TestDispatch : public QObject
{
    Q_OBJECT

    QVector<Route> m_saved;
    QString m_called;
    QStringList m_args;

    // Replaces every handler with one that records its command and arguments.
    void recordAll()
    {
        for (Route &r : dispatchTable()) {
            const QString name = r.command;
            r.handler = [this, name](const QStringList &a) {
                m_called = name;
                m_args = a;
                return QStringLiteral("reply:") + name;
            };
            if (r.gammaNeutronHandler) {
                r.gammaNeutronHandler = [this, name](const QStringList &a) {
                    m_called = name + QStringLiteral("/gn");
                    m_args = a;
                    return QStringLiteral("reply:") + name + QStringLiteral("/gn");
                };
            }
        }
    }

private slots:
    void init()
    {
        m_saved = dispatchTable();
        recordAll();
        m_called.clear();
        m_args.clear();
        resetGlobals();
    }
    void cleanup() { dispatchTable() = m_saved; }

    void routesEveryRowWithKeysInOrder_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("handler");
        QTest::newRow("Get_Nomer_PPD") << "1300" << "Get_Nomer_PPD" << QStringList{"port"} << "Get_Nomer_PPD";
        QTest::newRow("IN_g") << "1300" << "IN_g"
                              << QStringList{"gdel", "gde2", "gderl", "gder2", "order", "uid", "uname"} << "IN_g";
        QTest::newRow("IN_gn") << "1300GN" << "IN_gn"
                               << QStringList{"gdel", "gde2", "gderl", "gder2", "ndel", "nde2", "nderl", "nder2",
                                              "order", "uid", "uname"}
                               << "IN_gn";
        QTest::newRow("OUT 1300") << "1300" << "OUT" << QStringList{} << "OUT";
        QTest::newRow("OUT 1300GN") << "1300GN" << "OUT" << QStringList{} << "OUT/gn";
        QTest::newRow("OUT other type") << "1400" << "OUT" << QStringList{} << "OUT";
        QTest::newRow("OUT_true") << "1300" << "OUT_true" << QStringList{"nomer_ppd", "cell", "error"} << "OUT_true";
        QTest::newRow("OUT_Get_history") << "1300" << "OUT_Get_history" << QStringList{"nomer_ppd", "cell", "error"}
                                         << "OUT_Get_history";
        QTest::newRow("cell_free") << "1300" << "cell_free" << QStringList{"nomer_ppd", "cell"} << "cell_free";
        QTest::newRow("cell_error") << "1300" << "cell_error" << QStringList{"port", "cell", "block"} << "cell_error";
        QTest::newRow("Init_hub_ini") << "1300" << "Init_hub_ini" << QStringList{"port", "cell"} << "Init_hub_ini";
        QTest::newRow("Kas_status") << "1300GN" << "Kas_status" << QStringList{} << "Kas_status";
    }
    void routesEveryRowWithKeysInOrder()
    {
        QFETCH(QString, type);
        QFETCH(QString, command);
        QFETCH(QStringList, keys);
        QFETCH(QString, handler);
        G_type_ppd = type;
        // Keys are written in reverse order with distinct values: the handler
        // must still get them in the table's order.
        QString request = QStringLiteral("{");
        for (int i = keys.size() - 1; i >= 0; --i)
            request += QStringLiteral("\"%1\":\"v%2-%1\",").arg(keys[i]).arg(i);
        request += QStringLiteral("\"command\":\"%1\"}").arg(command);
        QStringList expected;
        for (int i = 0; i < keys.size(); ++i)
            expected << QStringLiteral("v%1-%2").arg(i).arg(keys[i]);

        QCOMPARE(f_command(request), QStringLiteral("reply:") + handler);
        QCOMPARE(m_called, handler);
        QCOMPARE(m_args, expected);
    }

    void valuesThatAreNotStringsReadAsEmpty()
    {
        QCOMPARE(f_command("{\"command\":\"cell_free\",\"nomer_ppd\":12345,\"cell\":5}"), QStringLiteral("reply:cell_free"));
        QCOMPARE(m_args, (QStringList{"", ""}));
        f_command("{\"command\":\"cell_error\",\"port\":null,\"cell\":[\"1\"],\"block\":{\"a\":\"b\"}}");
        QCOMPARE(m_args, (QStringList{"", "", ""}));
        f_command("{\"command\":\"Init_hub_ini\",\"port\":true,\"cell\":\"2\"}");
        QCOMPARE(m_args, (QStringList{"", "2"}));
        // Missing keys reach the handler as empty texts too.
        f_command("{\"command\":\"OUT_true\"}");
        QCOMPARE(m_args, (QStringList{"", "", ""}));
    }

    void fixedReplies_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("reply");
        const QString notJson = QStringLiteral("{\"error\":\"не JSON\"}");
        const QString notFound = QStringLiteral("{\"error\":\"не найдена команда\"}");
        const QString wrongType = QStringLiteral("{\"error\":\"Не правильная конфигурация \"}");
        QTest::newRow("garbage") << "1300" << "hello" << notJson;
        QTest::newRow("empty") << "1300" << "" << notJson;
        QTest::newRow("array") << "1300" << "[{\"command\":\"Kas_status\"}]" << notJson;
        QTest::newRow("scalar") << "1300" << "5" << notJson;
        QTest::newRow("string") << "1300" << "\"Kas_status\"" << notJson;
        QTest::newRow("two objects") << "1300" << "{\"command\":\"Kas_status\"}{\"command\":\"Kas_status\"}" << notJson;
        QTest::newRow("cut object") << "1300" << "{\"command\":\"Kas_sta" << notJson;
        QTest::newRow("no command") << "1300" << "{\"port\":\"/dev/ttyACM0\"}" << notFound;
        QTest::newRow("command not a string") << "1300" << "{\"command\":5}" << notFound;
        QTest::newRow("lower case") << "1300" << "{\"command\":\"get_nomer_ppd\"}" << notFound;
        QTest::newRow("upper case") << "1300" << "{\"command\":\"KAS_STATUS\"}" << notFound;
        QTest::newRow("trailing blank in command") << "1300" << "{\"command\":\"Kas_status \"}" << notFound;
        QTest::newRow("cell_cancel") << "1300" << "{\"command\":\"cell_cancel\",\"nomer_ppd\":\"1\",\"cell\":\"2\"}"
                                     << "{\"cell\":\"\",\"error\":\"\"}";
        QTest::newRow("IN_g on 1300GN") << "1300GN" << "{\"command\":\"IN_g\",\"uid\":\"1\"}" << wrongType;
        QTest::newRow("IN_gn on 1300") << "1300" << "{\"command\":\"IN_gn\",\"uid\":\"1\"}" << wrongType;
        QTest::newRow("IN_g on other type") << "1400" << "{\"command\":\"IN_g\"}" << wrongType;
        QTest::newRow("IN_gn on other type") << "" << "{\"command\":\"IN_gn\"}" << wrongType;
        QTest::newRow("trailing white space") << "1300" << "{\"command\":\"cell_cancel\"}\n \t\r\n"
                                              << "{\"cell\":\"\",\"error\":\"\"}";
    }
    void fixedReplies()
    {
        QFETCH(QString, type);
        QFETCH(QString, request);
        QFETCH(QString, reply);
        G_type_ppd = type;
        // cell_cancel keeps its own handler: it must not touch anything.
        dispatchTable() = m_saved;
        QCOMPARE(f_command(request), reply);
    }

    // Only a request that is still missing its tail is worth waiting for.
    void incompleteObjects_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("incomplete");
        QTest::newRow("open brace") << QByteArray(" \r\n{") << true;
        QTest::newRow("inside a key") << QByteArray("{\"comm") << true;
        QTest::newRow("before the colon") << QByteArray("{\"command\" ") << true;
        QTest::newRow("inside a value") << QByteArray("{\"command\":\"Kas_st") << true;
        QTest::newRow("after an escape") << QByteArray("{\"a\":\"x\\") << true;
        QTest::newRow("inside a unicode escape") << QByteArray("{\"a\":\"\\u04") << true;
        QTest::newRow("inside a number") << QByteArray("{\"a\":12") << true;
        QTest::newRow("number with exponent sign") << QByteArray("{\"a\":-1.5e+") << true;
        QTest::newRow("inside a literal") << QByteArray("{\"a\":tr") << true;
        QTest::newRow("after a comma") << QByteArray("{\"a\":null,") << true;
        QTest::newRow("nested array") << QByteArray("{\"a\":[1,{\"b\":[]},") << true;
        QTest::newRow("utf-8 text") << QByteArray("{\"block\":\"\xd0\xb1\xd0") << true;
        QTest::newRow("complete") << QByteArray("{\"command\":\"Kas_status\"}") << false;
        QTest::newRow("complete with blanks") << QByteArray("{ } \n") << false;
        QTest::newRow("second object begun") << QByteArray("{}{\"a\"") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("blanks only") << QByteArray(" \n") << false;
        QTest::newRow("array") << QByteArray("[{\"a\":1") << false;
        QTest::newRow("scalar") << QByteArray("\"{") << false;
        QTest::newRow("bare word after the brace") << QByteArray("{abc") << false;
        QTest::newRow("key not a string") << QByteArray("{1:") << false;
        QTest::newRow("missing colon") << QByteArray("{\"a\" 1") << false;
        QTest::newRow("misspelt literal") << QByteArray("{\"a\":trux") << false;
        QTest::newRow("bad escape") << QByteArray("{\"a\":\"\\q") << false;
        QTest::newRow("bad unicode escape") << QByteArray("{\"a\":\"\\u0g") << false;
        QTest::newRow("control character in a string") << QByteArray("{\"a\":\"x\ty") << false;
        QTest::newRow("leading zero") << QByteArray("{\"a\":01") << false;
        QTest::newRow("bad fraction") << QByteArray("{\"a\":1.x") << false;
        QTest::newRow("wrong closing bracket") << QByteArray("{\"a\":[1}") << false;
        QTest::newRow("missing comma") << QByteArray("{\"a\":1 \"b\"") << false;
        QTest::newRow("nesting too deep") << QByteArray("{\"a\":") + QByteArray(5000, '[') << false;
    }
    void incompleteObjects()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, incomplete);
        QCOMPARE(isIncompleteJsonObject(bytes), incomplete);
    }

    void refusedIssueCallsNoHandler()
    {
        G_type_ppd = QStringLiteral("1300GN");
        f_command("{\"command\":\"IN_g\",\"uid\":\"7\"}");
        QVERIFY(m_called.isEmpty());
        G_type_ppd = QStringLiteral("1300");
        f_command("{\"command\":\"IN_gn\",\"uid\":\"7\"}");
        QVERIFY(m_called.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDispatch)
#include "tst_dispatch.moc"
