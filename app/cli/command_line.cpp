// The commands of Quorvane's command line.
#include "app/cli/command_line.h"

#include <algorithm>
#include <charconv>
#include <istream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "app/repair/entries.h"
#include "app/repair/knowledge_base.h"
#include "platform/codepage.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_text.h"

namespace quorvane::cli {

namespace reg = quorvane::registry;
using json = nlohmann::ordered_json;
using repair::TEntry;
using repair::TItem;

namespace {

// A bad command line: the message, then the pointer to --help, exit status 2.
class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A refusal or failure: the message, exit status 1.
class ERefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string Utf8(const std::string& gbk) { return codepage::ToUtf8(gbk); }

// The options and words of a command line.
struct TArguments {
    std::string command;
    std::vector<std::string> words;  // after the command
    std::map<std::string, std::string> values;  // --registry, --kb, --value
    std::vector<std::string> flags;             // --json, --by-name, --yes, --restart, --help

    bool Has(const std::string& flag) const { return std::find(flags.begin(), flags.end(), flag) != flags.end(); }
    const std::string* Value(const std::string& name) const {
        const auto it = values.find(name);
        return it == values.end() ? nullptr : &it->second;
    }
};

TArguments Parse(const std::vector<std::string>& args) {
    static const std::vector<std::string> kValued = {"--registry", "--kb", "--value"};
    static const std::vector<std::string> kFlags = {"--json", "--by-name", "--yes", "--restart", "--help"};
    TArguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "-h") arg = "--help";
            if (arg == "-y") arg = "--yes";
            std::string name = arg, value;
            const std::size_t eq = arg.find('=');
            const bool inline_ = eq != std::string::npos;
            if (inline_) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
            }
            if (std::find(kValued.begin(), kValued.end(), name) != kValued.end()) {
                if (!inline_) {
                    if (i + 1 >= args.size()) throw EUsage("选项 " + name + " 后面缺少内容");
                    value = args[++i];
                }
                if (parsed.values.count(name)) throw EUsage("选项 " + name + " 只能给一次");
                parsed.values[name] = value;
            } else if (std::find(kFlags.begin(), kFlags.end(), name) != kFlags.end() && !inline_) {
                parsed.flags.push_back(name);
            } else {
                throw EUsage("未知的选项 " + arg);
            }
            continue;
        }
        if (parsed.command.empty())
            parsed.command = arg;
        else
            parsed.words.push_back(arg);
    }
    return parsed;
}

// Refuses options the command does not take and a wrong count of words.
void Expect(const TArguments& a, const std::vector<std::string>& options, std::size_t minWords, std::size_t maxWords,
            const char* words) {
    for (const auto& [name, value] : a.values)
        if (name != "--registry" && name != "--kb" && std::find(options.begin(), options.end(), name) == options.end())
            throw EUsage("命令 " + a.command + " 没有选项 " + name);
    for (const std::string& flag : a.flags)
        if (std::find(options.begin(), options.end(), flag) == options.end())
            throw EUsage("命令 " + a.command + " 没有选项 " + flag);
    if (a.words.size() < minWords || a.words.size() > maxWords)
        throw EUsage(std::string("用法: quorvane ") + a.command + " " + words);
}

std::int32_t ItemId(const std::string& word) {
    std::int32_t id = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), id);
    if (ec != std::errc() || end != word.data() + word.size() || word.empty())
        throw EUsage("项目编号必须是整数: " + word);
    return id;
}

// Questions asked on the terminal: the apply and restore questions unless --yes
// answers them; the restart question only with --restart.
class TTerminalQuestions : public repair::TRepairQuestions {
public:
    TTerminalQuestions(TTerminal& terminal, bool yes, bool restart)
        : terminal_(terminal), yes_(yes), restart_(restart) {}

    bool Confirm(const std::string& question) override {
        const bool answer = Ask(question);
        if (!first_) first_ = answer;
        return answer;
    }
    // The answer to the first question (the one that lets the work start).
    bool FirstAnswer() const { return first_.value_or(false); }

private:
    bool Ask(const std::string& question) {
        const bool restartQuestion = question == repair::kRestartQuestion;
        if (restartQuestion && !restart_) return false;
        if (yes_) return true;
        terminal_.err << question << " [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(terminal_.in, answer)) {
            terminal_.err << "\n";
            return false;
        }
        while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
        return answer == "y" || answer == "Y" || answer == "yes" || answer == "是";
    }

    TTerminal& terminal_;
    bool yes_;
    bool restart_;
    std::optional<bool> first_;
};

