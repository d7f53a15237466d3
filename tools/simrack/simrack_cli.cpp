// Command-line front end of the simulated rack: starts a rack of dosimeters
// and takes one command per line on stdin (see README.md).

#include "simrack.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    ssize_t r = ::write(g_signalPipe[1], &c, 1);
    (void)r;
}

void say(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

QString usage()
{
    return QStringLiteral("usage: simrack --dir DIR [--count N] [--type 1300|1300GN] [--first-number NUMBER]"
                          " [--reply-delay MS]");
}

QString hex(quint8 v)
{
    return QStringLiteral("0x%1").arg(v, 2, 16, QLatin1Char('0'));
}

QString num(double v)
{
    return QString::number(v, 'g', 10);
}

bool toInt(const QString &text, int *out)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (ok)
        *out = v;
    return ok;
}

bool toDouble(const QString &text, double *out)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (ok)
        *out = v;
    return ok;
}

// The command interpreter; keeps the rack type and the next free number.
class Shell
{
public:
    Shell(SimRack &rack, quint8 type, qint32 nextNumber) : m_rack(rack), m_type(type), m_next(nextNumber) {}

    // Returns the answer line; sets *quit for "quit".
    QString run(const QString &line, bool *quit)
    {
        const QStringList w = tokens(line);
        if (w.isEmpty())
            return QStringLiteral("error empty command");
        const QString cmd = w.first().toLower();
        if (cmd == QLatin1String("quit") || cmd == QLatin1String("exit")) {
            *quit = true;
            return QStringLiteral("ok bye");
        }
        if (cmd == QLatin1String("list"))
            return list();
        if (cmd == QLatin1String("insert"))
            return insert(w);
        if (cmd == QLatin1String("reply-delay")) {
            int ms = 0;
            if (w.size() != 2 || !toInt(w.at(1), &ms) || ms < 0)
                return QStringLiteral("error usage: reply-delay MS");
            m_rack.setReplyDelay(ms);
            return QStringLiteral("ok reply-delay %1").arg(ms);
        }
        if (cmd == QLatin1String("help"))
            return QStringLiteral("ok commands: insert POS [NUMBER] [DEVICE], remove DEVICE, "
                                  "user DEVICE UID ORDER NAME, dose DEVICE GAMMA [NEUTRON], "
                                  "maxrate DEVICE RATE TIME [NRATE NTIME], history DEVICE COUNT, "
                                  "fault DEVICE CODE|all KIND [ARGS], reply-delay MS, show DEVICE, list, quit");
        if (w.size() < 2)
            return QStringLiteral("error %1 needs a device").arg(cmd);
        int dev = -1;
        if (!toInt(w.at(1), &dev) || !m_rack.contains(dev))
            return QStringLiteral("error no device %1").arg(w.at(1));
        if (cmd == QLatin1String("remove")) {
            m_rack.remove(dev);
            return QStringLiteral("ok removed %1").arg(dev);
        }
        if (cmd == QLatin1String("user"))
            return user(dev, line);
        if (cmd == QLatin1String("dose"))
            return dose(dev, w);
        if (cmd == QLatin1String("maxrate"))
            return maxrate(dev, w);
        if (cmd == QLatin1String("history"))
            return history(dev, w);
        if (cmd == QLatin1String("fault"))
            return fault(dev, w);
        if (cmd == QLatin1String("show"))
            return show(dev);
        return QStringLiteral("error unknown command %1").arg(cmd);
    }

private:
    QString list() const
    {
        QStringList parts;
        const QList<int> devs = m_rack.devices();
        for (int dev : devs)
            parts << QStringLiteral("%1:%2:%3").arg(dev).arg(m_rack.position(dev)).arg(m_rack.state(dev).number);
        return QStringLiteral("ok %1%2%3").arg(devs.size()).arg(parts.isEmpty() ? QString() : QStringLiteral(" "),
                                                               parts.join(QLatin1Char(' ')));
    }

