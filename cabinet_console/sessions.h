#pragma once

#include "accounts.h"

#include <QString>

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

// Logged-in sessions of the console and the limit on failed logins.
namespace sessions {

// 32 random bytes (256 bits) as 64 lower-case hex digits.
std::string randomToken();

// Equal lengths and equal bytes, compared in constant time.
bool sameToken(const std::string &a, const std::string &b);

struct Session
{
    QString user;
    accounts::Role role = accounts::Role::None;
    std::string csrf;
    qint64 lastSeenMs = 0;
};

class Store
{
public:
    // Sessions unused for this long end (12 hours by default).
    explicit Store(qint64 idleLimitMs = 12LL * 3600 * 1000) : m_idleLimitMs(idleLimitMs) {}

    // A new session; returns its token.
    std::string open(const QString &user, accounts::Role role);
    // The session of a token, refreshed; false when there is none (or it expired).
    bool find(const std::string &token, Session *out);
    void close(const std::string &token);

private:
    std::mutex m_mutex;
    std::unordered_map<std::string, Session> m_sessions;
    qint64 m_idleLimitMs;
};

// At most `limit` failed logins per address in any `windowMs`.
class LoginLimiter
{
public:
    explicit LoginLimiter(int limit = 5, qint64 windowMs = 60000) : m_limit(limit), m_windowMs(windowMs) {}

    // False when the address has used up its failures in the window.
    bool allowed(const std::string &address, qint64 nowMs);
    void failed(const std::string &address, qint64 nowMs);

private:
    void prune(std::deque<qint64> &times, qint64 nowMs) const;

    std::mutex m_mutex;
    std::unordered_map<std::string, std::deque<qint64>> m_failures;
    int m_limit;
    qint64 m_windowMs;
};

qint64 monotonicMs();

} // namespace sessions
