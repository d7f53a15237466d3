#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>

// The state of every cell as the rack map shows it, derived read-only from
// the controller's state files.
namespace rackview {

enum class State { Empty, Resting, Ready, Issued, Returned, Blocked, Failed };

// "empty", "resting", ... (the API's names) and the Russian word of the map.
QString stateName(State state);
QString stateWord(State state);

struct Cell
{
    int cell = 0;            // 1-based
    QString number;          // dosimeter number, "" when none
    QString port;            // device path, "" when none
    State state = State::Empty;
    QString text;            // block or error text; the readings' status text when returned
    qint64 secondsLeft = 0;  // resting: seconds until it may be issued
    QJsonObject readings;    // returned: c, d, r, tm, (dn, rn, tmn), tw, u, duty, n
};

// One cell from its lines. The rest rule is the issue workflow's own: the
// age now - stamp, as an unsigned 32-bit number, must exceed restSeconds.
Cell classify(int cell, const QString &number, const QString &port, const QString &errorLine,
              const QString &stamp, qint64 now, int restSeconds);

// The key:value pairs of a recorded status text ("OUT:1300,c:3,d:...,error:").
// A value may itself hold commas; only ",<next key>:" ends it.
QJsonObject parseReadings(const QString &statusText);

// Every cell of the rack from the state files under G_Path_RAM.
QVector<Cell> load(int cellCount, qint64 now, int restSeconds);

QJsonObject toJson(const Cell &cell);

} // namespace rackview
