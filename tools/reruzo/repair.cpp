// `reruzo repair`: reading the damaged table straight from its files (as verify does),
// writing the mended copy through the engine's own file handlers, and putting it in
// place. See repair.h for what is mended and how the files are exchanged.
#include "tools/reruzo/repair.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <unordered_set>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_tree.h"
#include "engine/storage/blob_file.h"
#include "engine/storage/byte_order.h"
#include "tools/reruzo/json.h"
#include "tools/reruzo/table_bytes.h"
#include "tools/reruzo/values.h"
#include "tools/reruzo/verify.h"

namespace reruzo::cli {
namespace {

// Slots written to the new data file between flushes of its cache.
constexpr std::int32_t kFlushEvery = 256;
// Slots a report line lists at most.
constexpr std::size_t kListedSlots = 10;

[[noreturn]] void SystemError(const std::string& what, const std::string& name, int error) {
    throw std::runtime_error(what + " " + name + ": " + std::strerror(error));
}

// "slots 3, 9, 12" (the first few, then how many more).
std::string SlotList(const std::vector<std::int32_t>& slots) {
    std::string text = slots.size() == 1 ? "slot " : "slots ";
    for (std::size_t i = 0; i < std::min(slots.size(), kListedSlots); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(slots[i]);
    }
    if (slots.size() > kListedSlots) text += " and " + std::to_string(slots.size() - kListedSlots) + " more";
    return text;
}

// "1 record", "2 records".
std::string Count(std::size_t n, const char* one, const char* more) { return std::to_string(n) + " " + (n == 1 ? one : more); }
std::string Records(std::size_t n) { return Count(n, "record", "records"); }

std::string FileOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A file of this process's own, written with plain system calls: the rejected records.
class TTextFile {
public:
    // Creates `name`; false when it exists already.
    bool Create(const std::string& name) {
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0 && errno == EEXIST) return false;
        if (fd_ < 0) SystemError("cannot create", name, errno);
        name_ = name;
        return true;
    }
    void Write(const std::string& text) {
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) SystemError("cannot write", name_, errno);
            done += static_cast<std::size_t>(n);
        }
    }
    void Close() {
        if (fd_ < 0) return;
        const bool synced = ::fsync(fd_) == 0;
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        if (!synced) SystemError("cannot write", name_, error);
    }
    ~TTextFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    const std::string& Name() const { return name_; }
    bool IsOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::string name_;
};

// Files the repair made, removed again unless the repair got through. Declared before
// the handlers that write them, so that the handlers have closed them by then.
class TMadeFiles {
public:
    ~TMadeFiles() {
        if (kept_) return;
        for (const std::string& name : names_) ::unlink(name.c_str());
    }
    void Add(const std::string& name) { names_.push_back(name); }
    void Keep() { kept_ = true; }

private:
    std::vector<std::string> names_;
    bool kept_ = false;
};

// One index of the new index file with the tree being built.
struct TTree {
    int slot = 0;
    std::string name;
    TKeyLayout layout;
    std::unique_ptr<TIndexTree> tree;
    std::vector<std::uint8_t> key;
};

// What happens to a BLOB field of a record that stays.
struct TBlobFix {
    std::int32_t slot;
    std::size_t field;  // position in the field list
    std::int32_t first = 0;
    std::int32_t stamp = 0;
};

class TRepair {
public:
    TRepair(const TOptions& o, const TTextCodec& codec)
        : o_(o), codec_(codec), data_(o.directory, o.table), index_(o.directory, o.table), blob_(o.directory, o.table) {}

    int Run();

private:
    void OpenExclusively();
    void CheckRepairable();
    void ReadIndexDefinitions();
    void ScanIdentifiers();
    void CreateNewFiles();
    void BuildIndexes();
    void BuildBlobFile();
    void WriteRecords();
    void CloseNewFiles();
    void PutInPlace();
    std::vector<std::string> Report() const;

    // The old slot n with the changes decided for it.
    void Mended(std::int32_t n, std::vector<std::uint8_t>& record) const;
    std::int32_t NewIdentifier();
    bool BlobReadable() const { return blocks_ != nullptr; }
    void Reject(std::int32_t n, std::vector<std::uint8_t>& record, std::int32_t id, const std::string& index);
    bool BlobsReadable(std::span<const std::uint8_t> record);
    void Admit(std::int32_t n);

    const TOptions& o_;
    const TTextCodec& codec_;
    TMadeFiles made_;  // before the handlers: see TMadeFiles

    // The old files, held exclusively.
    TDataFile data_;
    TIndexFile index_;
    TBlobFile blob_;
    bool blobHeaderRead_ = false;
    std::unique_ptr<TSlotReader> slots_;
    std::unique_ptr<TBlockReader> blocks_;
    bool hadIndex_ = false;
    bool hadBlob_ = false;

