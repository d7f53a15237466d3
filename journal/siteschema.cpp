#include "siteschema.h"

#include "pgconnection.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

static void initJournalResource()
{
    Q_INIT_RESOURCE(journal);
}

namespace siteschema {

QStringList splitStatements(const QString &script)
{
    QStringList statements;
    QString current;
    bool meaningful = false;   // the current statement holds more than blanks
    const int n = script.size();
    auto flush = [&]() {
        if (meaningful)
            statements << current.trimmed();
        current.clear();
        meaningful = false;
    };
    int i = 0;
    while (i < n) {
        const QChar c = script.at(i);
        const QChar next = i + 1 < n ? script.at(i + 1) : QChar();
        int end = i + 1;   // one past what this step consumes
        bool text = true;
        if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
            end = script.indexOf(QLatin1Char('\n'), i);
            end = end < 0 ? n : end;
            text = false;
        } else if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
            end = script.indexOf(QLatin1String("*/"), i + 2);
            end = end < 0 ? n : end + 2;
            text = false;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            // A doubled quote inside is part of the text.
            end = i + 1;
            for (;;) {
                end = script.indexOf(c, end);
                if (end < 0) {
                    end = n;
                    break;
                }
                if (end + 1 < n && script.at(end + 1) == c) {
                    end += 2;
                    continue;
                }
                ++end;
                break;
            }
        } else if (c == QLatin1Char('$')) {
            // $tag$ … $tag$; a tag does not start with a digit ($1 is a parameter).
            static const QRegularExpression tag(QStringLiteral("\\G\\$([A-Za-z_][A-Za-z0-9_]*)?\\$"));
            const QRegularExpressionMatch m = tag.match(script, i);
            if (m.hasMatch()) {
                const QString quote = m.captured(0);
                const int close = script.indexOf(quote, i + quote.size());
                end = close < 0 ? n : close + quote.size();
            }
        } else if (c == QLatin1Char(';')) {
            flush();
            i = end;
            continue;
        } else if (c.isSpace()) {
            text = false;
        }
        // A comment stands for a blank (it parts tokens like one).
        current += text || c.isSpace() ? script.mid(i, end - i) : QStringLiteral(" ");
        meaningful = meaningful || text;
        i = end;
    }
    flush();
    return statements;
}

QString builtInScript()
{
    initJournalResource();
    QFile f(QStringLiteral(":/journal/journal.sql"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool apply(QSqlDatabase &pg, const QString &script, QString *error)
{
    const QStringList statements = splitStatements(script);
    if (statements.isEmpty()) {
        *error = QStringLiteral("no statements in journal.sql");
        return false;
    }
    if (!pg.transaction()) {
        *error = sqlErrorText(pg.lastError());
        return false;
    }
    QSqlQuery q(pg);
    // Notices ("already exists, skipping") would flood the log on every connect.
    const QStringList setup{QStringLiteral("SET LOCAL lock_timeout = '10s'"),
                            QStringLiteral("SET LOCAL client_min_messages = warning"),
                            QStringLiteral("SELECT pg_advisory_xact_lock(hashtext('dose_event schema'))")};
    for (const QString &sql : setup + statements) {
        if (!q.exec(sql)) {
            *error = sql.section(QLatin1Char('\n'), 0, 0) + QStringLiteral(": ") + sqlErrorText(q.lastError());
            q.finish();
            pg.rollback();
            return false;
        }
    }
    q.finish();
    if (!pg.commit()) {
        *error = sqlErrorText(pg.lastError());
        pg.rollback();
        return false;
    }
    return true;
}

} // namespace siteschema
