#include "simrack.h"

#include <QDir>
#include <QFile>
#include <QMap>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// ---------------------------------------------------------------- frames

namespace simframe {

quint16 crc16x25(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (char c : bytes) {
        quint8 b = static_cast<quint8>(c);
        for (int i = 0; i < 8; ++i) {
            if ((crc ^ b) & 1)
                crc = static_cast<quint16>((crc >> 1) ^ 0x8408);
            else
                crc = static_cast<quint16>(crc >> 1);
            b >>= 1;
        }
    }
    return static_cast<quint16>(~crc);
}

QByteArray withCrc(const QByteArray &body)
{
    const quint16 crc = crc16x25(body);
    QByteArray frame = body;
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

QByteArray le16(quint16 v)
{
    QByteArray b;
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
    return b;
}

QByteArray le32(qint32 v)
{
    const quint32 u = static_cast<quint32>(v);
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b.append(char((u >> (8 * i)) & 0xFF));
    return b;
}

QByteArray leFloat(float v)
{
    quint32 u;
    std::memcpy(&u, &v, 4);
    return le32(static_cast<qint32>(u));
}

QByteArray leDouble(double v)
{
    quint64 u;
    std::memcpy(&u, &v, 8);
    QByteArray b;
    for (int i = 0; i < 8; ++i)
        b.append(char((u >> (8 * i)) & 0xFF));
    return b;
}

// Builds the frame with an explicit data-length byte (the history block reply
// puts a record count there instead of a byte count).
static QByteArray buildRaw(qint32 number, quint8 code, quint8 lengthByte, const QByteArray &data)
{
    QByteArray body;
    body.append(char(0x14));
    body.append(char(0x05));
    body.append(le16(0));
    body.append(char(0x55));
    body.append(le32(number));
    body.append(char(0x01));
    body.append(char(code));
    body.append(char(lengthByte));
    body.append(data);
    const QByteArray len = le16(static_cast<quint16>(body.size() - 2));
    body[2] = len[0];
    body[3] = len[1];
    return withCrc(body);
}

QByteArray build(qint32 number, quint8 code, const QByteArray &data)
{
    return buildRaw(number, code, static_cast<quint8>(data.size()), data);
}

static quint8 at(const QByteArray &b, int i)
{
    return static_cast<quint8>(b.at(i));
}

int parse(const QByteArray &buffer, Frame *frame)
{
    if (buffer.isEmpty())
        return 0;
    if (at(buffer, 0) != 0x14)
        return -1;
    if (buffer.size() < 2)
        return 0;
    if (at(buffer, 1) != 0x05)
        return -1;
    if (buffer.size() < 5)
        return 0;
    const int length = at(buffer, 2) | (at(buffer, 3) << 8);
    // The smallest frame (no data) has length 10, the largest 10 + 255.
    if (at(buffer, 4) != 0x55 || length < 10 || length > 10 + 255)
        return -1;
    const int total = length + 4;
    if (buffer.size() < 12)
        return 0;
    if (12 + at(buffer, 11) + 2 != total)
        return -1;
    if (buffer.size() < total)
        return 0;
    if (frame) {
        frame->raw = buffer.left(total);
        frame->number = static_cast<qint32>(at(buffer, 5) | (at(buffer, 6) << 8) | (at(buffer, 7) << 16)
                                            | (static_cast<quint32>(at(buffer, 8)) << 24));
        frame->code = at(buffer, 10);
        frame->data = buffer.mid(12, at(buffer, 11));
        const quint16 crc = crc16x25(buffer.left(total - 2));
        frame->crcOk = at(buffer, total - 2) == (crc & 0xFF) && at(buffer, total - 1) == (crc >> 8);
    }
    return total;
}

} // namespace simframe

// ---------------------------------------------------------------- texts

namespace simtext {

QByteArray encodeUser(const QString &text)
{
    QByteArray out;
    const QString upper = text.toUpper();
    for (const QChar ch : upper) {
        const ushort u = ch.unicode();
        if (u >= 0x0410 && u <= 0x042F)
            out.append(char(0xC0 + (u - 0x0410)));
        else if (u == 0x0401)
            out.append(char(0xA8));
        else
            out.append(QString(ch).toUtf8());
    }
    return out;
}

QString decodeUser(const QByteArray &bytes)
{
    QString out;
    for (char c : bytes) {
        const quint8 b = static_cast<quint8>(c);
        if (b >= 0xC0 && b <= 0xDF)
            out.append(QChar(0x0410 + (b - 0xC0)));
        else if (b == 0xA8)
            out.append(QChar(0x0401));
        else
            out.append(QChar(b));
    }
    return out;
}

} // namespace simtext

// ---------------------------------------------------------------- faults

SimFault SimFault::silence()
{
    SimFault f;
    f.silent = true;
    return f;
}

SimFault SimFault::refuse(quint8 status)
{
    SimFault f;
    f.refusal = status ? status : 1;
    return f;
}

SimFault SimFault::cut(int bytes)
{
    SimFault f;
    f.cutTo = std::max(0, bytes);
    return f;
}

SimFault SimFault::chunks(int size, int pauseMs)
{
    return SimFault().withChunks(size, pauseMs);
}

SimFault SimFault::stream(int bytesPerTick, int tickMs)
{
    SimFault f;
    f.endless = true;
    f.endlessBytes = std::max(1, bytesPerTick);
    f.endlessTickMs = std::max(1, tickMs);
    return f;
}

SimFault SimFault::delay(int ms)
{
    return SimFault().withDelay(ms);
}

SimFault SimFault::wrongCrc()
{
    SimFault f;
    f.badCrc = true;
    return f;
}

SimFault SimFault::wrongLength(int delta)
{
    SimFault f;
    f.lengthDelta = delta;
    return f;
}

SimFault SimFault::trailing(int bytes, int gapMs)
{
    return SimFault().withTrailing(bytes, gapMs);
}

SimFault SimFault::withTrailing(int bytes, int gapMs) const
{
    SimFault f = *this;
    f.trailBytes = std::max(0, bytes);
    f.trailGapMs = std::max(0, gapMs);
    return f;
}

SimFault SimFault::withDelay(int ms) const
{
    SimFault f = *this;
    f.delayMs = std::max(0, ms);
    return f;
}

SimFault SimFault::withChunks(int size, int pauseMs) const
{
    SimFault f = *this;
    f.chunkSize = std::max(1, size);
    f.chunkPauseMs = std::max(0, pauseMs);
    return f;
}

SimFault SimFault::after(int requests) const
{
    SimFault f = *this;
    f.skip = std::max(0, requests);
    return f;
}

SimFault SimFault::times(int requests) const
{
    SimFault f = *this;
    f.count = requests;
    return f;
}

// ---------------------------------------------------------------- rack

namespace {

using Clock = std::chrono::steady_clock;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

constexpr int kMaxRecordsPerBlock = 127;
constexpr int kStaleInputMs = 1000;
constexpr int kIdleTickMs = 250;

struct Segment {
    qint64 due;
    QByteArray bytes;
};

struct FaultEntry {
    SimFault fault;
    int seen = 0;
};

struct Device {
    quint64 id = 0;
    int device = -1;
    int position = 0;
    int master = -1;
    int slave = -1;
    QString link;
    QString sidecar;
    SimDosimeter st;
    QByteArray input;
    qint64 lastInputMs = 0;
    QList<QByteArray> requests;
    QList<QByteArray> bad;
    qint64 sent = 0;
    QMap<int, FaultEntry> faults;
    std::deque<Segment> out;
    bool outBlocked = false;
    bool streaming = false;
    QByteArray streamPattern;
    int streamPos = 0;
    qint64 streamNext = 0;
    int streamBytes = 64;
    int streamTick = 10;
};

// Puts the line back into raw mode when a client left it cooked: with echo on,
// every reply would come back to the rack as a request.
void keepRaw(int fd)
{
    termios tio;
    if (::tcgetattr(fd, &tio) != 0)
        return;
    if (!(tio.c_lflag & (ECHO | ICANON | ISIG)) && !(tio.c_oflag & OPOST) && !(tio.c_iflag & (ICRNL | IXON)))
        return;
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
}

bool writeFileAtomic(const QString &path, const QByteArray &bytes)
{
    const QString tmp = path + QStringLiteral(".tmp");
    QFile f(tmp);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (f.write(bytes) != bytes.size()) {
        f.close();
        f.remove();
        return false;
    }
    f.close();
    return ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(path).constData()) == 0;
}

QByteArray udevOutput(int position, int device)
{
    const QByteArray sys = SimRack::sysfsPath(position, device).toUtf8();
    const QByteArray name = "ttyACM" + QByteArray::number(device);
    const QByteArray pos = QByteArray::number(position);
    QByteArray out;
    out += "P: " + sys + "\n";
    out += "N: " + name + "\n";
    out += "L: 0\n";
    out += "S: serial/by-path/platform-soc-usb-0:1." + pos + ":1.0\n";
    out += "E: DEVPATH=" + sys + "\n";
    out += "E: DEVNAME=/dev/" + name + "\n";
    out += "E: MAJOR=166\n";
    out += "E: MINOR=" + QByteArray::number(device) + "\n";
    out += "E: SUBSYSTEM=tty\n";
    out += "E: ID_BUS=usb\n";
    out += "E: ID_USB_INTERFACE_NUM=00\n";
    out += "E: ID_USB_DRIVER=cdc_acm\n";
    out += "E: ID_PATH=platform-soc-usb-0:1." + pos + ":1.0\n";
    out += "\n";
    return out;
}

} // namespace

