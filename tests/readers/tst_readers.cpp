// The card and barcode reader programs against a real pseudo-terminal: the
// test holds the master side and the program reads the slave through a
// device name in a scratch folder.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "virtualline.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Chunks = QList<QByteArray>;

QString programPath(const QString &name)
{
    return name == QLatin1String("card_reader") ? QStringLiteral(CARD_READER_BIN)
                                                : QStringLiteral(BARCODE_READER_BIN);
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One run of a reader program; killed when the case ends.
class ReaderRun
{
public:
    ReaderRun(const QString &program, const QStringList &args)
    {
        m_proc.start(programPath(program), args);
        m_proc.waitForStarted(5000);
    }
    ~ReaderRun()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }
    QProcess &process() { return m_proc; }

    // True when the program holds the device open and sleeps, i.e. waits in
    // its read. The device is found through the descriptors in /proc.
    bool waitReading(const QString &devicePath, int timeoutMs = 5000)
    {
        const QString target = QFileInfo(devicePath).canonicalFilePath();
        const QString proc = QStringLiteral("/proc/%1").arg(m_proc.processId());
        QDeadlineTimer deadline(timeoutMs);
        do {
            if (m_proc.state() != QProcess::Running)
                return false;
            const QByteArray stat = fileBytes(proc + QStringLiteral("/stat"));
            const int close = stat.lastIndexOf(')');
            const bool sleeping = close > 0 && stat.mid(close + 2, 1) == "S";
            if (sleeping) {
                const QDir fds(proc + QStringLiteral("/fd"));
                const QStringList entries = fds.entryList(QDir::Files | QDir::System);
                for (const QString &fd : entries) {
                    if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target)
                        return true;
                }
            }
            QThread::msleep(2);
        } while (!deadline.hasExpired());
        return false;
    }

    // Number of read calls the program has completed; each cycle reads the
    // device exactly once.
    qint64 readCount() const
    {
        const QByteArray io = fileBytes(QStringLiteral("/proc/%1/io").arg(m_proc.processId()));
        const int at = io.indexOf("syscr:");
        return at < 0 ? -1 : io.mid(at + 6, io.indexOf('\n', at) - at - 6).trimmed().toLongLong();
    }

    // Waits until the program has completed a read after the given count.
    bool waitReadAfter(qint64 count, int timeoutMs = 5000) const
    {
        QDeadlineTimer deadline(timeoutMs);
        do {
            if (readCount() > count)
                return true;
            QThread::msleep(2);
        } while (!deadline.hasExpired());
        return false;
    }

    // Waits for the program to end by itself; returns its exit code, or -1.
    int waitExit(int timeoutMs = 5000)
    {
        if (!m_proc.waitForFinished(timeoutMs) || m_proc.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_proc.exitCode();
    }

private:
    QProcess m_proc;
};

// Polls the file until it holds the expected bytes; returns what it last held.
QByteArray waitForFile(const QString &path, const QByteArray &expected, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    QByteArray seen = fileBytes(path);
    while (seen != expected && !deadline.hasExpired()) {
        QThread::msleep(5);
        seen = fileBytes(path);
    }
    return seen;
}

QByteArray allByteValues()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes;
}

} // namespace

class tst_Readers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void codesToFile_data();
    void codesToFile();
    void lineSettings_data();
    void lineSettings();
    void errors_data();
    void errors();
    void fileReplacement();
    void commandLine_data();
    void commandLine();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString scratch(const QString &name) const { return m_dir->filePath(name); }
    // Everything in the scratch folder but the device names.
    QStringList folderFiles() const
    {
        QStringList names = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                          | QDir::NoDotAndDotDot);
        names.removeAll(QStringLiteral("ttyS4"));
        names.removeAll(QStringLiteral("ttyACM0"));
        return names;
    }
    // A device name in the scratch folder that leads to the line's slave.
    QString linkTo(const VirtualLine &line, const QString &name = QStringLiteral("ttyS4"))
    {
        const QString path = scratch(name);
        return QFile::link(line.slavePath(), path) ? path : QString();
    }
};

void tst_Readers::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

