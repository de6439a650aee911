#pragma once
// Records what a control or its communication layer reports through OnError and OnDebug.

#include "control/Kivra.h"
#include "control/KivraCommunicationLayer.h"

#include <string>
#include <utility>
#include <vector>

namespace kivra::test {

struct EventRecorder {
    std::vector<std::pair<int, std::string>> Errors;
    std::vector<std::string> Debug;

    //! Binds OnError and OnDebug and switches both events on.
    void Attach(TKivra& kivra);
    //! Binds OnError and OnDebug and switches both events on.
    void Attach(TKivraCommunicationLayer& layer);

    bool HasDebug(const std::string& text) const;
    bool HasDebugStartingWith(const std::string& head) const;
    int CountDebug(const std::string& text) const;
    void Clear();
};

} // namespace kivra::test
