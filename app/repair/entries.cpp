// Listing, backing up and deleting the entries of a list item.
#include "app/repair/entries.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <utility>

#include "app/repair/repair_item.h"
#include "components/component_text.h"
#include "engine/errors/engine_errors.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_files.h"
#include "platform/registry/registry_text.h"

namespace quorvane::repair {

namespace reg = quorvane::registry;
namespace text = quorvane::registry::text;

namespace {

std::string Joined(const std::vector<std::u16string>& path) {
    std::string joined;
    for (const std::u16string& part : path) joined += "\\" + text::ToUtf8(part);
    return joined;
}

bool IsText(std::uint32_t type) { return type == reg::REG_SZ || type == reg::REG_EXPAND_SZ; }

// The number a REG_DWORD value of four bytes holds (little-endian); none for another
// type or length.
std::optional<std::uint32_t> DwordOf(const reg::TValue& value) {
    if (value.type != reg::REG_DWORD || value.data.size() != 4) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | value.data[static_cast<std::size_t>(i)];
    return v;
}

// The value's string without its terminating zero, when it is a plain string a .reg
// file can hold in quotes: one terminating zero, no other zero, no control character.
std::optional<std::u16string> QuotableString(const reg::TValue& value) {
    if (value.type != reg::REG_SZ || value.data.size() % 2 != 0 || value.data.size() < 2) return std::nullopt;
    std::u16string s = text::FromBytes(value.data);
    if (s.back() != u'\0') return std::nullopt;
    s.pop_back();
    for (char16_t c : s)
        if (c < 0x20) return std::nullopt;
    return s;
}

std::u16string Quoted(std::u16string_view s) {
    std::u16string out = u"\"";
    for (char16_t c : s) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out + u"\"";
}

// One value as the lines of a .reg file, CRLF at the end; long hexadecimal data
// continues on the next line after a backslash, as the registry editor writes it.
std::u16string ValueLines(std::u16string_view name, const reg::TValue& value) {
    std::u16string line = name.empty() ? u"@=" : Quoted(name) + u"=";
    if (const std::optional<std::u16string> s = QuotableString(value)) return line + Quoted(*s) + u"\r\n";
    if (const std::optional<std::uint32_t> v = DwordOf(value)) {
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08x", *v);
        return line + u"dword:" + text::FromUtf8(digits) + u"\r\n";
    }
    char prefix[16];
    if (value.type == reg::REG_BINARY)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    line += text::FromUtf8(prefix);
    std::u16string out;
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        line += static_cast<char16_t>(kDigits[value.data[i] >> 4]);
        line += static_cast<char16_t>(kDigits[value.data[i] & 15]);
        if (i + 1 < value.data.size()) {
            line += u',';
            if (line.size() > 76) {
                out += line + u"\\\r\n";
                line = u"  ";
            }
        }
    }
    return out + line + u"\r\n";
}

// The key's section and its values, then every subkey's, depth first.
void KeyLines(reg::TStoreKey& key, const std::u16string& keyPath, std::u16string& out) {
    out += u"\r\n[" + keyPath + u"]\r\n";
    for (const std::u16string& name : key.ValueNames())
        if (const std::optional<reg::TValue> value = key.QueryValue(name)) out += ValueLines(name, *value);
    for (const std::u16string& name : key.SubKeyNames())
        if (std::unique_ptr<reg::TStoreKey> child = key.OpenSubKey(name))
            KeyLines(*child, keyPath + u"\\" + name, out);
}

std::unique_ptr<reg::TStoreKey> OpenHolder(reg::TRegistryStore& store, const TEntry& entry) {
    return store.OpenKey(entry.root, entry.path, false);
}

}  // namespace

std::string RootKeyName(std::uint32_t root) {
    switch (root) {
        case reg::HKEY_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
        case reg::HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
        case reg::HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
        case reg::HKEY_USERS: return "HKEY_USERS";
        case reg::HKEY_CURRENT_CONFIG: return "HKEY_CURRENT_CONFIG";
        case reg::HKEY_DYN_DATA: return "HKEY_DYN_DATA";
        default: return {};
    }
}

std::uint32_t RootKeyOfRow(const std::string& name) {
    static const std::pair<const char*, std::uint32_t> kRoots[] = {
        {"root", reg::HKEY_CLASSES_ROOT}, {"currusr", reg::HKEY_CURRENT_USER}, {"machine", reg::HKEY_LOCAL_MACHINE},
        {"usr", reg::HKEY_USERS},         {"config", reg::HKEY_CURRENT_CONFIG}, {"data", reg::HKEY_DYN_DATA}};
    for (const auto& [text, root] : kRoots)
        if (name == text) return root;
    return 0;
}

std::string TEntry::Key() const { return RootKeyName(root) + Joined(path); }

std::string TEntry::Name() const { return name.empty() && !subkey ? "(默认)" : text::ToUtf8(name); }

std::string TEntry::FullName() const { return Key() + "\\" + Name(); }

