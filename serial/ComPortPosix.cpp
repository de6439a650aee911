#include "serial/ComPortPosix.h"

#include "serial/ComLineIo.h"
#include "serial/PortDevice.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace kivra {

static_assert(kLineDTR == TIOCM_DTR && kLineRTS == TIOCM_RTS && kLineCTS == TIOCM_CTS &&
              kLineDCD == TIOCM_CAR && kLineRing == TIOCM_RNG && kLineDSR == TIOCM_DSR);

namespace {

TPosixError Check(int rc)
{
    return rc == 0 ? TPosixError() : TPosixError::Last();
}

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
    TPosixError GetModemLines(int fd, int& lines) override { return Check(::ioctl(fd, TIOCMGET, &lines)); }
    TPosixError SetModemLine(int fd, int line, bool on) override
    {
        return Check(::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line));
    }
    TPosixError GetCounters(int fd, TComCounters& c) override
    {
        serial_icounter_struct ic{};
        if (::ioctl(fd, TIOCGICOUNT, &ic) != 0)
            return TPosixError::Last();
        c = {ic.cts, ic.dsr, ic.rng, ic.dcd, ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
        return {};
    }
    TPosixError WaitModemChange(int fd) override
    {
        WakeSignal();
        const unsigned long lines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
        return Check(::ioctl(fd, TIOCMIWAIT, lines));
    }
    void Interrupt(std::thread& waiter) override { ::pthread_kill(waiter.native_handle(), WakeSignal()); }
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

TPosixError OpenDevice(const std::string& path, int& fdOut, TPortHolder& holder, std::string& lockPath)
{
    holder = {};
    lockPath.clear();
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0)
        return TPosixError::Last();
    // Opening a tty raises its modem lines: a port someone else holds is not even opened.
    if (FindPortHolder(path, holder))
        return TPosixError(EBUSY);
    if (const int err = TakePortLock(path, lockPath, holder); err != 0)
        return TPosixError(err);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    TPosixError err = fd < 0 ? TPosixError::Last() : TPosixError();
    // TIOCEXCL keeps others out but not root; the lock refuses a device held by another program
    // (or another port of this one) whoever runs it.
    if (!err && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        err = errno == EWOULDBLOCK ? TPosixError(EBUSY) : TPosixError::Last();
    if (!err && ::ioctl(fd, TIOCEXCL) != 0)
        err = TPosixError::Last();
    termios t{};
    if (!err && ::tcgetattr(fd, &t) != 0)
        err = TPosixError::Last();
    if (err) {
        if (fd >= 0)
            ::close(fd);
        ReleasePortLock(lockPath);
        lockPath.clear();
        return err;
    }
    fdOut = fd;
    return {};
}

void CloseDevice(int fd)
{
    // The exclusive flag outlives the descriptor on a pseudo-terminal: drop it for the next open.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

TPosixError ComposeTermios(termios& t, const TLineSettings& s, bool& custom)
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
            return TPosixError(EINVAL); // no 4-bit characters here
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
    return {};
}

TPosixError ApplyLineSettings(int fd, const TLineSettings& s)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return TPosixError::Last();
    bool custom = false;
    if (const TPosixError err = ComposeTermios(t, s, custom))
        return err;
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        return TPosixError::Last();
    return custom ? SetDeviceBaudRate(fd, s.baudRate) : TPosixError();
}

TIoResult ReadDevice(int fd, void* buffer, int length)
{
    const ssize_t n = ::read(fd, buffer, static_cast<size_t>(length));
    if (n > 0)
        return {static_cast<int>(n), {}};
    return {0, n == 0 ? TPosixError(EIO) : TPosixError::Last()};
}

TIoResult WriteDevice(int fd, const void* buffer, int length)
{
    const ssize_t n = ::write(fd, buffer, static_cast<size_t>(length));
    if (n >= 0)
        return {static_cast<int>(n), {}};
    return {0, TPosixError::Last()};
}

namespace {

int PollTimeout(std::int64_t timeoutMs)
{
    return timeoutMs < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(timeoutMs, INT32_MAX));
}

} // namespace

TPosixError WaitReadable(int fd, std::int64_t timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, PollTimeout(timeoutMs)) < 0 && errno != EINTR)
        return TPosixError::Last();
    return {};
}

TPosixError WaitWritable(int fd, std::int64_t timeoutMs)
{
    pollfd p{fd, POLLOUT, 0};
    const int rc = ::poll(&p, 1, PollTimeout(timeoutMs));
    if (rc < 0 && errno != EINTR)
        return TPosixError::Last();
    if (rc > 0 && (p.revents & (POLLERR | POLLHUP)) != 0 && (p.revents & POLLOUT) == 0)
        return TPosixError(EIO);
    return {};
}

TPosixError QueuedInput(int fd, int& count)
{
    return Check(::ioctl(fd, FIONREAD, &count));
}

TPosixError FlushInput(int fd)
{
    return Check(::tcflush(fd, TCIFLUSH));
}

TPosixError FlushOutput(int fd)
{
    return Check(::tcflush(fd, TCOFLUSH));
}

bool GetProcessNice(int& nice)
{
    errno = 0; // -1 is a valid nice value: only errno tells a failure
    const int current = ::getpriority(PRIO_PROCESS, 0);
    if (errno != 0)
        return false;
    nice = current;
    return true;
}

void SetProcessNice(int nice)
{
    ::setpriority(PRIO_PROCESS, 0, nice);
}

int CurrentThreadId()
{
    return static_cast<int>(::syscall(SYS_gettid));
}

void SetThreadNice(int threadId, int nice)
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), nice);
}

TDeviceWait::~TDeviceWait()
{
    if (epollFd_ >= 0)
        ::close(epollFd_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

TPosixError TDeviceWait::Prepare(int deviceFd)
{
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0)
        return TPosixError::Last();
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        return TPosixError::Last();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) != 0)
        return TPosixError::Last();
    // Edge-triggered: one wake-up per arrival of new bytes, none for bytes left unread.
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = deviceFd;
    return Check(::epoll_ctl(epollFd_, EPOLL_CTL_ADD, deviceFd, &ev));
}

void TDeviceWait::Wake()
{
    if (wakeFd_ < 0)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
}

TPosixError TDeviceWait::Wait(TDeviceEvents& events)
{
    events = {};
    epoll_event evs[2];
    const int n = ::epoll_wait(epollFd_, evs, 2, -1);
    if (n < 0)
        return TPosixError::Last();
    for (int i = 0; i < n; ++i) {
        if (evs[i].data.fd == wakeFd_) {
            std::uint64_t v = 0;
            [[maybe_unused]] const auto r = ::read(wakeFd_, &v, sizeof v);
            continue;
        }
        events.input = events.input || (evs[i].events & EPOLLIN) != 0;
        events.hangup = events.hangup || (evs[i].events & (EPOLLHUP | EPOLLERR)) != 0;
    }
    return {};
}

} // namespace kivra
