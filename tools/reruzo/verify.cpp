// The checks of `reruzo verify`. The files are read without the engine's table
// locks, straight through the file handlers, so that a table too damaged to open as
// a table can still be examined stage by stage.
#include "tools/reruzo/verify.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <limits>
#include <optional>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_tree.h"
#include "engine/storage/byte_order.h"

namespace reruzo::cli {
namespace {

// Problems of one part of the table (an index, the BLOBs), cut off after a limit with
// a count of the rest. Each line starts with the part's name when it has one.
class TReport {
public:
    TReport(std::vector<std::string>& out, std::string name, std::size_t limit)
        : out_(out), name_(std::move(name)), limit_(limit) {}
    ~TReport() {
        if (omitted_ > 0) out_.push_back(Prefix() + std::to_string(omitted_) + " more problems");
    }
    TReport(const TReport&) = delete;
    TReport& operator=(const TReport&) = delete;
    void Add(const std::string& what) {
        if (written_ < limit_) {
            out_.push_back(Prefix() + what);
            ++written_;
        } else {
            ++omitted_;
        }
    }

private:
    std::string Prefix() const { return name_.empty() ? std::string() : name_ + ": "; }

    std::vector<std::string>& out_;
    std::string name_;
    std::size_t limit_;
    std::size_t written_ = 0;
    std::size_t omitted_ = 0;
};

std::string Slot(std::int32_t n) { return "slot " + std::to_string(n); }

// ---- BLOB chains --------------------------------------------------------------------

// Walks the free chain and the BLOB chain of every BLOB field of every live record,
// noting for each block who holds it, then reports the blocks nobody holds. Every
// link is checked before it is followed and every block is taken at most once, so a
// damaged file ends the walk of a chain instead of looping or reading past the file.
class TBlobWalk {
public:
    TBlobWalk(TDataFile& data, TBlobFile& blob, const TTextCodec& codec, TReport& report)
        : data_(data), blob_(blob), codec_(codec), report_(report) {}

    void Run() {
        const TBlobHeader& h = blob_.Header();
        if (h.NextBlockNo < 1) {
            report_.Add(kFile + "the header's next block number is " + std::to_string(h.NextBlockNo) +
                        ", below 1");
            return;
        }
        // Only the blocks the file holds can be read; a header that counts more is
        // damaged, and links to the missing blocks are reported where they occur.
        const std::uint64_t size = blob_.FileSize();
        const std::uint64_t present = size < kBlobHeaderSize ? 0 : (size - kBlobHeaderSize) / blob_.BlockSize();
        readable_ = static_cast<std::int32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(blob_.BlockCount()), present));
        if (static_cast<std::uint64_t>(blob_.BlockCount()) > present) {
            report_.Add(kFile + "the header counts " + std::to_string(blob_.BlockCount()) + " blocks, the file holds " +
                        std::to_string(present));
        }
        state_.assign(static_cast<std::size_t>(readable_) + 1, kUnreached);
        WalkFreeChain();
        WalkRecords();
        ReportLeaked();
    }

private:
    // What a block is to the walk: not reached yet, on the free chain, or used by the
    // BLOB of owners_[state - 1].
    static constexpr std::uint32_t kUnreached = 0;
    static constexpr std::uint32_t kFree = std::numeric_limits<std::uint32_t>::max();
    inline static const std::string kFile = "the BLOB file: ";

    struct TOwner {
        std::int32_t slot;
        const TFieldDesc* field;
    };
    // The header of a block, copied so that no block stays pinned.
    struct THead {
        std::int32_t prev;
        std::int32_t next;
        std::uint16_t used;
        std::int32_t stamp;
        std::int32_t size;
    };

    bool InRange(std::int32_t n) const { return n >= 1 && n <= blob_.BlockCount(); }
    std::string Outside() const { return "outside blocks 1.." + std::to_string(blob_.BlockCount()); }
    static std::string Block(std::int32_t n) { return "block " + std::to_string(n); }
    std::string OwnerName(std::uint32_t state) const {
        const TOwner& o = owners_[state - 1];
        return Slot(o.slot) + ", field '" + codec_.ToUtf8(o.field->Name) + "'";
    }

    // Block n (within 1..BlockCount), or nullopt with the reason reported after `who`.
    std::optional<THead> Head(std::int32_t n, const std::string& who) {
        if (n > readable_) {
            report_.Add(who + Block(n) + " lies past the end of the file");
            return std::nullopt;
        }
        try {
            TPinnedBlock b(blob_.GetBlock(nullptr, n, blob_.ReadAhead()));
            return THead{b->PrevBlock, b->NextBlock, b->UsedBytes, b->BlobStamp, b->BlobSize};
        } catch (const ERERUZOEngineError& e) {
            report_.Add(who + Block(n) + " cannot be read: " + e.what());
            return std::nullopt;
        }
    }

    // The free chain: links in range, no loop, and only blocks that belong to no BLOB
    // (stamp 0). It is walked first, so that a chain reaching a free block is caught.
    void WalkFreeChain() {
        std::int32_t from = 0;
        for (std::int32_t n = blob_.Header().FirstFreeBlock; n != 0;) {
            const std::string link =
                from == 0 ? "the free chain starts at " : "the free chain links from " + Block(from) + " to ";
            if (!InRange(n)) {
                report_.Add(kFile + link + Block(n) + ", " + Outside());
                return;
            }
            if (n <= readable_ && state_[static_cast<std::size_t>(n)] == kFree) {
                report_.Add(kFile + link + Block(n) + " again: the chain loops");
                return;
            }
            const auto head = Head(n, kFile + "the free chain's ");
            if (!head) return;
            if (head->stamp != 0) {
                // A block of a BLOB: what follows it is that BLOB's chain, not free blocks.
                report_.Add(kFile + link + Block(n) + ", which carries stamp " + std::to_string(head->stamp) +
                            " (a free block has none)");
                return;
            }
            state_[static_cast<std::size_t>(n)] = kFree;
            from = n;
            n = head->next;
        }
    }

