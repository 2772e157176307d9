// Tests of reading, changing and writing Wine's registry files: samples in the form
// Wine writes them come back byte for byte, every value is written again exactly as
// it was read, and changes rewrite only the lines they concern.
#include "platform/registry/registry_wine_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "platform/registry/registry_test_samples.h"
#include "platform/registry/registry_text.h"

namespace quorvane::registry::wine {
namespace {

using samples::kSystemReg;
using samples::kUserReg;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// 2027-01-15 08:00:00 UTC and 5 ticks; its lines were worked out by hand.
constexpr TFileTime kNow = 134444736000000005ull;
const std::string kNowKeySuffix = "] 1800000000";
const std::string kNowTimeLine = "#time=1dda4c66b338005";

TWineHive::TKey* Walk(TWineHive& hive, const std::vector<std::u16string>& path) {
    TWineHive::TKey* key = hive.Root();
    for (const auto& name : path) {
        key = hive.Child(key, name);
        if (!key) return nullptr;
    }
    return key;
}

std::vector<std::uint8_t> Utf16z(std::u16string_view s) {
    return text::ToBytes(s, true);
}

void ForEachKey(TWineHive& hive, TWineHive::TKey* key,
                const std::function<void(TWineHive::TKey*)>& visit) {
    visit(key);
    for (const auto& name : hive.ChildNames(key)) ForEachKey(hive, hive.Child(key, name), visit);
}

TEST(WineRegistryFile, SamplesComeBackByteForByte) {
    for (const std::string& sample : {std::string(kSystemReg), std::string(kUserReg)}) {
        EXPECT_EQ(TWineHive::Parse(sample, "sample.reg").Serialize(), sample);
    }
    // Carriage returns, comments, odd spacing and a missing last newline stay too.
    const std::string odd =
        "WINE REGISTRY Version 2\r\n;; All keys relative to \\\\Machine\r\n\r\n"
        "  [A\\\\B]   12\r\n; note\r\n  \"x\" = dword:1\r\n\r\n\r\n[C]\r\n\"y\"=hex:01 ,02,\\\r\n  "
        " 03\r\n\r\n";
    EXPECT_EQ(TWineHive::Parse(odd, "odd.reg").Serialize(), odd);
    const std::string noNewline = "WINE REGISTRY Version 2\n\n[K] 1\n\"v\"=\"w\"";
    EXPECT_EQ(TWineHive::Parse(noNewline, "n.reg").Serialize(), noNewline);
    TWineHive hive = TWineHive::Parse(odd, "odd.reg");
    TWineHive::TKey* c = Walk(hive, {u"c"});
    ASSERT_TRUE(c);
    EXPECT_EQ(hive.Value(c, u"Y"), (TValue{REG_BINARY, {1, 2, 3}}));
    EXPECT_EQ(hive.Value(Walk(hive, {u"a", u"b"}), u"x"), (TValue{REG_DWORD, {1, 0, 0, 0}}));
}

TEST(WineRegistryFile, EveryKindOfValueIsRead) {
    TWineHive hive = TWineHive::Parse(kSystemReg, "system.reg");
    EXPECT_EQ(hive.Base(), (std::vector<std::u16string>{u"Machine"}));
    TWineHive::TKey* txt = Walk(hive, {u"software", u"CLASSES", u".TXT"});
    ASSERT_TRUE(txt);
    EXPECT_EQ(hive.Value(txt, u""), (TValue{REG_SZ, Utf16z(u"txtfile")}));
    EXPECT_EQ(hive.Value(txt, u"content type"), (TValue{REG_SZ, Utf16z(u"text/plain")}));
    EXPECT_FALSE(hive.Value(txt, u"Content"));

    TWineHive::TKey* command =
        Walk(hive, {u"Software", u"Classes", u"txtfile", u"shell", u"open", u"command"});
    ASSERT_TRUE(command);
    EXPECT_EQ(hive.Value(command, u""),
              (TValue{REG_EXPAND_SZ, Utf16z(u"%SystemRoot%\\system32\\notepad.exe %1")}));

    TWineHive::TKey* main = Walk(hive, {u"Software", u"Microsoft", u"Internet Explorer", u"Main"});
    ASSERT_TRUE(main);
    const std::u16string escapes = std::u16string(u"\u4e2d\u6587 \"quoted\"\ttab\\back\n\r") +
                                   u'\0' + u"end caf\u00e91 \u00e9 x\x1b" + u'\x01' + u"7";
    EXPECT_EQ(hive.Value(main, u"Escapes"), (TValue{REG_SZ, Utf16z(escapes)}));
    EXPECT_EQ(hive.Value(main, u"Window Title"),
              (TValue{REG_SZ, Utf16z(u"\u4e2d\u6587\u6807\u9898")}));

    TWineHive::TKey* env =
        Walk(hive, {u"System", u"ControlSet001", u"Control", u"Session Manager", u"Environment"});
    ASSERT_TRUE(env);
    const std::u16string multi = std::u16string(u"one") + u'\0' + u"two" + u'\0';
    EXPECT_EQ(hive.Value(env, u"Multi"), (TValue{REG_MULTI_SZ, Utf16z(multi)}));
    EXPECT_EQ(hive.Value(env, u"Multi")->data.size(), 18u);  // both zeros and the last one

    TWineHive::TKey* data = Walk(hive, {u"System", u"ControlSet001", u"Services", u"Data"});
    ASSERT_TRUE(data);
    std::vector<std::uint8_t> blob(40);
    for (int i = 0; i < 40; ++i) blob[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(hive.Value(data, u"Blob"), (TValue{REG_BINARY, blob}));
    EXPECT_EQ(hive.Value(data, u"Empty"), (TValue{REG_BINARY, {}}));
    EXPECT_EQ(hive.Value(data, u"Quad"), (TValue{REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(hive.Value(data, u""), (TValue{REG_BINARY, {0xde, 0xad, 0xbe, 0xef}}));
    EXPECT_EQ(hive.ValueNames(data),
              (std::vector<std::u16string>{u"", u"Blob", u"Empty", u"Quad"}));

    EXPECT_EQ(hive.Value(Walk(hive, {u"System", u"ControlSet001", u"Hardware Profiles", u"Current",
                                     u"Software", u"Fonts"}),
                         u"LogPixels"),
              (TValue{REG_DWORD, {0x60, 0, 0, 0}}));
    EXPECT_TRUE(Walk(hive, {u"Software", u"Wine", u"My [Key]"}));
    EXPECT_TRUE(Walk(hive, {u"Software", u"\u4e2d\u6587"}));
    EXPECT_TRUE(hive.IsLink(Walk(hive, {u"System", u"CurrentControlSet"})));
    EXPECT_FALSE(hive.IsLink(Walk(hive, {u"System", u"ControlSet001"})));
    // Keys with subkeys only exist through them.
    EXPECT_EQ(hive.ChildNames(Walk(hive, {u"Software"})),
              (std::vector<std::u16string>{u"Classes", u"Microsoft", u"Wine", u"\u4e2d\u6587"}));
    EXPECT_TRUE(hive.ValueNames(Walk(hive, {u"Software"})).empty());
}

TEST(WineRegistryFile, EveryValueIsWrittenAsItWasRead) {
    for (const std::string& sample : {std::string(kSystemReg), std::string(kUserReg)}) {
        TWineHive hive = TWineHive::Parse(sample, "sample.reg");
        int checked = 0;
        ForEachKey(hive, hive.Root(), [&](TWineHive::TKey* key) {
            for (const std::u16string& name : hive.ValueNames(key)) {
                std::string lines;
                for (const std::string& line : FormatValue(name, *hive.Value(key, name)))
                    lines += line + "\n";
                EXPECT_NE(sample.find("\n" + lines), std::string::npos) << lines;
                ++checked;
            }
        });
        // Every value line of the sample was met.
        const auto lines = Lines(sample);
        EXPECT_EQ(checked, std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                      return !l.empty() && (l.front() == '"' || l.front() == '@');
                  }));
    }
}

TEST(WineRegistryFile, EscapesAreWrittenAsWineWritesThem) {
    EXPECT_EQ(EscapeText(u"a\\b\"c", "\""), "a\\\\b\\\"c");
    EXPECT_EQ(EscapeText(u"My [Key] \"q\"", "[]"), "My \\[Key\\] \"q\"");
    // Characters above 127 in minimal hexadecimal, four digits when a hex digit follows.
    EXPECT_EQ(EscapeText(u"\u00e9 \u00e9a \u00e9g \u4e2d1", "\""),
              "\\xe9 \\x00e9a \\xe9g \\x4e2d1");
    // Control characters: C escapes where they exist, octal otherwise.
    EXPECT_EQ(EscapeText(std::u16string(u"\a\b\t\n\v\f\r\x1b") + u'\0' + u"x" + u'\0' + u"5", "\""),
              "\\a\\b\\t\\n\\v\\f\\r\\e\\0x\\0005");
    EXPECT_EQ(EscapeText(u"\x01\x1f", "\""), "\\1\\37");
}

TEST(WineRegistryFile, LongBinaryDataWrapsAfterSeventySixColumns) {
    std::vector<std::uint8_t> bytes;
    for (int i = 1; i < 30; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    EXPECT_EQ(
        FormatValue(u"Bin", TValue{REG_BINARY, bytes}),
        (std::vector<std::string>{
            "\"Bin\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\",
            "  18,19,1a,1b,1c,1d"}));
    EXPECT_EQ(FormatValue(u"", TValue{REG_BINARY, {}}), (std::vector<std::string>{"@=hex:"}));
    // Strings without their terminating zero and DWORDs of another size are hex.
    EXPECT_EQ(FormatValue(u"s", TValue{REG_SZ, {'a', 0}}),
              (std::vector<std::string>{"\"s\"=hex(1):61,00"}));
    EXPECT_EQ(FormatValue(u"d", TValue{REG_DWORD, {1, 2}}),
              (std::vector<std::string>{"\"d\"=hex(4):01,02"}));
    EXPECT_EQ(FormatValue(u"d", TValue{REG_DWORD, {0x1f, 0, 0, 0x80}}),
              (std::vector<std::string>{"\"d\"=dword:8000001f"}));
}

TEST(WineRegistryFile, ChangingAValueRewritesOnlyItsLinesAndItsKeysTime) {
    TWineHive hive = TWineHive::Parse(kUserReg, "user.reg");
    TWineHive::TKey* main = Walk(hive, {u"Software", u"Microsoft", u"Internet Explorer", u"Main"});
    hive.SetValue(main, u"start page", TValue{REG_SZ, Utf16z(u"http://\u4e3b\u9875/")}, kNow);

    std::vector<std::string> expected = Lines(kUserReg);
    bool replaced = false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == "[Software\\\\Microsoft\\\\Internet Explorer\\\\Main] 1700000100") {
            expected[i] = "[Software\\\\Microsoft\\\\Internet Explorer\\\\Main" + kNowKeySuffix;
            expected[i + 1] = kNowTimeLine;
            // The stored name keeps its letter case.
            expected[i + 2] = "\"Start Page\"=\"http://\\x4e3b\\x9875/\"";
            replaced = true;
        }
    }
    ASSERT_TRUE(replaced);
    EXPECT_EQ(Lines(hive.Serialize()), expected);
}

TEST(WineRegistryFile, NewValuesTakeTheirPlaceInNameOrder) {
    TWineHive hive = TWineHive::Parse(kUserReg, "user.reg");
    TWineHive::TKey* desktop = Walk(hive, {u"Control Panel", u"Desktop"});
    hive.SetValue(desktop, u"PaintDesktopVersion", TValue{REG_DWORD, {1, 0, 0, 0}}, kNow);
    hive.SetValue(desktop, u"ZZZ", TValue{REG_BINARY, {0xab}}, kNow);
    hive.SetValue(desktop, u"", TValue{REG_SZ, Utf16z(u"d")}, kNow);
    EXPECT_TRUE(hive.DeleteValue(desktop, u"wallpaper", kNow));
    EXPECT_FALSE(hive.DeleteValue(desktop, u"Wallpaper", kNow));
    const std::string before =
        "[Control Panel\\\\Desktop] 1700000000\n#time=1da1747c67fd687\n"
        "\"MenuShowDelay\"=\"400\"\n\"Wallpaper\"=\"\"\n";
    const std::string after =
        "[Control Panel\\\\Desktop" + kNowKeySuffix + "\n" + kNowTimeLine +
        "\n@=\"d\"\n\"MenuShowDelay\"=\"400\"\n\"PaintDesktopVersion\"=dword:00000001\n"
        "\"ZZZ\"=hex:ab\n";
    std::string expected = kUserReg;
    ASSERT_NE(expected.find(before), std::string::npos);
    expected.replace(expected.find(before), before.size(), after);
    EXPECT_EQ(hive.Serialize(), expected);
}

TEST(WineRegistryFile, NewKeysAreInsertedInWineOrder) {
    TWineHive hive = TWineHive::Parse(kUserReg, "user.reg");
    // Below Software\Microsoft, between Internet Explorer and Windows.
    TWineHive::TKey* microsoft = Walk(hive, {u"Software", u"Microsoft"});
    TWineHive::TKey* made = hive.CreatePath(microsoft, {u"Notepad", u"Settings"}, kNow);
    hive.SetValue(made, u"fWrap", TValue{REG_DWORD, {1, 0, 0, 0}}, kNow);
    // A new first key and a new last one.
    hive.CreatePath(hive.Root(), {u"AppEvents"}, kNow);
    hive.CreatePath(Walk(hive, {u"Software"}), {u"Wine"}, kNow);

    std::vector<std::string> expected = Lines(kUserReg);
    auto insertBefore = [&](const std::string& line, const std::vector<std::string>& added) {
        auto it = std::find(expected.begin(), expected.end(), line);
        ASSERT_NE(it, expected.end()) << line;
        expected.insert(it - 1, added.begin(), added.end());  // before the blank line
    };
    insertBefore(
        "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Policies\\\\System] 1700000200",
        {"", "[Software\\\\Microsoft\\\\Notepad\\\\Settings" + kNowKeySuffix, kNowTimeLine,
         "\"fWrap\"=dword:00000001"});
    insertBefore("[Control Panel\\\\Desktop] 1700000000",
                 {"", "[AppEvents" + kNowKeySuffix, kNowTimeLine});
    expected.insert(expected.end(), {"", "[Software\\\\Wine" + kNowKeySuffix, kNowTimeLine});
    EXPECT_EQ(Lines(hive.Serialize()), expected);
    // The new intermediate key exists without lines of its own.
    EXPECT_TRUE(Walk(hive, {u"Software", u"Microsoft", u"notepad"}));
    // Read back, the text gives the same tree.
    TWineHive again = TWineHive::Parse(hive.Serialize(), "user.reg");
    EXPECT_EQ(
        again.Value(Walk(again, {u"Software", u"Microsoft", u"Notepad", u"Settings"}), u"fwrap"),
        (TValue{REG_DWORD, {1, 0, 0, 0}}));
    EXPECT_TRUE(Walk(again, {u"AppEvents"}));
}

TEST(WineRegistryFile, DeletingAKeyRemovesEverythingBelowIt) {
    TWineHive hive = TWineHive::Parse(kSystemReg, "system.reg");
    TWineHive::TKey* classes = Walk(hive, {u"Software", u"Classes"});
    EXPECT_TRUE(hive.DeleteTree(classes, u"TXTFILE", kNow));
    EXPECT_FALSE(hive.DeleteTree(classes, u"txtfile", kNow));
    EXPECT_FALSE(Walk(hive, {u"Software", u"Classes", u"txtfile"}));
    std::string expected = kSystemReg;
    const std::string section =
        "\n[Software\\\\Classes\\\\txtfile\\\\shell\\\\open\\\\command] 1700000000\n"
        "#time=1da1747c67fd687\n@=str(2):\"%SystemRoot%\\\\system32\\\\notepad.exe %1\"\n";
    ASSERT_NE(expected.find(section), std::string::npos);
    expected.erase(expected.find(section), section.size());
    EXPECT_EQ(hive.Serialize(), expected);

    // A key that lived only through its subkeys gets lines of its own when the last
    // one goes, so that it stays.
    TWineHive::TKey* services = Walk(hive, {u"System", u"ControlSet001", u"Services"});
    EXPECT_TRUE(hive.DeleteTree(services, u"Data", kNow));
    const std::string text = hive.Serialize();
    EXPECT_EQ(text.find("Services\\\\Data"), std::string::npos);
    EXPECT_NE(text.find("\n\n[System\\\\ControlSet001\\\\Services" + kNowKeySuffix + "\n" +
                        kNowTimeLine + "\n\n[System\\\\CurrentControlSet]"),
              std::string::npos);
    TWineHive again = TWineHive::Parse(text, "system.reg");
    EXPECT_TRUE(Walk(again, {u"System", u"ControlSet001", u"Services"}));
}

TEST(WineRegistryFile, AnEmptyHiveHasWinesHeader) {
    TWineHive hive({u"User", u"S-1-5-21-0-0-0-1000"});
    EXPECT_EQ(hive.Serialize(),
              "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n");
    hive.SetValue(hive.CreatePath(hive.Root(), {u"Console"}, kNow), u"ScreenSize",
                  TValue{REG_DWORD, {1, 0, 0, 0}}, kNow);
    EXPECT_EQ(hive.Serialize(),
              "WINE REGISTRY Version 2\n;; All keys relative to "
              "\\\\User\\\\S-1-5-21-0-0-0-1000\n\n[Console" +
                  kNowKeySuffix + "\n" + kNowTimeLine + "\n\"ScreenSize\"=dword:00000001\n");
    EXPECT_EQ(TWineHive::Parse(hive.Serialize(), "x").Base(),
              (std::vector<std::u16string>{u"User", u"S-1-5-21-0-0-0-1000"}));
}

std::string ParseError(const std::string& text) {
    try {
        TWineHive::Parse(text, "/p/system.reg");
    } catch (const ERegistryError& e) {
        return e.what();
    }
    return "no error";
}

TEST(WineRegistryFile, DamageIsReportedWithFileAndLine) {
    const std::string head =
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n[K] 1\n";
    EXPECT_EQ(ParseError("WINE REGISTRY Version 1\n"),
              "Corrupt registry file '/p/system.reg', line 1: not a Wine registry file (the first "
              "line must be "
              "\"WINE REGISTRY Version 2\")");
    EXPECT_EQ(ParseError(head + "\"a\"=\"b\"\nrubbish\n"),
              "Corrupt registry file '/p/system.reg', line 6: unrecognised line");
    EXPECT_EQ(ParseError("WINE REGISTRY Version 2\n\"a\"=\"b\"\n"),
              "Corrupt registry file '/p/system.reg', line 2: value outside of a key");
    EXPECT_EQ(ParseError(head + "\"a\"=\"b\n"),
              "Corrupt registry file '/p/system.reg', line 5: string without its closing quote");
    EXPECT_EQ(ParseError(head + "\"a=\"b\"\n"),
              "Corrupt registry file '/p/system.reg', line 5: '=' expected after the value name");
    EXPECT_EQ(ParseError(head + "\"a\"=hex:01,zz\n"),
              "Corrupt registry file '/p/system.reg', line 5: bad hexadecimal data");
    EXPECT_EQ(ParseError(head + "\"a\"=hex:100\n"),
              "Corrupt registry file '/p/system.reg', line 5: hexadecimal byte above ff");
    EXPECT_EQ(ParseError(head + "\"a\"=hex:01,\\\n  02,\\\n"),
              "Corrupt registry file '/p/system.reg', line 6: hexadecimal data goes on past the "
              "end of the file");
    EXPECT_EQ(ParseError(head + "\"a\"=dword:123456789\n"),
              "Corrupt registry file '/p/system.reg', line 5: DWORD data longer than 8 hexadecimal "
              "digits");
    EXPECT_EQ(ParseError(head + "\"a\"=qword:1\n"),
              "Corrupt registry file '/p/system.reg', line 5: unknown kind of value data");
    EXPECT_EQ(ParseError(head + "\"a\"=str(x):\"1\"\n"),
              "Corrupt registry file '/p/system.reg', line 5: bad value type");
    EXPECT_EQ(ParseError(head + "[L\n"),
              "Corrupt registry file '/p/system.reg', line 5: key name without its closing ']'");
    EXPECT_EQ(ParseError(head + "\n[k] 2\n"),
              "Corrupt registry file '/p/system.reg', line 6: the key [k] appears a second time "
              "(first at line 4)");
    EXPECT_EQ(ParseError(head + "\"A\"=\"1\"\n\"a\"=\"2\"\n"),
              "Corrupt registry file '/p/system.reg', line 6: the value \"a\" appears a second "
              "time in its key");
}

}  // namespace
}  // namespace quorvane::registry::wine
