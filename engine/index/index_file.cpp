// The index file: opening, creating and checking it, its page buffers, and defining
// and deleting indexes.
#include "engine/index/index_file.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "platform/nls.h"

namespace reruzo {
namespace {

std::string Trimmed(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
}

std::string NameKey(std::string_view s) { return quorvane::nls::MapCase(Trimmed(s), 0, 0, true); }

bool ValidIndexNameStart(const std::string& name) {
    const std::string key = NameKey(name);
    if (key.empty()) return false;
    const auto c = static_cast<unsigned char>(key[0]);
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0x81 && c <= 0xFE);
}

}  // namespace

// ---- TIndexFile -------------------------------------------------------------------------

void TPagePin::Release() {
    if (page_) page_->Owner()->ReleasePage(page_);
    page_ = nullptr;
}

TIndexFile::TIndexFile(std::string directory, std::string table, TDataFileOwner* owner)
    : directory_(std::move(directory)), table_(std::move(table)), owner_(owner ? owner : &defaultOwner_) {
    SetFileName(TableFileName(directory_.empty() ? "./" : directory_, table_, ".IDX"));
    SetErrorContext(directory_, table_);
    io_.resize(kPageSize);
}

TIndexFile::~TIndexFile() { Close(); }

void TIndexFile::RaiseTable(std::uint16_t code) const {
    RaiseEngineError(code, {.database = directory_, .table = table_});
}

void TIndexFile::Cipher(std::uint8_t* page) const {
    if (encrypted_) ApplyCipher({page, kPageSize}, kRecordKey);
}

void TIndexFile::ReadHeaderPage() {
    ReadAt(0, io_.data(), kPageSize);
    Cipher(io_.data());
    header_ = TIndexHeader::Decode(io_.data());
    header_.HeaderChanged = 0;
}

void TIndexFile::Open() {
    if (IsOpen()) return;
    TFileHandler::Open();
    try {
        ReadHeaderPage();
        stats_ = {};
        if (header_.SecondaryCount >= kIndexSlots) RaiseTable(RERUZO_HEADERCORRUPT);
    } catch (...) {
        TFileHandler::Close();
        throw;
    }
}

void TIndexFile::Close() {
    if (!IsOpen()) return;
    DiscardBuffers();
    stats_ = {};
    TFileHandler::Close();
}

void TIndexFile::Create() {
    TFileHandler::Create();
    header_ = TIndexHeader::New();
    header_.HeaderChanged = 1;
    stats_ = {};
    DiscardBuffers();
    WriteHeader(true, false);
}

void TIndexFile::CheckVersion() const {
    if (header_.Version != kIndexFormatVersion) RaiseTable(RERUZO_OLDVERSION);
}

void TIndexFile::Validate(const std::vector<TFieldDesc>& fields) const {
    auto corrupt = [this] { RaiseTable(RERUZO_HEADERCORRUPT); };
    const TIndexHeader& h = header_;
    if (h.SecondaryCount > kMaxSecondaryIndexes || h.PageCount < 1) corrupt();
    const TIndexDesc& primary = h.Slots[0];
    if (!primary.Name.empty()) corrupt();
    if (!h.NoPrimary && !primary.Unique) corrupt();
    std::vector<std::string> names;
    for (int slot = 1; slot <= h.SecondaryCount; ++slot) {
        const std::string& name = h.Slots[static_cast<std::size_t>(slot)].Name;
        if (!ValidIndexNameStart(name)) corrupt();
        const std::string key = NameKey(name);
        if (std::find(names.begin(), names.end(), key) != names.end()) corrupt();
        names.push_back(key);
    }
    auto checkSlot = [&](int slot) {
        const TIndexDesc& d = h.Slots[static_cast<std::size_t>(slot)];
        if (d.FieldCount > kMaxKeyFields) corrupt();
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < d.FieldCount; ++i) {
            const TFieldDesc* f = FieldByNumber(fields, d.FieldNumbers[i]);
            if (!f || f->FieldType == kFieldBlob) corrupt();
            bytes += TKeyField{*f, false}.Width() + 1;
        }
        const bool fieldless = slot == 0 && h.NoPrimary && d.FieldCount == 0;
        if (!fieldless && (bytes < 1 || bytes > kMaxKeyFieldBytes)) corrupt();
        // The stored key length must be the one the fields give, or pages cannot be read.
        if (!fieldless && d.KeyLength != bytes + (d.Unique ? 0 : kKeySuffixLength)) corrupt();
    };
    if (!h.NoPrimary || primary.FieldCount > 0) checkSlot(0);
    for (int slot = 1; slot <= h.SecondaryCount; ++slot) checkSlot(slot);
    if (h.Slots[kSysDeletedSlot].KeyLength != kSysDeletedKeyLength) corrupt();
    for (const TIndexDesc& d : h.Slots) {
        if (h.PageCount == 1) {
            if (d.Root != 0 || d.FreeHead != 0) corrupt();
        } else if (d.Root < 0 || d.Root >= h.PageCount || d.FreeHead < 0 || d.FreeHead >= h.PageCount) {
            corrupt();
        }
    }
}

