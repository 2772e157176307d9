// Tests of the registry operations: the type rules and their messages, GBK text,
// opening and creating keys, deleting keys and values, and what happens when no key
// is open or the store cannot be written.
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include "platform/registry/registry_test_prefix.h"
#include "platform/registry/registry_text.h"
#include "platform/registry/registry_wine_file.h"

namespace quorvane::registry {
namespace {

using samples::TPrefix;

// GBK texts.
const std::string kZhongWenBiaoTi = "\xD6\xD0\xCE\xC4\xB1\xEA\xCC\xE2";  // 中文标题
const std::string kXiuFuGongJu = "\xD0\xDE\xB8\xB4\xB9\xA4\xBE\xDF";     // 修复工具
const std::string kZhuYe = "\xD6\xF7\xD2\xB3";                           // 主页
const std::string kWan = "\x84\x5C";                                     // 刓, second byte "\"
const std::string kZiJian = "\xD7\xD3\xBC\xFC";                          // 子键

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ERegistryError& e) {
        return e.what();
    }
    return "no error";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Registry, ReadingFollowsTheTypeRules) {
    TPrefix prefix;
    TRegistry reg = prefix.Registry();
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("System\\ControlSet001\\Services\\Data", false));
    // Binary values.
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("Blob"); }), "Invalid data type for 'Blob'");
    EXPECT_EQ(reg.GetDataSize("Blob"), 40);
    EXPECT_EQ(reg.ReadBinaryData("blob").size(), 40u);
    EXPECT_EQ(reg.ReadBinaryData("Blob")[39], 0x27);
    EXPECT_EQ(reg.ReadBinaryData(""), (std::vector<std::uint8_t>{0xde, 0xad, 0xbe, 0xef}));
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger(""); }), "Invalid data type for ''");
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Blob"); }), "Failed to get data for 'Blob'");
    // A value without data reads as an empty string whatever its type.
    EXPECT_EQ(reg.ReadString("Empty"), "");
    EXPECT_EQ(reg.GetDataSize("Empty"), 0);
    // Any other type reads as binary.
    EXPECT_EQ(reg.ReadBinaryData("Quad"), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Quad"); }), "Failed to get data for 'Quad'");
    // Missing values.
    EXPECT_FALSE(reg.ValueExists("Missing"));
    EXPECT_TRUE(reg.ValueExists("QUAD"));
    EXPECT_EQ(reg.ReadString("Missing"), "");
    EXPECT_EQ(reg.GetDataSize("Missing"), -1);
    EXPECT_TRUE(reg.ReadBinaryData("Missing").empty());
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");

    ASSERT_TRUE(reg.OpenKey("System\\ControlSet001\\Control\\Session Manager\\Environment", false));
    EXPECT_EQ(reg.ReadString("ComSpec"), "%SystemRoot%\\system32\\cmd.exe");
    EXPECT_EQ(reg.GetDataSize("ComSpec"), 30);
    EXPECT_EQ(ErrorOf([&] { reg.ReadBinaryData("ComSpec"); }), "Invalid data type for 'ComSpec'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("NUMBER_OF_PROCESSORS"); }),
              "Invalid data type for 'NUMBER_OF_PROCESSORS'");
    // A multi-string is neither a string nor a DWORD.
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("Multi"); }), "Invalid data type for 'Multi'");
    EXPECT_EQ(reg.ReadBinaryData("Multi").size(), 18u);

    ASSERT_TRUE(
        reg.OpenKey("System\\ControlSet001\\Hardware Profiles\\Current\\Software\\Fonts", false));
    EXPECT_EQ(reg.ReadInteger("LogPixels"), 96);
    EXPECT_EQ(reg.GetDataSize("LogPixels"), 4);
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("LogPixels"); }), "Invalid data type for 'LogPixels'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadBinaryData("LogPixels"); }),
              "Invalid data type for 'LogPixels'");

    // Strings end at their first zero.
    ASSERT_TRUE(reg.OpenKey("Software\\Microsoft\\Internet Explorer\\Main", false));
    EXPECT_EQ(reg.ReadString("Escapes"), "\xD6\xD0\xCE\xC4 \"quoted\"\ttab\\back\n\r");
    EXPECT_EQ(reg.ReadString("Window Title"), kZhongWenBiaoTi);
    EXPECT_EQ(reg.GetDataSize("Window Title"), 9);
}

