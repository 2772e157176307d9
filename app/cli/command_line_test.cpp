// The command line on a copy of the shipped knowledge base and a test Wine prefix:
// what each command prints, what apply and restore write and capture, the questions
// on the terminal, and the exit status of refusals and bad command lines.
#include "app/cli/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/codepage.h"
#include "platform/registry/registry_test_prefix.h"

namespace quorvane::cli {
namespace {

namespace fs = std::filesystem;
namespace reg = quorvane::registry;
using nlohmann::json;
using quorvane::testing::TTempDir;

const char kMain[] = "Software\\Microsoft\\Internet Explorer\\Main";

struct TResult {
    int status = -1;
    std::string out, err;
};

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* table : {"vrqinfo", "vrqdtl"})
            for (const char* ext : {".DAT", ".IDX"})
                fs::copy_file(std::string(QUORVANE_BIN_DIR) + table + ext, kb.File(std::string(table) + ext));
        ::setenv("XDG_DATA_HOME", userData.Dir().c_str(), 1);
        prefix.options.lockWait = std::chrono::milliseconds(2000);
    }

    // Runs the command on the prefix and the knowledge-base copy, `input` answering.
    TResult Run(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--kb", kb.Dir()});
        std::istringstream in(input);
        std::ostringstream out, err;
        TResult r;
        r.status = RunCommandLine(args, "/nowhere/", {in, out, err}, [this] { return prefix.Store(); });
        r.out = out.str();
        r.err = err.str();
        return r;
    }
    reg::TRegistry Registry() { return prefix.Registry(); }
    std::string StartPage(std::uint32_t root) {
        reg::TRegistry r = Registry();
        r.SetRootKey(root);
        if (!r.OpenKey(kMain, false) || !r.ValueExists("Start Page")) return "(missing)";
        return codepage::ToUtf8(r.ReadString("Start Page"));
    }

    reg::samples::TPrefix prefix;
    TTempDir kb, userData;
};

TEST_F(CommandLineTest, ListAndSearchPrintTheTreeAndTheSearchPagesResults) {
    TResult list = Run({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "1  浏览器标题栏与主页修复  [category, 上级 -1]");
    EXPECT_NE(list.out.find("\n  3  将IE起始页设为空白页  [single, 上级 1]\n"), std::string::npos);

    TResult lines = Run({"list", "--json"});
    ASSERT_EQ(lines.status, 0);
    std::istringstream in(lines.out);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        const json item = json::parse(line);
        EXPECT_EQ(item.size(), 4u);
        if (item["id"] == 3) {
            EXPECT_EQ(item["title"], "将IE起始页设为空白页");
        }
        ++count;
    }
    EXPECT_GT(count, 200);

    // By description by default, by name with --by-name, exactly as typed; a
    // top-level category never comes up.
    TResult byName = Run({"search", "起始页", "--by-name", "--json"});
    ASSERT_EQ(byName.status, 0);
    EXPECT_NE(byName.out.find("\"id\":3,"), std::string::npos);
    EXPECT_EQ(byName.out.find("\"parent\":-1"), std::string::npos);
    TResult byIntro = Run({"search", "about:blank"});
    EXPECT_NE(byIntro.out.find("3  将IE起始页设为空白页\n"), std::string::npos);
    EXPECT_EQ(Run({"search", "zzz-nothing"}).out, "共有0条修复信息\n");
    EXPECT_EQ(Run({"search", "about_blank"}).out, "共有0条修复信息\n");  // "_" is no wildcard
}

