// Tests of the offline-hive store on hives made here: an empty hive is a base block
// and one bin holding the root key and its security record, written byte by byte.
#include "platform/registry/registry_hive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/registry/registry.h"
#include "platform/registry/registry_text.h"
#include "tests/support/temp_dir.h"

namespace quorvane::registry {
namespace {

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// An empty hive: the 4096-byte base block ("regf", sequence numbers, version 1.5,
// root cell offset, size of the bins, checksum at 0x1FC over the 127 words before
// it) and one 4096-byte bin ("hbin") with the root key cell ("nk"), its security
// cell ("sk") and one free cell for the rest.
std::vector<std::uint8_t> EmptyHive(std::uint32_t secondSequence = 1) {
    std::vector<std::uint8_t> f(8192, 0);
    std::memcpy(&f[0], "regf", 4);
    Put32(f, 0x04, 1);
    Put32(f, 0x08, secondSequence);
    Put32(f, 0x14, 1);     // major version
    Put32(f, 0x18, 5);     // minor version
    Put32(f, 0x20, 1);     // format: direct memory load
    Put32(f, 0x24, 0x20);  // root cell, from the start of the bins
    Put32(f, 0x28, 4096);  // size of the bins
    Put32(f, 0x2C, 1);     // clustering factor
    const std::size_t bin = 0x1000;
    std::memcpy(&f[bin], "hbin", 4);
    Put32(f, bin + 8, 4096);
    const std::size_t nkSize = 0x58;  // 4 + 0x4C + "ROOT", rounded to 8
    std::size_t cell = bin + 0x20, d = cell + 4;
    Put32(f, cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(nkSize)));
    std::memcpy(&f[d], "nk", 2);
    Put16(f, d + 0x02, 0x2C);        // hive entry, cannot be deleted, ASCII name
    Put32(f, d + 0x1C, 0xFFFFFFFF);  // no subkeys
    Put32(f, d + 0x20, 0xFFFFFFFF);  // no volatile subkeys
    Put32(f, d + 0x28, 0xFFFFFFFF);  // no values
    const std::uint32_t sk = 0x20 + nkSize;
    Put32(f, d + 0x2C, sk);
    Put32(f, d + 0x30, 0xFFFFFFFF);  // no class
    Put16(f, d + 0x48, 4);
    std::memcpy(&f[d + 0x4C], "ROOT", 4);
    const std::size_t skSize = 0x30;  // 4 + 0x14 + a 20-byte descriptor, rounded to 8
    cell = bin + sk, d = cell + 4;
    Put32(f, cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(skSize)));
    std::memcpy(&f[d], "sk", 2);
    Put32(f, d + 0x04, sk);  // the only record: its own neighbours
    Put32(f, d + 0x08, sk);
    Put32(f, d + 0x0C, 1);       // references
    Put32(f, d + 0x10, 20);      // descriptor size
    f[d + 0x14] = 1;             // revision
    Put16(f, d + 0x16, 0x8000);  // self-relative
    const std::size_t free = cell + skSize;
    Put32(f, free, static_cast<std::uint32_t>(bin + 4096 - free));
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 0x1FC; i += 4)
        sum ^= f[i] | (f[i + 1] << 8) | (f[i + 2] << 16) | (f[i + 3] << 24);
    Put32(f, 0x1FC, sum);
    return f;
}

// An installation with empty hives and two profiles, ann's written last.
class TInstallation {
  public:
    TInstallation() {
        std::filesystem::create_directories(root.File("Windows/System32/config"));
        for (const char* hive : {"SOFTWARE", "SYSTEM", "DEFAULT"})
            Write("Windows/System32/config/" + std::string(hive), EmptyHive());
        std::filesystem::create_directories(root.File("Users/Default"));
        Write("Users/Default/NTUSER.DAT", EmptyHive());
        std::filesystem::create_directories(root.File("Users/bob"));
        Write("Users/bob/NTUSER.DAT", EmptyHive());
        std::filesystem::create_directories(root.File("Users/ann"));
        Write("Users/ann/ntuser.dat", EmptyHive());
        std::filesystem::last_write_time(
            root.File("Users/bob/NTUSER.DAT"),
            std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
        std::filesystem::last_write_time(
            root.File("Users/Default/NTUSER.DAT"),
            std::filesystem::file_time_type::clock::now() + std::chrono::hours(24));
    }
    std::string Config() const { return root.File("Windows/System32/config"); }
    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        root.Write(name, bytes);
    }
    std::vector<std::uint8_t> Read(const std::string& name) const { return root.Read(name); }

    quorvane::testing::TTempDir root;
};

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ERegistryError& e) {
        return e.what();
    }
    return "no error";
}

const std::string kXiuFuGongJu = "\xD0\xDE\xB8\xB4\xB9\xA4\xBE\xDF";  // 修复工具, GBK

