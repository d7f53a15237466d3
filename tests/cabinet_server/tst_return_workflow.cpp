// The return of dosimeters end to end: the "OUT" scan, the history read-out,
// the confirmation, and a whole issue-and-return cycle, for gamma and
// gamma-neutron racks.

#include "tst_issue_rig.h"

#include "returnworkflow.h"
#include "settings.h"

#include <QtTest>

using rig::Rig;
using rig::returned;

namespace {

const QString kGamma = QStringLiteral("1300");
const QString kGammaNeutron = QStringLiteral("1300GN");
const QString kNothing = QStringLiteral("{\"OUT\":\"\",\"error\":\"\"}");
const QString kDone = QStringLiteral("{\"error\":\"\"}");
const QString kFree = QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}");

quint8 detectorOf(const QString &type)
{
    return type == kGamma ? SimGamma : SimGammaNeutron;
}

// The readings of returned() as the rack reports them: reply and status text.
QPair<QString, QString> readings(const QString &type, int cell, qint32 number)
{
    QStringList keys{QStringLiteral("OUT"), QStringLiteral("c"), QStringLiteral("d"), QStringLiteral("r"),
                     QStringLiteral("tm")};
    QStringList values{type, QString::number(cell), QStringLiteral("0.000123000"), QStringLiteral("1.500000000"),
                       QStringLiteral("1234")};
    if (type == kGammaNeutron) {
        keys << QStringLiteral("dn") << QStringLiteral("rn") << QStringLiteral("tmn");
        values << QStringLiteral("0.500000000") << QStringLiteral("0.250000000") << QStringLiteral("77");
    }
    keys << QStringLiteral("tw") << QStringLiteral("u") << QStringLiteral("duty") << QStringLiteral("n")
         << QStringLiteral("error");
    values << QStringLiteral("0") << QStringLiteral("AB12") << QStringLiteral("ЦЕХ 5") << QString::number(number)
           << QString();
    QString reply = QStringLiteral("{");
    QString status;
    for (int i = 0; i < keys.size(); ++i) {
        reply += QStringLiteral("%1\"%2\":\"%3\"").arg(i ? QStringLiteral(",") : QString(), keys[i], values[i]);
        status += QStringLiteral("%1%2:%3").arg(i ? QStringLiteral(",") : QString(), keys[i], values[i]);
    }
    return {reply + QLatin1Char('}'), QStringLiteral("Ждет подтвержения сдачи ") + status};
}

QString request(const QString &command, const QString &nomer, const QString &cell, const QString &error)
{
    return QStringLiteral("{\"command\":\"%1\",\"nomer_ppd\":\"%2\",\"cell\":\"%3\",\"error\":\"%4\"}")
        .arg(command, nomer, cell, error);
}

QString historyHex(const QList<QByteArray> &records)
{
    QByteArray all;
    for (const QByteArray &r : records)
        all += r;
    return QString::fromLatin1(all.toHex());
}

QList<int> confirmCodes(const QString &type)
{
    QList<int> c{0x01, 0x59, 0x18};
    if (type == kGammaNeutron)
        c << 0xB4 << 0xA8;
    return c + QList<int>{0x4A, 0x46, 0x44, 0x3A};
}

const QStringList kStateFiles{QStringLiteral("error.ini"), QStringLiteral("nomer_ppd.ini"),
                              QStringLiteral("port.ini"), QStringLiteral("datatime.ini")};

QMap<QString, QByteArray> snapshot(const Rig &r)
{
    QMap<QString, QByteArray> m;
    for (const QString &f : kStateFiles)
        m.insert(f, r.bytes(f));
    return m;
}

} // namespace

Q_DECLARE_METATYPE(SimFault)

class ReturnWorkflowTest : public QObject
{
    Q_OBJECT

private slots:
    void wholeCycle_data();
    void wholeCycle();
    void readOutFailures_data();
    void readOutFailures();
    void oneScanRegistersFreshAndHandlesFirstReturned_data();
    void oneScanRegistersFreshAndHandlesFirstReturned();
    void portLineBeyondCellCountCountsAsRegistered();
    void registrationCheck_data();
    void registrationCheck();
    void confirmation_data();
    void confirmation();
    void historyReadOut_data();
    void historyReadOut();
    void cellCountAbove61ScansTheDeviceList();
};

void ReturnWorkflowTest::wholeCycle_data()
{
    QTest::addColumn<QString>("type");
    QTest::newRow("gamma") << kGamma;
    QTest::newRow("gamma-neutron") << kGammaNeutron;
}

