// The format of the index file of a table (NAME.IDX): the definitions of up to 32
// indexes and one B+-tree per index, in pages of 4096 bytes. Page 0 is the header
// page; the other pages are tree pages or freed pages. Here are the header and the
// index descriptors, and a tree page in memory with its encoding and decoding; the
// file with its page buffers is TIndexFile (index_file.h).
//
// Header page (little-endian)
//   0    i32  change counter, +1 on every header write
//   8    u8   format version, 5
//   9    i32  page count including the header page
//   13   u8   number of secondary indexes n (slots 1..n in use)
//   14   32 index descriptors of 120 bytes, slot i at 14 + 120 * i:
//          0 str30 name, 31 u16 key length (0 = not defined), 33 u8 descending,
//          34 u8 case-insensitive, 35 u8 unique, 36 u8 leaf compression (0..3),
//          37 u8 key field count, 38 16 x u8 per-field descending,
//          54 16 x u16 field numbers, 86 i32 root page (0 = empty),
//          90 i32 head of the slot's free-page chain
//        slot 0 is the primary index, 1..30 secondary, 31 "Sys Deleted"
//   3974 i32  number of live records
//   3978 u8   no-primary-index flag (records in natural order)
//   3979 u8   header-changed flag (meaningful in memory only)
//
// Tree page: 13-byte header (u8 kind: 0 root node, 1 node, 2 leaf, 3 root leaf;
// u16 entry count, 0 when freed; i32 previous and i32 next page on the level, next is
// the free-chain link of a freed page; u16 encoded body size of compressed leaves)
// and a 4083-byte body of packed entries:
//   node entry   key (K bytes), i32 child page, i32 records in the child's subtree
//   leaf entry   key part by compression mode, then i32 record number:
//     mode 0  the key
//     mode 1  u8 p = bytes shared with the previous key (<= 254), key bytes p..K-1
//     mode 2  u8 s = trailing zero bytes (before the 4-byte identifier suffix of a
//             non-unique index, <= 254), the key without them (suffix kept)
//     mode 3  u8 p, u8 s, key bytes p.. less s trailing zeros (suffix kept, unless
//             fewer than 5 key bytes remain after the prefix: then s = 0)
// An encrypted table enciphers every page as one 4096-byte run.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/index/keys.h"
#include "engine/storage/data_format.h"

namespace reruzo {

inline constexpr std::size_t kPageSize = 4096;
inline constexpr std::size_t kPageHeaderSize = 13;
inline constexpr std::size_t kPageBodySize = kPageSize - kPageHeaderSize;  // 4083
inline constexpr int kIndexSlots = 33;
inline constexpr int kDescriptorSlots = 32;
inline constexpr int kSysDeletedSlot = 31;
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr std::uint8_t kIndexFormatVersion = 5;
inline constexpr std::size_t kIndexDescSize = 120;
inline constexpr std::size_t kIndexNameLength = 30;
inline constexpr int kMaxTreeLevels = 64;
inline constexpr std::int64_t kMaxPageCount = 2000000000;

enum TPageKind : std::uint8_t { pkRootNode = 0, pkNode = 1, pkLeaf = 2, pkRootLeaf = 3 };

struct TIndexDesc {
    std::string Name;
    std::uint16_t KeyLength = 0;
    std::uint8_t Descending = 0;
    std::uint8_t CaseInsensitive = 0;
    std::uint8_t Unique = 0;
    std::uint8_t Compression = 0;
    std::uint8_t FieldCount = 0;
    std::array<std::uint8_t, kMaxKeyFields> FieldDescending{};
    std::array<std::uint16_t, kMaxKeyFields> FieldNumbers{};
    std::int32_t Root = 0;
    std::int32_t FreeHead = 0;

    bool Defined() const { return KeyLength != 0; }
    static TIndexDesc Decode(const std::uint8_t* p);
    void Encode(std::uint8_t* p) const;
};

struct TIndexHeader {
    std::int32_t ChangeCount = 0;
    std::uint8_t Version = kIndexFormatVersion;
    std::int32_t PageCount = 1;
    std::uint8_t SecondaryCount = 0;
    std::array<TIndexDesc, kDescriptorSlots> Slots;
    std::int32_t RecordCount = 0;
    std::uint8_t NoPrimary = 0;
    std::uint8_t HeaderChanged = 0;

    static TIndexHeader Decode(const std::uint8_t* page);
    void Encode(std::uint8_t* page) const;
    // A new file's header: version 5, one page, "Sys Deleted" in slot 31.
    static TIndexHeader New();
};

// The key length of an index over `fields` (sum of width + 1, plus 4 when not
// unique). Raises RERUZO_INVALIDIDXDESC for a field number that does not exist and
// RERUZO_INVALIDKEY when the fields take 0 or more than 522 bytes.
std::uint16_t ComputeKeyLength(const TIndexDesc& desc, const std::vector<TFieldDesc>& fields,
                               const std::string& directory, const std::string& table);

// The key layout of an index of a table with these fields and collation.
TKeyLayout MakeKeyLayout(const TIndexDesc& desc, int slot, const std::vector<TFieldDesc>& fields,
                         std::uint16_t languageId, std::uint16_t sortId);
// The field with number `number` (from 1), nullptr when there is none.
const TFieldDesc* FieldByNumber(const std::vector<TFieldDesc>& fields, std::uint16_t number);

class TIndexFile;

// One tree page in memory with its entries expanded. Entries are 1-based; each takes
// K + 10 bytes: key, i32 reference (child page or record number), i32 subtree count
// (nodes), u8 prefix count, u8 suffix count.
class TPage {
public:
    explicit TPage(TIndexFile* owner) : owner_(owner) {}