struct SimRack::Private {
    QString folder;
    mutable std::mutex m;
    mutable std::condition_variable requestArrived;
    std::map<int, std::unique_ptr<Device>> devs;
    int wake[2] = {-1, -1};
    std::thread thread;
    bool stop = false;
    QString lastError;
    quint64 nextId = 1;
    int replyDelayMs = SimRack::kDefaultReplyDelayMs;

    QString udevDir() const { return folder + QStringLiteral("/.udev"); }

    void wakeUp()
    {
        const char c = 1;
        ssize_t r = ::write(wake[1], &c, 1);
        (void)r;
    }

    Device *find(int device) const
    {
        auto it = devs.find(device);
        return it == devs.end() ? nullptr : it->second.get();
    }

    void closeDevice(Device &dv)
    {
        ::unlink(QFile::encodeName(dv.link).constData());
        QFile::remove(dv.sidecar);
        QFile::remove(dv.sidecar + QStringLiteral(".delay"));
        if (dv.master >= 0)
            ::close(dv.master);
        if (dv.slave >= 0)
            ::close(dv.slave);
        dv.master = dv.slave = -1;
    }

    void run();
    void readInput(Device &dv, qint64 now);
    void handleFrame(Device &dv, const simframe::Frame &fr, qint64 now);
    QByteArray answer(Device &dv, const simframe::Frame &fr);
    void flushOutput(Device &dv, qint64 now);
    void streamOut(Device &dv, qint64 now);
};