std::string TypeName(std::uint32_t type) {
    switch (type) {
        case reg::REG_NONE: return "REG_NONE";
        case reg::REG_SZ: return "REG_SZ";
        case reg::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case reg::REG_BINARY: return "REG_BINARY";
        case reg::REG_DWORD: return "REG_DWORD";
        case reg::REG_MULTI_SZ: return "REG_MULTI_SZ";
        case reg::REG_QWORD: return "REG_QWORD";
        default: return "REG_" + std::to_string(type);
    }
}

json ItemJson(const TItem& item, bool withIntro) {
    json j = {{"id", item.id}, {"parent", item.parent}, {"type", Utf8(item.type)}, {"title", Utf8(item.title)}};
    if (withIntro) j["intro"] = Utf8(item.intro);
    return j;
}

class TCommands {
public:
    TCommands(const TArguments& args, const std::string& programDir, TTerminal terminal,
              repair::TRegistryStoreFactory openStore)
        : args_(args), terminal_(terminal), openStore_(std::move(openStore)) {
        if (const std::string* setting = args.Value("--registry")) {
            const std::string where = *setting;
            try {
                reg::ParseStoreLocation(where);  // a setting that names no store is a bad command line
            } catch (const reg::ERegistryError& e) {
                throw EUsage(e.what());
            }
            openStore_ = [where] { return reg::OpenStore(where); };
        }
        const std::string* kb = args.Value("--kb");
        kbDir_ = kb ? *kb : programDir;
    }

    int Run() {
        const std::string& c = args_.command;
        if (c == "list") return List();
        if (c == "show") return Show();
        if (c == "search") return Search();
        if (c == "apply") return Apply();
        if (c == "restore") return Restore();
        if (c == "entries") return Entries();
        if (c == "delete-entries") return DeleteEntries();
        throw EUsage("未知的命令 " + c);
    }

private:
    bool Json() const { return args_.Has("--json"); }

    repair::TKnowledgeBase& Kb() {
        if (!kb_) kb_ = std::make_unique<repair::TKnowledgeBase>(kbDir_);
        return *kb_;
    }

    const TItem& Item(std::int32_t id) {
        const TItem* item = Kb().Find(id);
        if (!item) throw ERefused("知识库中没有编号为 " + std::to_string(id) + " 的项目");
        return *item;
    }

    // An item that applies registry rows; categories and list items are refused.
    const TItem& RepairItem(std::int32_t id) {
        const TItem& item = Item(id);
        if (item.Lists())
            throw ERefused("项目 " + std::to_string(id) + " \"" + Utf8(item.title) +
                           "\" 是列表项目, 没有可应用的设置: 用 quorvane entries " + std::to_string(id) +
                           " 查看其中的项, 用 quorvane delete-entries 删除");
        if (!item.Applies())
            throw ERefused("项目 " + std::to_string(id) + " \"" + Utf8(item.title) +
                           "\" 是分类, 没有可应用的设置: 用 quorvane list 查看其中的项目");
        return item;
    }

    int List() {
        Expect(args_, {"--json"}, 0, 0, "[--json]");
        for (const TItem& item : Kb().Items()) {
            if (Json()) {
                terminal_.out << ItemJson(item, false).dump() << "\n";
            } else {
                terminal_.out << std::string(static_cast<std::size_t>(item.depth) * 2, ' ')
                              << item.id << "  " << Utf8(item.title) << "  [" << Utf8(item.type) << ", 上级 "
                              << item.parent << "]\n";
            }
        }
        return kDone;
    }

    int Search() {
        Expect(args_, {"--json", "--by-name"}, 1, 1, "TEXT [--by-name] [--json]");
        const std::vector<const TItem*> found = Kb().Search(args_.words[0], args_.Has("--by-name"));
        for (const TItem* item : found) {
            if (Json())
                terminal_.out << ItemJson(*item, true).dump() << "\n";
            else
                terminal_.out << item->id << "  " << Utf8(item->title) << "\n    " << Utf8(item->intro) << "\n";
        }
        if (!Json()) terminal_.out << "共有" << found.size() << "条修复信息\n";
        return kDone;
    }

