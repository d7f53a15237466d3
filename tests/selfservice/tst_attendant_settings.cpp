// The attendant's settings as it reads them from the controller's settings
// file. A program of its own: the controller's settings code, which the
// attendant reads them with, cannot share one with the terminal's.
#include "attendantsettings.h"
#include "settings.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestAttendantSettings : public QObject
{
    Q_OBJECT

private slots:
    // The journal the attendant checks, from [Attendant] journal= beside
    // the controller's own journal= in the same file.
    void attendantJournalSetting_data()
    {
        QTest::addColumn<QString>("line");   // in [Attendant]; empty: none
        QTest::addColumn<QString>("file");   // expected, in the settings' folder; empty: no check
        QTest::newRow("not given: the controller's") << "" << "journal.sqlite";
        QTest::newRow("empty: the controller's") << "journal=" << "journal.sqlite";
        QTest::newRow("blank: the controller's") << "journal=  " << "journal.sqlite";
        QTest::newRow("off") << "journal=off" << "";
        QTest::newRow("OFF") << "journal=OFF" << "";
        QTest::newRow("another file") << "journal=copy.sqlite" << "copy.sqlite";
    }
    void attendantJournalSetting()
    {
        QFETCH(QString, line);
        QFETCH(QString, file);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.ini"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[Settings]\njournal=journal.sqlite\n[Attendant]\nenabled=on\n%1\n").arg(line).toUtf8());
        f.close();
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        G_settings_file = path;
        const AttendantSettings s = AttendantSettings::read();
        QDir::setCurrent(cwd);
        QVERIFY(s.enabled);
        QCOMPARE(s.problems, QStringList());
        QCOMPARE(s.journalPath, file.isEmpty() ? QString() : QDir(dir.path()).absoluteFilePath(file));
    }

};

QTEST_MAIN(TestAttendantSettings)
#include "tst_attendant_settings.moc"
