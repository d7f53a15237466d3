// The issue of a dosimeter to a worker, end to end: a controller over TCP in
// front of a simulated rack, for gamma and gamma-neutron racks.

#include "tst_issue_rig.h"
#include "workflowsteps.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>

using rig::Rig;

namespace {

const QString kGamma = QStringLiteral("1300");
const QString kGammaNeutron = QStringLiteral("1300GN");

QString issueRequest(const QString &type)
{
    QString r = QStringLiteral("{\"command\":\"%1\",\"uid\":\"ab12\",\"uname\":\"иванов и.и.\",\"order\":\"цех 5\","
                               "\"gdel\":\"1500\",\"gde2\":\"25\",\"gderl\":\"100\",\"gder2\":\"1234567\"")
                    .arg(type == kGamma ? QStringLiteral("IN_g") : QStringLiteral("IN_gn"));
    if (type == kGammaNeutron)
        r += QStringLiteral(",\"ndel\":\"2000\",\"nde2\":\"1e9\",\"nderl\":\"abc\",\"nder2\":\"inf\"");
    return r + QLatin1Char('}');
}

quint8 detectorOf(const QString &type)
{
    return type == kGamma ? SimGamma : SimGammaNeutron;
}

QString successReply(const QString &type, qint32 number, const QString &port, int cell)
{
    return QStringLiteral("{\"comand\":\"%1\",\"nomer_pdd\":\"%2\",\"port\":\"%3\",\"cell\":\"%4\",\"error\":\"\"}")
        .arg(type == kGamma ? QStringLiteral("IN_g") : QStringLiteral("IN_gn"))
        .arg(number)
        .arg(port)
        .arg(cell);
}

QString failedCellPrefix(const QString &type)
{
    return type == kGamma
        ? QStringLiteral("error : Произошла критическая ошибка при выдачи дозиметра повторите операцию ")
        : QStringLiteral("error:Произошла критическая ошибка при выдачи дозиметра повторите операцию ");
}

const QString kWaiting = QStringLiteral("Дозиметр ожидает, чтобы его забрали");

// The command codes of a whole issue, from the number read-back on.
QList<int> issueCodes(const QString &type)
{
    QList<int> c{0x01, 0x46, 0x4A, 0x44, 0x59, 0x18, 0x09, 0x0C, 0x12, 0x15};
    if (type == kGammaNeutron)
        c += {0xB4, 0xA8, 0xB9, 0xBC, 0xA2, 0xA5};
    return c + QList<int>{0x3A, 0x75};
}

} // namespace

Q_DECLARE_METATYPE(SimFault)

class IssueWorkflowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(SimRack::udevadmPath()), "stand-in udevadm missing");
    }

    void issueProgramsFirstFreeRestedDosimeter_data();
    void issueProgramsFirstFreeRestedDosimeter();
    void noEligibleCell_data();
    void noEligibleCell();
    void restTimeBoundary_data();
    void restTimeBoundary();
    void failuresAccumulate_data();
    void failuresAccumulate();
    void thresholdRetryAndLogs_data();
    void thresholdRetryAndLogs();
    void thresholdText_data();
    void thresholdText();
    void thresholdTextMatchesTheCLibrary();
    void restAndClockRules();
};

void IssueWorkflowTest::issueProgramsFirstFreeRestedDosimeter_data()
{
    QTest::addColumn<QString>("type");
    QTest::newRow("gamma") << kGamma;
    QTest::newRow("gamma-neutron") << kGammaNeutron;
}

