// Tests of the knowledge-base compiler: malformed sources are refused with file and
// line, and the shipped knowledge base compiles into tables with a sound hierarchy.
#include "tools/kbbuild/kb_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "engine/index/index_build.h"
#include "tests/support/read_table.h"
#include "tests/support/temp_dir.h"

namespace quorvane::kb {
namespace {

using quorvane::testing::ReadTable;
using quorvane::testing::TTempDir;

const char* kItems =
    "# comment\n"
    "id: 1\nparent: -1\nimgid: 0\ntype: category\ntitle: 浏览器修复\nintro: 类别\n"
    "\n"
    "id: 2\nparent: 1\nimgid: 1\ntype: single\ntitle: 恢复起始页\nintro: 把起始页设为空白页。\nwindows: XP-11\n";
const char* kDetails =
    "keyid: 0\noldinfo: no\ninfo:\n"
    "\n"
    "keyid: 2\nrootkey: currusr\npath: Software\\Microsoft\\Internet Explorer\\Main\n"
    "keyname: Start Page\nkeytype: str\ninfo: about:blank\n";

void WriteText(const TTempDir& dir, const std::string& name, const std::string& text) {
    std::ofstream(dir.File(name), std::ios::binary) << text;
}

std::string CompileError(const std::string& items, const std::string& details) {
    TTempDir src, out;
    WriteText(src, "vrqinfo.txt", items);
    WriteText(src, "vrqdtl.txt", details);
    try {
        CompileKnowledgeBase(src.Dir(), out.Dir());
    } catch (const TSourceError& e) {
        // Report the message without the temporary folder.
        const std::string m = e.what();
        return m.substr(m.rfind('/') + 1);
    }
    return "";
}

TEST(KbSource, SmallSourceCompilesIntoBothTables) {
    TTempDir src, out;
    WriteText(src, "vrqinfo.txt", kItems);
    WriteText(src, "vrqdtl.txt", kDetails);
    const auto result = CompileKnowledgeBase(src.Dir(), out.Dir());
    EXPECT_EQ(result.items, 2);
    EXPECT_EQ(result.details, 2);
    auto info = ReadTable(out.Dir(), "vrqinfo");
    ASSERT_EQ(info.records.size(), 2u);
    EXPECT_EQ(info.Integer(1, "id"), 2);
    EXPECT_EQ(info.Integer(1, "parent"), 1);
    // Stored in GBK: "恢复起始页" is 10 bytes.
    const std::string title = info.Text(1, "title");
    EXPECT_EQ(title, "\xBB\xD6\xB8\xB4\xC6\xF0\xCA\xBC\xD2\xB3");
    EXPECT_EQ(GbkToUtf8(title), "恢复起始页");
    auto dtl = ReadTable(out.Dir(), "vrqdtl");
    ASSERT_EQ(dtl.records.size(), 2u);
    EXPECT_EQ(dtl.Text(0, "oldinfo"), "no");
    EXPECT_TRUE(dtl.IsNull(0, "info"));      // an empty password is NULL
    EXPECT_TRUE(dtl.IsNull(1, "oldinfo"));   // nothing captured yet
    EXPECT_EQ(dtl.Integer(1, "id"), 2);
    EXPECT_EQ(dtl.Text(1, "info"), "about:blank");
    // Nothing but the two tables is left in the output folder.
    EXPECT_FALSE(std::filesystem::exists(out.File(".kbbuild")));
}

TEST(KbSource, MalformedSourcesNameFileAndLine) {
    EXPECT_EQ(CompileError("id 1\n", kDetails), "vrqinfo.txt:1: expected 'name: value'");
    EXPECT_EQ(CompileError("id:1\n", kDetails), "vrqinfo.txt:1: expected a blank after ':'");
    EXPECT_EQ(CompileError("id: 1\nname: x\n", kDetails), "vrqinfo.txt:2: unknown field 'name'");
    EXPECT_EQ(CompileError("id: 1\nid: 2\n", kDetails),
              "vrqinfo.txt:2: the field 'id' appears twice in one block");
    EXPECT_EQ(CompileError("id: 1\nparent: -1\nimgid: 0\ntype: x\nintro: y\n", kDetails),
              "vrqinfo.txt:1: the field 'title' is missing");
    EXPECT_EQ(CompileError("id: 1\nparent: 5\nimgid: 0\ntype: x\ntitle: t\nintro: y\n", kDetails),
              "vrqinfo.txt:2: the parent 5 is not defined above");
    EXPECT_EQ(CompileError("id: 1\nparent: -1\nimgid: 3\ntype: x\ntitle: t\nintro: y\n", kDetails),
              "vrqinfo.txt:3: imgid must be 0, 1 or 2");
    EXPECT_EQ(CompileError("id: 1a\n", kDetails),
              "vrqinfo.txt:1: '1a' is not a valid integer for 'id'");
}

TEST(KbSource, TextsThatDoNotFitAreRefused) {
    // 21 Chinese characters are 42 GBK bytes, two more than a title holds.
    std::string longTitle;
    for (int i = 0; i < 21; ++i) longTitle += "修";
    EXPECT_EQ(CompileError("id: 1\nparent: -1\nimgid: 0\ntype: x\ntitle: " + longTitle +
                               "\nintro: y\n",
                           kDetails),
              "vrqinfo.txt:5: the text of 'title' takes 42 bytes in GBK; at most 40 fit");
    EXPECT_EQ(CompileError("id: 1\nparent: -1\nimgid: 0\ntype: x\ntitle: 笑\xF0\x9F\x98\x80\nintro: y\n",
                           kDetails),
              "vrqinfo.txt:5: the text of 'title' has characters outside GBK");
}

TEST(KbSource, DetailRowsAreChecked) {
    EXPECT_EQ(CompileError(kItems, "keyid: 2\nrootkey: currusr\npath: a\nkeyname: b\nkeytype: str\n"),
              "vrqdtl.txt:1: exactly one password row (keyid 0) is needed, found 0");
    EXPECT_EQ(CompileError(kItems, std::string(kDetails) + "\nkeyid: 9\n"),
              "vrqdtl.txt:12: no repair item has the id 9");
    EXPECT_EQ(CompileError(kItems, std::string(kDetails) + "\nkeyid: 1\n"),
              "vrqdtl.txt:12: the item 1 of type 'category' takes no registry rows");
    EXPECT_EQ(CompileError(kItems, std::string(kDetails) +
                                       "\nkeyid: 2\nrootkey: HKCU\npath: a\nkeyname: b\nkeytype: str\n"),
              "vrqdtl.txt:13: 'HKCU' is not a valid root key");
    EXPECT_EQ(CompileError(kItems, std::string(kDetails) +
                                       "\nkeyid: 2\nrootkey: currusr\npath: a\nkeyname: b\n"
                                       "keytype: dword\ninfo: 4294967296\n"),
              "vrqdtl.txt:17: '4294967296' is not a valid integer value");
    EXPECT_EQ(CompileError(kItems, "keyid: 0\noldinfo: maybe\n"),
              "vrqdtl.txt:2: 'maybe' is not a valid password switch (yes or no)");
}

TEST(KbSource, LeavesNameTheirWindowsAndWarnBeforeTurningProtectionsOff) {
    const std::string category = "id: 1\nparent: -1\nimgid: 0\ntype: category\ntitle: 类\nintro: 类别\n\n";
    const auto leaf = [&](const std::string& intro, const std::string& windows) {
        return category + "id: 2\nparent: 1\nimgid: 1\ntype: single\ntitle: 项\nintro: " + intro +
               (windows.empty() ? std::string() : "\nwindows: " + windows) + "\n";
    };
    const std::string password = "keyid: 0\noldinfo: no\ninfo:\n";
    EXPECT_EQ(CompileError(leaf("说明", ""), password), "vrqinfo.txt:8: the field 'windows' is missing");
    EXPECT_EQ(CompileError(leaf("说明", "XP, 7-11"), password), "");
    EXPECT_EQ(CompileError(leaf("说明", "10-8"), password), "vrqinfo.txt:14: the range '10-8' runs backwards");
    EXPECT_EQ(CompileError(leaf("说明", "Windows 10"), password),
              "vrqinfo.txt:14: 'Windows 10' is not a Windows version (one of 95, 98, ME, NT4, 2000, XP, 2003, "
              "Vista, 7, 8, 8.1, 10, 11, or a range such as XP-11)");
    // Old Windows only: the description has to say so.
    EXPECT_EQ(CompileError(leaf("修复菜单", "98, ME"), password),
              "vrqinfo.txt:13: an item only for Windows 95, 98 or ME says so in its description");
    EXPECT_EQ(CompileError(leaf("修复菜单(仅98/ME)", "98, ME"), password), "");

    // Turning User Account Control off needs a warning first; turning it on does not.
    const std::string uac = password +
                            "\nkeyid: 2\nrootkey: machine\npath: Software\\Microsoft\\Windows\\CurrentVersion\\"
                            "Policies\\System\nkeyname: enablelua\nkeytype: dword\ninfo: ";
    EXPECT_EQ(CompileError(leaf("关闭用户帐户控制", "Vista-11"), uac + "0\n"),
              "vrqdtl.txt:9: the item 2 turns a protection off (enablelua): its description must warn (警告) first");
    EXPECT_EQ(CompileError(leaf("警告:关闭后系统更易受攻击", "Vista-11"), uac + "0\n"), "");
    EXPECT_EQ(CompileError(leaf("打开用户帐户控制", "Vista-11"), uac + "1\n"), "");
    // Expandable strings are a key type of their own.
    EXPECT_EQ(CompileError(leaf("文档", "XP-11"),
                           password + "\nkeyid: 2\nrootkey: currusr\npath: a\nkeyname: Personal\nkeytype: expand\n"
                                      "info: %USERPROFILE%\\Documents\n"),
              "");
}

TEST(KbSource, ListItemsNameTheKeysTheyList) {
    const std::string items = std::string(kItems) + "\nid: 3\nparent: 1\nimgid: 1\ntype: list\ntitle: 列表\nintro: 列出\nwindows: 10, 11\n";
    const std::string listRow = "\nkeyid: 3\nrootkey: machine\npath: Software\\Run\nkeyname:\nkeytype: ";
    EXPECT_EQ(CompileError(items, std::string(kDetails) + listRow + "values\n" + listRow + "subkeys\n"), "");
    EXPECT_EQ(CompileError(items, std::string(kDetails) + listRow + "str\n"),
              "vrqdtl.txt:16: 'str' is not a valid key type of a list item");
    EXPECT_EQ(CompileError(items, std::string(kDetails) +
                                      "\nkeyid: 2\nrootkey: currusr\npath: a\nkeyname: b\nkeytype: values\n"),
              "vrqdtl.txt:16: 'values' is not a valid key type");
}

// The knowledge base that ships with the program.
TEST(KbSource, ShippedKnowledgeBaseHasASoundTree) {
    TTempDir out;
    const auto result = CompileKnowledgeBase(QUORVANE_KB_SOURCE_DIR, out.Dir());
    auto info = ReadTable(out.Dir(), "vrqinfo");
    auto dtl = ReadTable(out.Dir(), "vrqdtl");
    ASSERT_EQ(static_cast<int>(info.records.size()), result.items);

    std::map<int, int> parentOf;
    std::map<int, std::string> typeOf;
    int topLevel = 0, leaves = 0;
    for (std::size_t row = 0; row < info.records.size(); ++row) {
        const int id = static_cast<int>(info.Integer(row, "id"));
        const int parent = static_cast<int>(info.Integer(row, "parent"));
        parentOf[id] = parent;
        typeOf[id] = info.Text(row, "type");
        if (parent == -1) ++topLevel;
        if (typeOf[id] == "single" || typeOf[id] == "chg" || typeOf[id] == "list") ++leaves;
        EXPECT_FALSE(info.Text(row, "title").empty());
    }
    EXPECT_GE(topLevel, 10);
    EXPECT_GE(leaves, 30);
    for (const auto& [id, parent] : parentOf) {
        // Every chain of parents ends at the top without a cycle.
        int p = parent, steps = 0;
        while (p != -1 && steps++ < 100) {
            ASSERT_TRUE(parentOf.count(p)) << "item " << id << " has a missing ancestor " << p;
            p = parentOf[p];
        }
        EXPECT_EQ(p, -1) << id;
    }
    int passwordRows = 0;
    std::set<int> itemsWithRows;
    for (std::size_t row = 0; row < dtl.records.size(); ++row) {
        const int keyid = static_cast<int>(dtl.Integer(row, "keyid"));
        if (keyid == 0) {
            ++passwordRows;
            EXPECT_EQ(dtl.Text(row, "oldinfo"), "no");
            EXPECT_TRUE(dtl.IsNull(row, "info"));
            continue;
        }
        ASSERT_TRUE(typeOf.count(keyid)) << keyid;
        itemsWithRows.insert(keyid);
        EXPECT_TRUE(dtl.IsNull(row, "oldinfo"));
    }
    EXPECT_EQ(passwordRows, 1);
    // Both tables ship with index files that agree with their records.
    for (const char* table : {"vrqinfo", "vrqdtl"}) {
        reruzo::TDataFile data(out.Dir(), table);
        data.Open();
        reruzo::TIndexFile index(out.Dir(), table);
        index.Open();
        index.CheckVersion();
        index.Validate(data.Fields());
        EXPECT_EQ(reruzo::CheckTableIndexes(data, index), std::vector<std::string>{}) << table;
    }
    for (const auto& [id, type] : typeOf) {
        if (type == "single" || type == "chg") {
            EXPECT_TRUE(itemsWithRows.count(id)) << id;
        }
    }
}

}  // namespace
}  // namespace quorvane::kb