SimRack::SimRack(const QString &folder) : d(new Private)
{
    d->folder = QDir(folder).absolutePath();
    QDir().mkpath(d->folder);
    QDir().mkpath(d->udevDir());
    if (::pipe2(d->wake, O_CLOEXEC | O_NONBLOCK) != 0)
        d->wake[0] = d->wake[1] = -1;
    d->thread = std::thread([this] { d->run(); });
}

SimRack::~SimRack()
{
    {
        std::lock_guard<std::mutex> lock(d->m);
        d->stop = true;
    }
    d->wakeUp();
    if (d->thread.joinable())
        d->thread.join();
    for (auto &p : d->devs)
        d->closeDevice(*p.second);
    d->devs.clear();
    ::close(d->wake[0]);
    ::close(d->wake[1]);
}

QString SimRack::folder() const
{
    return d->folder;
}

QString SimRack::portBase() const
{
    return d->folder + QStringLiteral("/ttyACM");
}

QString SimRack::portPath(int device) const
{
    return portBase() + QString::number(device);
}

QString SimRack::udevadmDir()
{
    return QStringLiteral(SIMRACK_UDEVADM_DIR);
}

QString SimRack::udevadmPath()
{
    return udevadmDir() + QStringLiteral("/udevadm");
}

QString SimRack::cliPath()
{
    return QStringLiteral(SIMRACK_CLI_PATH);
}

