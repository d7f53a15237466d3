#pragma once

// The terminal's pictures, built into the program (terminal.qrc), so that it
// shows them whatever its working directory.

#include <QString>

namespace Pictures {
extern const QString Backspace;    // the backspace key
extern const QString Enter;        // the Enter key
extern const QString Dosimeter;    // the worker's cell in the rack table
extern const QString DefaultPhoto; // a worker without a photo
extern const QString Placeholder;  // the photo place before any login
} // namespace Pictures
