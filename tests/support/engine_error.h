// The engine error code an action raises, or 0 when it raises none.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/errors/engine_errors.h"

namespace quorvane::testing {

inline std::uint16_t CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const reruzo::ERERUZOEngineError& e) {
        return e.EngineCode;
    }
    return 0;
}

// The message an action raises after "SQL error - ", or the whole message of another
// engine error; "" when it raises none. `check` looks at the error first.
inline std::string SqlErrorOf(const std::function<void()>& action,
                              const std::function<void(const reruzo::ERERUZOEngineError&)>& check = {}) {
    try {
        action();
    } catch (const reruzo::ERERUZOEngineError& e) {
        if (check) check(e);
        const std::string what = e.what();
        const auto at = what.find("SQL error - ");
        return at == std::string::npos ? what : what.substr(at + 12);
    }
    return "";
}

}  // namespace quorvane::testing
