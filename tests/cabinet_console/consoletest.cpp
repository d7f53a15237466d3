#include "consoletest.h"

#include <QJsonDocument>

#include <httplib.h>

#include <regex>

int addConsoleUser(const QString &settings, const QString &name, const QString &role, const QByteArray &password,
                   QByteArray *output)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(CABINET_CONSOLE_BIN),
            {QStringLiteral("--settings"), settings, QStringLiteral("--add-user"), name, role});
    if (!p.waitForStarted(5000))
        return -1;
    p.write(password + '\n');
    p.closeWriteChannel();
    if (!p.waitForFinished(30000))
        return -1;
    if (output)
        *output = p.readAll();
    return p.exitCode();
}

ConsoleProcess::ConsoleProcess(const QString &workDir, const QString &settings, const QStringList &extraEnv,
                               const QStringList &prefix)
    : ProgramProcess(prefix.isEmpty() ? QStringLiteral(CABINET_CONSOLE_BIN) : prefix.first(),
                     prefix.mid(1) + QStringList{QStringLiteral(CABINET_CONSOLE_BIN)}.mid(prefix.isEmpty() ? 1 : 0)
                         + QStringList{QStringLiteral("--settings"), settings},
                     workDir, extraEnv)
{
}

QJsonObject WebReply::json() const
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
}

std::string cookieFrom(const std::vector<std::string> &setCookies, const std::string &name)
{
    for (const std::string &c : setCookies) {
        if (c.compare(0, name.size() + 1, name + "=") == 0)
            return c.substr(name.size() + 1, c.find(';') - name.size() - 1);
    }
    return std::string();
}

WebClient::WebClient(int port, bool tls)
{
    m_client = std::make_unique<httplib::Client>((tls ? "https://127.0.0.1:" : "http://127.0.0.1:")
                                                 + std::to_string(port));
    m_client->enable_server_certificate_verification(false);
    m_client->set_read_timeout(130, 0);
}

WebClient::~WebClient() = default;

WebReply WebClient::finish(void *result)
{
    auto &res = *static_cast<httplib::Result *>(result);
    WebReply r;
    if (!res)
        return r;
    r.status = res->status;
    r.body = res->body;
    r.location = res->get_header_value("Location");
    r.contentType = res->get_header_value("Content-Type");
    const size_t n = res->get_header_value_count("Set-Cookie");
    for (size_t i = 0; i < n; ++i)
        r.setCookies.push_back(res->get_header_value("Set-Cookie", i));
    return r;
}

static httplib::Headers cookieHeaders(const std::string &session, const std::string &login)
{
    std::string cookie;
    if (!session.empty())
        cookie += "console_session=" + session;
    if (!login.empty())
        cookie += (cookie.empty() ? "" : "; ") + std::string("console_login_csrf=") + login;
    httplib::Headers h;
    if (!cookie.empty())
        h.emplace("Cookie", cookie);
    return h;
}

WebReply WebClient::get(const std::string &path)
{
    httplib::Result res = m_client->Get(path.c_str(), cookieHeaders(sessionCookie, loginCookie));
    return finish(&res);
}

WebReply WebClient::post(const std::string &path, const QJsonObject &body, bool withCsrf)
{
    httplib::Headers h = cookieHeaders(sessionCookie, loginCookie);
    if (withCsrf)
        h.emplace("X-CSRF-Token", csrf);
    const QByteArray data = QJsonDocument(body).toJson(QJsonDocument::Compact);
    httplib::Result res = m_client->Post(path.c_str(), h, data.constData(), size_t(data.size()), "application/json");
    return finish(&res);
}

int WebClient::login(const QString &name, const QString &password)
{
    const WebReply page = get("/login");
    loginCookie = cookieFrom(page.setCookies, "console_login_csrf");
    std::smatch m;
    static const std::regex meta(R"re(name="csrf-token" content="([0-9a-f]*)")re");
    csrf = std::regex_search(page.body, m, meta) ? m[1].str() : std::string();
    const WebReply r = post("/api/login", {{QStringLiteral("name"), name}, {QStringLiteral("password"), password}});
    if (r.status == 200) {
        sessionCookie = cookieFrom(r.setCookies, "console_session");
        loginCookie.clear();
        csrf = get("/api/session").json().value(QStringLiteral("csrf")).toString().toStdString();
    }
    return r.status;
}
