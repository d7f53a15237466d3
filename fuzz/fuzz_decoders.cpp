// Every reply decoder on arbitrary reply bytes: each result text is a JSON
// object whose "error" is set whenever the dosimeter did not answer, and the
// history read-out stays bounded whatever the count and blocks say. The
// request builders get texts cut from the same input and must produce
// well-formed frames.
#include "fuzzsupport.h"

#include "dosimetercodec.h"
#include "frame.h"
#include "jsonresult.h"

namespace {

void checkResult(const QString &result, const QByteArray &reply)
{
    const CommandReply parsed(result);
    FUZZ_CHECK(parsed.isObject());
    if (frame::noAnswer(reply))
        FUZZ_CHECK(!parsed.error().isEmpty());
}

void checkFrame(const QByteArray &f, int dataLength)
{
    FUZZ_CHECK(f.size() == 14 + dataLength);
    FUZZ_CHECK(quint8(f[0]) == 0x14 && quint8(f[1]) == 0x05 && quint8(f[4]) == 0x55);
    FUZZ_CHECK(frame::uint16At(f, 2) == f.size() - 4);
    FUZZ_CHECK(frame::byteAt(f, 11) == dataLength);
    FUZZ_CHECK(frame::uint16At(f, f.size() - 2) == frame::crc16x25(f.left(f.size() - 2)));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply = fuzz::bytes(data, size);
    const QString key = QStringLiteral("k");
    const QString msg = QStringLiteral("нет ответа");

    checkResult(dosimeter::numberResult(reply), reply);
    checkResult(dosimeter::typeResult(reply), reply);
    FUZZ_CHECK(!dosimeter::detectorType(reply).isEmpty());
    checkResult(dosimeter::textReadResult(key, msg, reply), reply);
    checkResult(dosimeter::writeResult(key, QString::fromUtf8(reply.left(8)), msg, QStringLiteral("отказ"), reply), reply);
    checkResult(dosimeter::textWriteResult(key, QString::fromUtf8(reply.left(8)), msg, QStringLiteral("отказ"), reply),
                reply);
    checkResult(dosimeter::modeResult(key, msg, reply), reply);
    checkResult(dosimeter::float64ReadResult(key, msg, reply), reply);
    checkResult(dosimeter::float32ReadResult(key, msg, reply), reply);
    checkResult(dosimeter::int32ReadResult(key, msg, reply), reply);
    checkResult(dosimeter::countResult(reply), reply);
    // A reply too short for its value is a read error, never a value.
    const struct { QString result; int width; } values[] = {
        {dosimeter::float64ReadResult(key, msg, reply), 8},
        {dosimeter::float32ReadResult(key, msg, reply), 4},
        {dosimeter::int32ReadResult(key, msg, reply), 4},
        {dosimeter::countResult(reply), 2},
    };
    for (const auto &v : values)
        FUZZ_CHECK(frame::holds(reply, frame::kValueOffset, v.width) == CommandReply(v.result).error().isEmpty());
    FUZZ_CHECK(frame::holds(reply, frame::kNumberOffset, 4) == CommandReply(dosimeter::numberResult(reply)).ok());
    const QString hex = dosimeter::historyBlockHex(reply);
    FUZZ_CHECK(hex.size() % 2 == 0);
    FUZZ_CHECK(hex.size() <= 2 * qMin(qMax(0, reply.size() - dosimeter::kBlockDataOffset),
                                      255 * dosimeter::kRecordSize));

    // Position reads past the end give 0.
    for (int offset = reply.size(); offset < reply.size() + 8; ++offset)
        FUZZ_CHECK(frame::byteAt(reply, offset) == 0);

    // History: the count comes from the reply, every block is a slice of it.
    int exchanges = 0;
    const QString history = dosimeter::historyResult(dosimeter::countResult(reply), QStringLiteral("7"),
        [&](const QByteArray &request) {
            ++exchanges;
            FUZZ_CHECK(frame::byteAt(request, 10) == dosimeter::CodeHistoryBlock);
            const int start = (exchanges * 37) % (reply.size() + 1);
            return reply.mid(start);
        });
    FUZZ_CHECK(CommandReply(history).isObject());
    FUZZ_CHECK(exchanges <= dosimeter::historyBlockCount(0xFFFF));

    // Builders on texts cut from the input.
    const QString text = QString::fromUtf8(reply.left(24));
    const QString rest = QString::fromUtf8(reply.mid(24, 24));
    checkFrame(dosimeter::plainRequest(text, dosimeter::CodeGetDesVal), 0);
    checkFrame(dosimeter::float64Request(text, dosimeter::CodeSetDe1, rest), 8);
    checkFrame(dosimeter::float32Request(text, dosimeter::CodeSetDer1, rest), 4);
    checkFrame(dosimeter::modeRequest(text, quint16(size)), 2);
    checkFrame(dosimeter::historyBlockRequest(text, quint16(size)), 2);
    const QByteArray written = dosimeter::textWriteRequest(text, dosimeter::CodeSetUserId, rest);
    checkFrame(written, written.size() - 14);
    return 0;
}
