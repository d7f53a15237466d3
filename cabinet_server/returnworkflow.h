#pragma once

#include <QString>

// Return scan ("OUT") for gamma and for gamma and neutron racks.
QString QUT_1300_g();
QString QUT_1300_gn();

// Return confirmation and history read-out of one cell.
QString OUT_true(QString nomer_ppd, QString cell, QString error);
QString OUT_Get_history(QString nomer_ppd, QString cell, QString error);
