#pragma once

// The journal rows of one served command, read from its request and reply
// texts and from the rack's registrations before and after it (the
// registrations a scan or a start-up makes show only there). One small
// reader per command, in a table like the dispatcher's.

#include "journalschema.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// The per-cell lines of nomer_ppd.ini, port.ini and error.ini; line k is cell k + 1.
struct RackLines {
    QStringList numbers;
    QStringList ports;
    QStringList errors;
};

// How the controller writes a dosimeter, so that issue rows hold what the
// dosimeter holds: a user text as written (upper-cased and cut as the frames
// cut it) and a requested threshold in the unit the frames carry. Without
// them an issue row keeps the request's texts upper-cased and its thresholds
// as requested (threshold_unit stays NULL).
struct WriteRules {
    std::function<QString(const QString &)> userText;
    std::function<QString(const QString &)> threshold;
};

// A reset of a dosimeter's dose that the controller let go ahead during the
// command (the check before a reset passed).
struct Erasure {
    bool happened = false;
    int cell = -1;          // 0-based
    QString number;
    bool doseKept = false;  // every dose reset failed: the dose is still on the dosimeter
};

struct ServedCommand {
    QString request;
    QString reply;
    RackLines before;
    RackLines after;
    Erasure erasure = {};
    WriteRules rules = {};
};

// Whether a command is journalled at all (and so needs the rack lines).
bool isJournalled(const QString &command);

// The command named by a request text ("" when it is not a JSON object).
QString requestCommand(const QString &request);

// The rows of a served command; none for an unknown command or for a scan
// that found and changed nothing.
QVector<JournalRow> commandRows(const ServedCommand &served);

// The rows of one start-up: the start itself and each registration it made.
QVector<JournalRow> startupRows(const RackLines &before, const RackLines &after, const QString &rackType,
                                int cells);

// The read-out that a cell's waiting line records: the status text after
// the line's fixed start ("OUT:1300,c:2,d:…,n:402,error:"), as a readout row
// of source "recovered" with the line in its note. An empty row when the
// text is not such a status.
JournalRow recoveredReadout(const QString &statusText, int cellIndex, const QString &port);

// The key:value texts of such a status text as it stands (recoveredReadout's
// reading of it): "n", "u", "duty", "d", "dn" and the others; empty when the
// text is not such a status. Worker id and work order come from the
// dosimeter and may hold commas; the readings before them never do.
QMap<QString, QString> statusValues(const QString &statusText);

// Whether two readout rows hold the same readings (worker, doses, rates and
// their times).
bool sameReadings(const JournalRow &a, const JournalRow &b);

// The columns compared by sameReadings.
const QStringList &readingColumns();
