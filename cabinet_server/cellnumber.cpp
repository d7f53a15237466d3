#include "cellnumber.h"

qint64 cellIndex(const QString &cell)
{
    bool ok = false;
    const int n = cell.toInt(&ok, 10);
    return (ok ? qint64(n) : 0) - 1;
}

int cellLine(const QString &cell)
{
    const qint64 index = cellIndex(cell);
    // A 32-bit number minus one always fits; only the negative ones are folded.
    return index < 0 ? -1 : int(index);
}