std::string TEntry::Data() const {
    if (!value) return {};
    if (IsText(value->type)) {
        std::u16string s = text::FromBytes(value->data);
        if (const std::size_t zero = s.find(u'\0'); zero != std::u16string::npos) s.resize(zero);
        return text::ToUtf8(s);
    }
    if (const std::optional<std::uint32_t> v = DwordOf(*value))
        return std::to_string(static_cast<std::int32_t>(*v));  // as rows write and capture it
    return EncodeBinaryText(value->data);
}

std::vector<TEntry> ListEntries(reg::TRegistryStore& store, reruzo::TRERUZODataSet& rows) {
    std::vector<TEntry> entries;
    for (rows.First(); !rows.Eof(); rows.Next()) {
        const std::string kind = rows.FieldByName("keytype").AsString();
        const std::uint32_t root = RootKeyOfRow(rows.FieldByName("rootkey").AsString());
        if ((kind != "values" && kind != "subkeys") || root == 0) continue;
        const std::vector<std::u16string> path =
            text::SplitPath(text::FromProgram(rows.FieldByName("path").AsString()));
        std::unique_ptr<reg::TStoreKey> key = store.OpenKey(root, path, false);
        if (!key) continue;
        if (kind == "values") {
            for (const std::u16string& name : key->ValueNames())
                entries.push_back({root, path, name, false, key->QueryValue(name)});
        } else {
            for (const std::u16string& name : key->SubKeyNames()) {
                std::unique_ptr<reg::TStoreKey> child = key->OpenSubKey(name);
                entries.push_back({root, path, name, true, child ? child->QueryValue(u"") : std::nullopt});
            }
        }
    }
    rows.First();
    return entries;
}

std::vector<TEntry> PickEntries(const std::vector<TEntry>& entries, const std::vector<std::string>& names) {
    std::vector<TEntry> picked;
    for (const std::string& name : names) {
        std::vector<const TEntry*> matches;
        for (const TEntry& entry : entries)
            if (entry.FullName() == name) matches.push_back(&entry);
        if (matches.empty())
            for (const TEntry& entry : entries)
                if (entry.Name() == name) matches.push_back(&entry);
        if (matches.empty()) throw reruzo::EDatabaseError(reruzo::FormatText("没有名为 \"%s\" 的项", name));
        if (matches.size() > 1) {
            std::string message = reruzo::FormatText("有多项名为 \"%s\", 请写出完整的名称:", name);
            for (const TEntry* entry : matches) message += "\n  " + entry->FullName();
            throw reruzo::EDatabaseError(message);
        }
        const bool again = std::any_of(picked.begin(), picked.end(),
                                       [&](const TEntry& e) { return e.FullName() == matches[0]->FullName(); });
        if (!again) picked.push_back(*matches[0]);
    }
    return picked;
}

std::string RegFileText(reg::TRegistryStore& store, const std::vector<TEntry>& entries) {
    std::u16string out = u"Windows Registry Editor Version 5.00\r\n";
    for (const TEntry& entry : entries) {
        const std::u16string keyPath = text::FromUtf8(entry.Key());
        std::unique_ptr<reg::TStoreKey> holder = OpenHolder(store, entry);
        if (!holder) continue;
        if (entry.subkey) {
            if (std::unique_ptr<reg::TStoreKey> key = holder->OpenSubKey(entry.name))
                KeyLines(*key, keyPath + u"\\" + entry.name, out);
        } else if (const std::optional<reg::TValue> value = holder->QueryValue(entry.name)) {
            out += u"\r\n[" + keyPath + u"]\r\n" + ValueLines(entry.name, *value);
        }
    }
    out += u"\r\n";
    const std::vector<std::uint8_t> bytes = text::ToBytes(out, false);
    return std::string("\xFF\xFE") + std::string(bytes.begin(), bytes.end());
}

std::string SaveBackup(reg::TRegistryStore& store, const std::vector<TEntry>& entries, std::int32_t itemId,
                       const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = folder + "/item" + std::to_string(itemId) + "-" + stamp;
    std::string path = base + ".reg";
    for (int n = 2; std::filesystem::exists(path, ec); ++n) path = base + "-" + std::to_string(n) + ".reg";
    if (!reg::files::SaveAtomically(path, RegFileText(store, entries)))
        throw reruzo::EDatabaseError(reruzo::FormatText("无法写入备份文件 %s, 没有删除任何项", path));
    return path;
}

std::string DeleteQuestion(std::size_t count) {
    return "您将要删除选定的" + std::to_string(count) + "项!是否继续?";
}

std::string DeletedMessage(std::size_t count, const std::string& backup) {
    return "已删除" + std::to_string(count) + "项。删除前的内容已保存在 " + backup +
           " ,可以用注册表编辑器或 reg import 导入恢复。";
}

std::string BackupFolder() { return reg::UserDataFolder() + "/backup"; }

void DeleteEntries(reg::TRegistryStore& store, const std::vector<TEntry>& entries) {
    for (const TEntry& entry : entries) {
        std::unique_ptr<reg::TStoreKey> holder = OpenHolder(store, entry);
        const bool deleted =
            holder && (entry.subkey ? holder->DeleteSubKey(entry.name) : holder->DeleteValue(entry.name));
        if (!deleted) throw reg::ERegistryError("Cannot delete " + entry.FullName());
    }
    store.Flush();
}

}  // namespace quorvane::repair
