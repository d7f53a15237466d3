// Service actions of the rack map (technician only): block and unblock a
// cell, read a returned dosimeter's history, confirm a return, poll for returns.
#include "servicecall.h"


#include <functional>

namespace console {

namespace {

ApiReply conflict(const QString &text) { return ApiReply::error(409, text); }

const ApiReply kAccepted;   // status 200: no refusal

using CellCheck = std::function<ApiReply(const rackview::Cell &, const ApiRequest &)>;
using CellCommand = std::function<QJsonObject(const rackview::Cell &, const ApiRequest &)>;

// A technician's action on the cell a request names: the cell is read from
// the state files, the check may refuse, and the command goes to the controller.
void cellAction(RouteTable &table, Context *ctx, const std::string &path, CellCheck check, CellCommand command)
{
    table.post(path, Access::Technician, [ctx, check, command](const ApiRequest &req) {
        rackview::Cell cell;
        ApiReply refusal;
        if (!requestedCell(req, &cell, &refusal))
            return refusal;
        refusal = check(cell, req);
        if (refusal.status != 200)
            return refusal;
        return callController(*ctx, req, command(cell, req));
    });
}

QString blockText(const ApiRequest &req)
{
    return req.body.value(QStringLiteral("text")).toString().simplified();
}

QJsonObject cellError(const rackview::Cell &cell, const QString &block)
{
    return {{QStringLiteral("command"), QStringLiteral("cell_error")},
            {QStringLiteral("port"), cell.port},
            {QStringLiteral("cell"), QString::number(cell.cell)},
            {QStringLiteral("block"), block}};
}

// OUT_Get_history and OUT_true take the same keys.
QJsonObject returnCommand(const char *command, const rackview::Cell &cell)
{
    return {{QStringLiteral("command"), QLatin1String(command)},
            {QStringLiteral("nomer_ppd"), cell.number},
            {QStringLiteral("cell"), QString::number(cell.cell)},
            {QStringLiteral("error"), QString()}};
}

} // namespace

void registerServiceRoutes(RouteTable &table, Context &context)
{
    Context *ctx = &context;

    cellAction(
        table, ctx, "/api/cell/block",
        [](const rackview::Cell &cell, const ApiRequest &req) {
            const QString text = blockText(req);
            if (text.isEmpty() || text.size() > 200)
                return ApiReply::error(400, QStringLiteral("Текст блокировки: от 1 до 200 знаков"));
            // A block text would replace the line that holds the dose or the issued dosimeter.
            if (cell.state == rackview::State::Returned)
                return conflict(QStringLiteral("Ячейку нельзя заблокировать: сданный дозиметр ждёт подтверждения. "
                                               "Сначала подтвердите сдачу."));
            if (cell.state == rackview::State::Issued)
                return conflict(QStringLiteral("Ячейку нельзя заблокировать: выданный дозиметр ещё не забрали."));
            return kAccepted;
        },
        [](const rackview::Cell &cell, const ApiRequest &req) { return cellError(cell, blockText(req)); });

    cellAction(
        table, ctx, "/api/cell/unblock",
        [](const rackview::Cell &cell, const ApiRequest &) {
            return cell.state == rackview::State::Blocked || cell.state == rackview::State::Failed
                ? kAccepted
                : conflict(QStringLiteral("Ячейка не заблокирована"));
        },
        [](const rackview::Cell &cell, const ApiRequest &) { return cellError(cell, QString()); });

    cellAction(
        table, ctx, "/api/cell/history",
        [](const rackview::Cell &cell, const ApiRequest &) {
            return cell.number.isEmpty() ? conflict(QStringLiteral("В ячейке нет дозиметра")) : kAccepted;
        },
        [](const rackview::Cell &cell, const ApiRequest &) { return returnCommand("OUT_Get_history", cell); });

    cellAction(
        table, ctx, "/api/cell/confirm",
        [](const rackview::Cell &cell, const ApiRequest &req) {
            const QString number = req.body.value(QStringLiteral("number")).toString();
            // Someone else (the self-service attendant, another technician) confirmed it meanwhile.
            if (cell.state != rackview::State::Returned && !number.isEmpty() && cell.number == number
                && cell.text.isEmpty()) {
                return ApiReply::json({{QStringLiteral("error"), QStringLiteral("Возврат уже подтвержден")},
                                       {QStringLiteral("already"), true}},
                                      409);
            }
            if (cell.state != rackview::State::Returned)
                return conflict(QStringLiteral("В ячейке нет сданного дозиметра, ждущего подтверждения"));
            // The number the technician saw: a dosimeter that changed meanwhile is not confirmed.
            if (req.body.value(QStringLiteral("number")).toString() != cell.number)
                return conflict(QStringLiteral("В ячейке уже другой дозиметр; обновите страницу"));
            return kAccepted;
        },
        [](const rackview::Cell &cell, const ApiRequest &) { return returnCommand("OUT_true", cell); });

    table.post("/api/out", Access::Technician, [ctx](const ApiRequest &req) {
        return callController(*ctx, req, {{QStringLiteral("command"), QStringLiteral("OUT")}});
    });
}

} // namespace console
