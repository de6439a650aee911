#pragma once
// kivra-diag's commands on a connected session (all but poll), and the CSV file some of them write.

#include "diag/DiagOptions.h"
#include "diag/DiagSession.h"

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace kivra::diag {

//! A CSV file opened before connecting, so that a bad path fails early.
class CsvFile {
public:
    //! Empty path: no file. Throws UsageError when the file cannot be written.
    explicit CsvFile(const std::string& path, const std::string& header);
    void Row(const std::vector<std::string>& fields);
    bool Good() const { return !file_.is_open() || file_.good(); }

private:
    std::ofstream file_;
};

ExitCode Ports(std::ostream& out, Messages& messages);
ExitCode Identify(Session& s, std::ostream& out, Messages& messages);
ExitCode Serials(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages, CsvFile& csv);
ExitCode Timestamps(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages, CsvFile& csv);
ExitCode Set(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages);
ExitCode Lock(Session& s, const DiagOptions& o, std::ostream& out);
ExitCode Unlock(Session& s, std::ostream& out);
ExitCode Channel(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages);

} // namespace kivra::diag
