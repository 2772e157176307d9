// The index file's header and descriptors, and tree pages: their entries in memory,
// leaf compression, and encoding and decoding of the page format.
#include "engine/index/index_page.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_file.h"
#include "engine/storage/byte_order.h"

namespace reruzo {

const TFieldDesc* FieldByNumber(const std::vector<TFieldDesc>& fields, std::uint16_t number) {
    if (number < 1 || number > fields.size()) return nullptr;
    return &fields[number - 1u];
}

// ---- Descriptors and header ----------------------------------------------------------

TIndexDesc TIndexDesc::Decode(const std::uint8_t* p) {
    TIndexDesc d;
    d.Name = GetShortString(p, kIndexNameLength);
    d.KeyLength = GetLE<std::uint16_t>(p + 31);
    d.Descending = p[33];
    d.CaseInsensitive = p[34];
    d.Unique = p[35];
    d.Compression = p[36];
    d.FieldCount = p[37];
    for (std::size_t i = 0; i < kMaxKeyFields; ++i) {
        d.FieldDescending[i] = p[38 + i];
        d.FieldNumbers[i] = GetLE<std::uint16_t>(p + 54 + 2 * i);
    }
    d.Root = GetLE<std::int32_t>(p + 86);
    d.FreeHead = GetLE<std::int32_t>(p + 90);
    return d;
}

void TIndexDesc::Encode(std::uint8_t* p) const {
    std::memset(p, 0, kIndexDescSize);
    PutShortString(p, kIndexNameLength, Name);
    PutLE(p + 31, KeyLength);
    p[33] = Descending;
    p[34] = CaseInsensitive;
    p[35] = Unique;
    p[36] = Compression;
    p[37] = FieldCount;
    for (std::size_t i = 0; i < kMaxKeyFields; ++i) {
        p[38 + i] = FieldDescending[i];
        PutLE(p + 54 + 2 * i, FieldNumbers[i]);
    }
    PutLE(p + 86, Root);
    PutLE(p + 90, FreeHead);
}

TIndexHeader TIndexHeader::Decode(const std::uint8_t* page) {
    TIndexHeader h;
    h.ChangeCount = GetLE<std::int32_t>(page);
    h.Version = page[8];
    h.PageCount = GetLE<std::int32_t>(page + 9);
    h.SecondaryCount = page[13];
    for (std::size_t i = 0; i < kDescriptorSlots; ++i) h.Slots[i] = TIndexDesc::Decode(page + 14 + kIndexDescSize * i);
    h.RecordCount = GetLE<std::int32_t>(page + 3974);
    h.NoPrimary = page[3978];
    h.HeaderChanged = page[3979];
    return h;
}

void TIndexHeader::Encode(std::uint8_t* page) const {
    std::memset(page, 0, kPageSize);
    PutLE(page, ChangeCount);
    page[8] = Version;
    PutLE(page + 9, PageCount);
    page[13] = SecondaryCount;
    for (std::size_t i = 0; i < kDescriptorSlots; ++i) Slots[i].Encode(page + 14 + kIndexDescSize * i);
    PutLE(page + 3974, RecordCount);
    page[3978] = NoPrimary;
    page[3979] = HeaderChanged;
}

TIndexHeader TIndexHeader::New() {
    TIndexHeader h;
    TIndexDesc& sys = h.Slots[kSysDeletedSlot];
    sys.Name = "Sys Deleted";
    sys.KeyLength = static_cast<std::uint16_t>(kSysDeletedKeyLength);
    return h;
}

std::uint16_t ComputeKeyLength(const TIndexDesc& desc, const std::vector<TFieldDesc>& fields,
                               const std::string& directory, const std::string& table) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(desc.FieldCount, kMaxKeyFields); ++i) {
        const TFieldDesc* f = FieldByNumber(fields, desc.FieldNumbers[i]);
        if (!f) {
            RaiseEngineError(RERUZO_INVALIDIDXDESC, {.database = directory, .table = table,
                                                     .field = std::to_string(desc.FieldNumbers[i]),
                                                     .index = desc.Name});
        }
        bytes += TKeyField{*f, false}.Width() + 1;
    }
    if (bytes == 0 || bytes > kMaxKeyFieldBytes)
        RaiseEngineError(RERUZO_INVALIDKEY, {.database = directory, .table = table, .index = desc.Name});
    return static_cast<std::uint16_t>(bytes + (desc.Unique ? 0 : kKeySuffixLength));
}