void IssueWorkflowTest::issueProgramsFirstFreeRestedDosimeter()
{
    QFETCH(QString, type);
    Rig r(4);
    // Cell 1: still carries a user. Cell 2: blocked. Cell 3's lines name a
    // dosimeter that sits at USB position 4, so the issue goes to cell 4.
    const int busy = r.rack->insert(1, 101, -1, detectorOf(type));
    r.rack->setUser(busy, "X", "Y", "Z");
    const int blocked = r.rack->insert(2, 102, -1, detectorOf(type));
    const int free = r.rack->insert(4, 104, -1, detectorOf(type));
    r.registerCell(1, busy, 101);
    r.registerCell(2, blocked, 102);
    r.registerCell(3, free, 104);
    r.setLine(QStringLiteral("error.ini"), 1, QStringLiteral("blocked"));
    const QByteArray nomerBefore = r.bytes(QStringLiteral("nomer_ppd.ini"));
    const QByteArray portBefore = r.bytes(QStringLiteral("port.ini"));
    const QByteArray timeBefore = r.bytes(QStringLiteral("datatime.ini"));
    QVERIFY(r.start(type));

    QStringList log;
    QCOMPARE(r.request(issueRequest(type), &log), successReply(type, 104, r.rack->portPath(free), 4));

    QCOMPARE(r.lines(QStringLiteral("error.ini")),
             (QStringList{QString(), QStringLiteral("blocked"), QString(), kWaiting}));
    QCOMPARE(r.bytes(QStringLiteral("nomer_ppd.ini")), nomerBefore);
    QCOMPARE(r.bytes(QStringLiteral("port.ini")), portBefore);
    QCOMPARE(r.bytes(QStringLiteral("datatime.ini")), timeBefore);

    QCOMPARE(rig::codes(r.rack->requests(busy)), (QList<int>{0x01, 0x45}));
    QVERIFY(r.rack->requests(blocked).isEmpty());
    QCOMPARE(rig::codes(r.rack->requests(free)), QList<int>({0x01, 0x45}) + issueCodes(type));

    // The search and every programming step, line by line and in order.
    QStringList expected{QStringLiteral("Номер дозиметра 101"), QStringLiteral("идентификатор пользователя X"),
                         type == kGamma ? QStringLiteral("не ид") : QStringLiteral("идентификатор пользователя найден "),
                         QStringLiteral("Номер дозиметра 104"), QStringLiteral("идентификатор пользователя "),
                         QStringLiteral("найден порт"), r.rack->portPath(free),
                         QStringLiteral("Записан, идентификатор пользователя AB12"),
                         QStringLiteral("Записан, наряд пользователя ЦЕХ 5"),
                         QStringLiteral("Записано, имя пользователя ИВАНОВ И.И."), QStringLiteral("Сброс ЭД "),
                         QStringLiteral("Сброс максимальной МЭД "), QStringLiteral("Записан, 1-й порог по ЭД гамма 1.5"),
                         QStringLiteral("Записан, 2-й порог по ЭД гамма 0.025"),
                         QStringLiteral("Записан, 1-й порог по МЭД гамма 0.1"),
                         QStringLiteral("Записан, 2-й порог по МЭД гамма 1234.57")};
    if (type == kGammaNeutron)
        expected << QStringLiteral("Сброс ЭД нейтронного канала ")
                 << QStringLiteral("Сброс максимальной МЭД нейтронного канала ")
                 << QStringLiteral("Записан, 1-й порог по ЭД нейтронного канала 2")
                 << QStringLiteral("Записан, 2-й порог по ЭД n 1e+06")
                 << QStringLiteral("Записан, 1-й порог по МЭД нейтронного канала 0")
                 << QStringLiteral("Записан, 2-й порог по МЭД нейтронного канала 0");
    expected << QStringLiteral("установлен режим измерения") << QStringLiteral("Подтверждена конфигурация оборудования");
    QCOMPARE(rig::logFrom(log, expected), expected);

    const SimDosimeter d = r.rack->state(free);
    QCOMPARE(d.userId, simtext::encodeUser(QStringLiteral("AB12")));
    QCOMPARE(d.userOrder, simtext::encodeUser(QStringLiteral("ЦЕХ 5")));
    QCOMPARE(d.userName, simtext::encodeUser(QStringLiteral("ИВАНОВ И.И.")));
    QCOMPARE(d.de1, 1.5);
    QCOMPARE(d.de2, 0.025);
    QCOMPARE(d.der1, 0.1f);
    QCOMPARE(d.der2, 1234.57f);
    if (type == kGammaNeutron) {
        QCOMPARE(d.nde1, 2.0);
        QCOMPARE(d.nde2, 1e6);
        QCOMPARE(d.nder1, 0.0f);   // "abc"
        QCOMPARE(d.nder2, 0.0f);   // "inf" counts as unreadable
    }
    QCOMPARE(d.mode, quint16(0));
    QVERIFY(d.configAcknowledged);
}

