// Login decisions, statements and texts against a real PostgreSQL server.
#include "globals.h"
#include "login.h"
#include "pictures.h"
#include "terminaltest.h"

#include <QElapsedTimer>
#include <QImage>
#include <QSqlDatabase>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Workers of the test database. Racks: 1 and 2 in set 1 (6 wide, 5 high),
// 3 in set 2 (blocked set), 4 blocked in set 1.
const char *Fixture = R"SQL(
INSERT INTO set VALUES (1, 'Комплект А', NULL), (2, 'Комплект Б', 'ремонт'), (3, 'Пустой', '');
INSERT INTO kas VALUES (1, 1, 'K1', NULL, 5, 6), (2, 1, 'K2', '', 5, 6), (3, 2, 'K3', NULL, 5, 6),
                       (4, 1, 'K4', 'замок', 5, 6);
INSERT INTO users (user_id, name_0, name_1, name_2, dose_year, dose_year_now_ppd, block,
                   set_ID, kas_ID, mesh_ID, tab_num, card_id, code) VALUES
  (1, 'Иванов', 'Иван', 'Иванович', 20, 5, NULL, 1, 1, 7, 501, 'AA01', 'BC01'),
  (2, 'Петров', 'Пётр', 'Петрович', 20, 20, '', 1, 1, 8, 502, 'AA02', 'BC02'),
  (3, 'Блок', 'Б', 'Б', 20, 1, 'уволен', 1, 1, 9, 503, NULL, NULL),
  (4, 'Доза', 'Д', 'Д', 20, 20.5, NULL, 1, 1, 10, 504, NULL, NULL),
  (5, 'Оба', 'О', 'О', 20, 21, 'уволен', 1, 1, 11, 505, NULL, NULL),
  (6, 'Безъячейки', 'Б', 'Б', 20, 0, NULL, 1, 1, 30, 506, NULL, NULL),
  (7, 'Комплект', 'К', 'К', 20, 0, NULL, 2, 3, 1, 507, NULL, NULL),
  (8, 'Кассетница', 'К', 'К', 20, 0, NULL, 1, 4, 1, 508, NULL, NULL),
  (9, 'Ячейка', 'Я', 'Я', 20, 0, NULL, 1, 1, 12, 509, NULL, NULL),
  (10, 'Нуль', 'Н', 'Н', 20, 0, NULL, 1, 2, 3, 510, 'x''y', 'a'' OR ''1''=''1'),
  (11, 'Пусто', 'П', 'П', 20, 0, NULL, NULL, NULL, NULL, 511, NULL, NULL),
  (12, 'Дробный', 'Д', 'Д', 20, 0, NULL, 1, 1, 13, 512.5, NULL, NULL),
  (13, 'Чужая', 'Ч', 'Ч', 20, 0, NULL, 1, 1, 14, 513, NULL, NULL);
INSERT INTO mesh VALUES
  (7, 1, 1, 1, 1, ''), (8, 1, 1, 2, 5, ''), (9, 1, 1, 3, 1, ''), (10, 1, 1, 4, 1, ''), (11, 1, 1, 5, 1, ''),
  (1, 3, 2, 7, 1, ''), (1, 4, 1, 8, 1, ''), (12, 1, 1, 9, 0, 'дверь'), (3, 2, 1, 10, NULL, ''),
  (13, 1, 1, 12, 1, ''), (14, 1, 1, 1, 1, '');
)SQL";

QByteArray pngBytes(const QColor &color)
{
    QImage img(8, 8, QImage::Format_RGB32);
    img.fill(color);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG");
    return bytes;
}

} // namespace

class TestLogin : public QObject
{
    Q_OBJECT

    TestCluster cluster;
    QTemporaryDir ram;

private slots:
    void initTestCase()
    {
        const QString error = cluster.start();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(cluster.exec(QString::fromUtf8(Fixture)), QString());
        QCOMPARE(cluster.exec(QStringLiteral("INSERT INTO user_photo VALUES (1, decode('%1', 'hex')), "
                                             "(2, decode('00112233', 'hex'))")
                                  .arg(QString::fromLatin1(pngBytes(Qt::red).toHex()))),
                 QString());
        QVERIFY(ram.isValid());
        G_Path_RAM = ram.path();
    }
    void init()
    {
        cluster.useCluster();
        G_Input_value = 0;
        G_Path_RAM = ram.path();
    }
    void cleanupTestCase() { cluster.stop(); }

