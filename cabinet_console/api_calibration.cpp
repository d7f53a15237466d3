// Calibration wizard: maps cell 1, 2, 3, ... to the USB position of the
// dosimeter the technician plugs in for it, through the controller's
// "Init_hub_ini". A step takes the one device path of port_base that appeared
// since the previous step.
//
// "Init_hub_ini" inserts its line (for cell 1 it begins the file anew), so a
// command sent twice would shift every later line. The wizard therefore keeps
// hub.ini line-for-line with its run: before the step for cell N the file has
// N - 1 lines (or it is the first step of a restart), and a step whose line
// the file already holds (a reply lost after the controller wrote it) counts
// as done and sends nothing. A run belongs to the technician who started it;
// another one may take it over only by saying so.
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
    bool restart = false;      // the run began hub.ini anew
    int nextCell = 1;
    quint64 run = 0;           // changes with every start and takeover
    QString owner;
    bool stepping = false;     // a step is on its way (one at a time)
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

int cellCount() { return qBound(1, G_kas_count_cell, 4096); }

QString completeText(int lines)
{
    return QStringLiteral("Карта полная: в hub.ini %1 строк для %2 ячеек. Чтобы переписать её, начните заново.")
        .arg(lines)
        .arg(cellCount());
}

// Called with the wizard's mutex held.
QJsonObject wizardJson(const Wizard &w, const Context &ctx, const ApiRequest &req)
{
    const StateFile hub(ctx.hubFile);
    QJsonArray devices;
    for (const QString &p : presentDevices())
        devices.append(p);
    return {{QStringLiteral("active"), w.active},
            {QStringLiteral("restart"), w.restart},
            {QStringLiteral("nextCell"), w.nextCell},
            {QStringLiteral("owner"), w.owner},
            {QStringLiteral("mine"), w.active && w.owner == req.caller.user},
            {QStringLiteral("done"), w.done},
            {QStringLiteral("hub"), QJsonArray::fromStringList(hub.values())},
            {QStringLiteral("complete"), hub.size() >= cellCount()},
            {QStringLiteral("devices"), devices},
            {QStringLiteral("cells"), cellCount()}};
}

// Refuses a step or a stop by anyone but the run's owner. Mutex held.
bool ownerOnly(const Wizard &w, const ApiRequest &req, ApiReply *refusal)
{
    if (!w.active) {
        *refusal = ApiReply::error(409, QStringLiteral("Калибровка не начата"));
        return false;
    }
    if (w.owner != req.caller.user) {
        *refusal = ApiReply::error(409, QStringLiteral("Калибровку ведёт %1 (следующая ячейка %2). Чтобы продолжить её, "
                                                       "примите управление.")
                                            .arg(w.owner)
                                            .arg(w.nextCell));
        return false;
    }
    return true;
}

struct StepPlan
{
    int cell = 0;
    quint64 run = 0;
    bool restart = false;
    std::set<QString> known;
};

// The outcome of a step, worked out without the wizard's mutex.
struct StepResult
{
    ApiReply refusal;          // status 200: the step is done
    QString port, id;
    bool sent = false;
};

