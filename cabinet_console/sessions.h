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
    accounts::Role role = accounts::Role::None;   // the role at login
    QByteArray hash;                              // the account's password string at login
    std::string csrf;
    qint64 lastSeenMs = 0;
};

class Store
{
public:
    // Sessions unused for this long end (12 hours by default).
    explicit Store(qint64 idleLimitMs = 12LL * 3600 * 1000) : m_idleLimitMs(idleLimitMs) {}

    // A new session; returns its token.
    std::string open(const QString &user, accounts::Role role, const QByteArray &hash = QByteArray());
    // The session of a token, refreshed; false when there is none (or it expired).
    bool find(const std::string &token, Session *out);
    void close(const std::string &token);
    // Ends every session of the account; returns how many there were.
    int closeUser(const QString &user);

private:
    std::mutex m_mutex;
    std::unordered_map<std::string, Session> m_sessions;
    qint64 m_idleLimitMs;
};

// Limits on logins. Every attempt is counted before its password is checked,
// so attempts sent in parallel cannot slip past, and a successful one is
// taken back. Two limits apply:
// - per address group (an IPv4 address, an IPv6 /64): at most 5 attempts in
//   any minute;
// - per account name: 5 attempts in a row that did not succeed lock the name
//   for 1 minute, each further one doubles the lock, up to 15 minutes; a
//   success, an hour without attempts, or a new password (the account's
//   password string changed, as `--add-user` does) starts it afresh. The
//   lock does not apply to the last 4 address groups the account logged in
//   from (with its current password), so that guesses from elsewhere cannot
//   keep its owner out; those stay under the per-address limit, and their
//   attempts, failed or not, leave the account's run of failures alone.
// All is kept in memory: a restart of the console lifts every lock.
class LoginLimiter
{
public:
    struct Verdict
    {
        bool allowed = true;
        qint64 retryAfterMs = 0;   // when refused: how long until an attempt may be made
    };

    static constexpr int kPerAddress = 5;
    static constexpr qint64 kAddressWindowMs = 60000;
    static constexpr int kFreeAttempts = 5;
    static constexpr qint64 kFirstLockMs = 60000;
    static constexpr qint64 kLongestLockMs = 15 * 60000;
    static constexpr qint64 kQuietResetMs = 3600000;

    // Counts an attempt of the name from the address group; refused attempts are not counted.
    // accountStamp: the account's password string, empty for an unknown name.
    Verdict begin(const std::string &addressGroup, const QString &account, const QByteArray &accountStamp,
                  qint64 nowMs);
    // The attempt succeeded: it no longer counts, and the name's run of failures ends.
    void succeeded(const std::string &addressGroup, const QString &account);

private:
    struct AccountState
    {
        int failures = 0;          // attempts in a row that did not succeed (counted at their start)
        qint64 lockedUntilMs = 0;
        qint64 lastAttemptMs = 0;
        QByteArray stamp;
    };
    // Address groups the account last logged in from, newest last, for one password string.
    struct KnownGroups
    {
        QByteArray stamp;
        std::deque<std::string> groups;
    };
    static constexpr size_t kKnownGroups = 4;
    void prune(qint64 nowMs);

    std::mutex m_mutex;
    std::unordered_map<std::string, std::deque<qint64>> m_addresses;
    std::unordered_map<QString, AccountState> m_accounts;
    std::unordered_map<QString, KnownGroups> m_known;
    qint64 m_lastPruneMs = 0;
};

qint64 monotonicMs();

} // namespace sessions
