// Creating a table's index file from its records, adding and freeing one index, and
// checking an index file against the records.
#include "engine/index/index_build.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_tree.h"
#include "engine/storage/field_text.h"

namespace reruzo {
namespace {

struct TSlotIndex {
    int slot;
    TKeyLayout layout;
};

std::vector<TSlotIndex> UsedSlots(const TIndexFile& index, const TDataFile& data) {
    std::vector<TSlotIndex> out;
    const TIndexHeader& h = index.Header();
    auto add = [&](int slot) {
        out.push_back({slot, MakeKeyLayout(h.Slots[static_cast<std::size_t>(slot)], slot, data.Fields(),
                                           data.LanguageId(), data.SortId())});
    };
    if (h.Slots[0].Defined()) add(0);
    for (int s = 1; s <= std::min<int>(h.SecondaryCount, kMaxSecondaryIndexes); ++s) add(s);
    add(kSysDeletedSlot);
    return out;
}

// Walks every record slot and calls `visit(i, n, key)` with the key of slot n for
// each index i that covers it: the live records for every index, the deleted ones
// for the deleted-records index; then `slotDone(n)`. Returns the number of live
// records.
template <typename TVisit, typename TSlotDone>
std::int32_t ForEachKey(TDataFile& data, const std::vector<TSlotIndex>& slots, TVisit&& visit, TSlotDone&& slotDone) {
    std::vector<std::uint8_t> key;
    std::int32_t live = 0;
    for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
        {
            TPinnedRecord r(data.GetRecord(nullptr, n, {.readAhead = true}));
            const bool isLive = r->State() == 0;
            live += isLive ? 1 : 0;
            for (std::size_t i = 0; i < slots.size(); ++i) {
                if (!isLive && slots[i].slot != kSysDeletedSlot) continue;
                key.assign(slots[i].layout.KeyLength(), 0);
                BuildKey(slots[i].layout, r->Data(), key);
                visit(i, n, key);
            }
        }
        slotDone(n);
    }
    return live;
}

template <typename TVisit>
std::int32_t ForEachKey(TDataFile& data, const std::vector<TSlotIndex>& slots, TVisit&& visit) {
    return ForEachKey(data, slots, visit, [](std::int32_t) {});
}

// The memory a new index's keys may take while they are put in order.
constexpr std::size_t kBuildBatchBytes = std::size_t{32} << 20;

}  // namespace

void CreateIndexFile(TDataFile& data, TIndexFile& index, TIndexDesc primary, std::vector<TIndexDesc> secondaries) {
    index.SetEncrypted(data.Encrypted());
    index.Create();
    if (primary.FieldCount > 0) {
        primary.Unique = 1;
        primary.KeyLength = ComputeKeyLength(primary, data.Fields(), data.Directory(), data.TableName());
    }
    index.DefinePrimaryIndex(primary, data.Fields());
    for (TIndexDesc& d : secondaries) {
        d.KeyLength = ComputeKeyLength(d, data.Fields(), data.Directory(), data.TableName());
        index.AddSecondaryIndex(d, data.Fields());
    }
    const std::vector<TSlotIndex> slots = UsedSlots(index, data);
    std::vector<std::unique_ptr<TIndexTree>> trees;
    for (const TSlotIndex& s : slots) trees.push_back(std::make_unique<TIndexTree>(index, s.slot, s.layout));
    const std::int32_t live = ForEachKey(data, slots, [&](std::size_t i, std::int32_t n, const std::vector<std::uint8_t>& key) {
        trees[i]->Insert(key.data(), n);
    });
    index.SetRecordCount(live);
    index.FlushPages(false);
    index.WriteHeader(true, true);
}