StepResult carryOut(const StepPlan &plan, const Context &ctx, const ApiRequest &req)
{
    StepResult r;
    const int cell = plan.cell;
    const std::set<QString> now = presentDevices();
    QStringList appeared;
    for (const QString &p : now)
        if (!plan.known.count(p))
            appeared << p;
    const QString forCell = QStringLiteral(" (ячейка %1)").arg(cell);
    if (appeared.isEmpty()) {
        r.refusal = ApiReply::error(409, QStringLiteral("Новый дозиметр не обнаружен. Вставьте дозиметр в ячейку %1 "
                                                        "и повторите шаг.").arg(cell));
        return r;
    }
    if (appeared.size() > 1) {
        r.refusal = ApiReply::error(409, QStringLiteral("Появилось больше одного устройства: %1. Оставьте вставленным "
                                                        "только дозиметр ячейки %2 и повторите шаг.")
                                             .arg(appeared.join(QStringLiteral(", ")))
                                             .arg(cell));
        return r;
    }
    r.port = appeared.first();
    r.id = Get_hub_id(r.port);
    if (r.id.isEmpty()) {
        r.refusal = ApiReply::error(409, QStringLiteral("Для устройства %1 не удалось узнать позицию USB-разъёма%2.")
                                             .arg(r.port, forCell));
        return r;
    }
    const StateFile hub(ctx.hubFile);
    // Already there: the controller wrote it and its reply was lost.
    if (hub.size() == cell && hub.value(cell - 1) == r.id)
        return r;
    const int used = hub.indexOf(r.id);
    if (cell > 1 && used >= 0 && used < cell - 1) {
        r.refusal = ApiReply::error(409, QStringLiteral("Разъём %1 уже записан для ячейки %2%3. Проверьте, в какую "
                                                        "ячейку вставлен дозиметр.")
                                             .arg(r.id).arg(used + 1).arg(forCell));
        return r;
    }
    // The command appends line N to N - 1 lines; on any other file it would shift lines.
    const bool firstOfRestart = cell == 1 && plan.restart;
    if (!firstOfRestart && hub.size() != cell - 1) {
        r.refusal = ApiReply::error(409, QStringLiteral("hub.ini изменился: в нём %1 строк, а ячейка %2 должна стать "
                                                        "строкой %2. Ничего не записано. Начните калибровку заново или "
                                                        "продолжите после последней записанной ячейки.")
                                             .arg(hub.size())
                                             .arg(cell));
        return r;
    }
    r.sent = true;
    const ApiReply sent = callController(ctx, req, {{QStringLiteral("command"), QStringLiteral("Init_hub_ini")},
                                                    {QStringLiteral("port"), r.port},
                                                    {QStringLiteral("cell"), QString::number(cell)}});
    const StateFile after(ctx.hubFile);
    const bool written = after.size() == cell && after.value(cell - 1) == r.id;
    if (written)
        return r;   // also when the reply was lost: the file shows the step done
    if (sent.status != 200) {
        r.refusal = sent;
        return r;
    }
    r.refusal = ApiReply::error(409, QStringLiteral("Контроллер не записал разъём %1 в hub.ini%2: %3")
                                         .arg(r.id, forCell, QString::fromUtf8(sent.body)));
    return r;
}

} // namespace

