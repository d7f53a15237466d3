#pragma once

// The journal rows of one served command, read from its request and reply
// texts and from the rack's registrations before and after it (the
// registrations a scan or a start-up makes show only there). One small
// reader per command, in a table like the dispatcher's.

#include "journalschema.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

// The per-cell lines of nomer_ppd.ini, port.ini and error.ini; line k is cell k + 1.
struct RackLines {
    QStringList numbers;
    QStringList ports;
    QStringList errors;
};

struct ServedCommand {
    QString request;
    QString reply;
    RackLines before;
    RackLines after;
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
