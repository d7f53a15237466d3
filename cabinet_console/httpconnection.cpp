#include "httpconnection.h"

#include "clientaddress.h"

#include <QElapsedTimer>
#include <QFile>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using Breach = GuardedServer::Breach;

std::string addressText(const sockaddr_storage &addr, int *port)
{
    char text[INET6_ADDRSTRLEN] = {0};
    if (addr.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&addr);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        *port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&addr);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        *port = ntohs(a->sin6_port);
    }
    return text;
}

// One client connection as cpp-httplib reads and writes it: a buffer over the
// socket (or its TLS session) that keeps the time-outs and the caps.
class Connection : public httplib::Stream
{
public:
    Connection(int fd, SSL *ssl, int readTimeoutMs, int writeTimeoutMs)
        : m_fd(fd), m_ssl(ssl), m_readTimeoutMs(readTimeoutMs), m_writeTimeoutMs(writeTimeoutMs)
    {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            m_remote = addressText(addr, &m_remotePort);
        len = sizeof addr;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            m_local = addressText(addr, &m_localPort);
    }

    const std::string &remote() const { return m_remote; }

    // The TLS handshake, within the request deadline.
    bool handshake()
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            ERR_clear_error();
            const int r = SSL_accept(m_ssl);
            if (r == 1)
                return true;
            const int e = SSL_get_error(m_ssl, r);
            const short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
            if (!events || !waitFor(events, qMin<qint64>(m_readTimeoutMs, GuardedServer::kRequestDeadlineMs - clock.elapsed())))
                return false;
        }
    }

    // Waits up to idleMs for the next request's first bytes.
    bool waitForRequest(int idleMs)
    {
        if (m_pos < m_len || (m_ssl && SSL_pending(m_ssl) > 0))
            return true;
        return waitFor(POLLIN, idleMs);
    }

    void beginRequest()
    {
        m_request.start();
        m_inHead = true;
        m_headBytes = 0;
        m_headLines = 0;
        m_breach = Breach::None;
        m_closeAfter = false;
    }
    void headRead() { m_inHead = false; }
    Breach breach() const { return m_breach; }
    void setCloseAfter() { m_closeAfter = true; }
    bool closeAfter() const { return m_closeAfter || m_breach != Breach::None; }

    // Ends the connection. After a refused request the client may still be
    // sending: its bytes are read and dropped for a moment (at most 256 KiB,
    // 500 ms), so that it sees the reply rather than a reset.
    void finish()
    {
        if (m_ssl)
            SSL_shutdown(m_ssl);
        ::shutdown(m_fd, SHUT_WR);
        if (m_closeAfter || m_breach != Breach::None) {
            QElapsedTimer clock;
            clock.start();
            qint64 dropped = 0;
            char sink[16384];
            while (dropped < 256 * 1024 && clock.elapsed() < 500) {
                pollfd p{m_fd, POLLIN, 0};
                if (::poll(&p, 1, int(500 - clock.elapsed())) <= 0)
                    break;
                const ssize_t n = ::recv(m_fd, sink, sizeof sink, 0);
                if (n <= 0)
                    break;
                dropped += n;
            }
        }
    }

    bool is_readable() const override
    {
        return m_pos < m_len || (m_ssl && SSL_pending(m_ssl) > 0) || const_cast<Connection *>(this)->waitFor(POLLIN, 0);
    }

    bool is_writable() const override { return const_cast<Connection *>(this)->waitFor(POLLOUT, 0); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (m_breach != Breach::None)
            return -1;
        if (m_pos == m_len) {
            const ssize_t got = fill();
            if (got <= 0)
                return got;
        }
        const size_t n = std::min(size, m_len - m_pos);
        std::memcpy(ptr, m_buffer + m_pos, n);
        m_pos += n;
        if (m_inHead) {
            m_headBytes += n;
            m_headLines += int(std::count(ptr, ptr + n, '\n'));
            if (m_headBytes > size_t(GuardedServer::kHeadMaxBytes))
                m_breach = Breach::HeadTooLarge;
            else if (m_headLines > GuardedServer::kHeadMaxLines)
                m_breach = Breach::TooManyHeaders;
            if (m_breach != Breach::None)
                return -1;
        }
        return ssize_t(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        for (;;) {
            ssize_t n;
            short wanted = POLLOUT;
            if (m_ssl) {
                ERR_clear_error();
                const int r = SSL_write(m_ssl, ptr, int(std::min<size_t>(size, 1 << 30)));
                if (r > 0)
                    return r;
                const int e = SSL_get_error(m_ssl, r);
                if (e == SSL_ERROR_WANT_READ)
                    wanted = POLLIN;
                else if (e != SSL_ERROR_WANT_WRITE)
                    return -1;
            } else {
                n = ::send(m_fd, ptr, size, MSG_NOSIGNAL);
                if (n >= 0)
                    return n;
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    return -1;
            }
            if (!waitFor(wanted, m_writeTimeoutMs))
                return -1;
        }
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        ip = m_remote;
        port = m_remotePort;
    }

    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        ip = m_local;
        port = m_localPort;
    }

    socket_t socket() const override { return m_fd; }

