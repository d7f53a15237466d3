#include "rackstatus.h"

#include "celltexts.h"
#include "commandrows.h"

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

bool readingsFromWaitingLine(const QString &line, ReturnReadings *r)
{
    const QString prefix = celltext::awaitingConfirmation();
    if (!line.startsWith(prefix))
        return false;
    // Read as the controller's journal reads it when it recovers the line.
    const QMap<QString, QString> values = statusValues(line.mid(prefix.size()));
    const QString number = values.value(QStringLiteral("n"));
    if (number.isEmpty())
        return false;
    r->number = number;
    r->uid = values.value(QStringLiteral("u"));
    r->gammaDose = values.value(QStringLiteral("d"));
    r->neutronDose = values.value(QStringLiteral("dn"));
    return true;
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
