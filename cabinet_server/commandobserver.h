#pragma once

// Something that watches the server's work without taking part in it: the
// start-up, and every request with the reply its handler built, before the
// reply goes out. It must not change either.

#include <QString>

class CommandObserver
{
public:
    virtual ~CommandObserver() = default;
    virtual void startupBegins() {}
    virtual void startupEnded() {}
    virtual void requestBegins(const QString &request) { Q_UNUSED(request) }
    virtual void replyReady(const QString &request, const QString &reply) = 0;
};

// The observer of the running server (none by default; not owned).
void setCommandObserver(CommandObserver *observer);
CommandObserver *commandObserver();
