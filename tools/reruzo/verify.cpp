// The checks of `reruzo verify`. The files are read without the engine's table
// locks, straight through the file handlers, so that a table too damaged to open as
// a table can still be examined stage by stage: first every byte the engine checks
// before it uses the files (the data file's header and field descriptors, the BLOB
// file's header, the index file's header and index definitions), each rule on its
// own line, then the records with their free chain and identifiers, the BLOB chains,
// the index trees and the cross check of the indexes against the records.
//
// Memory: slots are read in runs straight from the file, and only the slots the file
// holds are ever counted, so a header claiming two billion slots costs nothing. The
// walks keep a byte or two per slot and per block the files hold.
#include "tools/reruzo/verify.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <optional>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_tree.h"
#include "engine/storage/blob_file.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/value_text.h"
#include "platform/nls.h"
#include "tools/reruzo/table_bytes.h"

namespace reruzo::cli {

void TProblems::Add(const std::string& line) {
    ++count_;
    // Each line goes out at once: a long check shows what it found so far.
    if (out_) *out_ << line << '\n' << std::flush;
    if (count_ >= limit_) throw EProblemLimit{};
}

namespace {

// Problems of one section of the table (an index, the BLOBs), cut off after a limit;
// Finish adds the number left. Each line starts with the section's name when it has one.
class TSection {
public:
    TSection(TProblems& problems, std::string name, std::size_t limit = 100)
        : problems_(problems), name_(std::move(name)), limit_(limit) {}
    void Add(const std::string& what) {
        if (written_ < limit_) {
            ++written_;
            problems_.Add(Prefix() + what);
        } else {
            ++omitted_;
        }
    }
    void Finish() {
        if (omitted_ > 0) problems_.Add(Prefix() + std::to_string(omitted_) + " more problems");
        omitted_ = 0;
    }
    bool Clean() const { return written_ == 0 && omitted_ == 0; }

private:
    std::string Prefix() const { return name_.empty() ? std::string() : name_ + ": "; }

    TProblems& problems_;
    std::string name_;
    std::size_t limit_;
    std::size_t written_ = 0;
    std::size_t omitted_ = 0;
};

std::string Slot(std::int32_t n) { return "slot " + std::to_string(n); }

// Names compare as the engine compares them: without blanks around them, in upper case.
std::string NameKey(std::string_view name) {
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    return quorvane::nls::MapCase(name, 0, 0, true);
}

// What the stages share.
struct TCheck {
    TDataFile& data;
    const TTextCodec& codec;
    TProblems& problems;
    TTableCount& count;
    TOpenFiles files;
    TSlotReader slots;
    // The slots checked: those the header counts, at most those the file holds.
    std::int32_t checked = 0;
    // Per checked slot (from 1): 0 in use, 1 deleted, 2 neither.
    std::vector<std::uint8_t> state;
    std::int32_t deleted = 0;
    // Deleted slots the free chain reaches before anything is wrong with it.
    std::int32_t chained = 0;
    // The fields' own count of BLOB fields.
    std::size_t blobFields = 0;

