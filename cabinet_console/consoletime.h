#pragma once

#include <QJsonObject>
#include <QString>

// Times as the console shows and reads them: everything in one zone, the
// cabinet's local zone (the zone of the machine the console runs on, which is
// the controller's), named with its offset on every page.
namespace consoletime {

// "2026-01-02 10:00:00" in the cabinet's zone.
QString localText(qint64 utcSeconds);

// "+03:00" at that moment.
QString offsetText(qint64 utcSeconds);

// {"id": "Europe/Moscow", "offset": "+03:00", "label": "Europe/Moscow, UTC+03:00"} at that moment.
QJsonObject zoneJson(qint64 utcSeconds);
QString zoneLabel(qint64 utcSeconds);

} // namespace consoletime
