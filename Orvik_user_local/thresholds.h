#pragma once

// The thresholds a self-service issue writes to a worker's dosimeter, from
// the site's levels and what is left of the worker's annual dose, and their
// unit on the way to the controller.
//
// Every value here is in the dosimeter's own unit: the unit of its read-outs,
// of the dose journal and of users.dose_year / users.dose_year_now_ppd. The
// issue request carries thresholds in a unit 1000 times smaller: the
// controller divides each by 1000 and writes the result, as printf "%g" gives
// it (six significant digits), into the dosimeter's frame.

#include <QString>

// Request value per dosimeter unit (found from the frames the dosimeter
// receives: a requested "3000" arrives as 3.0).
constexpr double kRequestPerDosimeterUnit = 1000.0;

// One channel's two dose and two dose-rate thresholds: the first (warning)
// lower than the second (alarm).
struct ChannelThresholds {
    double doseWarning = 0;
    double doseAlarm = 0;
    double rateWarning = 0;
    double rateAlarm = 0;
};

struct IssueThresholds {
    ChannelThresholds gamma;
    ChannelThresholds neutron;   // sent only to a gamma-and-neutron rack
};

// The site's levels and rules.
struct SiteLevels {
    ChannelThresholds gamma{1.5, 3.0, 0.1, 0.2};
    ChannelThresholds neutron{1.5, 3.0, 0.1, 0.2};
    double warningShare = 0.8;     // warning at most this share of the remaining dose
    // On a gamma-and-neutron rack the annual dose is the sum of both channels,
    // but each channel alarms on its own: the neutron channel gets this share
    // of the remaining dose and the gamma channel the rest, so that the two
    // alarms together never allow more than what is left.
    double neutronShare = 0.5;
};

// What is left of the annual dose: permitted less current, never below 0.
double remainingDose(double permitted, double current);

// The thresholds of one issue. For each dose channel with the budget b it
// gets (all of the remaining dose on a gamma rack, its share on a
// gamma-and-neutron rack):
//   alarm   = min(site alarm level, b)
//   warning = min(site warning level, warningShare * b, alarm)
// Rate thresholds are the site's. Every value is rounded down to what the
// controller writes (thresholdAsWritten), so the dosimeter never alarms later
// than the budget allows.
IssueThresholds budgetThresholds(const SiteLevels &site, double permitted, double current, bool gammaNeutron);

// The largest number of at most six significant digits that is not above
// the value: what the dosimeter receives when the request carries it. 0 for
// a value that is not above 0 or not finite.
double thresholdAsWritten(double dosimeterValue);

// The request's threshold text for a value in the dosimeter's unit: the value
// times kRequestPerDosimeterUnit, written so that the controller's division
// and six digits give back thresholdAsWritten(value) exactly.
QString requestThresholdText(double dosimeterValue);
