#pragma once
// The few ioctls a serial device may or may not support (modem lines and line counters), behind
// an interface: pseudo-terminals support none of them, so tests inject modem-line changes, line
// errors and breaks through their own implementation.

#include "serial/PosixError.h"

#include <memory>
#include <thread>

namespace kivra {

//! Cumulative line counters of a device (what TIOCGICOUNT reports).
struct TComCounters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};

// Modem line bits of GetModemLines and SetModemLine (the values of the system's TIOCM_* bits).
inline constexpr int kLineDTR = 0x002;
inline constexpr int kLineRTS = 0x004;
inline constexpr int kLineCTS = 0x020;
inline constexpr int kLineDCD = 0x040;
inline constexpr int kLineRing = 0x080;
inline constexpr int kLineDSR = 0x100;

//! Each call returns success or the system error; an error for which NotSupported() is true
//! means "this device cannot tell" and is never reported as an error.
class TComLineIo {
public:
    virtual ~TComLineIo() = default;
    //! kLine* bits of the modem lines.
    virtual TPosixError GetModemLines(int fd, int& lines) = 0;
    //! Raises or drops one output line (kLineDTR, kLineRTS).
    virtual TPosixError SetModemLine(int fd, int line, bool on) = 0;
    virtual TPosixError GetCounters(int fd, TComCounters& counters) = 0;
    //! Blocks until one of the modem input lines changes; Interrupted() when Interrupt woke it.
    virtual TPosixError WaitModemChange(int fd) = 0;
    //! Makes a WaitModemChange running on thread `waiter` return soon.
    virtual void Interrupt(std::thread& waiter) = 0;
};

//! The real ioctls.
std::shared_ptr<TComLineIo> SystemLineIo();

} // namespace kivra
