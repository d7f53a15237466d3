#include "webserver.h"

#include "consoletime.h"
#include "httpconnection.h"
#include "log.h"
#include "settings.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSysInfo>

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

// On every reply, error pages included.
void securityHeaders(httplib::Response &res, bool tls)
{
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                   "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    if (!res.has_header("Cache-Control"))
        res.set_header("Cache-Control", "no-store");
    if (tls)
        res.set_header("Strict-Transport-Security", "max-age=31536000");
}

QString errorText(int status)
{
    switch (status) {
    case 400: return QStringLiteral("Неверный запрос");
    case 404: return QStringLiteral("Нет такой страницы");
    case 405: return QStringLiteral("Метод не поддерживается");
    case 408: return QStringLiteral("Запрос не пришёл целиком вовремя");
    case 411: return QStringLiteral("Тело запроса по частям (chunked) не принимается: нужна длина");
    case 413: return QStringLiteral("Запрос больше 64 КиБ");
    case 414: return QStringLiteral("Адрес запроса слишком длинный");
    case 421: return QStringLiteral("Неизвестное имя сервера в заголовке Host");
    case 431: return QStringLiteral("Слишком много или слишком длинные заголовки запроса");
    default: return QStringLiteral("Ошибка %1").arg(status);
    }
}

constexpr size_t kMaxBody = 64 * 1024;

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

QString escapedText(const QString &text) { return text.toHtmlEscaped(); }

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

QString hostOfHeader(const std::string &header)
{
    QString h = QString::fromStdString(header).trimmed().toLower();
    if (h.startsWith(QLatin1Char('['))) {
        const int close = h.indexOf(QLatin1Char(']'));
        return close > 0 ? h.mid(1, close - 1) : QString();
    }
    const int colon = h.indexOf(QLatin1Char(':'));
    return colon >= 0 ? h.left(colon) : h;
}

