// Service actions of the rack map (technician only): block and unblock a
// cell, read a returned dosimeter's history, confirm a return, poll for returns.
#include "servicecall.h"

#include <QJsonDocument>

namespace console {

namespace {

ApiReply conflict(const QString &text) { return ApiReply::error(409, text); }

QString cellText(const rackview::Cell &c) { return QString::number(c.cell); }

} // namespace

void registerServiceRoutes(RouteTable &table, Context &context)
{
    Context *ctx = &context;

    table.post("/api/cell/block", Access::Technician, [ctx](const ApiRequest &req) {
        rackview::Cell cell;
        ApiReply refusal;
        if (!requestedCell(req, &cell, &refusal))
            return refusal;
        const QString text = req.body.value(QStringLiteral("text")).toString().simplified();
        if (text.isEmpty() || text.size() > 200)
            return ApiReply::error(400, QStringLiteral("Текст блокировки: от 1 до 200 знаков"));
        return callController(*ctx, req, {{QStringLiteral("command"), QStringLiteral("cell_error")},
                                          {QStringLiteral("port"), cell.port},
                                          {QStringLiteral("cell"), cellText(cell)},
                                          {QStringLiteral("block"), text}});
    });

    table.post("/api/cell/unblock", Access::Technician, [ctx](const ApiRequest &req) {
        rackview::Cell cell;
        ApiReply refusal;
        if (!requestedCell(req, &cell, &refusal))
            return refusal;
        if (cell.state != rackview::State::Blocked && cell.state != rackview::State::Failed)
            return conflict(QStringLiteral("Ячейка не заблокирована"));
        return callController(*ctx, req, {{QStringLiteral("command"), QStringLiteral("cell_error")},
                                          {QStringLiteral("port"), cell.port},
                                          {QStringLiteral("cell"), cellText(cell)},
                                          {QStringLiteral("block"), QString()}});
    });

    table.post("/api/cell/history", Access::Technician, [ctx](const ApiRequest &req) {
        rackview::Cell cell;
        ApiReply refusal;
        if (!requestedCell(req, &cell, &refusal))
            return refusal;
        if (cell.number.isEmpty())
            return conflict(QStringLiteral("В ячейке нет дозиметра"));
        return callController(*ctx, req, {{QStringLiteral("command"), QStringLiteral("OUT_Get_history")},
                                          {QStringLiteral("nomer_ppd"), cell.number},
                                          {QStringLiteral("cell"), cellText(cell)},
                                          {QStringLiteral("error"), QString()}});
    });

    table.post("/api/cell/confirm", Access::Technician, [ctx](const ApiRequest &req) {
        rackview::Cell cell;
        ApiReply refusal;
        if (!requestedCell(req, &cell, &refusal))
            return refusal;
        if (cell.state != rackview::State::Returned)
            return conflict(QStringLiteral("В ячейке нет сданного дозиметра, ждущего подтверждения"));
        // The number the technician saw: a dosimeter that changed meanwhile is not confirmed.
        if (req.body.value(QStringLiteral("number")).toString() != cell.number)
            return conflict(QStringLiteral("В ячейке уже другой дозиметр; обновите страницу"));
        return callController(*ctx, req, {{QStringLiteral("command"), QStringLiteral("OUT_true")},
                                          {QStringLiteral("nomer_ppd"), cell.number},
                                          {QStringLiteral("cell"), cellText(cell)},
                                          {QStringLiteral("error"), QString()}});
    });

    table.post("/api/out", Access::Technician, [ctx](const ApiRequest &req) {
        return callController(*ctx, req, {{QStringLiteral("command"), QStringLiteral("OUT")}});
    });
}

} // namespace console
