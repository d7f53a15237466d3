// Login, logout and the caller's own session.
#include "routes.h"

#include "log.h"

namespace console {

void registerSessionRoutes(RouteTable &table, Context &context)
{
    Context *ctx = &context;

    table.post("/api/login", Access::Public, [ctx](const ApiRequest &req) {
        const qint64 now = sessions::monotonicMs();
        const QString address = QString::fromStdString(req.remoteAddress);
        if (!ctx->limiter->allowed(req.remoteAddress, now)) {
            logLine(QStringLiteral("console: too many failed logins from ") + address);
            return ApiReply::error(429, QStringLiteral("Слишком много неудачных попыток входа. Подождите минуту."));
        }
        const QString name = req.body.value(QStringLiteral("name")).toString();
        const QByteArray password = req.body.value(QStringLiteral("password")).toString().toUtf8();
        const accounts::Role role = accounts::validName(name)
            ? accounts::verify(ctx->accountsFile, name, password)
            : accounts::Role::None;
        if (role == accounts::Role::None) {
            ctx->limiter->failed(req.remoteAddress, now);
            logLine(QStringLiteral("console: failed login from ") + address);
            return ApiReply::error(401, QStringLiteral("Неверное имя или пароль"));
        }
        const std::string token = ctx->sessions->open(name, role);
        logLine(QStringLiteral("console: login ") + name + QStringLiteral(" from ") + address);
        ApiReply reply = ApiReply::json({{QStringLiteral("user"), name},
                                         {QStringLiteral("role"), accounts::roleText(role)}});
        reply.headers.push_back({"Set-Cookie", cookieHeader(kSessionCookie, token, req.tls)});
        reply.headers.push_back({"Set-Cookie", cookieHeader(kLoginCsrfCookie, "", req.tls, 0)});
        return reply;
    });

    table.post("/api/logout", Access::Viewer, [ctx](const ApiRequest &req) {
        ctx->sessions->close(req.caller.session);
        logLine(QStringLiteral("console: logout ") + req.caller.user);
        ApiReply reply = ApiReply::json({{QStringLiteral("user"), QString()}});
        reply.headers.push_back({"Set-Cookie", cookieHeader(kSessionCookie, "", req.tls, 0)});
        return reply;
    });

    table.get("/api/session", Access::Viewer, [](const ApiRequest &req) {
        return ApiReply::json({{QStringLiteral("user"), req.caller.user},
                               {QStringLiteral("role"), accounts::roleText(req.caller.role)},
                               {QStringLiteral("csrf"), QString::fromStdString(req.caller.csrf)}});
    });
}

} // namespace console