    // What a row finds in the registry now: the value it names, or for "delkey" the
    // subkey; for a list item's row the key itself.
    json NowOf(reg::TRegistryStore& store, std::uint32_t root, const std::string& path, const std::string& keytype,
               const std::string& keyname) {
        const std::vector<std::u16string> parts = reg::text::SplitPath(reg::text::FromProgram(path));
        std::unique_ptr<reg::TStoreKey> key = store.OpenKey(root, parts, false);
        if (!key) return nullptr;
        const std::u16string name = reg::text::FromProgram(keyname);
        if (keytype == "values" || keytype == "subkeys") return json{{"type", "key"}};
        if (keytype == "delkey") {
            if (name.empty()) return json{{"type", "key"}};
            std::unique_ptr<reg::TStoreKey> at = std::move(key);
            for (const std::u16string& part : reg::text::SplitPath(name)) {
                at = at->OpenSubKey(part);
                if (!at) return nullptr;
            }
            return json{{"type", "key"}};
        }
        const std::optional<reg::TValue> value = key->QueryValue(name);
        if (!value) return nullptr;
        TEntry entry;
        entry.value = value;
        json now = {{"type", TypeName(value->type)}};
        if (value->type == reg::REG_DWORD && value->data.size() == 4)
            now["data"] = std::stol(entry.Data());
        else
            now["data"] = entry.Data();
        return now;
    }

    int Show() {
        Expect(args_, {"--json"}, 1, 1, "ID [--json]");
        const TItem& item = Item(ItemId(args_.words[0]));
        reruzo::TRERUZOTable& rows = Kb().Rows(item.id);
        json shown = ItemJson(item, true);
        shown["rows"] = json::array();
        std::unique_ptr<reg::TRegistryStore> store;
        std::uint32_t root = reg::HKEY_CURRENT_USER;
        for (rows.First(); !rows.Eof(); rows.Next()) {
            if (!store) store = openStore_();
            const auto field = [&](const char* name) -> json {
                if (rows.FieldByName(name).IsNull()) return nullptr;
                return Utf8(rows.FieldByName(name).AsString());
            };
            const std::string rootkey = rows.FieldByName("rootkey").AsString();
            if (const std::uint32_t named = repair::RootKeyOfRow(rootkey)) root = named;
            const std::string keytype = rows.FieldByName("keytype").AsString();
            json row = {{"rootkey", field("rootkey")}, {"root", repair::RootKeyName(root)},
                        {"path", field("path")},       {"keyname", field("keyname")},
                        {"keytype", field("keytype")}, {"info", field("info")},
                        {"bk1", field("bk1")},         {"bk2", field("bk2")},
                        {"oldinfo", field("oldinfo")}};
            row["now"] = NowOf(*store, root, rows.FieldByName("path").AsString(), keytype,
                               rows.FieldByName("keyname").AsString());
            shown["rows"].push_back(std::move(row));
        }
        if (Json()) {
            terminal_.out << shown.dump() << "\n";
            return kDone;
        }
        std::ostream& out = terminal_.out;
        out << "项目 " << item.id << ": " << Utf8(item.title) << "\n";
        out << "类型: " << Utf8(item.type);
        if (const TItem* parent = Kb().Find(item.parent)) out << "    分类: " << parent->id << " " << Utf8(parent->title);
        out << "\n介绍: " << Utf8(item.intro) << "\n";
        if (shown["rows"].empty()) {
            out << "注册表: (没有注册表行)\n";
            return kDone;
        }
        out << "注册表:\n";
        int n = 0;
        for (const json& row : shown["rows"]) {
            const auto text = [&](const char* name) {
                return row[name].is_null() ? std::string() : row[name].get<std::string>();
            };
            out << "  " << ++n << ". " << row["root"].get<std::string>() << "\\" << text("path") << "\n";
            const std::string keytype = text("keytype");
            if (keytype == "values" || keytype == "subkeys") {
                out << "     列出: " << (keytype == "values" ? "键值" : "子键") << "\n";
            } else {
                out << "     " << (keytype == "delkey" ? "子键" : "键值") << ": \"" << text("keyname") << "\"  操作: "
                    << keytype;
                if (keytype != "delkey" && keytype != "delval") out << "  写入: " << text("info");
                out << "\n";
            }
            const json& now = row["now"];
            out << "     现在: ";
            if (now.is_null())
                out << "(不存在)";
            else if (now["type"] == "key")
                out << "(键存在)";
            else
                out << now["type"].get<std::string>() << " " << (now["data"].is_string() ? now["data"].get<std::string>()
                                                                                         : now["data"].dump());
            out << "\n";
            if (keytype != "values" && keytype != "subkeys")
                out << "     应用前: " << (row["oldinfo"].is_null() ? "(没有记录)" : text("oldinfo")) << "\n";
        }
        return kDone;
    }

