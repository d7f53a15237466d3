#pragma once

#include <QByteArray>
#include <QString>

// The user texts kept by a dosimeter (identifier, work order, name) are single
// bytes: Windows-1251 for the capital Cyrillic letters, Ё and the blank, any
// other byte standing for itself.

namespace textcodec {

constexpr int kMaxUserTextLength = 20;   // UTF-16 code units

// The text as it is written: upper-cased and cut to 20 code units.
QString prepareUserText(const QString &text);

// Turns the UTF-8 form of a prepared text into the bytes sent. A two-byte
// sequence starting with 0xD0 becomes its Windows-1251 capital (or is dropped
// when it has none); every other byte is sent unchanged.
QByteArray encodeUserText(const QByteArray &utf8);

// Reads stored bytes back: Windows-1251 capitals, Ё and the blank become
// those characters, any other byte the Latin-1 character of the same value
// (a zero byte included).
QString decodeUserText(const QByteArray &bytes);

} // namespace textcodec
