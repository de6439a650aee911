#pragma once
// kivra-diag sessions and export: the poll sessions kept in the session store.

#include "diag/DiagOptions.h"

#include <ostream>

namespace kivra::diag {

//! Lists the sessions, newest first. Messages go through err (one line each, without prefix).
ExitCode ListSessions(const DiagOptions& o, std::ostream& out, std::ostream& err);

//! Writes one session's answers or gradebook as CSV to o.CsvPath ("-": out).
ExitCode ExportSession(const DiagOptions& o, std::ostream& out, std::ostream& err);

} // namespace kivra::diag
