#pragma once
// The one value a failed system call becomes. Code that calls the system turns errno into a
// TPosixError right after the call; everything above branches on the value and its predicates,
// never on the text, and only the port turns it into a message.

#include <string>

namespace kivra {

class [[nodiscard]] TPosixError {
public:
    constexpr TPosixError() = default;
    constexpr explicit TPosixError(int code) : code_(code) {}
    //! The errno of the system call that just failed.
    static TPosixError Last();

    //! The errno, 0 for success.
    constexpr int Code() const { return code_; }
    //! True for a failure.
    constexpr explicit operator bool() const { return code_ != 0; }
    constexpr bool operator==(const TPosixError&) const = default;

    bool Interrupted() const; // EINTR: a signal cut the call short, try again
    bool WouldBlock() const;  // EAGAIN: a non-blocking call found nothing to do
    bool Busy() const;        // EBUSY: another program holds the device
    //! The device cannot tell (the request is not for this kind of device); never an error.
    bool NotSupported() const;
    //! SystemErrorText of the code.
    std::string Text() const;

private:
    int code_ = 0;
};

//! The system's text for an errno, without trailing spaces, control characters and full stops.
std::string SystemErrorText(int code);

} // namespace kivra
