// Language table and ICU-based case mapping for single-byte code pages.
#include "platform/nls.h"

#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/uchar.h>
#include <unicode/uloc.h>

#include <array>
#include <map>
#include <mutex>

namespace quorvane::nls {
namespace {

constexpr TLanguageInfo kLanguages[] = {
    {0x0000, "ANSI Standard", "", 0},
    {0x0436, "Afrikaans", "af_ZA", 1252},
    {0x041C, "Albanian", "sq_AL", 1250},
    {0x0401, "Arabic (Saudi Arabia)", "ar_SA", 1256},
    {0x0801, "Arabic (Iraq)", "ar_IQ", 1256},
    {0x0C01, "Arabic (Egypt)", "ar_EG", 1256},
    {0x1001, "Arabic (Libya)", "ar_LY", 1256},
    {0x1401, "Arabic (Algeria)", "ar_DZ", 1256},
    {0x1801, "Arabic (Morocco)", "ar_MA", 1256},
    {0x1C01, "Arabic (Tunisia)", "ar_TN", 1256},
    {0x2001, "Arabic (Oman)", "ar_OM", 1256},
    {0x2401, "Arabic (Yemen)", "ar_YE", 1256},
    {0x2801, "Arabic (Syria)", "ar_SY", 1256},
    {0x2C01, "Arabic (Jordan)", "ar_JO", 1256},
    {0x3001, "Arabic (Lebanon)", "ar_LB", 1256},
    {0x3401, "Arabic (Kuwait)", "ar_KW", 1256},
    {0x3801, "Arabic (U.A.E)", "ar_AE", 1256},
    {0x3C01, "Arabic (Bahrain)", "ar_BH", 1256},
    {0x4001, "Arabic (Qatar)", "ar_QA", 1256},
    {0x042D, "Basque", "eu_ES", 1252},
    {0x0423, "Belarusian", "be_BY", 1251},
    {0x0402, "Bulgarian", "bg_BG", 1251},
    {0x0403, "Catalan", "ca_ES", 1252},
    {0x041A, "Croatian", "hr_HR", 1250},
    {0x0405, "Czech", "cs_CZ", 1250},
    {0x0406, "Danish", "da_DK", 1252},
    {0x0413, "Dutch (Standard)", "nl_NL", 1252},
    {0x0813, "Dutch (Belgian)", "nl_BE", 1252},
    {0x0409, "English (USA)", "en_US", 1252},
    {0x0809, "English (UK)", "en_GB", 1252},
    {0x0C09, "English (Australian)", "en_AU", 1252},
    {0x1009, "English (Canadian)", "en_CA", 1252},
    {0x1409, "English (New Zealand)", "en_NZ", 1252},
    {0x1809, "English (Irish)", "en_IE", 1252},
    {0x1C09, "English (South Africa)", "en_ZA", 1252},
    {0x2009, "English (Jamaica)", "en_JM", 1252},
    {0x2409, "English (Caribbean)", "en_029", 1252},
    {0x2809, "English (Belize)", "en_BZ", 1252},
    {0x2C09, "English (Trinidad)", "en_TT", 1252},
    {0x0425, "Estonian", "et_EE", 1257},
    {0x0438, "Faeroese", "fo_FO", 1252},
    {0x0429, "Farsi", "fa_IR", 1256},
    {0x040B, "Finnish", "fi_FI", 1252},
    {0x040C, "French (Standard)", "fr_FR", 1252},
    {0x080C, "French (Belgian)", "fr_BE", 1252},
    {0x0C0C, "French (Canadian)", "fr_CA", 1252},
    {0x100C, "French (Swiss)", "fr_CH", 1252},
    {0x140C, "French (Luxembourg)", "fr_LU", 1252},
    {0x0407, "German (Standard)", "de_DE", 1252},
    {0x0807, "German (Swiss)", "de_CH", 1252},
    {0x0C07, "German (Austrian)", "de_AT", 1252},
    {0x1007, "German (Luxembourg)", "de_LU", 1252},
    {0x1407, "German (Liechtenstein)", "de_LI", 1252},
    {0x0408, "Greek", "el_GR", 1253},
    {0x040D, "Hebrew", "he_IL", 1255},
    {0x040E, "Hungarian", "hu_HU", 1250},
    {0x040F, "Icelandic", "is_IS", 1252},
    {0x0421, "Indonesian", "id_ID", 1252},
    {0x0410, "Italian (Standard)", "it_IT", 1252},
    {0x0810, "Italian (Swiss)", "it_CH", 1252},
    {0x0426, "Latvian", "lv_LV", 1257},
    {0x0427, "Lithuanian", "lt_LT", 1257},
    {0x0414, "Norwegian (Bokmal)", "nb_NO", 1252},
    {0x0814, "Norwegian (Nynorsk)", "nn_NO", 1252},
    {0x0415, "Polish", "pl_PL", 1250},
    {0x0816, "Portuguese (Standard)", "pt_PT", 1252},
    {0x0416, "Portuguese (Brazilian)", "pt_BR", 1252},
    {0x0418, "Romanian", "ro_RO", 1250},
    {0x0419, "Russian", "ru_RU", 1251},
    {0x081A, "Serbian (Latin)", "sr_Latn_RS", 1250},
    {0x0C1A, "Serbian (Cyrillic)", "sr_Cyrl_RS", 1251},
    {0x041B, "Slovak", "sk_SK", 1250},
    {0x0424, "Slovenian", "sl_SI", 1250},
    {0x040A, "Spanish (Castilian)", "es_ES@collation=traditional", 1252},
    {0x080A, "Spanish (Mexican)", "es_MX", 1252},
    {0x0C0A, "Spanish (Modern)", "es_ES", 1252},
    {0x100A, "Spanish (Guatemala)", "es_GT", 1252},
    {0x140A, "Spanish (Costa Rica)", "es_CR", 1252},
    {0x180A, "Spanish (Panama)", "es_PA", 1252},
    {0x1C0A, "Spanish (Dominican Republic)", "es_DO", 1252},
    {0x200A, "Spanish (Venezuela)", "es_VE", 1252},
    {0x240A, "Spanish (Colombia)", "es_CO", 1252},
    {0x280A, "Spanish (Peru)", "es_PE", 1252},
    {0x2C0A, "Spanish (Argentina)", "es_AR", 1252},
    {0x300A, "Spanish (Ecuador)", "es_EC", 1252},
    {0x340A, "Spanish (Chile)", "es_CL", 1252},
    {0x380A, "Spanish (Uruguay)", "es_UY", 1252},
    {0x3C0A, "Spanish (Paraguay)", "es_PY", 1252},
    {0x400A, "Spanish (Bolivia)", "es_BO", 1252},
    {0x440A, "Spanish (El Salvador)", "es_SV", 1252},
    {0x480A, "Spanish (Honduras)", "es_HN", 1252},
    {0x4C0A, "Spanish (Nicaragua)", "es_NI", 1252},
    {0x500A, "Spanish (Puerto Rico)", "es_PR", 1252},
    {0x041D, "Swedish (Standard)", "sv_SE", 1252},
    {0x081D, "Swedish (Finland)", "sv_FI", 1252},
    {0x041E, "Thai", "th_TH", 874},
    {0x041F, "Turkish", "tr_TR", 1254},
    {0x0422, "Ukranian", "uk_UA", 1251},
    {0x042A, "Vietnamese", "vi_VN", 1258},
};
static_assert(std::size(kLanguages) == 99);

constexpr bool IsGerman(std::uint16_t id) { return (id & 0x3FF) == 0x07; }

// Byte-to-byte case tables of one (code page, language) pair, built once.
struct TCaseTables {
    std::array<unsigned char, 256> upper;
    std::array<unsigned char, 256> lower;
};

TCaseTables IdentityOnAscii() {
    TCaseTables t;
    for (int b = 0; b < 256; ++b) {
        t.upper[b] = static_cast<unsigned char>(b >= 'a' && b <= 'z' ? b - 32 : b);
        t.lower[b] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
    }
    return t;
}

TCaseTables BuildTables(const TLanguageInfo& lang) {
    TCaseTables t = IdentityOnAscii();
    UErrorCode status = U_ZERO_ERROR;
    const std::string cpName = lang.codePage == 874 ? "windows-874-2000"
                                                    : "windows-" + std::to_string(lang.codePage);
    UConverter* cnv = ucnv_open(cpName.c_str(), &status);
    if (U_FAILURE(status)) return t;
    // Mapping a character and encoding it back must give one byte; anything else
    // (no case partner, partner outside the code page) keeps the byte as it is.
    auto mapByte = [&](int b, bool upper) -> unsigned char {
        const char in = static_cast<char>(b);
        UChar u[4];
        UErrorCode st = U_ZERO_ERROR;
        const int32_t n = ucnv_toUChars(cnv, u, 4, &in, 1, &st);
        if (U_FAILURE(st) || n != 1) return static_cast<unsigned char>(b);
        UChar32 c = u[0];
        c = upper ? u_toupper(c) : u_tolower(c);
        if (c == u[0] || c > 0xFFFF) return static_cast<unsigned char>(b);
        const UChar mapped = static_cast<UChar>(c);
        char out[8];
        st = U_ZERO_ERROR;
        ucnv_setFromUCallBack(cnv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &st);
        const int32_t m = ucnv_fromUChars(cnv, out, 8, &mapped, 1, &st);
        if (U_FAILURE(st) || m != 1) return static_cast<unsigned char>(b);
        return static_cast<unsigned char>(out[0]);
    };
    for (int b = 0x80; b < 256; ++b) {
        t.upper[b] = mapByte(b, true);
        t.lower[b] = mapByte(b, false);
    }
    ucnv_close(cnv);
    return t;
}

const TCaseTables& TablesFor(std::uint16_t languageId) {
    static std::mutex lock;
    static std::map<std::uint16_t, TCaseTables> cache;
    std::lock_guard guard(lock);
    auto it = cache.find(languageId);
    if (it == cache.end()) {
        const TLanguageInfo* lang = FindLanguage(languageId);
        it = cache.emplace(languageId, lang && lang->codePage ? BuildTables(*lang)
                                                              : IdentityOnAscii())
                 .first;
    }
    return it->second;
}

std::string CollationLocale(const TLanguageInfo& lang, std::uint16_t sortId) {
    std::string locale = lang.icuLocale;
    if (sortId == kSortGermanPhoneBook) locale += "@collation=phonebook";
    return locale;
}

// Collators by (language, sort, flags); made once, shared, never changed afterwards.
UCollator* CollatorFor(std::uint16_t languageId, std::uint16_t sortId, unsigned flags) {
    static std::mutex lock;
    static std::map<std::uint64_t, UCollator*> cache;
    const std::uint64_t key = (std::uint64_t{languageId} << 32) | (std::uint64_t{sortId} << 16) | (flags & 0xFFFF);
    std::lock_guard guard(lock);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    UCollator* collator = nullptr;
    if (const TLanguageInfo* lang = FindLanguage(languageId); lang && lang->codePage) {
        UErrorCode status = U_ZERO_ERROR;
        collator = ucol_open(CollationLocale(*lang, sortId).c_str(), &status);
        if (U_FAILURE(status)) {
            collator = nullptr;
        } else {
            const bool ignoreAccents = flags & kNormIgnoreNonSpace;
            const bool ignoreCase = flags & kNormIgnoreCase;
            ucol_setStrength(collator, ignoreAccents ? UCOL_PRIMARY : ignoreCase ? UCOL_SECONDARY : UCOL_TERTIARY);
            ucol_setAttribute(collator, UCOL_CASE_LEVEL, ignoreAccents && !ignoreCase ? UCOL_ON : UCOL_OFF, &status);
            ucol_setAttribute(collator, UCOL_ALTERNATE_HANDLING,
                              flags & kSortStringSort ? UCOL_NON_IGNORABLE : UCOL_SHIFTED, &status);
            ucol_setAttribute(collator, UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
        }
    }
    cache.emplace(key, collator);
    return collator;
}

// Converts single-byte text of a code page to UTF-16, stopping at the first zero byte.
std::u16string Widen(std::string_view text, int codePage) {
    const auto zero = text.find('\0');
    if (zero != std::string_view::npos) text = text.substr(0, zero);
    thread_local std::map<int, UConverter*> converters;
    UConverter*& cnv = converters[codePage];
    if (!cnv) {
        UErrorCode status = U_ZERO_ERROR;
        const std::string name = codePage == 874 ? "windows-874-2000" : "windows-" + std::to_string(codePage);
        cnv = ucnv_open(name.c_str(), &status);
        if (U_FAILURE(status)) cnv = nullptr;
    }
    std::u16string out(text.size() * 2 + 1, u'\0');
    if (!cnv) {
        for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
        out.resize(text.size());
        return out;
    }
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucnv_toUChars(cnv, reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                                    text.data(), static_cast<int32_t>(text.size()), &status);
    out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(n) : 0);
    return out;
}

int CompareBytes(std::string_view a, std::string_view b) {
    const auto za = a.find('\0');
    const auto zb = b.find('\0');
    if (za != std::string_view::npos) a = a.substr(0, za);
    if (zb != std::string_view::npos) b = b.substr(0, zb);
    const int c = a.compare(b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

std::span<const TLanguageInfo> Languages() { return kLanguages; }

std::vector<std::string> SortOrderNames(std::size_t languagePosition) {
    std::vector<std::string> names = {"Default Order"};
    if (languagePosition >= 48 && languagePosition <= 52) names.emplace_back("German Phone Book Order");
    return names;
}

int CompareStrings(std::string_view a, std::string_view b, std::uint16_t languageId, std::uint16_t sortId,
                   unsigned flags) {
    const TLanguageInfo* lang = FindLanguage(languageId);
    UCollator* collator = languageId == 0 ? nullptr : CollatorFor(languageId, sortId, flags);
    if (!lang || !collator) return CompareBytes(a, b);
    const std::u16string wa = Widen(a, lang->codePage);
    const std::u16string wb = Widen(b, lang->codePage);
    const UCollationResult r =
        ucol_strcoll(collator, reinterpret_cast<const UChar*>(wa.data()), static_cast<int32_t>(wa.size()),
                     reinterpret_cast<const UChar*>(wb.data()), static_cast<int32_t>(wb.size()));
    return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

const TLanguageInfo* FindLanguage(std::uint16_t id) {
    for (const auto& l : kLanguages) {
        if (l.id == id) return &l;
    }
    return nullptr;
}

bool IsLocaleInstalled(std::uint16_t languageId, std::uint16_t sortId) {
    if (languageId == 0) return sortId == kSortDefault;
    const TLanguageInfo* lang = FindLanguage(languageId);
    if (!lang) return false;
    if (sortId != kSortDefault && !(sortId == kSortGermanPhoneBook && IsGerman(languageId)))
        return false;
    // ICU must know the language of the locale.
    char language[16] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_getLanguage(lang->icuLocale, language, sizeof language, &status);
    if (U_FAILURE(status) || language[0] == 0) return false;
    for (const char* const* iso = uloc_getISOLanguages(); *iso; ++iso) {
        if (std::string_view(*iso) == language) return true;
    }
    return false;
}

const TCaseTable& CaseTable(std::uint16_t languageId, bool toUpper) {
    const TCaseTables& t = TablesFor(languageId);
    return toUpper ? t.upper : t.lower;
}

std::string MapCase(std::string_view text, std::uint16_t languageId, std::uint16_t /*sortId*/,
                    bool toUpper) {
    const TCaseTable& table = CaseTable(languageId, toUpper);
    std::string out(text);
    for (char& c : out) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
    return out;
}

}  // namespace quorvane::nls
