#pragma once

#include "routes.h"

#include <QString>
#include <QStringList>

#include <memory>

class GuardedServer;

// The HTTP(S) server of the console: serves the pages, the built-in scripts
// and styles, Chart.js from the system, and the API routes, with the login,
// role and CSRF checks around every route, the Host check and the security
// headers on every reply.
class WebServer
{
public:
    WebServer(console::Context &context, console::RouteTable table);
    ~WebServer();

    // Host names (without port) the Host header may carry; empty: the listen
    // host and "localhost" (every address of the machine and its name too
    // when the listen host is a wildcard). Set before bind().
    void setAllowedHosts(const QStringList &hosts) { m_hosts = hosts; }

    // Binds HOST:PORT (TLS when cert and key are given). False with the reason.
    bool bind(const QString &listen, const QString &cert, const QString &key, QString *error);
    int boundPort() const { return m_port; }
    QStringList allowedHosts() const { return m_hosts; }
    // Serves until stop(); blocking.
    void serve();
    void stop();

private:
    void install();

    console::Context &m_context;
    console::RouteTable m_table;
    std::unique_ptr<GuardedServer> m_server;
    QStringList m_hosts;
    bool m_tls = false;
    int m_port = 0;
};

// "HOST:PORT" or "[V6]:PORT"; false when it is not that.
bool splitListen(const QString &listen, QString *host, int *port);

// The host part of a Host header ("name:port", "[v6]:port", "name"), lower-case.
QString hostOfHeader(const std::string &header);

// Host names allowed when none are configured, for a listen host.
QStringList defaultHosts(const QString &listenHost);
