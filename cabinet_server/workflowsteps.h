#pragma once

// Building blocks shared by the issue and return workflows: reading a
// command result, the threshold text, the rest-time rule, the clock rule of
// the registration check and the reply pieces.

#include "jsonresult.h"
#include "log.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <charconv>
#include <cmath>

namespace workflow {

// What a step records when a command result is not a JSON object: the 17
// characters "error":"не JSON" including their outer double quotes.
inline QString notObjectMarker()
{
    return QStringLiteral("\"error\":\"не JSON\"");
}

// One command result read back by key. An unparsable text reads as an empty
// value under every key; failed() and errorText() tell it apart.
class Step
{
public:
    explicit Step(const QString &resultText) : m_reply(resultText) {}

    bool isObject() const { return m_reply.isObject(); }
    QString value(const QString &key) const { return m_reply.value(key); }
    QString error() const { return m_reply.error(); }
    // A failed read in the searches: not an object, or a non-empty "error".
    bool failed() const { return !m_reply.ok(); }
    // The text that names the failure: the "error" value, or the marker when
    // the result was not an object.
    QString errorText() const { return isObject() ? error() : notObjectMarker(); }

private:
    CommandReply m_reply;
};

// A number written as the C library's printf "%g" writes it in the "C"
// locale: six significant digits, exact halfway cases rounded to the even
// digit, whatever locale the process runs in.
inline QString printfG6(double value)
{
    char buf[32];   // the longest text is "-1.23457e-308"
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
    return QString::fromLatin1(buf, int(r.ptr - buf));
}

// A user's threshold as sent to the dosimeter: the number divided by 1000 and
// written like printf "%g". Unreadable, infinite and NaN inputs count as 0.
inline QString thresholdText(const QString &text)
{
    bool ok = false;
    double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        v = 0.0;
    return printfG6(v / 1000.0);
}

// Whether a dosimeter registered at the stamp (a datatime.ini value) has
// rested longer than restSeconds at the time now. The stamp is read in 64
// bits (unreadable reads as 0); the difference is compared as an unsigned
// 32-bit number, so a stamp of 0 and a stamp in the future count as rested.
inline bool restedLongEnough(qint64 now, const QString &stamp, int restSeconds)
{
    bool ok = false;
    qint64 t = stamp.trimmed().toLongLong(&ok);
    if (!ok)
        t = 0;
    const quint32 age = quint32(quint64(now - t) & 0xFFFFFFFFu);
    return age > quint32(restSeconds);
}

// Whether a return scan at the time now checks the registrations: once every
// eleven seconds, when the second count leaves 5.
inline bool isRegistrationCheckSecond(qint64 now)
{
    return quint32(quint64(now) & 0xFFFFFFFFu) % 11u == 5u;
}

// A JSON reply of "key":"value" pairs in order, values escaped.
using Pairs = QVector<QPair<QString, QString>>;

inline QString replyObject(const Pairs &pairs)
{
    QStringList parts;
    for (const auto &p : pairs)
        parts << QLatin1Char('"') + p.first + QStringLiteral("\":\"") + jsonEscape(p.second) + QLatin1Char('"');
    return QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
}

// The same pairs as key:value, separated by commas, values as they are.
inline QString statusText(const Pairs &pairs)
{
    QStringList parts;
    for (const auto &p : pairs)
        parts << p.first + QLatin1Char(':') + p.second;
    return parts.join(QLatin1Char(','));
}

} // namespace workflow
