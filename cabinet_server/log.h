#pragma once

#include <QString>

// Writes one diagnostic line to the Qt debug log, exactly as given.
void logLine(const QString &text);

// Puts a time stamp in front of every debug line unless QT_MESSAGE_PATTERN
// names another format.
void installLogFormat();
