#pragma once

#include "simrack.h"
#include "testsupport.h"

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QDir>

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
    // prefix: a command that runs the console (e.g. setpriv with another account); empty: run it directly.
    ConsoleProcess(const QString &workDir, const QString &settings, const QStringList &extraEnv = {},
                   const QStringList &prefix = {});
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

// One HTTP exchange over a plain socket, for what a well-behaved client never
// sends: bytes exactly as given, from a chosen loopback source address.
struct RawReply
{
    int status = 0;            // 0: no status line came
    std::string head;          // status line and headers
    std::string body;
    bool closed = false;       // the server ended the connection
    std::string header(const std::string &name) const;
};

class RawConnection
{
public:
    // source: a local address to send from ("" for any).
    RawConnection(int port, const std::string &source = std::string());
    ~RawConnection();
    bool ok() const { return m_fd >= 0; }
    bool send(const std::string &bytes);
    // Reads one reply (head and a Content-Length body) within the time.
    RawReply read(int timeoutMs = 5000);
    // Waits for the server to end the connection; true when it did in time.
    bool waitClosed(int timeoutMs);

private:
    int m_fd = -1;
    std::string m_pending;
};

// GET /login and POST /api/login with its token from a source address; the status.
int rawLogin(int port, const std::string &source, const QString &name, const QString &password);


// A stand-in for the controller's TCP port, in front of the real one (or of
// nothing): forwards each request, or hangs, or loses the reply.
class FakeController
{
public:
    enum class Mode {
        Pass,   // forward the request, pass the reply back
        Hang,   // accept, read, never answer, keep the connection
        Drop,   // forward the request, wait for the reply, close without passing it on
        Late,   // wait lateMs, then as Drop
    };
    explicit FakeController(quint16 target = 0);
    ~FakeController();
    quint16 port() const { return m_port; }
    void setMode(Mode mode, int lateMs = 0);
    int requests() const;      // requests received so far

    struct State;

private:
    static void serve(const std::shared_ptr<State> &state, int client);
    std::shared_ptr<State> m_state;
    quint16 m_port = 0;
};

// A controller and a console in one working folder over a simulated rack.
struct ConsoleRig
{
    QTemporaryDir dir;
    QString ram;
    QString settings;
    quint16 controllerPort = 0;
    int consolePort = 0;
    std::unique_ptr<SimRack> rack;
    std::unique_ptr<ServerProcess> controller;
    std::unique_ptr<ConsoleProcess> console;
    QStringList env;
    QStringList consolePrefix;   // see ConsoleProcess
    QStringList settingLines;
    QString consoleSettings;     // the console's settings file (settings unless it talks to a stand-in)

    // extraSettings: more lines of [Settings] (a line "[Group]" starts a group).
    explicit ConsoleRig(int cells, const QStringList &extraSettings = {})
    {
        ram = dir.filePath(QStringLiteral("ram"));
        QDir().mkpath(ram);
        rack = std::make_unique<SimRack>(dir.filePath(QStringLiteral("rack")));
        controllerPort = freeTcpPort();
        consolePort = freeTcpPort();
        settings = dir.filePath(QStringLiteral("settings.ini"));
        settingLines = QStringList{QStringLiteral("kas_count_cell=%1").arg(cells), QStringLiteral("Path_RAM=") + ram,
                                   QStringLiteral("Time_energe_ppd=30"),
                                   QStringLiteral("port_base=") + rack->portBase(),
                                   QStringLiteral("console_listen=127.0.0.1:%1").arg(consolePort),
                                   QStringLiteral("console_users=") + dir.filePath(QStringLiteral("users"))}
            + extraSettings;
        writeSettings(settings, QStringList{QStringLiteral("tcp_port=%1").arg(controllerPort)} + settingLines);
        consoleSettings = settings;
        env = QStringList{QStringLiteral("PATH=") + SimRack::udevadmDir() + QLatin1Char(':') + qEnvironmentVariable("PATH")};
    }

    // Dosimeters 5001 … 5000 + count in cells 1 … count (USB position and
    // device index follow the cell) and hub.ini for them.
    bool placeDosimeters(int count)
    {
        QByteArray hub;
        for (int pos = 1; pos <= count; ++pos) {
            if (rack->insert(pos, 5000 + pos, pos - 1) != pos - 1)
                return false;
            hub += SimRack::hubId(pos).toUtf8() + '\n';
        }
        writeBytes(dir.filePath(QStringLiteral("hub.ini")), hub);
        return true;
    }

    // The console talks to the controller through another port (a FakeController in front of it).
    void consoleTalksTo(quint16 port)
    {
        consoleSettings = dir.filePath(QStringLiteral("console.ini"));
        writeSettings(consoleSettings, QStringList{QStringLiteral("tcp_port=%1").arg(port)} + settingLines);
    }

    // Adds the account tech (technician), starts the controller (unless
    // withController is false) and the console.
    bool start(bool withController = true)
    {
        if (addConsoleUser(settings, QStringLiteral("tech"), QStringLiteral("technician"), "tech-password") != 0)
            return false;
        if (!withController) {
            console = std::make_unique<ConsoleProcess>(dir.path(), consoleSettings, env, consolePrefix);
            return console->waitReady();
        }
        controller = std::make_unique<ServerProcess>(dir.path(), controllerPort, env);
        if (!controller->waitReady(60000))
            return false;
        console = std::make_unique<ConsoleProcess>(dir.path(), consoleSettings, env, consolePrefix);
        return console->waitReady();
    }

    QString file(const char *name) const { return QString::fromUtf8(readBytes(ram + QLatin1String(name))); }
    QByteArray command(const QByteArray &json) const { return sendRequest(controllerPort, json, 400, 60000); }

    // The controller's log so far: its output pipe is only read while waiting.
    QByteArray controllerLog()
    {
        while (controller->process().waitForReadyRead(200)) {
        }
        return controller->log();
    }
};

