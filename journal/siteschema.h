#pragma once

// The journal's schema on the site's PostgreSQL: the built-in db/journal.sql,
// split into its statements and applied, every one checked, on each connect.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace siteschema {

// The statements of an SQL script, split at the semicolons that stand outside
// quotes ('…', "…"), dollar-quoted bodies ($$…$$, $tag$…$tag$) and comments.
// Comments outside them become blanks; empty statements are left out.
QStringList splitStatements(const QString &script);

// The built-in db/journal.sql.
QString builtInScript();

// Applies the script in one transaction under an advisory lock (two cabinets
// connecting at once take turns), waiting at most 10 s for a table lock.
// False with *error: the first line of the statement that failed and the
// database's own message; nothing of the script is then left applied.
bool apply(QSqlDatabase &pg, const QString &script, QString *error);

} // namespace siteschema
