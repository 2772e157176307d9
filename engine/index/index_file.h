// TIndexFile: the index file of one open table (NAME.IDX), read and written through
// the file layer in pages of the format of index_page.h.
//
// Buffering: each slot keeps its pages in a list sorted by page number with an LRU
// chain (capacity kBufferPagesPerSlot, grown by half when every page is dirty or
// pinned); spare page objects wait in a TPageStack. One TIndexFile belongs to one table object.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/index/index_page.h"
#include "engine/storage/data_file.h"
#include "engine/storage/file_layer.h"

namespace reruzo {

struct TIndexFileStats {
    std::uint64_t bufferHits = 0;
    std::uint64_t diskReads = 0;
    std::uint64_t pageAllocations = 0;
    std::uint64_t diskWrites = 0;
};

// Raised when a page fetch found that another process changed the table: the cursor
// has resynchronised and the whole operation must start again.
class EIndexChanged : public std::exception {
public:
    const char* what() const noexcept override { return "the table was changed by another user"; }
};

// Pages each index keeps buffered between operations: enough for the upper levels and
// a working set of leaves, so that a lookup reads from the disk (and checks for other
// writers) only when its leaf is not among the recent ones.
inline constexpr std::size_t kBufferPagesPerSlot = 64;

class TIndexFile : public TFileHandler {
public:
    TIndexFile(std::string directory, std::string table, TDataFileOwner* owner = nullptr);
    ~TIndexFile() override;

    const std::string& Directory() const { return directory_; }
    const std::string& TableName() const { return table_; }
    void SetEncrypted(bool on) { encrypted_ = on; }

    // Reads the header; more than 32 secondary indexes raise RERUZO_HEADERCORRUPT.
    void Open() override;
    // Discards every buffered page (which must have been flushed) and closes.
    void Close() override;
    // Creates the file with a new header and writes it.
    void Create() override;
    void CheckVersion() const;
    // The header checks against the table's fields: RERUZO_HEADERCORRUPT on failure.
    void Validate(const std::vector<TFieldDesc>& fields) const;

    // The pinned page p (1 <= p < PageCount) of a slot's tree. nullptr never: a change
    // found on a miss throws EIndexChanged.
    TPage* FetchPage(TChangeCheck* cursor, int slot, std::int32_t pageNo, bool forNew);
    void ReleasePage(TPage* page);
    // A pinned, empty page for the slot's tree (from its free chain, or appended).
    TPage* AllocatePage(TChangeCheck* cursor, int slot);
    void FreePage(int slot, TPage* page);

    // Writes all dirty, unpinned pages, one write per run of consecutive pages.
    void FlushPages(bool flushOs);
    void WriteHeader(bool force, bool flushOs);
    // Reads the header page; true (and the buffers dropped) when its counter changed.
    bool RereadHeader();
    void DiscardBuffers();
    // Drops every buffered page and reads the header again (after the file was
    // replaced underneath, or to forget changes).
    void Reload();
    // Pages held in the buffers of every slot.
    std::size_t BufferedPages() const;
    // Evicts clean unpinned pages until each slot keeps at most kBufferPagesPerSlot.
    void TrimBuffers();
    // Cuts the file to the header page and resets counts, roots and free chains.
    void Empty();

    void DefinePrimaryIndex(const TIndexDesc& desc, const std::vector<TFieldDesc>& fields);
    // Returns the slot the index went into.
    int AddSecondaryIndex(const TIndexDesc& desc, const std::vector<TFieldDesc>& fields);
    void DeleteIndex(int slot);

    const TIndexHeader& Header() const { return header_; }
    const TIndexDesc& Descriptor(int slot) const { return header_.Slots.at(static_cast<std::size_t>(slot)); }
    bool HeaderChanged() const { return header_.HeaderChanged != 0; }
    void BumpChangeCount() {
        ++header_.ChangeCount;
        header_.HeaderChanged = 1;
    }
    std::int32_t PageCount() const { return header_.PageCount; }
    std::int32_t RecordCount() const { return header_.RecordCount; }
    void SetRecordCount(std::int32_t n);
    void IncRecordCount() { SetRecordCount(header_.RecordCount + 1); }
    void DecRecordCount() { SetRecordCount(header_.RecordCount - 1); }
    std::int32_t Root(int slot) const { return Descriptor(slot).Root; }
    void SetRoot(int slot, std::int32_t page);
    std::int32_t FreeHead(int slot) const { return Descriptor(slot).FreeHead; }
    void SetFreeHead(int slot, std::int32_t page);
    bool NoPrimaryIndex() const { return header_.NoPrimary != 0; }

    const TIndexFileStats& Stats() const { return stats_; }
    std::size_t BufferedPages(int slot) const { return buffers_.at(static_cast<std::size_t>(slot)).pages.size(); }
    // Pages that exist: in the file, or appended and still only in the buffers.
    std::int32_t ExistingPageCount();
    // Reads a page image straight from the file (for the checker), deciphered.
    void ReadRawPage(std::int32_t pageNo, std::uint8_t* out);

    [[noreturn]] void RaiseTable(std::uint16_t code) const;

private:
    struct TSlotBuffer {
        std::vector<std::unique_ptr<TPage>> pages;  // sorted by page number
        TPage* newest = nullptr;                    // LRU chain
        TPage* oldest = nullptr;
        std::size_t capacity = kBufferPagesPerSlot;
    };
    TSlotBuffer& Buffer(int slot) { return buffers_.at(static_cast<std::size_t>(slot)); }
    TPage* FindBuffered(TSlotBuffer& b, std::int32_t pageNo);
    std::size_t LowerBound(const TSlotBuffer& b, std::int32_t pageNo) const;
    void LruUnlink(TSlotBuffer& b, TPage* p);
    void LruPushNewest(TSlotBuffer& b, TPage* p);
    std::unique_ptr<TPage> TakeBufferPage(int slot);
    // A new page at the end of the file, pinned and empty; PageCount grows by one.
    TPage* AppendPage(int slot);
    void InsertBuffered(TSlotBuffer& b, std::unique_ptr<TPage> page);
    void ReadHeaderPage();
    void Cipher(std::uint8_t* page) const;

    std::string directory_;
    std::string table_;
    TDataFileOwner defaultOwner_;
    TDataFileOwner* owner_;
    bool encrypted_ = false;
    TIndexHeader header_;
    std::vector<std::uint8_t> io_;
    std::array<TSlotBuffer, kIndexSlots> buffers_;
    TPageStack pool_;
    TIndexFileStats stats_;
};

// Unpins a page when the scope ends.
class TPagePin {
public:
    TPagePin() = default;
    explicit TPagePin(TPage* page) : page_(page) {}
    ~TPagePin() { Release(); }
    TPagePin(TPagePin&& o) noexcept : page_(std::exchange(o.page_, nullptr)) {}
    TPagePin& operator=(TPagePin&& o) noexcept {
        if (this != &o) {
            Release();
            page_ = std::exchange(o.page_, nullptr);
        }
        return *this;
    }
    TPage* get() const { return page_; }
    TPage* operator->() const { return page_; }
    TPage& operator*() const { return *page_; }
    void Release();

private:
    TPage* page_ = nullptr;
};

}  // namespace reruzo
