// Commands whose handlers are not connected yet answer "не найдена команда".
#include "dosimeter.h"

QString Get_Nomer_PPD(QString) { return QStringLiteral("{\"error\":\"не найдена команда\"}"); }