void IssueWorkflowTest::noEligibleCell_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("scenario");
    const char *names[] = {"no number file", "every cell in error", "user still set", "rested too short",
                           "first free dosimeter outside hub.ini", "datatime.ini too short"};
    // The search is shared; the gamma-neutron rack repeats the cases where it logs differently.
    for (int s = 0; s < 6; ++s)
        QTest::addRow("%s %s", qPrintable(kGamma), names[s]) << kGamma << s;
    for (int s : {2, 4})
        QTest::addRow("%s %s", qPrintable(kGammaNeutron), names[s]) << kGammaNeutron << s;
}

void IssueWorkflowTest::noEligibleCell()
{
    QFETCH(QString, type);
    QFETCH(int, scenario);
    Rig r(3);
    const int a = r.rack->insert(1, 201, -1, detectorOf(type));
    const int b = r.rack->insert(2, 202, -1, detectorOf(type));
    r.registerCell(1, a, 201);
    r.registerCell(2, b, 202);
    int untouched = -1;
    switch (scenario) {
    case 0:
        break;   // the file goes once the server is up: a start-up recreates it
    case 1:
        r.writeState(QStringLiteral("error.ini"), {QStringLiteral("E"), QStringLiteral("E"), QString()});
        break;
    case 2:
        r.rack->setUser(a, "U1", "", "");
        r.rack->setUser(b, "U2", "", "");
        break;
    case 3:
        r.registerCell(1, a, 201, QDateTime::currentSecsSinceEpoch());
        r.registerCell(2, b, 202, QDateTime::currentSecsSinceEpoch() - 10);
        break;
    case 4: {
        // Cell 1 names a free dosimeter at a USB position that hub.ini lacks.
        r.rack->remove(a);
        const int stray = r.rack->insert(9, 201, a, detectorOf(type));
        QCOMPARE(stray, a);
        untouched = b;
        break;
    }
    case 5:
        untouched = a;   // datatime.ini loses its lines once the server is up: a start-up completes it
        break;
    }
    const QByteArray errorBefore = r.bytes(QStringLiteral("error.ini"));
    QVERIFY(r.start(type));
    if (scenario == 0)
        QVERIFY(QFile::remove(r.path(QStringLiteral("nomer_ppd.ini"))));
    if (scenario == 5)
        r.writeState(QStringLiteral("datatime.ini"), {});
    QCOMPARE(r.request(issueRequest(type)), QStringLiteral("{\"error\":\"no_cell\"}"));
    QCOMPARE(r.bytes(QStringLiteral("error.ini")), errorBefore);
    for (int dev : {a, b}) {
        const QList<int> seen = rig::codes(r.rack->requests(dev));
        QVERIFY2(seen.isEmpty() || seen == (QList<int>{0x01, 0x45}), qPrintable(QStringLiteral("device %1").arg(dev)));
        QCOMPARE(r.rack->state(dev).mode, quint16(1));
    }
    if (untouched >= 0)
        QVERIFY(r.rack->requests(untouched).isEmpty());
}

