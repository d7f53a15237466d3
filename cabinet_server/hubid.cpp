#include "hubid.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

int G_udevadm_timeout_ms = 30000;

QString hubIdFromUdevOutput(const QByteArray &output)
{
    QByteArray bytes = output;
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString text = QString::fromUtf8(bytes);
    const QString first = text.split(QLatin1Char('\n')).value(0);
    const QStringList fields = first.split(QLatin1Char('/'));
    if (fields.size() < 3)
        return QString();
    return fields.at(fields.size() - 3).mid(1);
}

QString Get_hub_id(QString device)
{
    if (device.isEmpty() || !QFileInfo::exists(device))
        return QString();
    // The path is passed as its own argument: no shell ever sees it.
    const QString udevadm = QStandardPaths::findExecutable(QStringLiteral("udevadm"));
    if (udevadm.isEmpty())
        return QString();
    QProcess proc;
    proc.setProcessChannelMode(QProcess::SeparateChannels);
    proc.setStandardInputFile(QProcess::nullDevice());
    proc.start(udevadm, {QStringLiteral("info"), device}, QIODevice::ReadOnly);
    if (!proc.waitForStarted(G_udevadm_timeout_ms))
        return QString();
    proc.waitForFinished(G_udevadm_timeout_ms);
    const QByteArray out = proc.readAllStandardOutput();
    if (proc.state() != QProcess::NotRunning) {
        proc.kill();
        proc.waitForFinished(1000);
    }
    return hubIdFromUdevOutput(out);
}
