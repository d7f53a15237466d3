#pragma once

// Where a worker's cell lies: its row counted across racks for the heading,
// and its place in the drawn table of the worker's own rack.

// Racks larger than this on a side are not drawn (and not shown to a worker).
constexpr int MaxRackSide = 64;

// Row and position of a worker's cell in the rack table. Racks follow one
// another downwards, height rows each; width cells make one row.
struct CellPosition {
    bool valid = false;  // false when the width is below 1 or the row does not fit an int
    int row = 0;         // 1-based, counted across racks
    int column = 0;      // 1-based
};
CellPosition cellPosition(int kasId, int meshId, int height, int width);

// The worker's cell in the table of one rack: height rows of width cells.
struct RackPlace {
    bool rackDrawable = false;  // 1 <= height, width <= MaxRackSide
    bool drawable = false;      // the rack is drawable and 1 <= mesh <= height * width
    int tableRow = -1;          // 0-based: (mesh - 1) div width
    int tableColumn = -1;       // 0-based: (mesh - 1) mod width
};
RackPlace rackPlace(int meshId, int height, int width);
