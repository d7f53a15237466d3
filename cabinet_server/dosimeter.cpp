#include "dosimeter.h"

#include "dosimetercodec.h"
#include "frame.h"
#include "serialexchange.h"
#include "textcodec.h"

using namespace dosimeter;

namespace {

const QString kReadUserIdFailed = QStringLiteral("ошибка чтения идентификатора пользователя");
const QString kModeFailed = QStringLiteral("ошибка установки сервисного режима работы дозиметра");

QString writeText(const QString &port, const QString &nomer, const QString &text, quint8 code,
                  const QString &key, const QString &noAnswer, const QString &refused)
{
    const QString prepared = textcodec::prepareUserText(text);
    const QByteArray reply = Compport(port, textWriteRequest(nomer, code, prepared));
    return textWriteResult(key, prepared, noAnswer, refused, reply);
}

// Resets: no data, empty value, one message for no answer and refusal.
QString reset(const QString &port, const QString &nomer, quint8 code, const QString &key,
              const QString &message)
{
    const QByteArray reply = Compport(port, plainRequest(nomer, code));
    return writeResult(key, QString(), message, message, reply);
}

QString writeFloat64(const QString &port, const QString &nomer, const QString &value, quint8 code,
                     const QString &key, const QString &message)
{
    const QByteArray reply = Compport(port, float64Request(nomer, code, value));
    return writeResult(key, value, message, message, reply);
}

QString writeFloat32(const QString &port, const QString &nomer, const QString &value, quint8 code,
                     const QString &key, const QString &message)
{
    const QByteArray reply = Compport(port, float32Request(nomer, code, value));
    return writeResult(key, value, message, message, reply);
}

} // namespace

// ---- identity and user records

QString Get_Nomer_PPD(QString port)
{
    return numberResult(Compport(port, frame::identity()));
}

QString Get_Type_PPD(QString port)
{
    return typeResult(Compport(port, frame::identity()));
}

QString Get_user_id(QString port, QString nomer)
{
    return textReadResult(QStringLiteral("user_id"), kReadUserIdFailed,
                          Compport(port, plainRequest(nomer, CodeGetUserId)));
}

QString Get_user_order(QString port, QString nomer)
{
    return textReadResult(QStringLiteral("user_order"), kReadUserIdFailed,
                          Compport(port, plainRequest(nomer, CodeGetUserOrder)));
}

QString Set_user_id(QString port, QString nomer, QString text)
{
    const QString message = QStringLiteral("ошибка записи идентификатора пользователя");
    return writeText(port, nomer, text, CodeSetUserId, QStringLiteral("set_user_id"), message, message);
}

QString Set_user_order(QString port, QString nomer, QString text)
{
    return writeText(port, nomer, text, CodeSetUserOrder, QStringLiteral("set_user_order"),
                     QStringLiteral("ошибка записи наряда пользователя"),
                     QStringLiteral("Ошибка записи наряда пользователя"));
}

QString Set_user_PPD(QString port, QString nomer, QString text)
{
    return writeText(port, nomer, text, CodeSetUserName, QStringLiteral("set_user_name"),
                     QStringLiteral("ошибка записи имени"),
                     QStringLiteral("Ошибка записи имени пользователя"));
}

// ---- gamma channel

QString resetDeFailure()
{
    return QStringLiteral("Ошибка сброса ЭД гамма");
}

QString Reset_de(QString port, QString nomer)
{
    return reset(port, nomer, CodeResetDe, QStringLiteral("reset_de"), resetDeFailure());
}

QString Set_maxder(QString port, QString nomer)
{
    return reset(port, nomer, CodeSetMaxder, QStringLiteral("set_maxder"),
                 QStringLiteral("Ошибка сброса МЭД гамма"));
}

QString Set_de1(QString port, QString nomer, QString value)
{
    return writeFloat64(port, nomer, value, CodeSetDe1, QStringLiteral("set_de1"),
                        QStringLiteral("Ошибка записи 1 порог по ЭД"));
}

QString Set_de2(QString port, QString nomer, QString value)
{
    return writeFloat64(port, nomer, value, CodeSetDe2, QStringLiteral("set_de2"),
                        QStringLiteral("Ошибка записи 2 порог по ЭД"));
}

QString Set_der1(QString port, QString nomer, QString value)
{
    return writeFloat32(port, nomer, value, CodeSetDer1, QStringLiteral("set_der1"),
                        QStringLiteral("Ошибка записи 1 порог по МЭД"));
}