QString SimRack::sysfsPath(int position, int device)
{
    const QString port = QStringLiteral("1-1.%1").arg(position);
    return QStringLiteral("/devices/platform/soc/usb1/1-1/%1/%1:1.0/tty/ttyACM%2").arg(port).arg(device);
}

QString SimRack::hubId(int position)
{
    return QStringLiteral("-1.%1:1.0").arg(position);
}

int SimRack::insert(int position, qint32 number, int device, quint8 type)
{
    SimDosimeter st;
    st.number = number;
    st.detectorType = type;
    return insert(position, st, device);
}

int SimRack::insert(int position, const SimDosimeter &state, int device)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (position < 1) {
        d->lastError = QStringLiteral("position must be 1 or more");
        return -1;
    }
    if (device < 0) {
        device = 0;
        while (d->devs.count(device))
            ++device;
    } else if (d->devs.count(device)) {
        d->lastError = QStringLiteral("device %1 is taken").arg(device);
        return -1;
    }
    auto dv = std::make_unique<Device>();
    dv->id = d->nextId++;
    dv->device = device;
    dv->position = position;
    dv->st = state;
    dv->link = portPath(device);
    dv->sidecar = d->udevDir() + QStringLiteral("/ttyACM%1").arg(device);

    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        d->lastError = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    dv->master = master;
    dv->slave = slave;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    // Raw before anyone opens the slave: otherwise the line discipline echoes
    // the replies back into the rack.
    termios tio;
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    keepRaw(slave);
    const QByteArray pts = QByteArray(::ttyname(slave) ? ::ttyname(slave) : "");
    const QByteArray linkName = QFile::encodeName(dv->link);
    ::unlink(linkName.constData());
    if (pts.isEmpty() || ::symlink(pts.constData(), linkName.constData()) != 0) {
        d->lastError = QStringLiteral("cannot link %1").arg(dv->link);
        d->closeDevice(*dv);
        return -1;
    }
    QDir().mkpath(d->udevDir());
    if (!writeFileAtomic(dv->sidecar, udevOutput(position, device))) {
        d->lastError = QStringLiteral("cannot write %1").arg(dv->sidecar);
        d->closeDevice(*dv);
        return -1;
    }
    d->devs[device] = std::move(dv);
    d->wakeUp();
    return device;
}

bool SimRack::remove(int device)
{
    std::lock_guard<std::mutex> lock(d->m);
    auto it = d->devs.find(device);
    if (it == d->devs.end())
        return false;
    d->closeDevice(*it->second);
    d->devs.erase(it);
    d->wakeUp();
    return true;
}

void SimRack::removeAll()
{
    std::lock_guard<std::mutex> lock(d->m);
    for (auto &p : d->devs)
        d->closeDevice(*p.second);
    d->devs.clear();
    d->wakeUp();
}

QString SimRack::lastError() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->lastError;
}

QList<int> SimRack::devices() const
{
    std::lock_guard<std::mutex> lock(d->m);
    QList<int> out;
    for (const auto &p : d->devs)
        out.append(p.first);
    return out;
}

bool SimRack::contains(int device) const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->find(device) != nullptr;
}

int SimRack::position(int device) const
{
    std::lock_guard<std::mutex> lock(d->m);
    const Device *dv = d->find(device);
    return dv ? dv->position : -1;
}

int SimRack::deviceAt(int position) const
{
    std::lock_guard<std::mutex> lock(d->m);
    for (const auto &p : d->devs)
        if (p.second->position == position)
            return p.first;
    return -1;
}

int SimRack::deviceOfNumber(qint32 number) const
{
    std::lock_guard<std::mutex> lock(d->m);
    for (const auto &p : d->devs)
        if (p.second->st.number == number)
            return p.first;
    return -1;
}

SimDosimeter SimRack::state(int device) const
{
    std::lock_guard<std::mutex> lock(d->m);
    const Device *dv = d->find(device);
    return dv ? dv->st : SimDosimeter();
}

bool SimRack::setState(int device, const SimDosimeter &state)
{
    std::lock_guard<std::mutex> lock(d->m);
    Device *dv = d->find(device);
    if (!dv)
        return false;
    dv->st = state;
    return true;
}

