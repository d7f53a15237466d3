#include "consoletime.h"

#include <QDateTime>
#include <QTimeZone>

namespace consoletime {

QString localText(qint64 utcSeconds)
{
    return QDateTime::fromSecsSinceEpoch(utcSeconds, Qt::LocalTime).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString offsetText(qint64 utcSeconds)
{
    const int offset = QDateTime::fromSecsSinceEpoch(utcSeconds, Qt::LocalTime).offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return QStringLiteral("%1%2:%3")
        .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QJsonObject zoneJson(qint64 utcSeconds)
{
    return {{QStringLiteral("id"), QString::fromUtf8(QTimeZone::systemTimeZoneId())},
            {QStringLiteral("offset"), offsetText(utcSeconds)},
            {QStringLiteral("label"), zoneLabel(utcSeconds)}};
}

QString zoneLabel(qint64 utcSeconds)
{
    const QString id = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    const QString offset = QStringLiteral("UTC") + offsetText(utcSeconds);
    return id.isEmpty() || id == offset ? offset : id + QStringLiteral(", ") + offset;
}

} // namespace consoletime
