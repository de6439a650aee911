#include "diag/DiagReconnect.h"

#include "serial/PortNames.h"

#include <QCoreApplication>

#include <cstdio>
#include <sys/stat.h>
#include <thread>

namespace kivra::diag {

using namespace std::chrono_literals;

void LinkGaps::Lost(Clock::time_point at)
{
    if (open_)
        return;
    open_ = true;
    since_ = at;
    ++count_;
}

void LinkGaps::Back(Clock::time_point at)
{
    if (!open_)
        return;
    open_ = false;
    total_ += at - since_;
}

double LinkGaps::TotalSeconds(Clock::time_point now) const
{
    return std::chrono::duration<double>(total_ + (open_ ? now - since_ : Clock::duration{})).count();
}

std::string LinkGaps::Summary() const
{
    char line[96];
    std::snprintf(line, sizeof line, "Link gaps: %d, %.1f s in all%s", count_, TotalSeconds(),
                  open_ ? " (the last still open)" : "");
    return line;
}

bool PortDevicePresent(int port)
{
    struct stat st {};
    return ::stat(ResolvePortDevice(ComPortName(port)).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

AwaitEnd AwaitBase(int port, std::chrono::steady_clock::time_point deadline,
                   const std::function<bool()>& stopped, const std::function<bool()>& connect,
                   const std::function<void(const std::string&)>& say)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto nextTry = start;
    auto nextProgress = start + 10s;
    for (;;) {
        if (stopped())
            return AwaitEnd::Stopped;
        const auto now = Clock::now();
        if (now >= deadline)
            return AwaitEnd::TimedOut;
        if (now >= nextTry && PortDevicePresent(port)) {
            if (connect())
                return AwaitEnd::Connected;
            nextTry = Clock::now() + 2s;
            continue;
        }
        if (now >= nextProgress) {
            say("waiting for COM" + std::to_string(port) + " to come back... " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - start).count()) + " s");
            nextProgress += 10s;
        }
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(250ms);
    }
}

} // namespace kivra::diag