void IssueWorkflowTest::restTimeBoundary_data()
{
    QTest::addColumn<QString>("tz");
    QTest::addColumn<QString>("date");
    QTest::addColumn<qint64>("age");
    QTest::addColumn<bool>("issued");
    const QString d2026 = QStringLiteral("2026-01-01 00:00:16");
    const QString d2040 = QStringLiteral("2040-06-01 12:00:00");
    QTest::newRow("UTC, exactly the rest time") << "UTC" << d2026 << qint64(30) << false;
    QTest::newRow("UTC, one second more") << "UTC" << d2026 << qint64(31) << true;
    QTest::newRow("UTC+9, exactly the rest time") << "JST-9" << d2026 << qint64(30) << false;
    QTest::newRow("UTC+9, one second more") << "JST-9" << d2026 << qint64(31) << true;
    QTest::newRow("UTC+3, ten seconds") << "MSK-3" << d2026 << qint64(10) << false;
    QTest::newRow("after 2038, exactly the rest time") << "UTC" << d2040 << qint64(30) << false;
    QTest::newRow("after 2038, one second more") << "UTC" << d2040 << qint64(31) << true;
    QTest::newRow("stamp in the future") << "UTC" << d2026 << qint64(-100) << true;
}

void IssueWorkflowTest::restTimeBoundary()
{
    QFETCH(QString, tz);
    QFETCH(QString, date);
    QFETCH(qint64, age);
    QFETCH(bool, issued);
    if (rig::libfaketime().isEmpty())
        QSKIP("libfaketime is not installed");
    const qint64 now = rig::frozenEpoch(date, tz);
    QVERIFY(now > 0);
    Rig r(1);
    const int dev = r.rack->insert(1, 301);
    r.registerCell(1, dev, 301, now - age);
    QVERIFY(r.start(kGamma, rig::frozenClock(date, tz)));
    const QString reply = r.request(issueRequest(kGamma));
    QCOMPARE(reply, issued ? successReply(kGamma, 301, r.rack->portPath(dev), 1)
                           : QStringLiteral("{\"error\":\"no_cell\"}"));
}

void IssueWorkflowTest::failuresAccumulate_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("code");
    QTest::addColumn<SimFault>("fault");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QStringList>("logged");   // consecutive log lines

    const QString x = QStringLiteral("ошибка записи идентификатора пользователя");
    const QString y = QStringLiteral("ошибка установки сервисного режима работы дозиметра");
    const QString n = QStringLiteral("ошибка чтения номера дозиметра. Нет доступа");
    for (const QString &type : {kGamma, kGammaNeutron}) {
        QTest::addRow("%s identifier refused", qPrintable(type))
            << type << 0x46 << SimFault::refuse()
            << x + QStringLiteral(" Ошибка записи идентификатора пользователя") + x
                + QStringLiteral("Ошибка наряда идентификатора пользователя")
            // The name step inherits the failure too and logs it.
            << QStringList{QStringLiteral("Ошибка записи идентификатора пользователя"),
                           QStringLiteral("Записан, идентификатор пользователя AB12"),
                           QStringLiteral("Ошибка наряда идентификатора пользователя"),
                           QStringLiteral("Записан, наряд пользователя ЦЕХ 5"),
                           QStringLiteral("Ошибка записи имени пользователя"),
                           QStringLiteral("Записано, имя пользователя ИВАНОВ И.И."), QStringLiteral("Сброс ЭД ")};
        QTest::addRow("%s acknowledgement silent", qPrintable(type))
            << type << 0x75 << SimFault::silence() << y + y
            << QStringList{QStringLiteral("установлен режим измерения"),
                           QStringLiteral("Ошибка установки конфиграции дозиметра")};
        // The search reads the number once; the read-back is the second identity read.
        QTest::addRow("%s number read-back silent", qPrintable(type))
            << type << 0x01 << SimFault::silence().after(1)
            << n + QStringLiteral("Ошибка чтения номера дозиметра") + n
                + QStringLiteral(" Ошибка записи идентификатора пользователя") + n
                + QStringLiteral("Ошибка наряда идентификатора пользователя")
            << QStringList{QStringLiteral("Ошибка чтения номера дозиметра"),
                           QStringLiteral("Ошибка записи идентификатора пользователя"),
                           QStringLiteral("Записан, идентификатор пользователя AB12"),
                           QStringLiteral("Ошибка наряда идентификатора пользователя"),
                           QStringLiteral("Записан, наряд пользователя ЦЕХ 5"),
                           QStringLiteral("Ошибка записи имени пользователя"),
                           QStringLiteral("Записано, имя пользователя ИВАНОВ И.И.")};
        QTest::addRow("%s name refused only logs", qPrintable(type))
            << type << 0x44 << SimFault::refuse() << QString()
            << QStringList{QStringLiteral("Записан, наряд пользователя ЦЕХ 5"),
                           QStringLiteral("Ошибка записи имени пользователя"),
                           QStringLiteral("Записано, имя пользователя ИВАНОВ И.И."), QStringLiteral("Сброс ЭД ")};
        QTest::addRow("%s measurement mode silent only logs", qPrintable(type))
            << type << 0x3A << SimFault::silence() << QString()
            << QStringList{QStringLiteral("Ошибка установки режима измерения set_screen_on"),
                           QStringLiteral("Подтверждена конфигурация оборудования")};
    }
}

