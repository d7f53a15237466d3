#pragma once

#include <QString>

// Start-up discovery: creates the missing state files, brings the ones with
// fewer lines than "hub.ini" to its length (keeping what they hold), and
// registers the free dosimeters found behind the hub positions of "hub.ini".
QString Init_start();

// Command "Init_hub_ini": records the hub id of a device as a line of "hub.ini".
QString Init_hub_ini(QString port, QString cell);
