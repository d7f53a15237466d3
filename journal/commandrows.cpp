#include "commandrows.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QMap>

namespace {

using journal::kind::Confirm;

QJsonObject parseObject(const QString &text, bool *isObject = nullptr)
{
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &err);
    if (isObject)
        *isObject = err.error == QJsonParseError::NoError && doc.isObject();
    return doc.object();
}

QString text(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

// A number column: the text read as a number, NULL when it is not one.
QVariant number(const QString &value)
{
    bool ok = false;
    const double v = value.trimmed().toDouble(&ok);
    return ok && qIsFinite(v) ? QVariant(v) : QVariant();
}

QVariant integer(const QString &value)
{
    bool ok = false;
    const qlonglong v = value.trimmed().toLongLong(&ok);
    return ok ? QVariant(v) : QVariant();
}

// A cell number from the protocol's text; NULL when it is not one.
QVariant cellNumber(const QString &value)
{
    bool ok = false;
    const int v = value.toInt(&ok, 10);
    return ok ? QVariant(v) : QVariant();
}

struct Context {
    const ServedCommand &served;
    QJsonObject request;
    QJsonObject reply;
    bool replyIsObject = false;
};

JournalRow baseRow(const Context &c, const QString &kind)
{
    JournalRow row;
    row.insert(QStringLiteral("command"), text(c.request, "command"));
    row.insert(QStringLiteral("kind"), kind);
    row.insert(QStringLiteral("operator"), text(c.request, "operator"));
    row.insert(QStringLiteral("outcome"), c.replyIsObject ? text(c.reply, "error") : c.served.reply);
    row.insert(QStringLiteral("request"), c.served.request);
    row.insert(QStringLiteral("reply"), c.served.reply);
    return row;
}

void setCell(JournalRow &row, int index, const RackLines &lines)
{
    row.insert(QStringLiteral("cell"), index + 1);
    row.insert(QStringLiteral("number"), lines.numbers.value(index));
    row.insert(QStringLiteral("port"), lines.ports.value(index));
}

// Cells whose registration a command changed: new or changed ones, and
// ones it cleared. skip is a cell index reported by another row.
QVector<JournalRow> registrationRows(const RackLines &before, const RackLines &after, int skip,
                                     const JournalRow &base)
{
    QVector<JournalRow> rows;
    const int n = qMax(before.numbers.size(), after.numbers.size());
    for (int i = 0; i < n; ++i) {
        if (i == skip)
            continue;
        const QString nb = before.numbers.value(i), na = after.numbers.value(i);
        const QString pb = before.ports.value(i), pa = after.ports.value(i);
        if (nb == na && pb == pa)
            continue;
        JournalRow row = base;
        if (!na.isEmpty()) {
            row.insert(QStringLiteral("kind"), journal::kind::Registered);
            setCell(row, i, after);
        } else if (!nb.isEmpty()) {
            row.insert(QStringLiteral("kind"), journal::kind::Unregistered);
            setCell(row, i, before);
        } else {
            continue;
        }
        rows << row;
    }
    return rows;
}

// Whether the command reset the dose of the dosimeter its row names: 1 when
// the check before the reset let it go ahead and not every dose reset
// failed, else 0 (the read-out before it then stays the one to count).
void setErased(JournalRow &row, const Context &c)
{
    const Erasure &e = c.served.erasure;
    row.insert(QStringLiteral("erased"),
               e.happened && !e.doseKept && e.number == row.value(QStringLiteral("number")).toString() ? 1 : 0);
}

QVector<JournalRow> issueRows(const Context &c)
{
    const Erasure &e = c.served.erasure;
    const WriteRules &rules = c.served.rules;
    JournalRow row = baseRow(c, journal::kind::Issue);
    row.insert(QStringLiteral("cell"), cellNumber(text(c.reply, "cell")));
    row.insert(QStringLiteral("port"), text(c.reply, "port"));
    row.insert(QStringLiteral("number"), text(c.reply, "nomer_pdd"));
    // A failed issue names no dosimeter in its reply; the one it reset is
    // named all the same.
    if (e.happened && text(c.reply, "nomer_pdd").isEmpty()) {
        row.insert(QStringLiteral("cell"), e.cell + 1);
        row.insert(QStringLiteral("number"), e.number);
    }
    const auto userText = [&rules](const QString &t) { return rules.userText ? rules.userText(t) : t.toUpper(); };
    row.insert(QStringLiteral("uid"), userText(text(c.request, "uid")));
    row.insert(QStringLiteral("uname"), userText(text(c.request, "uname")));
    row.insert(QStringLiteral("work_order"), userText(text(c.request, "order")));
    bool thresholds = false;
    for (const char *key : {"gdel", "gde2", "gderl", "gder2", "ndel", "nde2", "nderl", "nder2"}) {
        if (!c.request.contains(QLatin1String(key)))
            continue;
        const QString value = text(c.request, key);
        row.insert(QLatin1String(key), number(rules.threshold ? rules.threshold(value) : value));
        thresholds = true;
    }
    if (thresholds && rules.threshold)
        row.insert(QStringLiteral("threshold_unit"), journal::kThresholdUnitDosimeter);
    if (!row.value(QStringLiteral("number")).toString().isEmpty())
        setErased(row, c);
    return {row};
}

using Values = std::function<QString(const char *key)>;

// The readings of a read-out, from its reply or from a waiting line's status text.
void putReadings(JournalRow &row, const Values &value, bool neutron)
{
    row.insert(QStringLiteral("number"), value("n"));
    row.insert(QStringLiteral("uid"), value("u"));
    row.insert(QStringLiteral("work_order"), value("duty"));
    row.insert(QStringLiteral("dosimeter_type"), value("OUT"));
    row.insert(QStringLiteral("dose_gamma"), number(value("d")));
    row.insert(QStringLiteral("rate_gamma"), number(value("r")));
    row.insert(QStringLiteral("rate_gamma_time"), integer(value("tm")));
    if (neutron) {
        row.insert(QStringLiteral("dose_neutron"), number(value("dn")));
        row.insert(QStringLiteral("rate_neutron"), number(value("rn")));
        row.insert(QStringLiteral("rate_neutron_time"), integer(value("tmn")));
    }
}

const QString kFailedReadout = QStringLiteral("error:Произошла критическая ошибка при Сдаче дозиметра ");

QVector<JournalRow> scanRows(const Context &c)
{
    const RackLines &before = c.served.before, &after = c.served.after;
    QVector<JournalRow> rows;
    int readoutIndex = -1;
    const QString type = text(c.reply, "OUT");
    if (!type.isEmpty()) {
        JournalRow row = baseRow(c, journal::kind::Readout);
        const QVariant cell = cellNumber(text(c.reply, "c"));
        readoutIndex = cell.isNull() ? -1 : cell.toInt() - 1;
        row.insert(QStringLiteral("cell"), cell);
        row.insert(QStringLiteral("port"), after.ports.value(readoutIndex));
        putReadings(row, [&c](const char *key) { return text(c.reply, key); }, c.reply.contains(QLatin1String("dn")));
        row.insert(QStringLiteral("source"), journal::source::Scan);
        rows << row;
    } else {
        // A failed read-out marks its cell; the reply does not name it.
        for (int i = 0; i < after.errors.size(); ++i) {
            if (after.errors.at(i).startsWith(kFailedReadout) && after.errors.at(i) != before.errors.value(i)) {
                JournalRow row = baseRow(c, journal::kind::ReadoutFailed);
                setCell(row, i, after);
                rows << row;
                readoutIndex = i;
                break;
            }
        }
    }
    JournalRow base = baseRow(c, QString());
    rows += registrationRows(before, after, readoutIndex, base);
    // A scan that changed nothing and read nothing leaves no row, unless its
    // reply reports a problem.
    if (rows.isEmpty() && !text(c.reply, "error").isEmpty())
        rows << baseRow(c, journal::kind::ScanError);
    return rows;
}

int requestIndex(const Context &c)
{
    const QVariant cell = cellNumber(text(c.request, "cell"));
    return cell.isNull() ? -1 : cell.toInt() - 1;
}

JournalRow cellRow(const Context &c, const QString &kind)
{
    JournalRow row = baseRow(c, kind);
    const int index = requestIndex(c);
    row.insert(QStringLiteral("cell"), cellNumber(text(c.request, "cell")));
    row.insert(QStringLiteral("number"), text(c.request, "nomer_ppd"));
    row.insert(QStringLiteral("port"), c.served.before.ports.value(index));
    return row;
}

QVector<JournalRow> historyRows(const Context &c)
{
    JournalRow row = cellRow(c, journal::kind::History);
    row.insert(QStringLiteral("history"), text(c.reply, "history_all"));
    return {row};
}

QVector<JournalRow> confirmRows(const Context &c)
{
    const int index = requestIndex(c);
    const QString number = text(c.request, "nomer_ppd");
    // Confirmed: no error text from the client, a plain success reply, and
    // the cell holds that dosimeter afterwards.
    const bool confirmed = text(c.request, "error").isEmpty() && c.replyIsObject
        && !c.reply.contains(QLatin1String("cell")) && text(c.reply, "error").isEmpty() && !number.isEmpty()
        && c.served.after.numbers.value(index) == number;
    JournalRow row = cellRow(c, confirmed ? Confirm : journal::kind::NotConfirmed);
    row.insert(QStringLiteral("note"), text(c.request, "error"));
    setErased(row, c);
    return {row};
}

// The cell was cleared ("free"), or the issued dosimeter still answers from it.
QVector<JournalRow> cellFreeRows(const Context &c)
{
    const bool freed = text(c.reply, "cell") == QLatin1String("free");
    return {cellRow(c, freed ? journal::kind::Freed : journal::kind::StillThere)};
}

QVector<JournalRow> cellErrorRows(const Context &c)
{
    const QString block = text(c.request, "block");
    JournalRow row = cellRow(c, block.isEmpty() ? journal::kind::CellUnblock : journal::kind::CellBlock);
    const int index = requestIndex(c);
    const RackLines &lines = block.isEmpty() ? c.served.after : c.served.before;
    row.insert(QStringLiteral("number"), lines.numbers.value(index));
    row.insert(QStringLiteral("port"), block.isEmpty() ? text(c.request, "port") : lines.ports.value(index));
    row.insert(QStringLiteral("note"), block);
    if (block.isEmpty()) {
        if (c.served.erasure.happened && lines.numbers.value(index).isEmpty())
            row.insert(QStringLiteral("number"), c.served.erasure.number);
        setErased(row, c);
    }
    return {row};
}

QVector<JournalRow> hubRows(const Context &c)
{
    JournalRow row = baseRow(c, journal::kind::Hub);
    row.insert(QStringLiteral("cell"), cellNumber(text(c.request, "cell")));
    row.insert(QStringLiteral("port"), text(c.request, "port"));
    return {row};
}

struct Reader {
    QString command;
    QVector<JournalRow> (*rows)(const Context &);
};

const QVector<Reader> &readers()
{
    static const QVector<Reader> table{
        {QStringLiteral("IN_g"), issueRows},
        {QStringLiteral("IN_gn"), issueRows},
        {QStringLiteral("OUT"), scanRows},
        {QStringLiteral("OUT_Get_history"), historyRows},
        {QStringLiteral("OUT_true"), confirmRows},
        {QStringLiteral("cell_free"), cellFreeRows},
        {QStringLiteral("cell_error"), cellErrorRows},
        {QStringLiteral("Init_hub_ini"), hubRows},
    };
    return table;
}

} // namespace