void ReturnWorkflowTest::wholeCycle()
{
    QFETCH(QString, type);
    Rig r(3);
    const int first = r.rack->insert(1, 601, -1, detectorOf(type));
    r.registerCell(1, first, 601);
    // A zone well ahead of UTC: the rest time must still hold after the return.
    QVERIFY(r.start(type, {QStringLiteral("TZ=JST-9")}));

    const bool gn = type == kGammaNeutron;
    const QString issue = rig::cycleIssue(gn);
    QCOMPARE(r.request(issue),
             QStringLiteral("{\"comand\":\"%1\",\"nomer_pdd\":\"601\",\"port\":\"%2\",\"cell\":\"1\",\"error\":\"\"}")
                 .arg(gn ? QStringLiteral("IN_gn") : QStringLiteral("IN_g"), r.rack->portPath(first)));
    QCOMPARE(r.request(request(QStringLiteral("cell_free"), QStringLiteral("601"), QStringLiteral("1"), QString())),
             QStringLiteral("{\"cell\":\"\",\"error\":\"\"}"));

    // The worker takes it, works, and puts it back into cell 3 on another device.
    SimDosimeter carried = r.rack->state(first);
    QCOMPARE(carried.userId, simtext::encodeUser(QStringLiteral("AB12")));
    r.rack->remove(first);
    QCOMPARE(r.request(request(QStringLiteral("cell_free"), QStringLiteral("601"), QStringLiteral("1"), QString())),
             kFree);
    const SimDosimeter back = returned(601, detectorOf(type));
    carried = rig::afterWork(carried, 130);
    const int dev = r.rack->insert(3, carried, 2);
    QCOMPARE(dev, 2);

    const auto expected = readings(type, 3, 601);
    QStringList log;
    QCOMPARE(r.request(QStringLiteral("{\"command\":\"OUT\"}"), &log), expected.first);
    QStringList readOut{QStringLiteral("найден порт"), QStringLiteral("Найден дозиметр c пользователем"),
                        QStringLiteral("тип детектора ")
                            + (gn ? QStringLiteral("гамма-детектор и нейтронный детектор")
                                  : QStringLiteral("гамма-детектор")),
                        QStringLiteral("наряд пользователя ЦЕХ 5"), QStringLiteral("чтение ЭД гамма0.000123000"),
                        QStringLiteral("чтение, максимальной МЭД g 1.500000000"),
                        QStringLiteral("Время регистрации максимальной Дозы 1234")};
    if (gn)
        readOut << QStringLiteral("чтения ЭД нейтронного канала0.500000000")
                << QStringLiteral("чтение, максимальной МЭД нейтронного канала 0.250000000")
                << QStringLiteral("Время регистрации максимальной Дозы 77");
    readOut << expected.first;   // the reply follows: the status text is not logged
    QCOMPARE(rig::logFrom(log, readOut), readOut);
    QCOMPARE(r.lines(QStringLiteral("error.ini")).value(2), expected.second);
    QCOMPARE(r.lines(QStringLiteral("nomer_ppd.ini")).value(2), QStringLiteral("601"));
    QCOMPARE(r.lines(QStringLiteral("port.ini")).value(2), r.rack->portPath(dev));
    QCOMPARE(r.request(QStringLiteral("{\"command\":\"OUT\"}")), kNothing);

    QCOMPARE(r.request(request(QStringLiteral("OUT_Get_history"), QStringLiteral("601"), QStringLiteral("3"),
                               QString()),
                       &log),
             QStringLiteral("{\"history_all\": \"%1\",\"error\":\"\"}").arg(historyHex(carried.history)));
    const QStringList historyLog{QStringLiteral("Чтение истории дозиметра 2"), QStringLiteral("Номер дозиметра 601")};
    QCOMPARE(rig::logFrom(log, historyLog), historyLog);
    QVERIFY(!log.contains(QStringLiteral("Ошибка, чтения всей истории")));

    r.rack->clearRequests(dev);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(r.request(request(QStringLiteral("OUT_true"), QStringLiteral("601"), QStringLiteral("3"), QString())),
             kDone);
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(rig::codes(r.rack->requests(dev)), confirmCodes(type));
    QCOMPARE(r.lines(QStringLiteral("error.ini")).value(2), QString());
    const qint64 stamp = r.lines(QStringLiteral("datatime.ini")).value(2).toLongLong();
    QVERIFY2(stamp >= before && stamp <= after, qPrintable(QString::number(stamp)));
    const SimDosimeter reset = r.rack->state(dev);
    QVERIFY(reset.userId.isEmpty() && reset.userOrder.isEmpty() && reset.userName.isEmpty());
    QCOMPARE(reset.gammaDose, 0.0);
    QCOMPARE(reset.gammaMaxRate, 0.0f);
    QCOMPARE(reset.neutronDose, gn ? 0.0 : back.neutronDose);
    QCOMPARE(reset.mode, quint16(1));

    // Rested for less than the charging time: not issued again yet.
    QCOMPARE(r.request(issue), QStringLiteral("{\"error\":\"no_cell\"}"));
}

