// Commands whose handlers are not connected yet answer "не найдена команда".
#include "issueworkflow.h"
#include "returnworkflow.h"

static QString notConnected() { return QStringLiteral("{\"error\":\"не найдена команда\"}"); }
QString IN_g(QString, QString, QString, QString, QString, QString, QString, QString) { return notConnected(); }
QString IN_gn(QString, QString, QString, QString, QString, QString, QString, QString, QString, QString, QString, QString) { return notConnected(); }
QString QUT_1300_g() { return notConnected(); }
QString QUT_1300_gn() { return notConnected(); }
QString OUT_true(QString, QString, QString) { return notConnected(); }
QString OUT_Get_history(QString, QString, QString) { return notConnected(); }