    QString insert(const QStringList &w)
    {
        int pos = 0, number = 0, dev = -1;
        if (w.size() < 2 || w.size() > 4 || !toInt(w.at(1), &pos) || pos < 1)
            return QStringLiteral("error usage: insert POS [NUMBER] [DEVICE]");
        if (w.size() >= 3) {
            if (!toInt(w.at(2), &number))
                return QStringLiteral("error bad number %1").arg(w.at(2));
        } else {
            while (m_rack.deviceOfNumber(m_next) >= 0)
                ++m_next;
            number = m_next++;
        }
        if (w.size() == 4 && (!toInt(w.at(3), &dev) || dev < 0))
            return QStringLiteral("error bad device %1").arg(w.at(3));
        if (m_rack.deviceAt(pos) >= 0)
            return QStringLiteral("error position %1 is occupied by device %2").arg(pos).arg(m_rack.deviceAt(pos));
        if (m_rack.deviceOfNumber(number) >= 0)
            return QStringLiteral("error number %1 is in device %2").arg(number).arg(m_rack.deviceOfNumber(number));
        const int got = m_rack.insert(pos, number, dev, m_type);
        if (got < 0)
            return QStringLiteral("error %1").arg(m_rack.lastError());
        return QStringLiteral("ok device %1 number %2 position %3 port %4").arg(got).arg(number).arg(pos).arg(
            m_rack.portPath(got));
    }

    QString user(int dev, const QString &line)
    {
        // user DEVICE UID ORDER NAME...: a word in double quotes may hold
        // blanks, and the name is the rest of the line.
        const QStringList w = tokens(line);
        if (w.size() < 5)
            return QStringLiteral("error usage: user DEVICE UID ORDER NAME");
        const QString name = QStringList(w.mid(4)).join(QLatin1Char(' '));
        m_rack.setUser(dev, simtext::encodeUser(w.at(2)), simtext::encodeUser(w.at(3)), simtext::encodeUser(name));
        return QStringLiteral("ok user %1").arg(dev);
    }

    // Splits at blanks; "..." groups words, "" is an empty word, and \" or
    // \\ stands for the character itself.
    static QStringList tokens(const QString &line)
    {
        QStringList out;
        QString cur;
        bool inQuotes = false, have = false;
        for (int i = 0; i < line.size(); ++i) {
            const QChar c = line.at(i);
            const QChar next = i + 1 < line.size() ? line.at(i + 1) : QChar();
            if (c == QLatin1Char('\\') && (next == QLatin1Char('"') || next == QLatin1Char('\\'))) {
                cur += next;
                have = true;
                ++i;
            } else if (c == QLatin1Char('"')) {
                inQuotes = !inQuotes;
                have = true;
            } else if (c.isSpace() && !inQuotes) {
                if (have)
                    out << cur;
                cur.clear();
                have = false;
            } else {
                cur += c;
                have = true;
            }
        }
        if (have)
            out << cur;
        return out;
    }

    QString dose(int dev, const QStringList &w)
    {
        double g = 0, n = 0;
        if (w.size() < 3 || w.size() > 4 || !toDouble(w.at(2), &g) || (w.size() == 4 && !toDouble(w.at(3), &n)))
            return QStringLiteral("error usage: dose DEVICE GAMMA [NEUTRON]");
        m_rack.setDoses(dev, g, n);
        return QStringLiteral("ok dose %1").arg(dev);
    }

    QString maxrate(int dev, const QStringList &w)
    {
        double r = 0, nr = 0;
        int t = 0, nt = 0;
        if ((w.size() != 4 && w.size() != 6) || !toDouble(w.at(2), &r) || !toInt(w.at(3), &t)
            || (w.size() == 6 && (!toDouble(w.at(4), &nr) || !toInt(w.at(5), &nt))))
            return QStringLiteral("error usage: maxrate DEVICE RATE TIME [NRATE NTIME]");
        const SimDosimeter s = m_rack.state(dev);
        if (w.size() == 4) {
            nr = s.neutronMaxRate;
            nt = s.neutronMaxTime;
        }
        m_rack.setMaxRates(dev, float(r), t, float(nr), nt);
        return QStringLiteral("ok maxrate %1").arg(dev);
    }

