// Dose records from the journal: events with filters and paging (and the
// same rows as CSV), workers of a year against their limits, one worker's
// confirmed doses, one dosimeter's life and its last history read-out.
#include "journalquery.h"
#include "journalschema.h"
#include "journalsource.h"
#include "routes.h"

#include <QDate>
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
        QStringLiteral("command"), QStringLiteral("cabinet_id"), QStringLiteral("seq")};
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
    for (const QString &k : {Issue, Readout, ReadoutFailed, Confirm, NotConfirmed, History, CellFree, CellBlock,
                             CellUnblock, Registered, Unregistered, Hub, ScanError, Startup, Gap, Replaced})
        kinds.append(k);
    return kinds;
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
        f.limit = kDefaultPageSize;
        const QString pageText = param(req, "page"), sizeText = param(req, "size");
        if ((!pageText.isEmpty() && !intInRange(pageText, &page, 1, 10000000))
            || (!sizeText.isEmpty() && !intInRange(sizeText, &f.limit, 1, kMaxPageSize)))
            return ApiReply::error(400, QStringLiteral("Страница: номер от 1, размер от 1 до %1").arg(kMaxPageSize));
        f.offset = (page - 1) * f.limit;
        const JournalTable rows = project(query.events(f), shownColumns());
        if (!query.lastError().isEmpty())
            return ApiReply();
        const qint64 total = query.countEvents(f);
        return ApiReply::json({{QStringLiteral("total"), double(total)},
                               {QStringLiteral("page"), page},
                               {QStringLiteral("size"), f.limit},
                               {QStringLiteral("pages"), double(qMax<qint64>(1, (total + f.limit - 1) / f.limit))},
                               {QStringLiteral("columns"), QJsonArray::fromStringList(shownColumns())},
                               {QStringLiteral("kinds"), kindList()},
                               {QStringLiteral("events"), tableToJsonArray(rows)}});
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
                               {QStringLiteral("doses"), tableToJsonArray(doses)}});
    });

    journalRoute(table, ctx, "/api/dosimeter", [](const ApiRequest &req, const JournalQuery &query, const JournalSource &) {
        const QString number = param(req, "number");
        if (number.isEmpty())
            return ApiReply::error(400, QStringLiteral("Не указан номер дозиметра"));
        const JournalTable life = project(query.dosimeterLife(number), shownColumns());
        const JournalTable history = query.lastHistory(number);
        QJsonValue last;   // null: never read
        if (!history.rows.isEmpty()) {
            last = QJsonObject{{QStringLiteral("time_text"), history.value(0, QStringLiteral("time_text")).toString()},
                               {QStringLiteral("cell"), QJsonValue::fromVariant(history.value(0, QStringLiteral("cell")))},
                               {QStringLiteral("cabinet_id"), history.value(0, QStringLiteral("cabinet_id")).toString()},
                               {QStringLiteral("records"),
                                historyRecords(history.value(0, QStringLiteral("history")).toString())}};
        }
        return ApiReply::json({{QStringLiteral("number"), number},
                               {QStringLiteral("columns"), QJsonArray::fromStringList(shownColumns())},
                               {QStringLiteral("life"), tableToJsonArray(life)},
                               {QStringLiteral("history"), last}});
    });
}

} // namespace console
