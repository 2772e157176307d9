// The command line run as its own process on a real Wine prefix: what it applies is
// what Wine reads, what Wine wrote is what it captures and restores, the lines of the
// registry files it does not touch stay as they were, a prefix whose wineserver runs
// is refused, and deleted start-up entries come back from their .reg backup with
// Wine's own "reg import".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using quorvane::testing::TTempDir;

// The items of the shipped knowledge base this test applies and lists.
constexpr int kStartPageItem = 3;        // both start pages to about:blank
constexpr int kRegistryEditorItem = 26;  // DisableRegistryTools: 0 for the user, deleted for the machine
constexpr int kAutoRunItem = 63;         // NoDriveTypeAutoRun as binary FF000000
constexpr int kStartUpListItem = 82;     // the Run and RunOnce keys

const std::string kIeMain = R"(Software\Microsoft\Internet Explorer\Main)";
const std::string kSystemPolicies = R"(Software\Microsoft\Windows\CurrentVersion\Policies\System)";
const std::string kExplorerPolicies = R"(Software\Microsoft\Windows\CurrentVersion\Policies\Explorer)";
const std::string kRun = R"(Software\Microsoft\Windows\CurrentVersion\Run)";
const std::string kIePolicyMain = R"(Software\Policies\Microsoft\Internet Explorer\Main)";
const std::string kIePolicyPanel = R"(Software\Policies\Microsoft\Internet Explorer\Control Panel)";
const std::string kIeMain32 = R"(Software\Wow6432Node\Microsoft\Internet Explorer\Main)";

// The hijacked start page: text that only survives when every layer keeps UTF-16.
const std::string kHijackedPage = "http://例子.test/首页";
// Bytes with letters in them, so that the case of the captured hexadecimal shows.
const std::string kOldAutoRun = "9D00AB0C";