    // Statement texts: the fixed part, and the column each kind matches.
    void statements_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("inputValue");
        QTest::addColumn<QString>("condition");
        QTest::newRow("keypad, personnel number") << 0 << 0 << "tab_num = :code";
        QTest::newRow("keypad, card column") << 0 << 1 << "card_id = :code";
        QTest::newRow("keypad, code column") << 0 << 2 << "code = :code";
        QTest::newRow("keypad, other value") << 0 << 7 << "user_id = :code";
        QTest::newRow("card") << 1 << 0 << "card_id = :code";
        QTest::newRow("barcode") << 2 << 3 << "code = :code";
        QTest::newRow("unknown kind") << 3 << 0 << "";
        QTest::newRow("negative kind") << -1 << 0 << "";
    }
    void statements()
    {
        QFETCH(int, kind);
        QFETCH(int, inputValue);
        QFETCH(QString, condition);
        G_Input_value = inputValue;
        const QString expected = condition.isEmpty()
            ? QString()
            : QStringLiteral("SELECT user_id, name_1, name_0, name_2, dose_year, dose_year_now_ppd, block, set_ID, "
                             "kas_ID, mesh_ID FROM users WHERE ") + condition;
        QCOMPARE(LoginEngine::userStatement(kind), expected);
    }

    // Every decision of a login with its exact text.
    void logins_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("inputValue");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("userId");
        const int granted = int(LoginEngine::Outcome::Granted);
        const int refused = int(LoginEngine::Outcome::Refused);
        const QString notFound = QStringLiteral("Не найден пользователь ");
        QTest::newRow("granted by keypad") << 0 << 0 << "501" << granted << "" << "1";
        QTest::newRow("leading zeros are the same number") << 0 << 0 << "000501" << granted << "" << "1";
        QTest::newRow("decimal personnel number") << 0 << 0 << "512.5" << granted << "" << "12";
        QTest::newRow("dose equal to limit allowed") << 0 << 0 << "502" << granted << "" << "2";
        QTest::newRow("granted by card") << 1 << 0 << "AA01" << granted << "" << "1";
        QTest::newRow("granted by barcode") << 2 << 0 << "BC02" << granted << "" << "2";
        QTest::newRow("keypad on card column") << 0 << 1 << "AA02" << granted << "" << "2";
        QTest::newRow("keypad on code column") << 0 << 2 << "BC01" << granted << "" << "1";
        QTest::newRow("keypad on user_id column") << 0 << 9 << "2" << granted << "" << "2";
        QTest::newRow("cell status NULL allowed") << 0 << 0 << "510" << granted << "" << "10";
        QTest::newRow("card code with quote matched as data") << 1 << 0 << "x'y" << granted << "" << "10";

        QTest::newRow("unknown number") << 0 << 0 << "999" << refused << notFound << "";
        QTest::newRow("empty code") << 0 << 0 << "" << refused << notFound << "";
        QTest::newRow("letters for a number column") << 0 << 0 << "50a" << refused << notFound << "";
        QTest::newRow("statement text for a number column") << 0 << 0 << "501 OR 1=1" << refused << notFound << "";
        QTest::newRow("user_id too large") << 0 << 9 << "99999999999" << refused << notFound << "";
        QTest::newRow("unknown kind") << 5 << 0 << "501" << refused << notFound << "";
        QTest::newRow("card injection") << 1 << 0 << "' OR '1'='1" << refused << notFound << "";
        QTest::newRow("barcode injection stays a code") << 2 << 0 << "x' OR 'a'='a' --" << refused << notFound << "";
        QTest::newRow("barcode semicolon") << 2 << 0 << "x'; DROP TABLE users; --" << refused << notFound << "";

        QTest::newRow("worker blocked") << 0 << 0 << "503" << refused << "уволен Блок\nБ\nБ" << "3";
        QTest::newRow("dose exceeded") << 0 << 0 << "504" << refused
                                       << "Текущая разрешенная доза 20.000 превышена 20.500 Доза\nД\nД" << "4";
        QTest::newRow("blocked and dose exceeded: dose text") << 0 << 0 << "505" << refused
                                       << "Текущая разрешенная доза 20.000 превышена 21.000 Оба\nО\nО" << "5";
        QTest::newRow("no cell row") << 0 << 0 << "506" << refused
                                     << "Не найдены закрепленные за пользователем ячейки!" << "6";
        QTest::newRow("cell of another worker") << 0 << 0 << "513" << refused
                                                << "Не найдены закрепленные за пользователем ячейки!" << "13";
        QTest::newRow("NULL identifiers") << 0 << 0 << "511" << refused
                                          << "Не найдены закрепленные за пользователем ячейки!" << "11";
        QTest::newRow("set blocked") << 0 << 0 << "507" << refused
                                     << "Заблокирован доступ к комплекту:ремонт\nобратитесь к администратору" << "7";
        QTest::newRow("rack blocked") << 0 << 0 << "508" << refused << "Заблокирован доступ к кассетнице:замок" << "8";
        QTest::newRow("cell blocked") << 0 << 0 << "509" << refused << "Заблокирован доступ к ячейке:0" << "9";
    }
    void logins()
    {
        QFETCH(int, kind);
        QFETCH(int, inputValue);
        QFETCH(QString, code);
        QFETCH(int, outcome);
        QFETCH(QString, text);
        QFETCH(QString, userId);
        G_Input_value = inputValue;
        const LoginEngine::Result r = LoginEngine::login(kind, code);
        QCOMPARE(int(r.outcome), outcome);
        QCOMPARE(r.text, text);
        QCOMPARE(r.user.userId, userId);
        QVERIFY2(!QSqlDatabase::contains(G_DatabaseName), "connection left registered");
    }

    // What a granted login hands to the cell dialog.
    void grantedHandsOver()
    {
        const LoginEngine::Result r = LoginEngine::login(0, QStringLiteral("510"));
        QCOMPARE(int(r.outcome), int(LoginEngine::Outcome::Granted));
        QCOMPARE(r.user.name, QStringLiteral("Нуль\nН\nН"));
        const QStringList got{r.cell.setId, r.cell.kasId, r.cell.meshId, r.cell.status, r.cell.setName,
                              r.cell.kasName, r.cell.height, r.cell.width};
        const QStringList want{"1", "2", "3", "2", "Комплект А", "Т1 | ", "5", "6"};
        QCOMPARE(got, want);
        QCOMPARE(r.cell.kasName.toUtf8().toHex(), QByteArray("d0a231207c20")); // Cyrillic Т, blank after the bar
    }

    // The tables are untouched by the injection attempts above.
    void injectionChangesNothing()
    {
        LoginEngine::login(2, QStringLiteral("x'; DELETE FROM users; --"));
        LoginEngine::login(1, QStringLiteral("'; DELETE FROM users; --"));
        QCOMPARE(int(LoginEngine::login(0, QStringLiteral("501")).outcome), int(LoginEngine::Outcome::Granted));
    }

    void photoCache_data()
    {
        QTest::addColumn<QString>("userId");
        QTest::addColumn<bool>("goodCache");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<bool>("cached");
        QTest::newRow("photo stored") << "1" << true << true << true;
        QTest::newRow("bytes that are no PNG") << "2" << true << true << false;
        QTest::newRow("no photo row") << "3" << true << true << false;
        QTest::newRow("cache folder missing") << "1" << false << true << false;
        QTest::newRow("database unreachable") << "1" << true << false << false;
        QTest::newRow("identifier not a number") << "../1" << true << true << false;
    }
    void photoCache()
    {
        QFETCH(QString, userId);
        QFETCH(bool, goodCache);
        QFETCH(bool, reachable);
        QFETCH(bool, cached);
        QTemporaryDir dir;
        G_Path_RAM = goodCache ? dir.path() : dir.path() + QStringLiteral("/missing");
        if (!reachable)
            G_port_database = closedPort();
        const QString shown = LoginEngine::cachePhoto(userId);
        const QString path = G_Path_RAM + QLatin1Char('/') + userId + QStringLiteral(".png");
        if (cached) {
            QCOMPARE(shown, path);
            QImage img(path, "PNG");
            QCOMPARE(img.size(), QSize(8, 8));
            QCOMPARE(QColor(img.pixel(3, 3)), QColor(Qt::red));
        } else {
            QCOMPARE(shown, Pictures::DefaultPhoto);
            QVERIFY(!QFile::exists(path));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), cached ? 1 : 0);
        QVERIFY(!QSqlDatabase::contains(G_DatabaseName));
    }

    // A refused connection, a wrong password and a server that never answers
    // all give the connection error, the last one after the 5 s time-out.
    void databaseUnreachable_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("closed port") << "closed";
        QTest::newRow("wrong password") << "password";
        QTest::newRow("silent server") << "silent";
    }
    void databaseUnreachable()
    {
        QFETCH(QString, how);
        QTcpServer silent;
        if (how == QLatin1String("closed")) {
            G_port_database = closedPort();
        } else if (how == QLatin1String("password")) {
            G_Password = QStringLiteral("wrong");
        } else {
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            G_port_database = silent.serverPort();
        }
        QElapsedTimer clock;
        clock.start();
        const LoginEngine::Result r = LoginEngine::login(0, QStringLiteral("501"));
        const qint64 ms = clock.elapsed();
        QCOMPARE(int(r.outcome), int(LoginEngine::Outcome::DatabaseError));
        QVERIFY2(ms < 9000, qPrintable(QString::number(ms)));
        if (how == QLatin1String("silent")) {
            QVERIFY2(ms >= 4000, qPrintable(QString::number(ms)));
            QVERIFY(silent.waitForNewConnection(0) || silent.hasPendingConnections());
        }
        QVERIFY(!QSqlDatabase::contains(G_DatabaseName));
    }

    // The demo data covers every refusal and a successful login.
    void demoData_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("1001") << 0 << "1001" << "";
        QTest::newRow("1002 NULL status") << 0 << "1002" << "";
        QTest::newRow("1009 without photo") << 0 << "1009" << "";
        QTest::newRow("card") << 1 << "04A1B2C3D4" << "";
        QTest::newRow("barcode") << 2 << "343630373030313233343536370D" << "";
        QTest::newRow("1003") << 0 << "1003" << "Пропуск изъят Кузнецов\nИлья\nОлегович";
        QTest::newRow("1004") << 0 << "1004" << "Текущая разрешенная доза 20.000 превышена 20.500 Смирнов\nОлег\nИванович";
        QTest::newRow("1005") << 0 << "1005" << "Не найдены закрепленные за пользователем ячейки!";
        QTest::newRow("1006") << 0 << "1006"
                              << "Заблокирован доступ к комплекту:Плановая проверка\nобратитесь к администратору";
        QTest::newRow("1007") << 0 << "1007" << "Заблокирован доступ к кассетнице:Неисправен замок";
        QTest::newRow("1008") << 0 << "1008" << "Заблокирован доступ к ячейке:0";
        QTest::newRow("other") << 0 << "4242" << "Не найден пользователь ";
    }
    void demoData()
    {
        QFETCH(int, kind);
        QFETCH(QString, code);
        QFETCH(QString, text);
        static bool loaded = false;
        if (!loaded) {
            QCOMPARE(cluster.exec(QStringLiteral("DROP TABLE users, mesh, kas, set, user_photo")), QString());
            QCOMPARE(cluster.execFile(sourcePath(QStringLiteral("db/schema.sql"))), QString());
            QCOMPARE(cluster.execFile(sourcePath(QStringLiteral("db/demo.sql"))), QString());
            loaded = true;
        }
        const LoginEngine::Result r = LoginEngine::login(kind, code);
        QCOMPARE(r.text, text);
        QCOMPARE(r.outcome, text.isEmpty() ? LoginEngine::Outcome::Granted : LoginEngine::Outcome::Refused);
    }
};

QTEST_GUILESS_MAIN(TestLogin)
#include "tst_login.moc"
