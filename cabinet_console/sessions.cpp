#include "sessions.h"

#include <QElapsedTimer>

#include <sodium.h>

#include <algorithm>

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

std::string Store::open(const QString &user, accounts::Role role, const QByteArray &hash)
{
    std::string token = randomToken();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions[token] = Session{user, role, hash, randomToken(), monotonicMs()};
    return token;
}

int Store::closeUser(const QString &user)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int closed = 0;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (it->second.user == user) {
            it = m_sessions.erase(it);
            ++closed;
        } else {
            ++it;
        }
    }
    return closed;
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

void LoginLimiter::prune(qint64 nowMs)
{
    if (nowMs - m_lastPruneMs < kAddressWindowMs)
        return;
    m_lastPruneMs = nowMs;
    for (auto it = m_addresses.begin(); it != m_addresses.end();) {
        while (!it->second.empty() && nowMs - it->second.front() >= kAddressWindowMs)
            it->second.pop_front();
        it = it->second.empty() ? m_addresses.erase(it) : std::next(it);
    }
    for (auto it = m_accounts.begin(); it != m_accounts.end();) {
        const bool quiet = nowMs - it->second.lastAttemptMs > kQuietResetMs && nowMs >= it->second.lockedUntilMs;
        it = quiet ? m_accounts.erase(it) : std::next(it);
    }
}

LoginLimiter::Verdict LoginLimiter::begin(const std::string &addressGroup, const QString &account,
                                          const QByteArray &accountStamp, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    prune(nowMs);
    Verdict v;
    std::deque<qint64> &times = m_addresses[addressGroup];
    while (!times.empty() && nowMs - times.front() >= kAddressWindowMs)
        times.pop_front();
    if (int(times.size()) >= kPerAddress) {
        v.allowed = false;
        v.retryAfterMs = times.front() + kAddressWindowMs - nowMs;
    }
    AccountState &a = m_accounts[account];
    if (a.stamp != accountStamp || nowMs - a.lastAttemptMs > kQuietResetMs)
        a = AccountState{0, 0, 0, accountStamp};
    const auto known = m_known.find(account);
    const bool fromKnownGroup = known != m_known.end() && known->second.stamp == accountStamp
        && std::find(known->second.groups.begin(), known->second.groups.end(), addressGroup)
               != known->second.groups.end();
    if (!fromKnownGroup && nowMs < a.lockedUntilMs) {
        v.allowed = false;
        v.retryAfterMs = qMax(v.retryAfterMs, a.lockedUntilMs - nowMs);
    }
    if (!v.allowed)
        return v;
    times.push_back(nowMs);
    if (fromKnownGroup)
        return v;
    a.lastAttemptMs = nowMs;
    if (++a.failures >= kFreeAttempts) {
        const int doublings = qMin(a.failures - kFreeAttempts, 10);
        a.lockedUntilMs = nowMs + qMin(kFirstLockMs << doublings, kLongestLockMs);
    }
    return v;
}

void LoginLimiter::succeeded(const std::string &addressGroup, const QString &account)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto t = m_addresses.find(addressGroup);
    if (t != m_addresses.end() && !t->second.empty())
        t->second.pop_back();
    auto a = m_accounts.find(account);
    if (a == m_accounts.end())
        return;
    KnownGroups &known = m_known[account];
    if (known.stamp != a->second.stamp)
        known = KnownGroups{a->second.stamp, {}};
    auto it = std::find(known.groups.begin(), known.groups.end(), addressGroup);
    if (it != known.groups.end()) {
        // The lock never applied to this group: its success leaves the run of others' failures as it is.
        known.groups.erase(it);
    } else {
        a->second.failures = 0;
        a->second.lockedUntilMs = 0;
    }
    known.groups.push_back(addressGroup);
    if (known.groups.size() > kKnownGroups)
        known.groups.pop_front();
}

} // namespace sessions
