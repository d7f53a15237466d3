#pragma once

#include <QString>

class StateFile;

// Whether a device path names something that exists now.
bool devicePresent(const QString &device);

// The number and user id of the dosimeter on a port, read as the rack scans
// read them: "Номер дозиметра " and "идентификатор пользователя " are logged
// after good reads; a failed read is logged and makes ok false.
struct DosimeterIdentity
{
    bool ok = false;
    QString number;
    QString userId;
};
DosimeterIdentity readIdentity(const QString &port);

// The hub.ini line that holds a hub id, or -1. An empty hub id (a device the
// query knows nothing of) matches no line, not even a blank one.
int hubLine(const StateFile &hub, const QString &hubId);