TEST_F(CommandLineTest, ApplyAndRestoreWriteAndCaptureAsTheWindowDoes) {
    {
        reg::TRegistry r = Registry();
        ASSERT_TRUE(r.OpenKey(kMain, true));
        r.WriteString("Start Page", codepage::FromUtf8("http://劫持.test/").value());
    }
    // Declined on the terminal: nothing changes, exit 1.
    TResult declined = Run({"apply", "3"}, "n\n");
    EXPECT_EQ(declined.status, 1);
    EXPECT_EQ(declined.err, "您将要更新选定的内容!是否继续? [y/N] quorvane: 已取消, 没有更改任何内容\n");
    EXPECT_EQ(StartPage(reg::HKEY_CURRENT_USER), "http://劫持.test/");

    // Agreed: both rows written, the old value captured; no restart without --restart.
    TResult applied = Run({"apply", "3"}, "y\n");
    ASSERT_EQ(applied.status, 0) << applied.err;
    EXPECT_EQ(applied.out, "已应用: 3 将IE起始页设为空白页\n");
    EXPECT_EQ(StartPage(reg::HKEY_CURRENT_USER), "about:blank");
    EXPECT_EQ(StartPage(reg::HKEY_LOCAL_MACHINE), "about:blank");
    EXPECT_TRUE(prefix.commands.empty());

    // The start page rows of the user and the machine (the item also lifts the policies
    // that lock the home page, and repairs the 32-bit view).
    const json shown = json::parse(Run({"show", "3", "--json"}).out);
    const auto startPage = [&](const char* root) {
        for (const json& row : shown["rows"])
            if (row["root"] == root && row["path"] == kMain && row["keytype"] == "str") return row;
        return json();
    };
    const json user = startPage("HKEY_CURRENT_USER");
    EXPECT_EQ(user["oldinfo"], "http://劫持.test/");
    EXPECT_EQ(user["now"], (json{{"type", "REG_SZ"}, {"data", "about:blank"}}));
    EXPECT_EQ(startPage("HKEY_LOCAL_MACHINE")["oldinfo"], "http://www.example.com/");  // the sample machine value
    EXPECT_EQ(shown["rows"][0]["keytype"], "delval");
    EXPECT_EQ(shown["rows"][0]["now"], nullptr);  // no policy locks the home page here

    // A second application keeps the first capture; restore writes it back and
    // restarts Wine only with --restart.
    ASSERT_EQ(Run({"apply", "3", "--yes"}).status, 0);
    TResult restored = Run({"restore", "3", "--yes", "--restart"});
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(StartPage(reg::HKEY_CURRENT_USER), "http://劫持.test/");
    ASSERT_EQ(prefix.commands.size(), 1u);
    EXPECT_EQ(prefix.commands[0].argv, (std::vector<std::string>{"wineboot", "--restart"}));

    TResult text = Run({"show", "3"});
    EXPECT_NE(text.out.find("     现在: REG_SZ http://劫持.test/\n     应用前: http://劫持.test/\n"), std::string::npos)
        << text.out;
}

