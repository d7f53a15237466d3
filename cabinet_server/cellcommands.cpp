#include "cellcommands.h"

#include "cellnumber.h"
#include "dosesafety.h"
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
// An unblock that was refused: the cell is not freed, and error says why.
QString keptReply(const QString &error)
{
    return QStringLiteral("{\"cell\":\"\",\"error\":\"") + jsonEscape(error) + QStringLiteral("\"}");
}

// The line of a cell number, with the index logged as it is computed.
int loggedCellLine(const QString &cell)
{
    logLine(QStringLiteral("ячейка ") + QString::number(cellIndex(cell)));
    return cellLine(cell);
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

    const int i = loggedCellLine(cell);
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

    StateWrites writes;
    writes.clearLine(errors, i);
    writes.clearLine(numbers, i);
    writes.clearLine(ports, i);
    return freeReply(writes.errorText());
}

QString cell_error(QString port, QString cell, QString block)
{
    StateFile numbers(statePath(QStringLiteral("/nomer_ppd.ini")));
    StateFile errors(statePath(QStringLiteral("/error.ini")));
    StateFile times(statePath(QStringLiteral("/datatime.ini")));
    StateFile ports(statePath(QStringLiteral("/port.ini")));

    const int i = loggedCellLine(cell);
    StateWrites writes;

    if (!block.isEmpty()) {
        writes.setLine(errors, i, block);
        return freeReply(writes.errorText());
    }

    if (!ports.has(i))
        return freeReply();

    // The request's device is used only when it is one of the rack's devices.
    const QString device = ports.value(i);
    if (!devicePresent(device) || port.isEmpty() || !G_ports_dkg.contains(port)) {
        writes.clearLine(errors, i);
        return freeReply(writes.errorText());
    }

    const CommandReply numberReply(Get_Nomer_PPD(device));
    const QString number = numberReply.value(QStringLiteral("nomer_pdd"));
    // Nothing changes, the block text included, while the dose the dosimeter
    // carries is not on record.
    const QString refused = dosesafety::beforeErasing({i, port, number, dosesafety::Eraser::Unblock});
    if (!refused.isEmpty())
        return keptReply(refused);
    if (numberReply.ok() && !number.isEmpty()) {
        writes.clearLine(errors, i);
        writes.setLine(times, i, QString::number(nowSecondsUtc()));
        writes.setLine(numbers, i, number);
        writes.setLine(ports, i, port);
    } else {
        logLine(QStringLiteral("Ошибка чтения номера дозиметра"));
    }
    logLine(QStringLiteral("Номер дозиметра ") + number);

    const QStringList failures = resetDosimeter(port, number);

    writes.clearLine(errors, i);
    return freeReply(writes.withErrors(failures.join(QStringLiteral("; "))));
}
