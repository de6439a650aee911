#include "app/LostLink.h"

#include "app/PortComboBox.h"
#include "serial/PortNames.h"
#include "serial/PortProbe.h"

#include <climits>
#include <cstdlib>
#include <memory>

namespace kivra {
namespace {

std::string DeviceNode(int port)
{
    std::unique_ptr<char, decltype(&std::free)> real(
        ::realpath(ResolvePortDevice(ComPortName(port)).c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

} // namespace

TLostLink::TLostLink(int port, bool polling, int infoOption)
    : port_(port), key_(PortIdentityKey(port)), node_(DeviceNode(port)), polling_(polling),
      infoOption_(infoOption)
{
}

TLostLink::TChange TLostLink::Update()
{
    const int back = FindPortByKey(key_, port_);
    if (back == 0) {
        gone_ = true;
        back_ = 0;
        return TChange::Gone;
    }
    const std::string node = DeviceNode(back);
    if (!gone_ && node == node_)
        return TChange::None;
    // A name that now leads to a device another program holds (a stale link to a reused
    // pseudo-terminal number, say) is not the base coming back.
    if (ProbePort(back).State == TPortState::Busy)
        return TChange::None;
    gone_ = false;
    node_ = node;
    back_ = back;
    return TChange::Back;
}

} // namespace kivra
