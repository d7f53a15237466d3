#include "routes.h"

#include <QJsonDocument>

namespace console {

const char *const kSessionCookie = "console_session";
const char *const kLoginCsrfCookie = "console_login_csrf";

ApiReply ApiReply::json(const QJsonObject &object, int status)
{
    ApiReply r;
    r.status = status;
    r.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return r;
}

ApiReply ApiReply::error(int status, const QString &text)
{
    return json(QJsonObject{{QStringLiteral("error"), text}}, status);
}

std::string cookieHeader(const char *name, const std::string &value, bool tls, int maxAgeSeconds)
{
    std::string h = std::string(name) + "=" + value + "; Path=/; HttpOnly; SameSite=Strict";
    if (maxAgeSeconds >= 0)
        h += "; Max-Age=" + std::to_string(maxAgeSeconds);
    if (tls)
        h += "; Secure";
    return h;
}

RouteTable buildRoutes(Context &context)
{
    RouteTable table;
    table.page("/login", QStringLiteral("login.html"), Access::Public);
    table.page("/", QStringLiteral("index.html"));
    table.page("/calibration", QStringLiteral("calibration.html"), Access::Technician);
    table.page("/records", QStringLiteral("records.html"));
    table.page("/workers", QStringLiteral("workers.html"));
    table.page("/worker", QStringLiteral("worker.html"));
    table.page("/dosimeter", QStringLiteral("dosimeter.html"));
    registerSessionRoutes(table, context);
    registerRackRoutes(table, context);
    registerServiceRoutes(table, context);
    registerCalibrationRoutes(table, context);
    registerRecordsRoutes(table, context);
    return table;
}

} // namespace console
