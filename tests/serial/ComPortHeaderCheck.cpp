// The control and the windows include serial/ComPort.h: no terminal, ioctl, poll or epoll
// definitions may come with it (the system's headers belong to serial/*.cpp). Checked at build time.
#include "serial/ComPort.h"

#if defined(TCSANOW) || defined(B9600) || defined(TIOCM_DTR) || defined(FIONREAD) || defined(POLLIN) ||      \
    defined(EPOLLIN) || defined(O_NONBLOCK)
#error "serial/ComPort.h brings POSIX headers along"
#endif
