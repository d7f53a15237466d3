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

void logCompleted(const QString &path, int lines)
{
    logLine(QStringLiteral("файл ") + QFileInfo(path).fileName() + QStringLiteral(" дополнен до ")
            + QString::number(lines) + QStringLiteral(" строк по hub.ini"));
}

// Brings a per-cell file to one line per cell of the calibration: a missing
// file is created with the value on every line, a shorter one keeps its lines
// and gets the missing ones with that value (a rack calibrated after the
// first start-up). A longer file, or one that cannot be read, is left alone.
void completeFile(const QString &path, int lines, const QString &value)
{
    StateFile file(path);
    const bool existed = file.existedAtLoad();
    if (file.unreadable() || (existed && file.size() >= lines))
        return;
    while (file.size() < lines)
        file.append(value);
    saveOrLog(file, StateFile::CreateIfMissing);
    if (existed)
        logCompleted(path, lines);
}

// Asks every present candidate device that is not registered yet for its
// number and user, and records the free dosimeters in the cell whose hub id
// they sit behind, from line firstLine on.
void scanDevices(const StateFile &hub, StateFile &numbers, StateFile &ports, int firstLine)
{
    const int scanned = qMin(hub.size(), G_ports_dkg.size());
    for (int i = 0; i < scanned; ++i) {
        const QString device = G_ports_dkg.at(i);
        if (!QFileInfo::exists(device) || ports.indexOf(device) >= 0)
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
        if (cell < firstLine)
            continue;
        logLine(QStringLiteral("найден"));
        numbers.set(cell, id.number);
        ports.set(cell, device);
    }

    saveOrLog(numbers, StateFile::CreateIfMissing);
    saveOrLog(ports, StateFile::CreateIfMissing);
}

bool holdsValue(const StateFile &file)
{
    for (const QString &v : file.values()) {
        if (!v.isEmpty())
            return true;
    }
    return false;
}

// The registrations: without "/nomer_ppd.ini" every line is scanned anew (and
// "/port.ini" rewritten). When the files have fewer lines than hub.ini, they
// get the missing lines, and the scan registers dosimeters in those lines
// only; registrations they hold are kept. Files that hold no registration
// at all are scanned as a whole.
void registerDosimeters(const StateFile &hub)
{
    const int cells = hub.size();
    StateFile numbers(statePath(QStringLiteral("/nomer_ppd.ini")));
    StateFile ports(statePath(QStringLiteral("/port.ini")));
    int firstLine = 0;
    if (!numbers.existedAtLoad()) {
        numbers.clearAll();
        ports.clearAll();
    } else {
        if (numbers.unreadable() || ports.unreadable() || numbers.size() >= cells)
            return;
        if (holdsValue(numbers) || holdsValue(ports))
            firstLine = numbers.size();
        else {
            numbers.clearAll();
            ports.clearAll();
        }
        logCompleted(numbers.path(), cells);
    }
    while (numbers.size() < cells)
        numbers.append(QString());
    while (ports.size() < cells)
        ports.append(QString());
    scanDevices(hub, numbers, ports, firstLine);
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
    completeFile(statePath(QStringLiteral("/error.ini")), cells, QString());
    registerDosimeters(hub);
    completeFile(statePath(QStringLiteral("/datatime.ini")), cells, QStringLiteral("0"));
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
