#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

#include <cstdlib>
#include <dirent.h>
#include <stdexcept>
#include <sys/stat.h>

namespace kivra::test {

std::string UsePrivatePortDirectory()
{
    static const std::string dir = [] {
        char pattern[] = "/tmp/kivra-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr)
            throw std::runtime_error("mkdtemp failed");
        ::chmod(made, 0700);
        ::setenv("XDG_RUNTIME_DIR", made, 1);
        return std::string(made);
    }();
    return dir;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() >= timeout.count())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void ProcessEventsFor(std::chrono::milliseconds duration)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < duration.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

int OpenFdCount()
{
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.')
                ++count;
        }
        ::closedir(d);
        --count; // the descriptor of the listing itself
    }
    return count;
}

} // namespace kivra::test
