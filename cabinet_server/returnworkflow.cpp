#include "returnworkflow.h"

#include "cellnumber.h"
#include "celltexts.h"
#include "dosesafety.h"
#include "dosimeter.h"
#include "dosimeterprobe.h"
#include "dosimeterreset.h"
#include "hubid.h"
#include "log.h"
#include "settings.h"
#include "statefiles.h"
#include "workflowsteps.h"

#include <QFileInfo>
#include <QHash>
#include <QVector>

#include <algorithm>

using workflow::Step;

namespace {

using ReadCommand = QString (*)(QString, QString);

// One read of the read-out: its result key, the reply key it fills, its log
// line on success (followed by the value) and its failure texts.
struct ReadStep
{
    ReadCommand command;
    QString key;
    QString replyKey;
    QString readLog;
    QString failedLog;
    QString failedAppend;
};

// What tells the gamma and the gamma-neutron return scan apart.
struct ReturnVariant
{
    QString rackType;           // the "OUT" value
    QString expectedType;       // the detector type text of the rack's dosimeters
    QString wrongTypeText;      // the read-out error of a dosimeter of another type
    QVector<ReadStep> reads;    // in reading order, after the type read
};

const ReadStep kOrderRead{Get_user_order, QStringLiteral("user_order"), QStringLiteral("duty"),
                          QStringLiteral("наряд пользователя "), QStringLiteral("Ошибка чтение идентификатора наряда"),
                          QStringLiteral("Ошибка чтение идентификатора наряда")};

QVector<ReadStep> gammaReads()
{
    return {
        kOrderRead,
        {Get_des_val, QStringLiteral("get_des_val"), QStringLiteral("d"), QStringLiteral("чтение ЭД гамма"),
         QStringLiteral("Ошибка чтение ЭД гамма"), QStringLiteral("Ошибка чтение ЭД гамма")},
        {Get_maxder, QStringLiteral("get_maxder"), QStringLiteral("r"), QStringLiteral("чтение, максимальной МЭД g "),
         QStringLiteral("Ошибка чтение максимальной МЭД"), QStringLiteral("Ошибка чтение максимальной МЭД")},
        {Get_maxtime, QStringLiteral("get_maxtime"), QStringLiteral("tm"),
         QStringLiteral("Время регистрации максимальной Дозы "),
         QStringLiteral("Ошибка, Время регистрации максимальной Дозы"),
         QStringLiteral(" Ошибка, Время регистрации максимальной Дозы")},
    };
}

QVector<ReadStep> neutronReads()
{
    return {
        {Get_ndes_val, QStringLiteral("get_ndes_val"), QStringLiteral("dn"),
         QStringLiteral("чтения ЭД нейтронного канала"), QStringLiteral(" Ошибка чтения ЭД нейтронного канала"),
         QStringLiteral(" Ошибка чтения ЭД нейтронного канала")},
        {Get_nmaxder, QStringLiteral("get_nmaxder"), QStringLiteral("rn"),
         QStringLiteral("чтение, максимальной МЭД нейтронного канала "),
         QStringLiteral("Ошибка чтение максимальной МЭД нейтронного канала"),
         QStringLiteral("Ошибка чтение максимальной МЭД нейтронного канала")},
        {Get_nmaxtime, QStringLiteral("get_nmaxtime"), QStringLiteral("tmn"),
         QStringLiteral("Время регистрации максимальной Дозы "),
         QStringLiteral("Ошибка, Время регистрации максимальной Дозы"),
         QStringLiteral("Ошибка, Время регистрации максимальной Дозы")},
    };
}

ReturnVariant gammaVariant()
{
    return {QStringLiteral("1300"), QStringLiteral("гамма-детектор"),
            QStringLiteral("гамма-детектор и нейтронный детектор"), gammaReads()};
}

ReturnVariant gammaNeutronVariant()
{
    return {QStringLiteral("1300GN"), QStringLiteral("гамма-детектор и нейтронный детектор"),
            QStringLiteral("1300 c гамма-детектором"), gammaReads() + neutronReads()};
}

// The cell whose hub.ini line is the device's hub id, or -1. A device without
// a hub id matches no cell.
int cellOfDevice(const StateFile &hub, const QString &port)
{
    const QString hubId = Get_hub_id(port);
    logLine(hubId + QLatin1Char('\n'));
    return hubLine(hub, hubId);
}

// Compares every registered cell with the dosimeter on its port and blanks
// the cells whose device is gone, holds another number or sits at another
// hub position. A failed read, an empty hub id or a cell without a hub.ini
// line leaves a cell as it is, and an unreadable hub.ini leaves every cell
// as it is. Writes that fail are collected in writes.
void checkRegistrations(const StateFile &hub, StateFile &nomer, StateFile &error, StateFile &port,
                        StateWrites &writes)
{
    logLine(QStringLiteral("проверка достоверности файлов ОП"));
    if (hub.unreadable()) {
        logLine(QStringLiteral("не удалось прочитать hub.ini"));
        return;
    }
    bool blanked = false;
    auto blank = [&](int i) {
        nomer.clear(i);
        port.clear(i);
        error.clear(i);
        blanked = true;
    };
    for (int i = 0; i < nomer.size(); ++i) {
        if (nomer.isBlank(i) || !hub.has(i))
            continue;
        const QString p = port.value(i);
        if (!devicePresent(p)) {
            logLine(QStringLiteral("Обнаруженно не соответствие. port Проверка достоверности файлов ОП"));
            logLine(p);
            blank(i);
            continue;
        }
        const Step number(Get_Nomer_PPD(p));
        if (number.failed()) {
            logLine(QStringLiteral("Ошибка чтения номера дозиметра"));
            continue;
        }
        const QString n = number.value(QStringLiteral("nomer_pdd"));
        logLine(QStringLiteral("Номер дозиметра ") + n);
        if (nomer.value(i) != n) {
            logLine(QStringLiteral("Обнаруженно не соответствие. nomer Проверка достоверности файлов ОП"));
            blank(i);
            continue;
        }
        const QString hubId = Get_hub_id(p);
        if (hubId.isEmpty())
            continue;
        if (hub.value(i) != hubId) {
            logLine(QStringLiteral("Обнаруженно не соответствие. hub_id Проверка достоверности файлов ОП"));
            blank(i);
        }
    }
    if (!blanked)
        return;
    logLine(QStringLiteral("Обнаруженно не соответствие. Проверка достоверности файлов ОП"));
    writes.save(nomer, StateFile::CreateIfMissing);
    writes.save(error);
    writes.save(port);
}

QString runReturnScan(const ReturnVariant &variant)
{
    const StateFile hub(QStringLiteral("hub.ini"));
    StateFile nomer(statePath(QStringLiteral("/nomer_ppd.ini")));
    StateFile error(statePath(QStringLiteral("/error.ini")));
    StateFile portFile(statePath(QStringLiteral("/port.ini")));

    QString returnedPort;
    QString number;
    QString userId;
    int cell = -1;
    const int count = std::min<qsizetype>(qMax(G_kas_count_cell, 0), G_ports_dkg.size());
    for (int i = 0; i < count; ++i) {
        const QString port = G_ports_dkg.at(i);
        if (!devicePresent(port) || portFile.indexOf(port) >= 0)
            continue;
        const DosimeterIdentity id = readIdentity(port);
        if (!id.ok)
            continue;
        const QString &n = id.number;
        const QString &uid = id.userId;
        const int j = cellOfDevice(hub, port);
        if (uid.isEmpty()) {
            // A fresh dosimeter: registered in its cell, and the scan goes on.
            if (j >= 0) {
                logLine(QStringLiteral("найден"));
                nomer.set(j, n);
                portFile.set(j, port);
            }
            continue;
        }
        if (j >= 0) {
            logLine(QStringLiteral("найден порт"));
            nomer.set(j, n);
            portFile.set(j, port);
            returnedPort = port;
            number = n;
            userId = uid;
            cell = j;
        }
        logLine(QStringLiteral("Найден дозиметр c пользователем"));
        break;
    }

    StateWrites writes;
    writes.save(nomer, StateFile::CreateIfMissing);
    writes.save(portFile, StateFile::CreateIfMissing);

    if (returnedPort.isEmpty()) {
        if (workflow::isRegistrationCheckSecond(nowSecondsUtc()))
            checkRegistrations(hub, nomer, error, portFile, writes);
        return QStringLiteral("{\"OUT\":\"\",\"error\":\"") + jsonEscape(writes.errorText())
            + QStringLiteral("\"}");
    }

    QString e;
    QString s;
    const Step type(Get_Type_PPD(returnedPort));
    s = type.error();
    if (s.isEmpty()) {
        const QString typeText = type.value(QStringLiteral("Type_PPD"));
        logLine(QStringLiteral("тип детектора ") + typeText);
        if (typeText != variant.expectedType)
            e = variant.wrongTypeText;
    }

    QHash<QString, QString> values;
    for (const ReadStep &r : variant.reads) {
        const Step read(r.command(returnedPort, number));
        s = read.error();
        values.insert(r.key, read.value(r.key));
        if (s.isEmpty()) {
            logLine(r.readLog + read.value(r.key));
        } else {
            logLine(r.failedLog);
            e += r.failedAppend;
        }
    }
    // An empty value counts as a failure too, checked from the last read back.
    for (auto r = variant.reads.crbegin(); r != variant.reads.crend(); ++r) {
        if (values.value(r->key).isEmpty()) {
            logLine(r->failedLog);
            e += r->failedAppend;
        }
    }

    // The outcome goes to the files first: the reply names the writes that failed.
    workflow::Pairs pairs;
    if (!e.isEmpty()) {
        e += s;
        error.set(cell, celltext::returnFailed() + e);
    } else {
        pairs = {{QStringLiteral("OUT"), variant.rackType}, {QStringLiteral("c"), QString::number(cell + 1)}};
        for (const ReadStep &r : variant.reads) {
            if (r.key != kOrderRead.key)
                pairs.append({r.replyKey, values.value(r.key)});
        }
        pairs += {{QStringLiteral("tw"), QStringLiteral("0")},
                  {QStringLiteral("u"), userId},
                  {QStringLiteral("duty"), values.value(kOrderRead.key)},
                  {QStringLiteral("n"), number},
                  {QStringLiteral("error"), QString()}};
        error.set(cell, celltext::awaitingConfirmation() + workflow::statusText(pairs));
    }
    portFile.set(cell, returnedPort);
    nomer.set(cell, number);
    writes.save(error);
    writes.save(portFile);
    writes.save(nomer);
    if (!e.isEmpty()) {
        return QStringLiteral("{\"error\":\"Произошла критическая ошибка при Сдаче дозиметра \n ")
            + jsonEscape(writes.withErrors(e)) + QStringLiteral("\"}");
    }
    // The last pair is "error", left empty in the recorded status text.
    pairs.last().second = writes.errorText();
    return workflow::replyObject(pairs);
}

struct CellFiles
{
    int index = -1;
    QString port;
};

// The 0-based index of a cell number and the cell's port; index -1 when the
// cell names no line of port.ini.
CellFiles locateCell(const StateFile &port, const QString &cell)
{
    const int k = cellLine(cell);
    CellFiles c;
    if (port.has(k)) {
        c.index = k;
        c.port = port.value(k);
    }
    return c;
}

} // namespace