// Each row sends its chunks one read at a time; after every chunk the file
// must hold the hex text of the last chunk of more than 2 bytes, or not exist.
void tst_Readers::codesToFile_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<QByteArray>("expected");

    const auto hex = [](const char *h) { return QByteArray::fromHex(h); };

    QTest::newRow("card 3 bytes") << "card_reader" << Chunks{hex("01A23F")} << QByteArray("01A23F");
    QTest::newRow("barcode 3 bytes") << "barcode_reader" << Chunks{hex("01A23F")} << QByteArray("01A23F");
    QTest::newRow("high bytes as unsigned") << "card_reader" << Chunks{hex("FFA28000")} << QByteArray("FFA28000");
    QTest::newRow("lower-case letters never") << "barcode_reader" << Chunks{hex("abcdef0a")} << QByteArray("ABCDEF0A");
    QTest::newRow("2 then 5 bytes") << "card_reader" << Chunks{hex("0102"), hex("0A0B0C0D0E")}
                                    << QByteArray("0A0B0C0D0E");
    QTest::newRow("two codes") << "barcode_reader" << Chunks{hex("112233"), hex("44556677")}
                               << QByteArray("44556677");
    QTest::newRow("short reads keep the last code")
        << "card_reader" << Chunks{hex("AABBCC"), hex("01"), hex("0203")} << QByteArray("AABBCC");
    QTest::newRow("1 byte only") << "card_reader" << Chunks{hex("7F")} << QByteArray();
    QTest::newRow("2 bytes only") << "barcode_reader" << Chunks{hex("7F80")} << QByteArray();
    QTest::newRow("zero bytes in a code") << "barcode_reader" << Chunks{hex("000000")} << QByteArray("000000");
    QTest::newRow("full buffer of 256 bytes")
        << "card_reader" << Chunks{allByteValues()} << allByteValues().toHex().toUpper();
    QTest::newRow("barcode full buffer after short code")
        << "barcode_reader" << Chunks{hex("313233"), allByteValues()} << allByteValues().toHex().toUpper();
}

void tst_Readers::codesToFile()
{
    QFETCH(QString, program);
    QFETCH(Chunks, chunks);
    QFETCH(QByteArray, expected);

    VirtualLine line;
    QVERIFY(line.isOpen());
    const QString device = linkTo(line);
    QVERIFY(!device.isEmpty());
    const QString output = scratch(QStringLiteral("code.ini"));

    ReaderRun run(program, {QStringLiteral("--device"), device, QStringLiteral("--output"), output});
    QVERIFY(run.waitReading(device));

    QByteArray current;   // what the file must hold; empty means no file
    for (const QByteArray &chunk : chunks) {
        const qint64 reads = run.readCount();
        QVERIFY(reads >= 0);
        QVERIFY(line.send(chunk));
        QVERIFY(run.waitReadAfter(reads));
        if (chunk.size() > 2) {
            current = chunk.toHex().toUpper();
            QCOMPARE(waitForFile(output, current), current);
        }
        // Back in its read: the cycle for this chunk is complete.
        QVERIFY(run.waitReading(device));
        QCOMPARE(QFileInfo::exists(output), !current.isEmpty());
        QCOMPARE(fileBytes(output), current);
    }
    QCOMPARE(fileBytes(output), expected);
    QCOMPARE(folderFiles(), expected.isEmpty() ? QStringList() : QStringList{QStringLiteral("code.ini")});
    QCOMPARE(run.process().state(), QProcess::Running);
    QCOMPARE(run.process().readAllStandardOutput(), QByteArray());
}

void tst_Readers::lineSettings_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("speed");

    QTest::newRow("card_reader 9600") << "card_reader" << int(B9600);
    QTest::newRow("barcode_reader 115200") << "barcode_reader" << int(B115200);
}