TEST_F(CommandLineTest, ValueChangeItemsTakeTheirValueAsThePageChecksIt) {
    // Item 80: a number from 2 to 10 on a track bar.
    TResult missing = Run({"apply", "80", "--yes"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "quorvane: 项目 80 需要 --value 给出 2 到 10 之间的整数\n");
    for (const char* bad : {"11", "1", "5x", "", "-3"}) {
        TResult r = Run({"apply", "80", "--value", bad, "--yes"});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_NE(r.err.find("之间的整数, 而不是"), std::string::npos) << bad;
    }
    ASSERT_EQ(Run({"apply", "80", "--value=7", "--yes"}).status, 0);
    const json shown = json::parse(Run({"show", "80", "--json"}).out);
    for (const json& row : shown["rows"]) {
        if (row["keytype"] == "dword") {
            EXPECT_EQ(row["now"], (json{{"type", "REG_DWORD"}, {"data", 7}}));
        }
    }
    // A fixed item takes no value.
    TResult fixed = Run({"apply", "3", "--value", "x", "--yes"});
    EXPECT_EQ(fixed.status, 1);
    EXPECT_EQ(fixed.err, "quorvane: 项目 3 写入固定的设置, 不接受 --value\n");
}

TEST_F(CommandLineTest, RefusalsExitOneAndBadCommandLinesTwo) {
    const std::string before = prefix.ReadFile("user.reg");
    struct TCase {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<TCase> cases = {
        {{"apply", "999", "-y"}, 1, "quorvane: 知识库中没有编号为 999 的项目\n"},
        {{"apply", "1", "-y"}, 1, "quorvane: 项目 1 \"浏览器标题栏与主页修复\" 是分类, 没有可应用的设置: 用 quorvane list 查看其中的项目\n"},
        {{"restore", "82", "-y"}, 1, "quorvane: 项目 82 \"开机启动项列表\" 是列表项目, 没有可应用的设置: 用 quorvane entries 82 查看其中的项, 用 quorvane delete-entries 删除\n"},
        {{"entries", "3"}, 1, "quorvane: 项目 3 \"将IE起始页设为空白页\" 不是列表项目, 没有可列出的项\n"},
        {{"apply"}, 2, "quorvane: 用法: quorvane apply ID [--value TEXT] [--yes] [--restart]\n用 quorvane --help 查看用法\n"},
        {{"apply", "3x"}, 2, "quorvane: 项目编号必须是整数: 3x\n用 quorvane --help 查看用法\n"},
        {{"list", "--value", "1"}, 2, "quorvane: 命令 list 没有选项 --value\n用 quorvane --help 查看用法\n"},
        {{"show", "3", "--force"}, 2, "quorvane: 未知的选项 --force\n用 quorvane --help 查看用法\n"},
        {{"apply", "3", "--value"}, 2, "quorvane: 选项 --value 后面缺少内容\n用 quorvane --help 查看用法\n"},
        {{"repair", "3"}, 2, "quorvane: 未知的命令 repair\n用 quorvane --help 查看用法\n"},
        {{"list", "--registry", "C:/x"}, 2,
         "quorvane: Unknown registry store 'C:/x': expected wine:FOLDER (a Wine prefix) or hive:FOLDER "
         "(Windows/System32/config)\n用 quorvane --help 查看用法\n"},
    };
    for (const TCase& c : cases) {
        const TResult r = Run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(prefix.ReadFile("user.reg"), before);

    // A knowledge base missing beside the program.
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunCommandLine({"list"}, "/nowhere/", {in, out, err}), 1);
    EXPECT_EQ(err.str(), "quorvane: 找不到知识库: /nowhere/ 中没有 vrqinfo.DAT\n");
    std::ostringstream help;
    EXPECT_EQ(RunCommandLine({"--help"}, "/nowhere/", {in, help, err}), 0);
    EXPECT_EQ(help.str(), UsageText());
}

TEST_F(CommandLineTest, AFailingRowIsNamedAndTheRunningServerRefused) {
    prefix.Chmod("system.reg", 0444);
    const TResult r = Run({"apply", "3", "--yes"});
    EXPECT_EQ(r.status, 1);
    // The machine's policy rows find nothing to delete; its start page cannot be written.
    EXPECT_EQ(r.err,
              "quorvane: 第 6 行注册表设置失败 (machine Software\\Microsoft\\Internet Explorer\\Main \"Start Page\" "
              "str): Failed to set data for 'Start Page'\n");
    prefix.Chmod("system.reg", 0644);

    prefix.serverRunning = true;
    const TResult refused = Run({"apply", "3", "--yes"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "quorvane: " + reg::WineServerRunningMessage(prefix.Dir()) + "\n");
}

TEST_F(CommandLineTest, EntriesAreListedPickedByNameAndDeletedAfterABackup) {
    for (const auto& [root, path] : std::vector<std::pair<std::uint32_t, std::string>>{
             {reg::HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
             {reg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"}}) {
        reg::TRegistry r = Registry();
        r.SetRootKey(root);
        ASSERT_TRUE(r.OpenKey(path, true));
        r.WriteString("Tool", "C:\\tool.exe");
        if (root == reg::HKEY_CURRENT_USER) r.WriteInteger("Only", 5);
    }
    const TResult listed = Run({"entries", "82"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out,
              "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Only  =  5\n"
              "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Tool  =  C:\\tool.exe\n"
              "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Tool  =  C:\\tool.exe\n"
              "共有3项\n");
    // The listing never creates the keys it looks at.
    EXPECT_EQ(prefix.ReadFile("system.reg").find("RunOnce"), std::string::npos);

    const TResult ambiguous = Run({"delete-entries", "82", "Tool", "--yes"});
    EXPECT_EQ(ambiguous.status, 1);
    EXPECT_EQ(ambiguous.err,
              "quorvane: 有多项名为 \"Tool\", 请写出完整的名称:\n"
              "  HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Tool\n"
              "  HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Tool\n");
    EXPECT_EQ(Run({"delete-entries", "82", "Nope", "--yes"}).err, "quorvane: 没有名为 \"Nope\" 的项\n");

    EXPECT_EQ(Run({"delete-entries", "82", "Only"}, "n\n").status, 1);
    const TResult deleted = Run(
        {"delete-entries", "82", "Only", "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Tool"},
        "是\n");
    ASSERT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_EQ(deleted.err, "您将要删除选定的2项!是否继续? [y/N] ");
    const std::string folder = userData.Dir() + "quorvane/backup/";
    const std::string said = "已删除2项。删除前的内容已保存在 " + folder + "item82-";
    ASSERT_EQ(deleted.out.substr(0, said.size()), said);
    const std::string tail = " ,可以用注册表编辑器或 reg import 导入恢复。\n";
    ASSERT_GT(deleted.out.size(), said.size() + tail.size());
    EXPECT_EQ(deleted.out.substr(deleted.out.size() - tail.size()), tail);
    const std::string backup = deleted.out.substr(said.size() - 7, deleted.out.size() - tail.size() - said.size() + 7);
    std::ifstream file(folder + backup, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string ascii;  // the UTF-16LE text, every character here being ASCII
    for (std::size_t k = 2; k < bytes.size(); k += 2) ascii += bytes[k];
    EXPECT_EQ(ascii,
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n\"Only\"=dword:00000005\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
              "\"Tool\"=\"C:\\\\tool.exe\"\r\n\r\n");
    EXPECT_EQ(Run({"entries", "82"}).out,
              "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Tool  =  C:\\tool.exe\n共有1项\n");
}

}  // namespace
}  // namespace quorvane::cli