// Runs a change on one device's state under the lock.
#define SIMRACK_MODIFY(device, body)               \
    std::lock_guard<std::mutex> lock(d->m);        \
    Device *dv = d->find(device);                  \
    if (!dv)                                       \
        return false;                              \
    SimDosimeter &s = dv->st;                      \
    body;                                          \
    return true

bool SimRack::setNumber(int device, qint32 number)
{
    SIMRACK_MODIFY(device, s.number = number);
}

bool SimRack::setDetectorType(int device, quint8 type)
{
    SIMRACK_MODIFY(device, s.detectorType = type);
}

bool SimRack::setUser(int device, const QByteArray &id, const QByteArray &order, const QByteArray &name)
{
    SIMRACK_MODIFY(device, s.userId = id; s.userOrder = order; s.userName = name);
}

bool SimRack::setDoses(int device, double gamma, double neutron)
{
    SIMRACK_MODIFY(device, s.gammaDose = gamma; s.neutronDose = neutron);
}

bool SimRack::setMaxRates(int device, float gammaRate, qint32 gammaTime, float neutronRate, qint32 neutronTime)
{
    SIMRACK_MODIFY(device, s.gammaMaxRate = gammaRate; s.gammaMaxTime = gammaTime;
                   s.neutronMaxRate = neutronRate; s.neutronMaxTime = neutronTime);
}

bool SimRack::setMode(int device, quint16 mode)
{
    SIMRACK_MODIFY(device, s.mode = mode);
}

bool SimRack::setConfigAcknowledged(int device, bool acknowledged)
{
    SIMRACK_MODIFY(device, s.configAcknowledged = acknowledged);
}

bool SimRack::setHistory(int device, const QList<QByteArray> &records)
{
    SIMRACK_MODIFY(device, s.history = records);
}

#undef SIMRACK_MODIFY

QList<QByteArray> SimRack::makeHistory(int count)
{
    QList<QByteArray> out;
    for (int i = 0; i < count; ++i) {
        QByteArray r;
        r += simframe::le32(i);                         // event index
        r += simframe::le32(1700000000 + 60 * i);       // time stamp
        r += char(1 + i % 4);                           // event code
        r += char(0);
        r += simframe::le16(static_cast<quint16>(i * 7)); // a varying word
        r += simframe::leFloat(0.125f * float(i % 97));  // a dose rate
        out.append(r);
    }
    return out;
}

QList<QByteArray> SimRack::requests(int device) const
{
    std::lock_guard<std::mutex> lock(d->m);
    const Device *dv = d->find(device);
    return dv ? dv->requests : QList<QByteArray>();
}

QList<QByteArray> SimRack::badFrames(int device) const
{
    std::lock_guard<std::mutex> lock(d->m);
    const Device *dv = d->find(device);
    return dv ? dv->bad : QList<QByteArray>();
}

void SimRack::clearRequests(int device)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (Device *dv = d->find(device)) {
        dv->requests.clear();
        dv->bad.clear();
        dv->sent = 0;
    }
}

bool SimRack::waitForRequests(int device, int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->m);
    return d->requestArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const Device *dv = d->find(device);
        return dv && dv->requests.size() >= count;
    });
}

void SimRack::setReplyDelay(int ms)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->replyDelayMs = std::max(0, ms);
}

int SimRack::replyDelay() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->replyDelayMs;
}

qint64 SimRack::bytesSent(int device) const
{
    std::lock_guard<std::mutex> lock(d->m);
    const Device *dv = d->find(device);
    return dv ? dv->sent : 0;
}

void SimRack::setFault(int device, int code, const SimFault &fault)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (Device *dv = d->find(device)) {
        FaultEntry e;
        e.fault = fault;
        dv->faults[code < 0 ? AllCodes : code] = e;
    }
}

void SimRack::clearFault(int device, int code)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (Device *dv = d->find(device)) {
        dv->faults.remove(code < 0 ? AllCodes : code);
        dv->streaming = false;
    }
}

void SimRack::clearFaults(int device)
{
    std::lock_guard<std::mutex> lock(d->m);
    for (auto &p : d->devs) {
        if (device < 0 || p.first == device) {
            p.second->faults.clear();
            p.second->streaming = false;
        }
    }
}

bool SimRack::setUdevOutput(int device, const QByteArray &output)
{
    std::lock_guard<std::mutex> lock(d->m);
    const Device *dv = d->find(device);
    return dv && writeFileAtomic(dv->sidecar, output);
}