QString QUT_1300_g()
{
    return runReturnScan(gammaVariant());
}

QString QUT_1300_gn()
{
    return runReturnScan(gammaNeutronVariant());
}

QString OUT_true(QString nomer_ppd, QString cell, QString error)
{
    StateFile nomerFile(statePath(QStringLiteral("/nomer_ppd.ini")));
    StateFile errorFile(statePath(QStringLiteral("/error.ini")));
    StateFile datatime(statePath(QStringLiteral("/datatime.ini")));
    StateFile portFile(statePath(QStringLiteral("/port.ini")));
    // Every reply names the state files that could not be written.
    StateWrites writes;
    auto free = [&writes]() {
        return QStringLiteral("{\"cell\":\"free\",\"error\":\"") + jsonEscape(writes.errorText())
            + QStringLiteral("\"}");
    };
    auto done = [&writes](const QString &error) {
        return QStringLiteral("{\"error\":\"") + jsonEscape(writes.withErrors(error)) + QStringLiteral("\"}");
    };

    const CellFiles c = locateCell(portFile, cell);
    if (c.index < 0)
        return free();
    const int k = c.index;

    if (!error.isEmpty()) {
        writes.setLine(errorFile, k, error);
        return done(QString());
    }
    logLine(QStringLiteral("Подтвержение сдачи дозиметра ") + QString::number(k));

    auto blankCell = [&]() {
        writes.clearLine(errorFile, k);
        writes.clearLine(nomerFile, k);
        writes.clearLine(portFile, k);
    };
    if (!devicePresent(c.port)) {
        blankCell();
        return free();
    }

    const Step numberRead(Get_Nomer_PPD(c.port));
    if (numberRead.failed()) {
        // The device is there but did not say who it is: change nothing, so
        // that the return is neither lost nor booked twice.
        logLine(QStringLiteral("Ошибка чтения номера дозиметра"));
        logLine(QStringLiteral("Номер дозиметра ") + numberRead.value(QStringLiteral("nomer_pdd")));
        return done(numberRead.errorText());
    }
    const QString number = numberRead.value(QStringLiteral("nomer_pdd"));
    logLine(QStringLiteral("Номер дозиметра ") + number);
    if (number != nomer_ppd) {
        blankCell();
        return done(QString());
    }

    // The dose the dosimeter carries must be on record before anything,
    // the cell's waiting line included, is cleared.
    const QString refused = dosesafety::beforeErasing({k, c.port, number, dosesafety::Eraser::Confirmation});
    if (!refused.isEmpty())
        return done(refused);

    writes.clearLine(errorFile, k);
    writes.setLine(datatime, k, QString::number(nowSecondsUtc()));
    writes.setLine(nomerFile, k, number);
    writes.setLine(portFile, k, c.port);

    const QStringList failures = resetDosimeter(c.port, nomer_ppd);
    return done(failures.join(QStringLiteral("; ")));
}

