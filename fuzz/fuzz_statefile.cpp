// State-file reading over arbitrary file contents: loading never fails on a
// readable file, line access stays inside the list, edits stay on one line,
// and what is written back reads again as the same values.
#include "fuzzsupport.h"

#include "statefiles.h"

#include <QFile>
#include <QTemporaryDir>

namespace {
QTemporaryDir *scratch = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setUp();
    scratch = fuzz::scratchDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = scratch->filePath(QStringLiteral("error.ini"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    StateFile file(path);
    FUZZ_CHECK(file.existedAtLoad() && !file.unreadable());
    FUZZ_CHECK(file.size() <= int(size) + 1);
    for (int i = -2; i <= file.size() + 1; ++i) {
        const QString v = file.value(i);
        FUZZ_CHECK(file.has(i) || v.isEmpty());
        FUZZ_CHECK(!v.contains(QLatin1Char('\n')) && !v.contains(QChar(0)));
    }

    // Edits: one line set from the file's own bytes, one inserted past the end.
    const QString edit = QString::fromUtf8(fuzz::bytes(data, qMin<size_t>(size, 40)));
    file.set(size % 7, edit);
    file.insert(file.size() + 3, edit);
    FUZZ_CHECK(file.save());

    const StateFile again(path);
    FUZZ_CHECK(again.values() == file.values());
    return 0;
}
