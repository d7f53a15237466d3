// Dose records from the journal: events with filters and paging (and the
// same rows as CSV), workers of a year against their limits, one worker's
// confirmed doses, one dosimeter's life and its last history read-out.
#include "consoletime.h"
#include "journalquery.h"
#include "journalschema.h"
#include "journalsource.h"
#include "routes.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <functional>

namespace console {

namespace {

constexpr int kDefaultPageSize = 50;
constexpr int kMaxPageSize = 500;
// Share of the annual limit from which a worker is marked.
constexpr double kNearLimit = 0.8;

// Columns of the records table, in the order the page and the CSV show them.
const QStringList &shownColumns()
{
    static const QStringList list{
        QStringLiteral("time_text"), QStringLiteral("kind"), QStringLiteral("cell"), QStringLiteral("number"),
        QStringLiteral("uid"), QStringLiteral("uname"), QStringLiteral("work_order"), QStringLiteral("operator"),
        QStringLiteral("dose_gamma"), QStringLiteral("dose_neutron"), QStringLiteral("rate_gamma"),
        QStringLiteral("rate_neutron"), QStringLiteral("outcome"), QStringLiteral("note"),
        QStringLiteral("command"), QStringLiteral("cabinet_id"), QStringLiteral("seq"),
        // A read-out's source (scan, recovered, before_reset); absent from older journals, then null.
        QStringLiteral("source"), QStringLiteral("rate_gamma_time"), QStringLiteral("rate_neutron_time")};
    return list;
}

JournalTable project(const JournalTable &table, const QStringList &columns)
{
    JournalTable out;
    out.columns = columns;
    QVector<int> index;
    for (const QString &c : columns)
        index << table.column(c);
    for (const QVariantList &row : table.rows) {
        QVariantList shown;
        for (int i : index)
            shown << (i >= 0 ? row.value(i) : QVariant());
        out.rows << shown;
    }
    return out;
}

QString param(const ApiRequest &req, const char *name)
{
    return QString::fromStdString(req.query(name)).trimmed();
}

bool intInRange(const QString &text, int *value, int minimum, int maximum)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (!ok || v < minimum || v > maximum)
        return false;
    *value = v;
    return true;
}

// The filter of the query parameters; false with the 400 reply when one is wrong.
bool readFilter(const ApiRequest &req, EventFilter *f, ApiReply *refusal)
{
    const QString from = param(req, "from"), to = param(req, "to"), cell = param(req, "cell");
    if (!from.isEmpty() && !parseFilterTime(from, false, &f->fromUtc)) {
        *refusal = ApiReply::error(400, QStringLiteral("Начало периода: нужна дата или дата и время"));
        return false;
    }
    if (!to.isEmpty() && !parseFilterTime(to, true, &f->toUtc)) {
        *refusal = ApiReply::error(400, QStringLiteral("Конец периода: нужна дата или дата и время"));
        return false;
    }
    if (!cell.isEmpty() && !intInRange(cell, &f->cell, 1, 4096)) {
        *refusal = ApiReply::error(400, QStringLiteral("Ячейка: нужен номер от 1"));
        return false;
    }
    f->uid = param(req, "uid");
    f->number = param(req, "number");
    const QString kind = param(req, "kind");
    if (!kind.isEmpty())
        f->kinds = kind.split(QLatin1Char(','), Qt::SkipEmptyParts);
    f->newestFirst = true;
    return true;
}

using JournalHandler = std::function<ApiReply(const ApiRequest &, const JournalQuery &, const JournalSource &)>;

// A viewer's GET route over a connection to the journal opened for it.
void journalRoute(RouteTable &table, Context *ctx, const std::string &pattern, JournalHandler handler)
{
    table.get(pattern, Access::Viewer, [ctx, handler](const ApiRequest &req) {
        const JournalConnection connection(ctx->journal);
        if (!connection.isOpen())
            return ApiReply::error(503, connection.error());
        const JournalQuery query(connection.database());
        ApiReply reply = handler(req, query, ctx->journal);
        if (!query.lastError().isEmpty())
            return ApiReply::error(500, QStringLiteral("Запрос к журналу не удался: ") + query.lastError());
        return reply;
    });
}

QJsonArray kindList()
{
    using namespace journal::kind;
    QJsonArray kinds;
    for (const QString &k : {Issue, Readout, ReadoutFailed, Confirm, NotConfirmed, History, Freed, StillThere, CellFree, CellBlock, CellUnblock, Registered,
                             Unregistered, Hub, ScanError, Startup, Gap, Replaced})
        kinds.append(k);
    return kinds;
}

// Rows as JSON, each with "time": its ts in the cabinet's zone as the pages show it.
QJsonArray rowsWithLocalTime(const JournalTable &rows, const JournalTable &source)
{
    QJsonArray out = tableToJsonArray(rows);
    const int ts = source.column(QStringLiteral("ts"));
    for (int i = 0; i < out.size() && ts >= 0; ++i) {
        const QVariant t = source.rows.at(i).value(ts);
        if (!t.isValid())
            continue;
        QJsonObject o = out.at(i).toObject();
        o.insert(QStringLiteral("time"), consoletime::localText(t.toLongLong()));
        out.replace(i, o);
    }
    return out;
}

// page and size of a paged request; false with the 400 reply.
bool readPage(const ApiRequest &req, int *page, EventFilter *f, ApiReply *refusal)
{
    *page = 1;
    f->limit = kDefaultPageSize;
    const QString pageText = param(req, "page"), sizeText = param(req, "size");
    if ((!pageText.isEmpty() && !intInRange(pageText, page, 1, 10000000))
        || (!sizeText.isEmpty() && !intInRange(sizeText, &f->limit, 1, kMaxPageSize))) {
        *refusal = ApiReply::error(400, QStringLiteral("Страница: номер от 1, размер от 1 до %1").arg(kMaxPageSize));
        return false;
    }
    f->offset = (*page - 1) * f->limit;
    return true;
}

// The page of events and its pager: total, page, size, pages, events.
QJsonObject eventPage(const JournalQuery &query, const EventFilter &f, int page)
{
    const JournalTable source = query.events(f);
    if (!query.lastError().isEmpty())
        return {};
    const JournalTable rows = project(source, shownColumns());
    const qint64 total = query.countEvents(f);
    return {{QStringLiteral("total"), double(total)},
            {QStringLiteral("page"), page},
            {QStringLiteral("size"), f.limit},
            {QStringLiteral("pages"), double(qMax<qint64>(1, (total + f.limit - 1) / f.limit))},
            {QStringLiteral("columns"), QJsonArray::fromStringList(shownColumns())},
            {QStringLiteral("events"), rowsWithLocalTime(rows, source)}};
}

// "0123…" as "01 23 …", 16 bytes a line; a tail that is not whole records is shown as it is.
QJsonArray historyRecords(const QString &hex)
{
    QJsonArray lines;
    const QString plain = QString(hex).remove(QLatin1Char(' ')).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    for (int at = 0; at < plain.size(); at += 32) {
        const QString record = plain.mid(at, 32);
        if (record.size() < 32) {
            lines.append(record);
            break;
        }
        QStringList bytes;
        for (int b = 0; b < 32; b += 2)
            bytes << record.mid(b, 2).toUpper();
        lines.append(bytes.join(QLatin1Char(' ')));
    }
    return lines;
}

} // namespace

