#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The dosimeter request frame: 14 05, a 16-bit length, 0x55, the dosimeter
// number (signed 32-bit), function 0x01, the command code, the data length,
// the data and a CRC-16/X-25, every integer least significant byte first.
// Replies have the same layout and are read by position only.

namespace frame {

constexpr quint8 kStart1 = 0x14;
constexpr quint8 kStart2 = 0x05;
constexpr quint8 kMarker = 0x55;
constexpr quint8 kFunction = 0x01;
constexpr int kHeaderSize = 12;        // bytes before the data
constexpr int kStatusOffset = 12;      // status byte of a write reply
constexpr int kDataLengthOffset = 11;
constexpr int kNumberOffset = 5;       // dosimeter number, 4 bytes
constexpr int kCodeOffset = 10;        // command code
constexpr int kValueOffset = 12;       // first byte of a value read back

// CRC-16/X-25: reflected polynomial 0x8408, start 0xFFFF, final complement.
quint16 crc16x25(const QByteArray &bytes);

// Dosimeter number text: base-10 integer, anything that does not parse is 0.
qint32 parseNumber(const QString &text);

// Value text as a double; text that does not parse, infinity and NaN give 0.
double parseDouble(const QString &text);
// The same value rounded to single precision; values beyond its range give 0.
float parseFloat(const QString &text);

// Little-endian encodings of the data fields.
QByteArray int32Bytes(qint32 value);
QByteArray uint16Bytes(quint16 value);
QByteArray float64Bytes(double value);
QByteArray float32Bytes(float value);

// A complete request: header, data, length field and data length set, CRC appended.
QByteArray build(qint32 number, quint8 code, const QByteArray &data = QByteArray());

// The identity read, addressed to dosimeter number 0.
QByteArray identity();

// Whether a reply holds all `width` bytes from offset on. A value read from a
// reply that does not is a read error, never a value made of missing bytes.
bool holds(const QByteArray &reply, int offset, int width);

// Reply access by position: every byte at or past the end reads as 0.
quint8 byteAt(const QByteArray &reply, int offset);
quint16 uint16At(const QByteArray &reply, int offset);
qint32 int32At(const QByteArray &reply, int offset);
// Floating-point values need all their bytes; a shorter reply reads as 0.
double float64At(const QByteArray &reply, int offset);
float float32At(const QByteArray &reply, int offset);

// Whether the bytes are exactly one complete frame: at least 4 bytes, as many
// as the length field plus 4, ending in the CRC-16/X-25 (low byte first) of
// all the bytes before it. Start bytes and marker are not looked at.
bool isComplete(const QByteArray &bytes);

// The size of the complete frame (as isComplete) that the bytes start with,
// or 0 when they do not start with one.
int leadingFrameSize(const QByteArray &bytes);

// Whether a reply frame answers a request: it carries the request's command
// code and dosimeter number. A request to number 0 (the identity read, which
// reaches whatever dosimeter is on the line) accepts any number.
bool echoes(const QByteArray &reply, const QByteArray &request);

// A reply shorter than 2 bytes means the dosimeter did not answer.
bool noAnswer(const QByteArray &reply);
// A write or reset is refused when the reply holds a non-zero status byte.
bool refused(const QByteArray &reply);

} // namespace frame