    // The table as it is to be.
    std::vector<TFieldDesc> fields_;
    std::vector<std::size_t> blobFields_;  // positions of the BLOB fields
    TIndexDesc primary_;
    std::vector<TIndexDesc> secondaries_;
    bool reuse_ = false;  // deleted slots are chained for reuse
    std::int32_t slotCount_ = 0;

    // The new files, under their temporary names.
    std::string datLive_, idxLive_, blbLive_;
    std::string datName_, idxName_, blbName_;
    std::unique_ptr<TDataFile> newData_;
    std::unique_ptr<TIndexFile> newIndex_;
    std::unique_ptr<TBlobFile> newBlob_;
    std::vector<std::unique_ptr<TTree>> trees_;

    // Decisions, slot by slot: 1 when the slot holds a record after the repair.
    std::vector<std::uint8_t> live_;
    std::map<std::int32_t, std::int32_t> newIds_;
    std::unordered_set<std::int32_t> liveIds_;
    std::unordered_set<std::int32_t> rejectedSlots_;
    std::vector<std::int32_t> chainNext_;
    std::int32_t firstFree_ = 0;
    std::vector<TBlobFix> emptied_;
    std::vector<TBlobFix> copied_;
    std::vector<bool> blockUsed_;
    std::int32_t lastId_ = 0;
    std::int32_t lastStamp_ = 0;

    // What was found, for the report.
    std::int32_t liveCount_ = 0;
    std::vector<std::int32_t> oddState_, empty_, renumbered_, brokenBlob_;
    std::map<std::string, std::int32_t> rejectedBy_;
    std::int32_t rejected_ = 0;
    TTextFile rejectFile_;
    std::int32_t rechained_ = 0;
    std::int32_t freedBlocks_ = 0;
    std::int32_t oldBlockCount_ = 0;
    std::uint8_t oldBlobVersion_ = kFormatVersion;
    bool oldBlobHeaderSound_ = true;
    std::vector<std::string> descriptorFixes_;
    std::string backupName_;  // the table's name in the backups' names
};

// ---- The old table --------------------------------------------------------------------

void TRepair::OpenExclusively() {
    data_.SetExclusive(true);
    data_.Open();
    if (data_.Encrypted()) {
        const std::string password = data_.Password();
        if (std::find(o_.passwords.begin(), o_.passwords.end(), password) == o_.passwords.end()) {
            RaiseEngineError(RERUZO_NOTSUFFTABLERIGHTS, {.database = o_.directory, .table = o_.table});
        }
    }
    if (index_.Exists()) {
        index_.SetExclusive(true);
        index_.SetEncrypted(data_.Encrypted());
        index_.Open();
        index_.CheckVersion();
        hadIndex_ = true;
    }
    for (std::size_t i = 0; i < data_.Fields().size(); ++i) {
        if (data_.Fields()[i].FieldType == kFieldBlob) blobFields_.push_back(i);
    }
    if (!blobFields_.empty() && blob_.Exists()) {
        blob_.SetExclusive(true);
        blob_.SetBlockSize(data_.BlobBlockSize());
        blob_.SetEncrypted(data_.Encrypted());
        // A file too short for its header is opened all the same: its blocks are read
        // without it.
        try {
            blob_.Open();
            blobHeaderRead_ = true;
        } catch (const ERERUZOEngineError& e) {
            if (e.EngineCode != RERUZO_READERR) throw;
            blob_.TFileHandler::Open();
        }
        hadBlob_ = true;
        blocks_ = std::make_unique<TBlockReader>(blob_, data_.BlobBlockSize(), data_.Encrypted());
    }
}

// The header and descriptors must make sense once the counts that damage changes are
// set right: otherwise the records cannot be read, and the engine's error says why.
void TRepair::CheckRepairable() {
    slots_ = std::make_unique<TSlotReader>(data_);
    slotCount_ = slots_->FileSlots();
    TDataHeader h = data_.Header();
    h.NextRecordNo = slotCount_ + 1;
    h.FirstFreeRecord = 0;
    fields_ = data_.Fields();
    for (TFieldDesc& f : fields_) {
        if (f.Computed != 0) {
            descriptorFixes_.push_back("field " + std::to_string(f.FieldNo) + " ('" + codec_.ToUtf8(f.Name) +
                                       "'): its computed flag cleared");
        }
        f.Computed = 0;
        f.ComputedRef = 0;
    }
    VerifyStructure(h, fields_, slots_->SlotsStart() + static_cast<std::uint64_t>(slotCount_) * h.RecordSize,
                    o_.directory, o_.table);
    if (h.BlobFieldCount != blobFields_.size()) {
        descriptorFixes_.push_back("BLOB field count was " + std::to_string(h.BlobFieldCount) + ", now " +
                                   std::to_string(blobFields_.size()));
    }
}

