#pragma once

// Whether a read-out is safe in the controller's dose journal before the
// attendant lets the controller erase the dosimeter: the journal file is
// opened read-only (the controller stays its only writer) and asked for the
// read-out row of that dosimeter after its last erasure, by the journal's
// counting rule (a row marked as erasing it; on rows older than that mark a
// confirmation, an unblock or an issue).

#include <QString>

struct JournalReadout {
    bool found = false;
    qint64 seq = 0;
    QString failure;       // why it was not found, for the log and the block text
};

// The latest read-out row of the dosimeter in the cell after its last
// erasure; with reply not empty, only a row whose reply text is exactly it.
JournalReadout findReadout(const QString &journalPath, const QString &number, int cell, const QString &reply);
