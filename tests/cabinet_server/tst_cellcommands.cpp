// The cell commands "Kas_status", "cell_free" and "cell_error" against the
// state files and a simulated rack served from its own thread.
#include "cellcommands.h"
#include "returnworkflow.h"
#include "settings.h"
#include "simrack.h"
#include "statefiles.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString kFree = QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}");
const QString kOccupied = QStringLiteral("{\"cell\":\"\",\"error\":\"\"}");
const QString kWaiting = QStringLiteral("Дозиметр ожидает, чтобы его забрали");

QByteArray lines(const QStringList &values)
{
    QByteArray out;
    for (const QString &v : values)
        out += v.toUtf8() + '\n';
    return out;
}

bool isJsonObject(const QString &text)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &err);
    return err.error == QJsonParseError::NoError && doc.isObject();
}

// The writer side of the killed-writer test: blocks cell 1 again and again
// with two alternating texts until it is killed.
int writerLoop()
{
    G_Path_RAM = qEnvironmentVariable("CELL_WRITER_RAM");
    const QString a = QString(300, QLatin1Char('a'));
    const QString b = QString(300, QLatin1Char('b'));
    for (quint64 n = 0;; ++n)
        cell_error(QString(), QStringLiteral("1"), (n & 1) ? b : a);
}

} // namespace

class TestCellCommands : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SimRack> m_rack;

    QString ram(const QString &name) const { return G_Path_RAM + name; }
    QString port(int device) const { return m_rack->portPath(device); }

    // Two cells: cell 1 holds number 1000 on device 0, cell 2 number 1001 on
    // device 1, issued and waiting to be taken.
    void twoCells()
    {
        QCOMPARE(m_rack->insert(1, 1000, 0), 0);
        QCOMPARE(m_rack->insert(2, 1001, 1), 1);
        writeBytes(ram("/nomer_ppd.ini"), lines({"1000", "1001"}));
        writeBytes(ram("/port.ini"), lines({port(0), port(1)}));
        writeBytes(ram("/error.ini"), lines({"", kWaiting}));
        writeBytes(ram("/datatime.ini"), lines({"11", "22"}));
    }

    QMap<QString, QByteArray> snapshot() const
    {
        QMap<QString, QByteArray> files;
        for (const char *name : {"/nomer_ppd.ini", "/port.ini", "/error.ini", "/datatime.ini"})
            files[QLatin1String(name)] = readBytes(ram(QLatin1String(name)));
        return files;
    }

    int requestCount() const
    {
        int n = 0;
        for (int d : m_rack->devices())
            n += m_rack->requests(d).size();
        return n;
    }