void TRepair::ReadIndexDefinitions() {
    if (!hadIndex_) return;
    const TIndexHeader& h = index_.Header();
    if (!h.NoPrimary && h.Slots[0].FieldCount > 0) {
        primary_ = h.Slots[0];
        primary_.Unique = 1;
        primary_.KeyLength = ComputeKeyLength(primary_, fields_, o_.directory, o_.table);
        reuse_ = true;
    }
    for (int s = 1; s <= h.SecondaryCount; ++s) {
        TIndexDesc d = h.Slots[static_cast<std::size_t>(s)];
        d.KeyLength = ComputeKeyLength(d, fields_, o_.directory, o_.table);
        secondaries_.push_back(d);
    }
    // The trees and free pages of the old file mean nothing in the new one.
    primary_.Root = 0;
    primary_.FreeHead = 0;
    for (TIndexDesc& d : secondaries_) {
        d.Root = 0;
        d.FreeHead = 0;
    }
}

// The largest identifier any slot holds: new identifiers come after it (and after the
// last one the header says was handed out).
void TRepair::ScanIdentifiers() {
    lastId_ = std::max(0, data_.Header().LastAutoIncValue);
    for (std::int32_t n = 1; n <= slotCount_; ++n) {
        const auto r = slots_->Slot(n);
        if (r[0] > 1) continue;
        lastId_ = std::max(lastId_, GetLE<std::int32_t>(r.data() + kAutoIncOffset));
    }
    lastStamp_ = std::max(0, data_.Header().LastBlobStamp);
}

std::int32_t TRepair::NewIdentifier() {
    if (lastId_ == INT32_MAX) {
        throw std::runtime_error("the table has no record identifier left to give a record whose own is taken");
    }
    return ++lastId_;
}

// ---- The new files ---------------------------------------------------------------------

void TRepair::CreateNewFiles() {
    const TDataHeader& h = data_.Header();
    datLive_ = data_.File()->Name();
    idxLive_ = hadIndex_ ? index_.File()->Name() : index_.FileName();
    blbLive_ = hadBlob_ ? blob_.File()->Name() : blob_.FileName();
    datName_ = datLive_ + ".repair";
    idxName_ = idxLive_ + ".repair";
    blbName_ = blbLive_ + ".repair";

    newData_ = std::make_unique<TDataFile>(o_.directory, o_.table);
    newData_->SetFileName(datName_);
    made_.Add(datName_);
    newData_->InitHeader(h.LanguageId, h.SortId, h.UserMajorVersion, h.UserMinorVersion, data_.Encrypted(),
                         data_.Password(), data_.Description(), static_cast<std::uint16_t>(h.BlobBlockSize & 0xFFFF),
                         fields_);

    newIndex_ = std::make_unique<TIndexFile>(o_.directory, o_.table);
    newIndex_->SetFileName(idxName_);
    newIndex_->SetEncrypted(data_.Encrypted());
    made_.Add(idxName_);
    newIndex_->Create();
    newIndex_->DefinePrimaryIndex(primary_, fields_);
    for (const TIndexDesc& d : secondaries_) newIndex_->AddSecondaryIndex(d, fields_);
    const TIndexHeader& ih = newIndex_->Header();
    std::vector<int> slots;
    if (ih.Slots[0].Defined()) slots.push_back(0);
    for (int s = 1; s <= ih.SecondaryCount; ++s) slots.push_back(s);
    slots.push_back(kSysDeletedSlot);
    for (int s : slots) {
        auto t = std::make_unique<TTree>();
        t->slot = s;
        t->name = s == 0 ? "the primary index" : "index '" + codec_.ToUtf8(ih.Slots[static_cast<std::size_t>(s)].Name) + "'";
        t->layout = MakeKeyLayout(ih.Slots[static_cast<std::size_t>(s)], s, fields_, h.LanguageId, h.SortId);
        t->tree = std::make_unique<TIndexTree>(*newIndex_, s, t->layout);
        t->key.resize(t->layout.KeyLength());
        trees_.push_back(std::move(t));
    }

    if (blobFields_.empty()) return;
    made_.Add(blbName_);
    const std::uint32_t blockSize = data_.BlobBlockSize();
    if (hadBlob_) {
        // A copy of the old file, cut to the blocks it holds whole, with a header
        // counting them and no free chain yet: the free chain is made anew.
        TBlobHeader old;
        if (blob_.FileSize() >= kBlobHeaderSize) {
            std::vector<std::uint8_t> bytes(kBlobHeaderSize);
            blob_.ReadAt(0, bytes.data(), bytes.size());
            if (data_.Encrypted()) ApplyCipher(bytes, kRecordKey);
            old = TBlobHeader::Decode(bytes.data());
        } else {
            oldBlobHeaderSound_ = false;
        }
        oldBlockCount_ = old.NextBlockNo - 1;
        oldBlobVersion_ = old.FormatVersion;
        if (old.FormatVersion != kFormatVersion || old.NextBlockNo - 1 != blocks_->FileBlocks()) oldBlobHeaderSound_ = false;
        blob_.CopyTo(blbName_);
        TFileHandler copy;
        copy.SetFileName(blbName_);
        copy.Open();
        copy.TruncateAt(kBlobHeaderSize + static_cast<std::uint64_t>(blocks_->FileBlocks()) * blockSize);
        TBlobHeader fresh;
        fresh.ChangeCount = old.ChangeCount + 1;
        fresh.NextBlockNo = blocks_->FileBlocks() + 1;
        std::vector<std::uint8_t> bytes(kBlobHeaderSize);
        fresh.Encode(bytes.data());
        if (data_.Encrypted()) ApplyCipher(bytes, kRecordKey);
        copy.WriteAt(0, bytes.data(), bytes.size());
        copy.Close();
    }
    newBlob_ = std::make_unique<TBlobFile>(o_.directory, o_.table);
    newBlob_->SetFileName(blbName_);
    newBlob_->SetBlockSize(blockSize);
    newBlob_->SetEncrypted(data_.Encrypted());
    if (hadBlob_) {
        newBlob_->Open();
    } else {
        newBlob_->Create();
    }
    blockUsed_.assign(static_cast<std::size_t>(newBlob_->BlockCount()) + 1, false);
}