// ---- Page buffers ------------------------------------------------------------------------

std::size_t TIndexFile::LowerBound(const TSlotBuffer& b, std::int32_t pageNo) const {
    auto it = std::lower_bound(b.pages.begin(), b.pages.end(), pageNo,
                               [](const std::unique_ptr<TPage>& p, std::int32_t n) { return p->pageNo_ < n; });
    return static_cast<std::size_t>(it - b.pages.begin());
}

TPage* TIndexFile::FindBuffered(TSlotBuffer& b, std::int32_t pageNo) {
    int probed = 0;
    for (TPage* p = b.newest; p && probed < 2; p = p->lruOlder_, ++probed) {
        if (p->pageNo_ == pageNo) return p;
    }
    const std::size_t i = LowerBound(b, pageNo);
    return i < b.pages.size() && b.pages[i]->pageNo_ == pageNo ? b.pages[i].get() : nullptr;
}

void TIndexFile::LruUnlink(TSlotBuffer& b, TPage* p) {
    if (p->lruNewer_) p->lruNewer_->lruOlder_ = p->lruOlder_;
    if (p->lruOlder_) p->lruOlder_->lruNewer_ = p->lruNewer_;
    if (b.newest == p) b.newest = p->lruOlder_;
    if (b.oldest == p) b.oldest = p->lruNewer_;
    p->lruNewer_ = p->lruOlder_ = nullptr;
}

void TIndexFile::LruPushNewest(TSlotBuffer& b, TPage* p) {
    p->lruOlder_ = b.newest;
    p->lruNewer_ = nullptr;
    if (b.newest) b.newest->lruNewer_ = p;
    b.newest = p;
    if (!b.oldest) b.oldest = p;
}

void TIndexFile::InsertBuffered(TSlotBuffer& b, std::unique_ptr<TPage> page) {
    TPage* raw = page.get();
    const std::size_t i = LowerBound(b, raw->pageNo_);
    b.pages.insert(b.pages.begin() + static_cast<std::ptrdiff_t>(i), std::move(page));
    LruPushNewest(b, raw);
}

std::unique_ptr<TPage> TIndexFile::TakeBufferPage(int slot) {
    TSlotBuffer& b = Buffer(slot);
    if (b.pages.size() < b.capacity) return pool_.Pop(this);
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Pages passed over (dirty in a transaction, or pinned) go to the newest end,
        // so that the next search does not walk them again.
        TPage* newestBefore = b.newest;
        for (TPage* p = b.oldest; p;) {
            TPage* newer = p->lruNewer_;
            if (p->dirty_ || p->pinCount_ != 0) {
                LruUnlink(b, p);
                LruPushNewest(b, p);
                if (p == newestBefore) break;
                p = newer;
                continue;
            }
            LruUnlink(b, p);
            const std::size_t i = LowerBound(b, p->pageNo_);
            if (i >= b.pages.size() || b.pages[i].get() != p) RaiseTable(RERUZO_INDEXCORRUPT);
            std::unique_ptr<TPage> owned = std::move(b.pages[i]);
            b.pages.erase(b.pages.begin() + static_cast<std::ptrdiff_t>(i));
            return owned;
        }
        // Inside a transaction dirty pages stay in memory: grow instead of writing.
        if (attempt > 0 || owner_->DefersWrites()) break;
        FlushPages(false);
    }
    b.capacity += std::max<std::size_t>(4, b.capacity / 2);
    return pool_.Pop(this);
}

