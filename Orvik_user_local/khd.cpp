#include "khd.h"

#include <QDebug>

namespace {

// Table of the reflected polynomial x^8 + x^5 + x^4 + 1, built once.
struct Crc8Table {
    unsigned char v[256];
    Crc8Table()
    {
        for (int i = 0; i < 256; ++i) {
            unsigned char c = static_cast<unsigned char>(i);
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1) ? static_cast<unsigned char>((c >> 1) ^ 0x8C) : static_cast<unsigned char>(c >> 1);
            v[i] = c;
        }
    }
};

const Crc8Table &crcTable()
{
    static const Crc8Table table;
    return table;
}

} // namespace

unsigned char crc_8(const unsigned char *buf, size_t len)
{
    const Crc8Table &t = crcTable();
    unsigned char crc = 0;
    for (size_t i = 0; i < len; ++i)
        crc = t.v[crc ^ buf[i]];
    return crc;
}

QByteArray addressRequestFrame()
{
    QByteArray frame = QByteArray::fromHex("B501DE0000000000000000");
    frame.append(static_cast<char>(crc_8(reinterpret_cast<const unsigned char *>(frame.constData()), 9)));
    frame.append(static_cast<char>(0xAA));
    return frame;
}

QString addressFromReply(const QByteArray &reply)
{
    QString adr;
    QString error;
    if (reply.size() >= 2) {
        const signed char raw = reply.size() > 3 ? static_cast<signed char>(reply.at(3)) : 0;
        adr = QString::number(static_cast<int>(raw));
    } else {
        error = QStringLiteral("ошибка чтения адреса устройства");
    }
    return QStringLiteral("{\"adr\": \"") + adr + QStringLiteral("\",\"error\":\"") + error + QStringLiteral("\"}");
}

QString Adr(QString port)
{
    Q_UNUSED(port)
    const QByteArray request = addressRequestFrame();
    qDebug() << request.toHex();
    return addressFromReply(QByteArray::fromHex("b5fede010000000000000001aa"));
}
