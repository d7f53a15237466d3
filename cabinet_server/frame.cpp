#include "frame.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace frame {

quint16 crc16x25(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (const char c : bytes) {
        quint8 b = quint8(c);
        for (int bit = 0; bit < 8; ++bit) {
            if ((crc ^ b) & 1)
                crc = quint16((crc >> 1) ^ 0x8408);
            else
                crc = quint16(crc >> 1);
            b >>= 1;
        }
    }
    return quint16(~crc);
}

qint32 parseNumber(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? qint32(value) : 0;
}

double parseDouble(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return 0.0;
    return value;
}

float parseFloat(const QString &text)
{
    const double value = parseDouble(text);
    // Converting a double beyond the float range is undefined; such a value
    // would be infinity in single precision and is sent as 0 like infinity.
    if (std::fabs(value) > double(std::numeric_limits<float>::max()))
        return 0.0f;
    return float(value);
}

QByteArray int32Bytes(qint32 value)
{
    const quint32 u = quint32(value);
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char((u >> (8 * i)) & 0xFF);
    return out;
}

QByteArray uint16Bytes(quint16 value)
{
    QByteArray out(2, '\0');
    out[0] = char(value & 0xFF);
    out[1] = char(value >> 8);
    return out;
}

QByteArray float64Bytes(double value)
{
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    QByteArray out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[i] = char((bits >> (8 * i)) & 0xFF);
    return out;
}

QByteArray float32Bytes(float value)
{
    quint32 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char((bits >> (8 * i)) & 0xFF);
    return out;
}

static void appendCrc(QByteArray *frame)
{
    const quint16 crc = crc16x25(*frame);
    frame->append(char(crc & 0xFF));
    frame->append(char(crc >> 8));
}

QByteArray build(qint32 number, quint8 code, const QByteArray &data)
{
    QByteArray f;
    f.reserve(kHeaderSize + data.size() + 2);
    f.append(char(kStart1));
    f.append(char(kStart2));
    f.append(char(0x0A));
    f.append(char(0x00));
    f.append(char(kMarker));
    f.append(int32Bytes(number));
    f.append(char(kFunction));
    f.append(char(code));
    f.append(char(quint8(data.size())));
    f.append(data);
    // The length counts every byte after the length field, the CRC included.
    const quint16 length = quint16(f.size() - 2);
    f[2] = char(length & 0xFF);
    f[3] = char(length >> 8);
    appendCrc(&f);
    return f;
}

QByteArray identity()
{
    return build(0, 0x01);
}

bool holds(const QByteArray &reply, int offset, int width)
{
    return offset >= 0 && width >= 0 && qint64(reply.size()) >= qint64(offset) + width;
}

quint8 byteAt(const QByteArray &reply, int offset)
{
    if (offset < 0 || offset >= reply.size())
        return 0;
    return quint8(reply.at(offset));
}

quint16 uint16At(const QByteArray &reply, int offset)
{
    return quint16(byteAt(reply, offset) | (byteAt(reply, offset + 1) << 8));
}

qint32 int32At(const QByteArray &reply, int offset)
{
    quint32 u = 0;
    for (int i = 0; i < 4; ++i)
        u |= quint32(byteAt(reply, offset + i)) << (8 * i);
    return qint32(u);
}

double float64At(const QByteArray &reply, int offset)
{
    if (offset < 0 || reply.size() < offset + 8)
        return 0.0;
    quint64 bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= quint64(byteAt(reply, offset + i)) << (8 * i);
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float float32At(const QByteArray &reply, int offset)
{
    if (offset < 0 || reply.size() < offset + 4)
        return 0.0f;
    quint32 bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= quint32(byteAt(reply, offset + i)) << (8 * i);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool isComplete(const QByteArray &bytes)
{
    return !bytes.isEmpty() && leadingFrameSize(bytes) == bytes.size();
}

int leadingFrameSize(const QByteArray &bytes)
{
    if (bytes.size() < 4)
        return 0;
    const int size = int(uint16At(bytes, 2)) + 4;
    if (bytes.size() < size || crc16x25(bytes.left(size - 2)) != uint16At(bytes, size - 2))
        return 0;
    return size;
}

bool echoes(const QByteArray &reply, const QByteArray &request)
{
    if (!holds(reply, kCodeOffset, 1) || byteAt(reply, kCodeOffset) != byteAt(request, kCodeOffset))
        return false;
    const qint32 addressed = int32At(request, kNumberOffset);
    return addressed == 0 || (holds(reply, kNumberOffset, 4) && int32At(reply, kNumberOffset) == addressed);
}

bool noAnswer(const QByteArray &reply)
{
    return reply.size() < 2;
}

bool refused(const QByteArray &reply)
{
    return reply.size() > kStatusOffset && byteAt(reply, kStatusOffset) != 0;
}

} // namespace frame