QStringList defaultHosts(const QString &listenHost)
{
    QStringList hosts{listenHost.toLower(), QStringLiteral("localhost")};
    const QHostAddress listen(listenHost);
    if (listen == QHostAddress::AnyIPv4 || listen == QHostAddress::AnyIPv6 || listen == QHostAddress::Any) {
        for (const QHostAddress &a : QNetworkInterface::allAddresses())
            hosts << a.toString().section(QLatin1Char('%'), 0, 0).toLower();
        hosts << QSysInfo::machineHostName().toLower();
    }
    hosts.removeAll(QString());
    hosts.removeDuplicates();
    return hosts;
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
    m_server = std::make_unique<GuardedServer>();
    if (!cert.isEmpty()) {
        for (const QString &f : {cert, key}) {
            QFile probe(f);
            if (!probe.open(QIODevice::ReadOnly)) {
                *error = QStringLiteral("cannot read %1").arg(f);
                return false;
            }
        }
        if (!m_server->setTls(cert, key, error))
            return false;
        m_tls = true;
    }
    if (m_hosts.isEmpty())
        m_hosts = defaultHosts(host);
    // Headers and body go out in separate writes; without this the second
    // waits for the client's delayed acknowledgement (about 40 ms).
    m_server->set_tcp_nodelay(true);
    // No route takes more than a small JSON object.
    m_server->set_payload_max_length(kMaxBody);
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
    m_server->widenListenQueue();
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
    const QStringList hosts = m_hosts;

    // Before anything else, and before a body is read: the Host header, and
    // bodies the console never takes. A refusal here leaves the body unread,
    // so the connection ends with it: kept open, the body would be read as
    // the next request.
    svr.set_pre_routing_handler([hosts](const httplib::Request &req, httplib::Response &res) {
        auto refuse = [&res](int status) {
            sendReply(res, ApiReply::error(status, errorText(status)));
            GuardedServer::closeAfterReply();
            return httplib::Server::HandlerResponse::Handled;
        };
        if (!hosts.contains(hostOfHeader(req.get_header_value("Host"))))
            return refuse(421);
        if (req.has_header("Transfer-Encoding"))
            return refuse(411);
        const std::string length = req.get_header_value("Content-Length");
        if (!length.empty()) {
            bool ok = false;
            const qulonglong n = QString::fromStdString(length).toULongLong(&ok);
            if (!ok)
                return refuse(400);
            if (n > kMaxBody)
                return refuse(413);
            // Only POST routes read a body.
            if (n > 0 && req.method != "POST")
                return refuse(400);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    svr.set_post_routing_handler([tls](const httplib::Request &, httplib::Response &res) {
        securityHeaders(res, tls);
        // The library announces keep-alive unless it ends the connection itself.
        if (GuardedServer::closing()) {
            res.headers.erase("Keep-Alive");
            if (!res.has_header("Connection"))
                res.set_header("Connection", "close");
        }
    });

    svr.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        switch (GuardedServer::currentBreach()) {
        case GuardedServer::Breach::HeadTooLarge:
        case GuardedServer::Breach::TooManyHeaders:
            sendReply(res, ApiReply::error(431, errorText(431)));
            return;
        case GuardedServer::Breach::TooSlow:
            sendReply(res, ApiReply::error(408, errorText(408)));
            return;
        case GuardedServer::Breach::None:
            break;
        }
        if (res.body.empty())
            sendReply(res, ApiReply::error(res.status, errorText(res.status)));
    });

    // Resolves the caller, looks up the account's current role, and applies
    // the access rule and the CSRF check. Returns false when the response has
    // been filled with the refusal.
    auto admit = [&ctx](const httplib::Request &req, httplib::Response &res, Access access, bool isPost,
                        Caller *caller) -> bool {
        sessions::Session s;
        const std::string token = cookieValue(req, kSessionCookie);
        bool loggedIn = ctx.sessions->find(token, &s);
        QString ended;
        if (loggedIn) {
            accounts::Account account;
            switch (ctx.accounts->find(s.user, &account)) {
            case accounts::Directory::Lookup::Unreadable:
                sendReply(res, ApiReply::error(503, QStringLiteral("Файл учётных записей не читается")));
                return false;
            case accounts::Directory::Lookup::Missing:
                ended = QStringLiteral("Учётная запись удалена");
                break;
            case accounts::Directory::Lookup::Found:
                // A lower role or a new password ends the account's sessions; a higher role counts at once.
                if (account.hash != s.hash || account.role < s.role)
                    ended = QStringLiteral("Права учётной записи изменились");
                else
                    s.role = account.role;
                break;
            }
            if (!ended.isEmpty()) {
                const int closed = ctx.sessions->closeUser(s.user);
                logLine(QStringLiteral("console: %1 (%2): %3 sessions ended").arg(ended, s.user).arg(closed));
                loggedIn = false;
            }
        }
        if (access != Access::Public && !loggedIn) {
            if (!isPage(req.path) || isPost) {
                sendReply(res, ApiReply::error(401, ended.isEmpty() ? QStringLiteral("Нужно войти")
                                                                    : ended + QStringLiteral("; войдите снова")));
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
            const qint64 now = QDateTime::currentSecsSinceEpoch();
            html.replace(QLatin1String("{{CSRF}}"), QString::fromStdString(csrf));
            html.replace(QLatin1String("{{USER}}"), escapedText(caller.user));
            html.replace(QLatin1String("{{ROLE}}"), accounts::roleText(caller.role));
            html.replace(QLatin1String("{{ZONE}}"), escapedText(consoletime::zoneLabel(now)));
            html.replace(QLatin1String("{{DOSE_UNIT}}"), escapedText(G_dose_unit));
            html.replace(QLatin1String("{{RATE_UNIT}}"), escapedText(G_rate_unit));
            const QByteArray body = html.toUtf8();
            res.set_content(body.constData(), size_t(body.size()), "text/html; charset=utf-8");
        });
    }

    // Built-in scripts and styles. The login page's own files are public.
    svr.Get(R"(/static/([a-z0-9_-]+(\.min)?\.(js|css)))", [admit](const httplib::Request &req, httplib::Response &res) {
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
        const QByteArray body = webFile(QStringLiteral("favicon.ico"));
        res.set_header("Cache-Control", "public, max-age=86400");
        res.set_content(body.constData(), size_t(body.size()), "image/x-icon");
    });
}
