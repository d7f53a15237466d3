#include "mytcpserver.h"

#include "cellcommands.h"
#include "commandobserver.h"
#include "dosimeter.h"
#include "hubid.h"
#include "issueworkflow.h"
#include "jsonresult.h"
#include "log.h"
#include "rackmap.h"
#include "returnworkflow.h"
#include "settings.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <cstring>

#include <sys/ioctl.h>

namespace {

const char kBufferProperty[] = "orvik_request_buffer";

QString notJson() { return QStringLiteral("{\"error\":\"не JSON\"}"); }
QString notFound() { return QStringLiteral("{\"error\":\"не найдена команда\"}"); }
QString wrongConfiguration() { return QStringLiteral("{\"error\":\"Не правильная конфигурация \"}"); }

// A single-shot timer of a connection, found by its name, created on first use.
QTimer *connectionTimer(QTcpSocket *socket, const QString &name, int intervalMs)
{
    auto *timer = socket->findChild<QTimer *>(name);
    if (!timer) {
        timer = new QTimer(socket);
        timer->setObjectName(name);
        timer->setSingleShot(true);
        timer->setInterval(intervalMs);
    }
    return timer;
}

// Runs while an unfinished request waits for the rest of its bytes.
QTimer *incompleteTimer(QTcpSocket *socket)
{
    return connectionTimer(socket, QStringLiteral("incomplete"), kIncompleteRequestMs);
}

// Runs while a connection drops the rest of an oversize request: whatever
// arrives meanwhile is discarded and starts it again.
QTimer *discardTimer(QTcpSocket *socket)
{
    return connectionTimer(socket, QStringLiteral("discard"), kOversizeSilenceMs);
}

QByteArray takeBuffer(QTcpSocket *socket)
{
    const QByteArray b = socket->property(kBufferProperty).toByteArray();
    socket->setProperty(kBufferProperty, QByteArray());
    return b;
}

} // namespace

namespace {

// A strict JSON scanner that tells apart input that ends too early from input
// that is wrong: a request still missing its tail is worth waiting for,
// garbage is not.
class JsonPrefixScanner
{
public:
    enum Result { Complete, NeedMore, Invalid };

    explicit JsonPrefixScanner(const QByteArray &bytes) : m_data(bytes.constData()), m_size(bytes.size()) {}

    // The outer value must be an object.
    Result object()
    {
        skipBlanks();
        if (atEnd())
            return Invalid;
        if (m_data[m_pos] != '{')
            return Invalid;
        return value(0);
    }

private:
    // Deeper nesting than the JSON reader accepts is refused at once.
    static constexpr int kMaxDepth = 1024;

    bool atEnd() const { return m_pos >= m_size; }
    void skipBlanks()
    {
        while (!atEnd() && (m_data[m_pos] == ' ' || m_data[m_pos] == '\t' || m_data[m_pos] == '\n'
                            || m_data[m_pos] == '\r'))
            ++m_pos;
    }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

    Result value(int depth)
    {
        skipBlanks();
        if (atEnd())
            return NeedMore;
        const char c = m_data[m_pos];
        if (c == '{' || c == '[')
            return depth >= kMaxDepth ? Invalid : container(depth + 1);
        if (c == '"')
            return string();
        if (c == 't')
            return literal("true");
        if (c == 'f')
            return literal("false");
        if (c == 'n')
            return literal("null");
        if (c == '-' || isDigit(c))
            return number();
        return Invalid;
    }

    Result literal(const char *word)
    {
        for (; *word; ++word, ++m_pos) {
            if (atEnd())
                return NeedMore;
            if (m_data[m_pos] != *word)
                return Invalid;
        }
        return Complete;
    }

