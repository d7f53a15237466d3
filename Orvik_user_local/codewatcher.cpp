#include "codewatcher.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

const QString CodeFileWatcher::CardFile = QStringLiteral("CARD_READER.ini");
const QString CodeFileWatcher::BarcodeFile = QStringLiteral("barcode.ini");
const QString CodeFileWatcher::ReadersAccount = QStringLiteral("orvik-readers");

QString CodeFileWatcher::distrust(const QString &path)
{
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QString(); // no file, nothing to trust or distrust
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a plain file");
    if (st.st_mode & S_IWOTH)
        return QStringLiteral("writable by others");
    if (st.st_uid == 0 || st.st_uid == geteuid())
        return QString();
    const struct passwd *readers = getpwnam(ReadersAccount.toLocal8Bit().constData());
    if (readers && st.st_uid == readers->pw_uid)
        return QString();
    return QStringLiteral("owned by uid %1, not by %2 or root").arg(st.st_uid).arg(ReadersAccount);
}

// A reader writes at most 256 bytes as 512 hexadecimal characters; anything
// far larger is not a code.
static const qint64 MaxCodeFile = 4096;

CodeFileWatcher::CodeFileWatcher(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_folder(folder)
    , m_timer(new QTimer(this))
{
    connect(m_timer, &QTimer::timeout, this, &CodeFileWatcher::poll);
    changed(CardFile, m_card);
    changed(BarcodeFile, m_barcode);
}

void CodeFileWatcher::start(int intervalMs)
{
    m_timer->start(intervalMs);
}

bool CodeFileWatcher::changed(const QString &name, Seen &seen)
{
    const QString path = m_folder + QLatin1Char('/') + name;
    const QFileInfo info(path);
    Seen now;
    now.exists = info.exists() && info.isFile();
    const QString why = now.exists ? distrust(path) : QString();
    if (now.exists) {
        now.modified = info.lastModified();
        now.size = info.size();
        QFile file(path);
        if (why.isEmpty() && now.size <= MaxCodeFile && file.open(QIODevice::ReadOnly))
            now.content = file.read(MaxCodeFile);
    }
    const bool differs = now.exists != seen.exists || now.modified != seen.modified || now.size != seen.size
        || now.content != seen.content;
    seen = now;
    if (!why.isEmpty()) {
        // Logged once per change of the file; its code is never read.
        if (differs)
            qDebug() << "reader file ignored:" << path << why;
        return false;
    }
    return differs;
}

void CodeFileWatcher::poll()
{
    if (changed(CardFile, m_card)) {
        const QString code = QString::fromUtf8(m_card.content).trimmed();
        if (!code.isEmpty())
            emit codeRead(1, code);
    }
    if (changed(BarcodeFile, m_barcode)) {
        const QString code = QString::fromUtf8(m_barcode.content).trimmed();
        if (!code.isEmpty())
            emit codeRead(2, code);
    }
}