void registerRecordsRoutes(RouteTable &table, Context &context)
{
    Context *ctx = &context;

    journalRoute(table, ctx, "/api/events", [](const ApiRequest &req, const JournalQuery &query, const JournalSource &) {
        EventFilter f;
        ApiReply refusal;
        if (!readFilter(req, &f, &refusal))
            return refusal;
        int page = 1;
        if (!readPage(req, &page, &f, &refusal))
            return refusal;
        QJsonObject out = eventPage(query, f, page);
        out.insert(QStringLiteral("kinds"), kindList());
        out.insert(QStringLiteral("zone"), consoletime::zoneJson(QDateTime::currentSecsSinceEpoch()));
        return ApiReply::json(out);
    });

    // Every row the filter matches, in the page's order and columns.
    journalRoute(table, ctx, "/api/events\\.csv", [](const ApiRequest &req, const JournalQuery &query, const JournalSource &) {
        EventFilter f;
        ApiReply reply;
        if (!readFilter(req, &f, &reply))
            return reply;
        f.limit = 0;
        reply.body = tableToCsv(project(query.events(f), shownColumns()), true);
        reply.contentType = "text/csv; charset=utf-8";
        reply.headers.push_back({"Content-Disposition", "attachment; filename=\"dose-events.csv\""});
        return reply;
    });

    journalRoute(table, ctx, "/api/workers", [](const ApiRequest &req, const JournalQuery &query, const JournalSource &source) {
        int year = QDate::currentDate().year();
        const QString yearText = param(req, "year");
        if (!yearText.isEmpty() && !intInRange(yearText, &year, 1970, 9999))
            return ApiReply::error(400, QStringLiteral("Год: число от 1970"));
        const JournalTable t = query.workers(year, source.annualDoseKey);
        const bool limits = t.column(QStringLiteral("share")) >= 0;
        QJsonArray workers = tableToJsonArray(t);
        std::vector<QJsonObject> list;
        for (const QJsonValue &w : workers) {
            QJsonObject o = w.toObject();
            const QJsonValue share = o.value(QStringLiteral("share"));
            o.insert(QStringLiteral("near"), share.isDouble() && share.toDouble() > kNearLimit);
            list.push_back(o);
        }
        // Highest dose first; equal doses by identifier.
        std::stable_sort(list.begin(), list.end(), [](const QJsonObject &a, const QJsonObject &b) {
            return a.value(QStringLiteral("dose")).toDouble() > b.value(QStringLiteral("dose")).toDouble();
        });
        workers = QJsonArray();
        for (const QJsonObject &o : list)
            workers.append(o);
        return ApiReply::json({{QStringLiteral("year"), year},
                               {QStringLiteral("limits"), limits},
                               {QStringLiteral("nearShare"), kNearLimit},
                               {QStringLiteral("workers"), workers}});
    });

    journalRoute(table, ctx, "/api/worker", [](const ApiRequest &req, const JournalQuery &query, const JournalSource &) {
        const QString uid = param(req, "uid");
        if (uid.isEmpty())
            return ApiReply::error(400, QStringLiteral("Не указан идентификатор работника"));
        EventFilter lastIssue;
        lastIssue.uid = uid;
        lastIssue.kinds = QStringList{journal::kind::Issue};
        lastIssue.limit = 1;
        lastIssue.newestFirst = true;
        const JournalTable issue = query.events(lastIssue);
        const JournalTable doses = query.workerDoses(uid);
        double total = 0;
        for (int i = 0; i < doses.rows.size(); ++i)
            total += doses.value(i, QStringLiteral("dose")).toDouble();
        return ApiReply::json({{QStringLiteral("uid"), uid.toUpper()},
                               {QStringLiteral("name"), issue.value(0, QStringLiteral("uname")).toString()},
                               {QStringLiteral("total"), total},
                               {QStringLiteral("doses"), rowsWithLocalTime(doses, doses)}});
    });

    // One dosimeter: its events paged like the records (newest first), its
    // read-outs and issues per month for the chart, its last history read-out.
    journalRoute(table, ctx, "/api/dosimeter", [](const ApiRequest &req, const JournalQuery &query, const JournalSource &) {
        const QString number = param(req, "number");
        if (number.isEmpty())
            return ApiReply::error(400, QStringLiteral("Не указан номер дозиметра"));
        EventFilter f;
        f.number = number;
        f.newestFirst = true;
        int page = 1;
        ApiReply refusal;
        if (!readPage(req, &page, &f, &refusal))
            return refusal;
        QJsonObject out = eventPage(query, f, page);
        if (!query.lastError().isEmpty())
            return ApiReply();
        const JournalTable months = query.dosimeterMonths(number);
        if (!query.lastError().isEmpty())
            return ApiReply::error(500, QStringLiteral("Запрос к журналу не удался: ") + query.lastError());
        const JournalTable history = query.lastHistory(number);
        QJsonValue last;   // null: never read
        if (!history.rows.isEmpty()) {
            const qint64 ts = history.value(0, QStringLiteral("ts")).toLongLong();
            last = QJsonObject{{QStringLiteral("time_text"), history.value(0, QStringLiteral("time_text")).toString()},
                               {QStringLiteral("time"), consoletime::localText(ts)},
                               {QStringLiteral("cell"), QJsonValue::fromVariant(history.value(0, QStringLiteral("cell")))},
                               {QStringLiteral("cabinet_id"), history.value(0, QStringLiteral("cabinet_id")).toString()},
                               {QStringLiteral("records"),
                                historyRecords(history.value(0, QStringLiteral("history")).toString())}};
        }
        out.insert(QStringLiteral("number"), number);
        out.insert(QStringLiteral("life"), out.take(QStringLiteral("events")));
        out.insert(QStringLiteral("months"), tableToJsonArray(months));
        out.insert(QStringLiteral("history"), last);
        out.insert(QStringLiteral("zone"), consoletime::zoneJson(QDateTime::currentSecsSinceEpoch()));
        return ApiReply::json(out);
    });
}

} // namespace console