void IssueWorkflowTest::failuresAccumulate()
{
    QFETCH(QString, type);
    QFETCH(int, code);
    QFETCH(SimFault, fault);
    QFETCH(QString, errorText);
    QFETCH(QStringList, logged);
    Rig r(2);
    const int dev = r.rack->insert(2, 402, -1, detectorOf(type));
    r.registerCell(2, dev, 402);
    r.rack->setFault(dev, code, fault);
    QVERIFY(r.start(type));
    QStringList log;
    const QString reply = r.request(issueRequest(type), &log);
    QCOMPARE(rig::logFrom(log, logged), logged);
    if (errorText.isEmpty()) {
        QCOMPARE(reply, successReply(type, 402, r.rack->portPath(dev), 2));
        QCOMPARE(r.lines(QStringLiteral("error.ini")), (QStringList{QString(), kWaiting}));
    } else {
        QCOMPARE(reply, QStringLiteral("{\"error\":\"Произошла критическая ошибка при выдачи дозиметра \n повторите "
                                       "операцию \n ")
                            + errorText + QStringLiteral("\"}"));
        QCOMPARE(r.lines(QStringLiteral("error.ini")), (QStringList{QString(), failedCellPrefix(type) + errorText}));
    }
    // A failing step never stops the sequence.
    QCOMPARE(rig::codes(r.rack->requests(dev)), QList<int>({0x01, 0x45}) + issueCodes(type));
}

struct Faults
{
    QList<int> codes;
    SimFault fault;
};
Q_DECLARE_METATYPE(Faults)