QString OUT_Get_history(QString nomer_ppd, QString cell, QString error)
{
    const StateFile portFile(statePath(QStringLiteral("/port.ini")));
    const QString empty = QStringLiteral("{\"history_all\": \"\",\"error\":\"") + jsonEscape(error)
        + QStringLiteral("\"}");
    const CellFiles c = locateCell(portFile, cell);
    logLine(QStringLiteral("Чтение истории дозиметра ") + QString::number(cellIndex(cell)));
    if (c.index < 0 || !devicePresent(c.port))
        return empty;
    const Step numberRead(Get_Nomer_PPD(c.port));
    if (!numberRead.errorText().isEmpty())
        logLine(QStringLiteral("Ошибка чтения номера дозиметра"));
    const QString number = numberRead.value(QStringLiteral("nomer_pdd"));
    logLine(QStringLiteral("Номер дозиметра ") + number);
    if (number != nomer_ppd)
        return empty;
    const Step history(Get_history_all(c.port, nomer_ppd));
    if (!history.errorText().isEmpty())
        logLine(QStringLiteral("Ошибка, чтения всей истории"));
    return QStringLiteral("{\"history_all\": \"") + jsonEscape(history.value(QStringLiteral("history_all")))
        + QStringLiteral("\",\"error\":\"") + jsonEscape(error) + QStringLiteral("\"}");
}