void ReturnWorkflowTest::readOutFailures_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("detector");
    QTest::addColumn<int>("code");
    QTest::addColumn<SimFault>("fault");
    QTest::addColumn<bool>("emptyOrder");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QStringList>("logged");   // consecutive log lines

    const SimFault silent = SimFault::silence();
    const QString desVal = QStringLiteral("Ошибка чтение ЭД гамма");
    const QString maxDer = QStringLiteral("Ошибка чтение максимальной МЭД");
    const QString nMaxDer = QStringLiteral("Ошибка чтение максимальной МЭД нейтронного канала");
    const QString noOrder = QStringLiteral("Ошибка чтение идентификатора наряда");
    const QString maxTimeFailed = QStringLiteral("Ошибка, Время регистрации максимальной Дозы");
    const QString orderRead = QStringLiteral("наряд пользователя ЦЕХ 5");
    const QString desRead = QStringLiteral("чтение ЭД гамма0.000123000");
    const QString maxDerRead = QStringLiteral("чтение, максимальной МЭД g 1.500000000");
    const QString maxTimeRead = QStringLiteral("Время регистрации максимальной Дозы 1234");
    const QString nDesRead = QStringLiteral("чтения ЭД нейтронного канала0.500000000");
    const QString nMaxDerRead = QStringLiteral("чтение, максимальной МЭД нейтронного канала 0.250000000");
    const QString nMaxTimeRead = QStringLiteral("Время регистрации максимальной Дозы 77");
    QTest::newRow("gamma rack, gamma-neutron dosimeter")
        << kGamma << int(SimGammaNeutron) << -2 << SimFault() << false
        << QStringLiteral("гамма-детектор и нейтронный детектор")
        << QStringList{QStringLiteral("Найден дозиметр c пользователем"),
                       QStringLiteral("тип детектора гамма-детектор и нейтронный детектор"), orderRead, desRead,
                       maxDerRead, maxTimeRead};
    QTest::newRow("gamma-neutron rack, gamma dosimeter")
        << kGammaNeutron << int(SimGamma) << -2 << SimFault() << false << QStringLiteral("1300 c гамма-детектором")
        << QStringList{QStringLiteral("тип детектора гамма-детектор"), orderRead};
    QTest::newRow("gamma dose read silent")
        << kGamma << int(SimGamma) << 0x4F << silent << false << desVal + desVal
        << QStringList{orderRead, desVal, maxDerRead, maxTimeRead, desVal};
    QTest::newRow("gamma dose read silent, gamma-neutron")
        << kGammaNeutron << int(SimGammaNeutron) << 0x4F << silent << false << desVal + desVal
        << QStringList{orderRead, desVal, maxDerRead, maxTimeRead, nDesRead, nMaxDerRead, nMaxTimeRead, desVal};
    QTest::newRow("maximum time read silent")
        << kGamma << int(SimGamma) << 0x19 << silent << false
        << QStringLiteral(" Ошибка, Время регистрации максимальной Дозы Ошибка, Время регистрации максимальной Дозы"
                          "ошибка чтения МЭД гамма")
        << QStringList{maxDerRead, maxTimeFailed, maxTimeFailed};
    QTest::newRow("neutron maximum time read silent")
        << kGammaNeutron << int(SimGammaNeutron) << 0xA9 << silent << false
        << QStringLiteral("Ошибка, Время регистрации максимальной ДозыОшибка, Время регистрации максимальной Дозы"
                          "ошибка чтения МЭД нейтроный")
        << QStringList{maxTimeRead, nDesRead, nMaxDerRead, maxTimeFailed, maxTimeFailed};
    QTest::newRow("neutron dose read silent")
        << kGammaNeutron << int(SimGammaNeutron) << 0xAF << silent << false
        << QStringLiteral(" Ошибка чтения ЭД нейтронного канала Ошибка чтения ЭД нейтронного канала")
        << QStringList{maxTimeRead, QStringLiteral(" Ошибка чтения ЭД нейтронного канала"), nMaxDerRead,
                       nMaxTimeRead, QStringLiteral(" Ошибка чтения ЭД нейтронного канала")};
    QTest::newRow("empty work order")
        << kGamma << int(SimGamma) << -2 << SimFault() << true << noOrder
        << QStringList{QStringLiteral("тип детектора гамма-детектор"), QStringLiteral("наряд пользователя "),
                       desRead, maxDerRead, maxTimeRead, noOrder};
    // Several empty values: checked from the last read back to the first,
    // the neutron ones before the gamma ones.
    QTest::newRow("maximum rate silent and empty work order")
        << kGamma << int(SimGamma) << 0x17 << silent << true << maxDer + maxDer + noOrder
        << QStringList{desRead, maxDer, maxTimeRead, maxDer, noOrder};
    QTest::newRow("neutron maximum rate silent and empty work order")
        << kGammaNeutron << int(SimGammaNeutron) << 0xA7 << silent << true << nMaxDer + nMaxDer + noOrder
        << QStringList{nDesRead, nMaxDer, nMaxTimeRead, nMaxDer, noOrder};
    QTest::newRow("type read silent changes nothing")
        << kGamma << int(SimGammaNeutron) << -3 << silent << false << QString()
        << QStringList{QStringLiteral("Найден дозиметр c пользователем"), orderRead};
}