// ---- Records and indexes ---------------------------------------------------------------

void TRepair::Reject(std::int32_t n, std::vector<std::uint8_t>& record, std::int32_t id, const std::string& index) {
    // The record as the table held it, with its own identifier.
    PutLE(record.data() + kAutoIncOffset, id);
    ++rejected_;
    ++rejectedBy_[index];
    if (!rejectFile_.IsOpen()) {
        const std::string base = o_.directory + o_.table + ".rejected";
        for (int i = 1; !rejectFile_.Create(base + (i == 1 ? "" : "." + std::to_string(i)) + ".json"); ++i) {
        }
        made_.Add(rejectFile_.Name());
    }
    std::string line = "{\"_slot\":" + std::to_string(n) +
                       ",\"_id\":" + std::to_string(GetLE<std::int32_t>(record.data() + kAutoIncOffset));
    for (const TFieldDesc& f : fields_) {
        line += ',';
        AppendJsonString(line, codec_.ToUtf8(f.Name));
        line += ':';
        if (f.FieldType != kFieldBlob) {
            AppendFieldJson(line, record, f, codec_);
            continue;
        }
        std::vector<std::uint8_t> contents;
        if (!FieldIsNull(record, f) && BlobReadable()) {
            const TBlobReference ref = GetBlobReference(record, f);
            TBlobChain chain = ReadBlobChain(*blocks_, ref.firstBlock, ref.stamp, true);
            if (chain.readable) contents = std::move(chain.contents);
        }
        AppendBlobJson(line, contents, f, codec_);
    }
    rejectFile_.Write(line + "}\n");
}

// True for a slot that holds a record: in use, and not nothing but zero bytes (a slot
// the file was extended by but that was never written).
bool HoldsRecord(std::span<const std::uint8_t> slot) {
    return slot[0] == 0 && std::any_of(slot.begin(), slot.end(), [](std::uint8_t b) { return b != 0; });
}

bool TRepair::BlobsReadable(std::span<const std::uint8_t> record) {
    for (std::size_t i : blobFields_) {
        const TFieldDesc& f = fields_[i];
        if (FieldIsNull(record, f)) continue;
        const TBlobReference ref = GetBlobReference(record, f);
        if (!BlobReadable() || !ReadBlobChain(*blocks_, ref.firstBlock, ref.stamp, false).readable) return false;
    }
    return true;
}

