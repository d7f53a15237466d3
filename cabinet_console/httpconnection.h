#pragma once

#include <QString>

#include <httplib.h>

#include <map>
#include <mutex>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

// The console's HTTP(S) server: cpp-httplib parses requests and calls the
// routes, but each connection is read and written here, so that no client can
// hold a worker for long or make the server keep what it sends:
// - a request must arrive whole within 10 s of its first byte, with no pause
//   over the read time-out (5 s); an idle kept-alive connection ends after the
//   keep-alive time-out (5 s); a write waits at most the write time-out (5 s);
// - a request head (request line and headers) is at most 16 KiB and 64 lines;
// - one address (an IPv6 /64) holds at most 8 connections at once (a browser
//   opens up to 6 to one server), a sixth of the worker pool, so that a few
//   clients cannot take every worker;
// - under TLS only ECDHE key exchange with AEAD ciphers (TLS 1.2 and 1.3).
// A route can ask for the connection to end after its reply (closeAfterReply),
// so that a body that was refused is never read.
class GuardedServer : public httplib::Server
{
public:
    static constexpr int kWorkers = 48;
    static constexpr int kConnectionsPerAddress = 8;
    static constexpr int kRequestDeadlineMs = 10000;
    static constexpr int kHeadMaxBytes = 16 * 1024;
    static constexpr int kHeadMaxLines = 64;

    // Why a request was cut off while it was read.
    enum class Breach { None, HeadTooLarge, TooManyHeaders, TooSlow };

    GuardedServer();
    ~GuardedServer() override;

    // Serves HTTPS with this certificate chain and key (PEM). False with the reason.
    bool setTls(const QString &certFile, const QString &keyFile, QString *error);
    bool tls() const { return m_ctx != nullptr; }

    // After binding: a listen queue of SOMAXCONN rather than the library's 5,
    // so that a burst of connections is not made to retry after a second.
    void widenListenQueue();

    // For the request being answered on this thread: end the connection after
    // the reply (its body is not read), and what cut the request off.
    static void closeAfterReply();
    static Breach currentBreach();
    // Whether the connection of the request being answered ends after the reply.
    static bool closing();

private:
    bool process_and_close_socket(socket_t sock) override;
    bool takeSlot(const std::string &group);
    void releaseSlot(const std::string &group);

    SSL_CTX *m_ctx = nullptr;
    std::mutex m_slotsMutex;
    std::map<std::string, int> m_slots;   // open connections per address group
};
