#pragma once

#include "testsupport.h"

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>

namespace httplib {
class Client;
}

// Adds an account through `cabinet_console --add-user`, the password on stdin.
// Returns the program's exit code (its output goes to *output when given).
int addConsoleUser(const QString &settings, const QString &name, const QString &role, const QByteArray &password,
                   QByteArray *output = nullptr);

// A cabinet_console process on the given settings file.
class ConsoleProcess : public ProgramProcess
{
public:
    ConsoleProcess(const QString &workDir, const QString &settings, const QStringList &extraEnv = {});
    // Waits for its "console listening" line; false on time-out or exit.
    bool waitReady(int timeoutMs = 10000) { return waitForOutput("console listening on", timeoutMs); }
};

// An HTTP reply as a test looks at it.
struct WebReply
{
    int status = 0;            // 0: no reply
    std::string body;
    std::string location;
    std::string contentType;
    std::vector<std::string> setCookies;
    QJsonObject json() const;
};

// One browser-like client: keeps the session cookie and the CSRF token.
class WebClient
{
public:
    WebClient(int port, bool tls = false);
    ~WebClient();

    WebReply get(const std::string &path);
    // withCsrf false: the request carries no X-CSRF-Token header.
    WebReply post(const std::string &path, const QJsonObject &body, bool withCsrf = true);

    // GET /login (for the login token), POST /api/login, then /api/session for
    // the session's CSRF token. Returns the status of the login POST.
    int login(const QString &name, const QString &password);

    std::string sessionCookie;
    std::string loginCookie;
    std::string csrf;

private:
    WebReply finish(void *result);
    std::unique_ptr<httplib::Client> m_client;
};

// The value of a cookie in Set-Cookie lines, "" when absent.
std::string cookieFrom(const std::vector<std::string> &setCookies, const std::string &name);