// Enters the record of slot n into every index unless a unique index holds its key
// already; then it is rejected. Decides what becomes of its BLOBs.
void TRepair::Admit(std::int32_t n) {
    const auto old = slots_->Slot(n);
    std::vector<std::uint8_t> record(old.begin(), old.end());
    const std::int32_t id = GetLE<std::int32_t>(record.data() + kAutoIncOffset);
    const bool renumber = id <= 0 || liveIds_.count(id) != 0;
    const std::int32_t given = renumber ? NewIdentifier() : id;
    PutLE(record.data() + kAutoIncOffset, given);
    std::string refusedBy;
    for (auto& t : trees_) {
        BuildKey(t->layout, record, t->key);
        if (refusedBy.empty() && t->layout.unique && t->slot != kSysDeletedSlot &&
            t->tree->FindExact(t->key.data(), nullptr)) {
            refusedBy = t->name;
        }
    }
    if (!refusedBy.empty()) {
        if (renumber) --lastId_;  // the number goes back: nothing took it
        Reject(n, record, id, refusedBy);
        rejectedSlots_.insert(n);
        return;
    }
    for (auto& t : trees_) t->tree->Insert(t->key.data(), n);
    liveIds_.insert(given);
    live_[static_cast<std::size_t>(n)] = 1;
    ++liveCount_;
    if (renumber) {
        newIds_[n] = given;
        renumbered_.push_back(n);
    }
    // The BLOBs: kept where their chains are sound and no other record's, copied when
    // they can be read, emptied when they cannot.
    bool broken = false;
    for (std::size_t i : blobFields_) {
        const TFieldDesc& f = fields_[i];
        if (FieldIsNull(record, f)) continue;
        const TBlobReference ref = GetBlobReference(record, f);
        TBlobChain chain;
        if (BlobReadable()) chain = ReadBlobChain(*blocks_, ref.firstBlock, ref.stamp, false);
        if (!chain.readable) {
            emptied_.push_back({n, i});
            broken = true;
            continue;
        }
        const bool shared = std::any_of(chain.blocks.begin(), chain.blocks.end(),
                                        [&](std::int32_t b) { return blockUsed_[static_cast<std::size_t>(b)]; });
        if (!chain.sound || shared) {
            copied_.push_back({n, i});
            continue;
        }
        for (std::int32_t b : chain.blocks) blockUsed_[static_cast<std::size_t>(b)] = true;
        lastStamp_ = std::max(lastStamp_, ref.stamp);
    }
    if (broken) brokenBlob_.push_back(n);
}

void TRepair::BuildIndexes() {
    live_.assign(static_cast<std::size_t>(slotCount_) + 1, 0);
    // Records whose BLOBs can all be read go in first: of two records with one key (an
    // append done again after a crash, say) the whole one stays, the other is rejected.
    enum : std::uint8_t { kNoRecord, kBroken, kWhole };
    std::vector<std::uint8_t> kind(static_cast<std::size_t>(slotCount_) + 1, kNoRecord);
    for (std::int32_t n = 1; n <= slotCount_; ++n) {
        const auto slot = slots_->Slot(n);
        if (HoldsRecord(slot)) kind[static_cast<std::size_t>(n)] = BlobsReadable(slot) ? kWhole : kBroken;
    }
    for (const std::uint8_t round : {kWhole, kBroken}) {
        for (std::int32_t n = 1; n <= slotCount_; ++n) {
            if (kind[static_cast<std::size_t>(n)] == round) Admit(n);
        }
    }
    // The deleted slots. Each keeps an identifier no other slot has: its "Sys Deleted"
    // key (state and identifier) must be its own, and a record in use with the same
    // identifier would collide with it once deleted. A rejected record's slot gets a
    // new one, so that the record can be appended again under its own.
    std::unordered_set<std::int32_t> deletedIds;
    std::vector<std::uint8_t> record;
    TTree& sys = *trees_.back();
    for (std::int32_t n = 1; n <= slotCount_; ++n) {
        if (live_[static_cast<std::size_t>(n)] != 0) continue;
        const auto old = slots_->Slot(n);
        if (old[0] > 1) oddState_.push_back(n);
        if (old[0] == 0 && kind[static_cast<std::size_t>(n)] == kNoRecord) empty_.push_back(n);
        record.assign(old.begin(), old.end());
        record[0] = 1;
        std::int32_t id = GetLE<std::int32_t>(record.data() + kAutoIncOffset);
        if (deletedIds.count(id) != 0 || liveIds_.count(id) != 0 || rejectedSlots_.count(n) != 0) {
            id = NewIdentifier();
            newIds_[n] = id;
            PutLE(record.data() + kAutoIncOffset, id);
        }
        deletedIds.insert(id);
        BuildKey(sys.layout, record, sys.key);
        sys.tree->Insert(sys.key.data(), n);
    }
    newIndex_->SetRecordCount(liveCount_);
    auto bySlot = [](const TBlobFix& a, const TBlobFix& b) { return a.slot < b.slot; };
    std::stable_sort(emptied_.begin(), emptied_.end(), bySlot);
    std::stable_sort(copied_.begin(), copied_.end(), bySlot);
    std::sort(renumbered_.begin(), renumbered_.end());
    std::sort(brokenBlob_.begin(), brokenBlob_.end());
}

