#include "commandrows.h"

#include <QJsonDocument>
#include <QJsonParseError>

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

QVector<JournalRow> issueRows(const Context &c)
{
    JournalRow row = baseRow(c, journal::kind::Issue);
    row.insert(QStringLiteral("cell"), cellNumber(text(c.reply, "cell")));
    row.insert(QStringLiteral("port"), text(c.reply, "port"));
    row.insert(QStringLiteral("number"), text(c.reply, "nomer_pdd"));
    row.insert(QStringLiteral("uid"), text(c.request, "uid").toUpper());
    row.insert(QStringLiteral("uname"), text(c.request, "uname").toUpper());
    row.insert(QStringLiteral("work_order"), text(c.request, "order").toUpper());
    for (const char *key : {"gdel", "gde2", "gderl", "gder2", "ndel", "nde2", "nderl", "nder2"}) {
        if (c.request.contains(QLatin1String(key)))
            row.insert(QLatin1String(key), number(text(c.request, key)));
    }
    return {row};
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
        row.insert(QStringLiteral("number"), text(c.reply, "n"));
        row.insert(QStringLiteral("uid"), text(c.reply, "u"));
        row.insert(QStringLiteral("work_order"), text(c.reply, "duty"));
        row.insert(QStringLiteral("dosimeter_type"), type);
        row.insert(QStringLiteral("dose_gamma"), number(text(c.reply, "d")));
        row.insert(QStringLiteral("rate_gamma"), number(text(c.reply, "r")));
        row.insert(QStringLiteral("rate_gamma_time"), integer(text(c.reply, "tm")));
        if (c.reply.contains(QLatin1String("dn"))) {
            row.insert(QStringLiteral("dose_neutron"), number(text(c.reply, "dn")));
            row.insert(QStringLiteral("rate_neutron"), number(text(c.reply, "rn")));
            row.insert(QStringLiteral("rate_neutron_time"), integer(text(c.reply, "tmn")));
        }
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
    return {row};
}

QVector<JournalRow> cellFreeRows(const Context &c)
{
    JournalRow row = cellRow(c, journal::kind::CellFree);
    row.insert(QStringLiteral("note"), text(c.reply, "cell"));
    return {row};
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