bool SimRack::resetUdevOutput(int device)
{
    std::lock_guard<std::mutex> lock(d->m);
    const Device *dv = d->find(device);
    return dv && writeFileAtomic(dv->sidecar, udevOutput(dv->position, dv->device));
}

bool SimRack::setUdevDelay(int device, int ms)
{
    std::lock_guard<std::mutex> lock(d->m);
    const Device *dv = d->find(device);
    if (!dv)
        return false;
    const QString path = dv->sidecar + QStringLiteral(".delay");
    if (ms <= 0)
        return !QFile::exists(path) || QFile::remove(path);
    return writeFileAtomic(path, QByteArray::number(ms) + "\n");
}

void SimRack::clearExclusive(int device)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (const Device *dv = d->find(device))
        ::ioctl(dv->slave, TIOCNXCL);
}

// ---------------------------------------------------------------- serving

void SimRack::Private::run()
{
    std::vector<pollfd> fds;
    std::vector<quint64> ids;
    std::unique_lock<std::mutex> lock(m);
    qint64 lastIdle = nowMs();
    while (!stop) {
        fds.clear();
        ids.clear();
        fds.push_back({wake[0], POLLIN, 0});
        ids.push_back(0);
        const qint64 now = nowMs();
        qint64 next = now + kIdleTickMs;
        for (auto &p : devs) {
            Device &dv = *p.second;
            short events = POLLIN;
            if (!dv.out.empty()) {
                if (dv.outBlocked)
                    events |= POLLOUT;
                else
                    next = std::min(next, dv.out.front().due);
            } else if (dv.streaming) {
                next = std::min(next, dv.streamNext);
            }
            if (!dv.input.isEmpty())
                next = std::min(next, dv.lastInputMs + kStaleInputMs);
            fds.push_back({dv.master, events, 0});
            ids.push_back(dv.id);
        }
        const int timeout = static_cast<int>(std::max<qint64>(0, next - now));
        lock.unlock();
        ::poll(fds.data(), fds.size(), timeout);
        lock.lock();
        if (stop)
            break;
        if (fds[0].revents & POLLIN) {
            char buf[64];
            while (::read(wake[0], buf, sizeof buf) > 0) {
            }
        }
        const qint64 t = nowMs();
        for (size_t i = 1; i < fds.size(); ++i) {
            Device *found = nullptr;
            for (auto &p : devs)
                if (p.second->id == ids[i])
                    found = p.second.get();
            if (!found || found->master != fds[i].fd)
                continue;
            if (fds[i].revents & POLLIN)
                readInput(*found, t);
            if (fds[i].revents & POLLOUT)
                found->outBlocked = false;
        }
        for (auto &p : devs) {
            Device &dv = *p.second;
            if (!dv.input.isEmpty() && t - dv.lastInputMs >= kStaleInputMs)
                dv.input.clear();   // a torn frame: drop it as a device would
            flushOutput(dv, t);
            streamOut(dv, t);
        }
        if (t - lastIdle >= kIdleTickMs) {
            for (auto &p : devs) {
                // A client killed while it held the port leaves TIOCEXCL behind.
                ::ioctl(p.second->slave, TIOCNXCL);
                keepRaw(p.second->slave);
            }
            lastIdle = t;
        }
    }
}

void SimRack::Private::readInput(Device &dv, qint64 now)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(dv.master, buf, sizeof buf);
        if (n <= 0)
            break;
        dv.input.append(buf, static_cast<int>(n));
        dv.lastInputMs = now;
    }
    for (;;) {
        simframe::Frame fr;
        const int r = simframe::parse(dv.input, &fr);
        if (r == 0)
            break;
        if (r < 0) {
            dv.input.remove(0, -r);
            continue;
        }
        if (!fr.crcOk) {
            // Resynchronise one byte further: the next start may lie inside.
            dv.bad.append(fr.raw);
            dv.input.remove(0, 1);
            continue;
        }
        dv.input.remove(0, r);
        handleFrame(dv, fr, now);
    }
}