// The deleted slots chained again: along the old chain as long as it is sound, then the
// others in slot order. A table without a primary index never follows the chain: its
// deleted slots keep no link, and the first free slot only names one of them.
void TRepair::WriteRecords() {
    chainNext_.assign(static_cast<std::size_t>(slotCount_) + 1, 0);
    std::vector<std::int32_t> chain;
    std::vector<bool> onChain(static_cast<std::size_t>(slotCount_) + 1, false);
    const std::int32_t oldFirst = data_.Header().FirstFreeRecord;
    auto deleted = [&](std::int32_t n) { return n >= 1 && n <= slotCount_ && live_[static_cast<std::size_t>(n)] == 0; };
    if (reuse_) {
        for (std::int32_t n = oldFirst; deleted(n) && !onChain[static_cast<std::size_t>(n)];) {
            const auto old = slots_->Slot(n, false);
            if (old[0] != 1) break;
            onChain[static_cast<std::size_t>(n)] = true;
            chain.push_back(n);
            n = GetLE<std::int32_t>(old.data() + 1);
        }
        for (std::int32_t n = 1; n <= slotCount_; ++n) {
            if (deleted(n) && !onChain[static_cast<std::size_t>(n)]) chain.push_back(n);
        }
        for (std::size_t i = 0; i + 1 < chain.size(); ++i) chainNext_[static_cast<std::size_t>(chain[i])] = chain[i + 1];
        firstFree_ = chain.empty() ? 0 : chain.front();
    } else {
        firstFree_ = 0;
        for (std::int32_t n = slotCount_; n >= 1 && firstFree_ == 0; --n) {
            if (deleted(n)) firstFree_ = n;
        }
        if (deleted(oldFirst)) firstFree_ = oldFirst;
    }

    std::vector<std::uint8_t> record;
    for (std::int32_t n = 1; n <= slotCount_; ++n) {
        const auto old = slots_->Slot(n);
        if (live_[static_cast<std::size_t>(n)] == 0 &&
            (old[0] != 1 || GetLE<std::int32_t>(old.data() + 1) != chainNext_[static_cast<std::size_t>(n)])) {
            ++rechained_;
        }
        Mended(n, record);
        TRecord* r = newData_->AppendRecord();
        std::copy(record.begin(), record.end(), r->Data().begin());
        r->SetModified(true);
        newData_->ReleaseRecord(r);
        if (n % kFlushEvery == 0) newData_->FlushRecords(false);
    }
    newData_->SetFirstFree(firstFree_);
    newData_->SetLastAutoInc(lastId_);
}

void TRepair::Mended(std::int32_t n, std::vector<std::uint8_t>& record) const {
    const auto old = slots_->Slot(n);
    record.assign(old.begin(), old.end());
    if (const auto it = newIds_.find(n); it != newIds_.end()) PutLE(record.data() + kAutoIncOffset, it->second);
    if (live_[static_cast<std::size_t>(n)] == 0) {
        record[0] = 1;
        PutLE(record.data() + 1, chainNext_[static_cast<std::size_t>(n)]);
        return;
    }
    PutLE(record.data() + 1, n);
    auto fix = [&](const std::vector<TBlobFix>& fixes, bool empty) {
        auto it = std::lower_bound(fixes.begin(), fixes.end(), n, [](const TBlobFix& f, std::int32_t s) { return f.slot < s; });
        for (; it != fixes.end() && it->slot == n; ++it) {
            const TFieldDesc& f = fields_[it->field];
            if (empty) {
                PutNullField(record, f);
            } else {
                PutBlobReference(record, f, it->first, it->stamp);
            }
        }
    };
    fix(emptied_, true);
    fix(copied_, false);
}

// Frees every block no kept chain uses, then writes the BLOBs to be copied into the
// blocks that are free now.
void TRepair::BuildBlobFile() {
    if (!newBlob_) return;
    // The blocks the old free chain held (while it was sound) do not count as freed.
    std::vector<bool> wasFree(blockUsed_.size(), false);
    if (hadBlob_ && oldBlobHeaderSound_) {
        std::vector<std::uint8_t> bytes(kBlobHeaderSize);
        blob_.ReadAt(0, bytes.data(), bytes.size());
        if (data_.Encrypted()) ApplyCipher(bytes, kRecordKey);
        for (std::int32_t n = TBlobHeader::Decode(bytes.data()).FirstFreeBlock;
             n >= 1 && n <= blocks_->FileBlocks() && !wasFree[static_cast<std::size_t>(n)];) {
            const TBlockHead head = blocks_->Read(n);
            if (head.stamp != 0) break;
            wasFree[static_cast<std::size_t>(n)] = true;
            n = head.next;
        }
    }
    for (std::int32_t n = 1; n <= newBlob_->BlockCount(); ++n) {
        if (blockUsed_[static_cast<std::size_t>(n)]) continue;
        TPinnedBlock b(newBlob_->GetBlock(nullptr, n, newBlob_->ReadAhead()));
        newBlob_->FreeBlock(*b);
        if (!wasFree[static_cast<std::size_t>(n)]) ++freedBlocks_;
    }
    for (TBlobFix& fix : copied_) {
        const TFieldDesc& f = fields_[fix.field];
        const auto old = slots_->Slot(fix.slot, false);
        const TBlobReference ref = GetBlobReference(old, f);
        TBlobChain chain = ReadBlobChain(*blocks_, ref.firstBlock, ref.stamp, true);
        TBlobBuffer buffer(*newBlob_, fix.slot, f.FieldNo, 0, 0);
        buffer.Data() = std::move(chain.contents);
        if (lastStamp_ == INT32_MAX) lastStamp_ = 0;
        buffer.Save(nullptr, ++lastStamp_);
        fix.first = buffer.FirstBlock();
        fix.stamp = buffer.Stamp();
    }
}

