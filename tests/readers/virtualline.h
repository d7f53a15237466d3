#pragma once

// A pseudo-terminal that stands in for a reader's serial line in tests.

#include <QByteArray>
#include <QString>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal pair. The slave is put in raw mode and kept open for the
// life of the object, so the line keeps its settings while the program under
// test closes and reopens it.
class VirtualLine
{
public:
    VirtualLine()
    {
        char name[256] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        m_slavePath = QString::fromLocal8Bit(name);
        // The program under test must not inherit either side.
        fcntl(m_master, F_SETFD, FD_CLOEXEC);
        fcntl(m_slave, F_SETFD, FD_CLOEXEC);
        struct termios tio;
        tcgetattr(m_slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_slave, TCSANOW, &tio);
    }
    ~VirtualLine()
    {
        closeMaster();
        if (m_slave >= 0)
            close(m_slave);
    }
    bool isOpen() const { return m_master >= 0 && m_slave >= 0; }
    QString slavePath() const { return m_slavePath; }
    int slave() const { return m_slave; }

    bool send(const QByteArray &bytes)
    {
        return write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    void closeMaster()
    {
        if (m_master >= 0)
            close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