void ReturnWorkflowTest::readOutFailures()
{
    QFETCH(QString, type);
    QFETCH(int, detector);
    QFETCH(int, code);
    QFETCH(SimFault, fault);
    QFETCH(bool, emptyOrder);
    QFETCH(QString, errorText);
    QFETCH(QStringList, logged);
    Rig r(2);
    SimDosimeter d = returned(702, quint8(detector));
    if (emptyOrder)
        d.userOrder.clear();
    const int dev = r.rack->insert(2, d);
    QVERIFY(r.start(type));
    if (code >= 0)
        r.rack->setFault(dev, code, fault);
    if (code == -3) {
        // The type read is the second identity read of the call.
        r.rack->setFault(dev, 0x01, fault.after(1));
    }
    QStringList log;
    const QString reply = r.request(QStringLiteral("{\"command\":\"OUT\"}"), &log);
    QCOMPARE(rig::logFrom(log, logged), logged);
    if (errorText.isEmpty()) {
        QCOMPARE(reply, readings(type, 2, 702).first);
    } else {
        QCOMPARE(reply, QStringLiteral("{\"error\":\"Произошла критическая ошибка при Сдаче дозиметра \n ") + errorText
                            + QStringLiteral("\"}"));
        QCOMPARE(r.lines(QStringLiteral("error.ini")),
                 (QStringList{QString(), QStringLiteral("error:Произошла критическая ошибка при Сдаче дозиметра ")
                                             + errorText}));
    }
    QCOMPARE(r.lines(QStringLiteral("nomer_ppd.ini")), (QStringList{QString(), QStringLiteral("702")}));
    QCOMPARE(r.lines(QStringLiteral("port.ini")), (QStringList{QString(), r.rack->portPath(dev)}));
    // Every read runs whatever happened before it.
    QList<int> reads{0x01, 0x45, 0x01, 0x49, 0x4F, 0x17, 0x19};
    if (type == kGammaNeutron)
        reads << 0xAF << 0xA7 << 0xA9;
    QCOMPARE(rig::codes(r.rack->requests(dev)), reads);
}

void ReturnWorkflowTest::oneScanRegistersFreshAndHandlesFirstReturned_data()
{
    wholeCycle_data();
}

void ReturnWorkflowTest::oneScanRegistersFreshAndHandlesFirstReturned()
{
    QFETCH(QString, type);
    Rig r(5);
    const int known = r.rack->insert(1, 800, -1, detectorOf(type));
    r.registerCell(1, known, 800);
    const int fresh1 = r.rack->insert(2, 802, -1, detectorOf(type));
    const int fresh2 = r.rack->insert(3, 803, -1, detectorOf(type));
    const int back1 = r.rack->insert(4, returned(804, detectorOf(type)));
    const int back2 = r.rack->insert(5, returned(805, detectorOf(type)));
    QVERIFY(r.start(type));

    QCOMPARE(r.request(QStringLiteral("{\"command\":\"OUT\"}")), readings(type, 4, 804).first);
    QCOMPARE(r.lines(QStringLiteral("nomer_ppd.ini")),
             (QStringList{QStringLiteral("800"), QStringLiteral("802"), QStringLiteral("803"), QStringLiteral("804"),
                          QString()}));
    QCOMPARE(r.lines(QStringLiteral("port.ini")),
             (QStringList{r.rack->portPath(known), r.rack->portPath(fresh1), r.rack->portPath(fresh2),
                          r.rack->portPath(back1), QString()}));
    QCOMPARE(r.lines(QStringLiteral("error.ini")),
             (QStringList{QString(), QString(), QString(), readings(type, 4, 804).second, QString()}));
    QVERIFY(r.rack->requests(known).isEmpty());
    QVERIFY(r.rack->requests(back2).isEmpty());

    // The next call meets the second returned dosimeter.
    QCOMPARE(r.request(QStringLiteral("{\"command\":\"OUT\"}")), readings(type, 5, 805).first);
    QCOMPARE(r.lines(QStringLiteral("nomer_ppd.ini")).value(4), QStringLiteral("805"));
}

