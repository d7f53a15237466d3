#pragma once

// Records every journalled command and each start-up in the dose journal,
// starts the copy to the site's PostgreSQL when it is switched on, and
// keeps every dose on record before a workflow erases it: the check before
// a reset, and at start-up a read-out for every waiting line the journal
// lacks.

#include "commandobserver.h"
#include "commandrows.h"
#include "dosesafety.h"

#include <memory>

class JournalStore;
class JournalSync;

class JournalObserver : public CommandObserver
{
public:
    // Uses the journal settings (G_journal_file, G_cabinet_id, G_journal_pg ...).
    // With the journal on it installs itself as the check before a reset.
    JournalObserver();
    ~JournalObserver() override;

    void startupBegins() override;
    void startupEnded() override;
    void requestBegins(const QString &request) override;
    void replyReady(const QString &request, const QString &reply) override;

    // The check before a reset: "" when the dose the dosimeter carries is on
    // record (or was put on record now), else why the reset must not run.
    QString beforeErasing(const dosesafety::Erasure &erasure);

    JournalStore *store() const { return m_store.get(); }

    // The environment variable that makes the controller stop itself
    // (SIGSTOP) right before it commits a scan's read-out, after the waiting
    // line is written: tests kill it there.
    static const char *stopBeforeReadoutVariable() { return "CABINET_JOURNAL_STOP_BEFORE_READOUT"; }

private:
    // Adds rows; true only when they are on disk.
    bool append(const QVector<JournalRow> &rows);
    // Puts a read-out on record for each waiting line whose readings no
    // read-out of this cycle holds.
    void recoverWaitingLines();

    std::unique_ptr<JournalStore> m_store;
    std::unique_ptr<JournalSync> m_sync;
    RackLines m_before;
    bool m_watching = false;
    QString m_request;        // the request being served
    Erasure m_erasure;        // the reset it let go ahead
    bool m_stopBeforeReadout = false;
};

// The rack's per-cell lines in the state files of a folder (G_Path_RAM by default).
RackLines currentRackLines(const QString &folder = QString());
