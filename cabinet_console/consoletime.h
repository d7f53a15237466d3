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

// A bound of a time filter: "2026-01-02" (the whole day), "2026-01-02T10:00"
// (that minute) or "2026-01-02T10:00:30" (that second), a blank allowed for
// the T, in the cabinet's zone unless the text ends in "Z" or an offset such
// as "+03:00". A start is the first second of what the text names; an end
// (end = true) is the second after its last, so a range includes both ends
// at the precision given. False when the text is none of these.
bool parseBound(const QString &text, bool end, qint64 *utcSeconds);

} // namespace consoletime
