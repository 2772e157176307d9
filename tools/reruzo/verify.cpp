// The checks of `reruzo verify`. The files are read without the engine's table
// locks, straight through the file handlers, so that a table too damaged to open as
// a table can still be examined stage by stage.
#include "tools/reruzo/verify.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_tree.h"

namespace reruzo::cli {
namespace {

// Problems of one index, cut off after a limit with a count of the rest.
class TIndexReport {
public:
    TIndexReport(std::vector<std::string>& out, std::string name, std::size_t limit)
        : out_(out), name_(std::move(name)), limit_(limit) {}
    ~TIndexReport() {
        if (omitted_ > 0) out_.push_back(name_ + ": " + std::to_string(omitted_) + " more problems");
    }
    void Add(const std::string& what) {
        if (written_ < limit_) {
            out_.push_back(name_ + ": " + what);
            ++written_;
        } else {
            ++omitted_;
        }
    }

private:
    std::vector<std::string>& out_;
    std::string name_;
    std::size_t limit_;
    std::size_t written_ = 0;
    std::size_t omitted_ = 0;
};

std::string Slot(std::int32_t n) { return "slot " + std::to_string(n); }

}  // namespace

std::vector<std::string> CrossCheckIndexes(TDataFile& data, TIndexFile& index, const TTextCodec& codec,
                                           std::size_t perIndex) {
    std::vector<std::string> problems;
    const TIndexHeader& h = index.Header();
    std::vector<int> slots;
    if (h.Slots[0].Defined()) slots.push_back(0);
    for (int s = 1; s <= std::min<int>(h.SecondaryCount, kMaxSecondaryIndexes); ++s) slots.push_back(s);
    slots.push_back(kSysDeletedSlot);

    std::vector<TKeyLayout> layouts;
    for (int slot : slots) {
        layouts.push_back(MakeKeyLayout(h.Slots[static_cast<std::size_t>(slot)], slot, data.Fields(), data.LanguageId(),
                                        data.SortId()));
    }
    // Every slot's state and its key in each index, read once.
    const std::int32_t slotCount = data.SlotCount();
    std::vector<std::uint8_t> live(static_cast<std::size_t>(slotCount) + 1, 0);
    std::vector<std::vector<std::uint8_t>> keys(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        keys[i].resize(layouts[i].KeyLength() * (static_cast<std::size_t>(slotCount) + 1));
    }
    std::int32_t liveCount = 0;
    for (std::int32_t n = 1; n <= slotCount; ++n) {
        TPinnedRecord r(data.GetRecord(nullptr, n, {.readAhead = true}));
        live[static_cast<std::size_t>(n)] = r->State() == 0 ? 1 : 0;
        liveCount += live[static_cast<std::size_t>(n)];
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const std::size_t k = layouts[i].KeyLength();
            BuildKey(layouts[i], r->Data(), std::span(keys[i]).subspan(k * static_cast<std::size_t>(n), k));
        }
    }
    if (index.RecordCount() != liveCount) {
        problems.push_back("the index file counts " + std::to_string(index.RecordCount()) +
                           " records, the data file holds " + std::to_string(liveCount));
    }

    for (std::size_t i = 0; i < slots.size(); ++i) {
        const int slot = slots[i];
        const bool sysDeleted = slot == kSysDeletedSlot;
        const TKeyLayout& layout = layouts[i];
        const std::size_t k = layout.KeyLength();
        const std::string name = slot == 0 ? "the primary index"
                                           : "index '" + codec.ToUtf8(h.Slots[static_cast<std::size_t>(slot)].Name) + "'";
        TIndexReport report(problems, name, perIndex);
        auto covered = [&](std::int32_t n) { return sysDeleted || live[static_cast<std::size_t>(n)] != 0; };
        auto keyOf = [&](std::int32_t n) { return keys[i].data() + k * static_cast<std::size_t>(n); };

        std::vector<std::int32_t> entries(static_cast<std::size_t>(slotCount) + 1, 0);
        try {
            TIndexTree tree(index, slot, layout);
            tree.ForEach([&](const std::uint8_t* key, std::int32_t n) {
                if (n < 1 || n > slotCount) {
                    report.Add("an entry points at " + Slot(n) + ", outside slots 1.." + std::to_string(slotCount));
                } else if (!covered(n)) {
                    report.Add("an entry points at " + Slot(n) + ", which is deleted");
                } else {
                    ++entries[static_cast<std::size_t>(n)];
                    if (std::memcmp(key, keyOf(n), k) != 0) {
                        report.Add("the entry of " + Slot(n) + " holds another key than the record");
                    }
                }
            });
        } catch (const std::exception& e) {
            report.Add(std::string("its entries cannot be read: ") + e.what());
            continue;
        }
        std::vector<std::int32_t> coveredSlots;
        for (std::int32_t n = 1; n <= slotCount; ++n) {
            if (!covered(n)) continue;
            coveredSlots.push_back(n);
            const std::int32_t count = entries[static_cast<std::size_t>(n)];
            if (count == 0) report.Add(Slot(n) + " has no entry");
            if (count > 1) report.Add(Slot(n) + " has " + std::to_string(count) + " entries");
        }
        // Keys of a unique index (and of any index, through the identifier suffix)
        // must differ; equal ones cannot both be found by a search.
        std::stable_sort(coveredSlots.begin(), coveredSlots.end(), [&](std::int32_t a, std::int32_t b) {
            return CompareKeys(layout, keyOf(a), keyOf(b), k) < 0;
        });
        for (std::size_t j = 1; j < coveredSlots.size(); ++j) {
            const std::int32_t a = coveredSlots[j - 1];
            const std::int32_t b = coveredSlots[j];
            if (CompareKeys(layout, keyOf(a), keyOf(b), k) == 0) {
                report.Add(Slot(a) + " and " + Slot(b) + " have the same key");
            }
        }
    }
    return problems;
}

int VerifyTable(TDataFile& data, const TTextCodec& codec) {
    std::vector<std::string> problems;
    std::int32_t live = 0;
    try {
        data.VerifyStructure();
    } catch (const ERERUZOEngineError& e) {
        // Without a sound header and descriptors the records cannot be read.
        problems.push_back(e.what());
    }
    if (problems.empty()) {
        problems = data.CheckRecords();
        for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
            TPinnedRecord r(data.GetRecord(nullptr, n, {.readAhead = true}));
            live += r->State() == 0 ? 1 : 0;
        }
        TIndexFile index(data.Directory(), data.TableName());
        if (!index.Exists()) {
            problems.push_back("the index file " + index.FileName() + " is missing");
        } else {
            try {
                index.SetReadOnly(true);
                index.SetEncrypted(data.Encrypted());
                index.Open();
                index.CheckVersion();
                index.Validate(data.Fields());
                for (auto& p : CheckIndexFile(index, data.Fields(), data.LanguageId(), data.SortId())) {
                    problems.push_back(std::move(p));
                }
                for (auto& p : CrossCheckIndexes(data, index, codec)) problems.push_back(std::move(p));
            } catch (const ERERUZOEngineError& e) {
                problems.push_back(e.what());
            }
        }
    }
    for (const auto& p : problems) std::cout << p << "\n";
    std::cout << data.FileName() << ": " << (problems.empty() ? "ok" : "damaged") << ", " << live << " records in "
              << data.SlotCount() << " slots\n";
    return problems.empty() ? 0 : 1;
}

}  // namespace reruzo::cli
