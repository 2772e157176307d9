// Tests of code page conversion.
#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace quorvane::codepage {
namespace {

TEST(CodePage, GbkRoundTrip) {
    const std::string gbk = "\xD0\xDE\xB8\xB4\xCF\xEE\xC4\xBF";  // 修复项目
    EXPECT_EQ(ToUtf8(gbk), "修复项目");
    EXPECT_EQ(FromUtf8("修复项目"), gbk);
    EXPECT_EQ(FromUtf8("abc"), "abc");
    EXPECT_EQ(ToUtf8(""), "");
}

TEST(CodePage, CharactersOutsideTheCodePageAreRefused) {
    EXPECT_FALSE(FromUtf8("\xF0\x9F\x98\x80"));         // an emoji has no GBK form
    EXPECT_FALSE(FromUtf8("\xC3\xA9t\xC3\xA9", 1251));  // e-acute is not Cyrillic
    EXPECT_EQ(FromUtf8("\xC3\xA9t\xC3\xA9", 1252), "\xE9t\xE9");
    EXPECT_FALSE(FromUtf8("\xFF\xFE"));                 // not UTF-8 at all
}

}  // namespace
}  // namespace quorvane::codepage
