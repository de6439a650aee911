#pragma once
// The system calls behind the serial port: exclusive open, termios line settings, and a thin
// seam for the ioctls that pseudo-terminals do not support (modem lines and line counters), so
// that tests can inject modem-line changes, line errors and breaks.

#include <memory>
#include <pthread.h>
#include <string>
#include <termios.h>

namespace kivra {

//! Cumulative line counters of a device (what TIOCGICOUNT reports).
struct TComCounters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};

//! The few ioctls a serial device may or may not support. Each returns 0 or an errno; an errno for
//! which IsNotSupported() is true means "this device cannot tell" and is never an error.
class TComLineIo {
public:
    virtual ~TComLineIo() = default;
    //! TIOCM_* bits of the modem lines.
    virtual int GetModemLines(int fd, int& lines) = 0;
    //! Raises or drops one TIOCM_* output line (DTR, RTS).
    virtual int SetModemLine(int fd, int line, bool on) = 0;
    virtual int GetCounters(int fd, TComCounters& counters) = 0;
    //! Blocks until one of the modem input lines changes (TIOCMIWAIT); 0, or an errno (EINTR
    //! when Interrupt woke it).
    virtual int WaitModemChange(int fd) = 0;
    //! Makes a WaitModemChange running on thread `waiter` return soon.
    virtual void Interrupt(pthread_t waiter) = 0;
};

//! The real ioctls.
std::shared_ptr<TComLineIo> SystemLineIo();

bool IsNotSupported(int err);

//! The system's text for an errno, without trailing spaces, control characters and full stops.
std::string SystemErrorText(int code);

//! Line settings for ApplyLineSettings; -1 (or 0 for rates and sizes) leaves the device's value.
struct TLineSettings {
    int baudRate = 0;
    int dataBits = 0;
    int parity = -1;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = -1; // 0 one, 1 one and a half, 2 two
    int xonxoff = -1;  // 0 off, 1 input (IXOFF), 2 output (IXON), 3 both
    int rtsCts = -1;   // hardware flow control
    bool checkParity = false;
    char xon = 17;
    char xoff = 19;
};

struct TPortHolder;

//! Opens a device exclusively. A device another program holds (PortDevice.h) is refused with
//! EBUSY and that program in holder, before it is touched; otherwise the UUCP lock file is taken
//! (lockPath, "" when there is no usable lock directory), then open, flock and TIOCEXCL. 0 and the
//! descriptor, or an errno with nothing left open or locked.
int OpenDevice(const std::string& path, int& fd, TPortHolder& holder, std::string& lockPath);

//! Raw mode plus the given settings on top of what the device had; 0 or an errno. `custom` tells
//! that the rate needs SetDeviceBaudRate.
int ComposeTermios(termios& t, const TLineSettings& settings, bool& custom);

//! ComposeTermios as a read-modify-write of the device; 0 or an errno.
int ApplyLineSettings(int fd, const TLineSettings& settings);

//! Baud rates beyond the standard table (termios2); 0 or an errno.
int SetDeviceBaudRate(int fd, int rate);
//! The output baud rate the device runs at; 0 or an errno.
int GetDeviceBaudRate(int fd, int& rate);

} // namespace kivra
