// A small client of the rack controller's command protocol: sends each
// request given on the command line (or one per line of standard input) on
// its own connection and prints the reply. The protocol has no delimiter, so
// a reply ends when the data stop.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTextStream>

#include <cstdio>

static QByteArray exchange(const QString &host, quint16 port, const QByteArray &request, int timeoutMs, int quietMs)
{
    QTcpSocket s;
    s.connectToHost(host, port);
    if (!s.waitForConnected(5000))
        return QByteArray();
    s.write(request);
    s.flush();
    QByteArray reply;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (s.waitForReadyRead(reply.isEmpty() ? 250 : quietMs))
            reply += s.readAll();
        else if (!reply.isEmpty() || s.state() != QAbstractSocket::ConnectedState)
            break;
    }
    return reply;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Sends JSON commands to cabinet_server and prints the replies."));
    p.addHelpOption();
    QCommandLineOption hostOpt(QStringLiteral("host"), QStringLiteral("Server host."), QStringLiteral("HOST"),
                               QStringLiteral("127.0.0.1"));
    QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("Server port."), QStringLiteral("PORT"),
                               QStringLiteral("6000"));
    QCommandLineOption quietOpt(QStringLiteral("quiet-ms"), QStringLiteral("Silence that ends a reply."),
                                QStringLiteral("MS"), QStringLiteral("300"));
    QCommandLineOption echoOpt(QStringLiteral("echo"), QStringLiteral("Print each request before its reply."));
    p.addOptions({hostOpt, portOpt, quietOpt, echoOpt});
    p.addPositionalArgument(QStringLiteral("request"), QStringLiteral("JSON request texts."), QStringLiteral("[request...]"));
    p.process(app);

    const QString host = p.value(hostOpt);
    const quint16 port = quint16(p.value(portOpt).toUInt());
    const int quiet = p.value(quietOpt).toInt();
    QStringList requests = p.positionalArguments();
    if (requests.isEmpty()) {
        QTextStream in(stdin);
        QString line;
        while (in.readLineInto(&line))
            if (!line.trimmed().isEmpty())
                requests << line;
    }
    int failures = 0;
    for (const QString &r : requests) {
        const QByteArray reply = exchange(host, port, r.toUtf8(), 120000, quiet);
        if (p.isSet(echoOpt))
            std::printf(">> %s\n", r.toUtf8().constData());
        if (reply.isEmpty()) {
            std::printf("<< (no reply)\n");
            ++failures;
        } else {
            std::printf(p.isSet(echoOpt) ? "<< %s\n" : "%s\n", reply.constData());
        }
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}