// The program sets raw 8N1 with its own speed and read timing, and leaves
// every flag it has no reason to touch as the device had it.
void tst_Readers::lineSettings()
{
    QFETCH(QString, program);
    QFETCH(int, speed);

    VirtualLine line;
    QVERIFY(line.isOpen());

    // Start from a cooked line with parity, flow control and translations on,
    // plus flags the program must keep (HUPCL, IUTF8, ECHOK, TOSTOP).
    struct termios before;
    QCOMPARE(tcgetattr(line.slave(), &before), 0);
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    before.c_cflag &= ~tcflag_t(CLOCAL | CREAD);
    before.c_lflag |= ICANON | ECHO | ECHOE | ECHONL | ISIG | ECHOK | TOSTOP;
    before.c_iflag |= IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUTF8;
    before.c_oflag |= OPOST | ONLCR;
    before.c_cc[VMIN] = 5;
    before.c_cc[VTIME] = 1;
    cfsetispeed(&before, B1200);
    cfsetospeed(&before, B1200);
    QCOMPARE(tcsetattr(line.slave(), TCSANOW, &before), 0);

    const QString device = linkTo(line);
    ReaderRun run(program, {QStringLiteral("--device"), device, QStringLiteral("--output"),
                            scratch(QStringLiteral("out.ini"))});
    QVERIFY(run.waitReading(device));

    struct termios after;
    QCOMPARE(tcgetattr(line.slave(), &after), 0);
    QCOMPARE(int(cfgetispeed(&after)), speed);
    QCOMPARE(int(cfgetospeed(&after)), speed);
    QCOMPARE(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(after.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(after.c_cflag & (CREAD | CLOCAL | HUPCL), tcflag_t(CREAD | CLOCAL | HUPCL));
    QCOMPARE(after.c_lflag & (ICANON | ECHO | ECHOE | ECHONL | ISIG), tcflag_t(0));
    QCOMPARE(after.c_lflag & (ECHOK | TOSTOP), tcflag_t(ECHOK | TOSTOP));
    QCOMPARE(after.c_iflag & (IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL),
             tcflag_t(0));
    QCOMPARE(after.c_iflag & IUTF8, tcflag_t(IUTF8));
    QCOMPARE(after.c_oflag & (OPOST | ONLCR), tcflag_t(0));
    QCOMPARE(int(after.c_cc[VMIN]), 0);
    QCOMPARE(int(after.c_cc[VTIME]), 200);
}

void tst_Readers::errors_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QByteArray>("message");

    const auto fromErrno = [](const char *format, int err) {
        return QByteArray(qPrintable(QString::asprintf(format, err, strerror(err))));
    };
    const QByteArray noFile("He \xd1\x83\xd0\xb4\xd0\xb0\xd0\xb5\xd1\x82\xd1\x81\xd1\x8f "
                            "\xd0\xbe\xd1\x82\xd0\xba\xd1\x80\xd1\x8b\xd1\x82\xd1\x8c "
                            "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.\n");

    // A device that cannot be opened: the open's own reason (DEVICE stands
    // for the device's path), then the classic message.
    const QByteArray badDescriptor = fromErrno("Error %i from tcgetattr: %s\n", EBADF);
    QTest::newRow("card: missing device") << "card_reader" << "missing device"
                                          << fromErrno("Error %i from open DEVICE: %s\n", ENOENT) + badDescriptor;
    QTest::newRow("barcode: missing device") << "barcode_reader" << "missing device"
                                             << fromErrno("Error %i from open DEVICE: %s\n", ENOENT) + badDescriptor;
    QTest::newRow("device is a directory") << "card_reader" << "directory"
                                           << fromErrno("Error %i from open DEVICE: %s\n", EISDIR) + badDescriptor;
    QTest::newRow("device is a plain file") << "barcode_reader" << "plain file"
                                            << fromErrno("Error %i from tcgetattr: %s\n", ENOTTY);
    QTest::newRow("line hung up during read") << "card_reader" << "hang-up"
                                              << QByteArray("Error reading: ").append(strerror(EIO));
    QTest::newRow("card: missing output folder") << "card_reader" << "missing folder" << noFile;
    QTest::newRow("barcode: missing output folder") << "barcode_reader" << "missing folder" << noFile;
}

// Every error prints its exact message and ends the program with status 1.
void tst_Readers::errors()
{
    QFETCH(QString, program);
    QFETCH(QString, situation);
    QFETCH(QByteArray, message);

    VirtualLine line;
    QVERIFY(line.isOpen());
    QString device = linkTo(line);
    QString output = scratch(QStringLiteral("out.ini"));
    if (situation == QLatin1String("missing device")) {
        device = scratch(QStringLiteral("ttyACM7"));
    } else if (situation == QLatin1String("directory")) {
        device = m_dir->path();
    } else if (situation == QLatin1String("plain file")) {
        device = scratch(QStringLiteral("plain"));
        QFile f(device);
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else if (situation == QLatin1String("missing folder")) {
        output = scratch(QStringLiteral("Orvik_gamma/out.ini"));
    }

    ReaderRun run(program, {QStringLiteral("--device"), device, QStringLiteral("--output"), output});
    if (situation == QLatin1String("hang-up")) {
        QVERIFY(run.waitReading(device));
        line.closeMaster();
    } else if (situation == QLatin1String("missing folder")) {
        QVERIFY(run.waitReading(device));
        QVERIFY(line.send(QByteArray::fromHex("0102030405")));
    }

    QCOMPARE(run.waitExit(), 1);
    message.replace("DEVICE", QFile::encodeName(device));
    QCOMPARE(run.process().readAllStandardOutput(), message);
    QVERIFY(!QFileInfo::exists(output));
    QVERIFY(!QFileInfo::exists(scratch(QStringLiteral("Orvik_gamma"))));
}

// The output file is replaced as a whole: a consumer that opened the old file
// still reads the old code complete, a longer old content leaves no tail, the
// folder keeps no temporary files and the file has the usual permissions.
void tst_Readers::fileReplacement()
{
    VirtualLine line;
    QVERIFY(line.isOpen());
    const QString device = linkTo(line, QStringLiteral("ttyACM0"));
    const QString output = scratch(QStringLiteral("barcode.ini"));
    {
        QFile old(output);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(600, 'Z'));
    }

    const mode_t oldMask = umask(022);
    ReaderRun run(QStringLiteral("barcode_reader"),
                  {QStringLiteral("--device"), device, QStringLiteral("--output"), output});
    umask(oldMask);
    QVERIFY(run.waitReading(device));

    const QList<QByteArray> codes{QByteArray::fromHex("0102030405060708"), QByteArray::fromHex("A1A2A3"),
                                  allByteValues()};
    QByteArray previous(600, 'Z');
    for (const QByteArray &code : codes) {
        QFile held(output);
        QVERIFY(held.open(QIODevice::ReadOnly));

        const qint64 reads = run.readCount();
        QVERIFY(line.send(code));
        QVERIFY(run.waitReadAfter(reads));
        const QByteArray text = code.toHex().toUpper();
        QCOMPARE(waitForFile(output, text), text);
        QVERIFY(run.waitReading(device));

        QCOMPARE(held.readAll(), previous);
        previous = text;
    }

    QCOMPARE(folderFiles(), QStringList{QStringLiteral("barcode.ini")});
    struct stat st;
    QCOMPARE(stat(QFile::encodeName(output).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0644);
}

void tst_Readers::commandLine_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("mentions");

    const QStringList cardDefaults{"/dev/ttyS4", "/tmp/Orvik_gamma/CARD_READER.ini"};
    const QStringList barcodeDefaults{"/dev/ttyACM0", "/tmp/Orvik_gamma/barcode.ini"};
    QTest::newRow("card help names its defaults") << "card_reader" << QStringList{"--help"} << 0 << cardDefaults;
    QTest::newRow("barcode help names its defaults")
        << "barcode_reader" << QStringList{"--help"} << 0 << barcodeDefaults;
    QTest::newRow("unknown option") << "card_reader" << QStringList{"--speed", "9600"} << 1 << cardDefaults;
    QTest::newRow("device without path") << "barcode_reader" << QStringList{"--device"} << 1 << barcodeDefaults;
    QTest::newRow("empty output") << "card_reader" << QStringList{"--output", ""} << 1 << cardDefaults;
}

void tst_Readers::commandLine()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QStringList, mentions);

    ReaderRun run(program, args);
    QCOMPARE(run.waitExit(), status);
    const QByteArray usage = run.process().readAllStandardError();
    // The program by its name, not by the path it was started with.
    QVERIFY2(usage.startsWith("Usage: " + program.toUtf8() + " ["), usage.constData());
    for (const QString &text : mentions)
        QVERIFY2(usage.contains(text.toUtf8()), usage.constData());
    QCOMPARE(run.process().readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_Readers)
#include "tst_readers.moc"