void ReturnWorkflowTest::portLineBeyondCellCountCountsAsRegistered()
{
    Rig r(1);
    const int dev = r.rack->insert(1, returned(901, SimGamma));
    r.writeState(QStringLiteral("port.ini"), {QString(), r.rack->portPath(dev)});
    QVERIFY(r.start(kGamma));
    QCOMPARE(r.request(QStringLiteral("{\"command\":\"OUT\"}")), kNothing);
    QVERIFY(r.rack->requests(dev).isEmpty());
    QCOMPARE(r.lines(QStringLiteral("port.ini")), (QStringList{QString(), r.rack->portPath(dev)}));
}

void ReturnWorkflowTest::registrationCheck_data()
{
    QTest::addColumn<QString>("date");
    QTest::addColumn<int>("scenario");
    QTest::addColumn<bool>("blanked");
    QTest::addColumn<QStringList>("logged");   // in this order, not necessarily consecutive
    // 2026-01-01 00:00:19 UTC leaves 5 modulo 11; 00:00:20 does not.
    const QString check = QStringLiteral("2026-01-01 00:00:19");
    const QString noCheck = QStringLiteral("2026-01-01 00:00:20");
    const QString start = QStringLiteral("проверка достоверности файлов ОП");
    const QString mismatch = QStringLiteral("Обнаруженно не соответствие. Проверка достоверности файлов ОП");
    QTest::newRow("device vanished")
        << check << 0 << true
        << QStringList{start, QStringLiteral("Номер дозиметра 1001"),
                       QStringLiteral("Обнаруженно не соответствие. port Проверка достоверности файлов ОП"), mismatch};
    QTest::newRow("another number")
        << check << 1 << true
        << QStringList{start, QStringLiteral("Номер дозиметра 1003"),
                       QStringLiteral("Обнаруженно не соответствие. nomer Проверка достоверности файлов ОП"), mismatch};
    QTest::newRow("another hub position")
        << check << 2 << true
        << QStringList{start, QStringLiteral("Номер дозиметра 1002"),
                       QStringLiteral("Обнаруженно не соответствие. hub_id Проверка достоверности файлов ОП"),
                       mismatch};
    QTest::newRow("empty hub id") << check << 3 << false
                                  << QStringList{start, QStringLiteral("Номер дозиметра 1001"),
                                                 QStringLiteral("Номер дозиметра 1002")};
    QTest::newRow("device silent") << check << 4 << false
                                   << QStringList{start, QStringLiteral("Ошибка чтения номера дозиметра")};
    QTest::newRow("all in order") << check << 5 << false
                                  << QStringList{start, QStringLiteral("Номер дозиметра 1001"),
                                                 QStringLiteral("Номер дозиметра 1002")};
    QTest::newRow("device vanished, no check this second") << noCheck << 0 << false << QStringList{};
    // Without a readable calibration nothing can be compared: even a vanished
    // device is left registered.
    QTest::newRow("hub.ini unreadable, device vanished")
        << check << 6 << false << QStringList{start, QStringLiteral("не удалось прочитать hub.ini")};
    // A cell beyond the end of hub.ini has no position to compare with: it
    // is left alone, even when its device has gone.
    QTest::newRow("hub.ini shorter than the state files")
        << check << 7 << false << QStringList{start, QStringLiteral("Номер дозиметра 1001")};
    QTest::newRow("hub.ini shorter than the state files, device vanished")
        << check << 9 << false << QStringList{start, QStringLiteral("Номер дозиметра 1001")};
    // A recalibration that starts again with cell 1 cuts hub.ini to one line;
    // the issued dosimeter of cell 2, not yet taken, must stay registered or
    // the next scan would take it for a returned one.
    QTest::newRow("recalibration under way, issued dosimeter")
        << check << 8 << false << QStringList{start, QStringLiteral("Номер дозиметра 1001")};
}

