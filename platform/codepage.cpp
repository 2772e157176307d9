// ICU-based code page conversion.
#include "platform/codepage.h"

#include <unicode/ucnv.h>

#include <memory>
#include <vector>

namespace quorvane::codepage {
namespace {

std::string ConverterName(int codePage) {
    if (codePage == 874) return "windows-874-2000";
    return "windows-" + std::to_string(codePage);
}

using TConverter = std::unique_ptr<UConverter, void (*)(UConverter*)>;

TConverter Open(const std::string& name, UErrorCode& status) {
    return TConverter(ucnv_open(name.c_str(), &status), ucnv_close);
}

}  // namespace

std::string ToUtf8(std::string_view text, int codePage) {
    if (text.empty()) return {};
    UErrorCode status = U_ZERO_ERROR;
    TConverter cnv = Open(ConverterName(codePage), status);
    if (U_FAILURE(status)) return std::string(text);
    std::vector<UChar> wide(text.size() + 1);
    const int32_t n = ucnv_toUChars(cnv.get(), wide.data(), static_cast<int32_t>(wide.size()),
                                    text.data(), static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) return {};
    status = U_ZERO_ERROR;
    TConverter utf8 = Open("UTF-8", status);
    std::string out(static_cast<std::size_t>(n) * 4 + 1, '\0');
    const int32_t m = ucnv_fromUChars(utf8.get(), out.data(), static_cast<int32_t>(out.size()),
                                      wide.data(), n, &status);
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<std::size_t>(m));
    return out;
}

std::optional<std::string> FromUtf8(std::string_view utf8, int codePage) {
    if (utf8.empty()) return std::string();
    UErrorCode status = U_ZERO_ERROR;
    TConverter in = Open("UTF-8", status);
    TConverter out = Open(ConverterName(codePage), status);
    if (U_FAILURE(status)) return std::nullopt;
    // Stop at the first character that has no form in either direction.
    ucnv_setToUCallBack(in.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFromUCallBack(out.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    std::vector<UChar> wide(utf8.size() + 1);
    const int32_t n = ucnv_toUChars(in.get(), wide.data(), static_cast<int32_t>(wide.size()),
                                    utf8.data(), static_cast<int32_t>(utf8.size()), &status);
    if (U_FAILURE(status)) return std::nullopt;
    std::string result(static_cast<std::size_t>(n) * 4 + 1, '\0');
    const int32_t m = ucnv_fromUChars(out.get(), result.data(), static_cast<int32_t>(result.size()),
                                      wide.data(), n, &status);
    if (U_FAILURE(status)) return std::nullopt;
    result.resize(static_cast<std::size_t>(m));
    return result;
}

}  // namespace quorvane::codepage