struct TRun {
    int code = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Whether `name` is an executable file in a folder of $PATH.
bool OnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty()) continue;
        if (::access((folder + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// A .reg file as Wine's "reg export" writes it (UTF-16LE with its byte-order mark)
// decoded to UTF-8.
std::string DecodeUtf16Le(const std::string& bytes) {
    std::size_t i = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                            static_cast<unsigned char>(bytes[1]) == 0xFE
                        ? 2
                        : 0;
    const auto unit = [&](std::size_t at) {
        return static_cast<char32_t>(static_cast<unsigned char>(bytes[at]) |
                                     static_cast<unsigned char>(bytes[at + 1]) << 8);
    };
    std::string text;
    for (; i + 1 < bytes.size(); i += 2) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            const char32_t low = unit(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | c >> 6);
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | c >> 12);
            text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | c >> 18);
            text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// A key path as Wine's registry files name it: every backslash doubled.
std::string FileKeyName(const std::string& path) {
    std::string escaped;
    for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

// The lines of a registry file without the sections (from a "[key]" line up to the
// next one) of the keys in `touched`: what must survive any change to those keys,
// including each untouched key's modification time.
std::vector<std::string> UntouchedLines(const std::string& file, const std::vector<std::string>& touched) {
    // A touched key's section, and the sections of the keys above it that creating it
    // may have added.
    std::vector<std::string> wanted;
    for (const std::string& key : touched) wanted.push_back("[" + Lower(FileKeyName(key)));
    std::vector<std::string> kept;
    bool skipping = false;
    for (const std::string& line : Lines(ReadFile(file))) {
        if (!line.empty() && line[0] == '[') {
            const std::size_t end = line.find(']');
            const std::string name = Lower(line.substr(0, end == std::string::npos ? line.size() : end));
            skipping = std::any_of(wanted.begin(), wanted.end(), [&](const std::string& key) {
                return key == name || (key.rfind(name + "\\\\", 0) == 0);
            });
        }
        if (!skipping) kept.push_back(line);
    }
    return kept;
}

// The first line where two line lists part, for a readable failure.
std::string FirstDifference(const std::vector<std::string>& before, const std::vector<std::string>& after) {
    std::size_t i = 0;
    while (i < before.size() && i < after.size() && before[i] == after[i]) ++i;
    if (i == before.size() && i == after.size()) return "no difference";
    return "line " + std::to_string(i + 1) + ": before \"" + (i < before.size() ? before[i] : "(end)") +
           "\", after \"" + (i < after.size() ? after[i] : "(end)") + "\"";
}

// A value as "wine reg query" shows it: the type's name and the data as text.
struct TRegValue {
    std::string type;
    std::string data;
    bool operator==(const TRegValue&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TRegValue& value) {
    return out << value.type << " \"" << value.data << "\"";
}

// The suite's Wine prefix, made once: every test sets the values it works on itself,
// so the tests do not depend on each other's order.
class WineRoundTripTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        wineMissing_ = !OnPath("wine") || !OnPath("wineboot") || !OnPath("wineserver");
        if (wineMissing_) return;
        home_ = std::make_unique<TTempDir>();
        prefix_ = home_->File("prefix");
        fs::create_directories(home_->File("io"));
        fs::create_directories(home_->File("data"));
        const auto started = std::chrono::steady_clock::now();
        const TRun boot = Run({"wineboot", "-i"}, 180);
        const TRun wait = Run({"wineserver", "-w"}, 120);
        if (boot.code != 0 || wait.code != 0 || !fs::exists(prefix_ + "/system.reg") ||
            !fs::exists(prefix_ + "/user.reg")) {
            setupError_ = "wineboot -i did not make the prefix " + prefix_ + " (exit " + std::to_string(boot.code) +
                          ", wineserver -w exit " + std::to_string(wait.code) + "): " + boot.err;
        }
        std::cerr << "[ prefix   ] made in "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                             .count()
                  << " ms\n";
    }

    static void TearDownTestSuite() {
        if (!home_) return;
        Run({"wineserver", "-k"}, 60);
        Run({"wineserver", "-w"}, 60);
        RemoveServerFolders();
        home_.reset();
    }

    void SetUp() override {
        if (wineMissing_) {
            const char* ci = std::getenv("CI");
            if (ci && std::string(ci) == "true")
                FAIL() << "wine, wineboot and wineserver must be on the PATH under CI: Wine is a test dependency";
            GTEST_SKIP() << "Wine is not installed (wine, wineboot and wineserver are not all on the PATH)";
        }
        ASSERT_TRUE(setupError_.empty()) << setupError_;
        // A test that stopped half-way may have left the server running.
        ASSERT_EQ(Run({"wineserver", "-w"}, 60).code, 0);
        for (const char* table : {"vrqinfo", "vrqdtl"})
            for (const char* ext : {".DAT", ".IDX"})
                fs::copy_file(std::string(QUORVANE_BIN_DIR) + table + ext, kb_.File(std::string(table) + ext));
    }

    // Runs `argv` (found on the PATH) in the suite's folder, with standard input from
    // /dev/null, the outputs in files and the prefix's environment: Wine quiet and
    // without a display or the .NET and HTML installers, text in UTF-8, backups in
    // the suite's data folder. Kills it after `timeout` seconds.
    static TRun Run(const std::vector<std::string>& argv, int timeout = 60) {
        static int count = 0;
        const std::string base = home_->File("io/" + std::to_string(++count));
        const std::string outFile = base + ".out", errFile = base + ".err";

        const std::map<std::string, std::string> set = {{"WINEPREFIX", prefix_},
                                                        {"WINEDEBUG", "-all"},
                                                        {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                                                        {"LC_ALL", "C.UTF-8"},
                                                        {"XDG_DATA_HOME", home_->File("data")}};
        std::vector<std::string> environment;
        for (char** e = environ; e && *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (set.count(name) || name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QUORVANE_REGISTRY")
                continue;
            environment.push_back(entry);
        }
        for (const auto& [name, value] : set) environment.push_back(name + "=" + value);
        std::vector<char*> args, envp;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const std::string folder = home_->Dir();

        const pid_t pid = ::fork();
        if (pid == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
                ::chdir(folder.c_str()) != 0)
                ::_exit(127);
            ::execvpe(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        TRun run;
        if (pid < 0) return run;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
        bool timedOut = false;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                timedOut = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        run.code = !timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadFile(outFile);
        run.err = ReadFile(errFile);
        if (timedOut) run.err += "\n(killed after " + std::to_string(timeout) + " s)";
        return run;
    }

    // Wine's programs wait for the prefix's server to end, which writes the registry
    // files and lets Quorvane open the prefix.
    static void StopServerWhenIdle() { ASSERT_EQ(Run({"wineserver", "-w"}).code, 0); }

    static TRun Wine(std::vector<std::string> args) {
        args.insert(args.begin(), "wine");
        return Run(args);
    }

    // Sets a value with Wine's "reg add" (type and data as reg add takes them).
    static void RegAdd(const std::string& key, const std::string& name, const std::string& type,
                       const std::string& data) {
        const TRun run = Wine({"reg", "add", key, "/v", name, "/t", type, "/d", data, "/f"});
        ASSERT_EQ(run.code, 0) << key << " " << name << ": " << run.out << run.err;
    }

    // The value as Wine's "reg query" reads it; nothing when Wine finds no such value.
    static std::optional<TRegValue> Query(const std::string& key, const std::string& name) {
        const TRun run = Wine({"reg", "query", key, "/v", name});
        if (run.code != 0) {
            EXPECT_TRUE(Contains(run.err + run.out, "Unable to find")) << key << " " << name << ": " << run.err;
            return std::nullopt;
        }
        const std::string start = "    " + name + "    ";
        for (const std::string& line : Lines(run.out)) {
            if (line.compare(0, start.size(), start) != 0) continue;
            const std::string rest = line.substr(start.size());
            const std::size_t gap = rest.find("    ");
            if (gap == std::string::npos) return TRegValue{rest, ""};
            return TRegValue{rest.substr(0, gap), rest.substr(gap + 4)};
        }
        ADD_FAILURE() << "reg query printed no line for " << name << ":\n" << run.out;
        return std::nullopt;
    }

    // The line `"NAME"=...` of the key `key` in what Wine's "reg export" writes for it
    // (UTF-16LE, where "reg query" would show non-ASCII letters as '?'); empty when
    // the key holds no such value.
    static std::string ExportedLine(const std::string& key, const std::string& name) {
        static int count = 0;
        const std::string file = home_->File("io/export-" + std::to_string(++count) + ".reg");
        const TRun run = Wine({"reg", "export", key, "Z:" + file, "/y"});
        EXPECT_EQ(run.code, 0) << key << ": " << run.err;
        const std::string section = "[" + Lower(key) + "]";
        const std::string start = "\"" + name + "\"=";
        bool inKey = false;
        for (const std::string& line : Lines(DecodeUtf16Le(ReadFile(file)))) {
            if (!line.empty() && line[0] == '[') inKey = Lower(line) == section;
            if (inKey && line.compare(0, start.size(), start) == 0) return line;
        }
        return {};
    }

    // Runs the program on the prefix and this test's copy of the knowledge base.
    TRun Quorvane(std::vector<std::string> args) {
        args.insert(args.begin(), std::string(QUORVANE_BIN_DIR) + "quorvane");
        for (const std::string& a : {std::string("--registry"), "wine:" + prefix_, std::string("--kb"), kb_.Dir()})
            args.push_back(a);
        return Run(args);
    }

    // The rows of `quorvane show ID --json`.
    json ShownRows(int id) {
        const TRun run = Quorvane({"show", std::to_string(id), "--json"});
        EXPECT_EQ(run.code, 0) << run.err;
        const json shown = json::parse(run.out, nullptr, false);
        EXPECT_FALSE(shown.is_discarded()) << run.out;
        if (shown.is_discarded() || !shown.contains("rows")) return json::array();
        return shown["rows"];
    }

    // The registry files of the prefix without the sections of `touched` keys.
    struct TSnapshot {
        std::vector<std::string> system;
        std::vector<std::string> user;
        std::vector<std::string> userDefault;
    };
    static TSnapshot Untouched(const std::vector<std::string>& machineKeys, const std::vector<std::string>& userKeys) {
        return {UntouchedLines(prefix_ + "/system.reg", machineKeys), UntouchedLines(prefix_ + "/user.reg", userKeys),
                UntouchedLines(prefix_ + "/userdef.reg", {})};
    }
    static void ExpectSame(const TSnapshot& before, const TSnapshot& after) {
        EXPECT_TRUE(before.system == after.system) << "system.reg, " << FirstDifference(before.system, after.system);
        EXPECT_TRUE(before.user == after.user) << "user.reg, " << FirstDifference(before.user, after.user);
        EXPECT_TRUE(before.userDefault == after.userDefault)
            << "userdef.reg, " << FirstDifference(before.userDefault, after.userDefault);
    }

    // The values the three items work on, as a hijacked prefix might hold them.
    static void SetHijackedValues() {
        RegAdd("HKCU\\" + kIeMain, "Start Page", "REG_SZ", kHijackedPage);
        RegAdd("HKCU\\" + kSystemPolicies, "DisableRegistryTools", "REG_DWORD", "1");
        RegAdd("HKLM\\" + kSystemPolicies, "DisableRegistryTools", "REG_DWORD", "1");
        RegAdd("HKCU\\" + kExplorerPolicies, "NoDriveTypeAutoRun", "REG_BINARY", kOldAutoRun);
    }

    // The keys the three items write to, below each root: the start page item also
    // lifts the policies that lock the home page, and repairs the 32-bit view.
    static std::vector<std::string> TouchedMachineKeys() {
        return {kIeMain, kIePolicyMain, kIePolicyPanel, kIeMain32, kSystemPolicies};
    }
    static std::vector<std::string> TouchedUserKeys() {
        return {kIeMain, kIePolicyMain, kIePolicyPanel, kSystemPolicies, kExplorerPolicies};
    }

    // Runs "quorvane apply|restore ID --yes" and checks that no line outside the
    // touched keys' sections changed on the way.
    void ApplyOrRestore(const std::string& command, int id) {
        const TSnapshot before = Untouched(TouchedMachineKeys(), TouchedUserKeys());
        const TRun run = Quorvane({command, std::to_string(id), "--yes"});
        EXPECT_EQ(run.code, 0) << command << " " << id << ": " << run.err;
        EXPECT_EQ(run.out.rfind((command == "apply" ? "已应用: " : "已还原: ") + std::to_string(id) + " ", 0), 0u)
            << run.out;
        ExpectSame(before, Untouched(TouchedMachineKeys(), TouchedUserKeys()));
    }

    // Removes the folder the prefix's server worked in, which Wine leaves behind: the
    // one the prefix's "wineserver" file names below $TMPDIR or /tmp, or the usual
    // /tmp/.wine-UID/server-DEV-INODE.
    static void RemoveServerFolders() {
        std::error_code ec;
        struct stat s {};
        if (::stat(prefix_.c_str(), &s) == 0) {
            char name[128];
            std::snprintf(name, sizeof name, "/tmp/.wine-%u/server-%llx-%llx", static_cast<unsigned>(::getuid()),
                          static_cast<unsigned long long>(s.st_dev), static_cast<unsigned long long>(s.st_ino));
            fs::remove_all(name, ec);
        }
        std::string recorded = ReadFile(prefix_ + "/wineserver");
        while (!recorded.empty() && (recorded.back() == '\n' || recorded.back() == '\0')) recorded.pop_back();
        if (recorded.rfind("wine-", 0) == 0 && recorded.find('/') == std::string::npos) {
            const char* tmp = std::getenv("TMPDIR");
            fs::remove_all(std::string(tmp && *tmp ? tmp : "/tmp") + "/" + recorded, ec);
        }
    }

    TTempDir kb_;  // this test's copy of the shipped tables, so captures start afresh

    static inline bool wineMissing_ = false;
    static inline std::string setupError_;
    static inline std::unique_ptr<TTempDir> home_;  // the prefix, outputs, exports, backups
    static inline std::string prefix_;
};

TEST_F(WineRoundTripTest, WineReadsWhatItemsWriteAndTheCapturedValuesComeBack) {
    SetHijackedValues();
    EXPECT_EQ(ExportedLine("HKEY_CURRENT_USER\\" + kIeMain, "Start Page"), "\"Start Page\"=\"" + kHijackedPage + "\"");
    StopServerWhenIdle();

    // Each item, then what Wine reads: the type and data of its rows.
    ApplyOrRestore("apply", kStartPageItem);
    EXPECT_EQ(Query("HKCU\\" + kIeMain, "Start Page"), (TRegValue{"REG_SZ", "about:blank"}));
    EXPECT_EQ(Query("HKLM\\" + kIeMain, "Start Page"), (TRegValue{"REG_SZ", "about:blank"}));
    StopServerWhenIdle();

    ApplyOrRestore("apply", kRegistryEditorItem);
    EXPECT_EQ(Query("HKCU\\" + kSystemPolicies, "DisableRegistryTools"), (TRegValue{"REG_DWORD", "0x0"}));
    EXPECT_EQ(Query("HKLM\\" + kSystemPolicies, "DisableRegistryTools"), std::nullopt);
    StopServerWhenIdle();

    ApplyOrRestore("apply", kAutoRunItem);
    EXPECT_EQ(Query("HKCU\\" + kExplorerPolicies, "NoDriveTypeAutoRun"), (TRegValue{"REG_BINARY", "FF000000"}));
    StopServerWhenIdle();

    // What the items captured is what Wine had written, in the rows' own notation.
    json rows = ShownRows(kStartPageItem);
    const auto startPage = [&](const char* root) {
        for (const json& row : rows)
            if (row["root"] == root && row["path"] == kIeMain && row["keytype"] == "str") return row;
        ADD_FAILURE() << "no start page row for " << root;
        return json();
    };
    EXPECT_EQ(startPage("HKEY_CURRENT_USER")["oldinfo"], kHijackedPage);
    EXPECT_EQ(startPage("HKEY_CURRENT_USER")["now"], (json{{"type", "REG_SZ"}, {"data", "about:blank"}}));
    // Wine sets no machine start page.
    EXPECT_TRUE(startPage("HKEY_LOCAL_MACHINE")["oldinfo"].is_null()) << startPage("HKEY_LOCAL_MACHINE")["oldinfo"];

    rows = ShownRows(kRegistryEditorItem);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["oldinfo"], "1");
    EXPECT_EQ(rows[0]["now"], (json{{"type", "REG_DWORD"}, {"data", 0}}));
    EXPECT_EQ(rows[1]["oldinfo"], "DisableRegistryTools");  // a deleted value is captured by its name
    EXPECT_TRUE(rows[1]["now"].is_null());

    rows = ShownRows(kAutoRunItem);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["oldinfo"], kOldAutoRun);
    EXPECT_EQ(rows[0]["now"], (json{{"type", "REG_BINARY"}, {"data", "FF000000"}}));

    // Restoring writes the captured values back, and Wine reads them exactly.
    ApplyOrRestore("restore", kStartPageItem);
    ApplyOrRestore("restore", kRegistryEditorItem);
    ApplyOrRestore("restore", kAutoRunItem);
    EXPECT_EQ(ExportedLine("HKEY_CURRENT_USER\\" + kIeMain, "Start Page"), "\"Start Page\"=\"" + kHijackedPage + "\"");
    // The machine had no start page: its row captured nothing, and restoring writes
    // that empty text.
    EXPECT_EQ(Query("HKLM\\" + kIeMain, "Start Page"), (TRegValue{"REG_SZ", ""}));
    EXPECT_EQ(Query("HKCU\\" + kSystemPolicies, "DisableRegistryTools"), (TRegValue{"REG_DWORD", "0x1"}));
    // Deleted values stay deleted.
    EXPECT_EQ(Query("HKLM\\" + kSystemPolicies, "DisableRegistryTools"), std::nullopt);
    EXPECT_EQ(Query("HKCU\\" + kExplorerPolicies, "NoDriveTypeAutoRun"), (TRegValue{"REG_BINARY", kOldAutoRun}));
    StopServerWhenIdle();
}

// Wine itself rewrites keys of its own (devices, fonts) whenever it runs, so this
// round trip runs the program alone between the two looks at the files.
TEST_F(WineRoundTripTest, LinesNoItemTouchedStayAsTheyWere) {
    SetHijackedValues();
    StopServerWhenIdle();

    const std::vector<std::string> machineKeys = TouchedMachineKeys(), userKeys = TouchedUserKeys();
    const TSnapshot before = Untouched(machineKeys, userKeys);
    for (const std::string command : {"apply", "restore"}) {
        for (int id : {kStartPageItem, kRegistryEditorItem, kAutoRunItem}) {
            const TRun run = Quorvane({command, std::to_string(id), "--yes"});
            EXPECT_EQ(run.code, 0) << command << " " << id << ": " << run.err;
        }
    }
    const TSnapshot after = Untouched(machineKeys, userKeys);
    ExpectSame(before, after);
    // The comparison saw the whole files, not a handful of lines.
    EXPECT_GT(after.system.size(), 1000u);
    EXPECT_GT(after.user.size(), 100u);

    // And the touched keys hold the old values again, as Wine reads them.
    EXPECT_EQ(ExportedLine("HKEY_CURRENT_USER\\" + kIeMain, "Start Page"), "\"Start Page\"=\"" + kHijackedPage + "\"");
    EXPECT_EQ(Query("HKCU\\" + kSystemPolicies, "DisableRegistryTools"), (TRegValue{"REG_DWORD", "0x1"}));
    EXPECT_EQ(Query("HKCU\\" + kExplorerPolicies, "NoDriveTypeAutoRun"), (TRegValue{"REG_BINARY", kOldAutoRun}));
    StopServerWhenIdle();
}

TEST_F(WineRoundTripTest, APrefixWhoseServerRunsIsRefused) {
    RegAdd("HKCU\\" + kIeMain, "Start Page", "REG_SZ", kHijackedPage);
    StopServerWhenIdle();
    const std::string system = ReadFile(prefix_ + "/system.reg"), user = ReadFile(prefix_ + "/user.reg");
    const std::string info = ReadFile(kb_.File("vrqdtl.DAT"));

    // A server that stays when its last program ends, as it does while one runs.
    ASSERT_EQ(Run({"wineserver", "-p"}).code, 0);
    const TRun run = Quorvane({"apply", std::to_string(kStartPageItem), "--yes"});
    EXPECT_EQ(run.code, 1) << run.out;
    EXPECT_TRUE(Contains(run.err, "its wineserver is running")) << run.err;
    EXPECT_EQ(run.out, "");
    // Nothing written: neither the registry files nor a captured value.
    EXPECT_TRUE(ReadFile(prefix_ + "/system.reg") == system);
    EXPECT_TRUE(ReadFile(prefix_ + "/user.reg") == user);
    EXPECT_TRUE(ReadFile(kb_.File("vrqdtl.DAT")) == info);
    EXPECT_EQ(Run({"wineserver", "-k"}).code, 0);
    StopServerWhenIdle();

    EXPECT_EQ(ExportedLine("HKEY_CURRENT_USER\\" + kIeMain, "Start Page"), "\"Start Page\"=\"" + kHijackedPage + "\"");
    StopServerWhenIdle();
    EXPECT_TRUE(ShownRows(kStartPageItem)[0]["oldinfo"].is_null());
}

TEST_F(WineRoundTripTest, ExpandableStringsKeepTheirTypeThroughApplyCaptureAndRestore) {
    // Item 99 points the user's documents folder elsewhere: User Shell Folders holds
    // REG_EXPAND_SZ, which Windows expands when it reads it.
    const std::string folders = R"(Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders)";
    RegAdd("HKCU\\" + folders, "Personal", "REG_EXPAND_SZ", R"(%USERPROFILE%\Documents)");
    StopServerWhenIdle();

    TRun run = Quorvane({"apply", "99", "--value", R"(D:\Docs)", "--yes"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Query("HKCU\\" + folders, "Personal"), (TRegValue{"REG_EXPAND_SZ", R"(D:\Docs)"}));
    StopServerWhenIdle();
    const json rows = ShownRows(99);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0]["keytype"], "expand");
    EXPECT_EQ(rows[0]["oldinfo"], R"(%USERPROFILE%\Documents)");
    EXPECT_EQ(rows[0]["now"], (json{{"type", "REG_EXPAND_SZ"}, {"data", R"(D:\Docs)"}}));

    run = Quorvane({"restore", "99", "--yes"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Query("HKCU\\" + folders, "Personal"), (TRegValue{"REG_EXPAND_SZ", R"(%USERPROFILE%\Documents)"}));
    StopServerWhenIdle();
}

TEST_F(WineRoundTripTest, DeletedStartUpEntriesComeBackFromTheirBackup) {
    const std::string key = "HKCU\\" + kRun;
    const TRegValue tool{"REG_SZ", R"(C:\tool.exe)"};
    RegAdd(key, "Tool", "REG_SZ", tool.data);
    EXPECT_EQ(Query(key, "Tool"), tool);
    StopServerWhenIdle();

    TRun run = Quorvane({"entries", std::to_string(kStartUpListItem)});
    ASSERT_EQ(run.code, 0) << run.err;
    const std::vector<std::string> listed = Lines(run.out);
    EXPECT_NE(std::find(listed.begin(), listed.end(), "HKEY_CURRENT_USER\\" + kRun + "\\Tool  =  " + tool.data),
              listed.end())
        << run.out;

    run = Quorvane({"delete-entries", std::to_string(kStartUpListItem), "Tool", "--yes"});
    ASSERT_EQ(run.code, 0) << run.err;
    // "... 保存在 PATH ,..." names the backup, in the data folder the environment gives.
    const std::string before = "保存在 ";
    const std::size_t at = run.out.find(before);
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::size_t end = run.out.find(" ,", at);
    ASSERT_NE(end, std::string::npos) << run.out;
    const std::string backup = run.out.substr(at + before.size(), end - at - before.size());
    EXPECT_EQ(backup.rfind(home_->File("data") + "/quorvane/backup/", 0), 0u) << backup;
    ASSERT_TRUE(fs::is_regular_file(backup)) << backup;

    EXPECT_EQ(Query(key, "Tool"), std::nullopt);
    // The printed path as it is: Wine takes a Unix path on the current drive (Z:).
    const TRun imported = Wine({"reg", "import", backup});
    EXPECT_EQ(imported.code, 0) << imported.out << imported.err;
    EXPECT_EQ(Query(key, "Tool"), tool);
    StopServerWhenIdle();
}

}  // namespace
