#pragma once

// Settings of the return attendant: the group [Attendant] of the controller's
// settings.ini, next to what it takes from the controller's own group
// (tcp_port for the address, journal for the journal file).

#include "controllerclient.h"

#include <QString>
#include <QStringList>

struct AttendantSettings {
    bool enabled = false;                     // "enabled": on, true, yes or 1; off until the site turns it on
    controllerclient::Address controller;     // "controller": HOST:PORT; default 127.0.0.1 and [Settings] tcp_port
    int pollMs = 2000;                        // "poll_seconds": how often OUT is asked
    int statusEveryMs = 30000;                // "status_seconds": how often the cells are looked over
    int replyTimeoutMs = 120000;              // "reply_timeout": seconds for one reply (a long history takes long)
    QString journalPath;                      // "journal": the file to check; "off": no check; default (or empty): the controller's
    QStringList problems;                     // values not taken, with the reason

    // The settings file (the controller's settings code reads it: G_settings_file).
    static AttendantSettings read();
};