    Result string()
    {
        ++m_pos; // opening quote
        while (!atEnd()) {
            const unsigned char c = static_cast<unsigned char>(m_data[m_pos++]);
            if (c == '"')
                return Complete;
            if (c < 0x20)
                return Invalid;
            if (c != '\\')
                continue;
            if (atEnd())
                return NeedMore;
            const char e = m_data[m_pos++];
            if (e == 'u') {
                for (int k = 0; k < 4; ++k, ++m_pos) {
                    if (atEnd())
                        return NeedMore;
                    if (!isHex(m_data[m_pos]))
                        return Invalid;
                }
            } else if (!strchr("\"\\/bfnrt", e) || e == 0) {
                return Invalid;
            }
        }
        return NeedMore;
    }

    // A number always stands inside an object here, so one that reaches the
    // end of the data may still go on.
    Result number()
    {
        if (m_data[m_pos] == '-')
            ++m_pos;
        if (atEnd())
            return NeedMore;
        if (m_data[m_pos] == '0') {
            ++m_pos;
        } else if (isDigit(m_data[m_pos])) {
            while (!atEnd() && isDigit(m_data[m_pos]))
                ++m_pos;
        } else {
            return Invalid;
        }
        if (!atEnd() && m_data[m_pos] == '.') {
            ++m_pos;
            if (atEnd())
                return NeedMore;
            if (!isDigit(m_data[m_pos]))
                return Invalid;
            while (!atEnd() && isDigit(m_data[m_pos]))
                ++m_pos;
        }
        if (!atEnd() && (m_data[m_pos] == 'e' || m_data[m_pos] == 'E')) {
            ++m_pos;
            if (!atEnd() && (m_data[m_pos] == '+' || m_data[m_pos] == '-'))
                ++m_pos;
            if (atEnd())
                return NeedMore;
            if (!isDigit(m_data[m_pos]))
                return Invalid;
            while (!atEnd() && isDigit(m_data[m_pos]))
                ++m_pos;
        }
        return atEnd() ? NeedMore : Complete;
    }

    Result container(int depth)
    {
        const bool isObject = m_data[m_pos] == '{';
        const char close = isObject ? '}' : ']';
        ++m_pos;
        skipBlanks();
        if (atEnd())
            return NeedMore;
        if (m_data[m_pos] == close) {
            ++m_pos;
            return Complete;
        }
        for (;;) {
            if (isObject) {
                skipBlanks();
                if (atEnd())
                    return NeedMore;
                if (m_data[m_pos] != '"')
                    return Invalid;
                const Result key = string();
                if (key != Complete)
                    return key;
                skipBlanks();
                if (atEnd())
                    return NeedMore;
                if (m_data[m_pos++] != ':')
                    return Invalid;
            }
            const Result item = value(depth);
            if (item != Complete)
                return item;
            skipBlanks();
            if (atEnd())
                return NeedMore;
            const char c = m_data[m_pos++];
            if (c == close)
                return Complete;
            if (c != ',')
                return Invalid;
        }
    }

    const char *m_data;
    int m_size;
    int m_pos = 0;
};

} // namespace

bool isIncompleteJsonObject(const QByteArray &bytes)
{
    return JsonPrefixScanner(bytes).object() == JsonPrefixScanner::NeedMore;
}