TKeyLayout MakeKeyLayout(const TIndexDesc& desc, int slot, const std::vector<TFieldDesc>& fields,
                         std::uint16_t languageId, std::uint16_t sortId) {
    if (slot == kSysDeletedSlot) return TKeyLayout::SysDeleted();
    TKeyLayout l;
    l.unique = desc.Unique != 0;
    l.descending = desc.Descending != 0;
    l.caseInsensitive = desc.CaseInsensitive != 0;
    l.languageId = languageId;
    l.sortId = sortId;
    for (std::size_t i = 0; i < std::min<std::size_t>(desc.FieldCount, kMaxKeyFields); ++i) {
        if (const TFieldDesc* f = FieldByNumber(fields, desc.FieldNumbers[i]))
            l.fields.push_back(TKeyField{*f, desc.FieldDescending[i] != 0});
    }
    l.Prepare();
    return l;
}

// ---- Pages -----------------------------------------------------------------------------

void TPage::Corrupt() const { owner_->RaiseTable(RERUZO_INDEXCORRUPT); }

void TPage::SetKind(std::uint8_t kind) {
    kind_ = kind;
    dirty_ = true;
}

void TPage::SetPrev(std::int32_t p) {
    prev_ = p;
    dirty_ = true;
}

void TPage::SetNext(std::int32_t p) {
    next_ = p;
    dirty_ = true;
}

std::int32_t TPage::Ref(int i) const { return GetLE<std::int32_t>(Entry(i) + keyLength_); }

void TPage::SetRef(int i, std::int32_t ref) {
    PutLE(Entry(i) + keyLength_, ref);
    dirty_ = true;
}

std::int32_t TPage::SubCount(int i) const { return GetLE<std::int32_t>(Entry(i) + keyLength_ + 4); }

void TPage::SetSubCount(int i, std::int32_t count) {
    PutLE(Entry(i) + keyLength_ + 4, count);
    dirty_ = true;
}

void TPage::Reserve(int entries) {
    const std::size_t need = static_cast<std::size_t>(entries) * Stride();
    if (entries_.size() < need) entries_.resize((need + 4095) / 4096 * 4096);
}

void TPage::Reset(int slot, std::int32_t pageNo, const TIndexDesc& desc) {
    slot_ = slot;
    pageNo_ = pageNo;
    keyLength_ = desc.KeyLength;
    descending_ = desc.Descending != 0;
    unique_ = slot == kSysDeletedSlot ? false : desc.Unique != 0;
    compression_ = slot == kSysDeletedSlot ? 0 : desc.Compression & 3;
    dirty_ = false;
    pinCount_ = 0;
    encodedSize_ = 0;
    count_ = 0;
    kind_ = pkLeaf;
    prev_ = next_ = 0;
    freed_ = false;
    lruNewer_ = lruOlder_ = nullptr;
}

void TPage::InsertEntry(int at, const std::uint8_t* key, std::int32_t ref, std::int32_t subCount) {
    if (at < 1 || at > count_ + 1) Corrupt();
    Reserve(count_ + 1);
    const std::size_t stride = Stride();
    std::uint8_t* base = entries_.data() + static_cast<std::size_t>(at - 1) * stride;
    std::memmove(base + stride, base, static_cast<std::size_t>(count_ - at + 1) * stride);
    std::memcpy(base, key, keyLength_);
    PutLE(base + keyLength_, ref);
    PutLE(base + keyLength_ + 4, subCount);
    base[keyLength_ + 8] = base[keyLength_ + 9] = 0;
    ++count_;
    dirty_ = true;
}

void TPage::RemoveEntry(int at) {
    if (at < 1 || at > count_) Corrupt();
    const std::size_t stride = Stride();
    std::uint8_t* base = entries_.data() + static_cast<std::size_t>(at - 1) * stride;
    std::memmove(base, base + stride, static_cast<std::size_t>(count_ - at) * stride);
    --count_;
    dirty_ = true;
}

