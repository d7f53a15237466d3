#pragma once

// A simulated dosimeter rack for tests, benchmarks and the demo.
//
// Every virtual dosimeter is a pseudo-terminal. Its slave side is reachable
// through a symbolic link <folder>/ttyACM<N> (N = the device number), so the
// controller opens it exactly as it opens a real USB serial device. One
// background thread serves all devices (poll() on the PTY masters): a test
// thread may block inside the controller code while the rack answers.
// Every public method is thread-safe.
//
// Beside each link the rack writes <folder>/.udev/ttyACM<N>, the complete
// output of the stand-in `udevadm info <folder>/ttyACM<N>` (built into
// SimRack::udevadmDir(), a folder holding nothing else; put it first on PATH).
// The first line is "P: /devices/platform/soc/usb1/1-1/1-1.<pos>/1-1.<pos>:1.0/tty/ttyACM<N>",
// so the hub id of USB position pos is "-1.<pos>:1.0".
//
// Protocol, as the virtual dosimeter sees it (all integers little-endian):
//   request  14 05 len(2) 55 number(4) 01 code datalen data... crc(2)
//   reply    14 05 len(2) 55 own-number(4) 01 code datalen data... crc(2)
// len = frame size without the CRC minus 2; the CRC is CRC-16/X-25 over all
// bytes before it, low byte first. Requests may arrive in pieces and are
// reassembled; a frame whose CRC is wrong is recorded in badFrames() and not
// answered; an incomplete frame is dropped after 1 s without further bytes.
//
// Addressing: a dosimeter answers requests carrying its own number or the
// number 0 (it is the only device on its line, so 0 reaches it, which is what
// the identity read uses). Requests for any other number are recorded but not
// answered, as a device on a shared line would ignore them.
//
// Every reply leaves after a processing delay (2 ms unless set otherwise).
//
// Replies by command code (byte offsets in the reply):
//   0x01 identity           byte 11 = 1, byte 12 = detector type code
//   0x45 / 0x49 text reads  byte 11 = length, user id / work order bytes from 12
//   0x46 / 0x4A / 0x44      store the data bytes as user id / work order / name
//   0x59 / 0xB4             gamma / neutron dose := 0
//   0x18 / 0xA8             gamma / neutron max dose rate and its time := 0
//   0x09 0x0C 0xB9 0xBC     store a float64 threshold (data length must be 8)
//   0x12 0x15 0xA2 0xA5     store a float32 threshold (data length must be 4)
//   0x3A                    mode := uint16 data (data length must be 2)
//   0x75                    configuration acknowledged := true
//   writes and resets answer byte 11 = 1, status byte 12 = 0 (accepted);
//   a wrong data length is refused with status 2, an unknown code with 0xFE.
//   Every accepted write or reset other than 0x75 clears the acknowledged flag.
//   0x4F / 0xAF             float64 gamma / neutron dose at 12..19
//   0x17 / 0xA7             float32 gamma / neutron max dose rate at 12..15
//   0x19 / 0xA9             int32 gamma / neutron max dose rate time at 12..15
//   0x30                    uint16 number of history records at 12..13
//   0x57 (data = uint16 block index)
//                           byte 11 = k records (at most 127 per block),
//                           bytes 12..13 = the block index, records from 14;
//                           a full block reply is 2048 bytes.
// Neutron commands are answered by every detector type alike.

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace simframe {

// CRC-16/X-25 (reflected 0x8408, init 0xFFFF, final complement).
quint16 crc16x25(const QByteArray &bytes);

// A complete frame: header, number, function 0x01, code, data length, data, CRC.
QByteArray build(qint32 number, quint8 code, const QByteArray &data = QByteArray());

// Appends the CRC (low byte first) to a frame body.
QByteArray withCrc(const QByteArray &body);

// Fields of a parsed frame.
struct Frame {
    qint32 number = 0;
    quint8 code = 0;
    QByteArray data;
    QByteArray raw;      // the whole frame, CRC included
    bool crcOk = false;
};

// Looks for the first frame in buffer. Returns:
//   > 0  a frame of that many bytes starts at offset 0 (filled into *frame),
//   0    more bytes are needed,
//   < 0  the first -result bytes cannot start a frame and should be dropped.
int parse(const QByteArray &buffer, Frame *frame);

// Little-endian helpers for building replies and records.
QByteArray le16(quint16 v);
QByteArray le32(qint32 v);
QByteArray leFloat(float v);
QByteArray leDouble(double v);

} // namespace simframe

