// Fuzz target for the reader of Wine's registry files (system.reg, user.reg,
// userdef.reg): any bytes are read as such a file and either give a hive or raise
// ERegistryError. A hive then has to hold to what the registry store relies on:
//   - written out unchanged, it gives back the input byte for byte;
//   - every key and value can be looked up by the names the hive lists;
//   - its keys and values written into a new hive, as the store writes them, read
//     back as the same keys and values;
//   - after changes to the hive read (a value set and one deleted in every key, a
//     subtree deleted, a path created), its text reads again, with those changes.
// Anything else (a crash, a sanitizer report, another exception) is a fault.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry/registry_store.h"
#include "platform/registry/registry_text.h"
#include "platform/registry/registry_wine_file.h"

namespace {

using quorvane::registry::ERegistryError;
using quorvane::registry::REG_BINARY;
using quorvane::registry::REG_SZ;
using quorvane::registry::TValue;
using quorvane::registry::text::SameName;
using quorvane::registry::wine::kTicksTo1970;
using quorvane::registry::wine::TFileTime;
using quorvane::registry::wine::TWineHive;

constexpr TFileTime kNow = kTicksTo1970 + 1700000000ull * 10000000ull;
constexpr std::u16string_view kSetName = u"fuzz set";
constexpr std::size_t kMaxKeysChanged = 64;

struct TKeyRecord {
    std::vector<std::u16string> path;
    std::vector<std::pair<std::u16string, TValue>> values;
};

[[noreturn]] void Fault() { __builtin_trap(); }

// Every key below `key` (the key itself first) with its values, as the hive lists them.
void Collect(const TWineHive& hive, const TWineHive::TKey* key, std::vector<std::u16string>& path,
             std::vector<TKeyRecord>& out) {
    TKeyRecord record{path, {}};
    (void)hive.IsLink(key);
    for (const std::u16string& name : hive.ValueNames(key)) {
        const auto value = hive.Value(key, name);
        if (!value) Fault();  // a listed value that cannot be found by its name
        record.values.emplace_back(name, *value);
    }
    out.push_back(std::move(record));
    for (const std::u16string& name : hive.ChildNames(key)) {
        const TWineHive::TKey* child = hive.Child(key, name);
        if (!child || hive.Name(child) != name) Fault();  // a listed key that cannot be found
        path.push_back(name);
        Collect(hive, child, path, out);
        path.pop_back();
    }
}

const TWineHive::TKey* Find(const TWineHive& hive, const std::vector<std::u16string>& path) {
    const TWineHive::TKey* key = hive.Root();
    for (const std::u16string& name : path) {
        key = hive.Child(key, name);
        if (!key) return nullptr;
    }
    return key;
}

// The key `path`, created where it is missing.
TWineHive::TKey* Make(TWineHive& hive, const std::vector<std::u16string>& path) {
    TWineHive::TKey* key = hive.Root();
    for (std::size_t i = 0; i < path.size(); ++i) {
        TWineHive::TKey* child = hive.Child(key, path[i]);
        if (!child) return hive.CreatePath(key, {path.begin() + static_cast<std::ptrdiff_t>(i), path.end()}, kNow);
        key = child;
    }
    return key;
}

TWineHive Reread(const TWineHive& hive) {
    try {
        return TWineHive::Parse(hive.Serialize(), "written.reg");
    } catch (const ERegistryError&) {
        Fault();  // a file written by the hive that its own reader refuses
    }
}

// Every key and value of `records` is in `hive` with the same data.
void ExpectHolds(const TWineHive& hive, const std::vector<TKeyRecord>& records) {
    for (const TKeyRecord& record : records) {
        const TWineHive::TKey* key = Find(hive, record.path);
        if (!key) Fault();
        for (const auto& [name, value] : record.values) {
            if (hive.Value(key, name) != value) Fault();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view contents(reinterpret_cast<const char*>(data), size);
    std::optional<TWineHive> parsed;
    try {
        parsed.emplace(TWineHive::Parse(contents, "fuzz.reg"));
    } catch (const ERegistryError&) {
        return 0;
    }
    TWineHive& hive = *parsed;
    if (hive.Serialize() != contents) Fault();  // unchanged lines are kept as read

    std::vector<TKeyRecord> records;
    std::vector<std::u16string> path;
    Collect(hive, hive.Root(), path, records);
    // Each new key is placed among the hive's sections one by one; the first keys
    // are enough, and a few KB of input can name hundreds.
    if (records.size() > kMaxKeysChanged) records.resize(kMaxKeysChanged);

    // The same keys and values written as the store writes them.
    TWineHive copy(hive.Base());
    for (const TKeyRecord& record : records) {
        TWineHive::TKey* key = Make(copy, record.path);
        for (const auto& [name, value] : record.values) copy.SetValue(key, name, value, kNow);
    }
    const TWineHive reread = Reread(copy);
    if (reread.Base() != hive.Base()) Fault();
    ExpectHolds(reread, records);

    // Changes to the hive read: in every key a value set and the first other one
    // deleted.
    const TValue text{REG_SZ, {'o', 0, 'k', 0, 0, 0}};
    const TValue bytes{REG_BINARY, std::vector<std::uint8_t>(40, 0xA5)};
    struct TChange {
        TValue set;
        std::optional<std::u16string> deleted;
    };
    std::vector<TChange> changes;
    for (TKeyRecord& record : records) {
        TWineHive::TKey* key = const_cast<TWineHive::TKey*>(Find(hive, record.path));
        if (!key) Fault();
        TChange change{record.values.size() % 2 ? text : bytes, std::nullopt};
        hive.SetValue(key, kSetName, change.set, kNow);
        std::erase_if(record.values, [](const auto& v) { return SameName(v.first, kSetName); });
        if (!record.values.empty()) {
            change.deleted = record.values.front().first;
            if (!hive.DeleteValue(key, *change.deleted, kNow)) Fault();
            record.values.erase(record.values.begin());
        }
        changes.push_back(std::move(change));
    }
    const TWineHive changed = Reread(hive);
    ExpectHolds(changed, records);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const TWineHive::TKey* key = Find(changed, records[i].path);
        if (changed.Value(key, kSetName) != changes[i].set) Fault();
        if (changes[i].deleted && changed.Value(key, *changes[i].deleted)) Fault();
    }

    // A subtree deleted, and a new path below the root.
    const std::vector<std::u16string> top = hive.ChildNames(hive.Root());
    if (!top.empty() && !hive.DeleteTree(hive.Root(), top.front(), kNow)) Fault();
    TWineHive::TKey* made = Make(hive, {u"Fuzz", u"Made"});
    hive.SetValue(made, u"", text, kNow);
    const TWineHive last = Reread(hive);
    const TWineHive::TKey* found = Find(last, {u"Fuzz", u"Made"});
    if (!found || last.Value(found, u"") != text) Fault();
    return 0;
}
