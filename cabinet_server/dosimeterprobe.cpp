#include "dosimeterprobe.h"

#include "dosimeter.h"
#include "jsonresult.h"
#include "log.h"
#include "statefiles.h"

#include <QFileInfo>

bool devicePresent(const QString &device)
{
    return !device.isEmpty() && QFileInfo::exists(device);
}

DosimeterIdentity readIdentity(const QString &port)
{
    DosimeterIdentity id;
    const CommandReply number(Get_Nomer_PPD(port));
    if (!number.ok()) {
        logLine(QStringLiteral("Ошибка чтения номера дозиметра"));
        return id;
    }
    id.number = number.value(QStringLiteral("nomer_pdd"));
    logLine(QStringLiteral("Номер дозиметра ") + id.number);
    const CommandReply user(Get_user_id(port, id.number));
    if (!user.ok()) {
        logLine(QStringLiteral("Ошибка чтения идентификатора пользователя"));
        return id;
    }
    id.userId = user.value(QStringLiteral("user_id"));
    logLine(QStringLiteral("идентификатор пользователя ") + id.userId);
    id.ok = true;
    return id;
}

int hubLine(const StateFile &hub, const QString &hubId)
{
    return hubId.isEmpty() ? -1 : hub.indexOf(hubId);
}
