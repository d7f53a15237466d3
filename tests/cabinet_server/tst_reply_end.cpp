// The two ways of ending a dosimeter reply give the same results: whole
// scenarios are played against the real server once with reply_end=silence
// and once with reply_end=frame (and no reply pause), and the replies, the
// state files after each request and every request frame the rack received
// must be byte for byte the same. A reply that comes twice (the copy late
// enough to land in front of the next reply when the exchange ended at the
// frame) changes nothing either.

#include "tst_issue_rig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <chrono>
#include <future>

using rig::Rig;

namespace {

const QString kGamma = QStringLiteral("1300");
const QString kGammaNeutron = QStringLiteral("1300GN");
// A frozen wall clock: the return confirmation stamps the same second in both plays.
const QString kNow = QStringLiteral("2026-03-02 10:00:00");

const QStringList kFiles{QStringLiteral("hub.ini"), QStringLiteral("error.ini"), QStringLiteral("nomer_ppd.ini"),
                         QStringLiteral("port.ini"), QStringLiteral("datatime.ini")};

QString cellRequest(const QString &command, qint32 number, int cell)
{
    return QStringLiteral("{\"command\":\"%1\",\"nomer_ppd\":\"%2\",\"cell\":\"%3\",\"error\":\"\"}")
        .arg(command)
        .arg(number)
        .arg(cell);
}

QString historyHex(const QList<QByteArray> &records)
{
    QByteArray all;
    for (const QByteArray &r : records)
        all += r;
    return QString::fromLatin1(all.toHex());
}

// What one play leaves behind, with the rack's folder (which differs between
// plays) replaced by a fixed word.
struct Transcript {
    QStringList replies;
    QList<QMap<QString, QByteArray>> files;      // after each request
    QMap<QString, QList<QByteArray>> frames;     // request frames per device
};

class Play
{
public:
    Play(int cells, bool frameEnd) : rig(cells), m_mode(frameEnd ? "frame" : "silence")
    {
        if (frameEnd)
            rig.extraSettings << QStringLiteral("reply_end=frame") << QStringLiteral("reply_pause_ms=0");
    }

    // Starts the server and makes sure it ends replies the way this play wants.
    bool start(const QString &type)
    {
        return rig.start(type, rig::frozenClock(kNow, QStringLiteral("UTC")))
            && rig.server->log().contains("конец ответа дозиметра: " + m_mode);
    }

    // One request; the server's log is read meanwhile, so that a long reply
    // (which the server also logs) never fills the pipe and stalls it.
    QString send(const QString &json)
    {
        const quint16 port = rig.port();
        const QByteArray body = json.toUtf8();
        auto reply = std::async(std::launch::async, [port, body] { return sendRequest(port, body, 300, 240000); });
        while (reply.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
            rig.server->process().waitForReadyRead(20);
            rig.server->log();
        }
        const QString text = normal(QString::fromUtf8(reply.get()));
        t.replies << text;
        QMap<QString, QByteArray> files;
        for (const QString &f : kFiles)
            files.insert(f, normal(QString::fromUtf8(rig.bytes(f))).toUtf8());
        t.files << files;
        return text;
    }

    void keepFrames(int device)
    {
        t.frames.insert(QStringLiteral("device %1 #%2").arg(device).arg(t.frames.size()), rig.rack->requests(device));
    }

    Transcript finish()
    {
        for (int d : rig.rack->devices())
            keepFrames(d);
        return t;
    }

    QString normal(QString text) const { return text.replace(rig.rack->folder(), QStringLiteral("RACK")); }

    Rig rig;
    Transcript t;

private:
    QByteArray m_mode;
};

bool errorFree(const QString &reply)
{
    const QJsonObject o = QJsonDocument::fromJson(reply.toUtf8()).object();
    return o.contains(QStringLiteral("error")) && o.value(QStringLiteral("error")).toString().isEmpty();
}

} // namespace

class ReplyEndTest : public QObject
{
    Q_OBJECT

private slots:
    void sameResults_data();
    void sameResults();

private:
    // Plays one scenario; checks along the way that it did what it should
    // (so that two plays that fail alike cannot pass as equal).
    void play(const QString &scenario, int events, bool frameEnd, Transcript *out);
};

