// Tests of the Wine-format store: which file each root key lives in, the merged
// HKEY_CLASSES_ROOT, links, the memory-only HKEY_DYN_DATA, saving, the wineserver
// refusal, the restart, and the choice of store by the environment.
#include "platform/registry/registry_wine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/registry/registry.h"
#include "platform/registry/registry_test_prefix.h"

namespace quorvane::registry {

void PrintTo(const TStoreLocation& location, std::ostream* out) {
    *out << (location.kind == TStoreLocation::EKind::Wine ? "wine:" : "hive:") << location.dir
         << (location.prefix ? " (prefix)" : " (private)");
}

namespace {

using samples::TPrefix;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ERegistryError& e) {
        return e.what();
    }
    return "no error";
}

// Every file of a folder with its contents.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] =
            std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

TEST(WineStore, ClassesRootReadsTheUsersKeysFirst) {
    TPrefix prefix;
    TRegistry reg = prefix.Registry();
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKey(".txt", false));
    EXPECT_EQ(reg.ReadString(""), "usertxt");
    EXPECT_FALSE(reg.ValueExists("Content Type"));  // the machine's key is hidden by the user's
    reg.WriteString("PerceivedType", "text");
    EXPECT_TRUE(
        Contains(prefix.ReadFile("user.reg"), "@=\"usertxt\"\n\"PerceivedType\"=\"text\"\n"));

    // Keys the user does not have are the machine's.
    ASSERT_TRUE(reg.OpenKey("txtfile\\shell\\open\\command", false));
    EXPECT_EQ(reg.ReadString(""), "%SystemRoot%\\system32\\notepad.exe %1");
    reg.WriteString("", "notepad.exe %1");
    EXPECT_TRUE(Contains(prefix.ReadFile("system.reg"), "open\\\\command" + samples::kNowKeySuffix +
                                                            "\n" + samples::kNowTimeLine +
                                                            "\n@=\"notepad.exe %1\"\n"));
    // New keys are the machine's.
    ASSERT_TRUE(reg.OpenKey("Quorvane.Item\\DefaultIcon", true));
    reg.WriteString("", "q.ico");
    EXPECT_TRUE(Contains(prefix.ReadFile("system.reg"),
                         "[Software\\\\Classes\\\\Quorvane.Item\\\\DefaultIcon]"));
    EXPECT_FALSE(Contains(prefix.ReadFile("user.reg"), "Quorvane.Item"));

    // Deleting a subkey deletes it on both sides.
    ASSERT_TRUE(reg.OpenKey("", false));
    EXPECT_TRUE(reg.DeleteKey(".txt"));
    EXPECT_FALSE(reg.OpenKey(".txt", false));
    EXPECT_FALSE(Contains(prefix.ReadFile("user.reg"), ".txt"));
    EXPECT_FALSE(Contains(prefix.ReadFile("system.reg"), ".txt"));
}

TEST(WineStore, LinksAreFollowedToTheKeysTheyName) {
    TPrefix prefix;
    TRegistry reg = prefix.Registry();
    reg.SetRootKey(HKEY_CURRENT_CONFIG);
    ASSERT_TRUE(reg.OpenKey("Software\\Fonts", false));
    EXPECT_EQ(reg.ReadInteger("LogPixels"), 96);
    reg.WriteInteger("LogPixels", 120);
    EXPECT_TRUE(
        Contains(prefix.ReadFile("system.reg"),
                 "[System\\\\ControlSet001\\\\Hardware Profiles\\\\Current\\\\Software\\\\Fonts" +
                     samples::kNowKeySuffix + "\n" + samples::kNowTimeLine +
                     "\n\"LogPixels\"=dword:00000078\n"));

    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("System\\CurrentControlSet\\Services\\Quorvane", true));
    reg.WriteInteger("Start", 4);
    const std::string text = prefix.ReadFile("system.reg");
    EXPECT_TRUE(Contains(text, "[System\\\\ControlSet001\\\\Services\\\\Quorvane]"));
    EXPECT_FALSE(Contains(text, "CurrentControlSet\\\\Services"));
    ASSERT_TRUE(reg.OpenKey("System\\ControlSet001\\Services\\Quorvane", false));
    EXPECT_EQ(reg.ReadInteger("Start"), 4);

    // Deleting the link removes the link, not what it points to.
    ASSERT_TRUE(reg.OpenKey("System", false));
    EXPECT_TRUE(reg.DeleteKey("CurrentControlSet"));
    EXPECT_TRUE(reg.OpenKey("System\\ControlSet001\\Services\\Quorvane", false));
    EXPECT_FALSE(Contains(prefix.ReadFile("system.reg"), "#link"));
}

