#pragma once
// The project version and the commit the programs were built from (a source written at build time).

#include <string>

namespace kivra {

//! The project version, e.g. "1.0.0".
const char* ProjectVersion();

//! The abbreviated hash of the commit built from; "" when built outside a git checkout.
const char* BuildCommit();

//! "1.0.0 (commit abc1234)", or "1.0.0 (unknown commit)" when built outside git.
std::string VersionText();

} // namespace kivra
