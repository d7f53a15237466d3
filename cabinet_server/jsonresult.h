#pragma once

#include <QJsonObject>
#include <QString>

// Escapes a value for insertion between the quotes of a JSON string:
// double quote, backslash and control characters. Other characters are kept.
QString jsonEscape(const QString &value);

// Builds a dosimeter command result text:
// {"<key>": "<value>","error":"<message>"} with value and message escaped.
QString commandResult(const QString &key, const QString &value, const QString &message);

// A command result text parsed back. A text that is not a JSON object gives
// isObject == false and every key reads as the empty text.
class CommandReply
{
public:
    explicit CommandReply(const QString &text);

    bool isObject() const { return m_isObject; }
    // The value of a key as text; absent keys and non-string values read as "".
    QString value(const QString &key) const;
    QString error() const { return value(QStringLiteral("error")); }
    // True when the reply is an object and its "error" is empty.
    bool ok() const { return m_isObject && error().isEmpty(); }

private:
    QJsonObject m_object;
    bool m_isObject = false;
};

// Reads a request or reply text as a JSON object; false when it is not one.
bool parseJsonObject(const QString &text, QJsonObject *object);

// The value of a key as text: absent or non-string values read as "".
QString jsonText(const QJsonObject &object, const QString &key);