void TRepair::CloseNewFiles() {
    newData_->FlushRecords(true);
    newData_->WriteFieldDescs();
    newData_->WriteHeader(true, true);
    // The header as the engine wrote it, with the last BLOB stamp above every stamp a
    // kept BLOB carries and the change counter going on from the old file's.
    TDataHeader h = newData_->Header();
    h.ChangeCount = data_.Header().ChangeCount + 1;
    h.LastBlobStamp = lastStamp_;
    h.HeaderModified = 1;  // as the engine writes its headers
    std::array<std::uint8_t, kHeaderSize> bytes{};
    h.Encode(bytes);
    newData_->WriteAt(0, bytes.data(), bytes.size());
    newData_->Flush();
    newData_->Close();

    newIndex_->FlushPages(true);
    newIndex_->WriteHeader(true, true);
    trees_.clear();
    newIndex_->Close();

    if (newBlob_) {
        newBlob_->FlushBlocks(true);
        newBlob_->WriteHeader(true, true);
        newBlob_->Close();
    }
    if (rejectFile_.IsOpen()) rejectFile_.Close();
}

// ---- Putting the new files in place --------------------------------------------------

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

void TRepair::PutInPlace() {
    struct TExchange {
        TFileHandler* old;  // null when the table had no such file
        std::string live;
        std::string repaired;
        std::string backup;
    };
    const std::string folder = datLive_.substr(0, datLive_.rfind('/') + 1);
    // The backups lie beside the data file, under the table's name as it is on disk.
    const std::string stem = TableFileName(folder, FileOf(datLive_), "");
    backupName_ = FileOf(stem);
    std::vector<TExchange> files;
    files.push_back({hadIndex_ ? &index_ : nullptr, idxLive_, idxName_, stem + ".IBK"});
    if (newBlob_) files.push_back({hadBlob_ ? &blob_ : nullptr, blbLive_, blbName_, stem + ".BBK"});
    files.push_back({&data_, datLive_, datName_, stem + ".DBK"});

    // The backups first: older ones go, then each old file gets its backup name too.
    for (const char* extension : {".DBK", ".IBK", ".BBK"}) {
        const std::string name = stem + extension;
        if (::unlink(name.c_str()) != 0 && errno != ENOENT) SystemError("cannot remove the old backup", name, errno);
    }
    for (const TExchange& f : files) {
        if (!f.old) continue;
        if (::link(f.live.c_str(), f.backup.c_str()) == 0) continue;
        if (errno != EXDEV && errno != EPERM && errno != ENOTSUP && errno != EMLINK) {
            SystemError("cannot keep the old file as", f.backup, errno);
        }
        f.old->CopyTo(f.backup);
    }
    // Then the new files over the old names, the data file last; a failure puts back
    // what was exchanged already.
    std::vector<const TExchange*> done;
    for (const TExchange& f : files) {
        if (::rename(f.repaired.c_str(), f.live.c_str()) == 0) {
            done.push_back(&f);
            continue;
        }
        const int error = errno;
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            const TExchange& back = **it;
            if (!back.old) {
                ::unlink(back.live.c_str());
            } else if (::link(back.backup.c_str(), back.repaired.c_str()) == 0) {
                ::rename(back.repaired.c_str(), back.live.c_str());
            }
        }
        SystemError("cannot put the repaired file in place of", f.live, error);
    }
    SyncFolder(folder);
    made_.Keep();
}

// ---- The report -------------------------------------------------------------------------