void ReplyEndTest::play(const QString &scenario, int events, bool frameEnd, Transcript *out)
{
    if (scenario == QLatin1String("cycle")) {
        const bool gn = events == 1;
        const QString type = gn ? kGammaNeutron : kGamma;
        const quint8 detector = gn ? SimGammaNeutron : SimGamma;
        Play p(3, frameEnd);
        const int first = p.rig.rack->insert(1, 601, -1, detector);
        p.rig.registerCell(1, first, 601);
        QVERIFY(p.start(type));
        const QString issue = rig::cycleIssue(gn);
        QVERIFY(p.send(issue).endsWith(QStringLiteral("\"cell\":\"1\",\"error\":\"\"}")));
        p.send(cellRequest(QStringLiteral("cell_free"), 601, 1));
        SimDosimeter carried = p.rig.rack->state(first);
        p.keepFrames(first);
        p.rig.rack->remove(first);
        QCOMPARE(p.send(cellRequest(QStringLiteral("cell_free"), 601, 1)),
                 QStringLiteral("{\"cell\":\"free\",\"error\":\"\"}"));
        carried = rig::afterWork(carried, 130);
        QCOMPARE(p.rig.rack->insert(3, carried, 2), 2);
        QVERIFY(p.send(QStringLiteral("{\"command\":\"OUT\"}")).contains(QStringLiteral("\"n\":\"601\"")));
        p.send(QStringLiteral("{\"command\":\"OUT\"}"));
        QCOMPARE(p.send(cellRequest(QStringLiteral("OUT_Get_history"), 601, 3)),
                 QStringLiteral("{\"history_all\": \"%1\",\"error\":\"\"}").arg(historyHex(carried.history)));
        QVERIFY(errorFree(p.send(cellRequest(QStringLiteral("OUT_true"), 601, 3))));
        QVERIFY(p.rig.rack->state(2).userId.isEmpty());
        p.send(issue);
        *out = p.finish();
    } else if (scenario == QLatin1String("history")) {
        Play p(1, frameEnd);
        SimDosimeter d = rig::returned(1201, SimGamma);
        d.history = SimRack::makeHistory(events);
        const int dev = p.rig.rack->insert(1, d);
        p.rig.registerCell(1, dev, 1201);
        QVERIFY(p.start(kGamma));
        const QString reply = p.send(cellRequest(QStringLiteral("OUT_Get_history"), 1201, 1));
        QVERIFY2(reply == QStringLiteral("{\"history_all\": \"%1\",\"error\":\"\"}").arg(historyHex(d.history)),
                 qPrintable(reply.left(200)));
        QCOMPARE(p.rig.rack->requests(dev).size(), 2 + events / 127 + 1);
        *out = p.finish();
    } else if (scenario == QLatin1String("unblock")) {
        Play p(2, frameEnd);
        const int dev = p.rig.rack->insert(2, rig::returned(41300, SimGammaNeutron));
        p.rig.registerCell(2, dev, 41300, 5);
        QVERIFY(p.start(kGammaNeutron));
        const QString port = p.rig.rack->portPath(dev);
        auto cellError = [&](const QString &block) {
            return QStringLiteral("{\"command\":\"cell_error\",\"port\":\"%1\",\"cell\":\"2\",\"block\":\"%2\"}")
                .arg(port, block);
        };
        p.send(cellError(QStringLiteral("Ячейка неисправна")));
        p.send(QStringLiteral("{\"command\":\"Kas_status\"}"));
        QVERIFY(errorFree(p.send(cellError(QString()))));
        p.send(QStringLiteral("{\"command\":\"Kas_status\"}"));
        QVERIFY(p.rig.rack->state(dev).userId.isEmpty());
        QCOMPARE(p.rig.rack->state(dev).neutronDose, 0.0);
        *out = p.finish();
    } else if (scenario == QLatin1String("discovery")) {
        Play p(6, frameEnd);
        for (const char *f : {"error.ini", "nomer_ppd.ini", "port.ini", "datatime.ini"})
            QVERIFY(QFile::remove(p.rig.path(QString::fromLatin1(f))));
        const QList<int> positions{3, 1, 6, 2, 5, 9};   // cell 4 empty, position 9 not in hub.ini
        for (int d = 0; d < positions.size(); ++d)
            QCOMPARE(p.rig.rack->insert(positions[d], 5000 + d, d), d);
        QVERIFY(p.start(kGamma));
        p.send(QStringLiteral("{\"command\":\"Kas_status\"}"));
        QCOMPARE(p.rig.lines(QStringLiteral("nomer_ppd.ini")),
                 (QStringList{"5001", "5003", "5000", "", "5004", "5002"}));
        *out = p.finish();
    } else if (scenario == QLatin1String("bad frames")) {
        // A return read-out whose replies come with every kind of flaw.
        Play p(2, frameEnd);
        const int kept = p.rig.rack->insert(1, 100);
        p.rig.registerCell(1, kept, 100);
        const int dev = p.rig.rack->insert(2, rig::returned(777, SimGammaNeutron));
        p.rig.rack->setFault(dev, 0x45, SimFault::chunks(5, 50));
        p.rig.rack->setFault(dev, 0x49, SimFault::trailing(4));
        p.rig.rack->setFault(dev, 0x4F, SimFault::wrongCrc());
        p.rig.rack->setFault(dev, 0x17, SimFault::wrongLength(2));
        p.rig.rack->setFault(dev, 0x19, SimFault::wrongLength(-3).withChunks(7, 30));
        p.rig.rack->setFault(dev, 0xAF, SimFault::trailing(22));
        p.rig.rack->setFault(dev, 0xA7, SimFault::cut(16));   // the value whole, the CRC cut off
        QVERIFY(p.start(kGammaNeutron));
        const QString reply = p.send(QStringLiteral("{\"command\":\"OUT\"}"));
        QVERIFY2(reply.contains(QStringLiteral("\"d\":\"0.000123000\"")) && reply.contains(QStringLiteral("\"n\":\"777\""))
                     && reply.contains(QStringLiteral("\"rn\":\"0.250000000\"")),
                 qPrintable(reply));
        *out = p.finish();
    } else if (scenario == QLatin1String("late copies")) {
        // Every reply comes once more, whole, 15 ms after itself: the silence
        // rule takes the copy into the same exchange, while an exchange that
        // ended at the frame is already over and the copy lands in front of
        // the next reply, where it must not be taken for it.
        Play p(3, frameEnd);
        auto lateCopies = [&p](int device) {
            for (int code : {0x01, 0x46, 0x4A, 0x44, 0x59, 0x18, 0x09, 0x0C, 0x12, 0x15, 0x3A, 0x75})
                p.rig.rack->setFault(device, code, SimFault::trailing(15, 15));   // status and identity replies
            p.rig.rack->setFault(device, 0x4F, SimFault::trailing(22, 15));
            p.rig.rack->setFault(device, 0x17, SimFault::trailing(18, 15));
            p.rig.rack->setFault(device, 0x19, SimFault::trailing(18, 15));
        };
        const int first = p.rig.rack->insert(1, 602);
        p.rig.registerCell(1, first, 602);
        lateCopies(first);
        QVERIFY(p.start(kGamma));
        QVERIFY(p.send(rig::cycleIssue(false)).endsWith(QStringLiteral("\"cell\":\"1\",\"error\":\"\"}")));
        SimDosimeter carried = p.rig.rack->state(first);
        p.keepFrames(first);
        p.rig.rack->remove(first);
        carried = rig::afterWork(carried, 0);
        QCOMPARE(p.rig.rack->insert(3, carried, 2), 2);
        lateCopies(2);
        const QString readout = p.send(QStringLiteral("{\"command\":\"OUT\"}"));
        QVERIFY2(readout == QStringLiteral("{\"OUT\":\"1300\",\"c\":\"3\",\"d\":\"0.000123000\",\"r\":\"1.500000000\","
                                           "\"tm\":\"1234\",\"tw\":\"0\",\"u\":\"AB12\",\"duty\":\"ЦЕХ 5\",\"n\":\"602\","
                                           "\"error\":\"\"}"),
                 qPrintable(readout));
        QVERIFY(errorFree(p.send(cellRequest(QStringLiteral("OUT_true"), 602, 3))));
        QVERIFY(p.rig.rack->state(2).userId.isEmpty());
        QCOMPARE(p.rig.rack->state(2).gammaDose, 0.0);
        *out = p.finish();
    } else {
        QFAIL("unknown scenario");
    }
}

