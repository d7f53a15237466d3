#pragma once

// The steps of a self-service issue that need no widget: the worker's budget
// from the database, the issue request, and what the controller's replies
// mean for the worker. Each step runs on a worker thread (IssueFlow), so a
// slow database or controller never freezes the screen.

#include "controllerclient.h"
#include "selfservice.h"
#include "thresholds.h"

#include <QJsonObject>
#include <QString>

// Texts the worker sees during a self-service issue.
namespace IssueText {
extern const QString Issuing;          // heading while the controller programs a dosimeter
extern const QString IssuingStatus;
extern const QString OrderHeading;     // the work-order step
extern const QString NoController;     // notices that end the issue
extern const QString ControllerSilent;
extern const QString ControllerGarbled;
extern const QString NoDosimeter;
extern const QString IssueFailed;
extern const QString NoIdentifier;
extern const QString IdentifierTooLong;
// "Возьмите дозиметр из ячейки N"
QString takeHeading(int cell);
// The time left to take it, shown under the heading.
QString takeStatus(int secondsLeft);
QString notTaken(int cell);
QString budgetUsedUp(double current, double permitted, const QString &unit, const QString &name);
} // namespace IssueText

// The connection values of the terminal's database, copied for a worker thread.
struct DatabaseParams {
    QString host;
    int port = -1;
    QString database, user, password, options;

    // The terminal's current settings (G_ip_database ...).
    static DatabaseParams current();
};

// The worker's row as the issue needs it.
struct WorkerBudget {
    bool read = false;          // false: the database could not be asked
    bool found = false;
    QString uid;                // the annual_dose_key column as text, as the journal matches it
    double permitted = 0;       // users.dose_year
    double current = 0;         // users.dose_year_now_ppd

    double left() const { return remainingDose(permitted, current); }
};

// Reads uid, dose_year and dose_year_now_ppd of the worker from one
// connection of its own (a fresh name, so any thread may call it).
WorkerBudget readWorkerBudget(const DatabaseParams &db, const QString &userId, const QString &annualDoseKey);

// Why this worker must not be issued a dosimeter (empty: go on): no
// identifier to write, one the dosimeter would cut, or no dose left.
QString budgetRefusal(const WorkerBudget &budget, const QString &unit, const QString &name);

// The name written to the dosimeter (it keeps 20 characters): the surname
// and the initials, from the three-line name of the login.
QString dosimeterName(const QString &threeLineName);

// The issue command: IN_g, or IN_gn on a gamma-and-neutron rack.
QJsonObject issueRequest(const SelfServiceSettings &settings, const QString &uid, const QString &uname,
                         const QString &order, const IssueThresholds &thresholds);

struct IssueResult {
    bool issued = false;
    int cell = 0;               // 1-based
    QString number;             // the dosimeter's number, for cell_free
    QString notice;             // when not issued: what the worker is told
    QString logText;            // what the log says about it
};
IssueResult interpretIssueReply(const controllerclient::Reply &reply);

// cell_free of the issued dosimeter: taken, still in the cell, or unknown.
enum class TakeState { Taken, InCell, Unknown };
QJsonObject cellFreeRequest(const QString &number, int cell);
TakeState interpretCellFree(const controllerclient::Reply &reply);
