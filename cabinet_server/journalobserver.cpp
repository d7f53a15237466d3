#include "journalobserver.h"

#include "celltexts.h"
#include "dosimeter.h"
#include "jsonresult.h"
#include "journalstore.h"
#include "journalsync.h"
#include "log.h"
#include "pgconnection.h"
#include "settings.h"
#include "statefiles.h"
#include "textcodec.h"
#include "workflowsteps.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>
#include <csignal>

RackLines currentRackLines(const QString &folder)
{
    const QString base = folder.isNull() ? G_Path_RAM : folder;
    return {StateFile(base + QStringLiteral("/nomer_ppd.ini")).values(),
            StateFile(base + QStringLiteral("/port.ini")).values(),
            StateFile(base + QStringLiteral("/error.ini")).values()};
}

namespace {

// What the journal knows of one dosimeter: its last boundary (the last row
// after which its dose was erased), the read-outs since, and every read-out.
struct Cycle
{
    QString error;              // why the journal could not be read; empty when it was
    QString boundaryKind;       // "" when the journal holds no boundary of the number
    JournalRow boundary;
    QVector<JournalRow> readouts;      // since the boundary
    QVector<JournalRow> allReadouts;   // of every cycle
};

QVector<JournalRow> rowsOf(QSqlQuery &q)
{
    QVector<JournalRow> rows;
    while (q.next()) {
        JournalRow row;
        const QSqlRecord r = q.record();
        for (int i = 0; i < r.count(); ++i)
            row.insert(r.fieldName(i), q.value(i));
        rows << row;
    }
    return rows;
}

// Reads the cycle of a number from the journal file through a read-only
// connection of its own, opened for this question only (a file moved aside
// and started afresh is then never read under its old name).
Cycle readCycle(const QString &path, const QString &number)
{
    static int uses = 0;
    const QString name = QStringLiteral("journal-check-%1").arg(++uses);
    Cycle c;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        QSqlQuery q(db);
        // The rows the counting rule walks, read-outs and boundaries, oldest first.
        const QString sql = QStringLiteral("SELECT seq, kind, uname, work_order, %1 FROM dose_event WHERE number = ? "
                                           "AND %2 ORDER BY seq")
                                .arg(readingColumns().join(QStringLiteral(", ")), journal::cycleRowCondition());
        if (!db.open()) {
            c.error = db.lastError().text();
        } else if (!q.prepare(sql)) {
            c.error = q.lastError().text();
        } else {
            q.addBindValue(number);
            if (!q.exec())
                c.error = q.lastError().text();
            for (const JournalRow &row : rowsOf(q)) {
                if (row.value(QStringLiteral("kind")) == journal::kind::Readout) {
                    c.readouts << row;
                    c.allReadouts << row;
                } else {
                    c.boundary = row;
                    c.boundaryKind = row.value(QStringLiteral("kind")).toString();
                    c.readouts.clear();
                }
            }
        }
    }
    closeConnection(name);
    return c;
}

// The waiting line of a cell as a recovered read-out; an empty row when the
// line does not wait for a confirmation. A line is on record when any
// read-out of its dosimeter holds its readings: the one of this cycle, an
// earlier one of this cycle (a dosimeter taken out again and put into another
// cell leaves its first line behind), or the one of a cycle whose reset ran
// but whose line could not be cleared.
JournalRow waitingReadout(const RackLines &lines, int cell)
{
    const QString line = lines.errors.value(cell);
    if (!line.startsWith(celltext::awaitingConfirmation()))
        return {};
    return recoveredReadout(line.mid(celltext::awaitingConfirmation().size()), cell, lines.ports.value(cell));
}

// Whether a reset left the whole dose on the dosimeter: its reply carries
// the failure of every dose reset (gamma, and neutron on a gamma-and-neutron
// rack). A reset that cleared one channel counts as done: of the two ways to
// be wrong, counting that channel's dose twice is the safe one.
bool doseLeftOnDosimeter(const QString &reply)
{
    return reply.contains(resetDeFailure())
        && (G_type_ppd != QLatin1String("1300GN") || reply.contains(resetNdeFailure()));
}

double totalDose(const JournalRow &readout)
{
    return readout.value(QStringLiteral("dose_gamma")).toDouble() + readout.value(QStringLiteral("dose_neutron")).toDouble();
}

bool holdsReadings(const QVector<JournalRow> &readouts, const JournalRow &readout)
{
    for (const JournalRow &r : readouts) {
        if (sameReadings(r, readout))
            return true;
    }
    return false;
}

