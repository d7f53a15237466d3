#pragma once

#include <QString>

// The error.ini texts that hand a cell over between the workflows. The issue
// and return workflows write them; the operator console reads a cell's state
// from them.
namespace celltext {

// Issued, waiting for the worker to take the dosimeter.
inline QString issued() { return QStringLiteral("Дозиметр ожидает, чтобы его забрали"); }
// Returned, waiting for "OUT_true"; the status text of the readings follows.
inline QString awaitingConfirmation() { return QStringLiteral("Ждет подтвержения сдачи "); }
// A failed issue on a gamma rack and on a gamma-and-neutron rack; the error text follows.
inline QString issueFailedGamma()
{
    return QStringLiteral("error : Произошла критическая ошибка при выдачи дозиметра повторите операцию ");
}
inline QString issueFailedGammaNeutron()
{
    return QStringLiteral("error:Произошла критическая ошибка при выдачи дозиметра повторите операцию ");
}
// A failed read-out of a returned dosimeter; the error text follows.
inline QString returnFailed() { return QStringLiteral("error:Произошла критическая ошибка при Сдаче дозиметра "); }

} // namespace celltext
