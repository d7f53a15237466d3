// Calibration wizard: maps cell 1, 2, 3, ... to the USB position of the
// dosimeter the technician plugs in for it, through the controller's
// "Init_hub_ini". A step takes the one device path of port_base that appeared
// since the previous step.
#include "servicecall.h"

#include "dosimeterprobe.h"
#include "hubid.h"
#include "log.h"
#include "settings.h"
#include "statefiles.h"

#include <QJsonArray>

#include <mutex>
#include <set>

namespace console {

namespace {

struct Wizard
{
    std::mutex mutex;
    bool active = false;
    int nextCell = 1;
    QString startedBy;
    std::set<QString> known;   // device paths present after the previous step
    QJsonArray done;           // {cell, port, hub} of this run
};

Wizard &wizard()
{
    static Wizard w;
    return w;
}

std::set<QString> presentDevices()
{
    std::set<QString> out;
    for (const QString &p : G_ports_dkg) {
        if (devicePresent(p))
            out.insert(p);
    }
    return out;
}

QJsonObject wizardJson(const Wizard &w, const Context &ctx)
{
    const StateFile hub(ctx.hubFile);
    QJsonArray devices;
    for (const QString &p : presentDevices())
        devices.append(p);
    return {{QStringLiteral("active"), w.active},
            {QStringLiteral("nextCell"), w.nextCell},
            {QStringLiteral("startedBy"), w.startedBy},
            {QStringLiteral("done"), w.done},
            {QStringLiteral("hub"), QJsonArray::fromStringList(hub.values())},
            {QStringLiteral("devices"), devices},
            {QStringLiteral("cells"), G_kas_count_cell}};
}

} // namespace

void registerCalibrationRoutes(RouteTable &table, Context &context)
{
    Context *ctx = &context;

    table.get("/api/calibration", Access::Technician, [ctx](const ApiRequest &) {
        Wizard &w = wizard();
        std::lock_guard<std::mutex> lock(w.mutex);
        return ApiReply::json(wizardJson(w, *ctx));
    });

    // {"restart": true} starts at cell 1 (hub.ini is begun anew by the first
    // step); otherwise the run goes on after the last line of hub.ini.
    table.post("/api/calibration/start", Access::Technician, [ctx](const ApiRequest &req) {
        Wizard &w = wizard();
        std::lock_guard<std::mutex> lock(w.mutex);
        const bool restart = req.body.value(QStringLiteral("restart")).toBool(true);
        w.active = true;
        w.nextCell = restart ? 1 : StateFile(ctx->hubFile).size() + 1;
        w.startedBy = req.caller.user;
        w.known = presentDevices();
        w.done = QJsonArray();
        logLine(QStringLiteral("console: ") + req.caller.user + QStringLiteral(" starts the calibration at cell ")
                + QString::number(w.nextCell));
        return ApiReply::json(wizardJson(w, *ctx));
    });

    table.post("/api/calibration/stop", Access::Technician, [ctx](const ApiRequest &) {
        Wizard &w = wizard();
        std::lock_guard<std::mutex> lock(w.mutex);
        w.active = false;
        return ApiReply::json(wizardJson(w, *ctx));
    });

    table.post("/api/calibration/step", Access::Technician, [ctx](const ApiRequest &req) {
        Wizard &w = wizard();
        std::lock_guard<std::mutex> lock(w.mutex);
        if (!w.active)
            return ApiReply::error(409, QStringLiteral("Калибровка не начата"));
        const int cell = w.nextCell;
        const std::set<QString> now = presentDevices();
        // A device pulled out since the previous step is forgotten, so that
        // plugging it in again counts as new.
        std::set<QString> kept;
        for (const QString &p : w.known)
            if (now.count(p))
                kept.insert(p);
        w.known = kept;
        QStringList appeared;
        for (const QString &p : now)
            if (!w.known.count(p))
                appeared << p;
        const QString forCell = QStringLiteral(" (ячейка %1)").arg(cell);
        if (appeared.isEmpty())
            return ApiReply::error(409, QStringLiteral("Новый дозиметр не обнаружен. Вставьте дозиметр в ячейку %1 "
                                                       "и повторите шаг.").arg(cell));
        if (appeared.size() > 1)
            return ApiReply::error(409, QStringLiteral("Появилось больше одного устройства: %1. Оставьте вставленным "
                                                       "только дозиметр ячейки %2 и повторите шаг.")
                                            .arg(appeared.join(QStringLiteral(", ")))
                                            .arg(cell));
        const QString port = appeared.first();
        const QString id = Get_hub_id(port);
        if (id.isEmpty())
            return ApiReply::error(409, QStringLiteral("Для устройства %1 не удалось узнать позицию USB-разъёма%2.")
                                            .arg(port, forCell));
        // Lines before this cell stay in hub.ini; the first step begins the file anew.
        const StateFile hub(ctx->hubFile);
        const int used = hub.indexOf(id);
        if (cell > 1 && used >= 0 && used < cell - 1)
            return ApiReply::error(409, QStringLiteral("Разъём %1 уже записан для ячейки %2%3. Проверьте, в какую "
                                                       "ячейку вставлен дозиметр.")
                                            .arg(id).arg(used + 1).arg(forCell));
        const ApiReply sent = callController(*ctx, req, {{QStringLiteral("command"), QStringLiteral("Init_hub_ini")},
                                                         {QStringLiteral("port"), port},
                                                         {QStringLiteral("cell"), QString::number(cell)}});
        if (sent.status != 200)
            return sent;
        const StateFile after(ctx->hubFile);
        if (after.value(cell - 1) != id)
            return ApiReply::error(409, QStringLiteral("Контроллер не записал разъём %1 в hub.ini%2: %3")
                                            .arg(id, forCell, QString::fromUtf8(sent.body)));
        w.known.insert(port);
        const QJsonObject step{{QStringLiteral("cell"), cell},
                               {QStringLiteral("port"), port},
                               {QStringLiteral("hub"), id}};
        w.done.append(step);
        w.nextCell = cell + 1;
        QJsonObject out = wizardJson(w, *ctx);
        out.insert(QStringLiteral("step"), step);
        return ApiReply::json(out);
    });
}

} // namespace console
