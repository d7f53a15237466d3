#include "servicecall.h"

#include "controllerlink.h"
#include "log.h"
#include "settings.h"
#include "statefiles.h"

#include <QJsonDocument>

namespace console {

bool requestedCell(const ApiRequest &req, rackview::Cell *cell, ApiReply *refusal)
{
    const QJsonValue v = req.body.value(QStringLiteral("cell"));
    bool ok = false;
    int n = 0;
    if (v.isDouble()) {
        const double d = v.toDouble();
        ok = d == double(int(d));
        n = int(d);
    } else if (v.isString()) {
        n = v.toString().toInt(&ok, 10);
    }
    if (!ok || n < 1 || n > G_kas_count_cell) {
        *refusal = ApiReply::error(400, QStringLiteral("Нет такой ячейки"));
        return false;
    }
    const QVector<rackview::Cell> all = rackview::load(n, nowSecondsUtc(), G_Time_energe_ppd);
    *cell = all.at(n - 1);
    return true;
}

ApiReply callController(const Context &context, const ApiRequest &req, QJsonObject command)
{
    command.insert(QStringLiteral("operator"), req.caller.user);
    const QString line = QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact));
    logLine(QStringLiteral("console: ") + req.caller.user + QStringLiteral(" sends ") + line);
    const controllerlink::Reply r =
        controllerlink::send(context.controllerHost, context.controllerPort, command);
    if (!r.ok) {
        logLine(QStringLiteral("console: ") + r.failure);
        return ApiReply::error(502, r.failure);
    }
    return ApiReply::json({{QStringLiteral("reply"), r.object},
                           {QStringLiteral("error"), r.object.value(QStringLiteral("error")).toString()}});
}

} // namespace console
