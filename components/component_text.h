// Small text helpers of the components: names compared without letter case, and
// messages with one "%s" filled in.
#pragma once

#include <strings.h>

#include <string>

namespace reruzo {

inline bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

inline std::string FormatText(const char* pattern, const std::string& arg) {
    std::string out = pattern;
    const auto at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, arg);
    return out;
}

}  // namespace reruzo
