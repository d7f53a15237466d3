#include "servicecall.h"

#include "cellnumber.h"
#include "controllerlink.h"
#include "log.h"
#include "settings.h"
#include "statefiles.h"

#include <QJsonDocument>

namespace console {

bool requestedCell(const ApiRequest &req, rackview::Cell *cell, ApiReply *refusal)
{
    const QJsonValue v = req.body.value(QStringLiteral("cell"));
    // A number from the page, or a text read as the controller reads it.
    qint64 n = 0;
    if (v.isDouble() && v.toDouble() == double(qint64(v.toDouble())))
        n = qint64(v.toDouble());
    else if (v.isString())
        n = cellIndex(v.toString()) + 1;
    if (n < 1 || n > G_kas_count_cell) {
        *refusal = ApiReply::error(400, QStringLiteral("Нет такой ячейки"));
        return false;
    }
    const QVector<rackview::Cell> all = rackview::load(int(n), nowSecondsUtc(), G_Time_energe_ppd);
    *cell = all.at(int(n) - 1);
    return true;
}

ApiReply callController(const Context &context, const ApiRequest &req, QJsonObject command)
{
    command.insert(QStringLiteral("operator"), req.caller.user);
    const QString line = QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact));
    logLine(QStringLiteral("console: ") + req.caller.user + QStringLiteral(" sends ") + line);
    const controllerlink::Reply r = context.controller->send(command);
    if (!r.ok()) {
        logLine(QStringLiteral("console: ") + r.failure);
        // Busy: nothing was sent. Timed out: the command may still be carried out.
        const int status = r.outcome == controllerlink::Outcome::Busy       ? 503
                           : r.outcome == controllerlink::Outcome::TimedOut ? 504
                                                                            : 502;
        return ApiReply::error(status, r.failure);
    }
    return ApiReply::json({{QStringLiteral("reply"), r.object},
                           {QStringLiteral("error"), r.object.value(QStringLiteral("error")).toString()}});
}

} // namespace console
