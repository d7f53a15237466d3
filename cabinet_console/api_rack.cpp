// The rack map's data: every cell's state from the state files.
#include "consoletime.h"
#include "rackview.h"
#include "routes.h"

#include "settings.h"
#include "statefiles.h"

#include <QJsonArray>

namespace console {

void registerRackRoutes(RouteTable &table, Context &context)
{
    Context *ctx = &context;
    table.get("/api/rack", Access::Viewer, [ctx](const ApiRequest &) {
        const qint64 now = nowSecondsUtc();
        QJsonArray cells;
        // The controller's own status report stops at 4096 cells too.
        const int count = qBound(0, G_kas_count_cell, 4096);
        for (const rackview::Cell &c : rackview::load(count, now, G_Time_energe_ppd))
            cells.append(rackview::toJson(c));
        return ApiReply::json({{QStringLiteral("columns"), G_rack_columns},
                               {QStringLiteral("count"), count},
                               {QStringLiteral("type"), G_type_ppd},
                               {QStringLiteral("rest"), G_Time_energe_ppd},
                               {QStringLiteral("now"), double(now)},
                               {QStringLiteral("nowText"), consoletime::localText(now)},
                               {QStringLiteral("zone"), consoletime::zoneJson(now)},
                               // The command the console still waits on, "" when none.
                               {QStringLiteral("controllerBusy"), ctx->controller ? ctx->controller->busyWith() : QString()},
                               {QStringLiteral("cells"), cells}});
    });
}

} // namespace console