    // The value --value gives a value-change item, checked as the value-change page
    // checks its controls, in the tables' code page.
    std::string ChangeValue(const TItem& item) {
        const std::string* given = args_.Value("--value");
        if (item.type != "chg") {
            if (given)
                throw ERefused("项目 " + std::to_string(item.id) + " 写入固定的设置, 不接受 --value");
            return {};
        }
        reruzo::TRERUZOTable& rows = Kb().Rows(item.id);
        const std::string kind = rows.Eof() || rows.FieldByName("info").IsNull()
                                     ? std::string()
                                     : rows.FieldByName("info").AsString();
        const std::optional<std::string> stored = codepage::FromUtf8(given ? *given : std::string());
        if (!stored)
            throw ERefused("--value 中有 GBK 无法表示的字符: " + *given);
        std::string value = *stored;
        if (kind == "file") value = repair::FileOfCommandLine(value);
        if (kind == "task") {
            const std::int32_t low = repair::IntegerText(rows.FieldByName("bk1").AsString());
            const std::int32_t high = std::max(low, repair::IntegerText(rows.FieldByName("bk2").AsString()));
            std::int32_t v = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
            if (!given || ec != std::errc() || end != value.data() + value.size() || v < low || v > high)
                throw ERefused("项目 " + std::to_string(item.id) + " 需要 --value 给出 " + std::to_string(low) +
                               " 到 " + std::to_string(high) + " 之间的整数" +
                               (given ? ", 而不是 \"" + *given + "\"" : std::string()));
            value = std::to_string(v);
        }
        if (value.empty()) {
            static const std::map<std::string, std::string> kWhat = {
                {"dir", "一个文件夹"}, {"file", "一个文件"}, {"str", "一段文字"}};
            const auto what = kWhat.find(kind);
            throw ERefused(std::string("对不起,您还没有选择要更新为什么内容,请输入更新内容!") + " (用 --value 给出" +
                           (what == kWhat.end() ? std::string("新的内容") : what->second) + ")");
        }
        return value;
    }

    // Runs an application or restoration; an error names the row it stopped at.
    int RunItem(const TItem& item, bool apply) {
        const std::string value = apply ? ChangeValue(item) : std::string();
        reruzo::TRERUZOTable& rows = Kb().Rows(item.id);
        TTerminalQuestions questions(terminal_, args_.Has("--yes"), args_.Has("--restart"));
        repair::TRepairItem repairItem(rows, questions, openStore_);
        try {
            apply ? repairItem.Apply(value) : repairItem.Restore();
        } catch (const std::exception& e) {
            std::string message = e.what();
            if (const int row = repairItem.CurrentRow(); row > 0 && !rows.Eof()) {
                message = "第 " + std::to_string(row) + " 行注册表设置失败 (" +
                          Utf8(rows.FieldByName("rootkey").AsString()) + " " +
                          Utf8(rows.FieldByName("path").AsString()) + " \"" +
                          Utf8(rows.FieldByName("keyname").AsString()) + "\" " +
                          Utf8(rows.FieldByName("keytype").AsString()) + "): " + message;
            }
            throw ERefused(message);
        }
        if (!questions.FirstAnswer()) throw ERefused("已取消, 没有更改任何内容");
        terminal_.out << (apply ? "已应用" : "已还原") << ": " << item.id << " " << Utf8(item.title) << "\n";
        return kDone;
    }

    int Apply() {
        Expect(args_, {"--value", "--yes", "--restart"}, 1, 1, "ID [--value TEXT] [--yes] [--restart]");
        return RunItem(RepairItem(ItemId(args_.words[0])), true);
    }

    int Restore() {
        Expect(args_, {"--yes", "--restart"}, 1, 1, "ID [--yes] [--restart]");
        return RunItem(RepairItem(ItemId(args_.words[0])), false);
    }

    const TItem& ListItem(std::int32_t id) {
        const TItem& item = Item(id);
        if (!item.Lists())
            throw ERefused("项目 " + std::to_string(id) + " \"" + Utf8(item.title) +
                           "\" 不是列表项目, 没有可列出的项");
        return item;
    }

    static json EntryJson(const TEntry& entry) {
        json j = {{"key", entry.Key()},
                  {"name", entry.Name()},
                  {"kind", entry.subkey ? "subkey" : "value"},
                  {"type", entry.value ? json(TypeName(entry.value->type)) : json(nullptr)},
                  {"data", entry.value ? json(entry.Data()) : json(nullptr)}};
        return j;
    }

