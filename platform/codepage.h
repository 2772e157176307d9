// Conversion between UTF-8 (the user interface, the knowledge-base sources) and the
// single- and double-byte ANSI code pages in which table strings are stored. The
// program's own code page is 936 (GBK).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvane::codepage {

inline constexpr int kProgramCodePage = 936;

// Text in the code page to UTF-8; bytes that do not decode become U+FFFD.
std::string ToUtf8(std::string_view text, int codePage = kProgramCodePage);
// UTF-8 to the code page; nullopt when a character has no form in it.
std::optional<std::string> FromUtf8(std::string_view utf8, int codePage = kProgramCodePage);

}  // namespace quorvane::codepage
