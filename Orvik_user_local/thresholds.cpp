#include "thresholds.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace {

// A double as "%.*g" writes it in the "C" locale, whatever the process locale.
std::string general(double value, int digits)
{
    char buf[64];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits);
    return std::string(buf, r.ptr);
}

double parse(const std::string &text)
{
    return std::strtod(text.c_str(), nullptr);
}

ChannelThresholds channel(const ChannelThresholds &site, double budget, double warningShare)
{
    ChannelThresholds t = site;
    t.doseAlarm = std::min(site.doseAlarm, budget);
    t.doseWarning = std::min({site.doseWarning, warningShare * budget, t.doseAlarm});
    t.doseAlarm = thresholdAsWritten(t.doseAlarm);
    t.doseWarning = thresholdAsWritten(t.doseWarning);
    t.rateAlarm = thresholdAsWritten(t.rateAlarm);
    t.rateWarning = thresholdAsWritten(t.rateWarning);
    return t;
}

} // namespace

double remainingDose(double permitted, double current)
{
    const double left = permitted - current;
    return std::isfinite(left) && left > 0 ? left : 0.0;
}

double thresholdAsWritten(double value)
{
    if (!std::isfinite(value) || value <= 0)
        return 0.0;
    double written = parse(general(value, 6));
    if (written > value) {
        // Rounded up: one unit of the value's sixth digit less, rounded again.
        const double step = std::pow(10.0, std::floor(std::log10(value)) - 5);
        written = parse(general(written - step, 6));
    }
    return written;
}

IssueThresholds budgetThresholds(const SiteLevels &site, double permitted, double current, bool gammaNeutron)
{
    const double left = remainingDose(permitted, current);
    const double neutronShare = gammaNeutron ? std::clamp(site.neutronShare, 0.0, 1.0) : 0.0;
    const double share = std::clamp(site.warningShare, 0.0, 1.0);
    IssueThresholds t;
    t.gamma = channel(site.gamma, left * (1.0 - neutronShare), share);
    t.neutron = channel(site.neutron, left * neutronShare, share);
    return t;
}

QString requestThresholdText(double dosimeterValue)
{
    const double written = thresholdAsWritten(dosimeterValue);
    // 17 digits keep the product exact enough that dividing by 1000 and
    // rounding to six digits gives the written value back.
    return QString::fromStdString(general(written * kRequestPerDosimeterUnit, 17));
}