void SimRack::Private::handleFrame(Device &dv, const simframe::Frame &fr, qint64 now)
{
    dv.requests.append(fr.raw);
    requestArrived.notify_all();
    dv.streaming = false;          // a new request ends a babbling stream
    ::ioctl(dv.slave, TIOCNXCL);
    if (fr.number != 0 && fr.number != dv.st.number)
        return;

    SimFault fault;
    bool faulty = false;
    auto it = dv.faults.find(fr.code);
    if (it == dv.faults.end())
        it = dv.faults.find(SimRack::AllCodes);
    if (it != dv.faults.end()) {
        const int index = it->seen++;
        const SimFault &f = it->fault;
        faulty = index >= f.skip && (f.count < 0 || index < f.skip + f.count);
        if (faulty)
            fault = f;
    }
    if (faulty && fault.silent)
        return;

    QByteArray reply;
    if (faulty && fault.refusal)
        reply = simframe::build(dv.st.number, fr.code, QByteArray(1, char(fault.refusal)));
    else
        reply = answer(dv, fr);
    if (faulty && fault.lengthDelta != 0 && reply.size() >= 6) {
        QByteArray body = reply.left(reply.size() - 2);
        const int length = (static_cast<quint8>(body[2]) | (static_cast<quint8>(body[3]) << 8)) + fault.lengthDelta;
        const QByteArray field = simframe::le16(static_cast<quint16>(length));
        body[2] = field[0];
        body[3] = field[1];
        reply = simframe::withCrc(body);
    }
    if (faulty && fault.badCrc && reply.size() >= 2) {
        reply[reply.size() - 2] = char(~reply.at(reply.size() - 2));
        reply[reply.size() - 1] = char(~reply.at(reply.size() - 1));
    }
    if (faulty && fault.cutTo >= 0)
        reply.truncate(fault.cutTo);

    qint64 due = now + replyDelayMs + (faulty ? fault.delayMs : 0);
    if (!dv.out.empty())
        due = std::max(due, dv.out.back().due);
    const int chunk = faulty && fault.chunkSize > 0 ? fault.chunkSize : reply.size();
    for (int pos = 0; pos < reply.size(); pos += chunk) {
        if (pos > 0)
            due += fault.chunkPauseMs;
        dv.out.push_back({due, reply.mid(pos, chunk)});
    }
    if (faulty && fault.trailBytes > 0 && !reply.isEmpty()) {
        QByteArray trail;
        while (trail.size() < fault.trailBytes)
            trail += reply;
        dv.out.push_back({due + fault.trailGapMs, trail.left(fault.trailBytes)});
    }
    if (faulty && fault.endless && !reply.isEmpty()) {
        dv.streaming = true;
        dv.streamPattern = reply;
        dv.streamPos = 0;
        dv.streamBytes = fault.endlessBytes;
        dv.streamTick = fault.endlessTickMs;
        dv.streamNext = due + fault.endlessTickMs;
    }
    flushOutput(dv, now);
}

