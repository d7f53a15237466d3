// The rack map's data: every cell's state from the state files.
#include "rackview.h"
#include "routes.h"

#include "settings.h"
#include "statefiles.h"

#include <QJsonArray>

namespace console {

void registerRackRoutes(RouteTable &table, Context &)
{
    table.get("/api/rack", Access::Viewer, [](const ApiRequest &) {
        const qint64 now = nowSecondsUtc();
        QJsonArray cells;
        for (const rackview::Cell &c : rackview::load(G_kas_count_cell, now, G_Time_energe_ppd))
            cells.append(rackview::toJson(c));
        return ApiReply::json({{QStringLiteral("columns"), G_rack_columns},
                               {QStringLiteral("count"), G_kas_count_cell},
                               {QStringLiteral("type"), G_type_ppd},
                               {QStringLiteral("rest"), G_Time_energe_ppd},
                               {QStringLiteral("now"), double(now)},
                               {QStringLiteral("cells"), cells}});
    });
}

} // namespace console
