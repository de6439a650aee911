#pragma once
// Records what a control reports: debug texts and errors.

#include "control/Kivra.h"

#include <string>
#include <utility>
#include <vector>

namespace kivra::test {

struct Recorder {
    std::vector<std::string> debug;
    std::vector<std::pair<int, std::string>> errors;

    //! Binds OnDebug and OnError and switches both events on.
    void Attach(TKivra& kivra)
    {
        kivra.SetOnDebug([this](std::string text) { debug.push_back(std::move(text)); });
        kivra.SetOnError([this](int code, std::string text) { errors.emplace_back(code, std::move(text)); });
        kivra.SetDebugEventsEnabled(true);
        kivra.SetErrorEventsEnabled(true);
    }

    bool SawDebug(const std::string& text) const
    {
        for (const auto& d : debug)
            if (d == text)
                return true;
        return false;
    }

    void Clear()
    {
        debug.clear();
        errors.clear();
    }
};

} // namespace kivra::test
