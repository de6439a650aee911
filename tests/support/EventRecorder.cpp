#include "tests/support/EventRecorder.h"

#include <algorithm>

namespace kivra::test {

void EventRecorder::Attach(TKivra& kivra)
{
    kivra.SetOnError([this](int code, std::string text) { Errors.emplace_back(code, std::move(text)); });
    kivra.SetOnDebug([this](std::string text) { Debug.push_back(std::move(text)); });
    kivra.SetErrorEventsEnabled(true);
    kivra.SetDebugEventsEnabled(true);
}

void EventRecorder::Attach(TKivraCommunicationLayer& layer)
{
    layer.SetOnError([this](int code, const std::string& text) { Errors.emplace_back(code, text); });
    layer.SetOnDebug([this](const std::string& text) { Debug.push_back(text); });
    layer.SetErrorEventsEnabled(true);
    layer.SetDebugEventsEnabled(true);
}

bool EventRecorder::HasDebug(const std::string& text) const
{
    return std::find(Debug.begin(), Debug.end(), text) != Debug.end();
}

bool EventRecorder::HasDebugStartingWith(const std::string& head) const
{
    return std::any_of(Debug.begin(), Debug.end(),
                       [&head](const std::string& d) { return d.compare(0, head.size(), head) == 0; });
}

int EventRecorder::CountDebug(const std::string& text) const
{
    return static_cast<int>(std::count(Debug.begin(), Debug.end(), text));
}

void EventRecorder::Clear()
{
    Errors.clear();
    Debug.clear();
}

} // namespace kivra::test
