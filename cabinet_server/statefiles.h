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

    enum SaveResult { Saved, SkippedMissing, Failed };

    // Writes every line. OnlyIfExists writes nothing when the file is missing
    // now (SkippedMissing). Failed: the file could not be replaced (it was
    // unreadable, the folder is read-only, the disk is full); the old file
    // then stays as it was.
    SaveResult trySave(WriteMode mode = OnlyIfExists) const;
    // True only when the file was written.
    bool save(WriteMode mode = OnlyIfExists) const { return trySave(mode) == Saved; }

    // The one-line form of a value.
    static QString sanitize(const QString &value);

private:
    QString m_path;
    QStringList m_values;
    bool m_existed = false;
    bool m_unreadable = false;
};

// Collects the state files that could not be written during one command, so
// that its reply can say so instead of reporting success.
class StateWrites
{
public:
    // Saves the file; a failed write is remembered (a missing file that is
    // only rewritten when it exists is not a failure).
    StateFile::SaveResult save(const StateFile &file, StateFile::WriteMode mode = StateFile::OnlyIfExists);
    // Sets one line and saves the file, or remembers why that could not be
    // done: a file that exists but could not be read counts as a failed
    // write. A line the file does not have (and any index below 0) changes
    // nothing and is no failure.
    void setLine(StateFile &file, int index, const QString &value);
    void clearLine(StateFile &file, int index) { setLine(file, index, QString()); }
    bool failed() const { return !m_failed.isEmpty(); }
    // "Ошибка записи error.ini" (names joined by ", "), or "" when every write succeeded.
    QString errorText() const;
    // The reply's error text with the write failures added after it.
    QString withErrors(const QString &error) const;

private:
    void remember(const StateFile &file);

    QStringList m_failed;
};

// Path of a per-cell file under G_Path_RAM, name given with its leading slash.
QString statePath(const QString &name);

// The current time as whole seconds since 1970-01-01 00:00 UTC.
qint64 nowSecondsUtc();
