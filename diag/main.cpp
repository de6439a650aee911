// kivra-diag: headless diagnostics of a base station and its keypads.

#include "core/Version.h"
#include "diag/DiagRun.h"

#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <unistd.h>

namespace {

void OnSignal(int)
{
    kivra::diag::RequestStop();
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (std::find(args.begin(), args.end(), "--version") != args.end()) {
        std::cout << "kivra-diag " << kivra::VersionText() << std::endl;
        return 0;
    }
    QCoreApplication app(argc, argv);
    // The first Ctrl-C ends a running poll with its summary; a second one ends the program.
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sa.sa_flags = SA_RESETHAND;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    return kivra::diag::RunDiag(args, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
}