void TPage::AppendFrom(const TPage& from, int first, int n) {
    if (n <= 0) return;
    Reserve(count_ + n);
    std::memcpy(entries_.data() + static_cast<std::size_t>(count_) * Stride(), from.Entry(first),
                static_cast<std::size_t>(n) * Stride());
    count_ += n;
    dirty_ = true;
}

void TPage::KeepFirst(int n) {
    if (n < 0 || n > count_) Corrupt();
    count_ = n;
    dirty_ = true;
}

void TPage::RemoveAll() {
    count_ = 0;
    encodedSize_ = 0;
    dirty_ = true;
}

std::int64_t TPage::RecordsBelow() const {
    if (IsLeaf()) return count_;
    std::int64_t n = 0;
    for (int i = 1; i <= count_; ++i) n += SubCount(i);
    return n;
}

int TPage::Capacity() const {
    if (!IsLeaf()) return static_cast<int>(kPageBodySize / (std::size_t{keyLength_} + 9));
    if (compression_ == 0) return static_cast<int>(kPageBodySize / (std::size_t{keyLength_} + 5));
    return INT32_MAX;
}

namespace {

// Count bytes per entry of a leaf compression mode.
int CountBytes(std::uint8_t mode) { return mode == 3 ? 2 : mode == 0 ? 0 : 1; }

}  // namespace

bool TPage::Overflows() const {
    if (Compressed()) return encodedSize_ >= kPageBodySize + 1;
    return count_ > Capacity();
}

void TPage::RecomputeCompression() {
    if (!Compressed()) {
        encodedSize_ = 0;
        return;
    }
    const std::size_t k = keyLength_;
    std::size_t size = 0;
    for (int i = 1; i <= count_; ++i) {
        std::uint8_t* e = Entry(i);
        std::size_t p = 0;
        if (compression_ != 2 && i > 1) {
            const std::uint8_t* prev = Entry(i - 1);
            const std::size_t limit = std::min<std::size_t>(254, k);
            while (p < limit && prev[p] == e[p]) ++p;
        }
        std::size_t s = 0;
        if (compression_ != 1 && !(compression_ == 3 && !unique_ && k - p < 5)) {
            const std::size_t end = unique_ ? k : k - kKeySuffixLength;
            const std::size_t start = compression_ == 3 ? p : 0;
            while (s < 254 && end > start + s && e[end - 1 - s] == 0) ++s;
        }
        e[k + 8] = static_cast<std::uint8_t>(p);
        e[k + 9] = static_cast<std::uint8_t>(s);
        size += k - p - s + 4 + static_cast<std::size_t>(CountBytes(compression_));
    }
    encodedSize_ = static_cast<std::uint16_t>(std::min<std::size_t>(size, 65535));
}

