// The real server over a simulated rack of 30 dosimeters: calibrating
// "hub.ini" cell by cell over TCP, then a fresh start that registers every
// dosimeter in its own cell, and the rack status that shows them.
#include "simrack.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestRackMapServer : public QObject
{
    Q_OBJECT

private slots:
    void calibrateThenDiscoverThirtyCells()
    {
        const int cells = 30;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString ram = dir.filePath(QStringLiteral("ram"));
        QVERIFY(QDir().mkpath(ram));
        SimRack rack(dir.filePath(QStringLiteral("rack")));
        // Device d sits at position 7d mod 30 + 1: device numbers and cells differ.
        QVector<int> deviceAtCell(cells + 1, -1);
        for (int d = 0; d < cells; ++d) {
            const int position = (7 * d) % cells + 1;
            QCOMPARE(rack.insert(position, 5000 + d, d), d);
            deviceAtCell[position] = d;
        }
        const quint16 port = freeTcpPort();
        writeSettings(dir.filePath(QStringLiteral("settings.ini")),
                      {QStringLiteral("Path_RAM=") + ram, QStringLiteral("port_base=") + rack.portBase(),
                       QStringLiteral("tcp_port=") + QString::number(port)});
        const QStringList env{QStringLiteral("PATH=") + SimRack::udevadmDir() + QLatin1Char(':')
                              + qEnvironmentVariable("PATH")};

        {
            ServerProcess server(dir.path(), port, env);
            QVERIFY2(server.waitReady(60000), server.log().constData());
            for (int cell = 1; cell <= cells; ++cell) {
                const QString device = rack.portPath(deviceAtCell[cell]);
                const QByteArray request = QStringLiteral("{\"command\":\"Init_hub_ini\",\"port\":\"%1\",\"cell\":\"%2\"}")
                                               .arg(device)
                                               .arg(cell)
                                               .toUtf8();
                const QByteArray expected =
                    QStringLiteral("{\"port\": \"%1\", \"cell\": \"%2\",\"error\":\"\"}").arg(device).arg(cell).toUtf8();
                QCOMPARE(sendRequest(port, request), expected);
            }
        }
        QByteArray hub;
        for (int cell = 1; cell <= cells; ++cell)
            hub += SimRack::hubId(cell).toUtf8() + '\n';
        QCOMPARE(readBytes(dir.filePath(QStringLiteral("hub.ini"))), hub);

        // The first start found no cells; a start without registrations scans again.
        for (const char *name : {"/nomer_ppd.ini", "/port.ini", "/error.ini", "/datatime.ini"})
            QFile::remove(ram + QLatin1String(name));
        ServerProcess server(dir.path(), port, env);
        QVERIFY2(server.waitReady(120000), server.log().constData());

        QByteArray numbers;
        for (int cell = 1; cell <= cells; ++cell)
            numbers += QByteArray::number(5000 + deviceAtCell[cell]) + '\n';
        QCOMPARE(readBytes(ram + QStringLiteral("/nomer_ppd.ini")), numbers);

        const QByteArray reply = sendRequest(port, "{\"command\":\"Kas_status\"}");
        const QJsonObject status = QJsonDocument::fromJson(reply).object();
        QVERIFY2(!status.isEmpty(), reply.constData());
        const QJsonArray ports = status.value(QStringLiteral("cell_port")).toArray();
        const QJsonArray errors = status.value(QStringLiteral("cell_error")).toArray();
        QCOMPARE(ports.size(), cells);
        QCOMPARE(errors.size(), cells);
        for (int cell = 1; cell <= cells; ++cell) {
            QCOMPARE(ports.at(cell - 1).toString(), rack.portPath(deviceAtCell[cell]));
            QCOMPARE(errors.at(cell - 1).toString(), QString());
        }
        QVERIFY(reply.startsWith("{\"cell_sensor\": [0, 0, "));
        QVERIFY(reply.endsWith("\"], \"error\":\"\"}"));
    }
};

QTEST_GUILESS_MAIN(TestRackMapServer)
#include "tst_rackmap_server.moc"
