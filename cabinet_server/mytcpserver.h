#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class QTcpServer;
class QTcpSocket;

// One row of the command table: the command text, the request keys read in
// order and passed to the handler in that order, and the rack type that the
// command requires (null: any). A command served differently on gamma and
// neutron racks names a second handler for those.
struct Route
{
    QString command;
    QStringList keys;
    QString requiredType;
    std::function<QString(const QStringList &)> handler;
    std::function<QString(const QStringList &)> gammaNeutronHandler = {};
};

// The command table in matching order. Tests may replace handlers.
QVector<Route> &dispatchTable();

// The dispatcher: one request text in, one reply text out.
QString f_command(QString request);

// Upper bound of the bytes one connection may hold while a request is incomplete.
constexpr int kMaxRequestBytes = 64 * 1024;
// How long an incomplete request may wait for the rest of its bytes.
constexpr int kIncompleteRequestMs = 1000;
// After an oversize request, how long a connection must stay silent before
// its bytes are read as requests again.
constexpr int kOversizeSilenceMs = 1000;

// Whether the bytes are the start of a JSON object that has not ended yet:
// the parser runs out of data inside it.
bool isIncompleteJsonObject(const QByteArray &bytes);

// TCP command server: one JSON request per read, one reply back on the same
// connection. Requests are served strictly one after another.
class MyTcpServer : public QObject
{
    Q_OBJECT
public:
    explicit MyTcpServer(QObject *parent = nullptr);
    bool isListening() const;
    quint16 serverPort() const;

public slots:
    void slotNewConnection();
    void slotServerRead();
    void slotClientDisconnected();

private:
    void serve(QTcpSocket *socket, const QByteArray &requestBytes);
    void onIncompleteTimeout(QTcpSocket *socket);
    void discardUntilSilent(QTcpSocket *socket);
    void onDiscardTimeout(QTcpSocket *socket);

    QTcpServer *mTcpServer = nullptr;
};
