#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>

// CRC-8/MAXIM (reflected polynomial 0x8C, initial value 0, no final xor)
// over the first len bytes of buf.
unsigned char crc_8(const unsigned char *buf, size_t len);

// The 13-byte address query frame: body, CRC-8 of its first 9 bytes, 0xAA.
QByteArray addressRequestFrame();

// Reads the address out of a reply frame and answers
// {"adr": "<address>","error":"<text>"}.
QString addressFromReply(const QByteArray &reply);

// Address query of the device on port. The terminal has no serial line of its
// own, so the reply is the fixed frame of a device at address 1.
QString Adr(QString port);
