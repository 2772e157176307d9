// Text forms the registry layer moves between: the program's GBK strings, the UTF-16
// in which registries keep names and string data, and UTF-8; and the rule by which
// key and value names are compared (letter case ignored, code unit by code unit, the
// order in which Wine sorts keys and values).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvane::registry::text {

// GBK bytes to UTF-16; bytes that do not decode become U+FFFD.
std::u16string FromProgram(std::string_view gbk);
// UTF-16 to GBK; characters without a GBK form become '?'. Zero code units stay
// zero bytes.
std::string ToProgram(std::u16string_view text);

// UTF-8 to UTF-16; malformed sequences become U+FFFD.
std::u16string FromUtf8(std::string_view utf8);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);

// Negative, zero or positive as `a` sorts before, with or after `b`: code units
// compared after upper-casing each, a name before every longer name it begins.
int CompareNames(std::u16string_view a, std::u16string_view b);
inline bool SameName(std::u16string_view a, std::u16string_view b) {
    return CompareNames(a, b) == 0;
}

// The parts of a key path between backslashes; empty parts (a leading or doubled
// backslash) are dropped.
std::vector<std::u16string> SplitPath(std::u16string_view path);

// UTF-16 text as the little-endian bytes of a string value, with or without a
// terminating zero code unit, and back (an odd last byte is dropped).
std::vector<std::uint8_t> ToBytes(std::u16string_view text, bool terminate);
std::u16string FromBytes(const std::vector<std::uint8_t>& data);

}  // namespace quorvane::registry::text
