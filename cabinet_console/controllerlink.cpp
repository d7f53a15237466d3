#include "controllerlink.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpSocket>

#include <mutex>

namespace controllerlink {

static bool parsesAsObject(const QByteArray &bytes, QJsonObject *out)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    *out = doc.object();
    return true;
}

Reply send(const QString &host, quint16 port, const QJsonObject &request, int timeoutMs)
{
    static std::mutex oneAtATime;
    std::lock_guard<std::mutex> lock(oneAtATime);

    Reply r;
    QTcpSocket s;
    s.connectToHost(host, port);
    if (!s.waitForConnected(3000)) {
        r.failure = QStringLiteral("Контроллер не отвечает (нет соединения)");
        return r;
    }
    s.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    s.flush();
    QElapsedTimer t;
    t.start();
    // Until the bytes form one JSON object; 300 ms of silence after data also
    // ends a reply that never will.
    while (t.elapsed() < timeoutMs) {
        if (s.waitForReadyRead(r.raw.isEmpty() ? 250 : 300)) {
            r.raw += s.readAll();
            if (parsesAsObject(r.raw, &r.object)) {
                r.ok = true;
                return r;
            }
        } else if (!r.raw.isEmpty() || s.state() != QAbstractSocket::ConnectedState) {
            break;
        }
    }
    if (r.raw.isEmpty())
        r.failure = QStringLiteral("Контроллер не ответил");
    else
        r.failure = QStringLiteral("Контроллер ответил не JSON-объектом");
    return r;
}

} // namespace controllerlink
