#pragma once

#include <QString>

// Issue of a dosimeter to a worker, gamma racks.
QString IN_g(QString command, QString gdel, QString gde2, QString gderl, QString gder2,
             QString order, QString uid, QString uname);

// Issue of a dosimeter to a worker, gamma and neutron racks.
QString IN_gn(QString command, QString gdel, QString gde2, QString gderl, QString gder2,
              QString ndel, QString nde2, QString nderl, QString nder2,
              QString order, QString uid, QString uname);
