// The engine error code an action raises, or 0 when it raises none.
#pragma once

#include <cstdint>
#include <functional>

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

}  // namespace quorvane::testing