TEST(WineStore, UsersOffersTheDefaultUserOnly) {
    TPrefix prefix;
    TRegistry reg = prefix.Registry();
    reg.SetRootKey(HKEY_USERS);
    ASSERT_TRUE(reg.OpenKey(".DEFAULT\\Control Panel\\Desktop", false));
    EXPECT_EQ(reg.ReadString("MenuShowDelay"), "400");
    reg.WriteString("MenuShowDelay", "100");
    EXPECT_TRUE(Contains(prefix.ReadFile("userdef.reg"), "\"MenuShowDelay\"=\"100\""));
    EXPECT_EQ(prefix.ReadFile("user.reg"), samples::kUserReg);
    EXPECT_FALSE(reg.OpenKey("S-1-5-21-0-0-0-1000\\Control Panel", false));
    EXPECT_FALSE(reg.OpenKey("S-1-5-18", true));
    ASSERT_TRUE(reg.OpenKey("", false));
    EXPECT_FALSE(reg.ValueExists(""));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("x", "y"); }), "Failed to set data for 'x'");
    EXPECT_FALSE(reg.DeleteKey(".Default"));
    EXPECT_TRUE(reg.OpenKey(".Default\\Control Panel", false));
}

TEST(WineStore, DynamicDataLivesInMemoryOnly) {
    TPrefix prefix;
    const auto before = Snapshot(prefix.Dir());
    {
        TRegistry reg = prefix.Registry();
        reg.SetRootKey(HKEY_DYN_DATA);
        EXPECT_FALSE(reg.OpenKey("PerfStats", false));
        ASSERT_TRUE(reg.OpenKey("PerfStats\\StatData", true));
        reg.WriteInteger("KERNEL\\CPUUsage", 7);
        reg.WriteString("Name", "x");
        ASSERT_TRUE(reg.OpenKey("PerfStats\\StatData", false));
        EXPECT_EQ(reg.ReadInteger("KERNEL\\CPUUsage"), 7);
        ASSERT_TRUE(reg.OpenKey("PerfStats", false));
        EXPECT_TRUE(reg.DeleteKey("StatData"));
        ASSERT_TRUE(reg.OpenKey("Config", true));
        reg.WriteString("Kept", "in memory");
    }
    EXPECT_EQ(Snapshot(prefix.Dir()), before);
    TRegistry other = prefix.Registry();
    other.SetRootKey(HKEY_DYN_DATA);
    EXPECT_FALSE(other.OpenKey("Config", false));
    EXPECT_TRUE(other.OpenKey("", false));

    // The shared memory-only keys of other stores.
    auto keys = MakeVolatileKeys(prefix.options);
    auto key = OpenVolatileKey(keys, {u"A", u"B"}, true);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->SetValue(u"v", TValue{REG_DWORD, {1, 0, 0, 0}}));
    keys.reset();
    EXPECT_EQ(key->QueryValue(u"V"), (TValue{REG_DWORD, {1, 0, 0, 0}}));
}

TEST(WineStore, SavingReplacesTheFileWholeAndKeepsItsMode) {
    TPrefix prefix;
    prefix.Chmod("user.reg", 0640);
    TRegistry reg = prefix.Registry();
    ASSERT_TRUE(reg.OpenKey("Control Panel\\Desktop", false));
    const auto inode = std::filesystem::status(prefix.Path("user.reg")).permissions();
    reg.WriteString("Wallpaper", "/usr/share/backgrounds/q.png");
    EXPECT_EQ(std::filesystem::status(prefix.Path("user.reg")).permissions(), inode);
    // Nothing but the three files is left behind.
    const auto files = Snapshot(prefix.Dir());
    EXPECT_EQ(files.size(), 3u);
    EXPECT_TRUE(files.count("user.reg"));
}

