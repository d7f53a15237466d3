#include "sessions.h"

#include <QElapsedTimer>

#include <sodium.h>

namespace sessions {

std::string randomToken()
{
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return std::string(hex);
}

bool sameToken(const std::string &a, const std::string &b)
{
    return !a.empty() && a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

std::string Store::open(const QString &user, accounts::Role role)
{
    std::string token = randomToken();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions[token] = Session{user, role, randomToken(), monotonicMs()};
    return token;
}

bool Store::find(const std::string &token, Session *out)
{
    if (token.size() != 64)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 now = monotonicMs();
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (now - it->second.lastSeenMs > m_idleLimitMs)
            it = m_sessions.erase(it);
        else
            ++it;
    }
    auto it = m_sessions.find(token);
    if (it == m_sessions.end())
        return false;
    it->second.lastSeenMs = now;
    *out = it->second;
    return true;
}

void Store::close(const std::string &token)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(token);
}

void LoginLimiter::prune(std::deque<qint64> &times, qint64 nowMs) const
{
    while (!times.empty() && nowMs - times.front() >= m_windowMs)
        times.pop_front();
}

bool LoginLimiter::allowed(const std::string &address, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_failures.find(address);
    if (it == m_failures.end())
        return true;
    prune(it->second, nowMs);
    if (it->second.empty()) {
        m_failures.erase(it);
        return true;
    }
    return int(it->second.size()) < m_limit;
}

void LoginLimiter::failed(const std::string &address, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto &times = m_failures[address];
    prune(times, nowMs);
    times.push_back(nowMs);
}

} // namespace sessions
