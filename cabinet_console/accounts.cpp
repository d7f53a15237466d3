#include "accounts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>

namespace accounts {

Role roleFromText(const QString &text)
{
    if (text == QLatin1String("viewer"))
        return Role::Viewer;
    if (text == QLatin1String("technician"))
        return Role::Technician;
    return Role::None;
}

QString roleText(Role role)
{
    switch (role) {
    case Role::Viewer: return QStringLiteral("viewer");
    case Role::Technician: return QStringLiteral("technician");
    case Role::None: break;
    }
    return QString();
}

bool validName(const QString &name)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    return re.match(name).hasMatch();
}

QVector<Account> load(const QString &path, bool *ok)
{
    QVector<Account> out;
    if (ok)
        *ok = true;
    QFile f(path);
    if (!f.exists())
        return out;
    if (!f.open(QIODevice::ReadOnly)) {
        if (ok)
            *ok = false;
        return out;
    }
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() != 3)
            continue;
        Account a{QString::fromUtf8(fields.at(0)), roleFromText(QString::fromUtf8(fields.at(1))), fields.at(2)};
        if (validName(a.name) && a.role != Role::None && a.hash.size() < int(crypto_pwhash_STRBYTES))
            out << a;
    }
    return out;
}

QByteArray hashPassword(const QByteArray &password)
{
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.constData(), quint64(password.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return QByteArray();
    return QByteArray(out);
}

static bool matches(const QByteArray &hash, const QByteArray &password)
{
    return crypto_pwhash_str_verify(hash.constData(), password.constData(), quint64(password.size())) == 0;
}

Role verifyAccount(const Account *account, const QByteArray &password)
{
    // One check at a time: each takes 64 MiB, and a burst of logins must not
    // take the memory of a small board.
    static std::mutex oneAtATime;
    std::lock_guard<std::mutex> lock(oneAtATime);
    // Hashed once per process: the work done for a name that is not there.
    static const QByteArray decoy = hashPassword(QByteArrayLiteral("decoy password"));
    if (account)
        return matches(account->hash, password) ? account->role : Role::None;
    matches(decoy, password);
    return Role::None;
}

Role verify(const QString &path, const QString &name, const QByteArray &password)
{
    for (const Account &a : load(path)) {
        if (a.name == name)
            return verifyAccount(&a, password);
    }
    return verifyAccount(nullptr, password);
}

Directory::Lookup Directory::find(const QString &name, Account *out)
{
    struct stat st{};
    const QByteArray file = QFile::encodeName(m_path);
    const QByteArray stamp = ::stat(file.constData(), &st) == 0
        ? QByteArray::number(qint64(st.st_ino)) + ':' + QByteArray::number(qint64(st.st_size)) + ':'
              + QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.' + QByteArray::number(qint64(st.st_mtim.tv_nsec))
        : QByteArrayLiteral("absent");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (stamp != m_stamp) {
        bool ok = true;
        m_accounts = load(m_path, &ok);
        m_readable = ok;
        m_stamp = ok ? stamp : QByteArray();   // an unreadable file is tried again next time
    }
    if (!m_readable)
        return Lookup::Unreadable;
    for (const Account &a : m_accounts) {
        if (a.name == name) {
            *out = a;
            return Lookup::Found;
        }
    }
    return Lookup::Missing;
}

// Writes the whole file: a new file, then a rename, with mode 0640.
static QString writeAll(const QString &path, const QVector<Account> &all)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return QStringLiteral("cannot create the folder of ") + path;
    QByteArray data = "# cabinet_console accounts: NAME ROLE ARGON2ID-HASH (written by cabinet_console --add-user)\n";
    for (const Account &a : all)
        data += a.name.toUtf8() + ' ' + roleText(a.role).toUtf8() + ' ' + a.hash + '\n';
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write ") + path;
    if (f.write(data) != data.size() || !f.flush()) {
        f.cancelWriting();
        return QStringLiteral("cannot write ") + path;
    }
    if (!f.commit())
        return QStringLiteral("cannot write ") + path;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    return QString();
}

QString addOrReplace(const QString &path, const QString &name, Role role, const QByteArray &password)
{
    if (!validName(name))
        return QStringLiteral("account name must be 1 to 64 of A-Z a-z 0-9 . _ -");
    if (role == Role::None)
        return QStringLiteral("role must be viewer or technician");
    if (password.size() < 8)
        return QStringLiteral("password must have at least 8 characters");
    bool ok = true;
    QVector<Account> all = load(path, &ok);
    if (!ok)
        return QStringLiteral("cannot read ") + path;
    const QByteArray hash = hashPassword(password);
    if (hash.isEmpty())
        return QStringLiteral("password hashing failed (out of memory?)");
    bool replaced = false;
    for (Account &a : all) {
        if (a.name == name) {
            a.role = role;
            a.hash = hash;
            replaced = true;
        }
    }
    if (!replaced)
        all << Account{name, role, hash};

    return writeAll(path, all);
}

QString remove(const QString &path, const QString &name)
{
    bool ok = true;
    QVector<Account> all = load(path, &ok);
    if (!ok)
        return QStringLiteral("cannot read ") + path;
    const int before = all.size();
    all.erase(std::remove_if(all.begin(), all.end(), [&name](const Account &a) { return a.name == name; }), all.end());
    if (all.size() == before)
        return QStringLiteral("no account ") + name + QStringLiteral(" in ") + path;
    return writeAll(path, all);
}

} // namespace accounts
