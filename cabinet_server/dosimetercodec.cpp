#include "dosimetercodec.h"

#include "frame.h"
#include "jsonresult.h"
#include "log.h"
#include "textcodec.h"

namespace dosimeter {

namespace {

const QString kNumberKey = QStringLiteral("nomer_pdd");
const QString kTypeKey = QStringLiteral("Type_PPD");
const QString kCountKey = QStringLiteral("event_history");
const QString kHistoryKey = QStringLiteral("history_all");

const QString kNumberNoAnswer = QStringLiteral("ошибка чтения номера дозиметра. Нет доступа");
const QString kTypeNoAnswer = QStringLiteral("ошибка чтения номера дозиметра");
const QString kCountNoAnswer = QStringLiteral("ошибка чтения количества событий истории");
const QString kCountFailedSuffix = QStringLiteral("Ошибка, чтения количества событий истории");

// Fixed-point text with nine decimals, as the dose values are reported.
QString doseText(double value)
{
    return QString::number(value, 'f', 9);
}

} // namespace

QByteArray plainRequest(const QString &nomer, quint8 code)
{
    return frame::build(frame::parseNumber(nomer), code);
}

QByteArray textWriteRequest(const QString &nomer, quint8 code, const QString &preparedText)
{
    return frame::build(frame::parseNumber(nomer), code, textcodec::encodeUserText(preparedText.toUtf8()));
}

QByteArray float64Request(const QString &nomer, quint8 code, const QString &value)
{
    return frame::build(frame::parseNumber(nomer), code, frame::float64Bytes(frame::parseDouble(value)));
}

QByteArray float32Request(const QString &nomer, quint8 code, const QString &value)
{
    return frame::build(frame::parseNumber(nomer), code, frame::float32Bytes(frame::parseFloat(value)));
}

QByteArray modeRequest(const QString &nomer, quint16 mode)
{
    return frame::build(frame::parseNumber(nomer), CodeMode, frame::uint16Bytes(mode));
}

QByteArray historyBlockRequest(const QString &nomer, quint16 index)
{
    return frame::build(frame::parseNumber(nomer), CodeHistoryBlock, frame::uint16Bytes(index));
}

QString numberResult(const QByteArray &reply)
{
    if (!frame::holds(reply, frame::kNumberOffset, 4))
        return commandResult(kNumberKey, QString(), kNumberNoAnswer);
    return commandResult(kNumberKey, QString::number(frame::int32At(reply, frame::kNumberOffset)), QString());
}

QString detectorType(const QByteArray &reply)
{
    if (reply.size() > frame::kStatusOffset) {
        switch (frame::byteAt(reply, frame::kStatusOffset)) {
        case 0x01: return QStringLiteral("гамма-детектор");
        case 0x02: return QStringLiteral("бетта-детектор");
        case 0x03: return QStringLiteral("гамма-детектор и нейтронный детектор");
        case 0x81: return QStringLiteral("в режиме загрузчика");
        default: break;
        }
    }
    return QStringLiteral("тип детектора не определен");
}

QString typeResult(const QByteArray &reply)
{
    if (frame::noAnswer(reply))
        return commandResult(kTypeKey, QString(), kTypeNoAnswer);
    return commandResult(kTypeKey, detectorType(reply), QString());
}

QString textReadResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply)
{
    // The length byte and every byte it announces must be there.
    const int n = frame::byteAt(reply, frame::kDataLengthOffset);
    if (!frame::holds(reply, frame::kDataLengthOffset, 1) || !frame::holds(reply, frame::kHeaderSize, n))
        return commandResult(key, QString(), noAnswerMessage);
    return commandResult(key, textcodec::decodeUserText(reply.mid(frame::kHeaderSize, n)), QString());
}

QString writeResult(const QString &key, const QString &value, const QString &noAnswerMessage,
                    const QString &refusedMessage, const QByteArray &reply)
{
    QString message;
    if (frame::noAnswer(reply))
        message = noAnswerMessage;
    else if (frame::refused(reply))
        message = refusedMessage;
    return commandResult(key, value, message);
}

QString textWriteResult(const QString &key, const QString &value, const QString &noAnswerMessage,
                        const QString &refusedMessage, const QByteArray &reply)
{
    if (frame::noAnswer(reply))
        return commandResult(key, QString(), noAnswerMessage);
    return writeResult(key, value, noAnswerMessage, refusedMessage, reply);
}

QString modeResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply)
{
    return commandResult(key, QString(), frame::noAnswer(reply) ? noAnswerMessage : QString());
}

QString float64ReadResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply)
{
    if (!frame::holds(reply, frame::kValueOffset, 8))
        return commandResult(key, QString(), noAnswerMessage);
    return commandResult(key, doseText(frame::float64At(reply, frame::kValueOffset)), QString());
}

QString float32ReadResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply)
{
    if (!frame::holds(reply, frame::kValueOffset, 4))
        return commandResult(key, QString(), noAnswerMessage);
    return commandResult(key, doseText(double(frame::float32At(reply, frame::kValueOffset))), QString());
}

QString int32ReadResult(const QString &key, const QString &noAnswerMessage, const QByteArray &reply)
{
    if (!frame::holds(reply, frame::kValueOffset, 4))
        return commandResult(key, QString(), noAnswerMessage);
    return commandResult(key, QString::number(frame::int32At(reply, frame::kValueOffset)), QString());
}

QString countResult(const QByteArray &reply)
{
    if (!frame::holds(reply, frame::kValueOffset, 2))
        return commandResult(kCountKey, QString(), kCountNoAnswer);
    return commandResult(kCountKey, QString::number(frame::uint16At(reply, frame::kValueOffset)), QString());
}

int historyBlockCount(quint16 count)
{
    return count / kRecordsPerBlock + 1;
}

QString historyBlockHex(const QByteArray &reply)
{
    if (reply.size() < frame::kHeaderSize)
        return QString();
    const int records = frame::byteAt(reply, frame::kDataLengthOffset);
    if (records == 0)
        return QString();
    return QString::fromLatin1(reply.mid(kBlockDataOffset, records * kRecordSize).toHex());
}

QString historyResult(const QString &countResultText, const QString &nomer, const Exchange &exchange)
{
    const CommandReply countReply(countResultText);
    QString error = countReply.error();
    if (!error.isEmpty()) {
        error += kCountFailedSuffix;
        logLine(error);
        return commandResult(kHistoryKey, QString(), error);
    }

    // The count is unsigned 16-bit on the device; anything else reads as 0.
    bool ok = false;
    quint16 count = countReply.value(kCountKey).toUShort(&ok, 10);
    if (!ok)
        count = 0;
    const int blocks = historyBlockCount(count);
    logLine(QString::number(blocks));

    QString history;
    bool blockMissing = false;
    for (int i = 0; i < blocks; ++i) {
        const QByteArray index = frame::uint16Bytes(quint16(i));
        logLine(QString::fromLatin1(index.toHex()));
        const QByteArray reply = exchange(historyBlockRequest(nomer, quint16(i)));
        if (frame::noAnswer(reply)) {
            // A silent block leaves a gap; the message must say so even when
            // later blocks answer.
            blockMissing = true;
            continue;
        }
        history += historyBlockHex(reply);
    }
    return commandResult(kHistoryKey, history, blockMissing ? kCountNoAnswer : QString());
}

} // namespace dosimeter
