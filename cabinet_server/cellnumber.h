#pragma once

// Cell numbers as clients send them in the "cell" key of a request.

#include <QString>
#include <QtGlobal>

// The 0-based line index of a cell number: the decimal 32-bit number minus
// one, worked out in 64 bits so that no value overflows. A text that is not
// such a number counts as cell 0, that is index -1.
qint64 cellIndex(const QString &cell);

// The index as a line position of the state files: every index below 0 is -1.
int cellLine(const QString &cell);