TPage* TIndexFile::FetchPage(TChangeCheck* cursor, int slot, std::int32_t pageNo, bool forNew) {
    // Page numbers come from pages and headers that may be damaged: a page at or past
    // the end is corruption, never a reason to grow the file.
    if (slot < 0 || slot >= kIndexSlots || pageNo <= 0 || pageNo >= header_.PageCount) RaiseTable(RERUZO_INDEXCORRUPT);
    TSlotBuffer& b = Buffer(slot);
    const TIndexDesc empty;
    const TIndexDesc& desc = slot < kDescriptorSlots ? header_.Slots[static_cast<std::size_t>(slot)] : empty;

    if (TPage* hit = FindBuffered(b, pageNo)) {
        LruUnlink(b, hit);
        LruPushNewest(b, hit);
        ++stats_.bufferHits;
        hit->pinCount_++;
        return hit;
    }

    if (cursor && !owner_->StrictChangeDetection() && cursor->ChangedBeforeRead()) throw EIndexChanged();
    std::unique_ptr<TPage> page = TakeBufferPage(slot);
    page->Reset(slot, pageNo, desc);
    ReadAt(static_cast<std::uint64_t>(pageNo) * kPageSize, io_.data(), kPageSize);
    Cipher(io_.data());
    page->Decode(io_.data(), forNew);
    TPage* raw = page.get();
    InsertBuffered(b, std::move(page));
    ++stats_.diskReads;
    raw->pinCount_++;
    if (raw->pageNo_ != pageNo) RaiseTable(RERUZO_INDEXCORRUPT);
    return raw;
}

void TIndexFile::ReleasePage(TPage* page) {
    if (page && page->pinCount_ > 0) --page->pinCount_;
}

std::int32_t TIndexFile::ExistingPageCount() {
    std::uint64_t pages = FileSize() / kPageSize;
    for (const TSlotBuffer& b : buffers_) {
        if (!b.pages.empty()) pages = std::max<std::uint64_t>(pages, static_cast<std::uint64_t>(b.pages.back()->PageNo()) + 1);
    }
    return static_cast<std::int32_t>(std::min<std::uint64_t>(pages, kMaxPageCount));
}

TPage* TIndexFile::AppendPage(int slot) {
    const std::int32_t pageNo = header_.PageCount;
    const std::uint64_t end = static_cast<std::uint64_t>(pageNo) * kPageSize + kPageSize;
    if (header_.PageCount > kMaxPageCount || end > 4000000000ull) RaiseTable(RERUZO_TABLEFULL);
    const TIndexDesc empty;
    const TIndexDesc& desc = slot < kDescriptorSlots ? header_.Slots[static_cast<std::size_t>(slot)] : empty;
    std::unique_ptr<TPage> page = TakeBufferPage(slot);
    page->Reset(slot, pageNo, desc);
    page->dirty_ = true;
    TPage* raw = page.get();
    InsertBuffered(Buffer(slot), std::move(page));
    ++header_.PageCount;
    header_.HeaderChanged = 1;
    raw->pinCount_++;
    return raw;
}

TPage* TIndexFile::AllocatePage(TChangeCheck* cursor, int slot) {
    TPage* page = nullptr;
    const std::int32_t head = FreeHead(slot);
    if (head != 0) {
        if (head < 0 || head >= header_.PageCount) RaiseTable(RERUZO_INDEXCORRUPT);
        page = FetchPage(cursor, slot, head, true);
        SetFreeHead(slot, page->next_);
        page->RemoveAll();
    } else {
        page = AppendPage(slot);
    }
    page->freed_ = false;
    page->prev_ = page->next_ = 0;
    page->kind_ = pkLeaf;
    page->dirty_ = true;
    ++stats_.pageAllocations;
    return page;
}

void TIndexFile::FreePage(int slot, TPage* page) {
    page->RemoveAll();
    page->freed_ = true;
    page->prev_ = 0;
    page->next_ = FreeHead(slot);
    page->dirty_ = true;
    SetFreeHead(slot, page->pageNo_);
}