void IssueWorkflowTest::thresholdRetryAndLogs_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QStringList>("logged");
    QTest::addColumn<QStringList>("notLogged");

    const SimFault once = SimFault::refuse().times(1);
    QTest::newRow("dose threshold 1 accepted on retry")
        << kGamma << Faults{{0x09}, once}
        << QStringList{QStringLiteral("Записан, 2-й порог по ЭД гамма 0.025"),
                       QStringLiteral("Записан, 1-й порог по ЭД гамма 1.5"),
                       QStringLiteral("Записан, 1-й порог по МЭД гамма 0.1"),
                       QStringLiteral("Записан, 2-й порог по МЭД гамма 1234.57")}
        << QStringList{QStringLiteral("Ошибка записи 1-го порога ЭД гамма")};
    QTest::newRow("dose threshold 1 refused twice")
        << kGamma << Faults{{0x09}, SimFault::refuse()}
        << QStringList{QStringLiteral("Записан, 2-й порог по ЭД гамма 0.025"),
                       QStringLiteral("Ошибка записи 1-го порога ЭД гамма")}
        << QStringList{QStringLiteral("Записан, 1-й порог по ЭД гамма 1.5")};
    QTest::newRow("rate threshold 1 refused twice")
        << kGamma << Faults{{0x12}, SimFault::refuse()}
        << QStringList{QStringLiteral("Записан, 2-й порог по ЭД гамма 0.025"),
                       QStringLiteral("Записан, 2-й порог по МЭД гамма 1234.57"),
                       QStringLiteral("Ошибка записи 1-го порога МЭД гамма")}
        << QStringList{QStringLiteral("Записан, 1-й порог по МЭД гамма 0.1")};
    QTest::newRow("rate threshold 2 refused")
        << kGamma << Faults{{0x15}, SimFault::refuse()}
        << QStringList{QStringLiteral("Записан, 1-й порог по МЭД гамма 0.1"),
                       QStringLiteral("Ошибка записи 2-го порога МЭД гамма")}
        << QStringList{};
    QTest::newRow("resets refused")
        << kGamma << Faults{{0x59, 0x18}, SimFault::refuse()}
        << QStringList{QStringLiteral("Ошибка, сброса ЭД"), QStringLiteral("Ошибка, сброса максимальной МЭД"),
                       QStringLiteral("Сброс максимальной МЭД ")}
        << QStringList{QStringLiteral("Сброс ЭД ")};
    QTest::newRow("neutron dose threshold 1 accepted on retry")
        << kGammaNeutron << Faults{{0xB9}, once}
        << QStringList{QStringLiteral("Записан, 2-й порог по ЭД нейтронного канала 1e+06"),
                       QStringLiteral("Записан, 1-й порог по ЭД нейтронного канала 2")}
        << QStringList{QStringLiteral("Записан, 2-й порог по ЭД n 1e+06")};
    QTest::newRow("neutron dose threshold 1 refused twice")
        << kGammaNeutron << Faults{{0xB9}, SimFault::refuse()}
        << QStringList{QStringLiteral("Записан, 2-й порог по ЭД нейтронного канала 1e+06"),
                       QStringLiteral("Ошибка записи 1-го порога ЭД нейтронного канала")}
        << QStringList{};
    QTest::newRow("neutron dose threshold 2 refused")
        << kGammaNeutron << Faults{{0xBC}, SimFault::refuse()}
        << QStringList{QStringLiteral("Записан, 1-й порог по ЭД нейтронного канала 2"),
                       QStringLiteral("Ошибка записи 2-го порога ЭД n")}
        << QStringList{};
    QTest::newRow("neutron thresholds accepted")
        << kGammaNeutron << Faults{{}, SimFault()}
        << QStringList{QStringLiteral("Сброс ЭД нейтронного канала "),
                       QStringLiteral("Сброс максимальной МЭД нейтронного канала "),
                       QStringLiteral("Записан, 1-й порог по ЭД нейтронного канала 2"),
                       QStringLiteral("Записан, 2-й порог по ЭД n 1e+06"),
                       QStringLiteral("Записан, 1-й порог по МЭД нейтронного канала 0"),
                       QStringLiteral("Записан, 2-й порог по МЭД нейтронного канала 0"),
                       QStringLiteral("установлен режим измерения"),
                       QStringLiteral("Подтверждена конфигурация оборудования")}
        << QStringList{};
    QTest::newRow("every neutron command refused")
        << kGammaNeutron << Faults{{0xB4, 0xA8, 0xB9, 0xBC, 0xA2, 0xA5}, SimFault::refuse()}
        << QStringList{QStringLiteral("Ошибка, сброса ЭД нейтронного канала "),
                       QStringLiteral("Ошибка, сброса максимальной МЭД нейтронного канала "),
                       QStringLiteral("Ошибка записи 2-го порога ЭД нейтронного канала"),
                       QStringLiteral("Ошибка записи 1-го порога ЭД нейтронного канала"),
                       QStringLiteral("Ошибка записи 2-го порога МЭД нейтронного канала"),
                       QStringLiteral("Ошибка записи 1-го порога МЭД нейтронного канала")}
        << QStringList{QStringLiteral("Сброс максимальной МЭД нейтронного канала ")};
}

