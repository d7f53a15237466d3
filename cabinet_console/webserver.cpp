#include "webserver.h"

#include "log.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>

#include <httplib.h>

#include <regex>

using namespace console;

namespace {

const char *const kChartJs = "/usr/share/javascript/chart.js/chart.min.js";

std::string cookieValue(const httplib::Request &req, const std::string &name)
{
    const std::string header = req.get_header_value("Cookie");
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos)
            end = header.size();
        std::string part = header.substr(pos, end - pos);
        const size_t first = part.find_first_not_of(' ');
        part = first == std::string::npos ? std::string() : part.substr(first);
        if (part.compare(0, name.size() + 1, name + "=") == 0)
            return part.substr(name.size() + 1);
        pos = end + 1;
    }
    return std::string();
}

void commonHeaders(httplib::Response &res)
{
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                   "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Cache-Control", "no-store");
}

void sendReply(httplib::Response &res, const ApiReply &reply)
{
    res.status = reply.status;
    for (const auto &h : reply.headers)
        res.set_header(h.first.c_str(), h.second);
    res.set_content(reply.body.constData(), size_t(reply.body.size()), reply.contentType.c_str());
}

// API routes and files answer 401 without a session; pages send the browser to the login page.
bool isPage(const std::string &path)
{
    return path.compare(0, 5, "/api/") != 0 && path.compare(0, 8, "/static/") != 0;
}

// Files of the built-in web folder.
QByteArray webFile(const QString &name)
{
    QFile f(QStringLiteral(":/web/") + name);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

std::string contentTypeOf(const QString &name)
{
    if (name.endsWith(QLatin1String(".js")))
        return "text/javascript; charset=utf-8";
    if (name.endsWith(QLatin1String(".css")))
        return "text/css; charset=utf-8";
    if (name.endsWith(QLatin1String(".html")))
        return "text/html; charset=utf-8";
    if (name.endsWith(QLatin1String(".ico")))
        return "image/x-icon";
    if (name.endsWith(QLatin1String(".svg")))
        return "image/svg+xml";
    return "application/octet-stream";
}

std::string regexEscape(const std::string &path)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(path, special, R"(\$&)");
}

} // namespace

bool splitListen(const QString &listen, QString *host, int *port)
{
    const int colon = listen.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString h = listen.left(colon);
    if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']')))
        h = h.mid(1, h.size() - 2);
    bool ok = false;
    const int p = listen.mid(colon + 1).toInt(&ok);
    if (!ok || p < 0 || p > 65535 || h.isEmpty())
        return false;
    *host = h;
    *port = p;
    return true;
}

WebServer::WebServer(Context &context, RouteTable table) : m_context(context), m_table(std::move(table)) {}

WebServer::~WebServer() = default;

bool WebServer::bind(const QString &listen, const QString &cert, const QString &key, QString *error)
{
    QString host;
    int port = 0;
    if (!splitListen(listen, &host, &port)) {
        *error = QStringLiteral("console_listen must be HOST:PORT, not \"%1\"").arg(listen);
        return false;
    }
    if (cert.isEmpty() != key.isEmpty()) {
        *error = QStringLiteral("console_cert and console_key must be given together");
        return false;
    }
    if (!cert.isEmpty()) {
        for (const QString &f : {cert, key}) {
            QFile probe(f);
            if (!probe.open(QIODevice::ReadOnly)) {
                *error = QStringLiteral("cannot read %1").arg(f);
                return false;
            }
        }
        auto ssl = std::make_unique<httplib::SSLServer>(QFile::encodeName(cert).constData(),
                                                        QFile::encodeName(key).constData());
        if (!ssl->is_valid()) {
            *error = QStringLiteral("the TLS certificate or key is not valid (%1, %2)").arg(cert, key);
            return false;
        }
        m_server = std::move(ssl);
        m_tls = true;
    } else {
        m_server = std::make_unique<httplib::Server>();
    }
    // Headers and body go out in separate writes; without this the second
    // waits for the client's delayed acknowledgement (about 40 ms).
    m_server->set_tcp_nodelay(true);
    // No route takes more than a small JSON object.
    m_server->set_payload_max_length(64 * 1024);
    install();
    const std::string h = host.toStdString();
    if (port == 0) {
        m_port = m_server->bind_to_any_port(h);
        if (m_port < 0) {
            *error = QStringLiteral("cannot listen on %1").arg(listen);
            return false;
        }
    } else if (!m_server->bind_to_port(h, port)) {
        *error = QStringLiteral("cannot listen on %1").arg(listen);
        return false;
    } else {
        m_port = port;
    }
    return true;
}

void WebServer::serve()
{
    m_server->listen_after_bind();
}

void WebServer::stop()
{
    if (m_server)
        m_server->stop();
}

