#include "login.h"

#include "pictures.h"

#include "globals.h"
#include "rackplace.h"

#include <QDebug>
#include <QImage>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <limits>

namespace LoginText {
const QString Busy = QStringLiteral("Выполняется Вход");
const QString OtherOperation = QStringLiteral("Выполняется другая операция повторите еще раз");
const QString DbError = QStringLiteral("Не удалось установить соединение с БД");
const QString DbErrorStatus = QStringLiteral("Не удалось становить соединение с БД");
const QString UserNotFound = QStringLiteral("Не найден пользователь ");
const QString NoCell = QStringLiteral("Не найдены закрепленные за пользователем ячейки!");
} // namespace LoginText

const QString LoginEngine::UserSelect = QStringLiteral(
    "SELECT user_id, name_1, name_0, name_2, dose_year, dose_year_now_ppd, block, set_ID, kas_ID, mesh_ID "
    "FROM users WHERE ");

const QString LoginEngine::CellStatement = QStringLiteral(
    "SELECT set.set_id, kas.kas_id, mesh.mesh_id, set.set_block, kas.kas_block, COALESCE(mesh.mesh_status, 2), "
    "mesh.mesh_note, set.set_name, kas.kas_name, kas.kas_height, kas.kas_width "
    "FROM set JOIN kas ON set.set_id = kas.set_id JOIN mesh ON kas.kas_id = mesh.kas_id "
    "where mesh.set_id = :set_id and mesh.kas_id = :kas_id and mesh.mesh_id = :mesh_id and mesh.user_id = :user_id");

const QString LoginEngine::PhotoStatement = QStringLiteral("select user_photo from user_photo where user_id = :user_id");

namespace {

const QString RackName = QStringLiteral("Т1 | ");

// Every step gives up within seconds instead of freezing the screen: 5 s to
// connect, 5 s for a statement (a lock held elsewhere, a busy server), and TCP
// keep-alives plus a send time-out that notice a dropped network.
const QString ConnectOptions = QStringLiteral(
    "connect_timeout=5;keepalives=1;keepalives_idle=5;keepalives_interval=2;keepalives_count=2;"
    "tcp_user_timeout=5000;options='-c statement_timeout=5000'");

// A statement that failed because the server gave up on it or the connection
// broke, as opposed to one that cannot match (which counts as no row).
bool databaseLost(const QSqlError &error)
{
    const QString state = error.nativeErrorCode();
    return state.isEmpty() || state.startsWith(QLatin1String("57")) || state.startsWith(QLatin1String("08"));
}

// One connection for one step of a login: registered, opened, and on
// destruction closed and unregistered. Queries must be gone by then, so they
// are declared after it.
class Connection
{
public:
    Connection()
        : m_name(G_DatabaseName)
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
        m_db.setHostName(G_ip_database);
        if (G_port_database > 0)
            m_db.setPort(G_port_database);
        m_db.setDatabaseName(G_DatabaseName);
        m_db.setUserName(G_UserName);
        m_db.setPassword(G_Password);
        m_db.setConnectOptions(ConnectOptions);
        if (!m_db.open())
            qDebug() << "database not opened:" << m_db.lastError().text();
    }
    ~Connection()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool isOpen() const { return m_db.isOpen(); }
    QSqlDatabase &db() { return m_db; }

private:
    QString m_name;
    QSqlDatabase m_db;
};

// An integer that fits the database's integer columns, or nothing.
bool toDbInt(const QString &text, int &value)
{
    bool ok = false;
    const qlonglong v = text.trimmed().toLongLong(&ok);
    if (!ok || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(v);
    return true;
}

// The value to bind for a code, or an invalid value when the code can never
// match the column (an empty code, or no number for a numeric column).
QVariant codeValue(const QString &column, const QString &code)
{
    if (code.isEmpty())
        return QVariant();
    if (column == QLatin1String("tab_num")) {
        static const QRegularExpression number(QStringLiteral("^[0-9]+(\\.[0-9]+)?$"));
        return number.match(code).hasMatch() ? QVariant(code) : QVariant();
    }
    if (column == QLatin1String("user_id")) {
        int v = 0;
        return toDbInt(code, v) && code == code.trimmed() ? QVariant(v) : QVariant();
    }
    return QVariant(code);
}

} // namespace