std::vector<std::string> TRepair::Report() const {
    std::vector<std::string> lines = descriptorFixes_;
    const TDataHeader& h = data_.Header();
    if (h.NextRecordNo - 1 != slotCount_) {
        lines.push_back("slot count was " + std::to_string(h.NextRecordNo - 1) + ", now " + std::to_string(slotCount_) +
                        " (the slots the data file holds)");
    }
    if (slots_->PartialBytes() != 0) {
        lines.push_back("a slot cut short at the end of the data file (" + std::to_string(slots_->PartialBytes()) +
                        " bytes) dropped");
    }
    if (!oddState_.empty()) {
        lines.push_back(Count(oddState_.size(), "slot", "slots") + " with a state byte other than 0 or 1 marked deleted (" +
                        SlotList(oddState_) + ")");
    }
    if (!empty_.empty()) {
        lines.push_back(Count(empty_.size(), "slot", "slots") + " of zero bytes only marked deleted (" + SlotList(empty_) +
                        ")");
    }
    if (!renumbered_.empty()) {
        lines.push_back(Records(renumbered_.size()) + " renumbered, the identifier not positive or another record's (" +
                        SlotList(renumbered_) + ")");
    }
    if (rejected_ > 0) {
        std::string by;
        for (const auto& [name, n] : rejectedBy_) by += (by.empty() ? "" : ", ") + name + ": " + std::to_string(n);
        lines.push_back(Records(static_cast<std::size_t>(rejected_)) +
                        " kept out of the table, the key held by another record in a unique index (" + by +
                        "); written to " + rejectFile_.Name());
    }
    if (!brokenBlob_.empty()) {
        lines.push_back(Records(brokenBlob_.size()) + " with a broken BLOB reference, the BLOB field emptied (" +
                        SlotList(brokenBlob_) + ")");
    }
    if (!copied_.empty()) {
        lines.push_back(Count(copied_.size(), "BLOB", "BLOBs") + " copied to new blocks, the old chain unsound or shared");
    }
    if (!blobFields_.empty() && !hadBlob_) lines.push_back("the BLOB file was missing: made anew");
    if (hadBlob_ && !blobHeaderRead_) lines.push_back("the BLOB file's header was cut short: written anew");
    if (hadBlob_ && oldBlobVersion_ != kFormatVersion) {
        lines.push_back("BLOB file format version was " + std::to_string(oldBlobVersion_) + ", now " +
                        std::to_string(kFormatVersion));
    }
    if (hadBlob_ && oldBlockCount_ != blocks_->FileBlocks()) {
        lines.push_back("BLOB block count was " + std::to_string(oldBlockCount_) + ", now " +
                        std::to_string(blocks_->FileBlocks()) + " (the blocks the BLOB file holds)");
    }
    if (freedBlocks_ > 0) {
        lines.push_back(Count(static_cast<std::size_t>(freedBlocks_), "unused BLOB block", "unused BLOB blocks") + " freed");
    }
    if (rechained_ > 0 || h.FirstFreeRecord != firstFree_) {
        lines.push_back(Count(static_cast<std::size_t>(rechained_), "free slot", "free slots") + " re-chained" +
                        (h.FirstFreeRecord == firstFree_ ? std::string()
                                                         : ", the first free slot was " + std::to_string(h.FirstFreeRecord) +
                                                               ", now " + std::to_string(firstFree_)));
    }
    if (!hadIndex_) {
        lines.push_back("the index file was missing: made anew without indexes");
    } else {
        if (index_.RecordCount() != liveCount_) {
            lines.push_back("record count was " + std::to_string(index_.RecordCount()) + ", now " +
                            std::to_string(liveCount_));
        }
        std::string names;
        for (const auto& t : trees_) {
            if (t->slot != kSysDeletedSlot) names += (names.empty() ? "" : ", ") + t->name;
        }
        lines.push_back("indexes rebuilt from the records" + (names.empty() ? std::string(" (the table has none)") : ": " + names));
    }
    if (h.LastAutoIncValue != lastId_) {
        lines.push_back("auto-increment was " + std::to_string(h.LastAutoIncValue) + ", now " + std::to_string(lastId_));
    }
    return lines;
}

int TRepair::Run() {
    OpenExclusively();
    CheckRepairable();
    ReadIndexDefinitions();
    if (!hadBlob_ || blobHeaderRead_) {
        // Nothing is written for a table verify finds sound.
        TProblems problems(nullptr, 1);
        TTableCount count;
        try {
            count = CheckTable(data_, codec_, problems,
                               {.index = hadIndex_ ? &index_ : nullptr, .blob = hadBlob_ ? &blob_ : nullptr});
        } catch (const EProblemLimit&) {
        }
        if (problems.Count() == 0) {
            std::cout << data_.FileName() << ": sound, nothing to mend, " << count.live << " records in " << count.slots
                      << " slots\n";
            return 0;
        }
    }
    ScanIdentifiers();
    CreateNewFiles();
    BuildIndexes();
    BuildBlobFile();
    WriteRecords();
    const std::vector<std::string> report = Report();
    CloseNewFiles();
    PutInPlace();
    for (const std::string& line : report) std::cout << line << "\n";
    std::cout << data_.FileName() << ": repaired, " << liveCount_ << " records in " << slotCount_
              << " slots; the old files are kept as " << backupName_ << ".DBK";
    if (hadIndex_) std::cout << ", " << backupName_ << ".IBK";
    if (hadBlob_) std::cout << ", " << backupName_ << ".BBK";
    std::cout << "\n";
    return 0;
}

}  // namespace

int RepairCommand(const TOptions& o) {
    const TTextCodec codec(o.codePage);
    return TRepair(o, codec).Run();
}

}  // namespace reruzo::cli
