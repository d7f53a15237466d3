#include "statefiles.h"

#include "settings.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

bool StateFile::load()
{
    m_values.clear();
    m_unreadable = false;
    m_existed = QFileInfo::exists(m_path);
    if (!m_existed)
        return true;
    QFile f(m_path);
    if (!f.open(QIODevice::ReadOnly)) {
        m_unreadable = true;
        return false;
    }
    while (!f.atEnd()) {
        QByteArray line = f.readLine();
        if (line.isEmpty() && f.error() != QFileDevice::NoError) {
            m_unreadable = true;
            m_values.clear();
            return false;
        }
        const int nul = line.indexOf('\0');
        if (nul >= 0)
            line.truncate(nul);
        else if (line.endsWith('\n'))
            line.chop(1);
        m_values << QString::fromUtf8(line);
    }
    if (f.error() != QFileDevice::NoError) {
        m_unreadable = true;
        m_values.clear();
        return false;
    }
    return true;
}

QString StateFile::sanitize(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            out += QLatin1Char(' ');
        else if (c.unicode() != 0)
            out += c;
    }
    return out;
}

bool StateFile::set(int index, const QString &value)
{
    if (!has(index))
        return false;
    m_values[index] = sanitize(value);
    return true;
}

void StateFile::insert(int pos, const QString &value)
{
    if (pos < 0)
        pos = 0;
    if (pos > size())
        pos = size();
    m_values.insert(pos, sanitize(value));
}

StateFile::SaveResult StateFile::trySave(WriteMode mode) const
{
    if (m_path.isEmpty())
        return Failed;
    if (mode == OnlyIfExists && !QFileInfo::exists(m_path))
        return SkippedMissing;
    if (m_unreadable)
        return Failed;
    QByteArray data;
    for (const QString &v : m_values) {
        data += v.toUtf8();
        data += '\n';
    }
    QSaveFile f(m_path);
    if (!f.open(QIODevice::WriteOnly))
        return Failed;
    // commit() does not notice a failed final flush (a full disk) and would
    // replace the old file with an empty one, so the flush is checked here.
    if (f.write(data) != data.size() || !f.flush()) {
        f.cancelWriting();
        return Failed;
    }
    return f.commit() ? Saved : Failed;
}

StateFile::SaveResult StateWrites::save(const StateFile &file, StateFile::WriteMode mode)
{
    const StateFile::SaveResult r = file.trySave(mode);
    if (r == StateFile::Failed)
        remember(file);
    return r;
}

void StateWrites::setLine(StateFile &file, int index, const QString &value)
{
    if (file.set(index, value))
        save(file);
    else if (index >= 0 && file.unreadable())
        remember(file);
}

void StateWrites::remember(const StateFile &file)
{
    const QString name = QFileInfo(file.path()).fileName();
    if (!m_failed.contains(name))
        m_failed << name;
}

QString StateWrites::errorText() const
{
    if (m_failed.isEmpty())
        return QString();
    return QStringLiteral("Ошибка записи ") + m_failed.join(QStringLiteral(", "));
}

QString StateWrites::withErrors(const QString &error) const
{
    if (m_failed.isEmpty())
        return error;
    if (error.isEmpty())
        return errorText();
    return error + QStringLiteral("; ") + errorText();
}

QString statePath(const QString &name)
{
    return G_Path_RAM + name;
}

qint64 nowSecondsUtc()
{
    return QDateTime::currentSecsSinceEpoch();
}
