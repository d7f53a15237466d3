#include "consoletime.h"

#include <QDateTime>
#include <QRegularExpression>
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

bool parseBound(const QString &text, bool end, qint64 *utcSeconds)
{
    static const QRegularExpression re(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})(?:[T ](\\d{2}):(\\d{2})(?::(\\d{2}))?(Z|[+-]\\d{2}:?\\d{2})?)?$"));
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (!date.isValid())
        return false;
    if (m.captured(4).isEmpty()) {
        const QDateTime day(end ? date.addDays(1) : date, QTime(0, 0), Qt::LocalTime);
        *utcSeconds = day.toSecsSinceEpoch();
        return true;
    }
    const bool withSeconds = !m.captured(6).isEmpty();
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), withSeconds ? m.captured(6).toInt() : 0);
    if (!time.isValid())
        return false;
    QDateTime moment;
    const QString zone = m.captured(7);
    if (zone.isEmpty()) {
        moment = QDateTime(date, time, Qt::LocalTime);
    } else if (zone == QLatin1String("Z")) {
        moment = QDateTime(date, time, Qt::UTC);
    } else {
        const QString digits = QString(zone).remove(QLatin1Char(':'));
        const int hours = digits.mid(1, 2).toInt(), minutes = digits.mid(3, 2).toInt();
        if (hours > 14 || minutes > 59)
            return false;
        const int offset = (hours * 3600 + minutes * 60) * (zone.startsWith(QLatin1Char('-')) ? -1 : 1);
        moment = QDateTime(date, time, Qt::OffsetFromUTC, offset);
    }
    if (!moment.isValid())
        return false;
    *utcSeconds = moment.toSecsSinceEpoch() + (end ? (withSeconds ? 1 : 60) : 0);
    return true;
}

} // namespace consoletime