// The dose, the maximum dose rate and its time (and the neutron ones on a
// gamma-and-neutron rack) read from the dosimeter now, as a readout row;
// *error says which read failed.
JournalRow readBeforeReset(const QString &port, const QString &number, QString *error)
{
    using Read = QString (*)(QString, QString);
    struct Reading { Read read; const char *key; const char *column; };
    QVector<Reading> reads{{Get_des_val, "get_des_val", "dose_gamma"},
                           {Get_maxder, "get_maxder", "rate_gamma"},
                           {Get_maxtime, "get_maxtime", "rate_gamma_time"}};
    if (G_type_ppd == QLatin1String("1300GN"))
        reads += {{Get_ndes_val, "get_ndes_val", "dose_neutron"},
                  {Get_nmaxder, "get_nmaxder", "rate_neutron"},
                  {Get_nmaxtime, "get_nmaxtime", "rate_neutron_time"}};
    JournalRow row;
    for (const Reading &r : reads) {
        const CommandReply reply(r.read(port, number));
        const QString value = reply.value(QLatin1String(r.key));
        bool ok = false;
        const double v = value.toDouble(&ok);
        if (!reply.ok() || !ok) {
            *error = reply.isObject() && !reply.error().isEmpty() ? reply.error() : QStringLiteral("нет значения");
            return {};
        }
        row.insert(QLatin1String(r.column), v);
    }
    row.insert(QStringLiteral("kind"), journal::kind::Readout);
    row.insert(QStringLiteral("source"), journal::source::BeforeReset);
    row.insert(QStringLiteral("dosimeter_type"), G_type_ppd);
    return row;
}

// How the controller writes an issue to a dosimeter: the builders' own rules.
WriteRules dosimeterWriteRules()
{
    return {textcodec::prepareUserText, workflow::thresholdText};
}

} // namespace

JournalObserver::JournalObserver()
{
    if (G_journal_file.isEmpty())
        return;
    JournalStore::setLogSink(&logLine);
    m_store = std::make_unique<JournalStore>(journalFilePath(), G_cabinet_id);
    m_stopBeforeReadout = qEnvironmentVariableIsSet(stopBeforeReadoutVariable());
    dosesafety::setCheck([this](const dosesafety::Erasure &e) { return beforeErasing(e); });
    if (!G_journal_pg.enabled)
        return;
    JournalSync::Options o;
    o.journalPath = m_store->path();
    o.pg = journalPgSettings();
    o.annualDoseKey = G_annual_dose_key;
    o.batchRows = G_journal_pg.batchRows;
    if (!G_annual_dose_key.isEmpty() && !JournalSync::isAnnualDoseKey(G_annual_dose_key))
        logLine(QStringLiteral("annual_dose_key ") + G_annual_dose_key
                + QStringLiteral(" не столбец users (user_id, tab_num, card_id, code): годовая доза не пересчитывается"));
    m_sync = std::make_unique<JournalSync>(o);
}

JournalObserver::~JournalObserver()
{
    if (m_store)
        dosesafety::setCheck({});
}

bool JournalObserver::append(const QVector<JournalRow> &rows)
{
    if (rows.isEmpty())
        return true;
    const bool written = m_store->append(rows);
    if (m_sync)
        m_sync->wake();
    return written;
}

void JournalObserver::startupBegins()
{
    // The start-up reads Path_RAM from the settings itself; so does the look before it.
    if (m_store)
        m_before = currentRackLines(settingsText(QStringLiteral("Path_RAM"), QStringLiteral("/tmp/pelk1300")));
}

void JournalObserver::startupEnded()
{
    if (!m_store)
        return;
    append(startupRows(m_before, currentRackLines(), G_type_ppd, G_kas_count_cell));
    recoverWaitingLines();
}

