#pragma once

#include <QByteArray>
#include <QString>

// One request/reply exchange with a dosimeter: open the port at 115200 baud,
// drop whatever the device left in its input, write the request, collect the
// reply until the line is silent for 100 ms, close. With reply_end=frame the
// reply also ends as soon as the bytes received form one complete frame that
// echoes the request's command code and dosimeter number; whole frames that
// do not (late copies of earlier replies) are dropped and reading goes on.
// The exchange never takes longer than 3 s and keeps at most 64 KiB, so a
// device that never falls silent cannot hold the controller. A port that is
// not one of the rack's candidate devices (G_ports_dkg) is never opened and
// gives an empty reply, as does a port that cannot be opened.

constexpr int kExchangeSilenceMs = 100;
constexpr int kExchangeDeadlineMs = 3000;
constexpr int kExchangeMaxReply = 64 * 1024;
constexpr int kExchangeBaud = 115200;

QByteArray Compport(QString port, QByteArray request);