void ReturnWorkflowTest::registrationCheck()
{
    QFETCH(QString, date);
    QFETCH(int, scenario);
    QFETCH(bool, blanked);
    QFETCH(QStringList, logged);
    if (rig::libfaketime().isEmpty())
        QSKIP("libfaketime is not installed");
    Rig r(2);
    const int other = r.rack->insert(1, 1001);
    r.registerCell(1, other, 1001);
    const int dev = r.rack->insert(scenario == 2 ? 1 : 2, 1002);
    r.registerCell(2, dev, 1002);
    r.setLine(QStringLiteral("error.ini"), 1, QStringLiteral("blocked"));
    switch (scenario) {
    case 0:
        r.rack->remove(dev);
        break;
    case 1:
        r.rack->setNumber(dev, 1003);
        break;
    case 3:
        r.rack->setUdevOutput(dev, QByteArray());
        break;
    case 4:
        r.rack->setFault(dev, 0x01, SimFault::silence());
        break;
    case 6:
        r.rack->remove(dev);
        QVERIFY(QFile::remove(r.path(QStringLiteral("hub.ini"))));
        QVERIFY(QDir().mkpath(r.path(QStringLiteral("hub.ini"))));
        break;
    case 9:
        r.rack->remove(dev);
        Q_FALLTHROUGH();
    case 7:
        r.writeLines(QStringLiteral("hub.ini"), {SimRack::hubId(1)});
        break;
    case 8:
        r.rack->setUser(dev, simtext::encodeUser(QStringLiteral("AB12")), simtext::encodeUser(QStringLiteral("ЦЕХ 5")),
                        simtext::encodeUser(QStringLiteral("ИВАНОВ")));
        r.setLine(QStringLiteral("error.ini"), 1, QStringLiteral("Дозиметр ожидает, чтобы его забрали"));
        break;
    }
    const auto before = snapshot(r);
    QVERIFY(r.start(kGamma, rig::frozenClock(date, QStringLiteral("UTC"))));
    if (scenario == 8) {
        const QString port = r.rack->portPath(other);
        QCOMPARE(r.request(QStringLiteral("{\"command\":\"Init_hub_ini\",\"port\":\"%1\",\"cell\":\"1\"}").arg(port)),
                 QStringLiteral("{\"port\": \"%1\", \"cell\": \"1\",\"error\":\"\"}").arg(port));
        QCOMPARE(r.lines(QStringLiteral("hub.ini")), QStringList{SimRack::hubId(1)});
    }
    QStringList log;
    QCOMPARE(r.request(QStringLiteral("{\"command\":\"OUT\"}"), &log), kNothing);
    // The next scan still knows the issued dosimeter.
    if (scenario == 8)
        QCOMPARE(r.request(QStringLiteral("{\"command\":\"OUT\"}")), kNothing);
    QCOMPARE(log.contains(QStringLiteral("проверка достоверности файлов ОП")), date.endsWith(QLatin1String("19")));
    QString missing;
    QVERIFY2(rig::inOrder(log, logged, &missing), qPrintable(QStringLiteral("not in order: ") + missing));
    QCOMPARE(log.contains(QStringLiteral("Обнаруженно не соответствие. Проверка достоверности файлов ОП")), blanked);
    if (!blanked) {
        QCOMPARE(snapshot(r), before);
        return;
    }
    QCOMPARE(r.lines(QStringLiteral("nomer_ppd.ini")), (QStringList{QStringLiteral("1001"), QString()}));
    QCOMPARE(r.lines(QStringLiteral("port.ini")), (QStringList{r.rack->portPath(other), QString()}));
    QCOMPARE(r.lines(QStringLiteral("error.ini")), (QStringList{QString(), QString()}));
    QCOMPARE(r.bytes(QStringLiteral("datatime.ini")), before.value(QStringLiteral("datatime.ini")));
}