bool isJournalled(const QString &command)
{
    for (const Reader &r : readers()) {
        if (r.command == command)
            return true;
    }
    return false;
}

QString requestCommand(const QString &request)
{
    return text(parseObject(request), "command");
}

QVector<JournalRow> commandRows(const ServedCommand &served)
{
    Context c{served, parseObject(served.request), {}, false};
    c.reply = parseObject(served.reply, &c.replyIsObject);
    const QString command = text(c.request, "command");
    for (const Reader &r : readers()) {
        if (r.command == command)
            return r.rows(c);
    }
    return {};
}

QVector<JournalRow> startupRows(const RackLines &before, const RackLines &after, const QString &rackType,
                                int cells)
{
    JournalRow base;
    base.insert(QStringLiteral("kind"), journal::kind::Startup);
    base.insert(QStringLiteral("dosimeter_type"), rackType);
    base.insert(QStringLiteral("note"), QStringLiteral("cells=%1").arg(cells));
    QVector<JournalRow> rows{base};
    base.remove(QStringLiteral("note"));
    base.remove(QStringLiteral("dosimeter_type"));
    rows += registrationRows(before, after, -1, base);
    return rows;
}

QMap<QString, QString> statusValues(const QString &status)
{
    const QString errorTail = QStringLiteral(",error:");
    const QString userStart = QStringLiteral(",tw:0,u:");
    if (!status.startsWith(QLatin1String("OUT:")) || !status.endsWith(errorTail))
        return {};
    const QString body = status.left(status.size() - errorTail.size());
    const int userAt = body.indexOf(userStart);
    const int numberAt = body.lastIndexOf(QLatin1String(",n:"));
    if (userAt < 0 || numberAt < userAt)
        return {};
    const QString user = body.mid(userAt + userStart.size(), numberAt - userAt - userStart.size());
    const int dutyAt = user.indexOf(QLatin1String(",duty:"));
    if (dutyAt < 0)
        return {};
    QMap<QString, QString> values{{QStringLiteral("u"), user.left(dutyAt)},
                                  {QStringLiteral("duty"), user.mid(dutyAt + 6)},
                                  {QStringLiteral("n"), body.mid(numberAt + 3)}};
    for (const QString &pair : body.left(userAt).split(QLatin1Char(','))) {
        const int colon = pair.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            return {};
        values.insert(pair.left(colon), pair.mid(colon + 1));
    }
    for (const char *key : {"OUT", "d", "r", "tm"}) {
        if (!values.contains(QLatin1String(key)))
            return {};
    }
    return values;
}

