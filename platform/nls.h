// National-language layer: the table languages the engine offers (Windows language
// identifiers with their ICU locale and ANSI code page), their sort orders, the check
// that a table's locale is available, locale string comparison, and case mapping of
// single-byte text in a table's language.
// ICU does the work; text is converted from the language's code page to Unicode and
// back. Language 0 is plain bytes: only ASCII letters change case, so double-byte
// (GBK) text stored in such tables is never damaged.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::nls {

struct TLanguageInfo {
    std::uint16_t id;        // Windows language identifier (sublanguage * 1024 + primary)
    const char* name;        // "English (USA)"
    const char* icuLocale;   // "en_US"
    int codePage;            // ANSI code page of the language (1250..1258, 874)
};

// The 99 languages in their stored order; position 0 is "ANSI Standard" (id 0).
std::span<const TLanguageInfo> Languages();
// The language with identifier `id`, or nullptr.
const TLanguageInfo* FindLanguage(std::uint16_t id);

inline constexpr std::uint16_t kSortDefault = 0;
inline constexpr std::uint16_t kSortGermanPhoneBook = 1;

// True when (language, sort) names a locale this system can collate and map with.
// Language 0 is always available; the phone-book sort only exists for German.
bool IsLocaleInstalled(std::uint16_t languageId, std::uint16_t sortId);

// Names of the sort orders a language (by its position in Languages()) offers:
// "Default Order", and for the five German languages also "German Phone Book Order".
std::vector<std::string> SortOrderNames(std::size_t languagePosition);

// Comparison flags, with the meanings of the system this engine's files come from.
inline constexpr unsigned kNormIgnoreCase = 0x0001;      // case ignored (with accents)
inline constexpr unsigned kNormIgnoreNonSpace = 0x0002;  // accents ignored, case kept
inline constexpr unsigned kSortStringSort = 0x1000;      // punctuation sorts as symbols

// Compares two strings (bytes in the language's code page, each ending at its first
// zero byte or at its end) in the locale of (language, sort): -1, 0 or 1. Language 0
// compares unsigned bytes.
int CompareStrings(std::string_view a, std::string_view b, std::uint16_t languageId,
                   std::uint16_t sortId, unsigned flags);

// The byte-for-byte case mapping of a language's code page (made once per language
// and kept): bytes without a single-byte counterpart in the other case map to
// themselves.
using TCaseTable = std::array<unsigned char, 256>;
const TCaseTable& CaseTable(std::uint16_t languageId, bool toUpper);

// Converts `text` (bytes in the language's code page) to upper or lower case.
// Characters without a single-byte counterpart in the other case are kept.
std::string MapCase(std::string_view text, std::uint16_t languageId, std::uint16_t sortId,
                    bool toUpper);

}  // namespace quorvane::nls