namespace {

// A unique index meets a key a record before already holds: the error names the index
// and the key, as the values of record n's key fields.
[[noreturn]] void RaiseDuplicateKey(TDataFile& data, const TIndexDesc& desc, std::int32_t n, const std::string& database,
                                    const std::string& table) {
    std::string key;
    {
        TPinnedRecord r(data.GetRecord(nullptr, n, {}));
        for (std::uint8_t i = 0; i < desc.FieldCount; ++i) {
            const TFieldDesc& f = data.Fields()[desc.FieldNumbers[i] - 1u];
            key += (i > 0 ? ", " : "");
            key += FieldIsNull(r->Data(), f)
                       ? "NULL"
                       : "'" + FieldDataText(f.FieldType, FieldData(r->Data(), f), TBooleanWords::Capitalised).value_or("?") +
                             "'";
        }
    }
    RaiseEngineError(RERUZO_KEYVIOL, {.database = database, .table = table, .index = desc.Name, .detail = "key " + key});
}

}  // namespace

TNewIndex BuildSecondaryIndex(TDataFile& data, TIndexFile& index, TIndexDesc desc, const std::string& database,
                              const std::string& table, std::uint16_t progressSteps,
                              const std::function<void(int percent)>& progress) {
    std::uint8_t count = 0;
    while (count < kMaxKeyFields && desc.FieldNumbers[count] != 0) ++count;
    desc.FieldCount = count;
    desc.KeyLength = ComputeKeyLength(desc, data.Fields(), database, table);
    TNewIndex result;
    result.slot = index.AddSecondaryIndex(desc, data.Fields());
    const TSlotIndex built{result.slot, MakeKeyLayout(index.Descriptor(result.slot), result.slot, data.Fields(),
                                                      data.LanguageId(), data.SortId())};
    TIndexTree tree(index, built.slot, built.layout);
    const std::int32_t slots = data.SlotCount();
    const int step = progressSteps == 0 ? 100 : 100 / progressSteps;
    int reported = 0;
    TKeyBatch batch(built.layout);
    auto enter = [&] {
        if (built.layout.unique) {
            if (const std::int32_t n = batch.FirstDuplicate(tree)) RaiseDuplicateKey(data, desc, n, database, table);
        }
        batch.InsertInto(tree);
    };
    ForEachKey(
        data, {built},
        [&](std::size_t, std::int32_t n, const std::vector<std::uint8_t>& key) {
            batch.Add(key.data(), n);
            if (batch.Full()) enter();
        },
        [&](std::int32_t n) {
            const int percent = static_cast<int>(std::int64_t{n} * 100 / slots);
            if (percent >= reported + step) {
                reported = percent;
                if (progress) progress(percent);
            }
        });
    enter();
    return result;
}

TKeyBatch::TKeyBatch(const TKeyLayout& layout)
    : layout_(layout), keyLength_(layout.KeyLength()), entrySize_(keyLength_ + sizeof(std::int32_t)) {}

void TKeyBatch::Add(const std::uint8_t* key, std::int32_t n) {
    entries_.insert(entries_.end(), key, key + keyLength_);
    std::uint8_t bytes[sizeof n];
    std::memcpy(bytes, &n, sizeof n);
    entries_.insert(entries_.end(), bytes, bytes + sizeof n);
    ordered_ = false;
}

bool TKeyBatch::Full() const { return entries_.size() >= kBuildBatchBytes; }

const std::uint8_t* TKeyBatch::Key(std::size_t at) const { return entries_.data() + order_[at] * entrySize_; }

std::int32_t TKeyBatch::Record(std::size_t at) const {
    std::int32_t n = 0;
    std::memcpy(&n, Key(at) + keyLength_, sizeof n);
    return n;
}

void TKeyBatch::Order() {
    if (ordered_) return;
    const std::size_t count = entries_.size() / entrySize_;
    order_.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) order_[i] = i;
    std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return CompareKeys(layout_, entries_.data() + a * entrySize_, entries_.data() + b * entrySize_, keyLength_) < 0;
    });
    ordered_ = true;
}

