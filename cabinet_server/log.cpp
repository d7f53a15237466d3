#include "log.h"

#include <QDebug>
#include <QtGlobal>

void logLine(const QString &text)
{
    qDebug().noquote() << text;
}

void installLogFormat()
{
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} %{message}"));
}