namespace {

QVector<Route> makeDispatchTable()
{
    using L = const QStringList &;
    const QString gamma = QStringLiteral("1300");
    const QString gammaNeutron = QStringLiteral("1300GN");
    return {
        {QStringLiteral("Get_Nomer_PPD"), {QStringLiteral("port")}, QString(),
         [](L a) { return Get_Nomer_PPD(a[0]); }},
        {QStringLiteral("IN_g"),
         {QStringLiteral("gdel"), QStringLiteral("gde2"), QStringLiteral("gderl"), QStringLiteral("gder2"),
          QStringLiteral("order"), QStringLiteral("uid"), QStringLiteral("uname")},
         gamma,
         [](L a) { return IN_g(QStringLiteral("IN_g"), a[0], a[1], a[2], a[3], a[4], a[5], a[6]); }},
        {QStringLiteral("IN_gn"),
         {QStringLiteral("gdel"), QStringLiteral("gde2"), QStringLiteral("gderl"), QStringLiteral("gder2"),
          QStringLiteral("ndel"), QStringLiteral("nde2"), QStringLiteral("nderl"), QStringLiteral("nder2"),
          QStringLiteral("order"), QStringLiteral("uid"), QStringLiteral("uname")},
         gammaNeutron,
         [](L a) {
             return IN_gn(QStringLiteral("IN_gn"), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                          a[9], a[10]);
         }},
        {QStringLiteral("OUT"), {}, QString(), [](L) { return QUT_1300_g(); },
         [](L) { return QUT_1300_gn(); }},
        {QStringLiteral("OUT_true"), {QStringLiteral("nomer_ppd"), QStringLiteral("cell"), QStringLiteral("error")},
         QString(), [](L a) { return OUT_true(a[0], a[1], a[2]); }},
        {QStringLiteral("OUT_Get_history"),
         {QStringLiteral("nomer_ppd"), QStringLiteral("cell"), QStringLiteral("error")}, QString(),
         [](L a) { return OUT_Get_history(a[0], a[1], a[2]); }},
        {QStringLiteral("cell_free"), {QStringLiteral("nomer_ppd"), QStringLiteral("cell")}, QString(),
         [](L a) { return cell_free(a[0], a[1]); }},
        {QStringLiteral("cell_error"), {QStringLiteral("port"), QStringLiteral("cell"), QStringLiteral("block")},
         QString(), [](L a) { return cell_error(a[0], a[1], a[2]); }},
        {QStringLiteral("cell_cancel"), {QStringLiteral("nomer_ppd"), QStringLiteral("cell")}, QString(),
         [](L) { return QStringLiteral("{\"cell\":\"\",\"error\":\"\"}"); }},
        {QStringLiteral("Init_hub_ini"), {QStringLiteral("port"), QStringLiteral("cell")}, QString(),
         [](L a) { return Init_hub_ini(a[0], a[1]); }},
        {QStringLiteral("Kas_status"), {}, QString(), [](L) { return Kas_status(); }},
    };
}

} // namespace

QVector<Route> &dispatchTable()
{
    static QVector<Route> table = makeDispatchTable();
    return table;
}

QString f_command(QString request)
{
    QJsonObject obj;
    if (!parseJsonObject(request, &obj)) {
        logLine(QStringLiteral("запрос не является объектом JSON"));
        return notJson();
    }
    const QString command = jsonText(obj, QStringLiteral("command"));
    for (const Route &route : dispatchTable()) {
        if (route.command != command)
            continue;
        QStringList args;
        for (const QString &key : route.keys)
            args << jsonText(obj, key);
        if (!route.requiredType.isNull() && G_type_ppd != route.requiredType)
            return wrongConfiguration();
        if (route.gammaNeutronHandler && G_type_ppd == QLatin1String("1300GN"))
            return route.gammaNeutronHandler(args);
        return route.handler(args);
    }
    return notFound();
}

MyTcpServer::MyTcpServer(QObject *parent)
    : QObject(parent)
{
    mTcpServer = new QTcpServer(this);
    connect(mTcpServer, &QTcpServer::newConnection, this, &MyTcpServer::slotNewConnection);
    if (!mTcpServer->listen(QHostAddress::Any, G_tcp_port)) {
        logLine(QStringLiteral("server is not started"));
        return;
    }
    CommandObserver *observer = commandObserver();
    if (observer)
        observer->startupBegins();
    Init_start();
    logLine(Get_hub_id(G_ports_dkg.value(0)));
    StartSettings();
    if (observer)
        observer->startupEnded();
    logLine(QStringLiteral("server is started"));
}

bool MyTcpServer::isListening() const
{
    return mTcpServer->isListening();
}

quint16 MyTcpServer::serverPort() const
{
    return mTcpServer->serverPort();
}

