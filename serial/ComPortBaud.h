#pragma once
// Baud rates beyond the standard termios table. Apart from ComPortPosix.h because the kernel's
// termios2 header cannot share a translation unit with <termios.h>.

#include "serial/PosixError.h"

namespace kivra {

//! Sets both directions of the device to rate (termios2).
TPosixError SetDeviceBaudRate(int fd, int rate);
//! The output baud rate the device runs at.
TPosixError GetDeviceBaudRate(int fd, int& rate);

} // namespace kivra