void IssueWorkflowTest::thresholdRetryAndLogs()
{
    QFETCH(QString, type);
    QFETCH(Faults, faults);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, notLogged);
    Rig r(1);
    const int dev = r.rack->insert(1, 501, -1, detectorOf(type));
    r.registerCell(1, dev, 501);
    for (int code : faults.codes)
        r.rack->setFault(dev, code, faults.fault);
    QVERIFY(r.start(type));
    QStringList log;
    QCOMPARE(r.request(issueRequest(type), &log), successReply(type, 501, r.rack->portPath(dev), 1));
    QCOMPARE(r.lines(QStringLiteral("error.ini")), QStringList{kWaiting});
    QString missing;
    QVERIFY2(rig::inOrder(log, logged, &missing), qPrintable(QStringLiteral("not in order: ") + missing));
    for (const QString &line : notLogged)
        QVERIFY2(!log.contains(line), qPrintable(line));
    // A refused first threshold is tried once more, after the second.
    const QList<int> seen = rig::codes(r.rack->requests(dev));
    const QList<QPair<int, int>> pairs{{0x09, 0x0C}, {0x12, 0x15}, {0xB9, 0xBC}, {0xA2, 0xA5}};
    for (const auto &pair : pairs) {
        const int code = pair.first;
        if (faults.codes.contains(code)) {
            const int second = pair.second;
            QCOMPARE(seen.count(code), 2);
            QVERIFY(seen.lastIndexOf(code) > seen.indexOf(second));
        }
    }
}

namespace {

// The C library's "%g" of a number in the "C" locale, whatever locale the
// test process runs in.
QString cLibraryG(double value)
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    const locale_t previous = uselocale(c);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%g", value);
    uselocale(previous);
    return QString::fromLatin1(buf);
}

} // namespace

void IssueWorkflowTest::thresholdText_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("threshold");
    QTest::newRow("1500") << "1500" << "1.5";
    QTest::newRow("25") << "25" << "0.025";
    QTest::newRow("1234567") << "1234567" << "1234.57";
    QTest::newRow("1000000000") << "1000000000" << "1e+06";
    QTest::newRow("0.001") << "0.001" << "1e-06";
    QTest::newRow("-2500") << "-2500" << "-2.5";
    QTest::newRow("empty") << "" << "0";
    QTest::newRow("comma") << "1,5" << "0";
    QTest::newRow("abc") << "abc" << "0";
    QTest::newRow("inf") << "inf" << "0";
    QTest::newRow("nan") << "nan" << "0";
    QTest::newRow("1e400") << "1e400" << "0";
    // The quotient lies exactly halfway between two six-digit texts: the C
    // library keeps the even last digit.
    QTest::newRow("tie 3112625") << "3112625" << "3112.62";
    QTest::newRow("tie 3112375") << "3112375" << "3112.38";
    QTest::newRow("tie -3112625") << "-3112625" << "-3112.62";
    QTest::newRow("tie 100000500") << "100000500" << "100000";
    QTest::newRow("tie 100001500") << "100001500" << "100002";
    QTest::newRow("tie 999998500") << "999998500" << "999998";
    QTest::newRow("tie 999999500, up into the exponent form") << "999999500" << "1e+06";
    QTest::newRow("tie 1234565000000") << "1234565000000" << "1.23456e+09";
}

void IssueWorkflowTest::thresholdText()
{
    QFETCH(QString, input);
    QFETCH(QString, threshold);
    QCOMPARE(workflow::thresholdText(input), threshold);
    // The C library's formatter gives the same text (Qt's own rounds ties up).
    bool ok = false;
    double v = input.toDouble(&ok);
    if (!ok || !qIsFinite(v))
        v = 0;
    QCOMPARE(cLibraryG(v / 1000.0), threshold);
}

namespace {

// Threshold inputs for the comparison with the C library, as exact decimal
// texts of doubles: edge values, then random ones of several kinds.
class ThresholdInputs
{
public:
    explicit ThresholdInputs(quint32 seed) : m_rng(seed) {}