    TIndexFile* Owner() const { return owner_; }
    std::int32_t PageNo() const { return pageNo_; }
    int Slot() const { return slot_; }
    std::uint8_t Kind() const { return kind_; }
    void SetKind(std::uint8_t kind);
    bool IsLeaf() const { return kind_ == pkLeaf || kind_ == pkRootLeaf; }
    bool IsRoot() const { return kind_ == pkRootNode || kind_ == pkRootLeaf; }
    int Count() const { return count_; }
    std::int32_t Prev() const { return prev_; }
    std::int32_t Next() const { return next_; }
    void SetPrev(std::int32_t p);
    void SetNext(std::int32_t p);
    bool Freed() const { return freed_; }
    bool Dirty() const { return dirty_; }
    void MarkDirty() { dirty_ = true; }
    std::uint16_t PinCount() const { return pinCount_; }
    std::uint16_t KeyLength() const { return keyLength_; }
    std::uint8_t Compression() const { return compression_; }
    std::uint16_t EncodedSize() const { return encodedSize_; }
    bool Compressed() const { return IsLeaf() && compression_ != 0; }

    const std::uint8_t* Key(int i) const { return Entry(i); }
    std::uint8_t* Key(int i) { return Entry(i); }
    std::int32_t Ref(int i) const;
    void SetRef(int i, std::int32_t ref);
    std::int32_t SubCount(int i) const;
    void SetSubCount(int i, std::int32_t count);
    std::uint8_t PrefixCount(int i) const { return Entry(i)[keyLength_ + 8]; }
    std::uint8_t SuffixCount(int i) const { return Entry(i)[keyLength_ + 9]; }

    // Inserts an entry so that it becomes entry `at` (1 .. Count() + 1).
    void InsertEntry(int at, const std::uint8_t* key, std::int32_t ref, std::int32_t subCount);
    void RemoveEntry(int at);
    // Moves entries: appends `n` entries of `from` starting at `first` to this page's end.
    void AppendFrom(const TPage& from, int first, int n);
    void RemoveAll();
    // Keeps the first n entries.
    void KeepFirst(int n);
    // Records under this page: its entry count for a leaf, the sum of the subtree
    // counts for a node.
    std::int64_t RecordsBelow() const;

    // Entry capacity: 4083 div (K + 9) for nodes, 4083 div (K + 5) for uncompressed
    // leaves; compressed leaves are limited by their encoded size.
    int Capacity() const;
    bool Overflows() const;
    // Recomputes prefix and suffix counts and the encoded size (compressed leaves).
    void RecomputeCompression();

    void Decode(const std::uint8_t* raw, bool asNew);
    // Encodes the page; raises RERUZO_INDEXCORRUPT when it does not fit.
    void Encode(std::uint8_t* raw);

private:
    friend class TIndexFile;
    friend class TPageStack;
    std::uint8_t* Entry(int i) { return entries_.data() + static_cast<std::size_t>(i - 1) * Stride(); }
    const std::uint8_t* Entry(int i) const { return entries_.data() + static_cast<std::size_t>(i - 1) * Stride(); }
    std::size_t Stride() const { return std::size_t{keyLength_} + 10; }
    void Reserve(int entries);
    void Reset(int slot, std::int32_t pageNo, const TIndexDesc& desc);
    [[noreturn]] void Corrupt() const;

    TIndexFile* owner_;
    bool dirty_ = false;
    std::uint16_t pinCount_ = 0;
    std::int32_t pageNo_ = 0;
    std::uint16_t encodedSize_ = 0;
    int count_ = 0;
    std::uint16_t keyLength_ = 0;
    int slot_ = 0;
    bool descending_ = false;
    bool unique_ = true;
    std::uint8_t compression_ = 0;
    std::uint8_t kind_ = pkLeaf;
    std::int32_t prev_ = 0;
    std::int32_t next_ = 0;
    bool freed_ = false;
    std::vector<std::uint8_t> entries_;  // grows in steps of 4096 bytes
    TPage* lruNewer_ = nullptr;
    TPage* lruOlder_ = nullptr;
};

class TPageStack {
public:
    TPageStack() { spare_.reserve(4096); }
    std::unique_ptr<TPage> Pop(TIndexFile* owner);
    void Push(std::unique_ptr<TPage> page);

private:
    std::vector<std::unique_ptr<TPage>> spare_;
};

}  // namespace reruzo
