#pragma once

#include <QString>

// How long one device query may take before its output is used as it stands.
extern int G_udevadm_timeout_ms;   // 30 000 ms; tests may lower it

// The hub id of a device path: the USB interface name that stands before the
// tty folder in the device's sysfs path, without its first character
// ("-1.2:1.0" for .../1-1.2/1-1.2:1.0/tty/ttyACM0). Empty when the path does
// not exist or the query gives no usable first line.
QString Get_hub_id(QString device);

// The field rule on the query's output (pure, for tests).
QString hubIdFromUdevOutput(const QByteArray &output);