    static QVector<double> edges()
    {
        QVector<double> v{0.0, -0.0, DBL_MIN, -DBL_MIN, DBL_TRUE_MIN, -DBL_TRUE_MIN, DBL_MAX, -DBL_MAX,
                          DBL_MIN * 1000, DBL_TRUE_MIN * 1000, 1e300, 1e-300, 1e303, 1e-297, -1e300, -1e-300,
                          1e-310, 4.9e-321, 1e-4, 1e-1, 1e2, 1e5, 1e6, 1e8, 1e9};
        // Around the quotients 999999.5, 99999.95 and 9.999995, where the
        // text switches to the exponent form.
        for (double centre : {999999500.0, 99999950.0, 9999.995, 999999.5, 0.0999999500}) {
            double up = centre, down = centre;
            for (int i = 0; i < 64; ++i) {
                v << up << down << -up;
                up = std::nextafter(up, DBL_MAX);
                down = std::nextafter(down, -DBL_MAX);
            }
        }
        return v;
    }

    // Every kind in turn: any finite double, a whole number of the size a
    // threshold has, and a short binary fraction (where exact ties lie).
    double next(int i)
    {
        switch (i % 3) {
        case 0:
            for (;;) {
                const quint64 bits = m_rng.generate64();
                double d;
                std::memcpy(&d, &bits, sizeof d);
                if (std::isfinite(d))
                    return d;
            }
        case 1:
            return double(m_rng.generate64() >> 24);
        default:
            return std::ldexp(double(m_rng.bounded(quint32(1) << 24)) * 1000.0, -int(m_rng.bounded(13)));
        }
    }

private:
    QRandomGenerator m_rng;
};

// The input text of a double: 17 significant digits read back to the same double.
QByteArray exactText(double d)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return QByteArray(buf);
}

} // namespace

void IssueWorkflowTest::thresholdTextMatchesTheCLibrary()
{
    // Input texts are written and read back in the "C" locale too.
    const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    QVERIFY(c != locale_t(0));
    const locale_t previous = uselocale(c);
    auto reference = [](const QByteArray &text) { return cLibraryG(std::strtod(text.constData(), nullptr) / 1000.0); };

    QStringList differences;
    int compared = 0;
    auto compare = [&](const QByteArray &text) {
        const QString expected = reference(text);
        const QString got = workflow::thresholdText(QString::fromLatin1(text));
        ++compared;
        if (got != expected && differences.size() < 10)
            differences << QStringLiteral("%1: %2, not %3").arg(QString::fromLatin1(text), got, expected);
    };
    for (double d : ThresholdInputs::edges())
        compare(exactText(d));
    ThresholdInputs inputs(20261207);
    for (int i = 0; i < 1000000; ++i)
        compare(exactText(inputs.next(i)));
    uselocale(previous);
    freelocale(c);

    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QStringLiteral("; "))));
    QVERIFY(compared > 1000000);
}

void IssueWorkflowTest::restAndClockRules()
{
    // 64-bit stamps, unsigned 32-bit age, unreadable stamps read as 0.
    const qint64 now = 2222222222;   // after 2038
    QVERIFY(!workflow::restedLongEnough(now, QString::number(now - 30), 30));
    QVERIFY(workflow::restedLongEnough(now, QString::number(now - 31), 30));
    QVERIFY(workflow::restedLongEnough(now, QStringLiteral(" %1 ").arg(now - 31), 30));
    QVERIFY(!workflow::restedLongEnough(now, QStringLiteral("%1\n").arg(now - 29), 30));
    QVERIFY(workflow::restedLongEnough(now, QString::number(now + 1), 30));
    QVERIFY(workflow::restedLongEnough(now, QStringLiteral("0"), 30));
    QVERIFY(workflow::restedLongEnough(now, QStringLiteral("junk"), 30));
    // 2026-01-01 00:00:08, 00:00:19 and 00:00:30 UTC are the seconds of
    // this stretch whose count leaves 5 modulo 11.
    QList<qint64> checked;
    for (qint64 t = 1767225600; t < 1767225600 + 40; ++t) {
        if (workflow::isRegistrationCheckSecond(t))
            checked << t;
    }
    QCOMPARE(checked, (QList<qint64>{1767225608, 1767225619, 1767225630}));
}

QTEST_GUILESS_MAIN(IssueWorkflowTest)
#include "tst_issue_workflow.moc"