void ReturnWorkflowTest::confirmation_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("nomer");
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("scenario");   // 0 as set up, 1 port line empty, 2 silent device, 3 reset refused
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QList<int>>("frames");
    QTest::addColumn<QString>("files");  // what changes in the cell's lines
    QTest::addColumn<QStringList>("logged");   // consecutive log lines; empty: no confirmation logged

    const QString n = QStringLiteral("1101");
    const QString c = QStringLiteral("3");
    const QString confirm = QStringLiteral("Подтвержение сдачи дозиметра 2");
    const QString number = QStringLiteral("Номер дозиметра 1101");
    const QStringList clears{QStringLiteral("Записан, идентификатор пользователя "),
                             QStringLiteral("Cброс имени пользователя"), QStringLiteral("установлен сервисный режим")};
    const QStringList gammaResets{QStringLiteral("Сброс ЭД "), QStringLiteral("Сброс максимальной МЭД ")};
    const QStringList neutronResets{QStringLiteral("Сброс ЭД нейтронного канала "),
                                    QStringLiteral("Сброс максимальной МЭД ")};
    QTest::newRow("error text recorded")
        << kGamma << n << c << QStringLiteral("E1") << 0 << kDone << QList<int>{} << "error" << QStringList{};
    QTest::newRow("empty port line") << kGamma << n << c << QString() << 1 << kFree << QList<int>{} << "blank"
                                     << QStringList{confirm};
    QTest::newRow("another number") << kGamma << QStringLiteral("999") << c << QString() << 0 << kDone
                                    << QList<int>{0x01} << "blank" << QStringList{confirm, number};
    QTest::newRow("silent device")
        << kGamma << n << c << QString() << 2
        << QStringLiteral("{\"error\":\"ошибка чтения номера дозиметра. Нет доступа\"}") << QList<int>{0x01}
        << "none"
        << QStringList{confirm, QStringLiteral("Ошибка чтения номера дозиметра"), QStringLiteral("Номер дозиметра ")};
    QTest::newRow("right number, gamma") << kGamma << n << c << QString() << 0 << kDone << confirmCodes(kGamma)
                                         << "confirmed" << QStringList{confirm, number} + gammaResets + clears;
    QTest::newRow("right number, gamma-neutron")
        << kGammaNeutron << n << c << QString() << 0 << kDone << confirmCodes(kGammaNeutron) << "confirmed"
        << QStringList{confirm, number} + gammaResets + neutronResets + clears;
    QTest::newRow("resets refused, reported")
        << kGamma << n << c << QString() << 3
        << QStringLiteral("{\"error\":\"Ошибка сброса ЭД гамма; Ошибка сброса МЭД гамма\"}") << confirmCodes(kGamma)
        << "confirmed" << QStringList{confirm, number} + clears;
    QTest::newRow("cell outside the files") << kGamma << n << QStringLiteral("4") << QString() << 0 << kFree
                                            << QList<int>{} << "none" << QStringList{};
    QTest::newRow("cell not a number, with an error") << kGamma << n << QStringLiteral("x") << QStringLiteral("E1")
                                                      << 0 << kFree << QList<int>{} << "none" << QStringList{};
}

void ReturnWorkflowTest::confirmation()
{
    QFETCH(QString, type);
    QFETCH(QString, nomer);
    QFETCH(QString, cell);
    QFETCH(QString, error);
    QFETCH(int, scenario);
    QFETCH(QString, reply);
    QFETCH(QList<int>, frames);
    QFETCH(QString, files);
    QFETCH(QStringList, logged);
    Rig r(3);
    const int dev = r.rack->insert(3, returned(1101, detectorOf(type)));
    r.registerCell(3, dev, 1101, 12345);
    r.setLine(QStringLiteral("error.ini"), 2, readings(type, 3, 1101).second);
    r.setLine(QStringLiteral("error.ini"), 0, QStringLiteral("keep"));
    if (scenario == 1)
        r.setLine(QStringLiteral("port.ini"), 2, QString());
    if (scenario == 2)
        r.rack->setFault(dev, 0x01, SimFault::silence());
    if (scenario == 3) {
        r.rack->setFault(dev, 0x59, SimFault::refuse());
        r.rack->setFault(dev, 0x18, SimFault::refuse());
    }
    const auto before = snapshot(r);
    QVERIFY(r.start(type));
    const qint64 t0 = QDateTime::currentSecsSinceEpoch();
    QStringList log;
    QCOMPARE(r.request(request(QStringLiteral("OUT_true"), nomer, cell, error), &log), reply);
    const qint64 t1 = QDateTime::currentSecsSinceEpoch();
    if (logged.isEmpty())
        QVERIFY(!log.contains(QStringLiteral("Подтвержение сдачи дозиметра 2")));
    else
        QCOMPARE(rig::logFrom(log, logged), logged);
    QCOMPARE(rig::codes(r.rack->requests(dev)), frames);
    for (const QByteArray &f : r.rack->requests(dev).mid(1))
        QCOMPARE(f.mid(5, 4), simframe::le32(nomer.toInt()));

    QMap<QString, QByteArray> expected = before;
    auto withLine = [&](const QString &file, const QString &value) {
        QStringList l = QString::fromUtf8(before.value(file)).split(QLatin1Char('\n'));
        l[2] = value;
        expected[file] = l.join(QLatin1Char('\n')).toUtf8();
    };
    if (files == QLatin1String("error")) {
        withLine(QStringLiteral("error.ini"), error);
    } else if (files == QLatin1String("blank")) {
        withLine(QStringLiteral("error.ini"), QString());
        withLine(QStringLiteral("nomer_ppd.ini"), QString());
        withLine(QStringLiteral("port.ini"), QString());
    } else if (files == QLatin1String("confirmed")) {
        withLine(QStringLiteral("error.ini"), QString());
        const qint64 stamp = r.lines(QStringLiteral("datatime.ini")).value(2).toLongLong();
        QVERIFY2(stamp >= t0 && stamp <= t1, qPrintable(QString::number(stamp)));
        withLine(QStringLiteral("datatime.ini"), QString::number(stamp));
        const SimDosimeter d = r.rack->state(dev);
        QVERIFY(d.userId.isEmpty() && d.userOrder.isEmpty() && d.userName.isEmpty());
        QCOMPARE(d.mode, quint16(1));
        QCOMPARE(d.gammaDose, scenario == 3 ? 0.000123 : 0.0);
        QCOMPARE(d.neutronDose, type == kGammaNeutron ? 0.0 : 0.5);
    }
    QCOMPARE(snapshot(r), expected);
}

