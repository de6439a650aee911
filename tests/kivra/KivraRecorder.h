#pragma once
// Records what a control reports through its OnError and OnDebug events.

#include "control/Kivra.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace kivra::test {

struct TKivraRecorder {
    std::vector<std::pair<int, std::string>> Errors;
    std::vector<std::string> Debug;

    //! Binds OnError and OnDebug and switches both events on.
    void Attach(TKivra& kivra)
    {
        kivra.SetOnError([this](int code, std::string text) { Errors.emplace_back(code, std::move(text)); });
        kivra.SetOnDebug([this](std::string text) { Debug.push_back(std::move(text)); });
        kivra.SetErrorEventsEnabled(true);
        kivra.SetDebugEventsEnabled(true);
    }

    bool HasDebug(const std::string& text) const
    {
        return std::find(Debug.begin(), Debug.end(), text) != Debug.end();
    }

    bool HasDebugStartingWith(const std::string& head) const
    {
        return std::any_of(Debug.begin(), Debug.end(),
                           [&head](const std::string& d) { return d.compare(0, head.size(), head) == 0; });
    }

    int CountDebug(const std::string& text) const
    {
        return static_cast<int>(std::count(Debug.begin(), Debug.end(), text));
    }

    void Clear()
    {
        Errors.clear();
        Debug.clear();
    }
};

} // namespace kivra::test
