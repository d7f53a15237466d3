#include "textcodec.h"

namespace textcodec {

namespace {

// Second bytes of the UTF-8 forms of А … Я, Ё and (for a malformed pair) the
// blank, and the single bytes that stand for them on the device.
constexpr int kAlphabetSize = 34;

quint8 utf8SecondByte(int j)
{
    if (j < 32)
        return quint8(0x90 + j);
    return j == 32 ? quint8(0x81) : quint8(0x20);
}

quint8 deviceByte(int j)
{
    if (j < 32)
        return quint8(0xC0 + j);
    return j == 32 ? quint8(0xA8) : quint8(0x20);
}

const QString &alphabet()
{
    static const QString letters = QStringLiteral("АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯЁ ");
    return letters;
}

} // namespace

QString prepareUserText(const QString &text)
{
    return text.toUpper().left(kMaxUserTextLength);
}

QByteArray encodeUserText(const QByteArray &utf8)
{
    QByteArray out;
    out.reserve(utf8.size());
    int i = 0;
    while (i < utf8.size()) {
        const quint8 b = quint8(utf8.at(i));
        if (b != 0xD0) {
            out.append(char(b));
            ++i;
            continue;
        }
        // A lone 0xD0 at the end is looked up as itself and never matches.
        const quint8 next = i + 1 < utf8.size() ? quint8(utf8.at(i + 1)) : b;
        for (int j = 0; j < kAlphabetSize; ++j) {
            if (utf8SecondByte(j) == next) {
                out.append(char(deviceByte(j)));
                break;
            }
        }
        i += 2;
    }
    return out;
}

QString decodeUserText(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const quint8 b = quint8(c);
        if (b >= 0xC0 && b <= 0xDF)
            out += alphabet().at(b - 0xC0);
        else if (b == 0xA8)
            out += alphabet().at(32);
        else
            out += QChar(ushort(b));   // the blank maps to itself either way
    }
    return out;
}

} // namespace textcodec