void ReturnWorkflowTest::historyReadOut_data()
{
    QTest::addColumn<QString>("nomer");
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("blankPort");
    QTest::addColumn<bool>("read");
    QTest::newRow("read, request error repeated") << "1201" << "2" << "X" << false << true;
    QTest::newRow("read, no error") << "1201" << "2" << "" << false << true;
    QTest::newRow("another number") << "1200" << "2" << "X" << false << false;
    QTest::newRow("port line empty") << "1201" << "2" << "" << true << false;
    QTest::newRow("cell outside the files") << "1201" << "9" << "Y" << false << false;
}

void ReturnWorkflowTest::historyReadOut()
{
    QFETCH(QString, nomer);
    QFETCH(QString, cell);
    QFETCH(QString, error);
    QFETCH(bool, blankPort);
    QFETCH(bool, read);
    Rig r(2);
    SimDosimeter d = returned(1201, SimGamma);
    d.history = SimRack::makeHistory(300);   // three blocks
    const int dev = r.rack->insert(2, d);
    r.registerCell(2, dev, 1201);
    if (blankPort)
        r.setLine(QStringLiteral("port.ini"), 1, QString());
    const auto before = snapshot(r);
    QVERIFY(r.start(kGamma));
    QCOMPARE(r.request(request(QStringLiteral("OUT_Get_history"), nomer, cell, error)),
             QStringLiteral("{\"history_all\": \"%1\",\"error\":\"%2\"}")
                 .arg(read ? historyHex(d.history) : QString(), error));
    QCOMPARE(snapshot(r), before);
    if (read)
        QCOMPARE(rig::codes(r.rack->requests(dev)), (QList<int>{0x01, 0x30, 0x57, 0x57, 0x57}));
}

void ReturnWorkflowTest::cellCountAbove61ScansTheDeviceList()
{
    // In-process: a rack configured with more cells than device paths.
    QTemporaryDir work;
    SimRack rack(work.filePath(QStringLiteral("rack")));
    const int dev = rack.insert(1, 1301, 60);
    QCOMPARE(dev, 60);
    qputenv("PATH", (SimRack::udevadmDir() + QLatin1Char(':') + qEnvironmentVariable("PATH")).toUtf8());
    const QString oldDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));
    writeBytes(QStringLiteral("hub.ini"), SimRack::hubId(1).toUtf8() + '\n');
    writeBytes(work.filePath(QStringLiteral("nomer_ppd.ini")), "\n");
    writeBytes(work.filePath(QStringLiteral("port.ini")), "\n");
    resetGlobals();
    G_Path_RAM = work.path();
    G_ports_dkg = makePortList(rack.portBase());
    G_kas_count_cell = 100;
    const QString reply = QUT_1300_g();
    const QList<int> seen = rig::codes(rack.requests(dev));
    // Every scan writes the number and port files back, creating them when they are missing.
    const QByteArray numbersAfterFirstScan = readBytes(work.filePath(QStringLiteral("nomer_ppd.ini")));
    const QByteArray portsAfterFirstScan = readBytes(work.filePath(QStringLiteral("port.ini")));
    QVERIFY(QFile::remove(work.filePath(QStringLiteral("nomer_ppd.ini"))));
    QVERIFY(QFile::remove(work.filePath(QStringLiteral("port.ini"))));
    QUT_1300_g();
    const bool recreated = QFile::exists(work.filePath(QStringLiteral("nomer_ppd.ini")))
        && QFile::exists(work.filePath(QStringLiteral("port.ini")));
    QDir::setCurrent(oldDir);
    resetGlobals();
    QVERIFY(recreated);
    QCOMPARE(reply, kNothing);
    // Number and user read; on a second that leaves 5 modulo 11 the
    // registration check reads the number once more.
    QVERIFY2(seen == (QList<int>{0x01, 0x45}) || seen == (QList<int>{0x01, 0x45, 0x01}),
             qPrintable(QString::number(seen.size())));
    // The fresh dosimeter on the last device path is registered in its cell.
    QCOMPARE(numbersAfterFirstScan, QByteArray("1301\n"));
    QCOMPARE(portsAfterFirstScan, rack.portPath(60).toUtf8() + '\n');
}

QTEST_GUILESS_MAIN(ReturnWorkflowTest)
#include "tst_return_workflow.moc"
