#pragma once

#include <QString>
#include <QVector>

#include <mutex>

// Accounts of the operator console: one line per account,
// "NAME ROLE HASH", where HASH is a libsodium Argon2id password string.
// Blank lines and lines starting with '#' are skipped.
namespace accounts {

enum class Role { None, Viewer, Technician };

Role roleFromText(const QString &text);
QString roleText(Role role);

// A name the file format can hold: 1 to 64 of [A-Za-z0-9._-].
bool validName(const QString &name);

struct Account
{
    QString name;
    Role role = Role::None;
    QByteArray hash;
};

// Reads the file; malformed lines are skipped. ok is false when the file
// exists but cannot be read.
QVector<Account> load(const QString &path, bool *ok = nullptr);

// The role of a name whose password matches, or Role::None. An unknown name
// costs the same hash work as a known one.
Role verify(const QString &path, const QString &name, const QByteArray &password);
// The same for an account already looked up; nullptr for a name that is not there.
Role verifyAccount(const Account *account, const QByteArray &password);

// Removes the account. Returns "" on success or the reason in words.
QString remove(const QString &path, const QString &name);

// The accounts file as it is now, for the check of every request: read again
// whenever it changed (size, modification time, inode), so that an account
// removed or given another role counts at once.
class Directory
{
public:
    explicit Directory(const QString &path) : m_path(path) {}

    enum class Lookup { Found, Missing, Unreadable };
    Lookup find(const QString &name, Account *out);

private:
    std::mutex m_mutex;
    QString m_path;
    QByteArray m_stamp;          // what the file looked like when read
    bool m_readable = false;
    QVector<Account> m_accounts;
};

// Adds the account or replaces its role and password. The file is written
// whole (a new file, then a rename) with mode 0640. Returns "" on success or
// the reason in words.
QString addOrReplace(const QString &path, const QString &name, Role role, const QByteArray &password);

// An Argon2id password string with libsodium's interactive limits; empty on failure.
QByteArray hashPassword(const QByteArray &password);

} // namespace accounts