TEST(WineStore, ChangesMadeByOthersAreReadBeforeTheNextOperation) {
    TPrefix prefix;
    TRegistry first = prefix.Registry();
    TRegistry second = prefix.Registry();
    ASSERT_TRUE(first.OpenKey("Control Panel\\Desktop", false));
    ASSERT_TRUE(second.OpenKey("Control Panel\\Desktop", false));
    EXPECT_EQ(second.ReadString("MenuShowDelay"), "400");
    first.WriteString("MenuShowDelay", "10");
    EXPECT_EQ(second.ReadString("MenuShowDelay"), "10");
    second.WriteString("Wallpaper", "w");
    first.WriteString("MenuShowDelay", "20");
    TRegistry third = prefix.Registry();
    ASSERT_TRUE(third.OpenKey("Control Panel\\Desktop", false));
    EXPECT_EQ(third.ReadString("MenuShowDelay"), "20");
    EXPECT_EQ(third.ReadString("Wallpaper"), "w");
}

TEST(WineStore, AnotherProcessHoldingThePrefixIsWaitedForOrRefused) {
    TPrefix prefix;
    int toChild[2], toParent[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Holds the prefix with a store open until the parent says go, then writes.
        int status = 1;
        try {
            TRegistry reg = prefix.Registry();
            char c = 'h';
            if (::write(toParent[1], &c, 1) == 1 && ::read(toChild[0], &c, 1) == 1 &&
                reg.OpenKey("Control Panel\\Desktop", false)) {
                reg.WriteString("Wallpaper", "from the child");
                status = 0;
            }
        } catch (...) {
        }
        ::_exit(status);
    }
    char c = 0;
    ASSERT_EQ(::read(toParent[0], &c, 1), 1);
    // A second process gives up after its wait, and changes nothing.
    prefix.options.lockWait = std::chrono::milliseconds(50);
    const std::string before = prefix.ReadFile("user.reg");
    EXPECT_EQ(ErrorOf([&] { prefix.Store(); }),
              "The registry in '" + prefix.Dir() +
                  "' is being changed by another Quorvane, which did not finish within 50 milliseconds; try again later");
    EXPECT_EQ(prefix.ReadFile("user.reg"), before);
    // With a longer wait it gets the prefix once the holder is done, and sees its change.
    prefix.options.lockWait = std::chrono::seconds(20);
    ASSERT_EQ(::write(toChild[1], "g", 1), 1);
    TRegistry reg = prefix.Registry();
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(reg.OpenKey("Control Panel\\Desktop", false));
    EXPECT_EQ(reg.ReadString("Wallpaper"), "from the child");
    // Stores of one process share the hold and never wait for each other.
    TRegistry again = prefix.Registry();
    EXPECT_TRUE(again.OpenKey("Control Panel\\Desktop", false));
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

TEST(WineStore, APrefixWhoseServerRunsIsRefused) {
    TPrefix prefix;
    prefix.serverRunning = true;
    const std::string message =
        "The Wine prefix '" + prefix.Dir() +
        "' is in use: its wineserver is running and would overwrite any repair. "
        "Close the Wine programs first (or stop the server with \"wineserver -k\").";
    EXPECT_EQ(ErrorOf([&] { prefix.Store(); }), message);
    EXPECT_EQ(prefix.checkedDirs, std::vector<std::string>{prefix.Dir()});
    // Quorvane's own folder has no server.
    EXPECT_NO_THROW(prefix.Store(false));

    // A server started after the prefix was opened stops the next write.
    prefix.serverRunning = false;
    TRegistry reg = prefix.Registry();
    ASSERT_TRUE(reg.OpenKey("Control Panel\\Desktop", false));
    prefix.serverRunning = true;
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("Wallpaper", "w"); }), message);
    EXPECT_EQ(ErrorOf([&] { reg.OpenKey("Control Panel\\New", true); }), message);
    EXPECT_EQ(prefix.ReadFile("user.reg"), samples::kUserReg);
}

TEST(WineStore, RestartRunsWinebootForAPrefixOnly) {
    TPrefix prefix;
    prefix.Registry().RequestRestart();
    ASSERT_EQ(prefix.commands.size(), 1u);
    EXPECT_EQ(prefix.commands[0].argv, (std::vector<std::string>{"wineboot", "--restart"}));
    EXPECT_EQ(prefix.commands[0].env, (std::vector<std::string>{"WINEPREFIX=" + prefix.Dir()}));
    prefix.Registry(false).RequestRestart();
    EXPECT_EQ(prefix.commands.size(), 1u);
    // A runner that fails is not reported.
    prefix.options.runCommand = [](const auto&, const auto&) -> int {
        throw std::runtime_error("no wineboot");
    };
    EXPECT_NO_THROW(prefix.Registry().RequestRestart());
    // The default runner passes the extra environment on.
    quorvane::testing::TTempDir out;
    EXPECT_EQ(RunCommand({"sh", "-c", "echo \"$WINEPREFIX\" > \"$1\"", "sh", out.File("env")},
                         {"WINEPREFIX=/p/x"}),
              0);
    const auto bytes = out.Read("env");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "/p/x\n");
    EXPECT_EQ(RunCommand({"sh", "-c", "exit 3"}, {}), 3);
    EXPECT_EQ(RunCommand({"/no/such/program"}, {}), -1);
}

