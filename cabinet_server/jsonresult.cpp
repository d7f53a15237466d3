#include "jsonresult.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

QString jsonEscape(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        const ushort u = c.unicode();
        switch (u) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        default:
            if (u < 0x20) {
                out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
            } else {
                out += c;
            }
        }
    }
    return out;
}

QString commandResult(const QString &key, const QString &value, const QString &message)
{
    return QStringLiteral("{\"") + key + QStringLiteral("\": \"") + jsonEscape(value)
        + QStringLiteral("\",\"error\":\"") + jsonEscape(message) + QStringLiteral("\"}");
}

bool parseJsonObject(const QString &text, QJsonObject *object)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    if (object)
        *object = doc.object();
    return true;
}

QString jsonText(const QJsonObject &object, const QString &key)
{
    const QJsonValue v = object.value(key);
    return v.isString() ? v.toString() : QString();
}

CommandReply::CommandReply(const QString &text)
{
    m_isObject = parseJsonObject(text, &m_object);
}

QString CommandReply::value(const QString &key) const
{
    return jsonText(m_object, key);
}