    QString history(int dev, const QStringList &w)
    {
        int count = 0;
        if (w.size() != 3 || !toInt(w.at(2), &count) || count < 0 || count > 65535)
            return QStringLiteral("error usage: history DEVICE COUNT (0 .. 65535)");
        m_rack.setHistory(dev, SimRack::makeHistory(count));
        return QStringLiteral("ok history %1 %2").arg(dev).arg(count);
    }

    QString fault(int dev, const QStringList &w)
    {
        // fault DEVICE CODE|all silent|refuse [S]|cut N|chunks SIZE PAUSE|stream|delay MS|badcrc|
        //                      badlength DELTA|trail N [GAP_MS]|clear
        if (w.size() < 4)
            return QStringLiteral("error usage: fault DEVICE CODE|all KIND [ARGS]");
        int code = SimRack::AllCodes;
        if (w.at(2).toLower() != QLatin1String("all")) {
            bool ok = false;
            code = w.at(2).toInt(&ok, 0);
            if (!ok || code < 0 || code > 255)
                return QStringLiteral("error bad code %1").arg(w.at(2));
        }
        const QString kind = w.at(3).toLower();
        int a = 0, b = 0;
        const bool hasA = w.size() > 4 && toInt(w.at(4), &a);
        const bool hasB = w.size() > 5 && toInt(w.at(5), &b);
        SimFault f;
        if (kind == QLatin1String("clear")) {
            m_rack.clearFault(dev, code);
            return QStringLiteral("ok fault cleared");
        } else if (kind == QLatin1String("silent")) {
            f = SimFault::silence();
        } else if (kind == QLatin1String("refuse")) {
            f = SimFault::refuse(hasA ? quint8(a) : 1);
        } else if (kind == QLatin1String("cut") && hasA) {
            f = SimFault::cut(a);
        } else if (kind == QLatin1String("chunks") && hasA && hasB) {
            f = SimFault::chunks(a, b);
        } else if (kind == QLatin1String("stream")) {
            f = SimFault::stream();
        } else if (kind == QLatin1String("delay") && hasA) {
            f = SimFault::delay(a);
        } else if (kind == QLatin1String("badcrc")) {
            f = SimFault::wrongCrc();
        } else if (kind == QLatin1String("badlength") && hasA) {
            f = SimFault::wrongLength(a);
        } else if (kind == QLatin1String("trail") && hasA && a > 0) {
            f = SimFault::trailing(a, hasB ? b : 0);
        } else {
            return QStringLiteral("error unknown fault %1").arg(w.mid(3).join(QLatin1Char(' ')));
        }
        m_rack.setFault(dev, code, f);
        return QStringLiteral("ok fault %1").arg(kind);
    }

