#pragma once

#include <QString>

// Commands on whole cells.
QString Kas_status();
QString cell_free(QString nomer_ppd, QString cell);
QString cell_error(QString port, QString cell, QString block);
