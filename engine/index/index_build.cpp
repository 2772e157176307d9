// Creating a table's index file from its records, and checking one against them.
#include "engine/index/index_build.h"

#include <map>

#include "engine/index/index_tree.h"

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
// for the deleted-records index. Returns the number of live records.
template <typename TVisit>
std::int32_t ForEachKey(TDataFile& data, const std::vector<TSlotIndex>& slots, TVisit&& visit) {
    std::vector<std::uint8_t> key;
    std::int32_t live = 0;
    for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
        TPinnedRecord r(data.GetRecord(nullptr, n, true, false, true));
        const bool isLive = r->State() == 0;
        live += isLive ? 1 : 0;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (!isLive && slots[i].slot != kSysDeletedSlot) continue;
            key.assign(slots[i].layout.KeyLength(), 0);
            BuildKey(slots[i].layout, r->Data(), key);
            visit(i, n, key);
        }
    }
    return live;
}

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