    int Entries() {
        Expect(args_, {"--json"}, 1, 1, "ID [--json]");
        const TItem& item = ListItem(ItemId(args_.words[0]));
        std::unique_ptr<reg::TRegistryStore> store = openStore_();
        const std::vector<TEntry> entries = repair::ListEntries(*store, Kb().Rows(item.id));
        for (const TEntry& entry : entries) {
            if (Json())
                terminal_.out << EntryJson(entry).dump() << "\n";
            else
                terminal_.out << entry.FullName() << (entry.value ? "  =  " + entry.Data() : std::string()) << "\n";
        }
        if (!Json()) terminal_.out << "共有" << entries.size() << "项\n";
        return kDone;
    }

    int DeleteEntries() {
        Expect(args_, {"--yes"}, 2, SIZE_MAX, "ID NAME... [--yes]");
        const TItem& item = ListItem(ItemId(args_.words[0]));
        std::unique_ptr<reg::TRegistryStore> store = openStore_();
        const std::vector<TEntry> picked = repair::PickEntries(
            repair::ListEntries(*store, Kb().Rows(item.id)),
            std::vector<std::string>(args_.words.begin() + 1, args_.words.end()));
        TTerminalQuestions questions(terminal_, args_.Has("--yes"), false);
        if (!questions.Confirm(repair::DeleteQuestion(picked.size()))) throw ERefused("已取消, 没有删除任何项");
        const std::string backup = repair::SaveBackup(*store, picked, item.id, repair::BackupFolder());
        repair::DeleteEntries(*store, picked);
        terminal_.out << repair::DeletedMessage(picked.size(), backup) << "\n";
        return kDone;
    }

    const TArguments& args_;
    TTerminal terminal_;
    repair::TRegistryStoreFactory openStore_;
    std::string kbDir_;
    std::unique_ptr<repair::TKnowledgeBase> kb_;
};

}  // namespace

std::string UsageText() {
    return "用法:\n"
           "  quorvane                                  打开窗口\n"
           "  quorvane list [--json]                    列出修复项目树: 编号、上级、类型、名称\n"
           "  quorvane show ID [--json]                 项目的名称、介绍和注册表行, 以及各行现在的值\n"
           "  quorvane search TEXT [--by-name] [--json] 查找介绍 (或 --by-name: 名称) 中含有 TEXT 的项目\n"
           "  quorvane apply ID [--value TEXT] [--yes] [--restart]\n"
           "                                            应用项目; 修改数值的项目要用 --value 给出新值\n"
           "  quorvane restore ID [--yes] [--restart]   写回第一次应用之前的值\n"
           "  quorvane entries ID [--json]              列出列表项目中的项 (启动项、浏览器菜单附加项)\n"
           "  quorvane delete-entries ID NAME... [--yes]\n"
           "                                            先把这些项备份到 .reg 文件, 再删除它们\n"
           "\n"
           "选项:\n"
           "  --registry wine:DIR   修复 DIR 中的 Wine 前缀\n"
           "  --registry hive:DIR   修复脱机 Windows 的 Windows/System32/config 文件夹\n"
           "  --kb DIR              使用 DIR 中的知识库 (vrqinfo、vrqdtl), 而不是程序所在的文件夹\n"
           "  --yes, -y             不询问, 直接执行\n"
           "  --restart             完成后重新启动 (Wine 前缀: wineboot --restart)\n"
           "  --json                每行一个 JSON 对象 (show: 一个对象)\n"
           "  --help, -h            显示本说明\n"
           "\n"
           "没有 --registry 时: $QUORVANE_REGISTRY (wine:DIR 或 hive:DIR), 否则 $WINEPREFIX,\n"
           "否则 ~/.wine, 否则 Quorvane 自己的注册表 ($XDG_DATA_HOME/quorvane/registry)。\n"
           "退出状态: 0 完成, 1 被拒绝或失败, 2 命令行有误。\n";
}

int RunCommandLine(const std::vector<std::string>& args, const std::string& programDir, TTerminal terminal,
                   repair::TRegistryStoreFactory openStore) {
    try {
        const TArguments parsed = Parse(args);
        if (parsed.Has("--help")) {
            terminal.out << UsageText();
            return kDone;
        }
        if (parsed.command.empty()) throw EUsage("缺少命令");
        return TCommands(parsed, programDir, terminal, std::move(openStore)).Run();
    } catch (const EUsage& e) {
        terminal.err << "quorvane: " << e.what() << "\n用 quorvane --help 查看用法\n";
        return kBadCommandLine;
    } catch (const std::exception& e) {
        terminal.err << "quorvane: " << e.what() << "\n";
        return kFailed;
    }
}

}  // namespace quorvane::cli
