// How many terminal columns UTF-8 text takes, for aligning tables of values: East
// Asian wide and fullwidth characters (CJK ideographs, kana, Hangul, fullwidth forms,
// CJK punctuation) take two columns, every other character one.
#pragma once

#include <cstddef>
#include <string_view>

namespace reruzo::cli {

// The columns one code point takes: 2 for wide and fullwidth characters, else 1.
int CodePointWidth(char32_t c);

// The columns `utf8` takes. A byte that does not start a valid UTF-8 sequence counts
// as one column.
std::size_t DisplayWidth(std::string_view utf8);

}  // namespace reruzo::cli
