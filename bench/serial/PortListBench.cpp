// What the port list costs: the presence check the window makes once a second, a full probe of
// COM1-COM16 (sysfs, lock files, /proc) as on loading the list, and the identity of every device.
// One pseudo-terminal is registered as COM3 in a private port directory, as the simulator would.

#include "serial/PortIdentity.h"
#include "serial/PortNames.h"
#include "serial/PortProbe.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct RegisteredPty {
    RegisteredPty()
    {
        char dir[] = "/tmp/kivra-bench-XXXXXX";
        ::mkdtemp(dir);
        ::chmod(dir, 0700);
        ::setenv("XDG_RUNTIME_DIR", dir, 1);
        ::setenv("XDG_CONFIG_HOME", (std::string(dir) + "/config").c_str(), 1);
        kivra::EnsurePortDirectory();
        char name[64];
        ::openpty(&master, &slave, name, nullptr, nullptr);
        link = kivra::PortDirectory() + "/COM3";
        ::symlink(name, link.c_str());
    }
    ~RegisteredPty()
    {
        ::unlink(link.c_str());
        ::close(slave);
        ::close(master);
    }
    int master = -1, slave = -1;
    std::string link;
};

RegisteredPty& Pty()
{
    static RegisteredPty pty;
    return pty;
}

void BM_PresenceCheck(benchmark::State& state)
{
    Pty();
    for (auto _ : state)
        benchmark::DoNotOptimize(kivra::PortPresenceSignature());
}
BENCHMARK(BM_PresenceCheck)->Unit(benchmark::kMicrosecond);

void BM_ProbeAllPorts(benchmark::State& state)
{
    Pty();
    for (auto _ : state)
        for (int n = 1; n <= 16; ++n)
            benchmark::DoNotOptimize(kivra::ProbePort(n));
}
BENCHMARK(BM_ProbeAllPorts)->Unit(benchmark::kMicrosecond);

void BM_IdentityAllPorts(benchmark::State& state)
{
    Pty();
    for (auto _ : state)
        for (int n = 1; n <= 16; ++n)
            benchmark::DoNotOptimize(
                kivra::ExaminePortIdentity(kivra::ResolvePortDevice(kivra::ComPortName(n))));
}
BENCHMARK(BM_IdentityAllPorts)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
