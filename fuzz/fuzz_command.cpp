// The dispatcher on arbitrary request bytes. No serial device exists (the
// device list points into an empty folder) and the state files live in a
// scratch folder that is laid out afresh for every input, so each run starts
// from the same rack: three cells, one blocked, one with a dosimeter number.
#include "fuzzsupport.h"

#include "commandrows.h"
#include "hubid.h"
#include "mytcpserver.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

QTemporaryDir *scratch = nullptr;

void writeFile(const QString &name, const QByteArray &content)
{
    QFile f(G_Path_RAM + name);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setUp();
    scratch = fuzz::scratchDir();
    G_ports_dkg = makePortList(scratch->filePath(QStringLiteral("no-devices/ttyACM")));
    G_port_base = scratch->filePath(QStringLiteral("no-devices/ttyACM"));
    G_Path_RAM = scratch->filePath(QStringLiteral("ram"));
    G_settings_file = scratch->filePath(QStringLiteral("settings.ini"));
    G_kas_count_cell = 3;
    G_Time_energe_ppd = 0;
    G_udevadm_timeout_ms = 1000;
    QDir().mkpath(G_Path_RAM);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte chooses the rack type, the rest is the request.
    if (size == 0)
        return 0;
    G_type_ppd = (data[0] & 1) ? QStringLiteral("1300GN") : QStringLiteral("1300");
    QByteArray request = fuzz::bytes(data + 1, size - 1);
    const int nul = request.indexOf('\0');
    if (nul >= 0)
        request.truncate(nul);

    const QByteArray absent = G_port_base.toUtf8();
    writeFile(QStringLiteral("/port.ini"), absent + "0\n\n" + absent + "2\n");
    writeFile(QStringLiteral("/nomer_ppd.ini"), "1001\n\n1003\n");
    writeFile(QStringLiteral("/error.ini"), "\nзаблокирована\n\n");
    writeFile(QStringLiteral("/datatime.ini"), "0\n0\n0\n");
    writeFile(QStringLiteral("/hub.ini"), "-1.1:1.0\n-1.2:1.0\n-1.3:1.0\n");

    const QString requestText = QString::fromUtf8(request);
    const QString reply = f_command(requestText);
    FUZZ_CHECK(!reply.isEmpty());

    // The journal's readers take any request with the reply it got, and the
    // reply bytes read as a request of their own.
    const RackLines before{{QStringLiteral("1001"), QString(), QStringLiteral("1003")}, {}, {}};
    const RackLines after{{QString(), QStringLiteral("1002")}, {QStringLiteral("p")}, {QStringLiteral("error:x")}};
    for (const JournalRow &row : commandRows({requestText, reply, before, after}))
        FUZZ_CHECK(row.contains(QStringLiteral("kind")));
    commandRows({reply, requestText, after, before});
    // The same bytes as a waiting line's status text: a read-out or nothing.
    const JournalRow recovered = recoveredReadout(requestText, 0, QStringLiteral("p"));
    FUZZ_CHECK(recovered.isEmpty() || recovered.value(QStringLiteral("kind")) == QStringLiteral("readout"));
    return 0;
}
