#include "issueworkflow.h"

#include "celltexts.h"
#include "dosesafety.h"
#include "dosimeter.h"
#include "dosimeterprobe.h"
#include "hubid.h"
#include "log.h"
#include "settings.h"
#include "statefiles.h"
#include "workflowsteps.h"

#include <QVector>

#include <functional>

using workflow::Step;

namespace {

using ResetCommand = QString (*)(QString, QString);
using ValueCommand = QString (*)(QString, QString, QString);

// A reset-like step: its log on success (followed by the value) and on
// failure; the gamma maximum-rate reset also logs its value line after a failure.
struct ResetStep
{
    ResetCommand command;
    QString key;
    QString writtenText;
    QString failedText;
    bool valueLineAfterFailure;
};

// Log texts of a threshold pair. The "retry" texts are those used after the
// first write failed; empty ones fall back to the direct path's texts.
struct PairTexts
{
    QString firstWritten;
    QString secondWritten;
    QString secondFailed;
    QString firstFailed;
    QString secondWrittenOnRetry;
    QString secondFailedOnRetry;
};

struct ThresholdPair
{
    ValueCommand first;
    QString firstKey;
    ValueCommand second;
    QString secondKey;
    PairTexts texts;
};

// One programming step between the user records and the measurement mode;
// returns the step error it leaves.
using MiddleStep = std::function<QString(const QString &port, const QString &number)>;

// What tells the gamma and the gamma-neutron issue apart.
struct IssueVariant
{
    QString userStillSetLog;
    QString failedCellPrefix;
    QVector<MiddleStep> middleSteps;
};

QString runReset(const ResetStep &s, const QString &port, const QString &number)
{
    const Step r(s.command(port, number));
    if (r.error().isEmpty()) {
        logLine(s.writtenText + r.value(s.key));
    } else {
        logLine(s.failedText);
        if (s.valueLineAfterFailure)
            logLine(s.writtenText + r.value(s.key));
    }
    return r.error();
}

// Writes both thresholds; when the first is refused the second goes first and
// the first is tried once more. Failures are only logged.
QString runPair(const ThresholdPair &p, const QString &v1, const QString &v2, const QString &port,
                const QString &number)
{
    const PairTexts &t = p.texts;
    const Step first(p.first(port, number, v1));
    if (first.error().isEmpty()) {
        logLine(t.firstWritten + first.value(p.firstKey));
        const Step second(p.second(port, number, v2));
        if (second.error().isEmpty())
            logLine(t.secondWritten + second.value(p.secondKey));
        else
            logLine(t.secondFailed);
        return second.error();
    }
    const Step second(p.second(port, number, v2));
    if (second.error().isEmpty())
        logLine((t.secondWrittenOnRetry.isEmpty() ? t.secondWritten : t.secondWrittenOnRetry)
                + second.value(p.secondKey));
    else
        logLine(t.secondFailedOnRetry.isEmpty() ? t.secondFailed : t.secondFailedOnRetry);
    const Step retry(p.first(port, number, v1));
    if (retry.error().isEmpty())
        logLine(t.firstWritten + retry.value(p.firstKey));
    else
        logLine(t.firstFailed);
    return retry.error();
}

MiddleStep resetStep(const ResetStep &s)
{
    return [s](const QString &port, const QString &number) { return runReset(s, port, number); };
}

MiddleStep pairStep(const ThresholdPair &p, const QString &userValue1, const QString &userValue2)
{
    const QString v1 = workflow::thresholdText(userValue1);
    const QString v2 = workflow::thresholdText(userValue2);
    return [p, v1, v2](const QString &port, const QString &number) { return runPair(p, v1, v2, port, number); };
}

QVector<MiddleStep> gammaSteps(const QString &gdel, const QString &gde2, const QString &gderl,
                               const QString &gder2)
{
    return {
        resetStep({Reset_de, QStringLiteral("reset_de"), QStringLiteral("Сброс ЭД "),
                   QStringLiteral("Ошибка, сброса ЭД"), false}),
        resetStep({Set_maxder, QStringLiteral("set_maxder"), QStringLiteral("Сброс максимальной МЭД "),
                   QStringLiteral("Ошибка, сброса максимальной МЭД"), true}),
        pairStep({Set_de1, QStringLiteral("set_de1"), Set_de2, QStringLiteral("set_de2"),
                  {QStringLiteral("Записан, 1-й порог по ЭД гамма "), QStringLiteral("Записан, 2-й порог по ЭД гамма "),
                   QStringLiteral("Ошибка записи 2-го порога ЭД гамма"),
                   QStringLiteral("Ошибка записи 1-го порога ЭД гамма"), QString(), QString()}},
                 gdel, gde2),
        pairStep({Set_der1, QStringLiteral("set_der1"), Set_der2, QStringLiteral("set_der2"),
                  {QStringLiteral("Записан, 1-й порог по МЭД гамма "),
                   QStringLiteral("Записан, 2-й порог по МЭД гамма "),
                   QStringLiteral("Ошибка записи 2-го порога МЭД гамма"),
                   QStringLiteral("Ошибка записи 1-го порога МЭД гамма"), QString(), QString()}},
                 gderl, gder2),
    };
}

QVector<MiddleStep> neutronSteps(const QString &ndel, const QString &nde2, const QString &nderl,
                                 const QString &nder2)
{
    return {
        resetStep({Reset_nde, QStringLiteral("reset_nde"), QStringLiteral("Сброс ЭД нейтронного канала "),
                   QStringLiteral("Ошибка, сброса ЭД нейтронного канала "), false}),
        resetStep({Set_nmaxder, QStringLiteral("set_nmaxder"),
                   QStringLiteral("Сброс максимальной МЭД нейтронного канала "),
                   QStringLiteral("Ошибка, сброса максимальной МЭД нейтронного канала "), false}),
        pairStep({Set_nde1, QStringLiteral("set_nde1"), Set_nde2, QStringLiteral("set_nde2"),
                  {QStringLiteral("Записан, 1-й порог по ЭД нейтронного канала "),
                   QStringLiteral("Записан, 2-й порог по ЭД n "), QStringLiteral("Ошибка записи 2-го порога ЭД n"),
                   QStringLiteral("Ошибка записи 1-го порога ЭД нейтронного канала"),
                   QStringLiteral("Записан, 2-й порог по ЭД нейтронного канала "),
                   QStringLiteral("Ошибка записи 2-го порога ЭД нейтронного канала")}},
                 ndel, nde2),
        pairStep({Set_nder1, QStringLiteral("set_nder1"), Set_nder2, QStringLiteral("set_nder2"),
                  {QStringLiteral("Записан, 1-й порог по МЭД нейтронного канала "),
                   QStringLiteral("Записан, 2-й порог по МЭД нейтронного канала "),
                   QStringLiteral("Ошибка записи 2-го порога МЭД нейтронного канала"),
                   QStringLiteral("Ошибка записи 1-го порога МЭД нейтронного канала"), QString(), QString()}},
                 nderl, nder2),
    };
}

struct ChosenCell
{
    QString port;
    int cell = -1;
};

// The first present, error-free, rested dosimeter without a user, and the
// cell whose hub id matches its port. The first free dosimeter ends the
// search even when its hub id matches no cell.
ChosenCell chooseCell(const IssueVariant &variant, const StateFile &hub, const StateFile &nomer,
                      const StateFile &error, const StateFile &datatime, const StateFile &port)
{
    ChosenCell chosen;
    for (int i = 0; i < nomer.size(); ++i) {
        if (nomer.isBlank(i) || !error.isBlank(i) || !datatime.has(i) || !port.has(i))
            continue;
        if (!workflow::restedLongEnough(nowSecondsUtc(), datatime.value(i), G_Time_energe_ppd))
            continue;
        const QString p = port.value(i);
        const DosimeterIdentity id = readIdentity(p);
        if (!id.ok)
            continue;
        if (!id.userId.isEmpty()) {
            logLine(variant.userStillSetLog);
            continue;
        }
        const int j = hubLine(hub, Get_hub_id(p));
        if (j >= 0) {
            logLine(QStringLiteral("найден порт"));
            chosen.port = p;
            chosen.cell = j;
        }
        break;
    }
    return chosen;
}

QString runIssue(const IssueVariant &variant, const QString &command, const QString &order, const QString &uid,
                 const QString &uname)
{
    const StateFile hub(QStringLiteral("hub.ini"));
    const StateFile nomer(statePath(QStringLiteral("/nomer_ppd.ini")));
    StateFile error(statePath(QStringLiteral("/error.ini")));
    const StateFile datatime(statePath(QStringLiteral("/datatime.ini")));
    const StateFile portFile(statePath(QStringLiteral("/port.ini")));

    const ChosenCell chosen = chooseCell(variant, hub, nomer, error, datatime, portFile);
    if (chosen.port.isEmpty())
        return QStringLiteral("{\"error\":\"no_cell\"}");
    const QString port = chosen.port;
    logLine(port);

    QString stepError;
    QString errorText;

    // 1. The number every later step addresses.
    const Step numberStep(Get_Nomer_PPD(port));
    if (!numberStep.isObject()) {
        stepError = workflow::notObjectMarker();
        errorText += stepError;
    }
    const QString number = numberStep.value(QStringLiteral("nomer_pdd"));
    stepError = numberStep.error();
    if (!stepError.isEmpty()) {
        errorText += stepError + QStringLiteral("Ошибка чтения номера дозиметра");
        logLine(QStringLiteral("Ошибка чтения номера дозиметра"));
    }

    // The programming resets the dose: a dose the dosimeter still carries
    // must be on record first. Refused, the issue fails as any failed issue
    // does (the cell is marked, so that the next issue takes another one),
    // and the dosimeter keeps its dose.
    StateWrites writes;
    auto failed = [&](const QString &text) {
        writes.setLine(error, chosen.cell, variant.failedCellPrefix + text);
        return QStringLiteral("{\"error\":\"Произошла критическая ошибка при выдачи дозиметра \n повторите операцию \n ")
            + jsonEscape(writes.withErrors(text)) + QStringLiteral("\"}");
    };
    const QString refused = dosesafety::beforeErasing({chosen.cell, port, number, dosesafety::Eraser::Issue});
    if (!refused.isEmpty())
        return failed(errorText + refused);

    // 2-4. The user records; each step error carries the previous one forward.
    auto carry = [&stepError](const Step &s) {
        if (!s.isObject())
            stepError = workflow::notObjectMarker();
        stepError += s.error();
    };
    const Step idStep(Set_user_id(port, number, uid.toUpper()));
    carry(idStep);
    if (!stepError.isEmpty()) {
        errorText += stepError + QStringLiteral(" Ошибка записи идентификатора пользователя");
        logLine(QStringLiteral("Ошибка записи идентификатора пользователя"));
    }
    logLine(QStringLiteral("Записан, идентификатор пользователя ") + idStep.value(QStringLiteral("set_user_id")));

    const Step orderStep(Set_user_order(port, number, order.toUpper()));
    carry(orderStep);
    if (!stepError.isEmpty()) {
        errorText += stepError + QStringLiteral("Ошибка наряда идентификатора пользователя");
        logLine(QStringLiteral("Ошибка наряда идентификатора пользователя"));
    }
    logLine(QStringLiteral("Записан, наряд пользователя ") + orderStep.value(QStringLiteral("set_user_order")));

    const Step nameStep(Set_user_PPD(port, number, uname.toUpper()));
    carry(nameStep);
    if (!stepError.isEmpty())
        logLine(QStringLiteral("Ошибка записи имени пользователя"));
    logLine(QStringLiteral("Записано, имя пользователя ") + nameStep.value(QStringLiteral("set_user_name")));

    // Resets and thresholds: only logged, they never fail the issue.
    for (const MiddleStep &step : variant.middleSteps)
        stepError = step(port, number);

    const Step screen(Set_screen_on_PPD(port, number));
    stepError = screen.error();
    if (stepError.isEmpty())
        logLine(QStringLiteral("установлен режим измерения"));
    else
        logLine(QStringLiteral("Ошибка установки режима измерения set_screen_on"));

    const Step ack(Ack_configuration_PPD(port, number));
    stepError = ack.error();
    if (stepError.isEmpty()) {
        logLine(QStringLiteral("Подтверждена конфигурация оборудования"));
    } else {
        logLine(QStringLiteral("Ошибка установки конфиграции дозиметра"));
        errorText += stepError;
    }

    // The outcome recorded in error.ini; a failed write is added to the reply.
    if (!errorText.isEmpty())
        return failed(errorText + stepError);
    writes.setLine(error, chosen.cell, celltext::issued());
    return QStringLiteral("{\"comand\":\"") + jsonEscape(command) + QStringLiteral("\",\"nomer_pdd\":\"")
        + jsonEscape(number) + QStringLiteral("\",\"port\":\"") + jsonEscape(port)
        + QStringLiteral("\",\"cell\":\"") + QString::number(chosen.cell + 1) + QStringLiteral("\",\"error\":\"")
        + jsonEscape(writes.errorText()) + QStringLiteral("\"}");
}

} // namespace

QString IN_g(QString command, QString gdel, QString gde2, QString gderl, QString gder2, QString order, QString uid,
             QString uname)
{
    const IssueVariant gamma{
        QStringLiteral("не ид"),
        celltext::issueFailedGamma(),
        gammaSteps(gdel, gde2, gderl, gder2)};
    return runIssue(gamma, command, order, uid, uname);
}

QString IN_gn(QString command, QString gdel, QString gde2, QString gderl, QString gder2, QString ndel, QString nde2,
              QString nderl, QString nder2, QString order, QString uid, QString uname)
{
    IssueVariant gammaNeutron{
        QStringLiteral("идентификатор пользователя найден "),
        celltext::issueFailedGammaNeutron(),
        gammaSteps(gdel, gde2, gderl, gder2)};
    gammaNeutron.middleSteps += neutronSteps(ndel, nde2, nderl, nder2);
    return runIssue(gammaNeutron, command, order, uid, uname);
}