private slots:
    void initTestCase()
    {
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(SimRack::udevadmDir()) + ':' + path);
    }

    void init()
    {
        resetGlobals();
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        G_Path_RAM = m_dir->filePath(QStringLiteral("ram"));
        QVERIFY(QDir().mkpath(G_Path_RAM));
        m_rack.reset(new SimRack(m_dir->filePath(QStringLiteral("rack"))));
        G_ports_dkg = makePortList(m_rack->portBase());
    }

    void cleanup()
    {
        m_rack.reset();
        m_dir.reset();
    }

    void kasStatus_data()
    {
        QTest::addColumn<int>("cells");
        QTest::addColumn<QByteArray>("ports");   // "-" : no file
        QTest::addColumn<QByteArray>("errors");
        QTest::addColumn<QString>("reply");
        QTest::newRow("no cells") << 0 << QByteArray("/dev/ttyACM0\n") << QByteArray("\n")
                                  << "{\"cell_sensor\": [], \"cell_port\": [], \"cell_error\": [], \"error\":\"\"}";
        QTest::newRow("three cells over short files")
            << 3 << QByteArray("/dev/ttyACM5\n") << QByteArray("\nблок\n")
            << "{\"cell_sensor\": [0, 0, 0], \"cell_port\": [\"/dev/ttyACM5\", \"\", \"\"], "
               "\"cell_error\": [\"\", \"блок\", \"\"], \"error\":\"\"}";
        QTest::newRow("more lines than cells") << 1 << QByteArray("/a\n/b\n") << QByteArray("x\ny\n")
                                               << "{\"cell_sensor\": [0], \"cell_port\": [\"/a\"], "
                                                  "\"cell_error\": [\"x\"], \"error\":\"\"}";
        QTest::newRow("missing files") << 2 << QByteArray("-") << QByteArray("-")
                                       << "{\"cell_sensor\": [0, 0], \"cell_port\": [\"\", \"\"], "
                                          "\"cell_error\": [\"\", \"\"], \"error\":\"\"}";
        QTest::newRow("quote and backslash escaped")
            << 1 << QByteArray("\n") << QByteArray("say \"no\" \\ now\n")
            << "{\"cell_sensor\": [0], \"cell_port\": [\"\"], "
               "\"cell_error\": [\"say \\\"no\\\" \\\\ now\"], \"error\":\"\"}";
        QString huge = QStringLiteral("{\"cell_sensor\": [");
        huge += QStringList(QVector<QString>(4096, QStringLiteral("0")).toList()).join(QStringLiteral(", "));
        huge += QStringLiteral("], \"cell_port\": [\"\"");
        huge += QString(QStringLiteral(", \"\"")).repeated(4095);
        huge += QStringLiteral("], \"cell_error\": [\"\"");
        huge += QString(QStringLiteral(", \"\"")).repeated(4095);
        huge += QStringLiteral("], \"error\":\"\"}");
        QTest::newRow("absurd count is capped") << 2000000000 << QByteArray("\n") << QByteArray("\n") << huge;
        QTest::newRow("negative count") << -3 << QByteArray("\n") << QByteArray("\n")
                                        << "{\"cell_sensor\": [], \"cell_port\": [], \"cell_error\": [], \"error\":\"\"}";
    }

    void kasStatus()
    {
        QFETCH(int, cells);
        QFETCH(QByteArray, ports);
        QFETCH(QByteArray, errors);
        QFETCH(QString, reply);
        G_kas_count_cell = cells;
        if (ports != "-")
            writeBytes(ram("/port.ini"), ports);
        if (errors != "-")
            writeBytes(ram("/error.ini"), errors);
        const QString got = Kas_status();
        QCOMPARE(got, reply);
        QVERIFY(isJsonObject(got));
    }

    void cellFree_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("issued");
        QTest::addColumn<QString>("cell");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("cleared");
        QTest::addColumn<QStringList>("log");
        const QString cell1 = QStringLiteral("ячейка 1");
        const QString number = QStringLiteral("Номер дозиметра 1001");
        QTest::newRow("dosimeter still in its cell") << "" << "1001" << "2" << kOccupied << false
                                                     << QStringList{cell1, number};
        QTest::newRow("device gone") << "gone" << "1001" << "2" << kFree << true << QStringList{cell1};
        QTest::newRow("another number answers") << "" << "1005" << "2" << kFree << true << QStringList{cell1, number};
        QTest::newRow("present but silent")
            << "silent" << "1001" << "2" << kOccupied << false
            << QStringList{cell1, QStringLiteral("Ошибка чтения номера дозиметра"), QStringLiteral("Номер дозиметра ")};
        // A reply cut before the number's end is no answer: the dosimeter stays.
        QTest::newRow("present but cut before the number")
            << "cut" << "1001" << "2" << kOccupied << false
            << QStringList{cell1, QStringLiteral("Ошибка чтения номера дозиметра"), QStringLiteral("Номер дозиметра ")};
        QTest::newRow("cell 0") << "" << "1001" << "0" << kFree << false << QStringList{"ячейка -1"};
        QTest::newRow("cell past the end") << "gone" << "1001" << "3" << kFree << false << QStringList{"ячейка 2"};
        QTest::newRow("cell not a number") << "gone" << "1001" << "x" << kFree << false << QStringList{"ячейка -1"};
        QTest::newRow("cell negative") << "gone" << "1001" << "-1" << kFree << false << QStringList{"ячейка -2"};
    }

    void cellFree()
    {
        QFETCH(QString, situation);
        QFETCH(QString, issued);
        QFETCH(QString, cell);
        QFETCH(QString, reply);
        QFETCH(bool, cleared);
        QFETCH(QStringList, log);
        twoCells();
        if (situation == QLatin1String("gone"))
            m_rack->remove(1);
        else if (situation == QLatin1String("silent"))
            m_rack->setFault(1, SimRack::AllCodes, SimFault::silence());
        else if (situation == QLatin1String("cut"))
            m_rack->setFault(1, 0x01, SimFault::cut(5));
        QMap<QString, QByteArray> expected = snapshot();
        if (cleared) {
            expected["/nomer_ppd.ini"] = lines({"1000", ""});
            expected["/port.ini"] = lines({port(0), ""});
            expected["/error.ini"] = lines({"", ""});
        }
        {
            LogCapture capture;
            QCOMPARE(cell_free(issued, cell), reply);
            QCOMPARE(capture.lines(), log);
        }
        QCOMPARE(snapshot(), expected);
        // The neighbouring cell's dosimeter is never asked.
        QCOMPARE(m_rack->requests(0).size(), 0);
    }

    void cellFreeSkipsMissingFiles()
    {
        twoCells();
        m_rack->remove(1);
        QFile::remove(ram("/error.ini"));
        QCOMPARE(cell_free(QStringLiteral("1001"), QStringLiteral("2")), kFree);
        QVERIFY(!QFileInfo::exists(ram("/error.ini")));
        QCOMPARE(readBytes(ram("/nomer_ppd.ini")), lines({"1000", ""}));
        QCOMPARE(readBytes(ram("/datatime.ini")), lines({"11", "22"}));
    }

    // Every handler reads a cell number the same way: the decimal number
    // minus one, without overflow at the ends of the 32-bit range; a text
    // that is no such number is cell 0.
    void cellNumbersReadAlike_data()
    {
        QTest::addColumn<QString>("cell");
        QTest::addColumn<qint64>("index");
        QTest::newRow("1") << "1" << qint64(0);
        QTest::newRow("2") << "2" << qint64(1);
        QTest::newRow("+2") << "+2" << qint64(1);
        QTest::newRow("past the end") << "3" << qint64(2);
        QTest::newRow("0") << "0" << qint64(-1);
        QTest::newRow("-1") << "-1" << qint64(-2);
        QTest::newRow("smallest 32-bit number") << "-2147483648" << qint64(-2147483649LL);
        QTest::newRow("largest 32-bit number") << "2147483647" << qint64(2147483646);
        QTest::newRow("beyond 32 bits") << "2147483648" << qint64(-1);
        QTest::newRow("far beyond 64 bits") << "99999999999999999999999" << qint64(-1);
        QTest::newRow("not a number") << "x" << qint64(-1);
        QTest::newRow("empty") << "" << qint64(-1);
    }

    void cellNumbersReadAlike()
    {
        QFETCH(QString, cell);
        QFETCH(qint64, index);
        const QString number = QStringLiteral("1000");
        const QStringList errors{QStringLiteral("a"), QStringLiteral("b")};
        const bool hit = index >= 0 && index < errors.size();
        const QString logged = QString::number(index);
        struct Handler {
            const char *name;
            std::function<QString()> call;
            QString reply;        // on a line of the files
            QString missReply;    // on a cell no file has
            QString value;        // its error.ini line afterwards
            QString log;          // its first log line; "" logs no index
        };
        const QString confirmed = QStringLiteral("{\"error\":\"\"}");
        const QString noHistory = QStringLiteral("{\"history_all\": \"\",\"error\":\"\"}");
        const QVector<Handler> handlers{
            {"cell_free", [&] { return cell_free(number, cell); }, kFree, kFree, QString(),
             QStringLiteral("ячейка ") + logged},
            {"cell_error", [&] { return cell_error(QString(), cell, QStringLiteral("B")); }, kFree, kFree,
             QStringLiteral("B"), QStringLiteral("ячейка ") + logged},
            {"OUT_true", [&] { return OUT_true(number, cell, QStringLiteral("E")); }, confirmed, kFree,
             QStringLiteral("E"), QString()},
            {"OUT_Get_history", [&] { return OUT_Get_history(number, cell, QString()); }, noHistory, noHistory,
             QString(), QStringLiteral("Чтение истории дозиметра ") + logged},
        };
        for (const Handler &h : handlers) {
            writeBytes(ram("/nomer_ppd.ini"), lines({number, "1001"}));
            writeBytes(ram("/port.ini"), lines({"/nonexistent/ttyACM0", "/nonexistent/ttyACM1"}));
            writeBytes(ram("/error.ini"), lines(errors));
            writeBytes(ram("/datatime.ini"), lines({"11", "22"}));
            QStringList expected = errors;
            if (hit && h.name != QLatin1String("OUT_Get_history"))
                expected[int(index)] = h.value;
            LogCapture capture;
            QCOMPARE(h.call(), hit ? h.reply : h.missReply);
            if (!h.log.isEmpty())
                QCOMPARE(capture.lines().value(0), h.log);
            QVERIFY2(readBytes(ram("/error.ini")) == lines(expected), h.name);
        }
    }

    void cellErrorBlock_data()
    {
        QTest::addColumn<QString>("cell");
        QTest::addColumn<QString>("block");
        QTest::addColumn<QByteArray>("errors");
        QTest::newRow("cell 2") << "2" << "Ячейка неисправна" << lines({"", "Ячейка неисправна"});
        QTest::newRow("line feed kept on one line") << "1" << "a\nb\r" << lines({"a b ", kWaiting});
        QTest::newRow("cell past the end") << "3" << "x" << lines({"", kWaiting});
        QTest::newRow("cell not a number") << "no" << "x" << lines({"", kWaiting});
    }

    void cellErrorBlock()
    {
        QFETCH(QString, cell);
        QFETCH(QString, block);
        QFETCH(QByteArray, errors);
        twoCells();
        QMap<QString, QByteArray> expected = snapshot();
        expected["/error.ini"] = errors;
        QCOMPARE(cell_error(port(1), cell, block), kFree);
        QCOMPARE(snapshot(), expected);
        QCOMPARE(requestCount(), 0);
    }

    void cellErrorUnblockWithoutDevice_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("requestPort");
        QTest::addColumn<QString>("cell");
        QTest::addColumn<bool>("errorCleared");
        QTest::newRow("no port in the request") << "" << "" << "2" << true;
        QTest::newRow("cell's device gone") << "gone" << "port" << "2" << true;
        QTest::newRow("no device line for the cell") << "no line" << "port" << "2" << true;
        QTest::newRow("port not a rack device") << "" << "/dev/null" << "2" << true;
        QTest::newRow("cell past the end") << "" << "port" << "7" << false;
        QTest::newRow("cell not a number") << "" << "port" << "two" << false;
    }

    void cellErrorUnblockWithoutDevice()
    {
        QFETCH(QString, situation);
        QFETCH(QString, requestPort);
        QFETCH(QString, cell);
        QFETCH(bool, errorCleared);
        twoCells();
        if (situation == QLatin1String("gone"))
            m_rack->remove(1);
        else if (situation == QLatin1String("no line"))
            writeBytes(ram("/port.ini"), lines({port(0), ""}));
        if (requestPort == QLatin1String("port"))
            requestPort = port(1);
        QMap<QString, QByteArray> expected = snapshot();
        if (errorCleared)
            expected["/error.ini"] = lines({"", ""});
        QCOMPARE(cell_error(requestPort, cell, QString()), kFree);
        QCOMPARE(snapshot(), expected);
        QCOMPARE(requestCount(), 0);
    }

    void cellErrorUnblockResets_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QStringList>("frames");
        // Dosimeter 41300 is 54 A1 00 00; resets carry no data, the service
        // mode carries the 16-bit value 1.
        const QString identity = QStringLiteral("14 05 0a 00 55 00 00 00 00 01 01 00 3f a0");
        const QString resetDe = QStringLiteral("14 05 0a 00 55 54 a1 00 00 01 59 00 58 24");
        const QString maxder = QStringLiteral("14 05 0a 00 55 54 a1 00 00 01 18 00 e6 7b");
        const QString resetNde = QStringLiteral("14 05 0a 00 55 54 a1 00 00 01 b4 00 b9 7d");
        const QString nmaxder = QStringLiteral("14 05 0a 00 55 54 a1 00 00 01 a8 00 88 41");
        const QString order = QStringLiteral("14 05 0a 00 55 54 a1 00 00 01 4a 00 a1 9b");
        const QString userId = QStringLiteral("14 05 0a 00 55 54 a1 00 00 01 46 00 01 32");
        const QString name = QStringLiteral("14 05 0a 00 55 54 a1 00 00 01 44 00 b1 01");
        const QString service = QStringLiteral("14 05 0c 00 55 54 a1 00 00 01 3a 02 01 00 d2 62");
        QTest::addColumn<QStringList>("log");
        const QStringList logStart{QStringLiteral("ячейка 1"), QStringLiteral("Номер дозиметра 41300"),
                                   QStringLiteral("Сброс ЭД "), QStringLiteral("Сброс максимальной МЭД ")};
        // The user name line begins with a Latin C.
        const QStringList logEnd{QStringLiteral("Записан, идентификатор пользователя "),
                                 QString::fromUtf8("C\xd0\xb1\xd1\x80\xd0\xbe\xd1\x81 "
                                                   "\xd0\xb8\xd0\xbc\xd0\xb5\xd0\xbd\xd0\xb8 "
                                                   "\xd0\xbf\xd0\xbe\xd0\xbb\xd1\x8c\xd0\xb7\xd0\xbe"
                                                   "\xd0\xb2\xd0\xb0\xd1\x82\xd0\xb5\xd0\xbb\xd1\x8f"),
                                 QStringLiteral("установлен сервисный режим")};
        QTest::newRow("1300: six resets")
            << "1300" << QStringList{identity, resetDe, maxder, order, userId, name, service} << logStart + logEnd;
        QTest::newRow("1300GN: eight resets")
            << "1300GN" << QStringList{identity, resetDe, maxder, resetNde, nmaxder, order, userId, name, service}
            << logStart
                   + QStringList{QStringLiteral("Сброс ЭД нейтронного канала "),
                                 QStringLiteral("Сброс максимальной МЭД ")}
                   + logEnd;
    }

    void cellErrorUnblockResets()
    {
        QFETCH(QString, type);
        QFETCH(QStringList, frames);
        QFETCH(QStringList, log);
        G_type_ppd = type;
        twoCells();
        // Cell 2 now holds dosimeter 41300 that still carries a worker.
        m_rack->setNumber(1, 41300);
        m_rack->setUser(1, "77", "\xd6\xc5\xd5", "\xc8\xc2\xc0\xcd");
        m_rack->setDoses(1, 1.5, 0.5);
        m_rack->setMaxRates(1, 2.5f, 100, 3.5f, 200);
        m_rack->setMode(1, 0);
        writeBytes(ram("/error.ini"), lines({"", "блок"}));
        writeBytes(ram("/nomer_ppd.ini"), lines({"1000", ""}));

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        {
            LogCapture capture;
            QCOMPARE(cell_error(port(1), QStringLiteral("2"), QString()), kFree);
            QCOMPARE(capture.lines(), log);
        }
        const qint64 after = QDateTime::currentSecsSinceEpoch();

        QStringList sent;
        for (const QByteArray &f : m_rack->requests(1))
            sent << QString::fromLatin1(f.toHex(' '));
        QCOMPARE(sent, frames);

        QCOMPARE(readBytes(ram("/error.ini")), lines({"", ""}));
        QCOMPARE(readBytes(ram("/nomer_ppd.ini")), lines({"1000", "41300"}));
        QCOMPARE(readBytes(ram("/port.ini")), lines({port(0), port(1)}));
        const StateFile times(ram("/datatime.ini"));
        QCOMPARE(times.value(0), QStringLiteral("11"));
        QVERIFY(times.value(1).toLongLong() >= before && times.value(1).toLongLong() <= after);

        const SimDosimeter d = m_rack->state(1);
        QVERIFY(d.userId.isEmpty() && d.userOrder.isEmpty() && d.userName.isEmpty());
        QCOMPARE(d.gammaDose, 0.0);
        QCOMPARE(d.gammaMaxRate, 0.0f);
        QCOMPARE(d.mode, quint16(1));
        QCOMPARE(d.neutronDose, type == QLatin1String("1300GN") ? 0.0 : 0.5);
    }

    void cellErrorUnblockReportsFailedSteps()
    {
        G_type_ppd = QStringLiteral("1300");
        twoCells();
        writeBytes(ram("/error.ini"), lines({"", "блок"}));
        m_rack->setFault(1, 0x59, SimFault::refuse());
        m_rack->setFault(1, 0x46, SimFault::silence());
        m_rack->setFault(1, 0x3A, SimFault::silence());
        const QString reply = cell_error(port(1), QStringLiteral("2"), QString());
        QCOMPARE(reply, QStringLiteral("{\"cell\":\"free\",\"error\":\"Ошибка сброса ЭД гамма; "
                                       "ошибка записи идентификатора пользователя; "
                                       "ошибка установки сервисного режима работы дозиметра\"}"));
        // Every step still ran and the cell was registered and freed.
        QCOMPARE(m_rack->requests(1).size(), 7);
        QCOMPARE(readBytes(ram("/error.ini")), lines({"", ""}));
        QCOMPARE(readBytes(ram("/nomer_ppd.ini")), lines({"1000", "1001"}));
    }

    void cellErrorUnblockWithoutNumber()
    {
        G_type_ppd = QStringLiteral("1300");
        twoCells();
        writeBytes(ram("/error.ini"), lines({"", "блок"}));
        writeBytes(ram("/nomer_ppd.ini"), lines({"1000", "old"}));
        m_rack->setFault(1, 0x01, SimFault::silence());
        cell_error(port(1), QStringLiteral("2"), QString());
        // Nothing registered, the error line cleared, the resets still sent.
        QCOMPARE(readBytes(ram("/nomer_ppd.ini")), lines({"1000", "old"}));
        QCOMPARE(readBytes(ram("/datatime.ini")), lines({"11", "22"}));
        QCOMPARE(readBytes(ram("/error.ini")), lines({"", ""}));
        const QList<QByteArray> sent = m_rack->requests(1);
        QCOMPARE(sent.size(), 7);
        for (int i = 1; i < sent.size(); ++i)
            QCOMPARE(sent.at(i).mid(5, 4).toHex(), QByteArray("00000000"));
    }

    void killedWriterNeverLeavesATruncatedFile()
    {
        m_rack.reset();
        const int cells = 3000;
        const QString keep = QString(300, QLatin1Char('k'));
        QStringList start;
        for (int i = 0; i < cells; ++i)
            start << keep;
        writeBytes(ram("/error.ini"), lines(start));
        const QByteArray a = QByteArray(300, 'a'), b = QByteArray(300, 'b');
        const QByteArray tail = lines(start).mid(301);
        auto complete = [&](const QByteArray &bytes) {
            return bytes == lines(start) || bytes == a + '\n' + tail || bytes == b + '\n' + tail;
        };

        for (int round = 0; round < 12; ++round) {
            QProcess writer;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("CELL_WRITER_RAM"), G_Path_RAM);
            env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{message}"));
            writer.setProcessEnvironment(env);
            writer.setStandardOutputFile(QProcess::nullDevice());
            writer.setStandardErrorFile(QProcess::nullDevice());
            writer.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(writer.waitForStarted());
            QElapsedTimer t;
            t.start();
            const int killAfter = 20 + (round * 37) % 150;
            while (t.elapsed() < killAfter) {
                const QByteArray now = readBytes(ram("/error.ini"));
                QVERIFY2(complete(now), qPrintable(QStringLiteral("size %1").arg(now.size())));
            }
            writer.kill();
            QVERIFY(writer.waitForFinished());
            QVERIFY(complete(readBytes(ram("/error.ini"))));
        }
        // The writer did get through whole writes in that time.
        QVERIFY(readBytes(ram("/error.ini")) != lines(start));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("CELL_WRITER_RAM"))
        return writerLoop();
    QCoreApplication app(argc, argv);
    TestCellCommands test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_cellcommands.moc"