void TIndexFile::FlushPages(bool flushOs) {
    std::vector<TPage*> dirty;
    for (TSlotBuffer& b : buffers_) {
        for (const auto& p : b.pages) {
            if (p->dirty_ && p->pinCount_ == 0) dirty.push_back(p.get());
        }
    }
    if (dirty.empty()) return;
    std::sort(dirty.begin(), dirty.end(), [](const TPage* a, const TPage* b) { return a->pageNo_ < b->pageNo_; });
    std::vector<std::uint8_t> run;
    for (std::size_t i = 0; i < dirty.size();) {
        std::size_t j = i + 1;
        while (j < dirty.size() && dirty[j]->pageNo_ == dirty[j - 1]->pageNo_ + 1) ++j;
        run.resize((j - i) * kPageSize);
        for (std::size_t m = i; m < j; ++m) {
            std::uint8_t* raw = run.data() + (m - i) * kPageSize;
            dirty[m]->Encode(raw);
            Cipher(raw);
        }
        WriteAt(static_cast<std::uint64_t>(dirty[i]->pageNo_) * kPageSize, run.data(), run.size());
        for (std::size_t m = i; m < j; ++m) dirty[m]->dirty_ = false;
        ++stats_.diskWrites;
        i = j;
    }
    if (flushOs || owner_->ForceBufferFlush()) Flush();
    owner_->MarkWritten();
}

void TIndexFile::WriteHeader(bool force, bool flushOs) {
    if (!force && !header_.HeaderChanged) return;
    TIndexHeader h = header_;
    ++h.ChangeCount;
    h.Encode(io_.data());
    Cipher(io_.data());
    WriteAt(0, io_.data(), kPageSize);
    if (flushOs || owner_->ForceBufferFlush()) Flush();
    h.HeaderChanged = 0;
    header_ = h;
    owner_->MarkWritten();
}

bool TIndexFile::RereadHeader() {
    // The counter alone tells whether anything changed; the page is read and decoded
    // only when it did.
    std::array<std::uint8_t, 4> counter = ReadCounterBytes();
    if (encrypted_) ApplyCipher(counter, kRecordKey);
    if (GetLE<std::int32_t>(counter.data()) == header_.ChangeCount) return false;
    ReadAt(0, io_.data(), kPageSize);
    Cipher(io_.data());
    TIndexHeader fresh = TIndexHeader::Decode(io_.data());
    if (fresh.ChangeCount == header_.ChangeCount) return false;
    fresh.HeaderChanged = 0;
    header_ = fresh;
    DiscardBuffers();
    return true;
}

void TIndexFile::DiscardBuffers() {
    for (TSlotBuffer& b : buffers_) {
        for (auto& p : b.pages) pool_.Push(std::move(p));
        b.pages.clear();
        b.newest = b.oldest = nullptr;
        b.capacity = kBufferPagesPerSlot;
    }
}

void TIndexFile::Reload() {
    DiscardBuffers();
    ReadHeaderPage();
}

std::size_t TIndexFile::BufferedPages() const {
    std::size_t pages = 0;
    for (const TSlotBuffer& b : buffers_) pages += b.pages.size();
    return pages;
}

void TIndexFile::TrimBuffers() {
    for (TSlotBuffer& b : buffers_) {
        for (TPage* p = b.oldest; p && b.pages.size() > kBufferPagesPerSlot;) {
            TPage* newer = p->lruNewer_;
            if (!p->dirty_ && p->pinCount_ == 0) {
                LruUnlink(b, p);
                const std::size_t i = LowerBound(b, p->pageNo_);
                pool_.Push(std::move(b.pages[i]));
                b.pages.erase(b.pages.begin() + static_cast<std::ptrdiff_t>(i));
            }
            p = newer;
        }
        b.capacity = std::max(kBufferPagesPerSlot, b.pages.size());
    }
}

void TIndexFile::Empty() {
    DiscardBuffers();
    TruncateAt(kPageSize);
    header_.PageCount = 1;
    header_.RecordCount = 0;
    for (TIndexDesc& d : header_.Slots) d.Root = d.FreeHead = 0;
    header_.HeaderChanged = 1;
}

void TIndexFile::SetRecordCount(std::int32_t n) {
    header_.RecordCount = n;
    header_.HeaderChanged = 1;
}

void TIndexFile::SetRoot(int slot, std::int32_t page) {
    TIndexDesc& d = header_.Slots.at(static_cast<std::size_t>(slot));
    if (d.Root == page) return;
    d.Root = page;
    header_.HeaderChanged = 1;
}

void TIndexFile::SetFreeHead(int slot, std::int32_t page) {
    TIndexDesc& d = header_.Slots.at(static_cast<std::size_t>(slot));
    if (d.FreeHead == page) return;
    d.FreeHead = page;
    header_.HeaderChanged = 1;
}