void MyTcpServer::slotNewConnection()
{
    while (QTcpSocket *socket = mTcpServer->nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, &MyTcpServer::slotServerRead);
        connect(socket, &QTcpSocket::disconnected, this, &MyTcpServer::slotClientDisconnected);
        QPointer<QTcpSocket> guard(socket);
        connect(incompleteTimer(socket), &QTimer::timeout, this, [this, guard]() {
            if (guard)
                onIncompleteTimeout(guard);
        });
        connect(discardTimer(socket), &QTimer::timeout, this, [this, guard]() {
            if (guard)
                onDiscardTimeout(guard);
        });
    }
}

void MyTcpServer::slotServerRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    while (socket->bytesAvailable() > 0) {
        QTimer *discard = discardTimer(socket);
        if (discard->isActive()) {
            socket->readAll();
            discard->start();
            continue;
        }
        QByteArray buffer = socket->property(kBufferProperty).toByteArray();
        buffer += socket->readAll();

        const int nul = buffer.indexOf('\0');
        if (nul >= 0) {
            // A zero byte ends the request; whatever follows it is dropped.
            buffer.truncate(nul);
        } else if (buffer.size() > kMaxRequestBytes) {
            discardUntilSilent(socket);
            continue;
        } else if (isIncompleteJsonObject(buffer)) {
            socket->setProperty(kBufferProperty, buffer);
            QTimer *timer = incompleteTimer(socket);
            if (!timer->isActive())
                timer->start();
            continue;
        }
        socket->setProperty(kBufferProperty, QByteArray());
        incompleteTimer(socket)->stop();
        serve(socket, buffer);
    }
}

// An oversize request is answered once; the rest of it, and whatever else
// the client sends before it falls silent for a while, is dropped, so that
// the tail of a long stream is not taken for a run of new requests.
void MyTcpServer::discardUntilSilent(QTcpSocket *socket)
{
    socket->setProperty(kBufferProperty, QByteArray());
    incompleteTimer(socket)->stop();
    logLine(QStringLiteral("запрос длиннее %1 байт отброшен").arg(kMaxRequestBytes));
    serve(socket, QByteArray());
    // The silence is counted from the reply on.
    discardTimer(socket)->start();
}

void MyTcpServer::onDiscardTimeout(QTcpSocket *socket)
{
    // Bytes that came while the server was busy elsewhere were not silence:
    // they are still dropped when they are read.
    int pending = 0;
    if (socket->bytesAvailable() > 0
        || (::ioctl(int(socket->socketDescriptor()), FIONREAD, &pending) == 0 && pending > 0))
        discardTimer(socket)->start();
}

void MyTcpServer::onIncompleteTimeout(QTcpSocket *socket)
{
    const QByteArray buffer = takeBuffer(socket);
    if (buffer.isEmpty())
        return;
    logLine(QStringLiteral("запрос не завершен за %1 мс").arg(kIncompleteRequestMs));
    serve(socket, buffer);
}

void MyTcpServer::serve(QTcpSocket *socket, const QByteArray &requestBytes)
{
    logLine(Get_hub_id(G_ports_dkg.value(0)));
    const QString request = QString::fromUtf8(requestBytes);
    logLine(request);
    // Oversize requests reach the dispatcher as an empty text: "не JSON".
    CommandObserver *observer = commandObserver();
    if (observer)
        observer->requestBegins(request);
    const QString reply = f_command(request);
    // The observer's work (the journal's commit) counts towards the pause
    // before the reply, which stays reply_pause_ms from the end of the handler.
    QElapsedTimer pause;
    pause.start();
    if (observer)
        observer->replyReady(request, reply);
    QThread::msleep(quint64(qMax<qint64>(0, qint64(G_reply_pause_ms) - pause.elapsed())));
    const QByteArray out = reply.toUtf8();
    logLine(reply);
    if (socket->state() == QAbstractSocket::ConnectedState) {
        socket->write(out);
        socket->flush();
    }
}

void MyTcpServer::slotClientDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    incompleteTimer(socket)->stop();
    discardTimer(socket)->stop();
    socket->close();
    socket->deleteLater();
}