    QString show(int dev) const
    {
        const SimDosimeter s = m_rack.state(dev);
        QStringList p;
        p << QStringLiteral("device=%1").arg(dev) << QStringLiteral("position=%1").arg(m_rack.position(dev))
          << QStringLiteral("number=%1").arg(s.number) << QStringLiteral("type=%1").arg(hex(s.detectorType))
          << QStringLiteral("user_id=\"%1\"").arg(simtext::decodeUser(s.userId))
          << QStringLiteral("order=\"%1\"").arg(simtext::decodeUser(s.userOrder))
          << QStringLiteral("name=\"%1\"").arg(simtext::decodeUser(s.userName))
          << QStringLiteral("gamma=%1").arg(num(s.gammaDose)) << QStringLiteral("neutron=%1").arg(num(s.neutronDose))
          << QStringLiteral("maxrate=%1").arg(num(s.gammaMaxRate)) << QStringLiteral("maxtime=%1").arg(s.gammaMaxTime)
          << QStringLiteral("nmaxrate=%1").arg(num(s.neutronMaxRate))
          << QStringLiteral("nmaxtime=%1").arg(s.neutronMaxTime) << QStringLiteral("de1=%1").arg(num(s.de1))
          << QStringLiteral("de2=%1").arg(num(s.de2)) << QStringLiteral("der1=%1").arg(num(s.der1))
          << QStringLiteral("der2=%1").arg(num(s.der2)) << QStringLiteral("nde1=%1").arg(num(s.nde1))
          << QStringLiteral("nde2=%1").arg(num(s.nde2)) << QStringLiteral("nder1=%1").arg(num(s.nder1))
          << QStringLiteral("nder2=%1").arg(num(s.nder2)) << QStringLiteral("mode=%1").arg(s.mode)
          << QStringLiteral("ack=%1").arg(s.configAcknowledged ? 1 : 0)
          << QStringLiteral("history=%1").arg(s.history.size());
        return QStringLiteral("ok ") + p.join(QLatin1Char(' '));
    }

    SimRack &m_rack;
    quint8 m_type;
    qint32 m_next;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString dir;
    int count = 30;
    QString type = QStringLiteral("1300");
    int first = 1000;
    int replyDelay = SimRack::kDefaultReplyDelayMs;
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args.at(i);
        const bool hasValue = i + 1 < args.size();
        bool ok = true;
        if (a == QLatin1String("--dir") && hasValue)
            dir = args.at(++i);
        else if (a == QLatin1String("--count") && hasValue)
            count = args.at(++i).toInt(&ok);
        else if (a == QLatin1String("--type") && hasValue)
            type = args.at(++i);
        else if (a == QLatin1String("--first-number") && hasValue)
            first = args.at(++i).toInt(&ok);
        else if (a == QLatin1String("--reply-delay") && hasValue)
            replyDelay = args.at(++i).toInt(&ok);
        else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            say(usage());
            return 0;
        } else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "simrack: bad argument %s\n%s\n", qPrintable(a), qPrintable(usage()));
            return 2;
        }
    }
    if (dir.isEmpty() || count < 0 || count > 61 || replyDelay < 0 || (type != QLatin1String("1300") && type != QLatin1String("1300GN"))) {
        std::fprintf(stderr, "simrack: %s\n(--dir is required, --count 0..61, --type 1300 or 1300GN, --reply-delay 0 or more)\n",
                     qPrintable(usage()));
        return 2;
    }
    const quint8 code = type == QLatin1String("1300GN") ? SimGammaNeutron : SimGamma;

    if (::pipe(g_signalPipe) != 0)
        return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGHUP, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    SimRack rack(dir);
    rack.setReplyDelay(replyDelay);
    for (int i = 0; i < count; ++i) {
        if (rack.insert(i + 1, first + i, i, code) < 0) {
            std::fprintf(stderr, "simrack: %s\n", qPrintable(rack.lastError()));
            return 1;
        }
    }
    say(QStringLiteral("port_base %1").arg(rack.portBase()));
    say(QStringLiteral("udevadm_dir %1").arg(SimRack::udevadmDir()));
    say(QStringLiteral("ready %1 devices type %2").arg(count).arg(type));

    Shell shell(rack, code, first + count);
    QByteArray pending;
    bool quit = false;
    while (!quit) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents & POLLIN)
            break;
        if (!(fds[0].revents & (POLLIN | POLLHUP)))
            continue;
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            if (!pending.trimmed().isEmpty())
                say(shell.run(QString::fromUtf8(pending), &quit));
            break;   // end of input ends the rack
        }
        pending.append(buf, static_cast<int>(n));
        int nl;
        while (!quit && (nl = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(nl)).trimmed();
            pending.remove(0, nl + 1);
            if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
                say(shell.run(line, &quit));
        }
    }
    rack.removeAll();
    return 0;
}
