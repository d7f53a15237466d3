#pragma once

// The check a workflow asks for right before it erases the dose a dosimeter carries.

#include <QString>

#include <functional>

namespace dosesafety {

// The workflows that reset a dosimeter's dose.
enum class Eraser { Confirmation, Unblock, Issue };

// A reset about to start.
struct Erasure
{
    int cell = -1;     // 0-based line of the state files
    QString port;      // the port the reset goes through
    QString number;    // the number the reset addresses ("" when it could not be read)
    Eraser by = Eraser::Confirmation;
};

// Answers "" when the reset may go ahead, else why it may not: a Russian text
// for the reply's "error". The workflow then resets nothing and keeps the
// cell's line.
using Check = std::function<QString(const Erasure &)>;

// Installs the check; an empty function removes it. None is installed by
// default, and then every reset goes ahead.
void setCheck(Check check);

// Asks the installed check.
QString beforeErasing(const Erasure &erasure);

} // namespace dosesafety