QString Set_der2(QString port, QString nomer, QString value)
{
    return writeFloat32(port, nomer, value, CodeSetDer2, QStringLiteral("set_der2"),
                        QStringLiteral("Ошибка записи 2 порог по МЭД"));
}

// ---- neutron channel

QString resetNdeFailure()
{
    return QStringLiteral("Ошибка сброса ЭД нейтроный");
}

QString Reset_nde(QString port, QString nomer)
{
    return reset(port, nomer, CodeResetNde, QStringLiteral("reset_nde"), resetNdeFailure());
}

QString Set_nmaxder(QString port, QString nomer)
{
    return reset(port, nomer, CodeSetNmaxder, QStringLiteral("set_nmaxder"),
                 QStringLiteral("Ошибка сброса МЭД нейтроный"));
}

QString Set_nde1(QString port, QString nomer, QString value)
{
    return writeFloat64(port, nomer, value, CodeSetNde1, QStringLiteral("set_nde1"),
                        QStringLiteral("Ошибка записи 1 порог нейтронный по ЭД"));
}

QString Set_nde2(QString port, QString nomer, QString value)
{
    return writeFloat64(port, nomer, value, CodeSetNde2, QStringLiteral("set_nde2"),
                        QStringLiteral("Ошибка записи 2 порог нейтроный по ЭД"));
}

QString Set_nder1(QString port, QString nomer, QString value)
{
    return writeFloat32(port, nomer, value, CodeSetNder1, QStringLiteral("set_nder1"),
                        QStringLiteral("Ошибка записи 1 порог нейтроный по МЭД"));
}

QString Set_nder2(QString port, QString nomer, QString value)
{
    return writeFloat32(port, nomer, value, CodeSetNder2, QStringLiteral("set_nder2"),
                        QStringLiteral("Ошибка записи 2 порог нейтроный по МЭД"));
}

// ---- modes (only a missing answer is an error)

QString Set_screen_on_PPD(QString port, QString nomer)
{
    return modeResult(QStringLiteral("set_screen_on"), QStringLiteral("ошибка установки режима изменения дозиметра"),
                      Compport(port, modeRequest(nomer, kModeMeasurement)));
}

QString Set_screen_off_PPD(QString port, QString nomer)
{
    return modeResult(QStringLiteral("set_screen_off"), kModeFailed,
                      Compport(port, modeRequest(nomer, kModeService)));
}

QString Ack_configuration_PPD(QString port, QString nomer)
{
    return modeResult(QStringLiteral("ack_configuration"), kModeFailed,
                      Compport(port, plainRequest(nomer, CodeAckConfiguration)));
}

// ---- reads (only a missing answer is an error)

QString Get_des_val(QString port, QString nomer)
{
    return float64ReadResult(QStringLiteral("get_des_val"), QStringLiteral("ошибка чтения ЭД гамма"),
                             Compport(port, plainRequest(nomer, CodeGetDesVal)));
}

QString Get_maxder(QString port, QString nomer)
{
    return float32ReadResult(QStringLiteral("get_maxder"), QStringLiteral("ошибка чтения максимальной МЭД гамма"),
                             Compport(port, plainRequest(nomer, CodeGetMaxder)));
}

QString Get_maxtime(QString port, QString nomer)
{
    return int32ReadResult(QStringLiteral("get_maxtime"), QStringLiteral("ошибка чтения МЭД гамма"),
                           Compport(port, plainRequest(nomer, CodeGetMaxtime)));
}

QString Get_ndes_val(QString port, QString nomer)
{
    return float64ReadResult(QStringLiteral("get_ndes_val"), QStringLiteral("ошибка чтения ЭД нейтроный"),
                             Compport(port, plainRequest(nomer, CodeGetNdesVal)));
}

QString Get_nmaxder(QString port, QString nomer)
{
    return float32ReadResult(QStringLiteral("get_nmaxder"),
                             QStringLiteral("ошибка чтения максимальной МЭД нейтроный"),
                             Compport(port, plainRequest(nomer, CodeGetNmaxder)));
}

QString Get_nmaxtime(QString port, QString nomer)
{
    return int32ReadResult(QStringLiteral("get_nmaxtime"), QStringLiteral("ошибка чтения МЭД нейтроный"),
                           Compport(port, plainRequest(nomer, CodeGetNmaxtime)));
}

// ---- event history

QString Get_count_event_history(QString port, QString nomer)
{
    return countResult(Compport(port, plainRequest(nomer, CodeCountHistory)));
}

QString Get_history_all(QString port, QString nomer)
{
    const Exchange exchange = [&port](const QByteArray &request) { return Compport(port, request); };
    return historyResult(Get_count_event_history(port, nomer), nomer, exchange);
}
