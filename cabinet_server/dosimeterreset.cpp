#include "dosimeterreset.h"

#include "dosimeter.h"
#include "jsonresult.h"
#include "log.h"
#include "settings.h"

namespace {

enum class StepLog { None, WithValue, Fixed, Always };

// Runs one step's result: logs its line (with the result's value where the
// line takes one) and keeps the message of a failure.
void runStep(const QString &result, const QString &resultKey, StepLog mode, const QString &line,
             QStringList *failures)
{
    const CommandReply reply(result);
    if (mode == StepLog::Always)
        logLine(line + reply.value(resultKey));
    else if (reply.ok() && mode == StepLog::Fixed)
        logLine(line);
    else if (reply.ok() && mode == StepLog::WithValue)
        logLine(line + reply.value(resultKey));
    if (!reply.ok())
        *failures << (reply.isObject() ? reply.error() : result);
}

} // namespace

QStringList resetDosimeter(const QString &port, const QString &number)
{
    QStringList failures;
    runStep(Reset_de(port, number), QStringLiteral("reset_de"), StepLog::WithValue,
            QStringLiteral("Сброс ЭД "), &failures);
    runStep(Set_maxder(port, number), QStringLiteral("set_maxder"), StepLog::WithValue,
            QStringLiteral("Сброс максимальной МЭД "), &failures);
    if (G_type_ppd == QLatin1String("1300GN")) {
        runStep(Reset_nde(port, number), QStringLiteral("reset_nde"), StepLog::WithValue,
                QStringLiteral("Сброс ЭД нейтронного канала "), &failures);
        runStep(Set_nmaxder(port, number), QStringLiteral("set_nmaxder"), StepLog::WithValue,
                QStringLiteral("Сброс максимальной МЭД "), &failures);
    }
    runStep(Set_user_order(port, number, QString()), QStringLiteral("set_user_order"), StepLog::None,
            QString(), &failures);
    runStep(Set_user_id(port, number, QString()), QStringLiteral("set_user_id"), StepLog::Always,
            QStringLiteral("Записан, идентификатор пользователя "), &failures);
    runStep(Set_user_PPD(port, number, QString()), QStringLiteral("set_user_name"), StepLog::Fixed,
            QStringLiteral("Cброс имени пользователя"), &failures);
    runStep(Set_screen_off_PPD(port, number), QStringLiteral("set_screen_off"), StepLog::Fixed,
            QStringLiteral("установлен сервисный режим"), &failures);
    return failures;
}
