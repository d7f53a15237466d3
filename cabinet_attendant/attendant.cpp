#include "attendant.h"

#include "journalcheck.h"
#include "log.h"

#include <QStringList>

#include <algorithm>

namespace {

QJsonObject command(const char *name)
{
    return {{QStringLiteral("command"), QLatin1String(name)}};
}

QString prefix(const ReturnReadings &r)
{
    return QStringLiteral("возврат: ячейка %1, ").arg(r.cell) + readingsText(r);
}

} // namespace

Attendant::Attendant(const Options &options)
    : m_options(options)
    , m_log(&logLine)
{
    if (m_options.journalPath.isEmpty())
        log(QStringLiteral("журнал выключен: возвраты подтверждаются без проверки журнала"));
    else
        log(QStringLiteral("возврат подтверждается после проверки показаний в журнале ") + m_options.journalPath);
}

QString Attendant::readoutBlockText(int cell)
{
    return QStringLiteral("Автоприём: показания дозиметра в ячейке %1 не считаны дважды. "
                          "Проверьте дозиметр, затем разблокируйте ячейку")
        .arg(cell);
}

QString Attendant::confirmBlockText(const ReturnReadings &r, const QString &reason)
{
    // The block replaces the cell's waiting line: the readings stay in the text.
    QString why = reason.simplified();
    if (why.size() > 80)
        why = why.left(79) + QStringLiteral("…");
    return QStringLiteral("Автоприём: сдача не подтверждена дважды (%1). %2. Проверьте журнал, затем разблокируйте ячейку")
        .arg(why, readingsText(r));
}

void Attendant::log(const QString &line) const
{
    m_log(line);
}

controllerclient::Reply Attendant::ask(const QJsonObject &request)
{
    const controllerclient::Reply reply = controllerclient::send(m_options.controller, request, m_options.timeouts);
    const bool reachable = reply.status != controllerclient::Reply::Status::NotConnected;
    if (reachable != m_reachable) {
        log(reachable ? QStringLiteral("контроллер %1 снова отвечает").arg(m_options.controller.text())
                      : reply.failure);
        m_reachable = reachable;
    }
    return reply;
}

bool Attendant::readStatus(QVector<CellStatus> *cells)
{
    const controllerclient::Reply reply = ask(command("Kas_status"));
    if (!reply.ok())
        return false;
    if (!parseRackStatus(reply.object, cells)) {
        log(QStringLiteral("Kas_status: ответ без cell_port и cell_error: ") + QString::fromUtf8(reply.raw.left(200)));
        return false;
    }
    return true;
}

void Attendant::round()
{
    if (!m_lookedOver || m_sinceLookOver.elapsed() >= m_options.statusEveryMs)
        lookOverCells();
    QList<int> cells = m_waiting.keys();
    std::sort(cells.begin(), cells.end());
    for (int cell : cells) {
        if (confirm(m_waiting[cell]))
            m_waiting.remove(cell);
        if (!m_reachable)
            return;   // the controller is gone: the next round starts over
    }
    scanReturns();
}

void Attendant::lookOverCells()
{
    QVector<CellStatus> cells;
    if (!readStatus(&cells))
        return;
    m_lookedOver = true;
    m_sinceLookOver.restart();
    for (const CellStatus &c : cells) {
        ReturnReadings r;
        if (readingsFromWaitingLine(c.line, &r)) {
            // Read out after all (by someone else's scan): earlier failures
            // in the cell are done with.
            m_readoutFailures.remove(c.cell);
            r.cell = c.cell;
            const auto known = m_waiting.constFind(c.cell);
            if (known == m_waiting.cend() || known->readings.number != r.number) {
                log(prefix(r) + QStringLiteral(": ждёт подтверждения, найден в ячейке"));
                Pending p;
                p.readings = r;
                m_waiting.insert(c.cell, p);
            }
        } else if (isFailedReadout(c.line)) {
            readoutFailed(c.cell, c.port);
        }
    }
}

