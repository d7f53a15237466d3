#include "controllerclient.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTcpSocket>

namespace controllerclient {

QString Address::text() const
{
    return (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':')
        + QString::number(port);
}

bool parseAddress(const QString &text, Address *address, QString *error)
{
    const QString t = text.trimmed();
    QString host = QStringLiteral("127.0.0.1");
    QString portText = t;
    if (t.startsWith(QLatin1Char('['))) {
        const int close = t.indexOf(QStringLiteral("]:"));
        if (close < 0) {
            if (error)
                *error = QStringLiteral("адрес \"%1\": ожидается [IPv6]:порт").arg(t);
            return false;
        }
        host = t.mid(1, close - 1);
        portText = t.mid(close + 2);
    } else if (t.contains(QLatin1Char(':'))) {
        host = t.section(QLatin1Char(':'), 0, -2);
        portText = t.section(QLatin1Char(':'), -1);
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok, 10);
    if (host.isEmpty() || host.contains(QLatin1Char(':')) != t.startsWith(QLatin1Char('[')) || !ok || port == 0
        || port > 65535) {
        if (error)
            *error = QStringLiteral("адрес \"%1\": ожидается узел:порт").arg(t);
        return false;
    }
    address->host = host;
    address->port = quint16(port);
    return true;
}

QString Reply::error() const
{
    return object.value(QStringLiteral("error")).toString();
}

QString Reply::value(const char *key) const
{
    return object.value(QLatin1String(key)).toString();
}

namespace {

// Whether the bytes are one JSON object; only tried once they end in '}'.
bool completeObject(const QByteArray &bytes, QJsonObject *object)
{
    int end = bytes.size();
    while (end > 0 && QByteArray(" \t\r\n").contains(bytes.at(end - 1)))
        --end;
    if (end == 0 || bytes.at(end - 1) != '}')
        return false;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    *object = doc.object();
    return true;
}

} // namespace

Reply send(const Address &address, const QJsonObject &request, const Timeouts &timeouts)
{
    Reply r;
    QTcpSocket s;
    s.connectToHost(address.host, address.port);
    if (!s.waitForConnected(timeouts.connectMs)) {
        r.status = Reply::Status::NotConnected;
        r.failure = QStringLiteral("нет соединения с контроллером %1 (%2)").arg(address.text(), s.errorString());
        return r;
    }
    s.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    QElapsedTimer t;
    t.start();
    while (true) {
        const qint64 left = timeouts.replyMs - t.elapsed();
        if (left <= 0)
            break;
        const int wait = int(r.raw.isEmpty() ? left : qMin<qint64>(left, timeouts.quietMs));
        if (!s.waitForReadyRead(wait)) {
            if (!r.raw.isEmpty() || s.state() != QAbstractSocket::ConnectedState)
                break;
            continue;
        }
        r.raw += s.readAll();
        if (completeObject(r.raw, &r.object)) {
            r.status = Reply::Status::Ok;
            return r;
        }
    }
    if (r.raw.isEmpty()) {
        r.status = Reply::Status::NoReply;
        r.failure = QStringLiteral("контроллер %1 не ответил за %2 с").arg(address.text()).arg(timeouts.replyMs / 1000.0);
    } else {
        r.status = Reply::Status::NotJson;
        r.failure = QStringLiteral("контроллер %1 ответил не JSON-объектом").arg(address.text());
    }
    return r;
}

} // namespace controllerclient
