// dose_report: reports over the dose journal, from the cabinet's SQLite file
// or the site's PostgreSQL. Exit status 0, 1 on bad arguments, 2 when the
// source cannot be read.
#include "journalquery.h"
#include "pgconnection.h"
#include "reportoutput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>

namespace {

enum Exit { Ok = 0, BadArguments = 1, SourceUnreadable = 2 };

const char kUsage[] =
    "Commands:\n"
    "  workers [--year Y]       per worker: issues, counted read-outs (returns), dose, highest\n"
    "                           dose rate (with a users table and --key: the limit and the share used)\n"
    "  events [--from D] [--to D] [--uid U] [--cell C] [--number N] [--limit N] [--offset N]\n"
    "  dosimeter N              every event of one dosimeter\n"
    "  unconfirmed              read-outs whose dose is not erased yet (they count already)\n"
    "\n"
    "A read-out counts once: the last one before the dosimeter's dose was erased\n"
    "(confirmation, unblock, a failed confirmation that reset it, the next issue),\n"
    "and the last one not erased yet.\n";

int fail(int code, const QString &message)
{
    std::fprintf(stderr, "dose_report: %s\n", qPrintable(message));
    return code;
}

bool parseInt(const QString &text, int *value, int minimum)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < minimum)
        return false;
    *value = v;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dose_report"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Reports over the dose journal.\n\n") + QLatin1String(kUsage));
    p.addHelpOption();
    const QCommandLineOption sqlite(QStringLiteral("sqlite"),
        QStringLiteral("The cabinet's journal file (default: the journal of --settings, else journal.sqlite)."),
        QStringLiteral("FILE"));
    const QCommandLineOption pg(QStringLiteral("pg"),
        QStringLiteral("Read the site's PostgreSQL (PG* variables, or the [Journal] keys of --settings)."));
    const QCommandLineOption settings(QStringLiteral("settings"),
        QStringLiteral("The controller's settings file: its journal file, [Journal] connection keys and annual_dose_key."),
        QStringLiteral("FILE"));
    const QCommandLineOption key(QStringLiteral("key"),
        QStringLiteral("users column holding the worker identifier (user_id, tab_num, card_id, code)."),
        QStringLiteral("COLUMN"));
    const QCommandLineOption csvOpt(QStringLiteral("csv"), QStringLiteral("CSV output."));
    const QCommandLineOption jsonOpt(QStringLiteral("json"), QStringLiteral("JSON output."));
    const QCommandLineOption year(QStringLiteral("year"), QStringLiteral("Calendar year (workers)."), QStringLiteral("Y"));
    const QCommandLineOption from(QStringLiteral("from"), QStringLiteral("From this date or time."), QStringLiteral("D"));
    const QCommandLineOption to(QStringLiteral("to"), QStringLiteral("Up to this date or time."), QStringLiteral("D"));
    const QCommandLineOption uid(QStringLiteral("uid"), QStringLiteral("Worker identifier."), QStringLiteral("U"));
    const QCommandLineOption cell(QStringLiteral("cell"), QStringLiteral("Cell number."), QStringLiteral("C"));
    const QCommandLineOption number(QStringLiteral("number"), QStringLiteral("Dosimeter number."), QStringLiteral("N"));
    const QCommandLineOption limit(QStringLiteral("limit"), QStringLiteral("At most N events (default 1000, 0: all)."),
                                   QStringLiteral("N"));
    const QCommandLineOption offset(QStringLiteral("offset"), QStringLiteral("Skip N events."), QStringLiteral("N"));
    p.addOptions({sqlite, pg, settings, key, csvOpt, jsonOpt, year, from, to, uid, cell, number, limit, offset});
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("workers, events, dosimeter or unconfirmed"));

    if (!p.parse(app.arguments()))
        return fail(BadArguments, p.errorText());
    if (p.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(p.helpText()), stdout);
        return Ok;
    }

    const QStringList args = p.positionalArguments();
    const QString command = args.value(0);
    const QMap<QString, QList<const QCommandLineOption *>> allowed{
        {QStringLiteral("workers"), {&year}},
        {QStringLiteral("events"), {&from, &to, &uid, &cell, &number, &limit, &offset}},
        {QStringLiteral("dosimeter"), {}},
        {QStringLiteral("unconfirmed"), {}},
    };
    if (command.isEmpty())
        return fail(BadArguments, QStringLiteral("no command given\n") + QLatin1String(kUsage));
    if (!allowed.contains(command))
        return fail(BadArguments, QStringLiteral("unknown command \"%1\"\n").arg(command) + QLatin1String(kUsage));
    if (args.size() != (command == QLatin1String("dosimeter") ? 2 : 1))
        return fail(BadArguments, command == QLatin1String("dosimeter")
                                      ? QStringLiteral("dosimeter needs exactly one dosimeter number")
                                      : QStringLiteral("unexpected argument \"%1\"").arg(args.value(1)));
    for (const QCommandLineOption *o : {&year, &from, &to, &uid, &cell, &number, &limit, &offset}) {
        if (p.isSet(*o) && !allowed.value(command).contains(o))
            return fail(BadArguments, QStringLiteral("--%1 does not apply to %2").arg(o->names().first(), command));
    }
    if (p.isSet(csvOpt) && p.isSet(jsonOpt))
        return fail(BadArguments, QStringLiteral("--csv and --json exclude each other"));
    if (p.isSet(sqlite) && p.isSet(pg))
        return fail(BadArguments, QStringLiteral("--sqlite and --pg exclude each other"));

    EventFilter filter;
    int reportYear = QDate::currentDate().year();
    if (p.isSet(year) && !parseInt(p.value(year), &reportYear, 1970))
        return fail(BadArguments, QStringLiteral("--year needs a year, not \"%1\"").arg(p.value(year)));
    if (p.isSet(from) && !parseFilterTime(p.value(from), false, &filter.fromUtc))
        return fail(BadArguments, QStringLiteral("--from needs a date or an ISO time, not \"%1\"").arg(p.value(from)));
    if (p.isSet(to) && !parseFilterTime(p.value(to), true, &filter.toUtc))
        return fail(BadArguments, QStringLiteral("--to needs a date or an ISO time, not \"%1\"").arg(p.value(to)));
    if (p.isSet(cell) && !parseInt(p.value(cell), &filter.cell, 1))
        return fail(BadArguments, QStringLiteral("--cell needs a cell number, not \"%1\"").arg(p.value(cell)));
    if (p.isSet(limit) && !parseInt(p.value(limit), &filter.limit, 0))
        return fail(BadArguments, QStringLiteral("--limit needs a number, not \"%1\"").arg(p.value(limit)));
    if (p.isSet(offset) && !parseInt(p.value(offset), &filter.offset, 0))
        return fail(BadArguments, QStringLiteral("--offset needs a number, not \"%1\"").arg(p.value(offset)));
    filter.uid = p.value(uid);
    filter.number = p.value(number);
    if (command == QLatin1String("dosimeter") && args.value(1).trimmed().isEmpty())
        return fail(BadArguments, QStringLiteral("dosimeter needs a dosimeter number"));

    // The source.
    QString annualKey = p.value(key);
    QString journalFile = QStringLiteral("journal.sqlite");
    PgSettings pgSettings;
    if (p.isSet(settings)) {
        if (!QFileInfo::exists(p.value(settings)))
            return fail(SourceUnreadable, QStringLiteral("settings file %1 not found").arg(p.value(settings)));
        QSettings s(p.value(settings), QSettings::IniFormat);
        // The file the controller writes (a relative name is taken from the current folder).
        journalFile = s.value(QStringLiteral("Settings/journal"), journalFile).toString().trimmed();
        if (journalFile.isEmpty() && !p.isSet(sqlite) && !p.isSet(pg))
            return fail(SourceUnreadable, QStringLiteral("settings file %1 keeps no journal (journal is empty)")
                                              .arg(p.value(settings)));
        if (annualKey.isEmpty())
            annualKey = s.value(QStringLiteral("Settings/annual_dose_key")).toString().trimmed();
        s.beginGroup(QStringLiteral("Journal"));
        pgSettings.host = s.value(QStringLiteral("host")).toString();
        pgSettings.port = s.value(QStringLiteral("port"), -1).toInt();
        pgSettings.dbname = s.value(QStringLiteral("dbname")).toString();
        pgSettings.user = s.value(QStringLiteral("user")).toString();
        pgSettings.password = readPasswordFile(s.value(QStringLiteral("password_file")).toString());
    }
    const QString connection = QStringLiteral("dose_report");
    QString error;
    QSqlDatabase db;
    if (p.isSet(pg)) {
        db = openPostgres(connection, pgSettings, &error);
        if (!db.isOpen())
            return fail(SourceUnreadable, QStringLiteral("cannot connect to PostgreSQL: ") + error.simplified());
    } else {
        const QString file = p.isSet(sqlite) ? p.value(sqlite) : journalFile;
        if (!QFileInfo(file).isFile())
            return fail(SourceUnreadable, QStringLiteral("journal file %1 not found").arg(file));
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open())
            return fail(SourceUnreadable, QStringLiteral("cannot open %1: %2").arg(file, db.lastError().text()));
    }
    {
        QSqlQuery probe(db);
        if (!probe.exec(QStringLiteral("SELECT COUNT(*) FROM dose_event")))
            return fail(SourceUnreadable, QStringLiteral("no journal there: ") + probe.lastError().text());
    }

    const JournalQuery query(db);
    JournalTable table;
    if (command == QLatin1String("workers"))
        table = query.workers(reportYear, annualKey);
    else if (command == QLatin1String("events"))
        table = query.events(filter);
    else if (command == QLatin1String("dosimeter"))
        table = query.dosimeterLife(args.value(1).trimmed());
    else
        table = query.unconfirmed();
    if (!query.lastError().isEmpty())
        return fail(SourceUnreadable, QStringLiteral("query failed: ") + query.lastError());

    const ReportFormat format = p.isSet(csvOpt) ? ReportFormat::Csv
        : p.isSet(jsonOpt)                      ? ReportFormat::Json
                                                : ReportFormat::Text;
    const QByteArray out = formatTable(table, format);
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return Ok;
}