private:
    bool waitFor(short events, qint64 timeoutMs)
    {
        for (;;) {
            pollfd p{m_fd, events, 0};
            const int r = ::poll(&p, 1, int(qMax<qint64>(0, timeoutMs)));
            if (r > 0)
                return true;
            if (r == 0 || errno != EINTR)
                return false;
        }
    }

    // How long the next read may wait: the read time-out, and within a
    // request what is left of its deadline.
    qint64 readBudgetMs() const
    {
        if (!m_request.isValid())
            return m_readTimeoutMs;
        return qMin<qint64>(m_readTimeoutMs, GuardedServer::kRequestDeadlineMs - m_request.elapsed());
    }

    ssize_t fill()
    {
        m_pos = m_len = 0;
        for (;;) {
            short wanted = POLLIN;
            if (m_ssl) {
                ERR_clear_error();
                const int r = SSL_read(m_ssl, m_buffer, sizeof m_buffer);
                if (r > 0) {
                    m_len = size_t(r);
                    return r;
                }
                const int e = SSL_get_error(m_ssl, r);
                if (e == SSL_ERROR_ZERO_RETURN)
                    return 0;
                if (e == SSL_ERROR_WANT_WRITE)
                    wanted = POLLOUT;
                else if (e != SSL_ERROR_WANT_READ)
                    return -1;
            } else {
                const ssize_t n = ::recv(m_fd, m_buffer, sizeof m_buffer, 0);
                if (n >= 0) {
                    m_len = size_t(n);
                    return n;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    return -1;
            }
            const qint64 budget = readBudgetMs();
            if (budget <= 0 || !waitFor(wanted, budget)) {
                if (m_request.isValid() && m_request.elapsed() >= GuardedServer::kRequestDeadlineMs)
                    m_breach = Breach::TooSlow;
                return -1;
            }
        }
    }

    int m_fd;
    SSL *m_ssl;
    int m_readTimeoutMs;
    int m_writeTimeoutMs;
    std::string m_remote, m_local;
    int m_remotePort = 0, m_localPort = 0;
    char m_buffer[16384];
    size_t m_pos = 0, m_len = 0;
    QElapsedTimer m_request;   // since the first byte of the request being read
    bool m_inHead = false;
    size_t m_headBytes = 0;
    int m_headLines = 0;
    Breach m_breach = Breach::None;
    bool m_closeAfter = false;
};

thread_local Connection *t_connection = nullptr;

} // namespace

