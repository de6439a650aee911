#include "serial/PosixError.h"

#include <cerrno>
#include <cstring>

namespace kivra {

TPosixError TPosixError::Last()
{
    return TPosixError(errno);
}

bool TPosixError::Interrupted() const
{
    return code_ == EINTR;
}

bool TPosixError::WouldBlock() const
{
    return code_ == EAGAIN;
}

bool TPosixError::Busy() const
{
    return code_ == EBUSY;
}

bool TPosixError::NotSupported() const
{
    return code_ == ENOTTY || code_ == EINVAL || code_ == ENOSYS || code_ == EOPNOTSUPP;
}

std::string TPosixError::Text() const
{
    return SystemErrorText(code_);
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

} // namespace kivra
