// The line-per-cell state files: reading, writing and line access rules.
#include "statefiles.h"
#include "testsupport.h"

#include <QtTest>

class TestStateFiles : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString path(const QString &name = QStringLiteral("cells.ini")) const { return m_dir.filePath(name); }

private slots:
    void init()
    {
        QFile::remove(path());
        QDir(path(QStringLiteral("folder.ini"))).removeRecursively();
    }

    void reading_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("values");
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("two lines") << QByteArray("a\nb\n") << QStringList{"a", "b"};
        QTest::newRow("last line without line feed keeps its characters")
            << QByteArray("12345\n678") << QStringList{"12345", "678"};
        QTest::newRow("blank lines are empty values") << QByteArray("\n\n\n") << QStringList{"", "", ""};
        QTest::newRow("zero byte ends the line") << QByteArray("ab\0cd\nef\n", 9) << QStringList{"ab", "ef"};
        QTest::newRow("carriage return stays") << QByteArray("x\r\n") << QStringList{"x\r"};
        QTest::newRow("utf-8") << QByteArray("\xd0\xb1\xd0\xbb\xd0\xbe\xd0\xba\n/dev/ttyACM0\n")
                               << QStringList{QStringLiteral("блок"), QStringLiteral("/dev/ttyACM0")};
    }

    void reading()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, values);
        writeBytes(path(), bytes);
        StateFile f(path());
        QVERIFY(f.existedAtLoad());
        QVERIFY(!f.unreadable());
        QCOMPARE(f.values(), values);
        QCOMPARE(f.size(), values.size());
    }

    void missingFileReadsAsNoLines()
    {
        StateFile f(path(QStringLiteral("absent.ini")));
        QVERIFY(!f.existedAtLoad());
        QCOMPARE(f.size(), 0);
        QCOMPARE(f.value(0), QString());
        QVERIFY(!f.isBlank(0));
    }

    void lineAccessStaysInside_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("inside");
        QTest::newRow("first") << 0 << true;
        QTest::newRow("last") << 2 << true;
        QTest::newRow("one past the end") << 3 << false;
        QTest::newRow("far past the end") << 1000 << false;
        QTest::newRow("minus one") << -1 << false;
    }

    void lineAccessStaysInside()
    {
        QFETCH(int, index);
        QFETCH(bool, inside);
        writeBytes(path(), "a\n\nc\n");
        StateFile f(path());
        QCOMPARE(f.has(index), inside);
        QCOMPARE(f.set(index, QStringLiteral("new")), inside);
        QCOMPARE(f.size(), 3);
        QVERIFY(f.save());
        QStringList lines{"a", "", "c"};
        if (inside)
            lines[index] = QStringLiteral("new");
        QCOMPARE(readBytes(path()), (lines.join('\n') + '\n').toUtf8());
    }

    void insertPositions_data()
    {
        QTest::addColumn<int>("pos");
        QTest::addColumn<QStringList>("result");
        QTest::newRow("front") << 0 << QStringList{"x", "a", "b"};
        QTest::newRow("negative goes to the front") << -5 << QStringList{"x", "a", "b"};
        QTest::newRow("middle") << 1 << QStringList{"a", "x", "b"};
        QTest::newRow("end") << 2 << QStringList{"a", "b", "x"};
        QTest::newRow("past the end appends") << 9 << QStringList{"a", "b", "x"};
    }

    void insertPositions()
    {
        QFETCH(int, pos);
        QFETCH(QStringList, result);
        writeBytes(path(), "a\nb\n");
        StateFile f(path());
        f.insert(pos, QStringLiteral("x"));
        QCOMPARE(f.values(), result);
    }

    void oneValueOneLine_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("line feed becomes a blank") << QStringLiteral("a\nb") << QByteArray("a b\n");
        QTest::newRow("carriage return becomes a blank") << QStringLiteral("a\r\nb") << QByteArray("a  b\n");
        QTest::newRow("zero character dropped") << QString::fromUtf16(u"a\u0000b", 3) << QByteArray("ab\n");
        QTest::newRow("russian text in utf-8")
            << QStringLiteral("Дозиметр ожидает, чтобы его забрали")
            << QByteArray("Дозиметр ожидает, чтобы его забрали\n");
    }

    void oneValueOneLine()
    {
        QFETCH(QString, value);
        QFETCH(QByteArray, bytes);
        writeBytes(path(), "old\nkeep\n");
        StateFile f(path());
        QVERIFY(f.set(0, value));
        QVERIFY(f.save());
        QCOMPARE(readBytes(path()), bytes + "keep\n");
        // Read back, the file still has two cells.
        QCOMPARE(StateFile(path()).size(), 2);
    }

    void writeModes()
    {
        const QString p = path(QStringLiteral("new.ini"));
        QFile::remove(p);
        StateFile f(p);
        f.append(QStringLiteral("1"));
        QVERIFY(!f.save(StateFile::OnlyIfExists));
        QVERIFY(!QFileInfo::exists(p));
        QVERIFY(f.save(StateFile::CreateIfMissing));
        QCOMPARE(readBytes(p), QByteArray("1\n"));
        // No temporary file is left beside it.
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("new.ini*")}, QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("new.ini")});
    }

    void unreadableFileIsNeverRewritten()
    {
        // A folder where the file should be: it exists but cannot be read.
        const QString p = path(QStringLiteral("folder.ini"));
        QVERIFY(QDir().mkpath(p + QStringLiteral("/inner")));
        StateFile f(p);
        QVERIFY(f.existedAtLoad());
        QVERIFY(f.unreadable());
        QCOMPARE(f.size(), 0);
        f.append(QString());
        QVERIFY(!f.save(StateFile::CreateIfMissing));
        QVERIFY(QFileInfo(p).isDir());
        QVERIFY(QFileInfo::exists(p + QStringLiteral("/inner")));
    }
};

QTEST_GUILESS_MAIN(TestStateFiles)
#include "tst_statefiles.moc"