TEST(Registry, WritesReachTheFileAsWineWritesThem) {
    TPrefix prefix;
    {
        TRegistry reg = prefix.Registry();
        ASSERT_TRUE(reg.OpenKey("Software\\Microsoft\\Internet Explorer\\Main", false));
        reg.WriteString("Window Title", kXiuFuGongJu);
        reg.WriteString("Start Page", "http://www." + kZhuYe + ".cn/");
        reg.WriteInteger("Count", -1);
        reg.WriteBinaryData("Nothing", {});
        reg.WriteBinaryData("Bytes", {0x0a, 0x1f});
        EXPECT_EQ(reg.ReadInteger("Count"), -1);
        EXPECT_EQ(reg.ReadString("window title"), kXiuFuGongJu);
        EXPECT_EQ(reg.GetDataSize("Start Page"), 20);
        // A string is written up to a zero byte in it.
        reg.WriteString("Cut", std::string("ab\0cd", 5));
        EXPECT_EQ(reg.ReadString("Cut"), "ab");
    }
    const std::string text = prefix.ReadFile("user.reg");
    EXPECT_TRUE(Contains(text, "\n[Software\\\\Microsoft\\\\Internet Explorer\\\\Main" +
                                   samples::kNowKeySuffix + "\n" + samples::kNowTimeLine +
                                   "\n\"Bytes\"=hex:0a,1f\n\"Count\"=dword:ffffffff\n"
                                   "\"Cut\"=\"ab\"\n\"Nothing\"=hex:\n"
                                   "\"Start Page\"=\"http://www.\\x4e3b\\x9875.cn/\"\n"
                                   "\"Window Title\"=\"\\x4fee\\x590d\\x5de5\\x5177\"\n"))
        << text;
    // Read again from the file by a new registry object.
    TRegistry again = prefix.Registry();
    ASSERT_TRUE(again.OpenKey("Software\\Microsoft\\Internet Explorer\\Main", false));
    EXPECT_EQ(again.ReadString("Window Title"), kXiuFuGongJu);
    EXPECT_EQ(again.ReadString("Start Page"), "http://www." + kZhuYe + ".cn/");
    EXPECT_EQ(again.ReadBinaryData("Bytes"), (std::vector<std::uint8_t>{0x0a, 0x1f}));
    // Characters without a GBK form read as '?'.
    prefix.WriteFile("user.reg",
                     prefix.ReadFile("user.reg") + "\n[Emoji] 1\n\"e\"=\"a\\xd83d\\xde00b\"\n");
    ASSERT_TRUE(again.OpenKey("Emoji", false));
    EXPECT_EQ(again.ReadString("e"), "a?b");
}

TEST(Registry, KeysAreCreatedAlongThePath) {
    TPrefix prefix;
    TRegistry reg = prefix.Registry();
    EXPECT_FALSE(reg.OpenKey("Software\\Quorvane\\Repair\\Items", false));
    EXPECT_FALSE(reg.HasOpenKey());
    EXPECT_EQ(prefix.ReadFile("user.reg"), samples::kUserReg);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Quorvane\\Repair\\Items", true));
    reg.WriteInteger("Done", 1);
    // One key line: the keys above it exist through it.
    const std::string text = prefix.ReadFile("user.reg");
    EXPECT_TRUE(Contains(text, "\n\n[Software\\\\Quorvane\\\\Repair\\\\Items" +
                                   samples::kNowKeySuffix + "\n" + samples::kNowTimeLine +
                                   "\n\"Done\"=dword:00000001\n"));
    EXPECT_FALSE(Contains(text, "[Software\\\\Quorvane]"));
    EXPECT_TRUE(reg.OpenKey("SOFTWARE\\quorvane", false));
    EXPECT_TRUE(reg.OpenKey("Software\\Quorvane\\Repair\\Items", false));
    EXPECT_EQ(reg.ReadInteger("done"), 1);

    // A GBK name whose second byte is a backslash stays one name.
    ASSERT_TRUE(reg.OpenKey("Software\\" + kWan + "\\" + kZiJian, true));
    reg.WriteString("", kWan);
    EXPECT_TRUE(Contains(prefix.ReadFile("user.reg"), "[Software\\\\\\x5213\\\\\\x5b50\\x952e]"));
    EXPECT_EQ(reg.ReadString(""), kWan);
    ASSERT_TRUE(reg.OpenKey("Software", false));
    EXPECT_TRUE(reg.DeleteKey(kWan));
    EXPECT_FALSE(reg.OpenKey("Software\\" + kWan, false));

    // The empty path is the root key itself.
    ASSERT_TRUE(reg.OpenKey("", false));
    reg.WriteString("Top", "t");
    EXPECT_TRUE(Contains(prefix.ReadFile("user.reg"), "\n\n[" + samples::kNowKeySuffix + "\n" +
                                                          samples::kNowTimeLine +
                                                          "\n\"Top\"=\"t\"\n\n[Control Panel"));
}

