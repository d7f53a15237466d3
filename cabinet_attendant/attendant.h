#pragma once

// Returns with nobody at the console: polls the controller's return scan,
// reads each returned dosimeter's history and confirms the return once its
// read-out is safe in the dose journal. A read-out or confirmation is never
// repeated blindly: a failure is tried once more after the cell's state has
// been looked at again, and a second failure blocks the cell with a text for
// a technician. Returns read out before the attendant (re)started are found
// in the cells' waiting lines and confirmed the same way.
//
// One request at a time: every step waits for its reply (or its time-out)
// before the next one is sent.

#include "controllerclient.h"
#include "rackstatus.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <functional>

class Attendant
{
public:
    struct Options {
        controllerclient::Address controller;
        controllerclient::Timeouts timeouts;
        QString journalPath;         // empty: no journal, returns are confirmed without the check
        int statusEveryMs = 30000;   // how often the cells are looked over besides the start
    };

    explicit Attendant(const Options &options);

    // One round: the cells looked over when that is due, the returns known
    // to wait handled, then one return scan (OUT) and what it found.
    void round();

    // Where log lines go (default: the Qt debug log).
    void setLogSink(std::function<void(const QString &)> sink) { m_log = std::move(sink); }

    // The block texts, for tests and the README.
    static QString readoutBlockText(int cell);
    static QString confirmBlockText(const ReturnReadings &r, const QString &reason);

private:
    enum class Failure { None, Transport, Reported, Journal };

    struct Pending {
        ReturnReadings readings;
        QString outReply;            // the OUT reply; empty when rebuilt from the cell's line
        QString history;             // what the history read gave, for the log line; empty: not read yet
        qint64 journalSeq = 0;       // the read-out's journal row, once found: later tries do not look again
        int failures = 0;
        Failure last = Failure::None;
        QString lastReason;
        bool blockPending = false;   // the cell is to be blocked (the block request failed before)
    };

    controllerclient::Reply ask(const QJsonObject &request);
    // Kas_status; false when it could not be read.
    bool readStatus(QVector<CellStatus> *cells);
    void lookOverCells();
    void scanReturns();
    void readHistory(Pending &p);
    // Tries to confirm one waiting return; true when it is finished with
    // (confirmed, confirmed elsewhere, or its cell blocked).
    bool confirm(Pending &p);
    bool fail(Pending &p, Failure kind, const QString &reason);
    bool block(int cell, const QString &text);
    void readoutFailed(int cell, const QString &port);
    void log(const QString &line) const;

    Options m_options;
    std::function<void(const QString &)> m_log;
    QHash<int, Pending> m_waiting;       // by cell
    QHash<int, int> m_readoutFailures;   // failed read-outs by cell
    QElapsedTimer m_sinceLookOver;
    bool m_lookedOver = false;
    bool m_reachable = true;             // logs a lost and a regained controller once
};
