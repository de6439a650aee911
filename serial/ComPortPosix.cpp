#include "serial/ComPortPosix.h"

#include "serial/PortDevice.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kivra {
namespace {

// Interrupts a thread blocked in TIOCMIWAIT: a no-op handler installed without SA_RESTART.
int WakeSignal()
{
    static const int signal = [] {
        const int s = SIGRTMAX - 2;
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        ::sigaction(s, &sa, nullptr);
        return s;
    }();
    return signal;
}

class SystemIo final : public TComLineIo {
public:
    int GetModemLines(int fd, int& lines) override { return ::ioctl(fd, TIOCMGET, &lines) == 0 ? 0 : errno; }
    int SetModemLine(int fd, int line, bool on) override
    {
        return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0 ? 0 : errno;
    }
    int GetCounters(int fd, TComCounters& c) override
    {
        serial_icounter_struct ic{};
        if (::ioctl(fd, TIOCGICOUNT, &ic) != 0)
            return errno;
        c = {ic.cts, ic.dsr, ic.rng, ic.dcd, ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
        return 0;
    }
    int WaitModemChange(int fd) override
    {
        WakeSignal();
        const unsigned long lines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
        return ::ioctl(fd, TIOCMIWAIT, lines) == 0 ? 0 : errno;
    }
    void Interrupt(pthread_t waiter) override { ::pthread_kill(waiter, WakeSignal()); }
};

speed_t StandardSpeed(int rate)
{
    switch (rate) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 150:
        return B150;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return B0;
    }
}

} // namespace

std::shared_ptr<TComLineIo> SystemLineIo()
{
    static const auto io = std::make_shared<SystemIo>();
    return io;
}

bool IsNotSupported(int err)
{
    return err == ENOTTY || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

std::string SystemErrorText(int code)
{
    char buf[256];
    // GNU strerror_r: returns the text, which may or may not live in buf.
    std::string text = ::strerror_r(code, buf, sizeof buf);
    if (text.size() > 256)
        text.resize(256);
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.back());
        if (c > ' ' && c != '.' && c != 0x7f)
            break;
        text.pop_back();
    }
    return text;
}

int OpenDevice(const std::string& path, int& fdOut, TPortHolder& holder, std::string& lockPath)
{
    holder = {};
    lockPath.clear();
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0)
        return errno;
    // Opening a tty raises its modem lines: a port someone else holds is not even opened.
    if (FindPortHolder(path, holder))
        return EBUSY;
    if (const int err = TakePortLock(path, lockPath, holder); err != 0)
        return err;
    int err = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // TIOCEXCL keeps others out but not root; the lock refuses a device held by another
        // program (or another port of this one) whoever runs it.
        err = errno == EWOULDBLOCK ? EBUSY : errno;
    } else if (::ioctl(fd, TIOCEXCL) != 0) {
        err = errno;
    } else {
        termios t{};
        if (::tcgetattr(fd, &t) != 0)
            err = errno;
    }
    if (err != 0) {
        if (fd >= 0)
            ::close(fd);
        ReleasePortLock(lockPath);
        lockPath.clear();
        return err;
    }
    fdOut = fd;
    return 0;
}

int ComposeTermios(termios& t, const TLineSettings& s, bool& custom)
{

    // Raw 8-bit transfer: no echo, no line editing, no translation, no signals; the line's modem
    // control is ignored for opening and the lines are not dropped on close.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~HUPCL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    custom = false;
    if (s.baudRate > 0) {
        const speed_t code = StandardSpeed(s.baudRate);
        if (code != B0) {
            ::cfsetispeed(&t, code);
            ::cfsetospeed(&t, code);
        } else
            custom = true;
    }
    if (s.dataBits != 0) {
        tcflag_t size = 0;
        switch (s.dataBits) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return EINVAL; // no 4-bit characters here
        }
        t.c_cflag = (t.c_cflag & ~CSIZE) | size;
    }
    if (s.parity >= 0) {
        t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
        switch (s.parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
        }
    }
    if (s.stopBits >= 0) {
        // One and a half stop bits is what the UART sends for CSTOPB with 5-bit characters.
        if (s.stopBits == 0)
            t.c_cflag &= ~CSTOPB;
        else
            t.c_cflag |= CSTOPB;
    }
    if (s.xonxoff >= 0) {
        t.c_iflag &= ~(IXON | IXOFF);
        if (s.xonxoff & 1)
            t.c_iflag |= IXOFF;
        if (s.xonxoff & 2)
            t.c_iflag |= IXON;
    }
    if (s.rtsCts >= 0) {
        if (s.rtsCts != 0)
            t.c_cflag |= CRTSCTS;
        else
            t.c_cflag &= ~CRTSCTS;
    }
    if (s.checkParity)
        t.c_iflag |= INPCK;
    else
        t.c_iflag &= ~INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xon);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoff);
    return 0;
}

int ApplyLineSettings(int fd, const TLineSettings& s)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return errno;
    bool custom = false;
    if (const int err = ComposeTermios(t, s, custom); err != 0)
        return err;
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        return errno;
    return custom ? SetDeviceBaudRate(fd, s.baudRate) : 0;
}

} // namespace kivra
