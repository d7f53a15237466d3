#include "controllerlink.h"

#include "log.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace controllerlink {

struct Link::State
{
    QString host;
    quint16 port = 0;
    int timeoutMs = 10000;
    int holdMs = 120000;
    mutable std::mutex mutex;
    QString busyWith;          // command in flight
    QElapsedTimer busySince;
};

namespace {

// One call's result, shared by the waiting request and the thread that talks to the controller.
struct Call
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;   // the request stopped waiting
    Reply reply;
};

bool parsesAsObject(const QByteArray &bytes, QJsonObject *out)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    *out = doc.object();
    return true;
}

int remainingMs(const QElapsedTimer &clock, int totalMs)
{
    return int(qMax<qint64>(0, totalMs - clock.elapsed()));
}

// Waits for the events on fd until the deadline; false on time-out or error.
bool waitFor(int fd, short events, const QElapsedTimer &clock, int totalMs)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, remainingMs(clock, totalMs));
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

int connectTo(const QString &host, quint16 port, const QElapsedTimer &clock, int totalMs)
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    const QByteArray h = host.toLatin1();
    auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr);
    if (inet_pton(AF_INET, h.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, h.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        return -1;
    }
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0)
        return fd;
    int error = errno;
    if (error == EINPROGRESS && waitFor(fd, POLLOUT, clock, totalMs)) {
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
            return fd;
    }
    ::close(fd);
    return -1;
}

// One request and its reply, waiting at most holdMs in all.
Reply exchange(const QString &host, quint16 port, const QByteArray &request, int holdMs)
{
    Reply r;
    QElapsedTimer clock;
    clock.start();
    const int fd = connectTo(host, port, clock, qMin(holdMs, 3000));
    if (fd < 0) {
        r.outcome = Outcome::NoConnection;
        r.failure = QStringLiteral("Контроллер не отвечает (нет соединения)");
        return r;
    }
    qint64 sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && (errno == EAGAIN || errno == EINTR) && waitFor(fd, POLLOUT, clock, holdMs))
            continue;
        else
            break;
    }
    // Until the bytes form one JSON object; 300 ms of silence after data also
    // ends a reply that never will.
    while (sent == request.size()) {
        const int wait = r.raw.isEmpty() ? remainingMs(clock, holdMs) : qMin(300, remainingMs(clock, holdMs));
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[16384];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        r.raw.append(buffer, int(n));
        if (parsesAsObject(r.raw, &r.object)) {
            r.outcome = Outcome::Ok;
            break;
        }
    }
    ::close(fd);
    if (r.outcome == Outcome::Ok)
        return r;
    if (r.raw.isEmpty()) {
        r.outcome = Outcome::NoReply;
        r.failure = QStringLiteral("Контроллер не ответил");
    } else {
        r.outcome = Outcome::Garbage;
        r.failure = QStringLiteral("Контроллер ответил не JSON-объектом");
    }
    return r;
}

} // namespace

Link::Link(const QString &host, quint16 port, int timeoutMs, int holdMs) : m_state(std::make_shared<State>())
{
    m_state->host = host;
    m_state->port = port;
    m_state->timeoutMs = timeoutMs;
    m_state->holdMs = qMax(timeoutMs, holdMs);
}

QString Link::busyWith() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->busyWith;
}

Reply Link::send(const QJsonObject &request)
{
    const QString command = request.value(QStringLiteral("command")).toString();
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (!m_state->busyWith.isEmpty()) {
            Reply refused;
            refused.outcome = Outcome::Busy;
            refused.failure = QStringLiteral("Контроллер занят: ещё выполняется команда %1 (отправлена %2 с назад). "
                                             "Повторите позже.")
                                  .arg(m_state->busyWith)
                                  .arg(m_state->busySince.elapsed() / 1000);
            return refused;
        }
        m_state->busyWith = command.isEmpty() ? QStringLiteral("?") : command;
        m_state->busySince.start();
    }
    auto call = std::make_shared<Call>();
    const QByteArray bytes = QJsonDocument(request).toJson(QJsonDocument::Compact);
    std::shared_ptr<State> state = m_state;
    std::thread([state, call, bytes, command] {
        const Reply reply = exchange(state->host, state->port, bytes, state->holdMs);
        // Free before the request wakes, so that the next command it sends is not refused as busy.
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->busyWith.clear();
        }
        bool late = false;
        {
            std::lock_guard<std::mutex> lock(call->mutex);
            call->reply = reply;
            call->finished = true;
            late = call->abandoned;
        }
        call->done.notify_all();
        if (late)
            logLine(QStringLiteral("console: late end of %1: %2")
                        .arg(command, reply.ok() ? QString::fromUtf8(reply.raw) : reply.failure));
    }).detach();

    std::unique_lock<std::mutex> lock(call->mutex);
    if (call->done.wait_for(lock, std::chrono::milliseconds(state->timeoutMs), [&call] { return call->finished; }))
        return call->reply;
    call->abandoned = true;
    Reply timedOut;
    timedOut.outcome = Outcome::TimedOut;
    timedOut.failure = QStringLiteral("Контроллер не ответил за %1 с. Команда %2 могла выполниться позже: "
                                      "проверьте состояние ячейки, прежде чем повторять.")
                           .arg(state->timeoutMs / 1000.0)
                           .arg(command);
    return timedOut;
}

} // namespace controllerlink
