// Port-to-cell discovery at start-up and the "Init_hub_ini" calibration,
// in-process against a simulated rack and the stand-in udevadm.
#include "hubid.h"
#include "rackmap.h"
#include "settings.h"
#include "simrack.h"
#include "statefiles.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QtTest>

#include <memory>

namespace {

QByteArray lines(const QStringList &values)
{
    QByteArray out;
    for (const QString &v : values)
        out += v.toUtf8() + '\n';
    return out;
}

QString recorded(const QString &port, const QString &cell, const QString &error = QString())
{
    return QStringLiteral("{\"port\": \"%1\", \"cell\": \"%2\",\"error\":\"%3\"}").arg(port, cell, error);
}

QString notFound(const QString &port, const QString &cell)
{
    return QStringLiteral("{\"port\": \"%1\", \"cell\": \"%2\", \"error\":\"Не найден дозиметр по номеру порта: "
                          "%1 ячейка %2\"}")
        .arg(port, cell);
}

} // namespace

class TestRackMap : public QObject
{
    Q_OBJECT
    QString m_startDir;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SimRack> m_rack;

    QString ram(const QString &name) const { return G_Path_RAM + name; }
    QString hubFile() const { return m_dir->filePath(QStringLiteral("hub.ini")); }

    void settings(const QString &countLine)
    {
        QStringList kv{QStringLiteral("Path_RAM=") + m_dir->filePath(QStringLiteral("ram"))};
        if (!countLine.isEmpty())
            kv << countLine;
        writeSettings(G_settings_file, kv);
    }

    // Device descriptions "DEVICE@POSITION=NUMBER", optionally followed by
    // " user ID", " silent" or " no-hub-id".
    void insertDevices(const QStringList &devices)
    {
        for (const QString &d : devices) {
            const QStringList words = d.split(QLatin1Char(' '));
            const QStringList head = words.first().split(QRegularExpression(QStringLiteral("[@=]")));
            const int device = head.at(0).toInt();
            QCOMPARE(m_rack->insert(head.at(1).toInt(), head.at(2).toInt(), device), device);
            if (words.value(1) == QLatin1String("user"))
                m_rack->setUser(device, words.value(2).toLatin1(), QByteArray(), QByteArray());
            else if (words.value(1) == QLatin1String("silent"))
                m_rack->setFault(device, SimRack::AllCodes, SimFault::silence());
            else if (words.value(1) == QLatin1String("no-hub-id"))
                m_rack->setUdevOutput(device, "E: no device\n");
        }
    }

private slots:
    void initTestCase()
    {
        m_startDir = QDir::currentPath();
        qputenv("PATH", QFile::encodeName(SimRack::udevadmDir()) + ':' + qgetenv("PATH"));
    }