// The server folder Wine uses for a prefix, made for the test and removed after it.
class TServerDir {
  public:
    explicit TServerDir(const std::string& prefix) {
        struct stat s {};
        ::stat(prefix.c_str(), &s);
        base_ = "/tmp/.wine-" + std::to_string(::getuid());
        char name[64];
        std::snprintf(name, sizeof name, "/server-%llx-%llx",
                      static_cast<unsigned long long>(s.st_dev),
                      static_cast<unsigned long long>(s.st_ino));
        madeBase_ = !std::filesystem::exists(base_);
        dir_ = base_ + name;
        std::filesystem::create_directories(dir_);
    }
    ~TServerDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        if (madeBase_) std::filesystem::remove(base_, ec);
    }
    const std::string& Dir() const { return dir_; }

  private:
    std::string base_, dir_;
    bool madeBase_ = false;
};

TEST(WineStore, TheDefaultServerCheckFindsTheServersSocketAndLock) {
    TPrefix prefix;
    EXPECT_FALSE(WineServerRunning(prefix.Dir()));
    TServerDir server(prefix.Dir());
    // A socket nobody listens on is what a crashed server leaves behind.
    const std::string socketPath = server.Dir() + "/socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_FALSE(WineServerRunning(prefix.Dir()));
    ASSERT_EQ(::listen(sock, 4), 0);
    EXPECT_TRUE(WineServerRunning(prefix.Dir()));
    ::close(sock);
    EXPECT_FALSE(WineServerRunning(prefix.Dir()));
    // The lock the server holds while it runs.
    const std::string lockPath = server.Dir() + "/lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(WineServerRunning(prefix.Dir()));
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
    EXPECT_TRUE(WineServerRunning(prefix.Dir()));
    ::close(fd);
    EXPECT_FALSE(WineServerRunning(prefix.Dir()));
}

