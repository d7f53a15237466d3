#pragma once

// Settings of the self-service issue: with a controller address the terminal
// programs a dosimeter for every worker who logs in and shows the cell to
// take it from. Without one the terminal is the classic one.
//
// Read from the environment variable ORVIK_CONTROLLER ("HOST:PORT") and the
// group [SelfService] of the terminal's settings file (ORVIK_TERMINAL_SETTINGS,
// default /etc/orvik-terminal/self-service.ini); the variable wins over the
// file's "controller" key.

#include "controllerclient.h"
#include "thresholds.h"

#include <QString>
#include <QStringList>

struct SelfServiceSettings {
    controllerclient::Address controller;   // invalid: self-service is off
    bool gammaNeutron = false;              // "rack_type": 1300 (IN_g) or 1300GN (IN_gn)
    QString annualDoseKey = QStringLiteral("tab_num");  // users column sent as "uid", as the journal's
    QString defaultOrder = QStringLiteral("БЕЗ НАРЯДА"); // "order": work order when none is typed
    bool orderKeypad = false;               // "order_keypad": ask for a work order first
    SiteLevels levels;
    QString doseUnit = QStringLiteral("мЗв");   // "dose_unit": shown after every dose
    // "issue_timeout": seconds for the issue's reply. The controller serves
    // one request at a time, and the return attendant's history read may
    // hold it up to its own reply time-out (120 s): an issue that gave up
    // sooner could still be carried out after the worker was told it failed.
    int issueTimeoutMs = 150000;
    int takeTimeoutMs = 60000;              // "take_timeout": seconds to take the dosimeter
    int pollMs = 1000;                      // "poll_ms": how often cell_free is asked
    QStringList problems;                   // settings that were not taken, with the reason

    bool enabled() const { return controller.isValid(); }

    static const char *const FileVariable;     // ORVIK_TERMINAL_SETTINGS
    static const char *const ControllerVariable; // ORVIK_CONTROLLER
    static const QString DefaultFile;

    // The settings from the environment and the file.
    static SelfServiceSettings load();
    // The settings of one file (and no environment).
    static SelfServiceSettings fromFile(const QString &path);
};

// The columns that annual_dose_key may name, as for the journal.
bool isAnnualDoseKey(const QString &column);
