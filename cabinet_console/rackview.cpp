#include "rackview.h"

#include "celltexts.h"
#include "consoletime.h"
#include "statefiles.h"
#include "workflowsteps.h"

#include <QStringList>

namespace rackview {

QString stateName(State state)
{
    switch (state) {
    case State::Empty: return QStringLiteral("empty");
    case State::Resting: return QStringLiteral("resting");
    case State::Ready: return QStringLiteral("ready");
    case State::Issued: return QStringLiteral("issued");
    case State::Returned: return QStringLiteral("returned");
    case State::Blocked: return QStringLiteral("blocked");
    case State::Failed: return QStringLiteral("failed");
    }
    return QString();
}

QString stateWord(State state)
{
    switch (state) {
    case State::Empty: return QStringLiteral("пусто");
    case State::Resting: return QStringLiteral("отдыхает");
    case State::Ready: return QStringLiteral("готов к выдаче");
    case State::Issued: return QStringLiteral("выдан, ждёт, когда заберут");
    case State::Returned: return QStringLiteral("сдан, ждёт подтверждения");
    case State::Blocked: return QStringLiteral("заблокирована");
    case State::Failed: return QStringLiteral("ошибка");
    }
    return QString();
}

QJsonObject parseReadings(const QString &statusText)
{
    static const QStringList gamma = {QStringLiteral("OUT"), QStringLiteral("c"), QStringLiteral("d"),
                                      QStringLiteral("r"), QStringLiteral("tm"), QStringLiteral("tw"),
                                      QStringLiteral("u"), QStringLiteral("duty"), QStringLiteral("n"),
                                      QStringLiteral("error")};
    static const QStringList gammaNeutron = {
        QStringLiteral("OUT"), QStringLiteral("c"), QStringLiteral("d"), QStringLiteral("r"),
        QStringLiteral("tm"), QStringLiteral("dn"), QStringLiteral("rn"), QStringLiteral("tmn"),
        QStringLiteral("tw"), QStringLiteral("u"), QStringLiteral("duty"), QStringLiteral("n"),
        QStringLiteral("error")};
    const QStringList &keys = statusText.startsWith(QLatin1String("OUT:1300GN,")) ? gammaNeutron : gamma;
    QJsonObject out;
    int pos = 0;
    for (int k = 0; k < keys.size(); ++k) {
        const QString head = keys.at(k) + QLatin1Char(':');
        if (QStringView(statusText).mid(pos, head.size()) != QStringView(head))
            break;
        pos += head.size();
        int end = statusText.size();
        if (k + 1 < keys.size()) {
            end = statusText.indexOf(QLatin1Char(',') + keys.at(k + 1) + QLatin1Char(':'), pos);
            if (end < 0)
                end = statusText.size();
        }
        out.insert(keys.at(k), statusText.mid(pos, end - pos));
        pos = end + 1;
    }
    out.remove(QStringLiteral("error"));
    return out;
}

Cell classify(int cell, const QString &number, const QString &port, const QString &errorLine,
              const QString &stamp, qint64 now, int restSeconds)
{
    Cell c;
    c.cell = cell;
    c.number = number;
    c.port = port;
    if (errorLine.isEmpty()) {
        if (number.isEmpty()) {
            c.state = State::Empty;
        } else if (workflow::restedLongEnough(now, stamp, restSeconds)) {
            c.state = State::Ready;
        } else {
            bool ok = false;
            const qint64 t = stamp.trimmed().toLongLong(&ok);
            const quint32 age = quint32(quint64(now - (ok ? t : 0)) & 0xFFFFFFFFu);
            c.state = State::Resting;
            c.secondsLeft = qint64(quint32(restSeconds)) + 1 - qint64(age);
        }
        return c;
    }
    c.text = errorLine;
    if (errorLine == celltext::issued()) {
        c.state = State::Issued;
    } else if (errorLine.startsWith(celltext::awaitingConfirmation())) {
        c.state = State::Returned;
        c.text = errorLine.mid(celltext::awaitingConfirmation().size());
        c.readings = parseReadings(c.text);
    } else if (errorLine.startsWith(celltext::issueFailedGamma())
               || errorLine.startsWith(celltext::issueFailedGammaNeutron())
               || errorLine.startsWith(celltext::returnFailed())) {
        c.state = State::Failed;
    } else {
        c.state = State::Blocked;
    }
    return c;
}

QVector<Cell> load(int cellCount, qint64 now, int restSeconds)
{
    const StateFile nomer(statePath(QStringLiteral("/nomer_ppd.ini")));
    const StateFile port(statePath(QStringLiteral("/port.ini")));
    const StateFile error(statePath(QStringLiteral("/error.ini")));
    const StateFile datatime(statePath(QStringLiteral("/datatime.ini")));
    QVector<Cell> cells;
    cells.reserve(cellCount);
    for (int i = 0; i < cellCount; ++i)
        cells << classify(i + 1, nomer.value(i), port.value(i), error.value(i), datatime.value(i), now, restSeconds);
    return cells;
}

QJsonObject toJson(const Cell &c)
{
    QJsonObject o{{QStringLiteral("cell"), c.cell},
                  {QStringLiteral("number"), c.number},
                  {QStringLiteral("port"), c.port},
                  {QStringLiteral("state"), stateName(c.state)},
                  {QStringLiteral("word"), stateWord(c.state)},
                  {QStringLiteral("text"), c.text}};
    if (c.state == State::Resting)
        o.insert(QStringLiteral("left"), double(c.secondsLeft));
    if (c.state == State::Returned) {
        o.insert(QStringLiteral("readings"), c.readings);
        // The times of the highest rates, taken as seconds since 1970 UTC, in
        // the cabinet's zone; 0 is a dosimeter that registered none.
        QJsonObject times;
        for (const QString &key : {QStringLiteral("tm"), QStringLiteral("tmn")}) {
            bool ok = false;
            const qint64 t = c.readings.value(key).toString().trimmed().toLongLong(&ok);
            if (ok && t > 0)
                times.insert(key, consoletime::localText(t));
        }
        o.insert(QStringLiteral("readingTimes"), times);
    }
    return o;
}

} // namespace rackview
