#pragma once

#include <QString>
#include <QVector>

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

// Adds the account or replaces its role and password. The file is written
// whole (a new file, then a rename) with mode 0640. Returns "" on success or
// the reason in words.
QString addOrReplace(const QString &path, const QString &name, Role role, const QByteArray &password);

// An Argon2id password string with libsodium's interactive limits; empty on failure.
QByteArray hashPassword(const QByteArray &password);

} // namespace accounts
