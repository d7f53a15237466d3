#include "serialexchange.h"

#include "settings.h"

#include <QElapsedTimer>
#include <QSerialPort>

QByteArray Compport(QString port, QByteArray request)
{
    if (!G_ports_dkg.contains(port))
        return QByteArray();

    QElapsedTimer clock;
    clock.start();
    const auto remaining = [&clock]() { return kExchangeDeadlineMs - int(clock.elapsed()); };

    QSerialPort serial;
    serial.setPortName(port);
    serial.setBaudRate(kExchangeBaud, QSerialPort::AllDirections);
    if (!serial.open(QIODevice::ReadWrite))
        return QByteArray();

    // A late reply to an earlier request may still sit in the input queue;
    // it must not be taken for the start of this reply.
    serial.clear(QSerialPort::Input);

    serial.write(request);
    while (serial.bytesToWrite() > 0 && remaining() > 0) {
        if (!serial.waitForBytesWritten(remaining()))
            break;
    }

    QByteArray reply;
    while (reply.size() < kExchangeMaxReply) {
        const int wait = qMin(kExchangeSilenceMs, remaining());
        if (wait <= 0 || !serial.waitForReadyRead(wait))
            break;
        reply += serial.readAll();
    }
    if (reply.size() > kExchangeMaxReply)
        reply.truncate(kExchangeMaxReply);
    serial.close();
    return reply;
}