void ReplyEndTest::sameResults_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("events");   // history events; for a cycle 1 means gamma-neutron
    QTest::newRow("gamma issue-and-return cycle") << "cycle" << 0;
    QTest::newRow("gamma-neutron issue-and-return cycle") << "cycle" << 1;
    for (int n : {0, 127, 300, 65535})
        QTest::newRow(qPrintable(QStringLiteral("history of %1 events").arg(n))) << "history" << n;
    QTest::newRow("cell_error unblock") << "unblock" << 0;
    QTest::newRow("start-up discovery") << "discovery" << 0;
    QTest::newRow("read-out over flawed replies") << "bad frames" << 0;
    QTest::newRow("late copies of every reply") << "late copies" << 0;
}

void ReplyEndTest::sameResults()
{
    QFETCH(QString, scenario);
    QFETCH(int, events);
    Transcript silence, frame;
    play(scenario, events, false, &silence);
    if (QTest::currentTestFailed())
        return;
    play(scenario, events, true, &frame);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(frame.replies.size(), silence.replies.size());
    for (int i = 0; i < silence.replies.size(); ++i) {
        QVERIFY2(frame.replies[i] == silence.replies[i],
                 qPrintable(QStringLiteral("reply %1: %2 / %3").arg(i).arg(frame.replies[i].left(300),
                                                                            silence.replies[i].left(300))));
        QCOMPARE(frame.files[i], silence.files[i]);
    }
    QCOMPARE(frame.frames.keys(), silence.frames.keys());
    int frames = 0;
    for (const QString &device : silence.frames.keys()) {
        QCOMPARE(frame.frames[device], silence.frames[device]);
        frames += silence.frames[device].size();
    }
    QVERIFY(frames > 0);
}

QTEST_GUILESS_MAIN(ReplyEndTest)
#include "tst_reply_end.moc"
