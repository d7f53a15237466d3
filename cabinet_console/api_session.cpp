// Login, logout and the caller's own session.
#include "routes.h"

#include "clientaddress.h"
#include "log.h"

namespace console {

void registerSessionRoutes(RouteTable &table, Context &context)
{
    Context *ctx = &context;

    table.post("/api/login", Access::Public, [ctx](const ApiRequest &req) {
        const qint64 now = sessions::monotonicMs();
        const QString address = QString::fromStdString(req.remoteAddress);
        const QString name = req.body.value(QStringLiteral("name")).toString();
        const QByteArray password = req.body.value(QStringLiteral("password")).toString().toUtf8();
        accounts::Account account;
        const bool known = accounts::validName(name)
            && ctx->accounts->find(name, &account) == accounts::Directory::Lookup::Found;
        // Counted before the password is checked; a name that is not an
        // account is limited the same way, so the replies tell nothing.
        const std::string group = addressGroup(req.remoteAddress);
        const QString limitedName = name.left(64);
        const sessions::LoginLimiter::Verdict verdict =
            ctx->limiter->begin(group, limitedName, known ? account.hash : QByteArray(), now);
        if (!verdict.allowed) {
            const qint64 seconds = (verdict.retryAfterMs + 999) / 1000;
            logLine(QStringLiteral("console: login of %1 from %2 refused for %3 s (too many attempts)")
                        .arg(limitedName, address).arg(seconds));
            ApiReply reply = ApiReply::error(
                429, QStringLiteral("Слишком много неудачных попыток входа. Повторите через %1 с.").arg(seconds));
            reply.headers.push_back({"Retry-After", std::to_string(seconds)});
            return reply;
        }
        const accounts::Role role = accounts::verifyAccount(known ? &account : nullptr, password);
        if (role == accounts::Role::None) {
            logLine(QStringLiteral("console: failed login from ") + address);
            return ApiReply::error(401, QStringLiteral("Неверное имя или пароль"));
        }
        ctx->limiter->succeeded(group, limitedName);
        const std::string token = ctx->sessions->open(name, role, account.hash);
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