void Attendant::scanReturns()
{
    const controllerclient::Reply reply = ask(command("OUT"));
    if (!reply.ok()) {
        if (m_reachable)
            log(QStringLiteral("OUT: ") + reply.failure);
        return;
    }
    ReturnReadings r;
    if (readingsFromOut(reply.object, &r)) {
        m_readoutFailures.remove(r.cell);
        Pending p;
        p.readings = r;
        p.outReply = QString::fromUtf8(reply.raw);
        readHistory(p);
        m_waiting.insert(r.cell, p);
        if (confirm(m_waiting[r.cell]))
            m_waiting.remove(r.cell);
        return;
    }
    if (isReadoutFailureReply(reply.object)) {
        log(QStringLiteral("OUT: показания не считаны: ") + reply.error().simplified());
        lookOverCells();
        return;
    }
    if (!reply.error().isEmpty())
        log(QStringLiteral("OUT: ") + reply.error());
}

void Attendant::readHistory(Pending &p)
{
    const controllerclient::Reply reply = ask({{QStringLiteral("command"), QStringLiteral("OUT_Get_history")},
                                              {QStringLiteral("nomer_ppd"), p.readings.number},
                                              {QStringLiteral("cell"), QString::number(p.readings.cell)},
                                              {QStringLiteral("error"), QString()}});
    if (reply.status == controllerclient::Reply::Status::NotConnected)
        return;   // nothing was asked: p.history stays empty
    if (reply.ok())
        p.history = QStringLiteral("история %1 записей").arg(reply.value("history_all").size() / 32);
    else
        p.history = QStringLiteral("история не прочитана (%1)").arg(reply.failure);
}

bool Attendant::confirm(Pending &p)
{
    const ReturnReadings &r = p.readings;
    QVector<CellStatus> cells;
    if (!readStatus(&cells))
        return false;
    ReturnReadings now;
    const QString line = r.cell <= cells.size() ? cells.at(r.cell - 1).line : QString();
    const bool waiting = readingsFromWaitingLine(line, &now) && now.number == r.number;
    // Only after the controller answered the attendant's own OUT_true with
    // an error and left the waiting state is it asked again (its reset may
    // be half done), and only while the cell has not moved on.
    const bool resetAgain = !waiting && p.failures > 0 && p.last == Failure::Reported && line.isEmpty();
    // A block still to be sent is sent only while the return is where it
    // failed: a cell that moved on meanwhile is left as it is.
    if (p.blockPending && (waiting || resetAgain))
        return block(r.cell, confirmBlockText(r, p.lastReason));
    if (!waiting) {
        if (p.failures > 0 && p.last == Failure::Transport) {
            log(prefix(r) + QStringLiteral(": подтверждён (ответ на OUT_true не пришёл, ячейка больше не ждёт)"));
            return true;
        }
        if (!resetAgain) {
            log(prefix(r) + (line.isEmpty() ? QStringLiteral(": уже подтверждён (ячейка больше не ждёт подтверждения)")
                                             : QStringLiteral(": ячейка больше не ждёт подтверждения: ") + line));
            return true;
        }
    }
    // A return found in its cell (at start or on a look-over) has its
    // history read here, as a scanned one has before its confirmation.
    if (p.history.isEmpty()) {
        readHistory(p);
        if (p.history.isEmpty())
            return false;   // the controller is gone: the next round reads it
    }
    // The read-out is looked for once: a confirmation the controller
    // answered with an error has its row in the journal after the read-out,
    // marked as erasing it even when the reset failed, and the waiting line
    // is gone by then.
    if (!m_options.journalPath.isEmpty() && p.journalSeq == 0) {
        const JournalReadout j = findReadout(m_options.journalPath, r.number, r.cell, p.outReply);
        if (!j.found)
            return fail(p, Failure::Journal, j.failure);
        p.journalSeq = j.seq;
    }
    const qint64 seq = p.journalSeq;
    const controllerclient::Reply reply = ask({{QStringLiteral("command"), QStringLiteral("OUT_true")},
                                              {QStringLiteral("nomer_ppd"), r.number},
                                              {QStringLiteral("cell"), QString::number(r.cell)},
                                              {QStringLiteral("error"), QString()}});
    if (reply.status == controllerclient::Reply::Status::NotConnected)
        return false;   // nothing was asked of the controller: the next round tries again
    if (!reply.ok())
        return fail(p, Failure::Transport, reply.failure);
    if (!reply.error().isEmpty())
        return fail(p, Failure::Reported, reply.error());
    if (reply.object.contains(QStringLiteral("cell"))) {
        log(prefix(r) + QStringLiteral(": не подтверждён: дозиметра нет в ячейке, сброс не выполнен, ячейка свободна"));
        return true;
    }
    // The same plain reply comes when another dosimeter answers from the
    // cell: the controller then forgets the cell without a reset. A
    // confirmed cell keeps its port.
    QVector<CellStatus> after;
    if (readStatus(&after) && r.cell <= after.size() && after.at(r.cell - 1).port.isEmpty()) {
        log(prefix(r) + QStringLiteral(": не подтверждён: в ячейке другой дозиметр, сброс не выполнен, ячейка освобождена"));
        return true;
    }
    QStringList parts{prefix(r), p.history};
    parts << (seq > 0 ? QStringLiteral("в журнале, seq %1").arg(seq) : QStringLiteral("без журнала"));
    log(parts.join(QStringLiteral(", ")) + QStringLiteral(": подтверждён"));
    return true;
}

