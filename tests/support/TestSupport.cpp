#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
        // Nor does a test read or write the user's pins and window settings.
        ::setenv("XDG_CONFIG_HOME", (std::string(made) + "/config").c_str(), 1);
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

HolderProcess::HolderProcess(const std::vector<std::string>& paths, const std::vector<int>& fds)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    // Everything the child uses is prepared here: after fork only async-signal-safe calls.
    std::vector<const char*> names;
    for (const std::string& p : paths)
        names.push_back(p.c_str());
    std::vector<int> keep(fds);
    keep.push_back(ready[1]);
    keep.resize(keep.size() + names.size(), -1);
    const std::size_t opened = keep.size() - names.size();
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        for (std::size_t i = 0; i < names.size(); ++i)
            keep[opened + i] = ::open(names[i], O_RDWR | O_NOCTTY | O_NONBLOCK);
        for (std::size_t i = 0; i + 1 < opened; ++i)
            ::fcntl(keep[i], F_SETFD, 0); // inherited ones stay open across exec
        for (int fd = 3; fd < 4096; ++fd) {
            bool kept = false;
            for (int k : keep)
                kept = kept || k == fd;
            if (!kept)
                ::close(fd);
        }
        ::execlp("sleep", "sleep", "300", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    char c = 0;
    while (::read(ready[0], &c, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]); // end of file: the child runs "sleep" with the files open
}

HolderProcess::~HolderProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int DeadPid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

OpenWatch::OpenWatch(const std::string& path)
{
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0)
        throw std::runtime_error("inotify failed for " + path);
}

OpenWatch::~OpenWatch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int OpenWatch::Opens()
{
    alignas(inotify_event) char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            if (e->mask & IN_OPEN)
                ++opens_;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return opens_;
}

} // namespace kivra::test
