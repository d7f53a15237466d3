#pragma once

// What the attendant reads from the controller's replies: the cells of a
// Kas_status reply, the returns waiting for confirmation and the failed
// read-outs among them, and the readings of a return.

#include <QJsonObject>
#include <QString>
#include <QVector>

// One cell of a Kas_status reply.
struct CellStatus {
    int cell = 0;          // 1-based
    QString port;
    QString line;          // the cell's error.ini line
};

// The cells of a Kas_status reply; false when it is not one.
bool parseRackStatus(const QJsonObject &reply, QVector<CellStatus> *cells);

// A return as the attendant handles it: from an OUT reply, or rebuilt from a
// cell's waiting line.
struct ReturnReadings {
    int cell = 0;
    QString number;
    QString uid;
    QString gammaDose;     // "d"
    QString neutronDose;   // "dn" on a gamma-and-neutron rack
};

// The readings of an OUT reply that read a dosimeter out; false for any other reply.
bool readingsFromOut(const QJsonObject &reply, ReturnReadings *readings);

// Whether the line is a waiting line ("Ждет подтвержения сдачи " and the
// readings), and its readings (the cell is not set).
bool readingsFromWaitingLine(const QString &line, ReturnReadings *readings);

// Whether the line is a failed read-out ("error:Произошла критическая ошибка при Сдаче дозиметра ...").
bool isFailedReadout(const QString &line);

// An OUT reply that reports a failed read-out.
bool isReadoutFailureReply(const QJsonObject &reply);

// The readings in words for log lines and block texts.
QString readingsText(const ReturnReadings &r);