QString databaseConnectOptions()
{
    return ConnectOptions;
}

QString LoginEngine::userColumn(int kind)
{
    switch (kind) {
    case 0:
        switch (G_Input_value) {
        case 0: return QStringLiteral("tab_num");
        case 1: return QStringLiteral("card_id");
        case 2: return QStringLiteral("code");
        default: return QStringLiteral("user_id");
        }
    case 1: return QStringLiteral("card_id");
    case 2: return QStringLiteral("code");
    default: return QString();
    }
}

QString LoginEngine::userStatement(int kind)
{
    const QString column = userColumn(kind);
    if (column.isEmpty())
        return QString();
    return UserSelect + column + QStringLiteral(" = :code");
}

QString LoginEngine::userRefusal(const UserRow &user)
{
    if (!user.found || user.userId.isEmpty())
        return LoginText::UserNotFound;
    QString reason = user.block;
    if (user.doseNow > user.doseYear)
        reason = QStringLiteral("Текущая разрешенная доза ") + QString::number(user.doseYear, 'f', 3)
            + QStringLiteral(" превышена ") + QString::number(user.doseNow, 'f', 3);
    if (!reason.isEmpty())
        return reason + QLatin1Char(' ') + user.name;
    return QString();
}

QString LoginEngine::cellRefusal(const CellRow &cell)
{
    if (!cell.found)
        return LoginText::NoCell;
    if (!cell.setBlock.isEmpty())
        return QStringLiteral("Заблокирован доступ к комплекту:") + cell.setBlock
            + QStringLiteral("\nобратитесь к администратору");
    if (!cell.kasBlock.isEmpty())
        return QStringLiteral("Заблокирован доступ к кассетнице:") + cell.kasBlock;
    if (cell.status == QLatin1String("0"))
        return QStringLiteral("Заблокирован доступ к ячейке:") + cell.status;
    // A cell that cannot be drawn in its rack (a broken or oversized geometry)
    // cannot be shown to the worker.
    if (!rackPlace(cell.meshId.trimmed().toInt(), cell.height.trimmed().toInt(), cell.width.trimmed().toInt())
             .drawable)
        return LoginText::NoCell;
    return QString();
}

bool LoginEngine::lookupUser(int kind, const QString &code, UserRow &user)
{
    user = UserRow();
    Connection conn;
    if (!conn.isOpen())
        return false;
    const QString statement = userStatement(kind);
    const QVariant value = codeValue(userColumn(kind), code);
    qDebug() << (statement.isEmpty() ? UserSelect : statement) << "code:" << code;
    if (statement.isEmpty() || !value.isValid())
        return true; // can match no worker: the same as an empty result
    QSqlQuery q(conn.db());
    if (!q.prepare(statement)) {
        qDebug() << q.lastError().text();
        return !databaseLost(q.lastError());
    }
    q.bindValue(QStringLiteral(":code"), value);
    if (!q.exec()) {
        qDebug() << q.lastError().nativeErrorCode() << q.lastError().text();
        return !databaseLost(q.lastError());
    }
    if (!q.next())
        return true;
    user.found = true;
    user.userId = q.value(QStringLiteral("user_id")).toString();
    user.name = q.value(QStringLiteral("name_0")).toString() + QLatin1Char('\n')
        + q.value(QStringLiteral("name_1")).toString() + QLatin1Char('\n')
        + q.value(QStringLiteral("name_2")).toString();
    user.doseYear = q.value(QStringLiteral("dose_year")).toDouble();
    user.doseNow = q.value(QStringLiteral("dose_year_now_ppd")).toDouble();
    user.block = q.value(QStringLiteral("block")).toString();
    user.setId = q.value(QStringLiteral("set_id")).toString();
    user.kasId = q.value(QStringLiteral("kas_id")).toString();
    user.meshId = q.value(QStringLiteral("mesh_id")).toString();
    return true;
}

