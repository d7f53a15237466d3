#include "rackmap.h"

#include "cellnumber.h"
#include "dosimeterprobe.h"
#include "hubid.h"
#include "jsonresult.h"
#include "log.h"
#include "settings.h"
#include "statefiles.h"

#include <QFileInfo>

namespace {

const QString kHubFile = QStringLiteral("hub.ini");

// A device that a client names is looked at only when it is one of the rack's
// candidate devices and exists on the system.
bool rackDevicePresent(const QString &port)
{
    return !port.isEmpty() && G_ports_dkg.contains(port) && QFileInfo::exists(port);
}

QString missingDeviceReply(const QString &port, const QString &cell)
{
    const QString error = QStringLiteral("Не найден дозиметр по номеру порта: ") + port
        + QStringLiteral(" ячейка ") + cell;
    return QStringLiteral("{\"port\": \"") + jsonEscape(port) + QStringLiteral("\", \"cell\": \"")
        + jsonEscape(cell) + QStringLiteral("\", \"error\":\"") + jsonEscape(error) + QStringLiteral("\"}");
}

QString recordedReply(const QString &port, const QString &cell, const QString &error)
{
    return QStringLiteral("{\"port\": \"") + jsonEscape(port) + QStringLiteral("\", \"cell\": \"")
        + jsonEscape(cell) + QStringLiteral("\",\"error\":\"") + jsonEscape(error) + QStringLiteral("\"}");
}

// Writes a state file; a failed write is logged, as nobody waits for a reply.
void saveOrLog(const StateFile &file, StateFile::WriteMode mode)
{
    if (file.trySave(mode) == StateFile::Failed)
        logLine(QStringLiteral("Ошибка записи ") + QFileInfo(file.path()).fileName());
}

// Creates a missing per-cell file with the given value on each of its lines.
void createIfMissing(const QString &path, int lines, const QString &value)
{
    if (QFileInfo::exists(path))
        return;
    StateFile file(path);
    file.clearAll();
    for (int i = 0; i < lines; ++i)
        file.append(value);
    saveOrLog(file, StateFile::CreateIfMissing);
}

// Asks every present candidate device for its number and user, and records
// the free dosimeters in the cell whose hub id they sit behind.
void scanDevices(const StateFile &hub)
{
    const int count = hub.size();
    StateFile numbers(statePath(QStringLiteral("/nomer_ppd.ini")));
    StateFile ports(statePath(QStringLiteral("/port.ini")));
    numbers.clearAll();
    ports.clearAll();
    for (int i = 0; i < count; ++i) {
        numbers.append(QString());
        ports.append(QString());
    }

    const int scanned = qMin(count, G_ports_dkg.size());
    for (int i = 0; i < scanned; ++i) {
        const QString device = G_ports_dkg.at(i);
        if (!QFileInfo::exists(device))
            continue;

        const DosimeterIdentity id = readIdentity(device);
        if (!id.ok)
            continue;
        if (!id.userId.isEmpty()) {
            logLine(QStringLiteral("не ид"));
            continue;
        }

        const QString hubId = Get_hub_id(device);
        logLine(hubId);
        const int cell = hubLine(hub, hubId);
        if (cell < 0)
            continue;
        logLine(QStringLiteral("найден"));
        numbers.set(cell, id.number);
        ports.set(cell, device);
    }

    saveOrLog(numbers, StateFile::CreateIfMissing);
    saveOrLog(ports, StateFile::CreateIfMissing);
}

} // namespace

QString Init_start()
{
    G_Path_RAM = settingsText(QStringLiteral("Path_RAM"), QStringLiteral("/tmp/pelk1300"));
    G_kas_count_cell = settingsInt(QStringLiteral("kas_count_cell"), QStringLiteral("30"));

    const StateFile hub(kHubFile);
    if (G_kas_count_cell < hub.size())
        G_kas_count_cell = hub.size();
    logLine(QStringLiteral("G_kas_count_cell-") + QString::number(G_kas_count_cell));

    // An unreadable calibration would create a rack of no cells that later
    // starts keep for good: leave the files alone until it can be read.
    if (hub.unreadable()) {
        logLine(QStringLiteral("не удалось прочитать hub.ini"));
        return QStringLiteral("success");
    }

    const int cells = hub.size();
    createIfMissing(statePath(QStringLiteral("/error.ini")), cells, QString());
    if (!QFileInfo::exists(statePath(QStringLiteral("/nomer_ppd.ini"))))
        scanDevices(hub);
    createIfMissing(statePath(QStringLiteral("/datatime.ini")), cells, QStringLiteral("0"));
    return QStringLiteral("success");
}

QString Init_hub_ini(QString port, QString cell)
{
    if (!rackDevicePresent(port))
        return missingDeviceReply(port, cell);

    const QString id = Get_hub_id(port);
    if (id.isEmpty())
        return missingDeviceReply(port, cell);

    StateFile hub(kHubFile);
    for (const QString &line : hub.values())
        logLine(line);

    // Cell n goes before list position n - 1; a text that is not a number
    // counts as 0 and, like any number below 1, inserts at the front.
    // Cell 1 starts the numbering again.
    const int line = cellLine(cell);
    if (line == 0)
        hub.clearAll();
    hub.insert(line, id);

    QString error;
    if (!hub.save(StateFile::CreateIfMissing))
        error = QStringLiteral("Ошибка записи hub.ini");
    return recordedReply(port, cell, error);
}
