#pragma once

#include "accounts.h"
#include "controllerlink.h"
#include "journalsource.h"
#include "sessions.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// The console's pages and API routes. Each page's API lives in its own file
// (api_*.cpp) with one register function; routes.cpp lists them. The web
// server adds login checks, roles and CSRF checks around every route, so a
// handler only does its own work.
namespace console {

enum class Access {
    Public,       // no login needed (the login page and its POST)
    Viewer,       // any logged-in account
    Technician,   // service actions
};

struct Caller
{
    QString user;
    accounts::Role role = accounts::Role::None;
    std::string csrf;      // the session's CSRF token
    std::string session;   // the session token itself (for logout)
};

struct ApiRequest
{
    Caller caller;
    QJsonObject body;                      // POST: the JSON body (an object)
    std::vector<std::string> captures;     // groups of the route's pattern
    std::function<std::string(const char *)> query;   // a query parameter, "" when absent
    std::string remoteAddress;
    bool tls = false;
};

struct ApiReply
{
    int status = 200;
    QByteArray body;
    std::string contentType = "application/json; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;

    static ApiReply json(const QJsonObject &object, int status = 200);
    // {"error": text} with the status.
    static ApiReply error(int status, const QString &text);
};

using Handler = std::function<ApiReply(const ApiRequest &)>;

struct Route
{
    std::string method;     // "GET" or "POST"
    std::string pattern;    // whole-path regular expression, e.g. "/api/rack"
    Access access;
    Handler handler;
};

// A page: an HTML file of the built-in web folder, shown to logged-in accounts
// (or to everyone when Public). "{{CSRF}}", "{{USER}}" and "{{ROLE}}" in the
// file are replaced (HTML-escaped) when it is served.
struct Page
{
    std::string path;
    QString file;
    Access access;
};

// Where the console finds the controller and its state.
struct Context
{
    controllerlink::Link *controller = nullptr;   // the controller on 127.0.0.1:tcp_port
    QString accountsFile;
    accounts::Directory *accounts = nullptr;   // the accounts file, looked up on every request
    QString hubFile = QStringLiteral("hub.ini");
    sessions::Store *sessions = nullptr;
    sessions::LoginLimiter *limiter = nullptr;
    JournalSource journal;   // where the dose records are read
};

class RouteTable
{
public:
    void get(const std::string &pattern, Access access, Handler handler)
    {
        m_routes.push_back({"GET", pattern, access, std::move(handler)});
    }
    void post(const std::string &pattern, Access access, Handler handler)
    {
        m_routes.push_back({"POST", pattern, access, std::move(handler)});
    }
    void page(const std::string &path, const QString &file, Access access = Access::Viewer)
    {
        m_pages.push_back({path, file, access});
    }
    const std::vector<Route> &routes() const { return m_routes; }
    const std::vector<Page> &pages() const { return m_pages; }

private:
    std::vector<Route> m_routes;
    std::vector<Page> m_pages;
};

// Every page and route of the console.
RouteTable buildRoutes(Context &context);

// Register functions of the page files.
void registerSessionRoutes(RouteTable &table, Context &context);
void registerRackRoutes(RouteTable &table, Context &context);
void registerServiceRoutes(RouteTable &table, Context &context);
void registerCalibrationRoutes(RouteTable &table, Context &context);
void registerRecordsRoutes(RouteTable &table, Context &context);

// The session cookie's name and how a cookie is written.
extern const char *const kSessionCookie;
extern const char *const kLoginCsrfCookie;
std::string cookieHeader(const char *name, const std::string &value, bool tls, int maxAgeSeconds = -1);

} // namespace console