namespace simtext {

// UTF-8 text -> the bytes the dosimeter stores: upper-cased; А..Я -> C0..DF,
// Ё -> A8, blank -> 20; every other character as its UTF-8 bytes.
QByteArray encodeUser(const QString &text);

// Stored bytes -> text: C0..DF -> А..Я, A8 -> Ё, any other byte -> the
// character with that code point.
QString decodeUser(const QByteArray &bytes);

} // namespace simtext

// Detector type codes of the identity reply.
enum SimDetector : quint8 {
    SimGamma = 0x01,
    SimBeta = 0x02,
    SimGammaNeutron = 0x03,
    SimBootloader = 0x81,
};

// Everything a virtual dosimeter keeps.
struct SimDosimeter {
    qint32 number = 0;
    quint8 detectorType = SimGamma;
    QByteArray userId;          // Windows-1251 bytes as stored
    QByteArray userOrder;
    QByteArray userName;
    double gammaDose = 0;
    double neutronDose = 0;
    float gammaMaxRate = 0;
    float neutronMaxRate = 0;
    qint32 gammaMaxTime = 0;
    qint32 neutronMaxTime = 0;
    double de1 = 0, de2 = 0;    // 0x09, 0x0C
    float der1 = 0, der2 = 0;   // 0x12, 0x15
    double nde1 = 0, nde2 = 0;  // 0xB9, 0xBC
    float nder1 = 0, nder2 = 0; // 0xA2, 0xA5
    quint16 mode = 1;           // 0x3A: 0 measurement, 1 service
    bool configAcknowledged = false; // 0x75
    QList<QByteArray> history;  // 16-byte records, oldest first
};

// A deliberate misbehaviour of one device for one command code (or all).
// Build one with the named constructors and adjust it with the with... calls:
//   rack.setFault(dev, 0x4F, SimFault::cut(13));
//   rack.setFault(dev, 0x57, SimFault::silent().after(1).times(1));
//   rack.setFault(dev, SimRack::AllCodes, SimFault::chunks(20, 50).withDelay(10));
struct SimFault {
    bool silent = false;     // the request is ignored: recorded, nothing changes, no answer
    quint8 refusal = 0;      // non-zero: the change is not applied and the reply
                             // is a status frame (byte 11 = 1, byte 12 = refusal)
    int cutTo = -1;          // >= 0: only the first cutTo bytes of the reply are sent
    int chunkSize = 0;       // > 0: the reply goes out in pieces of this size ...
    int chunkPauseMs = 0;    // ... with this pause between two pieces
                             // (cut, chunks, stream and delay still apply the change)
    bool endless = false;    // after the reply, repeat it without end until the
                             // next request arrives or the fault is cleared
    int endlessBytes = 64;   // endless stream: bytes per tick ...
    int endlessTickMs = 10;  // ... and the tick
    int delayMs = 0;         // pause before the first byte of the reply
                             // (on top of the rack's processing delay)
    bool badCrc = false;     // the reply's two CRC bytes are inverted
    int lengthDelta = 0;     // added to the reply's length field (CRC made to fit)
    int trailBytes = 0;      // > 0: after the whole reply, this many more bytes
    int trailGapMs = 0;      // (a copy of the reply's start) follow after this pause
    int skip = 0;            // matching requests to let through unharmed first
    int count = -1;          // matching requests to harm after that; -1 = all

    static SimFault silence();
    static SimFault refuse(quint8 status = 1);
    static SimFault cut(int bytes);
    static SimFault chunks(int size, int pauseMs);
    static SimFault stream(int bytesPerTick = 64, int tickMs = 10);
    static SimFault delay(int ms);
    static SimFault wrongCrc();
    static SimFault wrongLength(int delta);
    static SimFault trailing(int bytes, int gapMs = 0);

    SimFault withDelay(int ms) const;
    SimFault withChunks(int size, int pauseMs) const;
    SimFault withTrailing(int bytes, int gapMs = 0) const;
    SimFault after(int requests) const;   // sets skip
    SimFault times(int requests) const;   // sets count
};

