#include "core/Exception.h"

#include <cstdio>
#include <mutex>

namespace kivra {
namespace {

std::mutex handlerMutex;
ExceptionHandler& currentHandler()
{
    static ExceptionHandler handler;
    return handler;
}

} // namespace

void HandleException(const std::exception& e)
{
    if (dynamic_cast<const EAbort*>(&e) != nullptr)
        return;
    ExceptionHandler handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = currentHandler();
    }
    if (handler) {
        handler(e);
        return;
    }
    std::fprintf(stderr, "%s\n", e.what());
}

ExceptionHandler SetExceptionHandler(ExceptionHandler handler)
{
    std::lock_guard lock(handlerMutex);
    ExceptionHandler previous = std::move(currentHandler());
    currentHandler() = std::move(handler);
    return previous;
}

} // namespace kivra
