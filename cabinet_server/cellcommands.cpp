#include "cellcommands.h"

#include "dosimeter.h"
#include "jsonresult.h"
#include "log.h"
#include "settings.h"
#include "statefiles.h"

#include <QFileInfo>

namespace {

// The "free" reply; error names the state files that could not be written.
QString freeReply(const QString &error = QString())
{
    return QStringLiteral("{\"cell\":\"free\",\"error\":\"") + jsonEscape(error) + QStringLiteral("\"}");
}
QString occupiedReply() { return QStringLiteral("{\"cell\":\"\",\"error\":\"\"}"); }

// The list index of a cell number (a text that is not a number is cell 0),
// logged as it is computed; every index below 0 is as good as -1.
int cellIndex(const QString &cell)
{
    bool ok = false;
    const int n = cell.toInt(&ok, 10);
    logLine(QStringLiteral("ячейка ") + QString::number(ok ? qint64(n) - 1 : -1));
    return ok && n > 0 ? n - 1 : -1;
}

bool devicePresent(const QString &device)
{
    return !device.isEmpty() && QFileInfo::exists(device);
}

// One JSON array body: each value quoted and escaped, joined by ", ".
QString quotedValues(const StateFile &file, int count)
{
    QStringList items;
    items.reserve(count);
    for (int i = 0; i < count; ++i)
        items << QLatin1Char('"') + jsonEscape(file.value(i)) + QLatin1Char('"');
    return items.join(QStringLiteral(", "));
}

// One reset step of an unblock: logs its line and keeps the message of a
// failure, so that the reply can tell which steps did not take.
enum class StepLog { None, WithValue, Fixed, Always };

void runStep(const QString &result, const QString &resultKey, StepLog mode, const QString &line,
             QStringList *failures)
{
    const CommandReply reply(result);
    if (mode == StepLog::Always || (reply.ok() && mode == StepLog::Fixed))
        logLine(line);
    else if (reply.ok() && mode == StepLog::WithValue)
        logLine(line + reply.value(resultKey));
    if (!reply.ok())
        *failures << (reply.isObject() ? reply.error() : result);
}

} // namespace

// A rack report never lists more cells than this: a mistyped "kas_count_cell"
// of billions would otherwise exhaust the memory on every request.
constexpr int kMaxReportedCells = 4096;

QString Kas_status()
{
    const int count = qBound(0, G_kas_count_cell, kMaxReportedCells);
    const StateFile ports(statePath(QStringLiteral("/port.ini")));
    const StateFile errors(statePath(QStringLiteral("/error.ini")));

    QStringList sensors;
    for (int i = 0; i < count; ++i)
        sensors << QStringLiteral("0");

    return QStringLiteral("{\"cell_sensor\": [") + sensors.join(QStringLiteral(", "))
        + QStringLiteral("], \"cell_port\": [") + quotedValues(ports, count)
        + QStringLiteral("], \"cell_error\": [") + quotedValues(errors, count)
        + QStringLiteral("], \"error\":\"\"}");
}

QString cell_free(QString nomer_ppd, QString cell)
{
    StateFile numbers(statePath(QStringLiteral("/nomer_ppd.ini")));
    StateFile errors(statePath(QStringLiteral("/error.ini")));
    StateFile ports(statePath(QStringLiteral("/port.ini")));

    const int i = cellIndex(cell);
    // A cell without a line of its own has nothing to clear.
    if (!ports.has(i))
        return freeReply();

    const QString device = ports.value(i);
    if (devicePresent(device)) {
        const CommandReply reply(Get_Nomer_PPD(device));
        const QString number = reply.value(QStringLiteral("nomer_pdd"));
        if (!reply.ok())
            logLine(QStringLiteral("Ошибка чтения номера дозиметра"));
        logLine(QStringLiteral("Номер дозиметра ") + number);
        // The device is still there: a read that failed says nothing about
        // whether the issued dosimeter has left.
        if (!reply.ok() || number == nomer_ppd)
            return occupiedReply();
    }

    errors.clear(i);
    numbers.clear(i);
    ports.clear(i);
    StateWrites writes;
    writes.save(errors);
    writes.save(numbers);
    writes.save(ports);
    return freeReply(writes.errorText());
}

QString cell_error(QString port, QString cell, QString block)
{
    StateFile numbers(statePath(QStringLiteral("/nomer_ppd.ini")));
    StateFile errors(statePath(QStringLiteral("/error.ini")));
    StateFile times(statePath(QStringLiteral("/datatime.ini")));
    StateFile ports(statePath(QStringLiteral("/port.ini")));

    const int i = cellIndex(cell);
    StateWrites writes;

    if (!block.isEmpty()) {
        if (errors.set(i, block))
            writes.save(errors);
        return freeReply(writes.errorText());
    }

    if (!ports.has(i))
        return freeReply();

    // The request's device is used only when it is one of the rack's devices.
    const QString device = ports.value(i);
    if (!devicePresent(device) || port.isEmpty() || !G_ports_dkg.contains(port)) {
        if (errors.clear(i))
            writes.save(errors);
        return freeReply(writes.errorText());
    }

    const CommandReply numberReply(Get_Nomer_PPD(device));
    const QString number = numberReply.value(QStringLiteral("nomer_pdd"));
    if (numberReply.ok() && !number.isEmpty()) {
        if (errors.clear(i))
            writes.save(errors);
        if (times.set(i, QString::number(nowSecondsUtc())))
            writes.save(times);
        if (numbers.set(i, number))
            writes.save(numbers);
        if (ports.set(i, port))
            writes.save(ports);
    } else {
        logLine(QStringLiteral("Ошибка чтения номера дозиметра"));
    }
    logLine(QStringLiteral("Номер дозиметра ") + number);

    const bool neutron = G_type_ppd == QLatin1String("1300GN");
    QStringList failures;
    runStep(Reset_de(port, number), QStringLiteral("reset_de"), StepLog::WithValue,
            QStringLiteral("Сброс ЭД "), &failures);
    runStep(Set_maxder(port, number), QStringLiteral("set_maxder"), StepLog::WithValue,
            QStringLiteral("Сброс максимальной МЭД "), &failures);
    if (neutron) {
        runStep(Reset_nde(port, number), QStringLiteral("reset_nde"), StepLog::WithValue,
                QStringLiteral("Сброс ЭД нейтронного канала "), &failures);
        runStep(Set_nmaxder(port, number), QStringLiteral("set_nmaxder"), StepLog::WithValue,
                QStringLiteral("Сброс максимальной МЭД "), &failures);
    }
    runStep(Set_user_order(port, number, QString()), QStringLiteral("set_user_order"), StepLog::None,
            QString(), &failures);
    // The line names the user id written, which is empty.
    const QString userId;
    runStep(Set_user_id(port, number, userId), QStringLiteral("set_user_id"), StepLog::Always,
            QStringLiteral("Записан, идентификатор пользователя ") + userId, &failures);
    runStep(Set_user_PPD(port, number, QString()), QStringLiteral("set_user_name"), StepLog::Fixed,
            QStringLiteral("Cброс имени пользователя"), &failures);
    runStep(Set_screen_off_PPD(port, number), QStringLiteral("set_screen_off"), StepLog::Fixed,
            QStringLiteral("установлен сервисный режим"), &failures);

    if (errors.clear(i))
        writes.save(errors);
    return freeReply(writes.withErrors(failures.join(QStringLiteral("; "))));
}