void WebServer::install()
{
    httplib::Server &svr = *m_server;
    const bool tls = m_tls;
    Context &ctx = m_context;

    // Resolves the caller and applies the access rule and the CSRF check.
    // Returns false when the response has been filled with the refusal.
    auto admit = [&ctx](const httplib::Request &req, httplib::Response &res, Access access, bool isPost,
                             Caller *caller) -> bool {
        sessions::Session s;
        const std::string token = cookieValue(req, kSessionCookie);
        const bool loggedIn = ctx.sessions->find(token, &s);
        if (access != Access::Public && !loggedIn) {
            if (!isPage(req.path) || isPost) {
                sendReply(res, ApiReply::error(401, QStringLiteral("Нужно войти")));
            } else {
                res.status = 302;
                res.set_header("Location", "/login");
            }
            return false;
        }
        if (loggedIn) {
            caller->user = s.user;
            caller->role = s.role;
            caller->csrf = s.csrf;
            caller->session = token;
        }
        if (isPost) {
            const std::string expected = loggedIn ? s.csrf : cookieValue(req, kLoginCsrfCookie);
            if (!sessions::sameToken(req.get_header_value("X-CSRF-Token"), expected)) {
                sendReply(res, ApiReply::error(403, QStringLiteral("Нет или неверен CSRF-токен")));
                return false;
            }
        }
        if (access == Access::Technician && caller->role != accounts::Role::Technician) {
            sendReply(res, ApiReply::error(403, QStringLiteral("Действие доступно только технику")));
            return false;
        }
        return true;
    };

    for (const Route &route : m_table.routes()) {
        const bool isPost = route.method == "POST";
        auto handler = [admit, route, isPost, tls](const httplib::Request &req, httplib::Response &res) {
            QElapsedTimer timer;
            timer.start();
            commonHeaders(res);
            ApiRequest api;
            if (!admit(req, res, route.access, isPost, &api.caller))
                return;
            if (isPost) {
                QJsonParseError err;
                const QJsonDocument doc =
                    QJsonDocument::fromJson(QByteArray::fromStdString(req.body), &err);
                if (!req.body.empty() && (err.error != QJsonParseError::NoError || !doc.isObject())) {
                    sendReply(res, ApiReply::error(400, QStringLiteral("Тело запроса не JSON-объект")));
                    return;
                }
                api.body = doc.object();
            }
            for (size_t i = 1; i < req.matches.size(); ++i)
                api.captures.push_back(req.matches[i].str());
            api.query = [&req](const char *name) { return req.get_param_value(name); };
            api.remoteAddress = req.remote_addr;
            api.tls = tls;
            const ApiReply reply = route.handler(api);
            sendReply(res, reply);
            res.set_header("Server-Timing", "app;dur=" + std::to_string(double(timer.nsecsElapsed()) / 1e6));
        };
        if (isPost)
            svr.Post(route.pattern, handler);
        else
            svr.Get(route.pattern, handler);
    }

    for (const Page &page : m_table.pages()) {
        svr.Get(regexEscape(page.path), [admit, page, tls](const httplib::Request &req, httplib::Response &res) {
            commonHeaders(res);
            Caller caller;
            if (!admit(req, res, page.access, false, &caller)) {
                if (res.status == 403) {
                    res.status = 302;
                    res.set_header("Location", "/");
                }
                return;
            }
            QString html = QString::fromUtf8(webFile(page.file));
            // The parts every logged-in page shares: its head lines and the navigation.
            html.replace(QLatin1String("{{HEAD}}"), QString::fromUtf8(webFile(QStringLiteral("head.html"))));
            html.replace(QLatin1String("{{HEADER}}"), QString::fromUtf8(webFile(QStringLiteral("header.html"))));
            std::string csrf = caller.csrf;
            if (page.access == Access::Public) {
                // The login form's token: a cookie and the same value in the page.
                csrf = sessions::randomToken();
                res.set_header("Set-Cookie", cookieHeader(kLoginCsrfCookie, csrf, tls));
            }
            html.replace(QLatin1String("{{CSRF}}"), QString::fromStdString(csrf));
            html.replace(QLatin1String("{{USER}}"), caller.user.toHtmlEscaped());
            html.replace(QLatin1String("{{ROLE}}"), accounts::roleText(caller.role));
            const QByteArray body = html.toUtf8();
            res.set_content(body.constData(), size_t(body.size()), "text/html; charset=utf-8");
        });
    }

    // Built-in scripts and styles. The login page's own files are public.
    svr.Get(R"(/static/([a-z0-9_-]+(\.min)?\.(js|css)))", [admit](const httplib::Request &req, httplib::Response &res) {
        commonHeaders(res);
        const QString name = QString::fromStdString(req.matches[1].str());
        const bool open = name == QLatin1String("app.css") || name == QLatin1String("login.js");
        Caller caller;
        if (!admit(req, res, open ? Access::Public : Access::Viewer, false, &caller))
            return;
        QByteArray body;
        if (name == QLatin1String("chart.min.js")) {
            QFile f(QString::fromLatin1(kChartJs));
            if (f.open(QIODevice::ReadOnly))
                body = f.readAll();
        } else {
            body = webFile(name);
        }
        if (body.isEmpty()) {
            sendReply(res, ApiReply::error(404, QStringLiteral("Нет такого файла")));
            return;
        }
        res.set_header("Cache-Control", "private, max-age=300");
        res.set_content(body.constData(), size_t(body.size()), contentTypeOf(name).c_str());
    });

    svr.Get("/favicon.ico", [](const httplib::Request &, httplib::Response &res) {
        commonHeaders(res);
        const QByteArray body = webFile(QStringLiteral("favicon.ico"));
        res.set_header("Cache-Control", "public, max-age=86400");
        res.set_content(body.constData(), size_t(body.size()), "image/x-icon");
    });

    svr.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.status == 404 && res.body.empty()) {
            commonHeaders(res);
            sendReply(res, ApiReply::error(404, QStringLiteral("Нет такой страницы")));
        }
    });
}