TEST(Registry, DeletingAKeyTakesEverythingBelowIt) {
    TPrefix prefix;
    TRegistry reg = prefix.Registry();
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("Software\\Classes", false));
    EXPECT_TRUE(reg.DeleteKey("txtfile\\shell"));
    EXPECT_TRUE(reg.OpenKey("Software\\Classes\\txtfile", false));
    EXPECT_FALSE(reg.OpenKey("Software\\Classes\\txtfile\\shell", false));
    ASSERT_TRUE(reg.OpenKey("Software\\Classes", false));
    EXPECT_TRUE(reg.DeleteKey("TXTFILE"));
    EXPECT_FALSE(reg.DeleteKey("txtfile"));
    EXPECT_FALSE(reg.DeleteKey(""));
    EXPECT_FALSE(reg.OpenKey("Software\\Classes\\txtfile", false));
    const std::string text = prefix.ReadFile("system.reg");
    EXPECT_FALSE(Contains(text, "txtfile\\\\"));
    EXPECT_TRUE(Contains(text, "[Software\\\\Classes\\\\.txt]"));

    ASSERT_TRUE(reg.OpenKey("Software\\Classes\\.txt", false));
    EXPECT_TRUE(reg.DeleteValue("content type"));
    EXPECT_FALSE(reg.DeleteValue("Content Type"));
    EXPECT_FALSE(reg.ValueExists("Content Type"));
    EXPECT_TRUE(reg.ValueExists(""));
}

TEST(Registry, WithoutAnOpenKeyWritesFailAndDeletesDoNothing) {
    TPrefix prefix;
    TRegistry reg = prefix.Registry();
    ASSERT_TRUE(reg.OpenKey("Software", false));
    // HKEY_USERS holds no user but .Default here, so this key cannot be opened.
    reg.SetRootKey(HKEY_USERS);
    EXPECT_FALSE(reg.HasOpenKey());
    EXPECT_FALSE(reg.OpenKey("S-1-5-21-0-0-0-1000\\Software", true));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("Start Page", "x"); }),
              "Failed to set data for 'Start Page'");
    EXPECT_EQ(ErrorOf([&] { reg.WriteInteger("n", 1); }), "Failed to set data for 'n'");
    EXPECT_EQ(ErrorOf([&] { reg.WriteBinaryData("b", {1}); }), "Failed to set data for 'b'");
    EXPECT_FALSE(reg.ValueExists("x"));
    EXPECT_EQ(reg.ReadString("x"), "");
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("x"); }), "Failed to get data for 'x'");
    // A delete never falls back on the root key.
    reg.SetRootKey(HKEY_CURRENT_USER);
    EXPECT_FALSE(reg.OpenKey("No\\Such\\Key", false));
    EXPECT_FALSE(reg.DeleteKey("Software"));
    EXPECT_FALSE(reg.DeleteKey("Control Panel"));
    EXPECT_FALSE(reg.DeleteValue("MenuShowDelay"));
    EXPECT_EQ(prefix.ReadFile("user.reg"), samples::kUserReg);
    // Root keys that are not offered.
    reg.SetRootKey(0x80000004);
    EXPECT_FALSE(reg.OpenKey("", true));
    EXPECT_FALSE(reg.OpenKey("Software", true));
}

TEST(Registry, AStoreThatCannotBeWrittenOpensNoKey) {
    TPrefix prefix;
    prefix.Chmod("user.reg", 0444);
    TRegistry reg = prefix.Registry();
    EXPECT_FALSE(reg.OpenKey("Control Panel\\Desktop", false));
    EXPECT_FALSE(reg.OpenKey("Control Panel\\Desktop\\New", true));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("Wallpaper", "w"); }),
              "Failed to set data for 'Wallpaper'");
    EXPECT_EQ(prefix.ReadFile("user.reg"), samples::kUserReg);
    // The other files still can be.
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(reg.OpenKey("Software\\Wine\\Drives", false));

    // A folder that cannot be written: no temporary file can be made there.
    TPrefix locked;
    locked.Chmod("", 0555);
    TRegistry lockedReg = locked.Registry();
    EXPECT_FALSE(lockedReg.OpenKey("Control Panel\\Desktop", true));
    locked.Chmod("", 0755);
    EXPECT_EQ(locked.ReadFile("user.reg"), samples::kUserReg);
}

TEST(Registry, ADamagedFileIsReportedWithItsLineAndLeftAsItIs) {
    TPrefix prefix;
    std::string damaged = samples::kUserReg;
    damaged.insert(damaged.find("\"MenuShowDelay\""), "MenuShowDelay=400\n");
    prefix.WriteFile("user.reg", damaged);
    TRegistry reg = prefix.Registry();
    EXPECT_EQ(ErrorOf([&] { reg.OpenKey("Control Panel\\Desktop", true); }),
              "Corrupt registry file '" + prefix.Path("user.reg") + "', line 8: unrecognised line");
    EXPECT_EQ(ErrorOf([&] { reg.OpenKey("Software\\New", true); }),
              "Corrupt registry file '" + prefix.Path("user.reg") + "', line 8: unrecognised line");
    EXPECT_EQ(prefix.ReadFile("user.reg"), damaged);
    // The machine's keys are in another file and still usable.
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("Software\\Wine\\Drives", false));
    EXPECT_EQ(reg.ReadString("c:"), "hd");
}

}  // namespace
}  // namespace quorvane::registry
