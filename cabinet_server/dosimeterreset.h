#pragma once

#include <QString>
#include <QStringList>

// Clears a dosimeter for its next issue: dose and maximum dose rate (the
// neutron ones too on a gamma-and-neutron rack), work order, user id and
// name, then service mode. Every step runs whatever the others answered and
// logs its line; returns the messages of the steps that failed.
QStringList resetDosimeter(const QString &port, const QString &number);
