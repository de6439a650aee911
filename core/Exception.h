#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace kivra {

//! The general exception: what() is the text shown to the user.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

//! A failed number conversion.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

//! The silent abort signal: unwinds like any exception, but top-level handlers never show it.
class EAbort : public Exception {
public:
    explicit EAbort(const std::string& message = "Operation aborted") : Exception(message) {}
};

//! The central exception handler. Event dispatch and timer callbacks hand escaping
//! exceptions to it. The default writes the text to stderr; an application may replace it
//! (the window utility shows a message box). EAbort is never passed to the handler.
using ExceptionHandler = std::function<void(const std::exception&)>;

void HandleException(const std::exception& e);
//! Installs a new handler and returns the previous one; an empty handler restores the default.
ExceptionHandler SetExceptionHandler(ExceptionHandler handler);

} // namespace kivra