GuardedServer::GuardedServer()
{
    new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    set_read_timeout(5, 0);
    set_write_timeout(5, 0);
    set_keep_alive_timeout(5);
    set_keep_alive_max_count(100);
    // The library's default also sets SO_REUSEPORT, which lets a second
    // console bind the same port and take half the connections.
    set_socket_options([](socket_t sock) {
        const int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
}

GuardedServer::~GuardedServer()
{
    if (m_ctx)
        SSL_CTX_free(m_ctx);
}

bool GuardedServer::setTls(const QString &certFile, const QString &keyFile, QString *error)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    const QByteArray cert = QFile::encodeName(certFile), key = QFile::encodeName(keyFile);
    // TLS 1.2 with ECDHE and AES-GCM or ChaCha20-Poly1305; TLS 1.3's own suites are all of that kind.
    const bool ok = ctx && SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1
        && SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL") == 1
        && SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                                         "TLS_CHACHA20_POLY1305_SHA256") == 1
        && SSL_CTX_use_certificate_chain_file(ctx, cert.constData()) == 1
        && SSL_CTX_use_PrivateKey_file(ctx, key.constData(), SSL_FILETYPE_PEM) == 1
        && SSL_CTX_check_private_key(ctx) == 1;
    if (!ok) {
        char reason[256] = "no detail";
        if (const unsigned long e = ERR_get_error())
            ERR_error_string_n(e, reason, sizeof reason);
        *error = QStringLiteral("the TLS certificate or key is not valid (%1, %2): %3")
                     .arg(certFile, keyFile, QString::fromLatin1(reason));
        if (ctx)
            SSL_CTX_free(ctx);
        return false;
    }
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (m_ctx)
        SSL_CTX_free(m_ctx);
    m_ctx = ctx;
    return true;
}

void GuardedServer::widenListenQueue()
{
    // listen() again on a listening socket only changes its queue length.
    ::listen(svr_sock_, SOMAXCONN);
}

void GuardedServer::closeAfterReply()
{
    if (t_connection)
        t_connection->setCloseAfter();
}

bool GuardedServer::closing()
{
    return t_connection && t_connection->closeAfter();
}

GuardedServer::Breach GuardedServer::currentBreach()
{
    return t_connection ? t_connection->breach() : Breach::None;
}

bool GuardedServer::takeSlot(const std::string &group)
{
    std::lock_guard<std::mutex> lock(m_slotsMutex);
    int &open = m_slots[group];
    if (open >= kConnectionsPerAddress)
        return false;
    ++open;
    return true;
}

void GuardedServer::releaseSlot(const std::string &group)
{
    std::lock_guard<std::mutex> lock(m_slotsMutex);
    auto it = m_slots.find(group);
    if (it != m_slots.end() && --it->second <= 0)
        m_slots.erase(it);
}

bool GuardedServer::process_and_close_socket(socket_t sock)
{
    SSL *ssl = nullptr;
    if (m_ctx) {
        ssl = SSL_new(m_ctx);
        if (!ssl) {
            ::close(sock);
            return false;
        }
        SSL_set_fd(ssl, sock);
    }
    // Non-blocking: every wait below is a poll with its own time-out.
    struct timeval none{};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    const int flags = fcntl(sock, F_GETFL, 0);
    fcntl(sock, F_SETFL, flags | O_NONBLOCK);

    bool served = false;
    {
        Connection connection(sock, ssl, int(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000),
                              int(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000));
        const std::string group = addressGroup(connection.remote());
        if (takeSlot(group)) {
            if (!ssl || connection.handshake()) {
                served = true;
                for (size_t count = keep_alive_max_count_; count > 0; --count) {
                    const int idle = count == keep_alive_max_count_ ? int(read_timeout_sec_ * 1000)
                                                                     : int(keep_alive_timeout_sec_ * 1000);
                    if (!is_running() || !connection.waitForRequest(idle))
                        break;
                    connection.beginRequest();
                    t_connection = &connection;
                    bool closed = false;
                    const bool ok = process_request(connection, count == 1, closed,
                                                    [&connection](httplib::Request &) { connection.headRead(); });
                    t_connection = nullptr;
                    if (!ok || closed || connection.closeAfter())
                        break;
                }
            }
            connection.finish();
            releaseSlot(group);
        }
    }
    if (ssl)
        SSL_free(ssl);
    ::close(sock);
    return served;
}