    void WalkRecords() {
        struct TReference {
            const TFieldDesc* field;
            std::int32_t first;
            std::int32_t stamp;
        };
        std::vector<TReference> references;
        for (std::int32_t n = 1; n <= data_.SlotCount(); ++n) {
            references.clear();
            {
                TPinnedRecord r(data_.GetRecord(nullptr, n, {.readAhead = true}));
                if (r->State() != 0) continue;
                for (const TFieldDesc& f : data_.Fields()) {
                    if (f.FieldType != kFieldBlob || !f.HasSlot() || FieldIsNull(r->Data(), f)) continue;
                    // The field's 8 data bytes: the first block, then the BLOB's stamp.
                    const std::uint8_t* ref = r->Data().data() + f.Offset + 1;
                    references.push_back({&f, GetLE<std::int32_t>(ref), GetLE<std::int32_t>(ref + 4)});
                }
            }
            for (const TReference& ref : references) {
                owners_.push_back({n, ref.field});
                WalkBlob(static_cast<std::uint32_t>(owners_.size()), ref.first, ref.stamp);
            }
        }
    }

    // One BLOB's chain: every block its own, carrying the record's stamp, linked back
    // to the block before it, full but for the last, and the size in the first block
    // the sum of the bytes the blocks use.
    void WalkBlob(std::uint32_t owner, std::int32_t first, std::int32_t stamp) {
        const std::string who = OwnerName(owner) + ": ";
        if (!InRange(first)) {
            report_.Add(who + "the BLOB starts at " + Block(first) + ", " + Outside());
            return;
        }
        const std::uint32_t portion = blob_.BlockDataSize();
        std::int64_t size = 0;
        std::int64_t held = 0;
        for (std::int32_t n = first, prev = 0;;) {
            const std::uint32_t state = n <= readable_ ? state_[static_cast<std::size_t>(n)] : kUnreached;
            if (state == owner) {
                report_.Add(who + "the chain loops back to " + Block(n));
                return;
            }
            if (state == kFree) {
                report_.Add(who + Block(n) + " is on the free chain as well");
                return;
            }
            if (state != kUnreached) {
                report_.Add(who + Block(n) + " is used by " + OwnerName(state) + " as well");
                return;
            }
            const auto head = Head(n, who);
            if (!head) return;
            state_[static_cast<std::size_t>(n)] = owner;
            if (n == first) size = head->size;
            if (head->prev != prev) {
                report_.Add(who + Block(n) + " links back to block " + std::to_string(head->prev) + ", not " +
                            std::to_string(prev));
            }
            if (head->stamp != stamp) {
                report_.Add(who + Block(n) + " carries stamp " + std::to_string(head->stamp) + ", the record's is " +
                            std::to_string(stamp));
            }
            held += head->used;
            if (head->used > portion) {
                report_.Add(who + Block(n) + " uses " + std::to_string(head->used) + " bytes, a block holds " +
                            std::to_string(portion));
            } else if (head->used < portion && head->next != 0) {
                report_.Add(who + Block(n) + " uses " + std::to_string(head->used) + " of its " +
                            std::to_string(portion) + " bytes, yet the chain goes on");
            }
            if (head->next == 0) break;
            if (!InRange(head->next)) {
                report_.Add(who + Block(n) + " links to " + Block(head->next) + ", " + Outside());
                return;
            }
            prev = n;
            n = head->next;
        }
        if (held != size) {
            report_.Add(who + "the BLOB's size is " + std::to_string(size) + " bytes, its blocks hold " +
                        std::to_string(held));
        }
    }

    // Blocks neither free nor used, one line per run of them.
    void ReportLeaked() {
        for (std::int32_t n = 1; n <= readable_;) {
            if (state_[static_cast<std::size_t>(n)] != kUnreached) {
                ++n;
                continue;
            }
            std::int32_t last = n;
            while (last < readable_ && state_[static_cast<std::size_t>(last) + 1] == kUnreached) ++last;
            report_.Add(kFile + (last == n ? Block(n) + " is" : "blocks " + std::to_string(n) + ".." +
                                                                    std::to_string(last) + " are") +
                        " neither used nor free: leaked");
            n = last + 1;
        }
    }

    TDataFile& data_;
    TBlobFile& blob_;
    const TTextCodec& codec_;
    TReport& report_;
    std::int32_t readable_ = 0;
    std::vector<std::uint32_t> state_;
    std::vector<TOwner> owners_;
};

}  // namespace

std::vector<std::string> CheckBlobs(TDataFile& data, TBlobFile& blob, const TTextCodec& codec, std::size_t limit) {
    std::vector<std::string> problems;
    {
        TReport report(problems, "", limit);
        TBlobWalk(data, blob, codec, report).Run();
    }
    return problems;
}

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
        TReport report(problems, name, perIndex);
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
        if (data.BlobFieldCount() != 0) {
            TBlobFile blob(data.Directory(), data.TableName());
            if (!blob.Exists()) {
                problems.push_back("the BLOB file " + blob.FileName() + " is missing");
            } else {
                try {
                    blob.SetReadOnly(true);
                    blob.SetBlockSize(data.BlobBlockSize());
                    blob.SetEncrypted(data.Encrypted());
                    blob.Open();
                    blob.CheckVersion();
                    for (auto& p : CheckBlobs(data, blob, codec)) problems.push_back(std::move(p));
                } catch (const ERERUZOEngineError& e) {
                    problems.push_back(e.what());
                }
            }
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