void registerCalibrationRoutes(RouteTable &table, Context &context)
{
    Context *ctx = &context;

    table.get("/api/calibration", Access::Technician, [ctx](const ApiRequest &req) {
        Wizard &w = wizard();
        std::lock_guard<std::mutex> lock(w.mutex);
        return ApiReply::json(wizardJson(w, *ctx, req));
    });

    // {"restart": true, "replaces": N} begins hub.ini anew with cell 1, N being
    // the number of lines the technician agreed to replace; {"restart": false}
    // goes on after its last line.
    table.post("/api/calibration/start", Access::Technician, [ctx](const ApiRequest &req) {
        const QJsonValue restartValue = req.body.value(QStringLiteral("restart"));
        if (!restartValue.isBool())
            return ApiReply::error(400, QStringLiteral("Укажите restart: true (начать заново с ячейки 1) или false "
                                                       "(продолжить после последней записанной ячейки)"));
        const bool restart = restartValue.toBool();
        Wizard &w = wizard();
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.active && w.owner != req.caller.user)
            return ApiReply::error(409, QStringLiteral("Калибровку уже ведёт %1 (следующая ячейка %2). Чтобы продолжить "
                                                       "её, примите управление.")
                                            .arg(w.owner)
                                            .arg(w.nextCell));
        if (w.stepping)
            return ApiReply::error(409, QStringLiteral("Шаг калибровки ещё выполняется"));
        const StateFile hub(ctx->hubFile);
        if (restart && hub.size() > 0 && req.body.value(QStringLiteral("replaces")).toInt(-1) != hub.size())
            return ApiReply::error(409, QStringLiteral("Начать заново значит заменить все %1 строк hub.ini (ячейки 1–%1) "
                                                       "первым же шагом. Подтвердите замену.")
                                            .arg(hub.size()));
        if (!restart && hub.size() >= cellCount()) {
            w.active = false;
            QJsonObject out = wizardJson(w, *ctx, req);
            out.insert(QStringLiteral("message"), completeText(hub.size()));
            return ApiReply::json(out);
        }
        w.active = true;
        w.restart = restart;
        w.nextCell = restart ? 1 : hub.size() + 1;
        w.owner = req.caller.user;
        ++w.run;
        w.known = presentDevices();
        w.done = QJsonArray();
        logLine(QStringLiteral("console: ") + req.caller.user + QStringLiteral(" starts the calibration at cell ")
                + QString::number(w.nextCell)
                + (restart ? QStringLiteral(", replacing %1 lines of hub.ini").arg(hub.size()) : QString()));
        return ApiReply::json(wizardJson(w, *ctx, req));
    });

    // {"confirm": true}: the caller takes over another technician's run.
    table.post("/api/calibration/takeover", Access::Technician, [ctx](const ApiRequest &req) {
        Wizard &w = wizard();
        std::lock_guard<std::mutex> lock(w.mutex);
        if (!w.active)
            return ApiReply::error(409, QStringLiteral("Калибровка не начата"));
        if (req.body.value(QStringLiteral("confirm")) != QJsonValue(true))
            return ApiReply::error(400, QStringLiteral("Подтвердите, что принимаете калибровку у %1").arg(w.owner));
        if (w.stepping)
            return ApiReply::error(409, QStringLiteral("Шаг калибровки ещё выполняется"));
        logLine(QStringLiteral("console: %1 takes the calibration over from %2 at cell %3")
                    .arg(req.caller.user, w.owner)
                    .arg(w.nextCell));
        w.owner = req.caller.user;
        ++w.run;
        return ApiReply::json(wizardJson(w, *ctx, req));
    });

    table.post("/api/calibration/stop", Access::Technician, [ctx](const ApiRequest &req) {
        Wizard &w = wizard();
        std::lock_guard<std::mutex> lock(w.mutex);
        ApiReply refusal;
        if (w.active && !ownerOnly(w, req, &refusal))
            return refusal;
        w.active = false;
        return ApiReply::json(wizardJson(w, *ctx, req));
    });

    table.post("/api/calibration/step", Access::Technician, [ctx](const ApiRequest &req) {
        Wizard &w = wizard();
        StepPlan plan;
        {
            std::lock_guard<std::mutex> lock(w.mutex);
            ApiReply refusal;
            if (!ownerOnly(w, req, &refusal))
                return refusal;
            if (w.stepping)
                return ApiReply::error(409, QStringLiteral("Шаг калибровки ещё выполняется"));
            if (w.nextCell > cellCount()) {
                w.active = false;
                return ApiReply::error(409, completeText(StateFile(ctx->hubFile).size()));
            }
            // A device pulled out since the previous step is forgotten, so that
            // plugging it in again counts as new.
            const std::set<QString> now = presentDevices();
            std::set<QString> kept;
            for (const QString &p : w.known)
                if (now.count(p))
                    kept.insert(p);
            w.known = kept;
            w.stepping = true;
            plan = StepPlan{w.nextCell, w.run, w.restart, w.known};
        }
        // The device query and the controller take their time; the wizard's
        // state stays readable meanwhile.
        const StepResult r = carryOut(plan, *ctx, req);
        std::lock_guard<std::mutex> lock(w.mutex);
        w.stepping = false;
        if (r.refusal.status != 200)
            return r.refusal;
        const QJsonObject step{{QStringLiteral("cell"), plan.cell},
                               {QStringLiteral("port"), r.port},
                               {QStringLiteral("hub"), r.id},
                               {QStringLiteral("sent"), r.sent}};
        if (w.run == plan.run) {
            w.known.insert(r.port);
            w.done.append(step);
            w.nextCell = plan.cell + 1;
            if (w.nextCell > cellCount())
                w.active = false;
        }
        QJsonObject out = wizardJson(w, *ctx, req);
        out.insert(QStringLiteral("step"), step);
        if (w.run == plan.run && !w.active)
            out.insert(QStringLiteral("message"), completeText(StateFile(ctx->hubFile).size()));
        return ApiReply::json(out);
    });
}

} // namespace console
