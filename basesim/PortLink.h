#pragma once
// Registration of a simulated port as COMn: a symbolic link in the per-user port directory.

#include <string>

namespace kivra::basesim {

//! <port directory>/COMn.
std::string PortLinkPath(int n);

//! Creates the link COMn -> target. A dangling link is replaced; a link whose target exists
//! (another simulator is alive) or anything that is not a link is left alone: throws
//! kivra::Exception with a message saying why. Returns the link path.
std::string RegisterPortLink(int n, const std::string& target);

//! Removes the link if it still points to target (never another simulator's link).
void UnregisterPortLink(const std::string& link, const std::string& target);

//! First n of 1..16 whose name resolves to no existing device, 0 when all are taken.
int FirstFreePort();

} // namespace kivra::basesim
