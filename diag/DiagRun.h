#pragma once
// kivra-diag's commands, run in-process on the calling thread (needs a QCoreApplication: the
// control's timers run on its event loop).

#include <ostream>
#include <string>
#include <vector>

namespace kivra::diag {

//! Runs one command line (without the program name); returns the exit status (ExitCode).
//! Data goes to out, messages, progress and trace lines to err. liveTerminal: err is a
//! terminal, so the live poll line is rewritten in place instead of printed now and then.
int RunDiag(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool liveTerminal = false);

//! Ends a running wait early (poll, a list); async-signal-safe.
void RequestStop();

} // namespace kivra::diag