TEST(HiveStore, ChangesAreKeptInTheHivesAndReadBack) {
    TInstallation win;
    const auto softwareBefore = win.Read("Windows/System32/config/SOFTWARE");
    {
        TRegistry reg(OpenStore("hive:" + win.Config()));
        EXPECT_EQ(reg.Store().Description(), "Windows registry hives in " + win.Config());
        ASSERT_TRUE(reg.OpenKey("Software\\Microsoft\\Internet Explorer\\Main", true));
        reg.WriteString("Window Title", kXiuFuGongJu);
        reg.WriteInteger("Count", -2);
        reg.WriteBinaryData("Bytes", {0x0a, 0x1f});
        reg.WriteBinaryData("None", {});
        reg.WriteString("", "default");
        EXPECT_EQ(reg.ReadString("window title"), kXiuFuGongJu);
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Policies\\Quorvane", true));
        reg.WriteInteger("Enabled", 1);
        reg.SetRootKey(HKEY_CLASSES_ROOT);
        ASSERT_TRUE(reg.OpenKey(".qrv", true));
        reg.WriteString("", "Quorvane.File");
        reg.SetRootKey(HKEY_USERS);
        ASSERT_TRUE(reg.OpenKey(".DEFAULT\\Control Panel\\Desktop", true));
        reg.WriteString("MenuShowDelay", "100");
        EXPECT_FALSE(reg.OpenKey("S-1-5-18", true));
        // Nothing reaches the files before the changes are flushed.
        EXPECT_EQ(win.Read("Windows/System32/config/SOFTWARE"), softwareBefore);
    }
    EXPECT_NE(win.Read("Windows/System32/config/SOFTWARE"), softwareBefore);
    // Only the hive files are left in the folders.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(win.Config()), {}), 3);
    EXPECT_EQ(win.Read("Users/bob/NTUSER.DAT"), EmptyHive());
    EXPECT_NE(win.Read("Users/ann/ntuser.dat"), EmptyHive());

    TRegistry reg(OpenStore("hive:" + win.Config()));
    ASSERT_TRUE(reg.OpenKey("software\\microsoft\\internet explorer\\main", false));
    EXPECT_EQ(reg.ReadString("Window Title"), kXiuFuGongJu);
    EXPECT_EQ(reg.ReadInteger("Count"), -2);
    EXPECT_EQ(reg.ReadBinaryData("Bytes"), (std::vector<std::uint8_t>{0x0a, 0x1f}));
    EXPECT_TRUE(reg.ValueExists("None"));
    EXPECT_TRUE(reg.ReadBinaryData("None").empty());
    EXPECT_EQ(reg.ReadString(""), "default");
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Window Title"); }),
              "Failed to get data for 'Window Title'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadBinaryData("Count"); }), "Invalid data type for 'Count'");
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("Software\\Classes\\.QRV", false));
    EXPECT_EQ(reg.ReadString(""), "Quorvane.File");
    ASSERT_TRUE(reg.OpenKey("Software\\Policies\\Quorvane", false));
    EXPECT_EQ(reg.ReadInteger("Enabled"), 1);
    EXPECT_FALSE(reg.OpenKey("HARDWARE\\DESCRIPTION", true));
    ASSERT_TRUE(reg.OpenKey("", false));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("x", "y"); }), "Failed to set data for 'x'");
    reg.SetRootKey(HKEY_USERS);
    ASSERT_TRUE(reg.OpenKey(".Default\\Control Panel\\Desktop", false));
    EXPECT_EQ(reg.ReadString("MenuShowDelay"), "100");
}

TEST(HiveStore, DeletesTakeValuesAndWholeKeys) {
    TInstallation win;
    {
        TRegistry reg(OpenStore("hive:" + win.Config()));
        ASSERT_TRUE(reg.OpenKey("Software\\Policies\\System\\Deep\\Deeper", true));
        reg.WriteInteger("x", 1);
        ASSERT_TRUE(reg.OpenKey("Software\\Policies\\System", true));
        reg.WriteInteger("DisableTaskMgr", 1);
        reg.WriteInteger("DisableRegistryTools", 1);
        reg.WriteString("Keep", "k");
        EXPECT_TRUE(reg.DeleteValue("disabletaskmgr"));
        EXPECT_FALSE(reg.DeleteValue("DisableTaskMgr"));
        EXPECT_FALSE(reg.ValueExists("DisableTaskMgr"));
        EXPECT_TRUE(reg.ValueExists("DisableRegistryTools"));
        EXPECT_EQ(reg.ReadString("Keep"), "k");
        ASSERT_TRUE(reg.OpenKey("Software\\Policies", false));
        EXPECT_TRUE(reg.DeleteKey("SYSTEM"));
        EXPECT_FALSE(reg.DeleteKey("System"));
        EXPECT_FALSE(reg.OpenKey("Software\\Policies\\System", false));
        EXPECT_TRUE(reg.OpenKey("Software\\Policies", false));
    }
    TRegistry reg(OpenStore("hive:" + win.Config()));
    EXPECT_TRUE(reg.OpenKey("Software\\Policies", false));
    EXPECT_FALSE(reg.OpenKey("Software\\Policies\\System\\Deep", false));
}

