// ICU-based conversions and name comparison for the registry layer.
#include "platform/registry/registry_text.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <memory>

namespace quorvane::registry::text {
namespace {

using TConverter = std::unique_ptr<UConverter, void (*)(UConverter*)>;

TConverter OpenGbk() {
    UErrorCode status = U_ZERO_ERROR;
    TConverter cnv(ucnv_open("windows-936", &status), ucnv_close);
    if (U_FAILURE(status)) return TConverter(nullptr, ucnv_close);
    return cnv;
}

}  // namespace

std::u16string FromProgram(std::string_view gbk) {
    if (gbk.empty()) return {};
    TConverter cnv = OpenGbk();
    if (!cnv) return std::u16string(gbk.begin(), gbk.end());
    std::u16string out(gbk.size() + 1, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucnv_toUChars(cnv.get(), out.data(), static_cast<int32_t>(out.size()),
                                    gbk.data(), static_cast<int32_t>(gbk.size()), &status);
    if (U_FAILURE(status)) return std::u16string(gbk.begin(), gbk.end());
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string ToProgram(std::u16string_view text) {
    if (text.empty()) return {};
    TConverter cnv = OpenGbk();
    if (!cnv) return ToUtf8(text);
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setSubstChars(cnv.get(), "?", 1, &status);
    std::string out(text.size() * 2 + 2, '\0');
    status = U_ZERO_ERROR;
    const int32_t n = ucnv_fromUChars(cnv.get(), out.data(), static_cast<int32_t>(out.size()),
                                      text.data(), static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::u16string FromUtf8(std::string_view utf8) {
    if (utf8.empty()) return {};
    std::u16string out(utf8.size() + 1, u'\0');
    int32_t n = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &n, utf8.data(),
                         static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string ToUtf8(std::u16string_view text) {
    if (text.empty()) return {};
    std::string out(text.size() * 3 + 1, '\0');
    int32_t n = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &n, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<std::size_t>(n));
    return out;
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const UChar32 x = u_toupper(a[i]);
        const UChar32 y = u_toupper(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::vector<std::uint8_t> ToBytes(std::u16string_view text, bool terminate) {
    std::vector<std::uint8_t> data;
    data.reserve((text.size() + 1) * 2);
    for (const char16_t c : text) {
        data.push_back(static_cast<std::uint8_t>(c & 0xFF));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (terminate) data.insert(data.end(), {0, 0});
    return data;
}

std::u16string FromBytes(const std::vector<std::uint8_t>& data) {
    std::u16string text(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return text;
}

}  // namespace quorvane::registry::text