    void init()
    {
        resetGlobals();
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir::setCurrent(m_dir->path()));
        QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("ram"))));
        G_settings_file = m_dir->filePath(QStringLiteral("settings.ini"));
        G_Path_RAM = m_dir->filePath(QStringLiteral("ram"));
        settings(QString());
        m_rack.reset(new SimRack(m_dir->filePath(QStringLiteral("rack"))));
        G_ports_dkg = makePortList(m_rack->portBase());
    }

    void cleanup()
    {
        m_rack.reset();
        QDir::setCurrent(m_startDir);
        m_dir.reset();
    }

    void startUpRegistersFreeDosimeters_data()
    {
        QTest::addColumn<QStringList>("hub");       // positions, or "blank"
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<QStringList>("numbers");   // expected per cell
        QTest::addColumn<QStringList>("ports");     // device numbers per cell
        QTest::newRow("three cells in shuffled positions")
            << QStringList{"1", "2", "3"} << QStringList{"0@2=1000", "1@1=1001", "2@3=1002"}
            << QStringList{"1001", "1000", "1002"} << QStringList{"1", "0", "2"};
        QTest::newRow("dosimeter carrying a user left out")
            << QStringList{"1", "2", "3"} << QStringList{"0@1=1000", "1@2=1001 user 77", "2@3=1002"}
            << QStringList{"1000", "", "1002"} << QStringList{"0", "", "2"};
        QTest::newRow("same hub id: the later device wins")
            << QStringList{"1", "2", "3"} << QStringList{"0@1=1000", "1@1=1001"}
            << QStringList{"1001", "", ""} << QStringList{"1", "", ""};
        QTest::newRow("position without a hub line")
            << QStringList{"1", "2"} << QStringList{"0@5=1000", "1@2=1001"}
            << QStringList{"", "1001"} << QStringList{"", "1"};
        QTest::newRow("only as many devices as hub lines are asked")
            << QStringList{"1"} << QStringList{"1@1=1001"} << QStringList{""} << QStringList{""};
        QTest::newRow("silent dosimeter not registered")
            << QStringList{"1", "2"} << QStringList{"0@1=1000 silent", "1@2=1001"}
            << QStringList{"", "1001"} << QStringList{"", "1"};
        QTest::newRow("no hub id matches no blank line")
            << QStringList{"blank", "2"} << QStringList{"0@1=1000 no-hub-id", "1@2=1001"}
            << QStringList{"", "1001"} << QStringList{"", "1"};
        QTest::newRow("no hub.ini: no cells") << QStringList{} << QStringList{"0@1=1000"} << QStringList{}
                                              << QStringList{};
    }

    void startUpRegistersFreeDosimeters()
    {
        QFETCH(QStringList, hub);
        QFETCH(QStringList, devices);
        QFETCH(QStringList, numbers);
        QFETCH(QStringList, ports);
        QStringList hubLines;
        for (const QString &h : hub)
            hubLines << (h == QLatin1String("blank") ? QString() : SimRack::hubId(h.toInt()));
        if (!hub.isEmpty())
            writeBytes(hubFile(), lines(hubLines));
        insertDevices(devices);

        QCOMPARE(Init_start(), QStringLiteral("success"));

        QCOMPARE(G_Path_RAM, m_dir->filePath(QStringLiteral("ram")));
        QStringList portPaths;
        for (const QString &p : ports)
            portPaths << (p.isEmpty() ? QString() : m_rack->portPath(p.toInt()));
        QCOMPARE(readBytes(ram("/nomer_ppd.ini")), lines(numbers));
        QCOMPARE(readBytes(ram("/port.ini")), lines(portPaths));
        QCOMPARE(readBytes(ram("/error.ini")), QByteArray(hub.size(), '\n'));
        QCOMPARE(readBytes(ram("/datatime.ini")), QByteArray("0\n").repeated(hub.size()));
        for (const char *name : {"/nomer_ppd.ini", "/port.ini", "/error.ini", "/datatime.ini"})
            QVERIFY2(QFileInfo::exists(ram(QLatin1String(name))), name);
        QCOMPARE(readBytes(hubFile()), hub.isEmpty() ? QByteArray() : lines(hubLines));
    }

    void startUpLogsEachDevice()
    {
        writeBytes(hubFile(), lines({SimRack::hubId(1), SimRack::hubId(2), SimRack::hubId(3), SimRack::hubId(4)}));
        insertDevices({"0@2=1000", "1@1=1001 user 77", "2@3=1002 silent", "3@9=1003"});
        LogCapture capture;
        Init_start();
        QCOMPARE(capture.lines(),
                 (QStringList{QStringLiteral("G_kas_count_cell-30"),
                              QStringLiteral("Номер дозиметра 1000"), QStringLiteral("идентификатор пользователя "),
                              SimRack::hubId(2), QStringLiteral("найден"),
                              QStringLiteral("Номер дозиметра 1001"), QStringLiteral("идентификатор пользователя 77"),
                              QStringLiteral("не ид"),
                              QStringLiteral("Ошибка чтения номера дозиметра"),
                              QStringLiteral("Номер дозиметра 1003"), QStringLiteral("идентификатор пользователя "),
                              SimRack::hubId(9)}));
    }

    void startUpKeepsExistingRegistrations()
    {
        writeBytes(hubFile(), lines({SimRack::hubId(1), SimRack::hubId(2)}));
        insertDevices({"0@1=1000", "1@2=1001"});
        const QByteArray numbers = lines({"5", ""});
        const QByteArray ports = lines({"/old/port", ""});
        const QByteArray errors = lines({"блок", ""});
        const QByteArray times = lines({"17", "0"});
        writeBytes(ram("/nomer_ppd.ini"), numbers);
        writeBytes(ram("/port.ini"), ports);
        writeBytes(ram("/error.ini"), errors);
        writeBytes(ram("/datatime.ini"), times);
        Init_start();
        QCOMPARE(readBytes(ram("/nomer_ppd.ini")), numbers);
        QCOMPARE(readBytes(ram("/port.ini")), ports);
        QCOMPARE(readBytes(ram("/error.ini")), errors);
        QCOMPARE(readBytes(ram("/datatime.ini")), times);
        QVERIFY(m_rack->requests(0).isEmpty() && m_rack->requests(1).isEmpty());

        // Without "/nomer_ppd.ini" the devices are scanned and "/port.ini" rewritten.
        QFile::remove(ram("/nomer_ppd.ini"));
        Init_start();
        QCOMPARE(readBytes(ram("/nomer_ppd.ini")), lines({"1000", "1001"}));
        QCOMPARE(readBytes(ram("/port.ini")), lines({m_rack->portPath(0), m_rack->portPath(1)}));
        QCOMPARE(readBytes(ram("/error.ini")), errors);
    }

    // A rack calibrated after its first start-up (the files were made for an
    // empty hub.ini) or enlarged: the files get the missing lines, and only
    // those lines are scanned; what the files hold stays.
    void startUpCompletesShortFiles_data()
    {
        QTest::addColumn<int>("cells");           // lines of hub.ini, positions 1..cells
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<QStringList>("before");  // nomer_ppd, port, error, datatime; "|" separates lines
        QTest::addColumn<QStringList>("after");   // "pN" stands for the port of device N
        QTest::newRow("first start before calibration: empty files")
            << 2 << QStringList{"0@1=1000", "1@2=1001"} << QStringList{"", "", "", ""}
            << QStringList{"1000|1001", "p0|p1", "|", "0|0"};
        QTest::newRow("blank lines only: scanned as a whole")
            << 3 << QStringList{"0@1=1000", "1@2=1001", "2@3=1002"} << QStringList{"|", "|", "|", "0|0"}
            << QStringList{"1000|1001|1002", "p0|p1|p2", "||", "0|0|0"};
        QTest::newRow("registrations kept, new cells scanned")
            << 3 << QStringList{"0@1=1000", "1@2=1001", "2@3=1002 user 77"}
            << QStringList{"5", "/old/port", "блок", "17"}
            << QStringList{"5|1001|", "/old/port|p1|", "блок||", "17|0|0"};
        QTest::newRow("a registered device is not registered again")
            << 2 << QStringList{"0@2=1000"} << QStringList{"1000", "p0", "", "0"}
            << QStringList{"1000|", "p0|", "|", "0|0"};
        QTest::newRow("longer files left alone")
            << 1 << QStringList{"0@1=1000"} << QStringList{"7|8", "/a|/b", "x|y", "1|2"}
            << QStringList{"7|8", "/a|/b", "x|y", "1|2"};
    }

    void startUpCompletesShortFiles()
    {
        QFETCH(int, cells);
        QFETCH(QStringList, devices);
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QStringList hub;
        for (int i = 1; i <= cells; ++i)
            hub << SimRack::hubId(i);
        writeBytes(hubFile(), lines(hub));
        insertDevices(devices);
        const char *names[] = {"/nomer_ppd.ini", "/port.ini", "/error.ini", "/datatime.ini"};
        auto fileLines = [this](const QString &text) {
            if (text.isEmpty())
                return QByteArray();
            QString t = text;
            t.replace(QRegularExpression(QStringLiteral("\\bp(\\d+)\\b")), QStringLiteral("@\\1"));
            QStringList values = t.split(QLatin1Char('|'));
            for (QString &v : values)
                if (v.startsWith(QLatin1Char('@')))
                    v = m_rack->portPath(v.mid(1).toInt());
            return lines(values);
        };
        for (int i = 0; i < 4; ++i)
            writeBytes(ram(QLatin1String(names[i])), fileLines(before.at(i)));

        LogCapture capture;
        QCOMPARE(Init_start(), QStringLiteral("success"));
        for (int i = 0; i < 4; ++i)
            QVERIFY2(readBytes(ram(QLatin1String(names[i]))) == fileLines(after.at(i)),
                     qPrintable(QLatin1String(names[i]) + QStringLiteral(": ")
                                + QString::fromUtf8(readBytes(ram(QLatin1String(names[i]))))));
        const bool completed = before != after;
        QCOMPARE(capture.lines().contains(QStringLiteral("файл nomer_ppd.ini дополнен до %1 строк по hub.ini")
                                              .arg(cells)),
                 completed);
        // A device already registered is not asked again.
        if (before.at(1).contains(QLatin1String("p0")))
            QVERIFY(m_rack->requests(0).isEmpty());
    }

    void startUpCellCount_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("hubLines");
        QTest::addColumn<int>("count");
        QTest::newRow("key absent, short hub.ini") << "" << 4 << 30;
        QTest::newRow("raised to the hub lines") << "kas_count_cell=2" << 4 << 4;
        QTest::newRow("larger setting kept") << "kas_count_cell=40" << 4 << 40;
        QTest::newRow("not a number, raised") << "kas_count_cell=abc" << 3 << 3;
        QTest::newRow("not a number, no hub.ini") << "kas_count_cell=abc" << 0 << 0;
    }

    void startUpCellCount()
    {
        QFETCH(QString, setting);
        QFETCH(int, hubLines);
        QFETCH(int, count);
        settings(setting);
        QStringList hub;
        for (int i = 1; i <= hubLines; ++i)
            hub << SimRack::hubId(i);
        if (hubLines > 0)
            writeBytes(hubFile(), lines(hub));
        Init_start();
        QCOMPARE(G_kas_count_cell, count);
    }

    void startUpWithUnreadableHubCreatesNothing()
    {
        QVERIFY(QDir().mkpath(hubFile()));
        insertDevices({"0@1=1000"});
        QCOMPARE(Init_start(), QStringLiteral("success"));
        QVERIFY(QDir(G_Path_RAM).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QVERIFY(m_rack->requests(0).isEmpty());
    }

    void initHubIni_data()
    {
        QTest::addColumn<QStringList>("before");   // "-" alone: no file
        QTest::addColumn<QString>("cell");
        QTest::addColumn<QStringList>("after");    // "id" stands for the device's hub id
        QTest::newRow("cell 1 restarts the file") << QStringList{"a", "b", "c"} << "1" << QStringList{"id"};
        QTest::newRow("cell 5 on two lines appends") << QStringList{"a", "b"} << "5" << QStringList{"a", "b", "id"};
        QTest::newRow("cell 2 inserts") << QStringList{"a", "b", "c"} << "2" << QStringList{"a", "id", "b", "c"};
        QTest::newRow("cell 3 again shifts the rest down")
            << QStringList{"a", "b", "c", "d", "e"} << "3" << QStringList{"a", "b", "id", "c", "d", "e"};
        QTest::newRow("not a number inserts at the front") << QStringList{"a", "b"} << "x" << QStringList{"id", "a", "b"};
        QTest::newRow("zero inserts at the front") << QStringList{"a"} << "0" << QStringList{"id", "a"};
        QTest::newRow("lowest integer inserts at the front")
            << QStringList{"a"} << "-2147483648" << QStringList{"id", "a"};
        QTest::newRow("missing file created") << QStringList{"-"} << "1" << QStringList{"id"};
        QTest::newRow("missing file, cell 3") << QStringList{"-"} << "3" << QStringList{"id"};
        QTest::newRow("cells 1, 2, 3 in a row build the file") << QStringList{"-"} << "1,2,3"
                                                              << QStringList{"id", "id", "id"};
    }

    void initHubIni()
    {
        QFETCH(QStringList, before);
        QFETCH(QString, cell);
        QFETCH(QStringList, after);
        insertDevices({"4@7=1000"});
        const QString port = m_rack->portPath(4);
        if (before != QStringList{"-"})
            writeBytes(hubFile(), lines(before));
        for (const QString &c : cell.split(QLatin1Char(',')))
            QCOMPARE(Init_hub_ini(port, c), recorded(port, c));
        after.replaceInStrings(QRegularExpression(QStringLiteral("^id$")), SimRack::hubId(7));
        QCOMPARE(readBytes(hubFile()), lines(after));
    }

    void initHubIniRefusesWithoutHubId_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("cell");
        QTest::newRow("absent device") << "absent" << "2";
        QTest::newRow("path outside the rack's devices") << "foreign" << "1";
        QTest::newRow("udevadm prints nothing") << "silent udevadm" << "1";
        QTest::newRow("first line without three fields") << "odd udevadm" << "1";
        QTest::newRow("quote in the port") << "quote" << "3";
    }

    void initHubIniRefusesWithoutHubId()
    {
        QFETCH(QString, situation);
        QFETCH(QString, cell);
        insertDevices({"0@1=1000"});
        QString port = m_rack->portPath(0);
        if (situation == QLatin1String("absent"))
            port = m_rack->portPath(9);
        else if (situation == QLatin1String("foreign"))
            port = G_settings_file;
        else if (situation == QLatin1String("silent udevadm"))
            m_rack->setUdevOutput(0, QByteArray());
        else if (situation == QLatin1String("odd udevadm"))
            m_rack->setUdevOutput(0, "P: ttyACM0\nE: x/y\n");
        else if (situation == QLatin1String("quote"))
            port = QStringLiteral("/dev/tty\"ACM");
        const QByteArray hub = lines({"a", "b"});
        writeBytes(hubFile(), hub);

        const QString reply = Init_hub_ini(port, cell);
        QString shownPort = port;
        shownPort.replace(QLatin1Char('"'), QLatin1String("\\\""));
        QCOMPARE(reply, notFound(shownPort, cell));
        QVERIFY(QJsonDocument::fromJson(reply.toUtf8()).isObject());
        QCOMPARE(readBytes(hubFile()), hub);
    }

    void initHubIniWriteFailure()
    {
        insertDevices({"0@1=1000"});
        QVERIFY(QDir().mkpath(hubFile()));
        const QString port = m_rack->portPath(0);
        QCOMPARE(Init_hub_ini(port, QStringLiteral("1")),
                 recorded(port, QStringLiteral("1"), QStringLiteral("Ошибка записи hub.ini")));
        QVERIFY(QFileInfo(hubFile()).isDir());
    }

    void hubIdIsNeverAShellCommand()
    {
        // A device path holding shell syntax reaches udevadm as one argument.
        const QString marker = m_dir->filePath(QStringLiteral("ran"));
        const QString odd = m_dir->filePath(QStringLiteral("x;touch ran"));
        writeBytes(odd, "");
        QCOMPARE(Get_hub_id(odd), QString());
        G_ports_dkg << odd;
        Init_hub_ini(odd, QStringLiteral("1"));
        QVERIFY(!QFileInfo::exists(marker));
    }
};

QTEST_GUILESS_MAIN(TestRackMap)
#include "tst_rackmap.moc"
