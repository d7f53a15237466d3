#include "issuesteps.h"

#include "globals.h"
#include "login.h"

#include <QAtomicInteger>
#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace IssueText {
const QString Issuing = QStringLiteral("Выдача дозиметра…");
const QString IssuingStatus = QStringLiteral("Подождите: кассетница готовит ваш дозиметр");
const QString OrderHeading = QStringLiteral("Введите номер наряда");
const QString NoController = QStringLiteral("Нет связи с кассетницей. Дозиметр не выдан, обратитесь к технику");
const QString ControllerSilent = QStringLiteral("Кассетница не ответила вовремя. Обратитесь к технику");
const QString ControllerGarbled = QStringLiteral("Кассетница ответила с ошибкой. Обратитесь к технику");
const QString NoDosimeter = QStringLiteral("Нет готового дозиметра. Повторите позже или обратитесь к технику");
const QString IssueFailed = QStringLiteral("Ошибка выдачи дозиметра. Обратитесь к технику");
const QString NoIdentifier =
    QStringLiteral("Для дозиметра нет вашего идентификатора в базе. Обратитесь к администратору");
const QString IdentifierTooLong =
    QStringLiteral("Ваш идентификатор длиннее 20 знаков, дозиметр его не примет. Обратитесь к администратору");

QString takeHeading(int cell)
{
    return QStringLiteral("Возьмите дозиметр из ячейки %1").arg(cell);
}

QString takeStatus(int secondsLeft)
{
    return QStringLiteral("Ячейка ждёт вас ещё %1 с").arg(secondsLeft);
}

QString notTaken(int cell)
{
    return QStringLiteral("Дозиметр не забран из ячейки %1. Ячейка оставлена для техника").arg(cell);
}

QString budgetUsedUp(double current, double permitted, const QString &unit, const QString &name)
{
    return QStringLiteral("Годовая доза исчерпана: получено %1 из %2 %3 ")
               .arg(QString::number(current, 'f', 3), QString::number(permitted, 'f', 3), unit)
        + name;
}
} // namespace IssueText

// The dosimeter keeps this many characters of a user text.
static constexpr int kDosimeterTextLength = 20;

DatabaseParams DatabaseParams::current()
{
    DatabaseParams p;
    p.host = G_ip_database;
    p.port = G_port_database;
    p.database = G_DatabaseName;
    p.user = G_UserName;
    p.password = G_Password;
    p.options = databaseConnectOptions();
    return p;
}

