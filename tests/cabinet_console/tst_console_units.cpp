// The console's own rules without a network: cell states from state-file
// lines, recorded readings, the failed-login limit, the accounts file and the
// listen address; the controller link against a loopback peer that answers at once.
#include "accounts.h"
#include "clientaddress.h"
#include "consoletime.h"
#include "controllerlink.h"
#include "journalquery.h"
#include "rackview.h"
#include "sessions.h"
#include "webserver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <thread>

using rackview::State;
Q_DECLARE_METATYPE(State)

class TestConsoleUnits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        // The time tests read the cabinet's zone from TZ: a fixed +03:00.
        qputenv("TZ", "UTC-3");
        tzset();
    }

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

    // Each row: attempts as "T:name" (ms, account name) from one address group
    // unless "T:name@addr"; "+" after an attempt marks a success; the verdicts
    // expected, "y" allowed, "n" refused.
    void loginLimits_data()
    {
        QTest::addColumn<QStringList>("attempts");
        QTest::addColumn<QString>("verdicts");
        QTest::newRow("five per address a minute, counted at the start")
            << QStringList{"0:a", "1:b", "2:c", "3:d", "4:e", "5:f", "59999:g", "60000:h"} << "yyyyynny";
        QTest::newRow("a success is taken back")
            << QStringList{"0:a", "1:a+", "2:a", "3:a", "4:a", "5:a", "6:a"} << "yyyyyyn";
        QTest::newRow("an account from many addresses")
            << QStringList{"0:t@10.0.0.1", "1:t@10.0.0.2", "2:t@10.0.0.3", "3:t@10.0.0.4", "4:t@10.0.0.5",
                           "5:t@10.0.0.6", "6:u@10.0.0.6"} << "yyyyyny";
        // 1 min after the fifth, then 2, 4, 8 min, never more than 15.
        QTest::newRow("the lock doubles and is bounded")
            << QStringList{"0:t@1.1.1.1", "1:t@1.1.1.2", "2:t@1.1.1.3", "3:t@1.1.1.4", "4:t@1.1.1.5",
                           "60003:t@1.1.1.6", "60005:t@1.1.1.7", "180004:t@1.1.1.8", "180006:t@1.1.1.9",
                           "420005:t@1.1.1.10", "420007:t@1.1.1.11", "2900000:t@1.1.1.12", "2900001:t@1.1.1.13",
                           "3799999:t@1.1.1.14", "3800000:t@1.1.1.15"}
            << "yyyyynynynyynny";
        // Guesses from elsewhere cannot keep the owner out: the last 4 groups
        // the account logged in from are not locked, nor do they lift the
        // lock; they keep the per-address limit.
        QTest::newRow("the owner's group is not locked")
            << QStringList{"0:t@10.0.0.1+", "1:t@10.0.0.2", "2:t@10.0.0.3", "3:t@10.0.0.4", "4:t@10.0.0.5",
                           "5:t@10.0.0.6", "6:t@10.0.0.1+", "7:t@10.0.0.7", "60006:t@10.0.0.8", "60007:t@10.0.0.9",
                           "60008:t@10.0.0.1", "60009:t@10.0.0.1", "60010:t@10.0.0.1", "60011:t@10.0.0.1",
                           "60012:t@10.0.0.1", "60013:t@10.0.0.1"}
            << "yyyyyyynynyyyyyn";
        QTest::newRow("only the last 4 groups are known")
            << QStringList{"0:t@10.0.0.1+", "1:t@10.0.0.2+", "2:t@10.0.0.3+", "3:t@10.0.0.4+", "4:t@10.0.0.5+",
                           "5:t@10.0.1.1", "6:t@10.0.1.2", "7:t@10.0.1.3", "8:t@10.0.1.4", "9:t@10.0.1.5",
                           "10:t@10.0.0.1", "11:t@10.0.0.2", "12:t@10.0.0.5"}
            << "yyyyyyyyyynyy";
    }

    void loginLimits()
    {
        QFETCH(QStringList, attempts);
        QFETCH(QString, verdicts);
        sessions::LoginLimiter limiter;
        QString got;
        for (const QString &a : attempts) {
            const qint64 t = a.section(QLatin1Char(':'), 0, 0).toLongLong();
            QString rest = a.section(QLatin1Char(':'), 1);
            const bool success = rest.endsWith(QLatin1Char('+'));
            rest.remove(QLatin1Char('+'));
            const QString name = rest.section(QLatin1Char('@'), 0, 0);
            const std::string address = rest.contains(QLatin1Char('@')) ? rest.section(QLatin1Char('@'), 1).toStdString()
                                                                         : std::string("192.0.2.1");
            const sessions::LoginLimiter::Verdict v = limiter.begin(address, name, "stamp", t);
            got += v.allowed ? QLatin1Char('y') : QLatin1Char('n');
            if (!v.allowed)
                QVERIFY2(v.retryAfterMs > 0 && v.retryAfterMs <= sessions::LoginLimiter::kLongestLockMs, qPrintable(a));
            if (v.allowed && success)
                limiter.succeeded(address, name);
        }
        QCOMPARE(got, verdicts);
    }

    void newPasswordLiftsTheLock()
    {
        sessions::LoginLimiter limiter;
        for (int i = 0; i < 5; ++i)
            QVERIFY(limiter.begin("10.0.0." + std::to_string(i), QStringLiteral("anna"), "old", i).allowed);
        QVERIFY(!limiter.begin("10.0.1.1", QStringLiteral("anna"), "old", 10).allowed);
        QVERIFY(limiter.begin("10.0.1.1", QStringLiteral("anna"), "new", 11).allowed);
        // A group known with the old password is not known with the new one.
        QVERIFY(limiter.begin("10.0.2.1", QStringLiteral("anna"), "new", 12).allowed);
        limiter.succeeded("10.0.2.1", QStringLiteral("anna"));
        for (int i = 0; i < 5; ++i)
            QVERIFY(limiter.begin("10.0.3." + std::to_string(i), QStringLiteral("anna"), "newer", 20 + i).allowed);
        QVERIFY(!limiter.begin("10.0.2.1", QStringLiteral("anna"), "newer", 30).allowed);
    }

    void addressGroups_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("group");
        QTest::newRow("v4") << "192.0.2.7" << "192.0.2.7";
        QTest::newRow("v4-mapped") << "::ffff:192.0.2.7" << "192.0.2.7";
        QTest::newRow("v6 /64") << "2001:db8:1:2:aaaa::1" << "2001:0db8:0001:0002::/64";
        QTest::newRow("same /64") << "2001:db8:1:2:ffff:ffff:ffff:ffff" << "2001:0db8:0001:0002::/64";
        QTest::newRow("loopback v6") << "::1" << "0000:0000:0000:0000::/64";
        QTest::newRow("not an address") << "x" << "x";
    }

    void addressGroups()
    {
        QFETCH(QString, address);
        QFETCH(QString, group);
        QCOMPARE(QString::fromStdString(addressGroup(address.toStdString())), group);
    }

    // Bounds in the cabinet's zone (TZ set for this test: UTC+3, no DST).
    void timeBounds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("end");
        QTest::addColumn<QString>("utc");   // "" when refused
        QTest::newRow("day start") << "2026-01-02" << false << "2026-01-01T21:00:00Z";
        QTest::newRow("day end is the next midnight") << "2026-01-02" << true << "2026-01-02T21:00:00Z";
        QTest::newRow("minute start") << "2026-01-02T10:00" << false << "2026-01-02T07:00:00Z";
        QTest::newRow("minute end includes it") << "2026-01-02T10:00" << true << "2026-01-02T07:01:00Z";
        QTest::newRow("second end") << "2026-01-02 10:00:30" << true << "2026-01-02T07:00:31Z";
        QTest::newRow("UTC given") << "2026-01-02T10:00:00Z" << false << "2026-01-02T10:00:00Z";
        QTest::newRow("offset given") << "2026-01-02T10:00+05:00" << false << "2026-01-02T05:00:00Z";
        QTest::newRow("offset without colon") << "2026-01-02T10:00-0130" << false << "2026-01-02T11:30:00Z";
        QTest::newRow("month 13") << "2026-13-01" << false << "";
        QTest::newRow("hour 24") << "2026-01-02T24:00" << false << "";
        QTest::newRow("zone without time") << "2026-01-02Z" << false << "";
        QTest::newRow("trailing text") << "2026-01-02T10:00x" << false << "";
        QTest::newRow("words") << "yesterday" << false << "";
    }

    void timeBounds()
    {
        QFETCH(QString, text);
        QFETCH(bool, end);
        QFETCH(QString, utc);
        qint64 got = 0;
        QCOMPARE(parseFilterTime(text, end, &got), !utc.isEmpty());
        if (!utc.isEmpty())
            QCOMPARE(QDateTime::fromSecsSinceEpoch(got, Qt::UTC).toString(Qt::ISODate), utc);
    }

    void zoneIsNamedWithItsOffset()
    {
        const qint64 t = QDateTime(QDate(2026, 1, 2), QTime(7, 0), Qt::UTC).toSecsSinceEpoch();
        QCOMPARE(consoletime::localText(t), QStringLiteral("2026-01-02 10:00:00"));
        QCOMPARE(consoletime::offsetText(t), QStringLiteral("+03:00"));
        QVERIFY(consoletime::zoneLabel(t).endsWith(QStringLiteral("UTC+03:00")));
    }

    void hostHeaders_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("host");
        QTest::newRow("name and port") << "Rack-1.Site:8443" << "rack-1.site";
        QTest::newRow("v4") << "127.0.0.1:8080" << "127.0.0.1";
        QTest::newRow("v6") << "[::1]:8080" << "::1";
        QTest::newRow("bare") << "localhost" << "localhost";
        QTest::newRow("broken v6") << "[::1" << "";
    }

    void hostHeaders()
    {
        QFETCH(QString, header);
        QFETCH(QString, host);
        QCOMPARE(hostOfHeader(header.toStdString()), host);
        QVERIFY(defaultHosts(QStringLiteral("192.0.2.10")).contains(QStringLiteral("localhost")));
        QVERIFY(defaultHosts(QStringLiteral("192.0.2.10")).contains(QStringLiteral("192.0.2.10")));
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

    // A call that has its reply leaves the link free: the next one, sent at
    // once, is never refused as busy.
    void linkIsFreeWhenTheReplyComes()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&addr), len) == 0 && ::listen(listener, 16) == 0);
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0);
        std::atomic<bool> stop{false};
        std::thread peer([&] {
            while (!stop) {
                const int c = ::accept(listener, nullptr, nullptr);
                if (c < 0)
                    break;
                char buffer[4096];
                ::recv(c, buffer, sizeof buffer, 0);
                ::send(c, "{\"ok\":1}", 8, MSG_NOSIGNAL);
                ::close(c);
            }
        });
        controllerlink::Link link(QStringLiteral("127.0.0.1"), ntohs(addr.sin_port), 5000, 5000);
        int busy = 0, other = 0;
        for (int i = 0; i < 500; ++i) {
            const controllerlink::Reply r = link.send({{QStringLiteral("command"), QStringLiteral("get_status")}});
            busy += r.outcome == controllerlink::Outcome::Busy;
            other += r.outcome != controllerlink::Outcome::Busy && !r.ok();
        }
        stop = true;
        ::shutdown(listener, SHUT_RDWR);
        peer.join();
        ::close(listener);
        QCOMPARE(busy, 0);
        QCOMPARE(other, 0);
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
