#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <memory>

// The console's link to the rack controller's TCP protocol. The protocol has
// no delimiter: a reply ends when it parses as a JSON object, or when the data
// stop. The controller serves one request after another, so the link carries
// one call at a time and never queues: a call that finds another in flight is
// refused at once. A call waits for its reply at most the link's time-out; a
// reply that has not come by then is still awaited in the background (and the
// link stays busy) until it comes or the controller gives up the connection,
// so that no second command is piled up behind one the controller is still
// working on.
namespace controllerlink {

enum class Outcome {
    Ok,             // a reply that is a JSON object
    Busy,           // another call is in flight; nothing was sent
    NoConnection,   // the controller's port did not accept
    NoReply,        // the connection ended without a reply
    Garbage,        // the reply is not a JSON object
    TimedOut,       // no reply within the time-out (it may still come)
};

struct Reply
{
    Outcome outcome = Outcome::NoReply;
    QJsonObject object;
    QByteArray raw;
    QString failure;         // why it is not Ok, in Russian, for the page
    bool ok() const { return outcome == Outcome::Ok; }
};

class Link
{
public:
    // timeoutMs: how long a call waits for its reply; holdMs: how long a late
    // reply is still awaited before the connection is given up.
    Link(const QString &host, quint16 port, int timeoutMs, int holdMs = 120000);

    Reply send(const QJsonObject &request);

    // The command in flight, "" when none.
    QString busyWith() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace controllerlink