void TIndexFile::ReadRawPage(std::int32_t pageNo, std::uint8_t* out) {
    ReadAt(static_cast<std::uint64_t>(pageNo) * kPageSize, out, kPageSize);
    Cipher(out);
}

// ---- Index definitions --------------------------------------------------------------------

void TIndexFile::DefinePrimaryIndex(const TIndexDesc& desc, const std::vector<TFieldDesc>& fields) {
    const TErrorContext ctx{.database = directory_, .table = table_, .index = desc.Name};
    if (header_.Slots[0].KeyLength != 0) RaiseEngineError(RERUZO_PRIMARYKEYREDEFINE, ctx);
    if (desc.FieldCount > kMaxKeyFields) RaiseEngineError(RERUZO_INDEXLIMIT, ctx);
    for (std::size_t i = 0; i < desc.FieldCount; ++i) {
        const TFieldDesc* f = FieldByNumber(fields, desc.FieldNumbers[i]);
        if (f && f->FieldType == kFieldBlob) RaiseEngineError(RERUZO_SEARCHCOLREQD, ctx);
    }
    TIndexDesc& slot = header_.Slots[0];
    const std::int32_t freeHead = slot.FreeHead;
    if (desc.FieldCount > 0) {
        header_.NoPrimary = 0;
        slot = desc;
        slot.Name.clear();
        slot.Unique = 1;
        slot.Root = 0;
    } else {
        header_.NoPrimary = 1;
        slot = TIndexDesc{};
    }
    slot.FreeHead = freeHead;
    header_.HeaderChanged = 1;
}

int TIndexFile::AddSecondaryIndex(const TIndexDesc& desc, const std::vector<TFieldDesc>& fields) {
    const TErrorContext ctx{.database = directory_, .table = table_, .index = desc.Name};
    if (header_.SecondaryCount >= kMaxSecondaryIndexes || desc.FieldCount > kMaxKeyFields)
        RaiseEngineError(RERUZO_INDEXLIMIT, ctx);
    if (Trimmed(desc.Name).empty()) RaiseEngineError(RERUZO_INDEXNAMEREQUIRED, ctx);
    if (!ValidIndexNameStart(desc.Name)) RaiseEngineError(RERUZO_INVALIDINDEXNAME, ctx);
    const std::string key = NameKey(desc.Name);
    for (int s = 1; s <= header_.SecondaryCount; ++s) {
        if (NameKey(header_.Slots[static_cast<std::size_t>(s)].Name) == key) RaiseEngineError(RERUZO_INDEXEXISTS, ctx);
    }
    for (std::size_t i = 0; i < desc.FieldCount; ++i) {
        const TFieldDesc* f = FieldByNumber(fields, desc.FieldNumbers[i]);
        if (f && f->FieldType == kFieldBlob) RaiseEngineError(RERUZO_SEARCHCOLREQD, ctx);
    }
    const int slot = ++header_.SecondaryCount;
    TIndexDesc& d = header_.Slots[static_cast<std::size_t>(slot)];
    const std::int32_t freeHead = d.FreeHead;  // the new index takes over pages left in the slot
    d = desc;
    d.Root = 0;
    d.FreeHead = freeHead;
    header_.HeaderChanged = 1;
    return slot;
}

void TIndexFile::DeleteIndex(int slot) {
    // Buffered pages are labelled with their slot; descriptors are about to move.
    FlushPages(false);
    DiscardBuffers();
    if (slot == 0) {
        const std::int32_t freeHead = header_.Slots[0].FreeHead;
        header_.Slots[0] = TIndexDesc{};
        header_.Slots[0].FreeHead = freeHead;
        header_.NoPrimary = 1;
    } else if (slot >= 1 && slot <= header_.SecondaryCount) {
        const TIndexDesc removed = header_.Slots[static_cast<std::size_t>(slot)];
        for (int s = slot; s < header_.SecondaryCount; ++s)
            header_.Slots[static_cast<std::size_t>(s)] = header_.Slots[static_cast<std::size_t>(s) + 1];
        header_.Slots[header_.SecondaryCount] = removed;
        --header_.SecondaryCount;
    } else {
        RaiseEngineError(RERUZO_INVALIDINDEXNAME, {.database = directory_, .table = table_,
                                                   .index = std::to_string(slot)});
    }
    header_.HeaderChanged = 1;
}

}  // namespace reruzo