JournalRow recoveredReadout(const QString &statusText, int cellIndex, const QString &port)
{
    const QMap<QString, QString> values = statusValues(statusText);
    if (values.isEmpty())
        return {};
    JournalRow row;
    row.insert(QStringLiteral("kind"), journal::kind::Readout);
    row.insert(QStringLiteral("source"), journal::source::Recovered);
    row.insert(QStringLiteral("cell"), cellIndex + 1);
    row.insert(QStringLiteral("port"), port);
    putReadings(row, [&values](const char *key) { return values.value(QLatin1String(key)); },
                values.contains(QStringLiteral("dn")));
    row.insert(QStringLiteral("note"), statusText);
    return row;
}

const QStringList &readingColumns()
{
    static const QStringList columns{QStringLiteral("uid"),          QStringLiteral("dose_gamma"),
                                     QStringLiteral("rate_gamma"),   QStringLiteral("rate_gamma_time"),
                                     QStringLiteral("dose_neutron"), QStringLiteral("rate_neutron"),
                                     QStringLiteral("rate_neutron_time")};
    return columns;
}

bool sameReadings(const JournalRow &a, const JournalRow &b)
{
    for (const QString &column : readingColumns()) {
        const QVariant x = a.value(column), y = b.value(column);
        if (x.isNull() != y.isNull())
            return false;
        if (x.isNull())
            continue;
        if (column == QLatin1String("uid") ? x.toString() != y.toString() : x.toDouble() != y.toDouble())
            return false;
    }
    return true;
}
