// The command-line front end: start-up lines, one answer per command, and
// the dosimeters it serves reflecting the commands.

#include "simrack.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray exchange(const QString &path, const QByteArray &frame)
{
    QSerialPort port(path);
    port.setBaudRate(115200);
    if (!port.open(QIODevice::ReadWrite))
        return QByteArray();
    port.write(frame);
    port.waitForBytesWritten(1000);
    QByteArray reply;
    while (port.waitForReadyRead(100))
        reply += port.readAll();
    return reply;
}

class Cli
{
public:
    bool start(const QStringList &args)
    {
        m_proc.setProgram(SimRack::cliPath());
        m_proc.setArguments(args);
        m_proc.start();
        return m_proc.waitForStarted(5000);
    }
    QString line(int timeoutMs = 5000)
    {
        while (!m_proc.canReadLine()) {
            if (!m_proc.waitForReadyRead(timeoutMs))
                return QStringLiteral("<no line>");
        }
        return QString::fromUtf8(m_proc.readLine()).chopped(1);
    }
    QString ask(const QString &command)
    {
        m_proc.write(command.toUtf8() + '\n');
        return line();
    }
    QProcess &proc() { return m_proc; }

private:
    QProcess m_proc;
};

} // namespace

class TestSimRackCli : public QObject
{
    Q_OBJECT

private slots:
    void badArguments_data();
    void badArguments();
    void session();
};

void TestSimRackCli::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no dir") << QStringList{QStringLiteral("--count"), QStringLiteral("2")};
    QTest::newRow("unknown type") << QStringList{QStringLiteral("--dir"), QStringLiteral("/tmp/x"),
                                                 QStringLiteral("--type"), QStringLiteral("1400")};
    QTest::newRow("count not a number") << QStringList{QStringLiteral("--dir"), QStringLiteral("/tmp/x"),
                                                       QStringLiteral("--count"), QStringLiteral("many")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--dir"), QStringLiteral("/tmp/x"),
                                                   QStringLiteral("--fast")};
}

void TestSimRackCli::badArguments()
{
    QFETCH(QStringList, args);
    QProcess p;
    p.start(SimRack::cliPath(), args);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(p.readAllStandardOutput().isEmpty());
    QVERIFY(p.readAllStandardError().contains("usage"));
}

void TestSimRackCli::session()
{
    QTemporaryDir dir;
    Cli cli;
    QVERIFY(cli.start({QStringLiteral("--dir"), dir.path(), QStringLiteral("--count"), QStringLiteral("3"),
                       QStringLiteral("--type"), QStringLiteral("1300GN"), QStringLiteral("--first-number"),
                       QStringLiteral("500")}));
    const QString base = dir.path() + QStringLiteral("/ttyACM");
    QCOMPARE(cli.line(), QStringLiteral("port_base ") + base);
    QCOMPARE(cli.line(), QStringLiteral("udevadm_dir ") + SimRack::udevadmDir());
    QCOMPARE(cli.line(), QStringLiteral("ready 3 devices type 1300GN"));

    // Each command and the pattern of its one answer line.
    const QList<QPair<QString, QString>> script = {
        {"list", "^ok 3 0:1:500 1:2:501 2:3:502$"},
        {"user 1 ab12 \"цех 5\" Иванов Иван", "^ok user 1$"},
        {"show 1", "^ok device=1 position=2 number=501 type=0x03 user_id=\"AB12\" order=\"ЦЕХ 5\" "
                   "name=\"ИВАНОВ ИВАН\" gamma=0 "},
        {"user 2 \"7\\\"1\" \"ЦЕХ \\\"5\\\" \\\\\" Петров", "^ok user 2$"},
        {"show 2", " user_id=\"7\"1\" order=\"ЦЕХ \"5\" \\\\\" name=\"ПЕТРОВ\" "},
        {"dose 1 1.5 0.25", "^ok dose 1$"},
        {"maxrate 1 2.5 3600 0.5 -7", "^ok maxrate 1$"},
        {"history 1 130", "^ok history 1 130$"},
        {"show 1", " gamma=1.5 neutron=0.25 maxrate=2.5 maxtime=3600 nmaxrate=0.5 nmaxtime=-7 .* history=130$"},
        {"maxrate 1 4 10", "^ok maxrate 1$"},
        {"show 1", " maxrate=4 maxtime=10 nmaxrate=0.5 nmaxtime=-7 "},
        {"remove 0", "^ok removed 0$"},
        {"remove 0", "^error no device 0$"},
        {"insert 1", "^ok device 0 number 503 position 1 port " + QRegularExpression::escape(base) + "0$"},
        {"insert 9 777 12", "^ok device 12 number 777 position 9 "},
        {"insert 9", "^error position 9 is occupied by device 12$"},
        {"insert 10 777", "^error number 777 is in device 12$"},
        {"insert 0", "^error usage"},
        {"dose 2 lots", "^error usage"},
        {"history 2 -1", "^error usage"},
        {"fault 2 0x4F cut 13", "^ok fault cut$"},
        {"fault 2 0x4F bounce", "^error unknown fault"},
        {"frobnicate 2", "^error unknown command frobnicate$"},
        {"user 7 a b c", "^error no device 7$"},
        {"list", "^ok 4 0:1:503 1:2:501 2:3:502 12:9:777$"},
    };
    for (const auto &step : script) {
        const QString answer = cli.ask(step.first);
        QVERIFY2(QRegularExpression(step.second).match(answer).hasMatch(),
                 qPrintable(step.first + QStringLiteral(" -> ") + answer));
    }

    // The served dosimeters reflect the commands.
    QByteArray reply = exchange(base + QStringLiteral("1"), simframe::build(0, 0x01));
    QCOMPARE(reply.mid(5, 4).toHex(), QByteArray("f5010000"));   // 501
    QCOMPARE(int(quint8(reply.at(12))), 0x03);
    reply = exchange(base + QStringLiteral("1"), simframe::build(501, 0x49));
    QCOMPARE(reply.mid(11, 6).toHex(), QByteArray("05d6c5d52035"));
    reply = exchange(base + QStringLiteral("1"), simframe::build(501, 0x30));
    QCOMPARE(reply.mid(12, 2).toHex(), QByteArray("8200"));
    QCOMPARE(exchange(base + QStringLiteral("2"), simframe::build(502, 0x4F)).size(), 13);
    QVERIFY(QFileInfo(base + QStringLiteral("12")).isSymLink());

    QCOMPARE(cli.ask(QStringLiteral("quit")), QStringLiteral("ok bye"));
    QVERIFY(cli.proc().waitForFinished(5000));
    QCOMPARE(cli.proc().exitCode(), 0);
    QVERIFY(!QFileInfo(base + QStringLiteral("1")).isSymLink());
    QVERIFY(!QFileInfo(base + QStringLiteral("12")).isSymLink());
}

QTEST_GUILESS_MAIN(TestSimRackCli)
#include "tst_simrack_cli.moc"