TEST(HiveStore, CurrentControlSetIsTheSelectedOne) {
    TInstallation win;
    {
        auto store = OpenStore("hive:" + win.Config());
        auto select = store->OpenKey(HKEY_LOCAL_MACHINE, {u"SYSTEM", u"Select"}, true);
        ASSERT_TRUE(select);
        ASSERT_TRUE(select->SetValue(u"Current", TValue{REG_DWORD, {2, 0, 0, 0}}));
        auto current =
            store->OpenKey(HKEY_LOCAL_MACHINE,
                           {u"SYSTEM", u"ControlSet002", u"Hardware Profiles", u"Current"}, true);
        ASSERT_TRUE(current);
        // A link to the profile, as Windows keeps it.
        const std::u16string target =
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\0001";
        ASSERT_TRUE(current->SetValue(u"SymbolicLinkValue",
                                      TValue{REG_LINK, text::ToBytes(target, false)}));
    }
    TRegistry reg(OpenStore("hive:" + win.Config()));
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("System\\CurrentControlSet\\Services\\Quorvane", true));
    reg.WriteInteger("Start", 4);
    ASSERT_TRUE(reg.OpenKey("System\\ControlSet002\\Services\\Quorvane", false));
    EXPECT_EQ(reg.ReadInteger("Start"), 4);
    EXPECT_FALSE(reg.OpenKey("System\\ControlSet001", false));
    reg.SetRootKey(HKEY_CURRENT_CONFIG);
    ASSERT_TRUE(reg.OpenKey("Software\\Fonts", true));
    reg.WriteInteger("LogPixels", 120);
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(
        reg.OpenKey("System\\ControlSet002\\Hardware Profiles\\0001\\Software\\Fonts", false));
    EXPECT_EQ(reg.ReadInteger("LogPixels"), 120);
}

TEST(HiveStore, HivesThatCannotBeUsedAreRefused) {
    TInstallation win;
    // A hive Windows did not close cleanly.
    win.Write("Windows/System32/config/SYSTEM", EmptyHive(2));
    TRegistry reg(OpenStore("hive:" + win.Config()));
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(ErrorOf([&] { reg.OpenKey("System\\Select", true); }),
              "The hive file '" + win.Config() +
                  "/SYSTEM' was not closed cleanly by Windows (hibernation, fast start-up or a "
                  "crash): start "
                  "Windows and shut it down completely first");
    // A file that is no hive.
    win.Write("Windows/System32/config/DEFAULT",
              {'n', 'o', 't', ' ', 'a', ' ', 'h', 'i', 'v', 'e'});
    reg.SetRootKey(HKEY_USERS);
    EXPECT_TRUE(ErrorOf([&] {
                    reg.OpenKey(".DEFAULT", false);
                }).starts_with("Cannot open the hive file '" + win.Config() + "/DEFAULT': "));
    // A hive that may not be written opens no key.
    ::chmod((win.Config() + "/SOFTWARE").c_str(), 0444);
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(reg.OpenKey("Software", true));
    EXPECT_FALSE(reg.OpenKey("Software\\Classes", true));
    EXPECT_EQ(win.Read("Windows/System32/config/SOFTWARE"), EmptyHive());

    // A folder without hives, and an installation without user profiles.
    quorvane::testing::TTempDir empty;
    EXPECT_EQ(ErrorOf([&] { OpenStore("hive:" + empty.Dir()); }),
              "The folder '" + empty.Dir().substr(0, empty.Dir().size() - 1) +
                  "' holds no Windows registry hives (SOFTWARE, SYSTEM): name the "
                  "Windows/System32/config folder "
                  "of the installation");
    std::filesystem::remove_all(win.root.File("Users"));
    TRegistry noUser(OpenStore("hive:" + win.Config()));
    EXPECT_FALSE(noUser.OpenKey("Software", true));
}

TEST(HiveStore, DynamicDataStaysInMemory) {
    TInstallation win;
    TRegistry reg(OpenStore("hive:" + win.Config()));
    reg.SetRootKey(HKEY_DYN_DATA);
    ASSERT_TRUE(reg.OpenKey("PerfStats", true));
    reg.WriteInteger("n", 3);
    EXPECT_EQ(reg.ReadInteger("n"), 3);
    reg.Flush();
    for (const char* hive : {"SOFTWARE", "SYSTEM", "DEFAULT"})
        EXPECT_EQ(win.Read("Windows/System32/config/" + std::string(hive)), EmptyHive());
}

}  // namespace
}  // namespace quorvane::registry
