#include "consoletest.h"

#include <QFile>
#include <QJsonDocument>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <regex>
#include <thread>

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

// Raw connections and the stand-in controller.


namespace {

int connectLoopback(int port, const std::string &source)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(quint16(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

} // namespace

std::string RawReply::header(const std::string &name) const
{
    const std::string key = "\r\n" + name + ": ";
    const size_t at = head.find(key);
    if (at == std::string::npos)
        return std::string();
    const size_t start = at + key.size();
    return head.substr(start, head.find("\r\n", start) - start);
}

RawConnection::RawConnection(int port, const std::string &source) : m_fd(connectLoopback(port, source)) {}

RawConnection::~RawConnection()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawConnection::send(const std::string &bytes)
{
    size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return m_fd >= 0;
}

RawReply RawConnection::read(int timeoutMs)
{
    RawReply r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto left = [&deadline] {
        return int(std::max<qint64>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           deadline - std::chrono::steady_clock::now()).count()));
    };
    std::string &data = m_pending;
    size_t headEnd = std::string::npos;
    size_t length = 0;
    for (;;) {
        if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            r.head = data.substr(0, headEnd);
            const std::string cl = r.header("Content-Length");
            length = cl.empty() ? 0 : std::stoul(cl);
            if (r.head.compare(0, 9, "HTTP/1.1 ") == 0)
                r.status = std::atoi(r.head.c_str() + 9);
        }
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + length) {
            r.body = data.substr(headEnd + 4, length);
            data.erase(0, headEnd + 4 + length);
            return r;
        }
        if (m_fd < 0 || !readable(m_fd, left()))
            return r;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            r.closed = true;
            return r;
        }
        data.append(buffer, size_t(n));
    }
}

bool RawConnection::waitClosed(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_fd >= 0 && std::chrono::steady_clock::now() < deadline) {
        if (!readable(m_fd, 100))
            continue;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
    }
    return false;
}

int rawLogin(int port, const std::string &source, const QString &name, const QString &password)
{
    RawConnection c(port, source);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    if (!c.send("GET /login HTTP/1.1\r\n" + host + "\r\n"))
        return 0;
    const RawReply page = c.read();
    std::smatch m;
    static const std::regex meta(R"re(name="csrf-token" content="([0-9a-f]*)")re");
    if (!std::regex_search(page.body, m, meta))
        return 0;
    const std::string token = m[1].str();
    const std::string body = QJsonDocument(QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("password"), password}})
                                 .toJson(QJsonDocument::Compact).toStdString();
    c.send("POST /api/login HTTP/1.1\r\n" + host + "Cookie: console_login_csrf=" + token + "\r\nX-CSRF-Token: " + token
           + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return c.read(20000).status;
}

struct FakeController::State
{
    std::mutex mutex;
    Mode mode = Mode::Pass;
    int lateMs = 0;
    quint16 target = 0;
    std::atomic<int> requests{0};
    std::atomic<bool> stop{false};
    int listener = -1;
    std::vector<int> held;   // connections kept open by Hang
    std::thread acceptor;
};

FakeController::FakeController(quint16 target) : m_state(std::make_shared<State>())
{
    m_state->target = target;
    m_state->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(m_state->listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    ::bind(m_state->listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(m_state->listener, 64);
    socklen_t len = sizeof addr;
    getsockname(m_state->listener, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    std::shared_ptr<State> state = m_state;
    m_state->acceptor = std::thread([state] {
        while (!state->stop) {
            if (!readable(state->listener, 100))
                continue;
            const int client = ::accept4(state->listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                std::thread([state, client] { serve(state, client); }).detach();
        }
    });
}

FakeController::~FakeController()
{
    m_state->stop = true;
    m_state->acceptor.join();
    ::close(m_state->listener);
    std::lock_guard<std::mutex> lock(m_state->mutex);
    for (int fd : m_state->held)
        ::close(fd);
}

void FakeController::setMode(Mode mode, int lateMs)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->mode = mode;
    m_state->lateMs = lateMs;
}

int FakeController::requests() const
{
    return m_state->requests;
}

void FakeController::serve(const std::shared_ptr<State> &state, int client)
{
    // One request: whatever arrives until 200 ms of quiet (the console sends it in one write).
    std::string request;
    while (readable(client, request.empty() ? 5000 : 200)) {
        char buffer[65536];
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, size_t(n));
    }
    if (request.empty()) {
        ::close(client);
        return;
    }
    ++state->requests;
    Mode mode;
    int lateMs;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        mode = state->mode;
        lateMs = state->lateMs;
        if (mode == Mode::Hang) {
            state->held.push_back(client);
            return;
        }
    }
    if (mode == Mode::Late)
        std::this_thread::sleep_for(std::chrono::milliseconds(lateMs));
    std::string reply;
    const int upstream = connectLoopback(state->target, std::string());
    if (upstream >= 0) {
        ::send(upstream, request.data(), request.size(), MSG_NOSIGNAL);
        // The controller's reply: until 400 ms of quiet after data (it has no delimiter), at most 60 s.
        while (readable(upstream, reply.empty() ? 60000 : 400)) {
            char buffer[65536];
            const ssize_t n = ::recv(upstream, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            reply.append(buffer, size_t(n));
        }
        ::close(upstream);
    }
    if (mode == Mode::Pass)
        ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(client);
}
