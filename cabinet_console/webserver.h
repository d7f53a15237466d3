#pragma once

#include "routes.h"

#include <QString>

#include <memory>

namespace httplib {
class Server;
}

// The HTTP(S) server of the console: serves the pages, the built-in scripts
// and styles, Chart.js from the system, and the API routes, with the login,
// role and CSRF checks around every route.
class WebServer
{
public:
    WebServer(console::Context &context, console::RouteTable table);
    ~WebServer();

    // Binds HOST:PORT (TLS when cert and key are given). False with the reason.
    bool bind(const QString &listen, const QString &cert, const QString &key, QString *error);
    int boundPort() const { return m_port; }
    // Serves until stop(); blocking.
    void serve();
    void stop();

private:
    void install();

    console::Context &m_context;
    console::RouteTable m_table;
    std::unique_ptr<httplib::Server> m_server;
    bool m_tls = false;
    int m_port = 0;
};

// "HOST:PORT" or "[V6]:PORT"; false when it is not that.
bool splitListen(const QString &listen, QString *host, int *port);
