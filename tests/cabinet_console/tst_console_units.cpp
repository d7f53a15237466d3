// The console's own rules without a network: cell states from state-file
// lines, recorded readings, the failed-login limit, the accounts file and the
// listen address.
#include "accounts.h"
#include "rackview.h"
#include "sessions.h"
#include "webserver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

using rackview::State;
Q_DECLARE_METATYPE(State)

class TestConsoleUnits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void cellStates_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("errorLine");
        QTest::addColumn<QString>("stamp");
        QTest::addColumn<State>("state");
        QTest::addColumn<qint64>("left");
        // now = 100000, rest = 30 in every row.
        QTest::newRow("nothing") << "" << "" << "0" << State::Empty << qint64(0);
        QTest::newRow("never stamped") << "12" << "" << "0" << State::Ready << qint64(0);
        QTest::newRow("just confirmed") << "12" << "" << "100000" << State::Resting << qint64(31);
        QTest::newRow("20 s ago") << "12" << "" << "99980" << State::Resting << qint64(11);
        QTest::newRow("exactly the rest") << "12" << "" << "99970" << State::Resting << qint64(1);
        QTest::newRow("one more second") << "12" << "" << "99969" << State::Ready << qint64(0);
        QTest::newRow("stamp in the future") << "12" << "" << "100500" << State::Ready << qint64(0);
        QTest::newRow("stamp not a number") << "12" << "" << "x" << State::Ready << qint64(0);
        QTest::newRow("issued") << "12" << "Дозиметр ожидает, чтобы его забрали" << "0" << State::Issued << qint64(0);
        QTest::newRow("issued text with a blank more")
            << "12" << "Дозиметр ожидает, чтобы его забрали " << "0" << State::Blocked << qint64(0);
        QTest::newRow("returned") << "12" << "Ждет подтвержения сдачи OUT:1300,c:1,d:1,r:2,tm:3,tw:0,u:7,duty:A,n:12,error:"
                                  << "0" << State::Returned << qint64(0);
        QTest::newRow("return prefix without its blank")
            << "12" << "Ждет подтвержения сдачи" << "0" << State::Blocked << qint64(0);
        QTest::newRow("issue failed, gamma")
            << "12" << "error : Произошла критическая ошибка при выдачи дозиметра повторите операцию X" << "0"
            << State::Failed << qint64(0);
        QTest::newRow("issue failed, gamma and neutron")
            << "12" << "error:Произошла критическая ошибка при выдачи дозиметра повторите операцию X" << "0"
            << State::Failed << qint64(0);
        QTest::newRow("read-out failed")
            << "12" << "error:Произошла критическая ошибка при Сдаче дозиметра Ошибка чтение ЭД гамма" << "0"
            << State::Failed << qint64(0);
        QTest::newRow("block text") << "" << "<img src=x onerror=alert(1)>" << "0" << State::Blocked << qint64(0);
        QTest::newRow("blocked with a dosimeter") << "12" << "ремонт" << "100000" << State::Blocked << qint64(0);
    }

    void cellStates()
    {
        QFETCH(QString, number);
        QFETCH(QString, errorLine);
        QFETCH(QString, stamp);
        QFETCH(State, state);
        QFETCH(qint64, left);
        const rackview::Cell c = rackview::classify(3, number, QStringLiteral("/dev/ttyACM2"), errorLine, stamp,
                                                    100000, 30);
        QCOMPARE(rackview::stateName(c.state), rackview::stateName(state));
        QCOMPARE(c.secondsLeft, left);
        QCOMPARE(c.cell, 3);
        if (state == State::Blocked || state == State::Failed)
            QCOMPARE(c.text, errorLine);
    }

    void readings_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("pairs");   // key=value, in any order
        QTest::newRow("gamma") << "OUT:1300,c:4,d:0.5,r:1.25,tm:100,tw:0,u:7001,duty:ЦЕХ 5,n:13,error:"
                               << QStringList{"OUT=1300", "c=4", "d=0.5", "r=1.25", "tm=100", "tw=0", "u=7001",
                                              "duty=ЦЕХ 5", "n=13"};
        QTest::newRow("gamma and neutron")
            << "OUT:1300GN,c:2,d:1,r:2,tm:3,dn:4,rn:5,tmn:6,tw:0,u:U,duty:D,n:9,error:"
            << QStringList{"OUT=1300GN", "c=2", "d=1", "r=2", "tm=3", "dn=4", "rn=5", "tmn=6", "tw=0", "u=U",
                           "duty=D", "n=9"};
        QTest::newRow("commas and quotes in the order")
            << "OUT:1300,c:4,d:0,r:0,tm:0,tw:0,u:\"7\",duty:ЦЕХ \"5\", участок 2,n:13,error:"
            << QStringList{"OUT=1300", "c=4", "d=0", "r=0", "tm=0", "tw=0", "u=\"7\"", "duty=ЦЕХ \"5\", участок 2",
                           "n=13"};
        QTest::newRow("cut short") << "OUT:1300,c:4,d:0.5" << QStringList{"OUT=1300", "c=4", "d=0.5"};
        QTest::newRow("not a status text") << "ремонт" << QStringList{};
    }

    void readings()
    {
        QFETCH(QString, status);
        QFETCH(QStringList, pairs);
        const QJsonObject r = rackview::parseReadings(status);
        QStringList got;
        for (auto it = r.begin(); it != r.end(); ++it)
            got << it.key() + QLatin1Char('=') + it.value().toString();
        got.sort();
        pairs.sort();
        QCOMPARE(got, pairs);
    }

    void failedLoginLimit()
    {
        sessions::LoginLimiter limiter(5, 60000);
        for (int i = 0; i < 5; ++i) {
            QVERIFY2(limiter.allowed("10.0.0.1", 1000 + i), qPrintable(QString::number(i)));
            limiter.failed("10.0.0.1", 1000 + i);
        }
        QVERIFY(!limiter.allowed("10.0.0.1", 2000));
        QVERIFY(limiter.allowed("10.0.0.2", 2000));
        // The oldest failure leaves the window after a minute.
        QVERIFY(!limiter.allowed("10.0.0.1", 60999));
        QVERIFY(limiter.allowed("10.0.0.1", 61000));
    }

    void sessionTokens()
    {
        sessions::Store store(1000000);
        const std::string a = store.open(QStringLiteral("tech"), accounts::Role::Technician);
        const std::string b = store.open(QStringLiteral("tech"), accounts::Role::Technician);
        QCOMPARE(int(a.size()), 64);
        QVERIFY(a != b);
        sessions::Session s;
        QVERIFY(store.find(a, &s));
        QCOMPARE(int(s.csrf.size()), 64);
        QVERIFY(s.csrf != a);
        store.close(a);
        QVERIFY(!store.find(a, &s));
        QVERIFY(store.find(b, &s));
        QVERIFY(!sessions::sameToken(std::string(), std::string()));
        QVERIFY(!sessions::sameToken(b, b.substr(1)));
    }

    void accountsFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("etc/users"));
        using accounts::Role;
        QVERIFY(!accounts::addOrReplace(path, QStringLiteral("bad name"), Role::Viewer, "password1").isEmpty());
        QVERIFY(!accounts::addOrReplace(path, QStringLiteral("anna"), Role::None, "password1").isEmpty());
        QVERIFY(!accounts::addOrReplace(path, QStringLiteral("anna"), Role::Viewer, "short").isEmpty());
        QVERIFY(!QFile::exists(path));

        QCOMPARE(accounts::addOrReplace(path, QStringLiteral("anna"), Role::Viewer, "пароль-анны"), QString());
        QCOMPARE(accounts::addOrReplace(path, QStringLiteral("boris"), Role::Technician, "boris-pass"), QString());
        const QFileDevice::Permissions ownerGroupOther(0x7000 | 0x0070 | 0x0007);
        QCOMPARE(QFile::permissions(path) & ownerGroupOther,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
        QCOMPARE(accounts::verify(path, QStringLiteral("anna"), "пароль-анны"), Role::Viewer);
        QCOMPARE(accounts::verify(path, QStringLiteral("anna"), "boris-pass"), Role::None);
        QCOMPARE(accounts::verify(path, QStringLiteral("nobody"), "boris-pass"), Role::None);
        QVERIFY(!readAll(path).isEmpty());
        QVERIFY(!readAll(path).contains("boris-pass"));

        // Replacing changes role and password and keeps the other account.
        QCOMPARE(accounts::addOrReplace(path, QStringLiteral("anna"), Role::Technician, "new-password"), QString());
        QCOMPARE(accounts::verify(path, QStringLiteral("anna"), "пароль-анны"), Role::None);
        QCOMPARE(accounts::verify(path, QStringLiteral("anna"), "new-password"), Role::Technician);
        QCOMPARE(accounts::verify(path, QStringLiteral("boris"), "boris-pass"), Role::Technician);
        QCOMPARE(accounts::load(path).size(), 2);

        // Lines that are not accounts are skipped, the good ones still count.
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write("broken line\nmallory admin $argon2id$x\n\n# comment\n");
        f.close();
        QCOMPARE(accounts::load(path).size(), 2);
        QCOMPARE(accounts::verify(path, QStringLiteral("boris"), "boris-pass"), Role::Technician);
    }

    void listenAddress_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("default") << "127.0.0.1:8080" << true << "127.0.0.1" << 8080;
        QTest::newRow("all") << "0.0.0.0:443" << true << "0.0.0.0" << 443;
        QTest::newRow("v6") << "[::1]:8443" << true << "::1" << 8443;
        QTest::newRow("no port") << "127.0.0.1" << false << "" << 0;
        QTest::newRow("port too big") << "127.0.0.1:70000" << false << "" << 0;
        QTest::newRow("no host") << ":8080" << false << "" << 0;
        QTest::newRow("port not a number") << "host:http" << false << "" << 0;
    }

    void listenAddress()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QString host;
        int port = 0;
        QCOMPARE(splitListen(text, &host, &port), ok);
        if (ok) {
            QTEST(host, "host");
            QTEST(port, "port");
        }
    }

private:
    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

QTEST_GUILESS_MAIN(TestConsoleUnits)
#include "tst_console_units.moc"