TEST(WineStore, TheServerCheckFollowsTheFolderThePrefixNames) {
    // Wine built to choose its server's folder writes the folder's name into the
    // prefix's "wineserver" file; the server lives below it as anywhere else.
    TPrefix prefix;
    quorvane::testing::TTempDir base;
    const std::string name = std::filesystem::path(base.Dir()).parent_path().filename().string();
    prefix.WriteFile("wineserver", name);
    struct stat s {};
    ::stat(prefix.Dir().c_str(), &s);
    char server[64];
    std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(s.st_dev),
                  static_cast<unsigned long long>(s.st_ino));
    std::filesystem::create_directories(base.File(server));
    EXPECT_FALSE(WineServerRunning(prefix.Dir()));
    const int fd = ::open(base.File(std::string(server) + "/lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
    EXPECT_TRUE(WineServerRunning(prefix.Dir()));
    // A name that climbs out of the temporary folder is not followed.
    prefix.WriteFile("wineserver", "../" + name);
    EXPECT_FALSE(WineServerRunning(prefix.Dir()));
    ::close(fd);
}

// Sets environment variables for one test and puts the old values back.
class TEnvironment {
  public:
    void Set(const std::string& name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name.c_str(), value, 1);
        else
            ::unsetenv(name.c_str());
    }
    ~TEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(WineStore, TheEnvironmentChoosesTheStore) {
    TEnvironment env;
    quorvane::testing::TTempDir home;
    TPrefix prefix;
    env.Set("HOME", home.Dir().c_str());
    env.Set("QUORVANE_REGISTRY", nullptr);
    env.Set("WINEPREFIX", nullptr);
    env.Set("XDG_DATA_HOME", nullptr);
    using EKind = TStoreLocation::EKind;
    const std::string homeDir = home.Dir().substr(0, home.Dir().size() - 1);

    // Nothing set and no ~/.wine: the private folder.
    EXPECT_EQ(DefaultStoreLocation(),
              (TStoreLocation{EKind::Wine, homeDir + "/.local/share/quorvane/registry", false}));
    env.Set("XDG_DATA_HOME", "/xdg/data");
    EXPECT_EQ(DefaultStoreLocation(),
              (TStoreLocation{EKind::Wine, "/xdg/data/quorvane/registry", false}));
    env.Set("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(DefaultStoreLocation().dir, homeDir + "/.local/share/quorvane/registry");

    // ~/.wine counts when it holds system.reg.
    std::filesystem::create_directories(home.File(".wine"));
    EXPECT_FALSE(DefaultStoreLocation().prefix);
    home.Write(".wine/system.reg", {'W'});
    EXPECT_EQ(DefaultStoreLocation(), (TStoreLocation{EKind::Wine, homeDir + "/.wine", true}));

    // $WINEPREFIX comes before it, when it holds a prefix.
    env.Set("WINEPREFIX", "/no/such/prefix");
    EXPECT_EQ(DefaultStoreLocation().dir, homeDir + "/.wine");
    env.Set("WINEPREFIX", prefix.Dir().c_str());
    EXPECT_EQ(DefaultStoreLocation(), (TStoreLocation{EKind::Wine, prefix.Dir(), true}));

    // $QUORVANE_REGISTRY comes first.
    env.Set("QUORVANE_REGISTRY", "wine:/some/prefix");
    EXPECT_EQ(DefaultStoreLocation(), (TStoreLocation{EKind::Wine, "/some/prefix", true}));
    env.Set("QUORVANE_REGISTRY", "hive:/mnt/win/Windows/System32/config");
    EXPECT_EQ(DefaultStoreLocation(),
              (TStoreLocation{EKind::Hive, "/mnt/win/Windows/System32/config", true}));
    env.Set("QUORVANE_REGISTRY", "registry:/x");
    EXPECT_EQ(
        ErrorOf([] { DefaultStoreLocation(); }),
        "Unknown registry store 'registry:/x': expected wine:FOLDER (a Wine prefix) or hive:FOLDER "
        "(Windows/System32/config)");
    EXPECT_EQ(ErrorOf([] { ParseStoreLocation("wine:"); }),
              "The registry store 'wine:' names no folder");
    EXPECT_EQ(ErrorOf([] { OpenStore("wine:/no/such/prefix"); }),
              "The registry folder '/no/such/prefix' does not exist");

    // The store opened by default is the prefix named.
    env.Set("QUORVANE_REGISTRY", ("wine:" + prefix.Dir()).c_str());
    TRegistry reg(OpenDefaultStore(prefix.options));
    EXPECT_EQ(reg.Store().Description(), "Wine prefix " + prefix.Dir());
    ASSERT_TRUE(reg.OpenKey("Control Panel\\Desktop", false));
    EXPECT_EQ(reg.ReadString("MenuShowDelay"), "400");
}

TEST(WineStore, ThePrivateRegistryIsCreatedOnFirstUse) {
    TEnvironment env;
    quorvane::testing::TTempDir data;
    env.Set("QUORVANE_REGISTRY", nullptr);
    env.Set("WINEPREFIX", nullptr);
    env.Set("HOME", data.Dir().c_str());
    env.Set("XDG_DATA_HOME", data.File("share").c_str());
    const std::string dir = data.File("share/quorvane/registry");
    samples::TPrefix prefix;
    {
        TRegistry reg(OpenDefaultStore(prefix.options));
        EXPECT_EQ(reg.Store().Description(), "Quorvane's own registry in " + dir);
        const auto files = Snapshot(dir);
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(files.at("system.reg"),
                  "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n");
        EXPECT_EQ(
            files.at("user.reg"),
            "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n");
        EXPECT_EQ(files.at("userdef.reg"),
                  "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\.Default\n");
        ASSERT_TRUE(reg.OpenKey("Software\\Microsoft\\Internet Explorer\\Main", true));
        reg.WriteString("Start Page", "about:blank");
        reg.RequestRestart();
        EXPECT_TRUE(prefix.commands.empty());
        EXPECT_TRUE(prefix.checkedDirs.empty());
    }
    // Opened again, the files are kept.
    TRegistry again(OpenDefaultStore(prefix.options));
    ASSERT_TRUE(again.OpenKey("Software\\Microsoft\\Internet Explorer\\Main", false));
    EXPECT_EQ(again.ReadString("Start Page"), "about:blank");
}

}  // namespace
}  // namespace quorvane::registry