WorkerBudget readWorkerBudget(const DatabaseParams &params, const QString &userId, const QString &annualDoseKey)
{
    static QAtomicInteger<quint64> counter;
    const QString name = QStringLiteral("self-service-%1").arg(counter.fetchAndAddRelaxed(1));
    WorkerBudget b;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(params.host);
        if (params.port > 0)
            db.setPort(params.port);
        db.setDatabaseName(params.database);
        db.setUserName(params.user);
        db.setPassword(params.password);
        db.setConnectOptions(params.options);
        bool ok = false;
        const int id = userId.toInt(&ok);
        if (db.open() && ok && isAnnualDoseKey(annualDoseKey)) {
            QSqlQuery q(db);
            // The key is one of four column names, never a value from outside.
            q.prepare(QStringLiteral("SELECT CAST(%1 AS text), dose_year, dose_year_now_ppd FROM users "
                                     "WHERE user_id = :user_id")
                          .arg(annualDoseKey));
            q.bindValue(QStringLiteral(":user_id"), id);
            if (q.exec()) {
                b.read = true;
                if (q.next()) {
                    b.found = true;
                    b.uid = q.value(0).toString().trimmed();
                    b.permitted = q.value(1).toDouble();
                    b.current = q.value(2).toDouble();
                }
            } else {
                qDebug() << "self-service: worker's budget not read:" << q.lastError().text();
            }
        } else {
            qDebug() << "self-service: database not opened:" << db.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return b;
}

QString budgetRefusal(const WorkerBudget &budget, const QString &unit, const QString &name)
{
    if (!budget.found || budget.uid.isEmpty())
        return IssueText::NoIdentifier;
    if (budget.uid.size() > kDosimeterTextLength)
        return IssueText::IdentifierTooLong;
    if (budget.left() <= 0)
        return IssueText::budgetUsedUp(budget.current, budget.permitted, unit, name);
    return QString();
}

QString dosimeterName(const QString &threeLineName)
{
    const QStringList parts = threeLineName.split(QLatin1Char('\n'));
    QString name = parts.value(0).trimmed();
    QString initials;
    for (int i = 1; i < parts.size(); ++i) {
        const QString p = parts.at(i).trimmed();
        if (!p.isEmpty())
            initials += p.at(0) + QStringLiteral(".");
    }
    if (!initials.isEmpty())
        name += QLatin1Char(' ') + initials;
    return name.left(kDosimeterTextLength);
}

QJsonObject issueRequest(const SelfServiceSettings &settings, const QString &uid, const QString &uname,
                         const QString &order, const IssueThresholds &t)
{
    QJsonObject r{
        {QStringLiteral("command"), settings.gammaNeutron ? QStringLiteral("IN_gn") : QStringLiteral("IN_g")},
        {QStringLiteral("uid"), uid},
        {QStringLiteral("uname"), uname},
        {QStringLiteral("order"), order.isEmpty() ? settings.defaultOrder : order},
        {QStringLiteral("gdel"), requestThresholdText(t.gamma.doseWarning)},
        {QStringLiteral("gde2"), requestThresholdText(t.gamma.doseAlarm)},
        {QStringLiteral("gderl"), requestThresholdText(t.gamma.rateWarning)},
        {QStringLiteral("gder2"), requestThresholdText(t.gamma.rateAlarm)},
    };
    if (settings.gammaNeutron) {
        r.insert(QStringLiteral("ndel"), requestThresholdText(t.neutron.doseWarning));
        r.insert(QStringLiteral("nde2"), requestThresholdText(t.neutron.doseAlarm));
        r.insert(QStringLiteral("nderl"), requestThresholdText(t.neutron.rateWarning));
        r.insert(QStringLiteral("nder2"), requestThresholdText(t.neutron.rateAlarm));
    }
    return r;
}

IssueResult interpretIssueReply(const controllerclient::Reply &reply)
{
    IssueResult r;
    using Status = controllerclient::Reply::Status;
    switch (reply.status) {
    case Status::NotConnected:
        r.notice = IssueText::NoController;
        r.logText = reply.failure;
        return r;
    case Status::NoReply:
        r.notice = IssueText::ControllerSilent;
        r.logText = reply.failure;
        return r;
    case Status::NotJson:
        r.notice = IssueText::ControllerGarbled;
        r.logText = reply.failure + QStringLiteral(": ") + QString::fromUtf8(reply.raw.left(200));
        return r;
    case Status::Ok:
        break;
    }
    bool ok = false;
    const int cell = reply.value("cell").toInt(&ok, 10);
    const QString number = reply.value("nomer_pdd");
    if (ok && cell > 0 && !number.isEmpty()) {
        r.issued = true;
        r.cell = cell;
        r.number = number;
        // A state file the controller could not write: issued all the same.
        r.logText = reply.error();
        return r;
    }
    r.notice = reply.error() == QLatin1String("no_cell") ? IssueText::NoDosimeter : IssueText::IssueFailed;
    r.logText = QString::fromUtf8(reply.raw.left(400));
    return r;
}

QJsonObject cellFreeRequest(const QString &number, int cell)
{
    return {{QStringLiteral("command"), QStringLiteral("cell_free")},
            {QStringLiteral("nomer_ppd"), number},
            {QStringLiteral("cell"), QString::number(cell)}};
}

TakeState interpretCellFree(const controllerclient::Reply &reply)
{
    if (!reply.ok() || !reply.object.contains(QStringLiteral("cell")))
        return TakeState::Unknown;
    return reply.value("cell") == QLatin1String("free") ? TakeState::Taken : TakeState::InCell;
}
