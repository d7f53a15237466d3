#pragma once

// Records every journalled command and each start-up in the dose journal,
// and starts the copy to the site's PostgreSQL when it is switched on.

#include "commandobserver.h"
#include "commandrows.h"

#include <QElapsedTimer>
#include <memory>

class JournalStore;
class JournalSync;

class JournalObserver : public CommandObserver
{
public:
    // Uses the journal settings (G_journal_file, G_cabinet_id, G_journal_pg ...).
    JournalObserver();
    ~JournalObserver() override;

    void startupBegins() override;
    void startupEnded() override;
    void requestBegins(const QString &request) override;
    void replyReady(const QString &request, const QString &reply) override;

    JournalStore *store() const { return m_store.get(); }

private:
    void append(const QVector<JournalRow> &rows);

    std::unique_ptr<JournalStore> m_store;
    std::unique_ptr<JournalSync> m_sync;
    RackLines m_before;
    bool m_watching = false;
};

// The rack's per-cell lines as they are in the state files now.
RackLines currentRackLines();