    bool Live(std::int32_t n) const { return state[static_cast<std::size_t>(n)] == 0; }
    std::string FieldName(const TFieldDesc& f) const { return codec.ToUtf8(f.Name); }
};

// ---- The data file's header and field descriptors -----------------------------------

// Every rule the engine applies to the header and the descriptors before it reads a
// record. False when the records cannot be read at all.
bool CheckDataHeader(TCheck& c) {
    TDataFile& data = c.data;
    const TDataHeader& h = data.Header();
    TSection section(c.problems, "the data file", std::numeric_limits<std::size_t>::max());
    if (h.FormatVersion != kFormatVersion) {
        section.Add("its format version is " + std::to_string(h.FormatVersion) + ", not " + std::to_string(kFormatVersion));
        return false;
    }
    if (h.LanguageId != 0 && !quorvane::nls::IsLocaleInstalled(h.LanguageId, h.SortId)) {
        section.Add("its language " + std::to_string(h.LanguageId) + " (sort " + std::to_string(h.SortId) +
                 ") is not installed: its keys cannot be built");
        return false;
    }
    if (h.FieldCount == 0) {
        section.Add("its header counts no fields");
        return false;
    }
    if (c.slots.SlotsStart() > data.FileSize()) {
        section.Add("it ends within its field descriptors");
        return false;
    }
    bool sound = true;
    std::map<std::string, std::size_t> names;
    std::size_t offset = kRecordHeaderSize;
    for (std::size_t i = 0; i < data.Fields().size(); ++i) {
        TFieldDesc d = data.Fields()[i];
        const std::string field = "field " + std::to_string(i + 1) + " ('" + c.FieldName(d) + "'): ";
        auto bad = [&](const std::string& what) {
            section.Add(field + what);
            sound = false;
        };
        DeriveDataSize(d);
        if (!IsValidFieldName(d.Name)) bad("its name is no field name");
        if (const auto [at, added] = names.emplace(NameKey(d.Name), i + 1); !added) {
            bad("field " + std::to_string(at->second) + " has that name already");
        }
        if (d.FieldNo != i + 1) bad("it is numbered " + std::to_string(d.FieldNo));
        if (d.FieldType == 0) bad("its type code is 0");
        const bool sized = d.FieldType == kFieldString || d.FieldType == kFieldBytes || d.FieldType == kFieldVarBytes;
        if (sized && d.Length > kMaxFieldLength) {
            bad("its length is " + std::to_string(d.Length) + ", at most " + std::to_string(kMaxFieldLength));
        }
        if (!sized && d.Length != 0) bad("its length is " + std::to_string(d.Length) + ", its type takes none");
        const std::pair<const char*, const std::string*> texts[] = {
            {"minimum", &d.MinValue}, {"maximum", &d.MaxValue}, {"default", &d.DefaultValue}};
        for (const auto& [what, text] : texts) {
            if (!IsValidValueText(d.FieldType, *text)) {
                bad(std::string("its ") + what + " value \"" + c.codec.ToUtf8(*text) + "\" does not suit its type");
            }
        }
        if (d.Scale != 0 && d.FieldType != kFieldBCD) bad("its scale is " + std::to_string(d.Scale) + ", only BCD fields have one");
        // Only the columns of query results are computed; reading such a field of a
        // table record fails.
        if (d.Computed != 0) bad("its computed flag is " + std::to_string(d.Computed) + ": a table's fields are never computed");
        if (d.IsAutoInc()) {
            if (d.Offset != kAutoIncOffset) {
                bad("its offset is " + std::to_string(d.Offset) + ", an auto-increment field's is " +
                    std::to_string(kAutoIncOffset));
            }
        } else {
            if (d.Offset != offset) {
                bad("its offset is " + std::to_string(d.Offset) + ", the fields before it end at " + std::to_string(offset));
            }
            offset += d.DataSize + 1u;
        }
        if (d.FieldType == kFieldBlob) ++c.blobFields;
    }
    if (h.RecordSize != offset) {
        section.Add("its header gives records of " + std::to_string(h.RecordSize) + " bytes, the fields take " +
                 std::to_string(offset));
        sound = false;
    }
    if (c.blobFields > kMaxBlobFields) {
        section.Add(std::to_string(c.blobFields) + " of its fields are BLOB fields, at most " + std::to_string(kMaxBlobFields));
        sound = false;
    }
    // The engine opens the BLOB file by this count: a wrong one leaves the BLOBs unread.
    if (h.BlobFieldCount != c.blobFields) {
        section.Add("its header counts " + std::to_string(h.BlobFieldCount) + " BLOB fields, the fields hold " +
                 std::to_string(c.blobFields));
    }
    if (!sound) return false;

    // The slots: the header's count against the size of the file.
    if (c.slots.PartialBytes() != 0) {
        section.Add("it ends with " + std::to_string(c.slots.PartialBytes()) + " bytes of a slot cut short");
    }
    const std::int32_t headerSlots = h.NextRecordNo - 1;
    if (h.NextRecordNo < 1) {
        section.Add("its header's next slot number is " + std::to_string(h.NextRecordNo) + ", below 1");
    } else if (headerSlots != c.slots.FileSlots()) {
        section.Add("its header counts " + std::to_string(headerSlots) + " slots, the file holds " +
                 std::to_string(c.slots.FileSlots()));
    }
    c.checked = std::clamp(headerSlots, 0, c.slots.FileSlots());
    // Anything the rules above missed but the engine refuses is reported in its words.
    if (section.Clean()) {
        try {
            data.VerifyStructure();
        } catch (const ERERUZOEngineError& e) {
            section.Add(e.what());
        }
    }
    return true;
}

// ---- Records: slot states, the free chain, identifiers ------------------------------

void CheckRecords(TCheck& c) {
    const std::int32_t last = c.data.Header().LastAutoIncValue;
    c.state.assign(static_cast<std::size_t>(c.checked) + 1, 0);
    std::vector<std::int32_t> ids;
    std::vector<std::pair<std::int32_t, std::int32_t>> deletedIds;  // identifier, slot
    for (std::int32_t n = 1; n <= c.checked; ++n) {
        const auto r = c.slots.Slot(n);
        const std::uint8_t s = r[0];
        c.state[static_cast<std::size_t>(n)] = std::min<std::uint8_t>(s, 2);
        if (s > 1) {
            c.problems.Add(Slot(n) + ": state byte " + std::to_string(s) + " is neither 0 (in use) nor 1 (deleted)");
        } else if (s == 1) {
            ++c.deleted;
            deletedIds.emplace_back(GetLE<std::int32_t>(r.data() + 5), n);
        } else {
            ++c.count.live;
            const std::int32_t id = GetLE<std::int32_t>(r.data() + 5);
            if (id <= 0 || id > last) {
                c.problems.Add(Slot(n) + ": record identifier " + std::to_string(id) + " is outside 1.." +
                               std::to_string(last));
            }
            ids.push_back(id);
        }
    }
    std::vector<bool> seen(static_cast<std::size_t>(c.checked) + 1, false);
    for (std::int32_t next = c.data.Header().FirstFreeRecord; next != 0;) {
        if (next < 0 || next > c.checked) {
            c.problems.Add("free chain: link " + std::to_string(next) + " is outside slots 1.." + std::to_string(c.checked));
            break;
        }
        const auto n = static_cast<std::size_t>(next);
        if (seen[n]) {
            c.problems.Add("free chain: slot " + std::to_string(n) + " is reached twice (a cycle)");
            break;
        }
        seen[n] = true;
        if (c.state[n] != 1) {
            c.problems.Add("free chain: slot " + std::to_string(n) + " is on the chain but in use");
            break;
        }
        ++c.chained;
        next = GetLE<std::int32_t>(c.slots.Slot(next, false).data() + 1);
    }
    std::sort(ids.begin(), ids.end());
    for (std::size_t i = 1; i < ids.size(); ++i) {
        if (ids[i] == ids[i - 1]) c.problems.Add("record identifier " + std::to_string(ids[i]) + " is used twice");
    }
    // A deleted slot keeps the identifier of its record; a record in use with the same
    // one would collide with it in "Sys Deleted" once deleted in turn.
    for (const auto& [id, n] : deletedIds) {
        if (std::binary_search(ids.begin(), ids.end(), id)) {
            c.problems.Add(Slot(n) + ": deleted, it keeps record identifier " + std::to_string(id) +
                           ", which a record in use holds");
        }
    }
}

// ---- BLOB chains --------------------------------------------------------------------

// Walks the free chain and the BLOB chain of every BLOB field of every live record,
// noting for each block who holds it, then reports the blocks nobody holds. Every
// link is checked before it is followed and every block is taken at most once, so a
// damaged file ends the walk of a chain instead of looping or reading past the file.
class TBlobWalk {
public:
    TBlobWalk(TCheck& c, TBlobFile& blob, TSection& report) : c_(c), blob_(blob), report_(report) {}