bool Attendant::fail(Pending &p, Failure kind, const QString &reason)
{
    ++p.failures;
    p.last = kind;
    p.lastReason = reason;
    if (p.failures < 2) {
        log(prefix(p.readings) + QStringLiteral(": не подтверждён (%1), ещё одна попытка").arg(reason));
        return false;
    }
    p.blockPending = true;
    return block(p.readings.cell, confirmBlockText(p.readings, reason));
}

bool Attendant::block(int cell, const QString &text)
{
    const controllerclient::Reply reply = ask({{QStringLiteral("command"), QStringLiteral("cell_error")},
                                              {QStringLiteral("port"), QString()},
                                              {QStringLiteral("cell"), QString::number(cell)},
                                              {QStringLiteral("block"), text}});
    if (!reply.ok() || !reply.error().isEmpty()) {
        log(QStringLiteral("ячейка %1 не заблокирована: %2").arg(cell).arg(reply.ok() ? reply.error() : reply.failure));
        return false;
    }
    log(QStringLiteral("ячейка %1 заблокирована: %2").arg(cell).arg(text));
    return true;
}

void Attendant::readoutFailed(int cell, const QString &port)
{
    const int failures = ++m_readoutFailures[cell];
    if (failures >= 2) {
        if (block(cell, readoutBlockText(cell)))
            m_readoutFailures.remove(cell);
        return;
    }
    // The controller keeps a failed read-out registered, so its scan passes
    // the dosimeter by; cell_free with no number makes it forget the cell
    // (the dosimeter still answers with its own number), and the next scan
    // reads the dosimeter, which still carries its dose, once more.
    const controllerclient::Reply reply = ask({{QStringLiteral("command"), QStringLiteral("cell_free")},
                                              {QStringLiteral("nomer_ppd"), QString()},
                                              {QStringLiteral("cell"), QString::number(cell)}});
    const QString head = QStringLiteral("ячейка %1 (%2): показания не считаны, ").arg(cell).arg(port);
    if (!reply.ok())
        log(head + QStringLiteral("повторное чтение не запрошено: ") + reply.failure);
    else if (reply.value("cell") != QLatin1String("free"))
        // The dosimeter did not say its number: the controller keeps the cell.
        log(head + QStringLiteral("ячейка не освобождена, повторного чтения не будет")
            + (reply.error().isEmpty() ? QString() : QStringLiteral(": ") + reply.error()));
    else if (!reply.error().isEmpty())
        log(head + QStringLiteral("ячейка освобождена с ошибкой: ") + reply.error());
    else
        log(head + QStringLiteral("дозиметр будет прочитан ещё раз"));
}
