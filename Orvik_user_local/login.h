#pragma once

#include <QString>

// Texts shown by a login attempt.
namespace LoginText {
extern const QString Busy;              // status bar at the start of an attempt
extern const QString OtherOperation;    // status bar when an attempt is already running
extern const QString DbError;           // notification
extern const QString DbErrorStatus;     // status bar only
extern const QString UserNotFound;
extern const QString NoCell;
} // namespace LoginText

// Options of every database connection of the terminal: time-outs for
// connecting and for each statement, TCP keep-alives.
QString databaseConnectOptions();

// The worker as statement 1 returns it (values as texts, doses as numbers).
struct UserRow {
    bool found = false;
    QString userId;
    QString name;       // name_0, name_1, name_2 on three lines
    double doseYear = 0;
    double doseNow = 0;
    QString block;
    QString setId, kasId, meshId;
};

// The worker's cell as statement 2 returns it.
struct CellRow {
    bool found = false;
    QString setId, kasId, meshId;
    QString setBlock, kasBlock, status, setName, kasName, height, width;
};

// The database side of a login: statements, decisions and texts, without any
// widget. Every step opens its own connection under G_DatabaseName, with 5 s
// time-outs for connecting and for each statement and TCP keep-alives, and
// closes and unregisters it before returning.
class LoginEngine
{
public:
    enum class Outcome { DatabaseError, Refused, Granted };
    struct Result {
        Outcome outcome = Outcome::DatabaseError;
        QString text;   // the refusal text
        UserRow user;
        CellRow cell;
    };

    static const QString UserSelect;      // statement 1 up to and including "WHERE "
    static const QString CellStatement;   // statement 2 with its four placeholders
    static const QString PhotoStatement;  // statement 3

    // Column a code of this login kind is matched against; empty for an unknown kind.
    static QString userColumn(int kind);
    // Statement 1 with its placeholder ":code"; empty for an unknown kind.
    static QString userStatement(int kind);

    // Refusal after statement 1, or the empty text when the worker may go on.
    static QString userRefusal(const UserRow &user);
    // Refusal after statement 2, or the empty text when the cell may be shown;
    // a cell outside its rack or a rack that cannot be drawn counts as no cell.
    static QString cellRefusal(const CellRow &cell);

    // Statement 1; false when the database cannot be opened, or the statement
    // timed out or lost its connection.
    static bool lookupUser(int kind, const QString &code, UserRow &user);
    // Statement 2 for this worker; false as for statement 1.
    static bool lookupCell(const UserRow &user, CellRow &cell);
    // Statement 3: stores the photo as <photo folder>/<id>.png and returns that path,
    // or returns the default picture when the photo cannot be read or stored.
    static QString cachePhoto(const QString &userId);

    // Steps from the first connection up to the decision to show the cell.
    static Result login(int kind, const QString &code);
};
