// Measures the CPU time (getrusage) this process spends on one open serial port over a
// pseudo-terminal: first idle with OnRxChar bound, then receiving at the pace of a 9600-baud
// line (960 bytes a second, one byte at a time). The far end runs in a child process so that
// its work is not counted.
//
// Usage: bench_serial [seconds per phase, default 5]

#include "serial/ComPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void RunEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Child: one byte every 1/960 s, on absolute deadlines so the pace does not drift.
[[noreturn]] void Stream(int master, int seconds)
{
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    const long periodNs = 1'000'000'000L / 960;
    for (long i = 0; i < 960L * seconds; ++i) {
        const char c = static_cast<char>('A' + i % 26);
        if (::write(master, &c, 1) < 0)
            break;
        next.tv_nsec += periodNs;
        if (next.tv_nsec >= 1'000'000'000L) {
            next.tv_nsec -= 1'000'000'000L;
            ++next.tv_sec;
        }
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    ::_exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    int master = -1, slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    ::close(slave);
    QCoreApplication app(argc, argv);

    kivra::TComPort port;
    port.SetDeviceName(name);
    port.SetBaudRate(kivra::TBaudRate::br9600);
    long deliveries = 0, bytes = 0;
    port.SetOnRxChar([&](kivra::TCustomComPort* p) {
        ++deliveries;
        bytes += static_cast<long>(p->ReadString().size());
    });
    port.SetOnLineError([](kivra::TCustomComPort*, kivra::TLineErrors) {});
    port.Open();

    double cpu = CpuSeconds();
    RunEventLoopFor(seconds * 1000);
    const double idle = CpuSeconds() - cpu;
    std::printf("idle port, OnRxChar bound, %d s: CPU %.3f ms (%.4f%% of one core), %ld deliveries\n",
                seconds, idle * 1e3, idle * 100.0 / seconds, deliveries);

    const pid_t child = ::fork();
    if (child == 0)
        Stream(master, seconds);
    cpu = CpuSeconds();
    RunEventLoopFor(seconds * 1000 + 200);
    const double busy = CpuSeconds() - cpu;
    ::waitpid(child, nullptr, 0);
    RunEventLoopFor(100);
    std::printf("receiving at 9600-baud pace, %d s: CPU %.1f ms (%.2f%% of one core), %ld bytes in %ld "
                "deliveries\n",
                seconds, busy * 1e3, busy * 100.0 / seconds, bytes, deliveries);
    port.Close();
    ::close(master);
    return 0;
}
