#pragma once
// The system calls behind the serial port, each behind a small function that reports failure as
// a TPosixError: exclusive open, termios line settings, transfers, waits, queues, priorities and
// the event thread's wait. Included by serial/*.cpp (and the serial tests) only: nothing of
// <termios.h> reaches the users of ComPort.h.

#include "serial/ComPortBaud.h"
#include "serial/PosixError.h"

#include <cstdint>
#include <string>
#include <termios.h>

namespace kivra {

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
//! (lockPath, "" when there is no usable lock directory), then open, flock and TIOCEXCL. On
//! failure nothing is left open or locked.
TPosixError OpenDevice(const std::string& path, int& fd, TPortHolder& holder, std::string& lockPath);

//! Drops the exclusive flag and closes the descriptor.
void CloseDevice(int fd);

//! Raw mode plus the given settings on top of what the device had. `custom` tells that the rate
//! needs SetDeviceBaudRate.
TPosixError ComposeTermios(termios& t, const TLineSettings& settings, bool& custom);

//! ComposeTermios as a read-modify-write of the device.
TPosixError ApplyLineSettings(int fd, const TLineSettings& settings);

//! One non-blocking transfer: the bytes moved, or the error (WouldBlock() when nothing could move).
struct TIoResult {
    int bytes = 0;
    TPosixError error;
};
//! A tty that reads 0 bytes has lost its far end: that is reported as EIO.
TIoResult ReadDevice(int fd, void* buffer, int length);
//! 0 bytes without an error when the device takes nothing now.
TIoResult WriteDevice(int fd, const void* buffer, int length);

//! Waits up to timeoutMs (-1 for ever) until the device has input. A signal only ends the wait early.
TPosixError WaitReadable(int fd, std::int64_t timeoutMs);
//! The same for room to write; a device that hung up without room is EIO.
TPosixError WaitWritable(int fd, std::int64_t timeoutMs);

//! Bytes in the device's input queue.
TPosixError QueuedInput(int fd, int& count);
//! Discards the device's input or output queue.
TPosixError FlushInput(int fd);
TPosixError FlushOutput(int fd);

//! The process's nice value; false when it cannot be read.
bool GetProcessNice(int& nice);
//! Failures are ignored: a priority is a wish.
void SetProcessNice(int nice);
//! The kernel's id of the calling thread, for SetThreadNice.
int CurrentThreadId();
void SetThreadNice(int threadId, int nice);

//! What one TDeviceWait::Wait saw.
struct TDeviceEvents {
    bool input = false;  // new bytes arrived
    bool hangup = false; // the device went away
};

//! The event thread's wait: new input on a device, its hang-up, or a Wake from another thread.
//! Edge-triggered: one wake-up per arrival of new bytes, none for bytes left unread.
class TDeviceWait {
public:
    TDeviceWait() = default;
    ~TDeviceWait();
    TDeviceWait(const TDeviceWait&) = delete;
    TDeviceWait& operator=(const TDeviceWait&) = delete;

    TPosixError Prepare(int deviceFd);
    //! Ends a Wait in progress or the next one; from any thread, also before Prepare.
    void Wake();
    //! Blocks until input, a hang-up or a Wake (which returns with no events).
    TPosixError Wait(TDeviceEvents& events);

private:
    int epollFd_ = -1;
    int wakeFd_ = -1;
};

} // namespace kivra
