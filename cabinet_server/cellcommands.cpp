#include "cellcommands.h"

#include "dosimeter.h"
#include "dosimeterprobe.h"
#include "dosimeterreset.h"
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


// One JSON array body: each value quoted and escaped, joined by ", ".
QString quotedValues(const StateFile &file, int count)
{
    QStringList items;
    items.reserve(count);
    for (int i = 0; i < count; ++i)
        items << QLatin1Char('"') + jsonEscape(file.value(i)) + QLatin1Char('"');
    return items.join(QStringLiteral(", "));
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

    const QStringList failures = resetDosimeter(port, number);

    if (errors.clear(i))
        writes.save(errors);
    return freeReply(writes.withErrors(failures.join(QStringLiteral("; "))));
}
