// The stand-in udevadm over a simulated rack: output shape, unknown paths,
// injected odd output and delays.

#include "simrack.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

Run udevadm(const QStringList &args, const QStringList &env = {})
{
    Run r;
    QProcess p;
    QProcessEnvironment pe = QProcessEnvironment::systemEnvironment();
    for (const QString &kv : env)
        pe.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    p.setProcessEnvironment(pe);
    QElapsedTimer t;
    t.start();
    p.start(SimRack::udevadmPath(), args);
    if (!p.waitForFinished(10000))
        return r;
    r.ms = t.elapsed();
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The controller's rule: third "/"-field from the end of the first line,
// without its first character.
QString hubIdOf(const QByteArray &out)
{
    const QList<QByteArray> fields = out.split('\n').value(0).split('/');
    return fields.size() < 3 ? QString() : QString::fromUtf8(fields.at(fields.size() - 3).mid(1));
}

} // namespace

class TestUdevadm : public QObject
{
    Q_OBJECT

private slots:
    void folderHoldsOnlyTheTool();
    void query_data();
    void query();
};

void TestUdevadm::folderHoldsOnlyTheTool()
{
    QCOMPARE(QDir(SimRack::udevadmDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("udevadm")});
}

void TestUdevadm::query_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("device");
    QTest::addColumn<QString>("setup");       // what is done to the rack first
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("firstLine");
    QTest::addColumn<QString>("hubId");
    QTest::addColumn<int>("minMs");

    QTest::newRow("cell 2 on ttyACM0") << 2 << 0 << "" << QStringList() << 0
                                       << QByteArray("P: /devices/platform/soc/usb1/1-1/1-1.2/1-1.2:1.0/tty/ttyACM0")
                                       << "-1.2:1.0" << 0;
    QTest::newRow("cell 17 on ttyACM30") << 17 << 30 << "" << QStringList() << 0
                                         << QByteArray("P: /devices/platform/soc/usb1/1-1/1-1.17/1-1.17:1.0/tty/ttyACM30")
                                         << "-1.17:1.0" << 0;
    QTest::newRow("removed") << 3 << 1 << "remove" << QStringList() << 1 << QByteArray() << "" << 0;
    QTest::newRow("other folder") << 3 << 1 << "elsewhere" << QStringList() << 1 << QByteArray() << "" << 0;
    QTest::newRow("odd first line") << 3 << 1 << "odd" << QStringList() << 0 << QByteArray("no sysfs here") << "" << 0;
    QTest::newRow("no output") << 3 << 1 << "empty" << QStringList() << 0 << QByteArray() << "" << 0;
    QTest::newRow("delay for all") << 4 << 2 << "" << QStringList{QStringLiteral("SIMRACK_UDEVADM_DELAY_MS=300")} << 0
                                   << QByteArray("P: /devices/platform/soc/usb1/1-1/1-1.4/1-1.4:1.0/tty/ttyACM2")
                                   << "-1.4:1.0" << 300;
    QTest::newRow("delay for one") << 4 << 2 << "delay" << QStringList() << 0
                                   << QByteArray("P: /devices/platform/soc/usb1/1-1/1-1.4/1-1.4:1.0/tty/ttyACM2")
                                   << "-1.4:1.0" << 250;
}

void TestUdevadm::query()
{
    QFETCH(int, position);
    QFETCH(int, device);
    QFETCH(QString, setup);
    QFETCH(QStringList, env);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, firstLine);
    QFETCH(QString, hubId);
    QFETCH(int, minMs);

    QTemporaryDir dir;
    SimRack rack(dir.path());
    QCOMPARE(rack.insert(position, 1000 + device, device), device);
    QString path = rack.portPath(device);
    if (setup == QLatin1String("remove"))
        QVERIFY(rack.remove(device));
    else if (setup == QLatin1String("elsewhere"))
        path = dir.path() + QStringLiteral("/other/ttyACM%1").arg(device);
    else if (setup == QLatin1String("odd"))
        QVERIFY(rack.setUdevOutput(device, "no sysfs here\nsecond line\n"));
    else if (setup == QLatin1String("empty"))
        QVERIFY(rack.setUdevOutput(device, QByteArray()));
    else if (setup == QLatin1String("delay"))
        QVERIFY(rack.setUdevDelay(device, 250));

    const Run r = udevadm({QStringLiteral("info"), path}, env);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.out.split('\n').value(0), firstLine);
    QCOMPARE(hubIdOf(r.out), hubId);
    QVERIFY2(r.ms >= minMs, QByteArray::number(r.ms).constData());
    if (exitCode != 0) {
        QVERIFY(r.out.isEmpty());
        QVERIFY(r.err.contains(path.toUtf8()));
    } else if (!firstLine.isEmpty() && setup.isEmpty()) {
        // More lines follow, as from the real tool.
        QVERIFY(r.out.contains("\nE: DEVNAME=/dev/ttyACM" + QByteArray::number(device) + "\n"));
    }
    if (setup == QLatin1String("odd")) {
        QVERIFY(rack.resetUdevOutput(device));
        QCOMPARE(hubIdOf(udevadm({QStringLiteral("info"), path}).out), SimRack::hubId(position));
    }
}

QTEST_GUILESS_MAIN(TestUdevadm)
#include "tst_udevadm.moc"
