#include "journalobserver.h"

#include "journalstore.h"
#include "journalsync.h"
#include "log.h"
#include "settings.h"
#include "statefiles.h"

#include <QDir>
#include <QFileInfo>

RackLines currentRackLines()
{
    return {StateFile(statePath(QStringLiteral("/nomer_ppd.ini"))).values(),
            StateFile(statePath(QStringLiteral("/port.ini"))).values(),
            StateFile(statePath(QStringLiteral("/error.ini"))).values()};
}

JournalObserver::JournalObserver()
{
    if (G_journal_file.isEmpty())
        return;
    JournalStore::setLogSink(&logLine);
    m_store = std::make_unique<JournalStore>(journalFilePath(), G_cabinet_id);
    if (!G_journal_pg.enabled)
        return;
    JournalSync::Options o;
    o.journalPath = m_store->path();
    o.pg = journalPgSettings();
    o.annualDoseKey = G_annual_dose_key;
    o.batchRows = G_journal_pg.batchRows;
    if (!G_annual_dose_key.isEmpty() && !JournalSync::isAnnualDoseKey(G_annual_dose_key))
        logLine(QStringLiteral("annual_dose_key ") + G_annual_dose_key
                + QStringLiteral(" не столбец users (user_id, tab_num, card_id, code): годовая доза не пересчитывается"));
    m_sync = std::make_unique<JournalSync>(o);
}

JournalObserver::~JournalObserver() = default;

void JournalObserver::append(const QVector<JournalRow> &rows)
{
    if (rows.isEmpty())
        return;
    m_store->append(rows);
    if (m_sync)
        m_sync->wake();
}

void JournalObserver::startupBegins()
{
    if (!m_store)
        return;
    // The start-up reads Path_RAM itself; so does the look before it.
    const QString saved = G_Path_RAM;
    G_Path_RAM = settingsText(QStringLiteral("Path_RAM"), QStringLiteral("/tmp/pelk1300"));
    m_before = currentRackLines();
    G_Path_RAM = saved;
}

void JournalObserver::startupEnded()
{
    if (m_store)
        append(startupRows(m_before, currentRackLines(), G_type_ppd, G_kas_count_cell));
}

void JournalObserver::requestBegins(const QString &request)
{
    m_watching = m_store && isJournalled(requestCommand(request));
    if (m_watching)
        m_before = currentRackLines();
}

void JournalObserver::replyReady(const QString &request, const QString &reply)
{
    if (!m_watching)
        return;
    m_watching = false;
    append(commandRows({request, reply, m_before, currentRackLines()}));
}