void JournalObserver::recoverWaitingLines()
{
    // A dosimeter's dose only grows between its resets: of two lines of one
    // dosimeter (taken out of one cell and put into another) the one with
    // the larger dose is the later, so lines are written smallest dose
    // first, and a line below a read-out already on record of the same
    // cycle is an older one and is left out.
    const RackLines lines = currentRackLines();
    QVector<JournalRow> missing;
    for (int cell = 0; cell < lines.errors.size(); ++cell) {
        const JournalRow readout = waitingReadout(lines, cell);
        const QString number = readout.value(QStringLiteral("number")).toString();
        if (number.isEmpty())
            continue;
        const Cycle c = readCycle(m_store->path(), number);
        if (!c.error.isEmpty()) {
            logLine(QStringLiteral("журнал: не прочитан (%1), строка ячейки %2 не проверена").arg(c.error).arg(cell + 1));
            continue;
        }
        if (holdsReadings(c.allReadouts, readout))
            continue;
        const bool superseded = std::any_of(c.readouts.cbegin(), c.readouts.cend(), [&readout](const JournalRow &r) {
            return totalDose(r) > totalDose(readout);
        });
        if (superseded) {
            logLine(QStringLiteral("журнал: строка ячейки %1 старше показаний дозиметра %2 в журнале, не восстановлена")
                        .arg(cell + 1).arg(number));
            continue;
        }
        missing << readout;
    }
    std::stable_sort(missing.begin(), missing.end(),
                     [](const JournalRow &a, const JournalRow &b) { return totalDose(a) < totalDose(b); });
    for (const JournalRow &readout : missing) {
        const bool written = append({readout});
        logLine(QStringLiteral("журнал: показания дозиметра %1 в ячейке %2 восстановлены по error.ini%3")
                    .arg(readout.value(QStringLiteral("number")).toString())
                    .arg(readout.value(QStringLiteral("cell")).toInt())
                    .arg(written ? QString() : QStringLiteral(", но не записаны")));
    }
}

QString JournalObserver::beforeErasing(const dosesafety::Erasure &e)
{
    const RackLines lines = currentRackLines();
    JournalRow waiting = waitingReadout(lines, e.cell);
    // A dosimeter that did not say its number is taken for the one the cell
    // records.
    QString number = e.number;
    if (number.isEmpty())
        number = waiting.isEmpty() ? lines.numbers.value(e.cell) : waiting.value(QStringLiteral("number")).toString();
    if (waiting.value(QStringLiteral("number")).toString() != number)
        waiting.clear();
    const auto refused = [&number](const QString &why) {
        return QStringLiteral("Сброс дозиметра %1 не выполнен: %2").arg(number, why);
    };
    const auto goAhead = [&]() {
        m_erasure = {true, e.cell, number};
        return QString();
    };
    if (number.isEmpty())
        return goAhead();

    const Cycle c = readCycle(m_store->path(), number);
    if (!c.error.isEmpty())
        return refused(QStringLiteral("журнал доз не читается (%1)").arg(c.error));

    // The rows the check adds belong to the request being served.
    const auto commit = [&](JournalRow row) {
        row.insert(QStringLiteral("command"), requestCommand(m_request));
        row.insert(QStringLiteral("request"), m_request);
        return append({row});
    };
    const QString notWritten = QStringLiteral("показания не записаны в журнал доз");
    if (!waiting.isEmpty()) {
        // Returned and read out: that read-out must be on record.
        if (holdsReadings(c.allReadouts, waiting))
            return goAhead();
        logLine(QStringLiteral("журнал: показания дозиметра %1 восстановлены по error.ini").arg(number));
        return commit(waiting) ? goAhead() : refused(notWritten);
    }
    if (!c.readouts.isEmpty() || c.boundaryKind != journal::kind::Issue)
        return goAhead();

    // Issued and never read out since: read the dose it carries now.
    logLine(QStringLiteral("журнал: чтение дозы дозиметра %1 перед сбросом").arg(number));
    QString error;
    JournalRow readout = readBeforeReset(e.port, number, &error);
    if (readout.isEmpty())
        return refused(QStringLiteral("доза не прочитана (%1)").arg(error));
    readout.insert(QStringLiteral("cell"), e.cell + 1);
    readout.insert(QStringLiteral("port"), e.port);
    readout.insert(QStringLiteral("number"), number);
    for (const char *column : {"uid", "uname", "work_order"})
        readout.insert(QLatin1String(column), c.boundary.value(QLatin1String(column)));
    return commit(readout) ? goAhead() : refused(notWritten);
}

void JournalObserver::requestBegins(const QString &request)
{
    m_request = request;
    m_erasure = Erasure();
    m_watching = m_store && isJournalled(requestCommand(request));
    if (m_watching)
        m_before = currentRackLines();
}

void JournalObserver::replyReady(const QString &request, const QString &reply)
{
    if (!m_watching)
        return;
    m_watching = false;
    if (m_erasure.happened)
        m_erasure.doseKept = doseLeftOnDosimeter(reply);
    const QVector<JournalRow> rows =
        commandRows({request, reply, m_before, currentRackLines(), m_erasure, dosimeterWriteRules()});
    if (m_stopBeforeReadout) {
        for (const JournalRow &row : rows) {
            if (row.value(QStringLiteral("kind")) == journal::kind::Readout) {
                logLine(QStringLiteral("журнал: остановка перед записью снятия показаний"));
                std::raise(SIGSTOP);
            }
        }
    }
    append(rows);
}
