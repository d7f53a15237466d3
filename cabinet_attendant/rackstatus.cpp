#include "rackstatus.h"

#include "celltexts.h"

#include <QJsonArray>

bool parseRackStatus(const QJsonObject &reply, QVector<CellStatus> *cells)
{
    const QJsonValue ports = reply.value(QStringLiteral("cell_port"));
    const QJsonValue errors = reply.value(QStringLiteral("cell_error"));
    if (!ports.isArray() || !errors.isArray())
        return false;
    const QJsonArray p = ports.toArray();
    const QJsonArray e = errors.toArray();
    cells->clear();
    for (int i = 0; i < e.size(); ++i)
        cells->append({i + 1, p.at(i).toString(), e.at(i).toString()});
    return true;
}

bool readingsFromOut(const QJsonObject &reply, ReturnReadings *r)
{
    bool ok = false;
    const int cell = reply.value(QStringLiteral("c")).toString().toInt(&ok, 10);
    const QString number = reply.value(QStringLiteral("n")).toString();
    if (reply.value(QStringLiteral("OUT")).toString().isEmpty() || !ok || cell < 1 || number.isEmpty())
        return false;
    r->cell = cell;
    r->number = number;
    r->uid = reply.value(QStringLiteral("u")).toString();
    r->gammaDose = reply.value(QStringLiteral("d")).toString();
    r->neutronDose = reply.value(QStringLiteral("dn")).toString();
    return true;
}

namespace {

// The value of key:value in the readings, up to the next comma; from is
// moved past it. The work order (free text) is never read this way.
QString field(const QString &text, const QString &key, int *from)
{
    const QString marker = QLatin1Char(',') + key + QLatin1Char(':');
    const int at = text.indexOf(marker, *from);
    if (at < 0)
        return QString();
    const int start = at + marker.size();
    int end = text.indexOf(QLatin1Char(','), start);
    if (end < 0)
        end = text.size();
    *from = end;
    return text.mid(start, end - start);
}

} // namespace

bool readingsFromWaitingLine(const QString &line, ReturnReadings *r)
{
    const QString prefix = celltext::awaitingConfirmation();
    if (!line.startsWith(prefix))
        return false;
    // OUT:1300,c:2,d:..,r:..,tm:..[,dn:..,rn:..,tmn:..],tw:0,u:UID,duty:ORDER,n:NUMBER,error:
    const QString text = QLatin1Char(',') + line.mid(prefix.size());
    int from = 0;
    r->gammaDose = field(text, QStringLiteral("d"), &from);
    int neutronFrom = from;
    r->neutronDose = field(text, QStringLiteral("dn"), &neutronFrom);
    r->uid = field(text, QStringLiteral("u"), &from);
    // The work order before the number may hold commas: the number is the
    // last "n:" before the closing "error:".
    const int end = text.lastIndexOf(QStringLiteral(",error:"));
    const int at = end < 0 ? -1 : text.lastIndexOf(QStringLiteral(",n:"), end);
    if (at < 0)
        return false;
    r->number = text.mid(at + 3, end - at - 3);
    return !r->number.isEmpty();
}

bool isFailedReadout(const QString &line)
{
    return line.startsWith(celltext::returnFailed());
}

bool isReadoutFailureReply(const QJsonObject &reply)
{
    return !reply.contains(QStringLiteral("OUT"))
        && reply.value(QStringLiteral("error")).toString().startsWith(
               QStringLiteral("Произошла критическая ошибка при Сдаче дозиметра"));
}

QString readingsText(const ReturnReadings &r)
{
    QString text = QStringLiteral("дозиметр %1, работник %2, ЭД %3").arg(r.number, r.uid, r.gammaDose);
    if (!r.neutronDose.isEmpty())
        text += QStringLiteral(", ЭД нейтронов ") + r.neutronDose;
    return text;
}
