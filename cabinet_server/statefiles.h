#pragma once

#include <QString>
#include <QStringList>

// One line-per-cell state file ("hub.ini", "/port.ini", "/nomer_ppd.ini",
// "/error.ini", "/datatime.ini"). Line k belongs to cell k + 1.
//
// Reading: each line up to its first zero byte, decoded as UTF-8; a final
// line feed is taken off; a missing file reads as no lines.
// Writing: the whole file in UTF-8, every value followed by a line feed,
// replaced atomically (temporary file in the same folder, then a rename).
// A file that exists but could not be read is never rewritten.
// Line access never reaches past the end of the list.
class StateFile
{
public:
    enum WriteMode { OnlyIfExists, CreateIfMissing };

    StateFile() = default;
    explicit StateFile(const QString &path) : m_path(path) { load(); }

    // Reads the file again. False when it exists but cannot be read.
    bool load();

    const QString &path() const { return m_path; }
    bool existedAtLoad() const { return m_existed; }
    bool unreadable() const { return m_unreadable; }

    int size() const { return int(m_values.size()); }
    bool has(int index) const { return index >= 0 && index < size(); }
    // The value of a line (without its line feed); "" when there is no such line.
    QString value(int index) const { return has(index) ? m_values.at(index) : QString(); }
    // True when the line exists and holds no value.
    bool isBlank(int index) const { return has(index) && m_values.at(index).isEmpty(); }
    // First line whose value equals the text, or -1.
    int indexOf(const QString &value) const { return m_values.indexOf(value); }
    const QStringList &values() const { return m_values; }

    // Replaces the value of an existing line; false (and nothing changed)
    // when the line does not exist. A line feed or carriage return inside the
    // value becomes a blank and a zero character is dropped.
    bool set(int index, const QString &value);
    bool clear(int index) { return set(index, QString()); }
    // Inserts a line before position pos: past the end appends, negative inserts at the front.
    void insert(int pos, const QString &value);
    void append(const QString &value) { insert(size(), value); }
    void clearAll() { m_values.clear(); }

    // Writes every line. OnlyIfExists writes nothing when the file is missing
    // now. Returns false when nothing was written or the write failed.
    bool save(WriteMode mode = OnlyIfExists) const;

    // The one-line form of a value.
    static QString sanitize(const QString &value);

private:
    QString m_path;
    QStringList m_values;
    bool m_existed = false;
    bool m_unreadable = false;
};

// Path of a per-cell file under G_Path_RAM, name given with its leading slash.
QString statePath(const QString &name);

// The current time as whole seconds since 1970-01-01 00:00 UTC.
qint64 nowSecondsUtc();