bool LoginEngine::lookupCell(const UserRow &user, CellRow &cell)
{
    cell = CellRow();
    Connection conn;
    if (!conn.isOpen())
        return false;
    qDebug() << CellStatement << "set:" << user.setId << "rack:" << user.kasId << "cell:" << user.meshId
             << "user:" << user.userId;
    int setId = 0, kasId = 0, meshId = 0, userId = 0;
    if (!toDbInt(user.setId, setId) || !toDbInt(user.kasId, kasId) || !toDbInt(user.meshId, meshId)
        || !toDbInt(user.userId, userId))
        return true; // an identifier missing from the worker's row: no cell
    QSqlQuery q(conn.db());
    if (!q.prepare(CellStatement)) {
        qDebug() << q.lastError().text();
        return !databaseLost(q.lastError());
    }
    q.bindValue(QStringLiteral(":set_id"), setId);
    q.bindValue(QStringLiteral(":kas_id"), kasId);
    q.bindValue(QStringLiteral(":mesh_id"), meshId);
    q.bindValue(QStringLiteral(":user_id"), userId);
    if (!q.exec()) {
        qDebug() << q.lastError().nativeErrorCode() << q.lastError().text();
        return !databaseLost(q.lastError());
    }
    if (!q.next())
        return true;
    // Columns counted from 1 in the statement: 4 set block, 5 rack block,
    // 6 cell status, 8 set name, 10 rack height, 11 rack width.
    cell.found = true;
    cell.setId = user.setId;
    cell.kasId = user.kasId;
    cell.meshId = user.meshId;
    cell.setBlock = q.value(3).toString();
    cell.kasBlock = q.value(4).toString();
    cell.status = q.value(5).toString();
    cell.setName = q.value(7).toString();
    cell.height = q.value(9).toString();
    cell.width = q.value(10).toString();
    cell.kasName = RackName;
    return true;
}

QString LoginEngine::cachePhoto(const QString &userId)
{
    int id = 0;
    static const QRegularExpression digits(QStringLiteral("^-?[0-9]+$"));
    if (!digits.match(userId).hasMatch() || !toDbInt(userId, id))
        return Pictures::DefaultPhoto;
    Connection conn;
    if (!conn.isOpen())
        return Pictures::DefaultPhoto;
    QSqlQuery q(conn.db());
    if (!q.prepare(PhotoStatement))
        return Pictures::DefaultPhoto;
    q.bindValue(QStringLiteral(":user_id"), id);
    if (!q.exec() || !q.next()) {
        qDebug() << "no photo for" << userId << q.lastError().text();
        return Pictures::DefaultPhoto;
    }
    const QByteArray bytes = q.value(QStringLiteral("user_photo")).toByteArray();
    QImage image;
    if (!image.loadFromData(bytes, "PNG")) {
        qDebug() << "photo of" << userId << "is no PNG image";
        return Pictures::DefaultPhoto;
    }
    const QString path = photoFolder() + QLatin1Char('/') + userId + QStringLiteral(".png");
    // Written beside and renamed into place, so a failed write leaves no partial file.
    // commit() does not notice a failed final flush (a full disk), so the
    // flush is checked first: a cut picture never replaces the cached one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.flush() || !file.commit()) {
        qDebug() << "photo not stored at" << path;
        return Pictures::DefaultPhoto;
    }
    return path;
}

LoginEngine::Result LoginEngine::login(int kind, const QString &code)
{
    Result r;
    if (!lookupUser(kind, code, r.user)) {
        r.outcome = Outcome::DatabaseError;
        return r;
    }
    r.text = userRefusal(r.user);
    if (!r.text.isEmpty()) {
        r.outcome = Outcome::Refused;
        return r;
    }
    if (!lookupCell(r.user, r.cell)) {
        r.outcome = Outcome::DatabaseError;
        return r;
    }
    r.text = cellRefusal(r.cell);
    r.outcome = r.text.isEmpty() ? Outcome::Granted : Outcome::Refused;
    return r;
}
