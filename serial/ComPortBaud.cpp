// Arbitrary baud rates through termios2. <asm/termbits.h> clashes with <termios.h>, so this
// file includes neither <termios.h> nor <sys/ioctl.h>.
#include "serial/ComPortBaud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace kivra {

TPosixError SetDeviceBaudRate(int fd, int rate)
{
    if (rate <= 0)
        return TPosixError(EINVAL);
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return TPosixError::Last();
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = static_cast<speed_t>(rate);
    t.c_ospeed = static_cast<speed_t>(rate);
    if (ioctl(fd, TCSETS2, &t) != 0)
        return TPosixError::Last();
    return {};
}

TPosixError GetDeviceBaudRate(int fd, int& rate)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return TPosixError::Last();
    rate = static_cast<int>(t.c_ospeed);
    return {};
}

} // namespace kivra
