// The single-byte user-text codec on arbitrary bytes: encoding never grows
// the text, and the bytes the dosimeter can hold (capitals, Ё, blank and the
// printable ASCII that upper-casing leaves alone) survive a read-back and a
// write unchanged.
#include "fuzzsupport.h"

#include "textcodec.h"

namespace {

bool storable(unsigned char b)
{
    return (b >= 0xC0 && b <= 0xDF) || b == 0xA8 || (b >= 0x20 && b < 0x7F && !(b >= 'a' && b <= 'z'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray in = fuzz::bytes(data, size);

    // Arbitrary (often invalid) UTF-8 straight into the encoder.
    const QByteArray encoded = textcodec::encodeUserText(in);
    FUZZ_CHECK(encoded.size() <= in.size());

    const QString decoded = textcodec::decodeUserText(in);
    FUZZ_CHECK(decoded.size() == in.size());

    const QString prepared = textcodec::prepareUserText(QString::fromUtf8(in));
    FUZZ_CHECK(prepared.size() <= textcodec::kMaxUserTextLength);

    // Stored bytes -> text -> stored bytes.
    QByteArray stored;
    for (const char c : in) {
        const auto b = static_cast<unsigned char>(c);
        if (storable(b))
            stored += c;
    }
    stored.truncate(textcodec::kMaxUserTextLength);
    const QString text = textcodec::decodeUserText(stored);
    const QByteArray back = textcodec::encodeUserText(textcodec::prepareUserText(text).toUtf8());
    FUZZ_CHECK(back == stored);
    return 0;
}
