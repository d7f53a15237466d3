// The journal's settings: keys of [Settings] and the [Journal] group, with
// their defaults, as the controller reads them.
#include "settings.h"
#include "testsupport.h"

#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

class TestJournalSettings : public QObject
{
    Q_OBJECT

private slots:
    void keys_data()
    {
        QTest::addColumn<QByteArray>("ini");        // empty: no settings file
        QTest::addColumn<QString>("journal");
        QTest::addColumn<QString>("cabinet");       // "%HOST%": the host name
        QTest::addColumn<QString>("annualKey");
        QTest::addColumn<bool>("pg");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("batch");
        QTest::newRow("no settings file") << QByteArray() << "journal.sqlite" << "%HOST%" << "" << false << -1 << 500;
        QTest::newRow("no journal keys") << QByteArray("[Settings]\nkas_count_cell=3\n") << "journal.sqlite" << "%HOST%"
                                         << "" << false << -1 << 500;
        QTest::newRow("journal off, names given")
            << QByteArray("[Settings]\njournal=\ncabinet_id=cab-3\nannual_dose_key= tab_num \n") << "" << "cab-3"
            << "tab_num" << false << -1 << 500;
        QTest::newRow("pg on")
            << QByteArray("[Settings]\njournal=/var/j.sqlite\n[Journal]\npg=on\nport=5433\nbatch=50\n") << "/var/j.sqlite"
            << "%HOST%" << "" << true << 5433 << 50;
        QTest::newRow("pg true, bad port and batch")
            << QByteArray("[Journal]\npg=True\nport=99999\nbatch=-4\n") << "journal.sqlite" << "%HOST%" << "" << true
            << -1 << 500;
        QTest::newRow("pg with another word is off") << QByteArray("[Journal]\npg=maybe\n") << "journal.sqlite" << "%HOST%"
                                                     << "" << false << -1 << 500;
    }
    void keys()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, journal);
        QFETCH(QString, cabinet);
        QFETCH(QString, annualKey);
        QFETCH(bool, pg);
        QFETCH(int, port);
        QFETCH(int, batch);
        QTemporaryDir dir;
        G_settings_file = dir.filePath(QStringLiteral("settings.ini"));
        if (!ini.isEmpty())
            writeBytes(G_settings_file, ini);
        G_journal_file = QStringLiteral("stale");
        G_journal_pg.enabled = !pg;
        readJournalSettings();
        QCOMPARE(G_journal_file, journal);
        QCOMPARE(G_cabinet_id, cabinet == QLatin1String("%HOST%") ? QSysInfo::machineHostName() : cabinet);
        QCOMPARE(G_annual_dose_key, annualKey);
        QCOMPARE(G_journal_pg.enabled, pg);
        QCOMPARE(G_journal_pg.port, port);
        QCOMPARE(G_journal_pg.batchRows, batch);
    }
};

QTEST_GUILESS_MAIN(TestJournalSettings)
#include "tst_journal_settings.moc"
