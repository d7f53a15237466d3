#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Pure request builders and reply decoders of the dosimeter commands. Every
// command in dosimeter.cpp is one builder, one exchange and one decoder; the
// decoders turn a reply (possibly short or empty) into a command result text.
// A reply too short to hold the value it is read for (a number, a text, a
// dose, a rate, a time, a count) gives the command's no-answer message.

namespace dosimeter {

// Command codes.
enum Code : quint8 {
    CodeIdentity = 0x01,
    CodeGetUserId = 0x45,
    CodeGetUserOrder = 0x49,
    CodeSetUserId = 0x46,
    CodeSetUserOrder = 0x4A,
    CodeSetUserName = 0x44,
    CodeResetDe = 0x59,
    CodeSetMaxder = 0x18,
    CodeSetDe1 = 0x09,
    CodeSetDe2 = 0x0C,
    CodeSetDer1 = 0x12,
    CodeSetDer2 = 0x15,
    CodeResetNde = 0xB4,
    CodeSetNmaxder = 0xA8,
    CodeSetNde1 = 0xB9,
    CodeSetNde2 = 0xBC,
    CodeSetNder1 = 0xA2,
    CodeSetNder2 = 0xA5,
    CodeMode = 0x3A,
    CodeAckConfiguration = 0x75,
    CodeGetDesVal = 0x4F,
    CodeGetMaxder = 0x17,
    CodeGetMaxtime = 0x19,
    CodeGetNdesVal = 0xAF,
    CodeGetNmaxder = 0xA7,
    CodeGetNmaxtime = 0xA9,
    CodeCountHistory = 0x30,
    CodeHistoryBlock = 0x57,
};

constexpr quint16 kModeMeasurement = 0;
constexpr quint16 kModeService = 1;
constexpr int kRecordsPerBlock = 127;
constexpr int kRecordSize = 16;
constexpr int kBlockDataOffset = 14;

// ---- request builders (number and value texts as the caller gives them)
QByteArray plainRequest(const QString &nomer, quint8 code);
QByteArray textWriteRequest(const QString &nomer, quint8 code, const QString &preparedText);
QByteArray float64Request(const QString &nomer, quint8 code, const QString &value);
QByteArray float32Request(const QString &nomer, quint8 code, const QString &value);
QByteArray modeRequest(const QString &nomer, quint16 mode);
QByteArray historyBlockRequest(const QString &nomer, quint16 index);

// ---- reply decoders
QString numberResult(const QByteArray &reply);
QString typeResult(const QByteArray &reply);
// The detector type text for a reply that answered.
QString detectorType(const QByteArray &reply);
QString textReadResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply);
// Writes and resets: no answer, refusal (non-zero status) or success; the
// value is echoed in every case.
QString writeResult(const QString &key, const QString &value, const QString &noAnswerMessage,
                    const QString &refusedMessage, const QByteArray &reply);
// Text writes: as writeResult, but the value stays empty when nothing answered.
QString textWriteResult(const QString &key, const QString &value, const QString &noAnswerMessage,
                        const QString &refusedMessage, const QByteArray &reply);
// Mode commands and reads only check for no answer.
QString modeResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply);
QString float64ReadResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply);
QString float32ReadResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply);
QString int32ReadResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply);
QString countResult(const QByteArray &reply);

// ---- history
// Blocks needed for an event count: count / 127 + 1.
int historyBlockCount(quint16 count);
// Hex text of the records in one block reply ("" when it holds none).
QString historyBlockHex(const QByteArray &reply);

using Exchange = std::function<QByteArray(const QByteArray &request)>;
// Reads the whole history given the count command's result text, sending the
// block requests through exchange, and builds the "history_all" result.
QString historyResult(const QString &countResultText, const QString &nomer, const Exchange &exchange);

} // namespace dosimeter
