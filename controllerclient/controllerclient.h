#pragma once

// One command to the rack controller and its reply, with time-outs: the
// connection, the whole exchange, and the silence that ends a reply which
// never becomes a JSON object. The protocol has no delimiter, so a reply ends
// as soon as the bytes received parse as one JSON object (the classic failure
// replies with raw line feeds inside their text parse too).
//
// A call blocks its thread until the reply or a time-out; it keeps no state,
// so calls may run on any thread, several at once.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace controllerclient {

struct Address {
    QString host;
    quint16 port = 0;

    bool isValid() const { return !host.isEmpty() && port > 0; }
    QString text() const;
};

// "HOST:PORT", "[V6]:PORT" or a bare PORT (host 127.0.0.1). False with *error
// saying why for anything else.
bool parseAddress(const QString &text, Address *address, QString *error = nullptr);

struct Timeouts {
    int connectMs = 3000;       // to open the connection
    int replyMs = 20000;        // from the request to the whole reply
    int quietMs = 500;          // silence after some data that ends a reply which is not JSON
};

struct Reply {
    enum class Status {
        Ok,            // a JSON object arrived
        NotConnected,  // the controller could not be reached
        NoReply,       // connected, but nothing came back in time
        NotJson,       // something came back that is not one JSON object
    };
    Status status = Status::NotConnected;
    QJsonObject object;
    QByteArray raw;             // the bytes received
    QString failure;            // why status is not Ok, in Russian, for logs and notices

    bool ok() const { return status == Status::Ok; }
    // The reply's "error" value ("" when there is none).
    QString error() const;
    QString value(const char *key) const;
};

Reply send(const Address &address, const QJsonObject &request, const Timeouts &timeouts = Timeouts());

} // namespace controllerclient