std::int32_t TKeyBatch::FirstDuplicate(TIndexTree& tree) {
    Order();
    std::int32_t duplicate = 0;
    for (std::size_t g = 0; g < order_.size();) {
        std::size_t end = g + 1;
        while (end < order_.size() && CompareKeys(layout_, Key(end), Key(g), keyLength_) == 0) ++end;
        const std::int32_t repeated = tree.FindExact(Key(g), nullptr) ? Record(g) : end - g > 1 ? Record(g + 1) : 0;
        if (repeated != 0 && (duplicate == 0 || repeated < duplicate)) duplicate = repeated;
        g = end;
    }
    return duplicate;
}

void TKeyBatch::InsertInto(TIndexTree& tree) {
    Order();
    for (std::size_t at = 0; at < order_.size(); ++at) tree.Insert(Key(at), Record(at));
    entries_.clear();
    order_.clear();
    ordered_ = false;
}

bool SameIndexName(std::string a, std::string b) {
    auto trim = [](std::string& s) {
        while (!s.empty() && s.back() == ' ') s.pop_back();
        while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    };
    trim(a);
    trim(b);
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

int FindIndexSlot(const TIndexFile& index, const std::string& name) {
    if (SameIndexName(name, "")) return 0;
    for (int s = 1; s <= index.Header().SecondaryCount; ++s) {
        if (SameIndexName(index.Descriptor(s).Name, name)) return s;
    }
    return -1;
}

bool FreeIndexTree(TIndexFile& index, int slot) {
    const std::int32_t root = index.Root(slot);
    if (root == 0) return true;
    std::vector<std::int32_t> pages{root};
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (pages.size() > static_cast<std::size_t>(index.PageCount())) return false;
        TPagePin page(index.FetchPage(nullptr, slot, pages[i], false));
        if (page->IsLeaf()) continue;
        for (int e = 1; e <= page->Count(); ++e) pages.push_back(page->Ref(e));
    }
    for (auto it = pages.rbegin(); it != pages.rend(); ++it) {
        TPagePin page(index.FetchPage(nullptr, slot, *it, false));
        index.FreePage(slot, page.get());
    }
    index.SetRoot(slot, 0);
    return true;
}

std::vector<std::string> CheckTableIndexes(TDataFile& data, TIndexFile& index) {
    std::vector<std::string> problems = CheckIndexFile(index, data.Fields(), data.LanguageId(), data.SortId());
    if (!problems.empty()) return problems;
    // What every index should hold: the key of each slot it covers.
    const std::vector<TSlotIndex> slots = UsedSlots(index, data);
    std::vector<std::map<std::vector<std::uint8_t>, std::int32_t>> expected(slots.size());
    const std::int32_t live = ForEachKey(data, slots, [&](std::size_t i, std::int32_t n, const std::vector<std::uint8_t>& key) {
        if (!expected[i].emplace(key, n).second)
            problems.push_back("index " + std::to_string(slots[i].slot) + ": slot " + std::to_string(n) +
                               " repeats the key of another record");
    });
    if (index.RecordCount() != live) {
        problems.push_back("the index file counts " + std::to_string(index.RecordCount()) + " records, the data file holds " +
                           std::to_string(live));
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const std::string name = "index " + std::to_string(slots[i].slot);
        std::size_t entries = 0;
        TIndexTree tree(index, slots[i].slot, slots[i].layout);
        tree.ForEach([&](const std::uint8_t* key, std::int32_t recordNo) {
            ++entries;
            const std::vector<std::uint8_t> k(key, key + slots[i].layout.KeyLength());
            auto it = expected[i].find(k);
            if (it == expected[i].end()) {
                problems.push_back(name + ": an entry for slot " + std::to_string(recordNo) + " matches no record");
            } else if (it->second != recordNo) {
                problems.push_back(name + ": the key of slot " + std::to_string(it->second) + " points at slot " +
                                   std::to_string(recordNo));
            }
        });
        if (entries != expected[i].size()) {
            problems.push_back(name + ": " + std::to_string(entries) + " entries for " +
                               std::to_string(expected[i].size()) + " records");
        }
    }
    return problems;
}

}  // namespace reruzo