    void Run() {
        const TBlobHeader& h = blob_.Header();
        if (h.NextBlockNo < 1) {
            report_.Add(kFile + "the header's next block number is " + std::to_string(h.NextBlockNo) + ", below 1");
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
        return Slot(o.slot) + ", field '" + c_.FieldName(*o.field) + "'";
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
        for (std::int32_t n = 1; n <= c_.checked; ++n) {
            if (!c_.Live(n)) continue;
            references.clear();
            const auto record = c_.slots.Slot(n);
            for (const TFieldDesc& f : c_.data.Fields()) {
                if (f.FieldType != kFieldBlob || !f.HasSlot() || FieldIsNull(record, f)) continue;
                // The field's 8 data bytes: the first block, then the BLOB's stamp.
                const std::uint8_t* ref = record.data() + f.Offset + 1;
                references.push_back({&f, GetLE<std::int32_t>(ref), GetLE<std::int32_t>(ref + 4)});
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

    TCheck& c_;
    TBlobFile& blob_;
    TSection& report_;
    std::int32_t readable_ = 0;
    std::vector<std::uint32_t> state_;
    std::vector<TOwner> owners_;
};

void CheckBlobFile(TCheck& c) {
    if (c.blobFields == 0) return;
    std::optional<TBlobFile> own;
    TBlobFile& blob = c.files.blob ? *c.files.blob : own.emplace(c.data.Directory(), c.data.TableName());
    if (!blob.IsOpen() && !blob.Exists()) {
        c.problems.Add("the BLOB file " + blob.FileName() + " is missing");
        return;
    }
    TSection report(c.problems, "");
    try {
        if (!blob.IsOpen()) {
            blob.SetReadOnly(true);
            blob.SetBlockSize(c.data.BlobBlockSize());
            blob.SetEncrypted(c.data.Encrypted());
            blob.Open();
        }
        if (blob.Header().FormatVersion != kFormatVersion) {
            report.Add("the BLOB file: its format version is " + std::to_string(blob.Header().FormatVersion) + ", not " +
                       std::to_string(kFormatVersion));
            return;
        }
        TBlobWalk(c, blob, report).Run();
    } catch (const ERERUZOEngineError& e) {
        report.Add(e.what());
    }
    report.Finish();
}

// ---- The index file -----------------------------------------------------------------

std::string IndexName(const TIndexHeader& h, int slot, const TTextCodec& codec) {
    if (slot == 0) return "the primary index";
    if (slot == kSysDeletedSlot || (slot >= 1 && slot <= h.SecondaryCount)) {
        return "index '" + codec.ToUtf8(h.Slots[static_cast<std::size_t>(slot)].Name) + "'";
    }
    return "index slot " + std::to_string(slot);
}

// The slots of the indexes in use: the primary index when defined, the secondary
// indexes, "Sys Deleted".
std::vector<int> IndexSlots(const TIndexHeader& h) {
    std::vector<int> slots;
    if (h.Slots[0].Defined()) slots.push_back(0);
    for (int s = 1; s <= std::min<int>(h.SecondaryCount, kMaxSecondaryIndexes); ++s) slots.push_back(s);
    slots.push_back(kSysDeletedSlot);
    return slots;
}

struct THeaderVerdict {
    bool definitions = true;  // every index can be read with its definition
    bool clean = true;        // nothing at all was wrong
};

// Every rule the engine applies to the index file's header before it uses the file.
THeaderVerdict CheckIndexHeader(TCheck& c, const TIndexHeader& h) {
    THeaderVerdict v;
    auto bad = [&](const std::string& line, bool definitions) {
        c.problems.Add(line);
        v.clean = false;
        if (definitions) v.definitions = false;
    };
    if (h.Version != kIndexFormatVersion) {
        bad("the index file: its format version is " + std::to_string(h.Version) + ", not " +
                std::to_string(kIndexFormatVersion),
            true);
        return v;
    }
    if (h.SecondaryCount > kMaxSecondaryIndexes) {
        bad("the index file: it counts " + std::to_string(h.SecondaryCount) + " secondary indexes, at most " +
                std::to_string(kMaxSecondaryIndexes),
            true);
        return v;
    }
    if (h.PageCount < 1) bad("the index file: its page count is " + std::to_string(h.PageCount) + ", below 1", false);
    const TIndexDesc& primary = h.Slots[0];
    if (!primary.Name.empty()) bad("the primary index: it has a name, '" + c.codec.ToUtf8(primary.Name) + "'", false);
    if (!h.NoPrimary && !primary.Unique) bad("the primary index: it is not unique", true);
    std::map<std::string, int> names;
    for (int slot = 1; slot <= h.SecondaryCount; ++slot) {
        const std::string& name = h.Slots[static_cast<std::size_t>(slot)].Name;
        const std::string key = NameKey(name);
        const auto first = key.empty() ? 0 : static_cast<unsigned char>(key[0]);
        const bool valid = (first >= 'A' && first <= 'Z') || first == '_' || (first >= 0x81 && first <= 0xFE);
        const std::string label = "index " + std::to_string(slot) + " ('" + c.codec.ToUtf8(name) + "'): ";
        if (!valid) bad(label + "its name is no index name", false);
        if (const auto [at, added] = names.emplace(key, slot); !added) {
            bad(label + "index " + std::to_string(at->second) + " has that name already", false);
        }
    }
    auto checkDefinition = [&](int slot) {
        const TIndexDesc& d = h.Slots[static_cast<std::size_t>(slot)];
        const std::string name = IndexName(h, slot, c.codec) + ": ";
        if (d.FieldCount > kMaxKeyFields) {
            bad(name + "it has " + std::to_string(d.FieldCount) + " key fields, at most " + std::to_string(kMaxKeyFields),
                true);
            return;
        }
        std::size_t bytes = 0;
        bool fields = true;
        for (std::size_t i = 0; i < d.FieldCount; ++i) {
            const TFieldDesc* f = FieldByNumber(c.data.Fields(), d.FieldNumbers[i]);
            if (!f) {
                bad(name + "its key field " + std::to_string(d.FieldNumbers[i]) + " is no field of the table", true);
                fields = false;
            } else if (f->FieldType == kFieldBlob) {
                bad(name + "its key field '" + c.FieldName(*f) + "' is a BLOB field", true);
                fields = false;
            } else {
                bytes += TKeyField{*f, false}.Width() + 1;
            }
        }
        if (!fields) return;
        if (slot == 0 && h.NoPrimary && d.FieldCount == 0) return;
        if (bytes < 1 || bytes > kMaxKeyFieldBytes) {
            bad(name + "its key fields take " + std::to_string(bytes) + " bytes, 1 to " +
                    std::to_string(kMaxKeyFieldBytes) + " are allowed",
                true);
        } else if (const std::size_t length = bytes + (d.Unique ? 0 : kKeySuffixLength); d.KeyLength != length) {
            bad(name + "its key length is " + std::to_string(d.KeyLength) + ", its fields give " + std::to_string(length),
                true);
        }
    };
    if (!h.NoPrimary || primary.FieldCount > 0) checkDefinition(0);
    for (int slot = 1; slot <= h.SecondaryCount; ++slot) checkDefinition(slot);
    if (h.Slots[kSysDeletedSlot].KeyLength != kSysDeletedKeyLength) {
        bad("index 'Sys Deleted': its key length is " + std::to_string(h.Slots[kSysDeletedSlot].KeyLength) + ", not " +
                std::to_string(kSysDeletedKeyLength),
            true);
    }
    for (int slot = 0; slot < kDescriptorSlots; ++slot) {
        const TIndexDesc& d = h.Slots[static_cast<std::size_t>(slot)];
        const std::string name = IndexName(h, slot, c.codec) + ": ";
        const std::string pages =
            h.PageCount <= 1 ? "the file holds no tree page" : "outside pages 1.." + std::to_string(h.PageCount - 1);
        auto inRange = [&](std::int32_t page) { return page == 0 || (page >= 1 && page < h.PageCount); };
        if (!inRange(d.Root)) bad(name + "its root page " + std::to_string(d.Root) + " is " + pages, false);
        if (!inRange(d.FreeHead)) bad(name + "its free chain starts at page " + std::to_string(d.FreeHead) + ", " + pages, false);
    }
    return v;
}

// Checks that every index holds exactly one entry for each slot it covers (each live
// record; every slot for "Sys Deleted"), carrying that record's own key, and no entry
// for anything else; that no two records share a key (in a unique index by their key
// fields, in any other through the identifier that ends its keys); and that the
// record count is the number of live records. The trees are walked in key order and
// each entry's record is read where it lies, so memory stays two bytes a slot.
void CrossCheckIndexes(TCheck& c, TIndexFile& index) {
    const TIndexHeader& h = index.Header();
    if (index.RecordCount() != c.count.live) {
        c.problems.Add("the index file counts " + std::to_string(index.RecordCount()) + " records, the data file holds " +
                       std::to_string(c.count.live));
    }
    std::vector<std::uint16_t> entries(static_cast<std::size_t>(c.checked) + 1);
    std::vector<std::uint8_t> key;
    std::vector<std::uint8_t> previous;
    for (int slot : IndexSlots(h)) {
        const bool sysDeleted = slot == kSysDeletedSlot;
        const TKeyLayout layout = MakeKeyLayout(h.Slots[static_cast<std::size_t>(slot)], slot, c.data.Fields(),
                                                c.data.LanguageId(), c.data.SortId());
        const std::size_t k = layout.KeyLength();
        key.resize(k);
        TSection report(c.problems, IndexName(h, slot, c.codec));
        auto covered = [&](std::int32_t n) { return sysDeleted || c.Live(n); };
        auto keyOf = [&](std::int32_t n) {
            BuildKey(layout, c.slots.Slot(n, false), key);
            return key.data();
        };
        std::fill(entries.begin(), entries.end(), 0);
        std::int32_t previousSlot = 0;
        TIndexTree tree(index, slot, layout);
        try {
            tree.ForEach([&](const std::uint8_t* entryKey, std::int32_t n) {
                if (n < 1 || n > c.checked) {
                    report.Add("an entry points at " + Slot(n) + ", outside slots 1.." + std::to_string(c.checked));
                    return;
                }
                if (!covered(n)) {
                    report.Add("an entry points at " + Slot(n) + ", which is deleted");
                    return;
                }
                auto& count = entries[static_cast<std::size_t>(n)];
                if (count < std::numeric_limits<std::uint16_t>::max()) ++count;
                if (std::memcmp(entryKey, keyOf(n), k) != 0) {
                    report.Add("the entry of " + Slot(n) + " holds another key than the record");
                    return;
                }
                // The entries come in key order: records sharing a key meet here.
                if (previousSlot != 0 && CompareKeys(layout, previous.data(), entryKey, k) == 0) {
                    report.Add(Slot(previousSlot) + " and " + Slot(n) + " have the same key");
                }
                previous.assign(entryKey, entryKey + k);
                previousSlot = n;
            });
        } catch (const std::exception& e) {
            report.Add(std::string("its entries cannot be read: ") + e.what());
            report.Finish();
            continue;
        }
        for (std::int32_t n = 1; n <= c.checked; ++n) {
            if (!covered(n)) continue;
            const std::uint16_t count = entries[static_cast<std::size_t>(n)];
            if (count > 1) report.Add(Slot(n) + " has " + std::to_string(count) + " entries");
            if (count != 0) continue;
            report.Add(Slot(n) + " has no entry");
            // A record left out may repeat the key of one that is in.
            std::int32_t other = 0;
            try {
                if (!tree.FindExact(keyOf(n), &other) || other == n || other < 1 || other > c.checked || !covered(other)) continue;
            } catch (const std::exception&) {
                continue;
            }
            const std::vector<std::uint8_t> mine(key.begin(), key.end());
            if (std::memcmp(keyOf(other), mine.data(), k) == 0) {
                report.Add(Slot(std::min(n, other)) + " and " + Slot(std::max(n, other)) + " have the same key");
            }
        }
        report.Finish();
    }
}

void CheckIndexes(TCheck& c) {
    std::optional<TIndexFile> own;
    TIndexFile& index = c.files.index ? *c.files.index : own.emplace(c.data.Directory(), c.data.TableName());
    if (!index.IsOpen() && !index.Exists()) {
        c.problems.Add("the index file " + index.FileName() + " is missing");
        return;
    }
    TIndexHeader h;
    try {
        // The header page as it lies in the file.
        TFileHandler plain;
        TFileHandler& raw = index.IsOpen() ? index : plain;
        if (!index.IsOpen()) {
            plain.SetFileName(index.FileName());
            plain.SetReadOnly(true);
            plain.Open();
        }
        const std::uint64_t size = raw.FileSize();
        if (size < kPageSize) {
            c.problems.Add("the index file: it holds " + std::to_string(size) + " bytes, its header page takes " +
                           std::to_string(kPageSize));
            return;
        }
        std::vector<std::uint8_t> page(kPageSize);
        raw.ReadAt(0, page.data(), page.size());
        if (c.data.Encrypted()) ApplyCipher(page, kRecordKey);
        h = TIndexHeader::Decode(page.data());
    } catch (const ERERUZOEngineError& e) {
        c.problems.Add(e.what());
        return;
    }
    const THeaderVerdict verdict = CheckIndexHeader(c, h);
    try {
        if (!index.IsOpen()) {
            index.SetReadOnly(true);
            index.SetEncrypted(c.data.Encrypted());
            index.Open();
        }
        // Anything the rules above missed but the engine refuses, in its words.
        if (verdict.clean) {
            index.CheckVersion();
            index.Validate(c.data.Fields());
        }
    } catch (const ERERUZOEngineError& e) {
        c.problems.Add(e.what());
        if (!index.IsOpen()) return;
    }
    if (!verdict.definitions) return;
    try {
        for (auto& p : CheckIndexFile(index, c.data.Fields(), c.data.LanguageId(), c.data.SortId())) c.problems.Add(p);
    } catch (const ERERUZOEngineError& e) {
        c.problems.Add(e.what());
    }
    // With a primary index the deleted slots are reused, each found through the
    // chain: a slot the chain misses is never used again.
    const bool reuse = !h.NoPrimary && h.Slots[0].FieldCount > 0;
    if (reuse && c.chained < c.deleted) {
        const std::int32_t missed = c.deleted - c.chained;
        c.problems.Add("free chain: " + std::to_string(missed) + (missed == 1 ? " deleted slot is" : " deleted slots are") +
                       " not on it");
    }
    CrossCheckIndexes(c, index);
}

}  // namespace

TTableCount CheckTable(TDataFile& data, const TTextCodec& codec, TProblems& problems, TOpenFiles files) {
    TTableCount count;
    count.slots = data.SlotCount();
    TCheck c{data, codec, problems, count, files, TSlotReader(data)};
    if (!CheckDataHeader(c)) return count;
    CheckRecords(c);
    CheckBlobFile(c);
    CheckIndexes(c);
    return count;
}

namespace {

std::string Suggestion(const std::string& repairCommand) { return "; try \"" + repairCommand + "\""; }

}  // namespace

int VerifyTable(TDataFile& data, const TTextCodec& codec, const std::string& repairCommand) {
    TProblems problems(&std::cout, kMaxProblems);
    TTableCount count;
    bool stopped = false;
    try {
        count = CheckTable(data, codec, problems);
    } catch (const EProblemLimit&) {
        stopped = true;
    }
    if (stopped) {
        std::cout << "verify stopped after " << kMaxProblems << " problems; there may be more\n"
                  << data.FileName() << ": damaged" << Suggestion(repairCommand) << "\n";
        return 1;
    }
    std::cout << data.FileName() << ": " << (problems.Count() == 0 ? "ok" : "damaged") << ", " << count.live
              << " records in " << count.slots << " slots" << (problems.Count() == 0 ? "" : Suggestion(repairCommand))
              << "\n";
    return problems.Count() == 0 ? 0 : 1;
}

int ReportUnreadable(const std::string& fileName, const std::string& message, const std::string& repairCommand) {
    // The engine's message says only that the header is damaged or could not be read;
    // the bytes say which rule they break.
    std::string problem = message;
    try {
        TFileHandler raw;
        raw.SetFileName(fileName);
        raw.SetReadOnly(true);
        raw.Open();
        const std::uint64_t size = raw.FileSize();
        if (size < kHeaderSize) {
            problem = "the data file: it holds " + std::to_string(size) + " bytes, its header takes " +
                      std::to_string(kHeaderSize);
        } else {
            std::array<std::uint8_t, kHeaderSize> bytes{};
            raw.ReadAt(0, bytes.data(), bytes.size());
            const TDataHeader h = TDataHeader::Decode(bytes);
            if (h.FieldCount > kMaxFieldCount) {
                problem = "the data file: its header counts " + std::to_string(h.FieldCount) + " fields, at most " +
                          std::to_string(kMaxFieldCount);
            } else if (size < kHeaderSize + std::uint64_t{kFieldDescSize} * h.FieldCount) {
                problem = "the data file: it ends within its field descriptors";
            }
        }
    } catch (const ERERUZOEngineError&) {
    }
    std::cout << problem << "\n" << fileName << ": damaged" << Suggestion(repairCommand) << "\n";
    return 1;
}

}  // namespace reruzo::cli
