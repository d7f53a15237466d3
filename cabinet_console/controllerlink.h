#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Sends one command to the rack controller over its TCP protocol and reads
// the reply. The protocol has no delimiter: a reply ends when it parses as a
// JSON object, or when the data stop. Calls are serialised: the controller
// serves one request after another anyway.
namespace controllerlink {

struct Reply
{
    bool ok = false;         // a reply arrived and is a JSON object
    QJsonObject object;
    QByteArray raw;
    QString failure;         // why ok is false, in Russian, for the page
};

// host and port of the controller; the port is the settings' tcp_port.
Reply send(const QString &host, quint16 port, const QJsonObject &request, int timeoutMs = 120000);

} // namespace controllerlink
