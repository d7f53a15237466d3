#include "serialexchange.h"

#include "frame.h"
#include "settings.h"

#include <QElapsedTimer>
#include <QSerialPort>

namespace {

// A whole frame at the start of the bytes that does not carry the request's
// command code and number answers an earlier request (a late copy of its
// reply): it is dropped, and the reply is what follows it.
void dropForeignFrames(QByteArray *reply, const QByteArray &request)
{
    for (int size = frame::leadingFrameSize(*reply); size > 0; size = frame::leadingFrameSize(*reply)) {
        if (frame::echoes(reply->left(size), request))
            return;
        reply->remove(0, size);
    }
}

} // namespace

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

    // In frame mode the reply may end early, at the end of a complete frame
    // that answers this request; anything else still ends at the silence.
    // Bytes that come after the frame stay unread and are dropped by the
    // next exchange.
    const bool endAtFrame = G_reply_end == ReplyEnd::Frame;
    QByteArray reply;
    while (reply.size() < kExchangeMaxReply) {
        const int wait = qMin(kExchangeSilenceMs, remaining());
        if (wait <= 0 || !serial.waitForReadyRead(wait))
            break;
        reply += serial.readAll();
        if (endAtFrame) {
            dropForeignFrames(&reply, request);
            if (frame::isComplete(reply))
                break;
        }
    }
    if (reply.size() > kExchangeMaxReply)
        reply.truncate(kExchangeMaxReply);
    serial.close();
    return reply;
}
