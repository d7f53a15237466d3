#include "selfservice.h"

#include <QDebug>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

#include <cmath>

const char *const SelfServiceSettings::FileVariable = "ORVIK_TERMINAL_SETTINGS";
const char *const SelfServiceSettings::ControllerVariable = "ORVIK_CONTROLLER";
const QString SelfServiceSettings::DefaultFile = QStringLiteral("/etc/orvik-terminal/self-service.ini");

bool isAnnualDoseKey(const QString &column)
{
    return QStringList{QStringLiteral("user_id"), QStringLiteral("tab_num"), QStringLiteral("card_id"),
                       QStringLiteral("code")}
        .contains(column);
}

namespace {

// A text value of the file. Qt 5 reads an INI file's bytes as Latin-1 (Qt 6
// as UTF-8): a value whose characters are all bytes and form valid UTF-8 is
// taken as the UTF-8 text a site writes (Cyrillic work orders and units).
QString iniText(const QVariant &value)
{
    const QString text = value.toString().trimmed();
    bool bytesOnly = true;
    bool high = false;
    for (const QChar c : text) {
        bytesOnly = bytesOnly && c.unicode() <= 0xFF;
        high = high || c.unicode() >= 0x80;
    }
    if (!bytesOnly || !high)
        return text;
    const QByteArray bytes = text.toLatin1();
    const QString decoded = QString::fromUtf8(bytes);
    return decoded.toUtf8() == bytes ? decoded : text;
}

class Reader
{
public:
    Reader(QSettings &s, SelfServiceSettings &out) : m_s(s), m_out(out) {}

    void number(const char *key, double &target, double max)
    {
        const QString name = QLatin1String(key);
        if (!m_s.contains(name))
            return;
        bool ok = false;
        const double v = m_s.value(name).toString().trimmed().toDouble(&ok);
        if (ok && std::isfinite(v) && v >= 0 && v <= max)
            target = v;
        else
            m_out.problems << QStringLiteral("%1: \"%2\" не число от 0 до %3").arg(name, m_s.value(name).toString()).arg(max);
    }
    void seconds(const char *key, int &targetMs, int min, int max)
    {
        double v = targetMs / 1000.0;
        number(key, v, max);
        if (v >= min)
            targetMs = int(v * 1000);
        else
            m_out.problems << QStringLiteral("%1: меньше %2 с").arg(QLatin1String(key)).arg(min);
    }

private:
    QSettings &m_s;
    SelfServiceSettings &m_out;
};

void readChannel(Reader &r, const QString &prefix, ChannelThresholds &c)
{
    const QByteArray p = prefix.toLatin1();
    r.number(QByteArray(p + "dose_warning").constData(), c.doseWarning, 1e9);
    r.number(QByteArray(p + "dose_alarm").constData(), c.doseAlarm, 1e9);
    r.number(QByteArray(p + "rate_warning").constData(), c.rateWarning, 1e9);
    r.number(QByteArray(p + "rate_alarm").constData(), c.rateAlarm, 1e9);
}

} // namespace

SelfServiceSettings SelfServiceSettings::fromFile(const QString &path)
{
    SelfServiceSettings out;
    if (path.isEmpty() || !QFileInfo::exists(path))
        return out;
    QSettings s(path, QSettings::IniFormat);
    if (s.status() != QSettings::NoError) {
        out.problems << QStringLiteral("%1 не читается").arg(path);
        return out;
    }
    s.beginGroup(QStringLiteral("SelfService"));
    const QString controller = s.value(QStringLiteral("controller")).toString().trimmed();
    QString error;
    if (!controller.isEmpty() && !controllerclient::parseAddress(controller, &out.controller, &error))
        out.problems << QStringLiteral("controller: ") + error;
    const QString type = s.value(QStringLiteral("rack_type"), QStringLiteral("1300")).toString().trimmed();
    if (type == QLatin1String("1300GN"))
        out.gammaNeutron = true;
    else if (type != QLatin1String("1300"))
        out.problems << QStringLiteral("rack_type: \"%1\" не 1300 и не 1300GN, взят 1300").arg(type);
    const QString key = s.value(QStringLiteral("annual_dose_key"), out.annualDoseKey).toString().trimmed();
    if (isAnnualDoseKey(key))
        out.annualDoseKey = key;
    else
        out.problems << QStringLiteral("annual_dose_key: \"%1\" не user_id, tab_num, card_id или code").arg(key);
    const QString order = iniText(s.value(QStringLiteral("order"), out.defaultOrder));
    // An empty work order would make the return's read-out fail (the
    // controller takes an empty order for a failed read).
    if (!order.isEmpty())
        out.defaultOrder = order;
    if (out.defaultOrder.size() > 20)
        out.problems << QStringLiteral("order: дозиметр хранит 20 знаков, \"%1\" будет обрезан").arg(out.defaultOrder);
    const QString keypad = s.value(QStringLiteral("order_keypad"), QStringLiteral("off")).toString().trimmed().toLower();
    out.orderKeypad = keypad == QLatin1String("on") || keypad == QLatin1String("true") || keypad == QLatin1String("1")
        || keypad == QLatin1String("yes");
    out.doseUnit = iniText(s.value(QStringLiteral("dose_unit"), out.doseUnit));

    Reader r(s, out);
    readChannel(r, QString(), out.levels.gamma);
    readChannel(r, QStringLiteral("neutron_"), out.levels.neutron);
    r.number("warning_share", out.levels.warningShare, 1.0);
    r.number("neutron_share", out.levels.neutronShare, 1.0);
    r.seconds("issue_timeout", out.issueTimeoutMs, 1, 600);
    r.seconds("take_timeout", out.takeTimeoutMs, 1, 3600);
    double poll = out.pollMs;
    r.number("poll_ms", poll, 60000);
    if (poll >= 100)
        out.pollMs = int(poll);
    return out;
}

SelfServiceSettings SelfServiceSettings::load()
{
    // Set but empty: no file at all, the defaults (not the file in /etc).
    const QString file = qEnvironmentVariableIsSet(FileVariable) ? qEnvironmentVariable(FileVariable) : DefaultFile;
    SelfServiceSettings out = fromFile(file);
    // Empty: none, the file's (or none).
    const QString controller = qEnvironmentVariable(ControllerVariable).trimmed();
    if (!controller.isEmpty()) {
        QString error;
        controllerclient::Address address;
        if (controllerclient::parseAddress(controller, &address, &error))
            out.controller = address;
        else
            out.problems << QStringLiteral("%1: ").arg(QLatin1String(ControllerVariable)) + error;
    }
    for (const QString &p : out.problems)
        qDebug() << "self-service setting not taken:" << p;
    return out;
}