void TPage::Decode(const std::uint8_t* raw, bool asNew) {
    kind_ = raw[0];
    const int count = GetLE<std::uint16_t>(raw + 1);
    prev_ = GetLE<std::int32_t>(raw + 3);
    next_ = GetLE<std::int32_t>(raw + 7);
    encodedSize_ = GetLE<std::uint16_t>(raw + 11);
    freed_ = false;
    dirty_ = false;
    count_ = 0;
    if (asNew) return;
    if (kind_ > pkRootLeaf || encodedSize_ > kPageBodySize) Corrupt();
    const std::uint8_t* body = raw + kPageHeaderSize;
    const std::size_t k = keyLength_;
    if (k == 0 && count > 0) Corrupt();
    Reserve(count);
    if (!IsLeaf() || compression_ == 0) {
        const std::size_t stored = IsLeaf() ? k + 4 : k + 8;
        if (static_cast<std::size_t>(count) * stored > kPageBodySize) Corrupt();
        for (int i = 1; i <= count; ++i) {
            const std::uint8_t* src = body + static_cast<std::size_t>(i - 1) * stored;
            std::uint8_t* e = Entry(i);
            std::memcpy(e, src, k);
            PutLE(e + k, GetLE<std::int32_t>(src + k));
            PutLE(e + k + 4, IsLeaf() ? 0 : GetLE<std::int32_t>(src + k + 4));
            e[k + 8] = e[k + 9] = 0;
        }
        count_ = count;
        return;
    }
    std::size_t off = 0;
    for (int i = 1; i <= count; ++i) {
        std::uint8_t* e = Entry(i);
        std::size_t p = 0, s = 0;
        if (off + static_cast<std::size_t>(CountBytes(compression_)) > kPageBodySize) Corrupt();
        if (compression_ == 1 || compression_ == 3) p = body[off++];
        if (compression_ == 2 || compression_ == 3) s = body[off++];
        if (p > k || (i == 1 && p != 0)) Corrupt();
        const bool separate = !unique_ && (compression_ == 2 || (compression_ == 3 && k - p >= 5));
        if (compression_ == 3 && !unique_ && k - p < 5 && s != 0) Corrupt();
        const std::size_t zeroEnd = separate ? k - kKeySuffixLength : k;
        if (p + s > zeroEnd) Corrupt();
        const std::size_t stored = zeroEnd - s - p;
        const std::size_t length = stored + (separate ? kKeySuffixLength : 0);
        if (off + length + 4 > kPageBodySize) Corrupt();
        if (p > 0) std::memcpy(e, Entry(i - 1), p);
        std::memcpy(e + p, body + off, stored);
        std::memset(e + zeroEnd - s, 0, s);
        if (separate) std::memcpy(e + k - kKeySuffixLength, body + off + stored, kKeySuffixLength);
        off += length;
        PutLE(e + k, GetLE<std::int32_t>(body + off));
        PutLE(e + k + 4, std::int32_t{0});
        off += 4;
        e[k + 8] = static_cast<std::uint8_t>(p);
        e[k + 9] = static_cast<std::uint8_t>(s);
        count_ = i;
    }
    count_ = count;
}

void TPage::Encode(std::uint8_t* raw) {
    std::memset(raw, 0, kPageSize);
    RecomputeCompression();
    raw[0] = kind_;
    PutLE(raw + 1, static_cast<std::uint16_t>(freed_ ? 0 : count_));
    PutLE(raw + 3, prev_);
    PutLE(raw + 7, next_);
    PutLE(raw + 11, static_cast<std::uint16_t>(Compressed() ? encodedSize_ : 0));
    if (freed_) return;
    std::uint8_t* body = raw + kPageHeaderSize;
    const std::size_t k = keyLength_;
    if (!IsLeaf() || compression_ == 0) {
        const std::size_t stored = IsLeaf() ? k + 4 : k + 8;
        if (static_cast<std::size_t>(count_) * stored > kPageBodySize) Corrupt();
        for (int i = 1; i <= count_; ++i) {
            std::uint8_t* dst = body + static_cast<std::size_t>(i - 1) * stored;
            std::memcpy(dst, Entry(i), stored);
        }
        return;
    }
    if (encodedSize_ > kPageBodySize) Corrupt();
    std::size_t off = 0;
    for (int i = 1; i <= count_; ++i) {
        const std::uint8_t* e = Entry(i);
        const std::size_t p = e[k + 8], s = e[k + 9];
        if (compression_ == 1 || compression_ == 3) body[off++] = static_cast<std::uint8_t>(p);
        if (compression_ == 2 || compression_ == 3) body[off++] = static_cast<std::uint8_t>(s);
        const bool separate = !unique_ && (compression_ == 2 || (compression_ == 3 && k - p >= 5));
        const std::size_t zeroEnd = separate ? k - kKeySuffixLength : k;
        const std::size_t stored = zeroEnd - s - p;
        std::memcpy(body + off, e + p, stored);
        off += stored;
        if (separate) {
            std::memcpy(body + off, e + k - kKeySuffixLength, kKeySuffixLength);
            off += kKeySuffixLength;
        }
        std::memcpy(body + off, e + k, 4);
        off += 4;
    }
}

std::unique_ptr<TPage> TPageStack::Pop(TIndexFile* owner) {
    if (spare_.empty()) return std::make_unique<TPage>(owner);
    std::unique_ptr<TPage> p = std::move(spare_.back());
    spare_.pop_back();
    p->owner_ = owner;
    return p;
}

void TPageStack::Push(std::unique_ptr<TPage> page) {
    page->lruNewer_ = page->lruOlder_ = nullptr;
    page->pinCount_ = 0;
    spare_.push_back(std::move(page));
}

}  // namespace reruzo
