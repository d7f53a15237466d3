// The journal file itself, without a controller: what waits in memory while
// the file cannot be written and what a gap row then counts, the file's
// identity and numbering across the migration of a first-version file, and
// two stores on one file.
#include "journaltest.h"
#include "journalstore.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

JournalRow block(int cell, const QString &text = QString())
{
    JournalRow r{{QStringLiteral("kind"), QStringLiteral("cell_block")}, {QStringLiteral("cell"), cell}};
    if (!text.isEmpty())
        r.insert(QStringLiteral("reply"), text);
    return r;
}

QList<int> cells(const QVector<JournalRow> &rows)
{
    QList<int> c;
    for (const JournalRow &r : rows)
        c << r.value(QStringLiteral("cell")).toInt();
    return c;
}

} // namespace

class TestJournalStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    // The journal's path is taken by a folder, so nothing can be written:
    // rows wait in order up to the queue's limit; what comes after the
    // queue is full is lost (also once room is made again, until the gap
    // row is written) and only that is counted by the gap row. Once the
    // file can be written, a batch larger than the queue goes in whole.
    void queueThenGap_data()
    {
        QTest::addColumn<int>("maxRows");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<int>("bigText");      // characters of the third row's reply
        QTest::newRow("rows limit") << 4 << qint64(1 << 20) << 0;
        QTest::newRow("bytes limit") << 100 << qint64(64 * 1024) << 40000;
    }
    void queueThenGap()
    {
        QFETCH(int, maxRows);
        QFETCH(qint64, maxBytes);
        QFETCH(int, bigText);
        const QString path = m_dir.filePath(QStringLiteral("queue-%1.sqlite").arg(maxRows));
        QVERIFY(QDir().mkpath(path));
        JournalStore store(path, QStringLiteral("A"));
        store.setQueueLimits(maxRows, maxBytes);
        QVERIFY(!store.isWritable());
        QVERIFY(!store.append({block(1), block(2)}));
        QCOMPARE(store.pendingRows(), 2);
        // Rows limit: two more fit, the fifth does not. Bytes limit: the
        // third row's text does not fit, nor (after that loss) the fourth.
        QVERIFY(!store.append({block(3, QString(bigText, QLatin1Char('x')))}));
        QVERIFY(!store.append({block(4)}));
        QVERIFY(!store.append({block(5), block(6)}));
        const int waiting = bigText ? 2 : 4;
        QCOMPARE(store.pendingRows(), waiting);
        QVERIFY(!store.flush());

        QVERIFY(QDir(path).removeRecursively());
        QVERIFY(store.flush());
        QCOMPARE(store.pendingRows(), 0);
        QVERIFY(store.append({block(7)}));
        // More than the queue holds, written at once: the limits are for rows that wait.
        QVERIFY(store.append(QVector<JournalRow>(maxRows + 1, block(8, QString(bigText, QLatin1Char('y'))))));

        const QVector<JournalRow> rows = journalRows(path);
        QList<int> written = bigText ? QList<int>{1, 2, 0, 7} : QList<int>{1, 2, 3, 4, 0, 7};
        for (int i = 0; i <= maxRows; ++i)
            written << 8;
        QCOMPARE(cells(rows), written);
        const JournalRow &gap = rows.at(written.indexOf(0));
        QCOMPARE(gap.value(QStringLiteral("kind")).toString(), QStringLiteral("gap"));
        QCOMPARE(gap.value(QStringLiteral("lost_count")).toInt(), 6 - waiting);
        for (int i = 0; i < rows.size(); ++i)
            QCOMPARE(rows.at(i).value(QStringLiteral("seq")).toLongLong(), qint64(i + 1));
    }

    // A journal of the first version keeps its rows as they are (no file
    // identity, numbers from the clock); new rows get the identity made by
    // the migration and the next numbers. The identity stays across opens.
    void firstVersionMigrated()
    {
        const QString path = m_dir.filePath(QStringLiteral("v1.sqlite"));
        {
            ScopedDb db(path);
            QStringList defs;
            for (const journal::Column &c : journal::columns()) {
                if (c.since == 1)
                    defs << c.name + (c.name == QLatin1String("seq") ? QStringLiteral(" INTEGER PRIMARY KEY") : QString());
            }
            QCOMPARE(db.exec(QStringLiteral("CREATE TABLE schema_version (version INTEGER NOT NULL, applied TEXT NOT NULL)")), QString());
            QCOMPARE(db.exec(QStringLiteral("INSERT INTO schema_version VALUES (1, 'then')")), QString());
            QCOMPARE(db.exec(QStringLiteral("CREATE TABLE dose_event (%1)").arg(defs.join(QStringLiteral(", ")))), QString());
            QCOMPARE(db.exec(QStringLiteral("CREATE TABLE sync_progress (target TEXT PRIMARY KEY, seq INTEGER NOT NULL)")), QString());
            QCOMPARE(db.exec(QStringLiteral("INSERT INTO dose_event (seq, ts, time_text, cabinet_id, kind) "
                                            "VALUES (1767225620001, 1767225620, '2026-01-01T00:00:20Z', 'A', 'startup')")),
                     QString());
        }
        QString id;
        {
            JournalStore store(path, QStringLiteral("A"));
            QVERIFY(store.append({block(1)}));
            id = store.journalId();
        }
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(id).hasMatch());
        {
            JournalStore again(path, QStringLiteral("A"));
            QCOMPARE(again.journalId(), id);
            QVERIFY(again.append({block(2)}));
        }
        const QVector<JournalRow> rows = journalRows(path);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows.at(0).value(QStringLiteral("journal_id")).toString(), QString());
        QCOMPARE(rows.at(1).value(QStringLiteral("journal_id")).toString(), id);
        QCOMPARE(rows.at(2).value(QStringLiteral("journal_id")).toString(), id);
        QCOMPARE(rows.at(2).value(QStringLiteral("seq")).toLongLong(), qint64(1767225620003));
        ScopedDb db(path);
        QCOMPARE(journal::schemaVersion(db.db()), journal::kSchemaVersion);
        // A new file gets an identity of its own.
        JournalStore other(m_dir.filePath(QStringLiteral("new.sqlite")), QStringLiteral("A"));
        QVERIFY(!other.journalId().isEmpty() && other.journalId() != id);
    }

    // Two stores on one file (two controllers): the second writes nothing,
    // ever, and the first loses nothing.
    void oneWriter()
    {
        const QString path = m_dir.filePath(QStringLiteral("one.sqlite"));
        JournalStore first(path, QStringLiteral("A"));
        QVERIFY(first.append({block(1)}));
        {
            JournalStore second(path, QStringLiteral("B"));
            QVERIFY(second.isRefused());
            QVERIFY(!second.append({block(9)}));
            QCOMPARE(second.pendingRows(), 0);
            QVERIFY(first.append({block(2)}));
        }
        QVERIFY(first.append({block(3)}));
        QCOMPARE(cells(journalRows(path)), (QList<int>{1, 2, 3}));
    }
};

QTEST_GUILESS_MAIN(TestJournalStore)
#include "tst_journal_store.moc"