QByteArray SimRack::Private::answer(Device &dv, const simframe::Frame &fr)
{
    SimDosimeter &s = dv.st;
    const qint32 own = s.number;
    const QByteArray &data = fr.data;
    auto status = [&](quint8 st) { return simframe::build(own, fr.code, QByteArray(1, char(st))); };
    auto accepted = [&] {
        s.configAcknowledged = false;
        return status(0);
    };
    auto f64 = [&] {
        double v;
        std::memcpy(&v, data.constData(), 8);
        return v;
    };
    auto f32 = [&] {
        float v;
        std::memcpy(&v, data.constData(), 4);
        return v;
    };

    switch (fr.code) {
    case 0x01:
        return simframe::build(own, fr.code, QByteArray(1, char(s.detectorType)));
    case 0x45:
        return simframe::build(own, fr.code, s.userId.left(255));
    case 0x49:
        return simframe::build(own, fr.code, s.userOrder.left(255));
    case 0x46:
        s.userId = data;
        return accepted();
    case 0x4A:
        s.userOrder = data;
        return accepted();
    case 0x44:
        s.userName = data;
        return accepted();
    case 0x59:
        s.gammaDose = 0;
        return accepted();
    case 0xB4:
        s.neutronDose = 0;
        return accepted();
    case 0x18:
        s.gammaMaxRate = 0;
        s.gammaMaxTime = 0;
        return accepted();
    case 0xA8:
        s.neutronMaxRate = 0;
        s.neutronMaxTime = 0;
        return accepted();
    case 0x09:
    case 0x0C:
    case 0xB9:
    case 0xBC: {
        if (data.size() != 8)
            return status(2);
        double &target = fr.code == 0x09 ? s.de1 : fr.code == 0x0C ? s.de2 : fr.code == 0xB9 ? s.nde1 : s.nde2;
        target = f64();
        return accepted();
    }
    case 0x12:
    case 0x15:
    case 0xA2:
    case 0xA5: {
        if (data.size() != 4)
            return status(2);
        float &target = fr.code == 0x12 ? s.der1 : fr.code == 0x15 ? s.der2 : fr.code == 0xA2 ? s.nder1 : s.nder2;
        target = f32();
        return accepted();
    }
    case 0x3A:
        if (data.size() != 2)
            return status(2);
        s.mode = static_cast<quint16>(static_cast<quint8>(data[0]) | (static_cast<quint8>(data[1]) << 8));
        return accepted();
    case 0x75:
        s.configAcknowledged = true;
        return status(0);
    case 0x4F:
        return simframe::build(own, fr.code, simframe::leDouble(s.gammaDose));
    case 0xAF:
        return simframe::build(own, fr.code, simframe::leDouble(s.neutronDose));
    case 0x17:
        return simframe::build(own, fr.code, simframe::leFloat(s.gammaMaxRate));
    case 0xA7:
        return simframe::build(own, fr.code, simframe::leFloat(s.neutronMaxRate));
    case 0x19:
        return simframe::build(own, fr.code, simframe::le32(s.gammaMaxTime));
    case 0xA9:
        return simframe::build(own, fr.code, simframe::le32(s.neutronMaxTime));
    case 0x30:
        return simframe::build(own, fr.code,
                               simframe::le16(static_cast<quint16>(std::min<qint64>(s.history.size(), 0xFFFF))));
    case 0x57: {
        if (data.size() != 2)
            return status(2);
        const int block = static_cast<quint8>(data[0]) | (static_cast<quint8>(data[1]) << 8);
        const int first = block * kMaxRecordsPerBlock;
        const int k = int(std::max<qint64>(0, std::min<qint64>(kMaxRecordsPerBlock, s.history.size() - first)));
        QByteArray payload = simframe::le16(static_cast<quint16>(block));
        for (int i = 0; i < k; ++i)
            payload += s.history.at(first + i).leftJustified(16, '\0', true);
        return simframe::buildRaw(own, fr.code, static_cast<quint8>(k), payload);
    }
    default:
        return status(0xFE);
    }
}

void SimRack::Private::flushOutput(Device &dv, qint64 now)
{
    while (!dv.out.empty() && dv.out.front().due <= now) {
        Segment &seg = dv.out.front();
        const ssize_t n = ::write(dv.master, seg.bytes.constData(), seg.bytes.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                dv.outBlocked = true;
                return;
            }
            dv.out.clear();      // the line is gone; nothing more to send
            return;
        }
        dv.sent += n;
        if (n < seg.bytes.size()) {
            seg.bytes.remove(0, static_cast<int>(n));
            dv.outBlocked = true;
            return;
        }
        dv.out.pop_front();
    }
    dv.outBlocked = false;
}

void SimRack::Private::streamOut(Device &dv, qint64 now)
{
    if (!dv.streaming || !dv.out.empty() || dv.streamPattern.isEmpty())
        return;
    while (dv.streamNext <= now) {
        QByteArray piece;
        while (piece.size() < dv.streamBytes) {
            const int take = std::min(dv.streamBytes - piece.size(), dv.streamPattern.size() - dv.streamPos);
            piece += dv.streamPattern.mid(dv.streamPos, take);
            dv.streamPos = (dv.streamPos + take) % dv.streamPattern.size();
        }
        // A full buffer (nobody reading) just loses bytes, as on a real line.
        const ssize_t r = ::write(dv.master, piece.constData(), piece.size());
        if (r > 0)
            dv.sent += r;
        dv.streamNext += dv.streamTick;
        if (now - dv.streamNext > 1000)
            dv.streamNext = now;   // do not burst after a long stall
    }
}
