// Cell numbers to rows and table places.
#include "rackplace.h"

#include <QtGlobal>

#include <limits>

CellPosition cellPosition(int kasId, int meshId, int height, int width)
{
    CellPosition p;
    if (width < 1)
        return p;
    // Counted in 64 bits: identifiers and geometry come from the database and
    // their products need not fit an int.
    const qint64 row = (qint64(kasId) - 1) * height + (qint64(meshId) - 1) / width + 1;
    if (row < std::numeric_limits<int>::min() || row > std::numeric_limits<int>::max())
        return p;
    p.valid = true;
    p.row = int(row);
    p.column = meshId % width;
    if (p.column == 0)
        p.column = width;
    return p;
}

RackPlace rackPlace(int meshId, int height, int width)
{
    RackPlace p;
    if (height < 1 || width < 1 || height > MaxRackSide || width > MaxRackSide)
        return p;
    p.rackDrawable = true;
    if (meshId < 1 || meshId > height * width)
        return p;
    p.drawable = true;
    p.tableRow = (meshId - 1) / width;
    p.tableColumn = (meshId - 1) % width;
    return p;
}