class SimRack
{
public:
    static constexpr int AllCodes = -1;

    // Serves devices whose links live in folder (created when missing).
    explicit SimRack(const QString &folder);
    // Removes every device (links and sidecar files) and stops the thread.
    ~SimRack();
    SimRack(const SimRack &) = delete;
    SimRack &operator=(const SimRack &) = delete;

    QString folder() const;
    QString portBase() const;               // "<folder>/ttyACM"
    QString portPath(int device) const;     // "<folder>/ttyACM<device>"

    // Folder that holds only the stand-in udevadm executable, and its path.
    static QString udevadmDir();
    static QString udevadmPath();
    // Path of the command-line front end `simrack`.
    static QString cliPath();
    // The sysfs path that the stand-in udevadm reports, and the hub id the
    // controller derives from it ("-1.<position>:1.0").
    static QString sysfsPath(int position, int device);
    static QString hubId(int position);

    // Inserts a dosimeter at a USB position (cell position, 1-based) with the
    // given number and detector type. device < 0 takes the lowest free device
    // number. Returns the device number, or -1 if the device number is taken,
    // the position is < 1 or the pseudo-terminal cannot be made (see
    // lastError()). Two dosimeters may share a position (a miswired hub).
    int insert(int position, qint32 number, int device = -1, quint8 type = SimGamma);
    // Inserts with a full prepared state (number and type taken from it).
    int insert(int position, const SimDosimeter &state, int device = -1);
    // Deletes the link and sidecar and closes the PTY. False if absent.
    bool remove(int device);
    void removeAll();
    QString lastError() const;

    QList<int> devices() const;             // ascending
    bool contains(int device) const;
    int position(int device) const;         // -1 if absent
    int deviceAt(int position) const;       // lowest device at that position, -1 if none
    int deviceOfNumber(qint32 number) const; // -1 if none

    // Whole state; state() of an absent device is a default SimDosimeter.
    SimDosimeter state(int device) const;
    bool setState(int device, const SimDosimeter &state);

    // Field setters (false if the device is absent).
    bool setNumber(int device, qint32 number);
    bool setDetectorType(int device, quint8 type);
    bool setUser(int device, const QByteArray &id, const QByteArray &order, const QByteArray &name);
    bool setDoses(int device, double gamma, double neutron = 0);
    bool setMaxRates(int device, float gammaRate, qint32 gammaTime,
                     float neutronRate = 0, qint32 neutronTime = 0);
    bool setMode(int device, quint16 mode);
    bool setConfigAcknowledged(int device, bool acknowledged);
    bool setHistory(int device, const QList<QByteArray> &records);
    // Makes count records of 16 bytes: index, a time stamp, an event code.
    static QList<QByteArray> makeHistory(int count);

    // Request frames with a correct CRC received by a device, oldest first
    // (frames for another dosimeter number included), and frames dropped for
    // a wrong CRC.
    QList<QByteArray> requests(int device) const;
    QList<QByteArray> badFrames(int device) const;
    void clearRequests(int device);
    // Blocks until the device has recorded at least count requests.
    bool waitForRequests(int device, int count, int timeoutMs) const;

    // Every reply leaves this long after its request arrived, as a real
    // dosimeter needs time to process it (default kDefaultReplyDelayMs).
    static constexpr int kDefaultReplyDelayMs = 2;
    void setReplyDelay(int ms);
    int replyDelay() const;
    // Reply bytes a device has written to its line since clearRequests().
    qint64 bytesSent(int device) const;

    // Failure injection; code = AllCodes applies to every code. A fault for a
    // specific code wins over an AllCodes fault. Clearing also stops a stream.
    void setFault(int device, int code, const SimFault &fault);
    void clearFault(int device, int code);
    void clearFaults(int device);           // device < 0: every device

    // Stand-in udevadm: replace the whole output for a device (an odd first
    // line, nothing at all ...) or restore the normal one; a delay in ms
    // before it prints (the SIMRACK_UDEVADM_DELAY_MS environment variable
    // delays every query).
    bool setUdevOutput(int device, const QByteArray &output);
    bool resetUdevOutput(int device);
    bool setUdevDelay(int device, int ms);

    // Clears the exclusive-open flag a killed client may leave on a PTY.
    // The rack does this by itself after each request and every 250 ms.
    void clearExclusive(int device);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
