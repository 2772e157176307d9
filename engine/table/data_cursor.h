// TDataCursor: one open view of one table, with a current record and an active order:
// natural record order (walking a bitmap of the visible slots) or the order of an
// index (walking its leaves through the sibling links, with record numbers from the
// subtree counts). Components and SQL read tables only through cursors.
//
// Position states: before the first record (BOF), after the last (EOF), on a record
// (neither), or no current record (both: the view is empty). Fetches return
// RERUZO_BOF, RERUZO_EOF and RERUZO_NOCURRREC as status codes with a zeroed buffer.
//
// Filters restrict the view (see data_filter.h). While a filter is active, or in
// natural order, the cursor is in bitmap mode: it keeps a bitmap of the live records,
// one per active filter and their intersection, the view, and walks only entries
// whose record is in the view. In index order the record number stays the entry's
// position in the index, so with filters the numbers of the visible records have
// gaps; the record count is the number of visible records.
//
// Before every positioning or fetching operation the cursor synchronises: it compares
// the table's change counters with its snapshot (or, with strict change detection,
// takes the check lock, which re-reads the headers) and, when the table changed,
// rebuilds its state and goes back to its bookmark or the nearest entry. A cache miss
// consults the disk the same way. The check lock is released when the operation ends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/table/data_filter.h"
#include "engine/table/data_session.h"
#include "engine/index/index_tree.h"
#include "engine/table/records_bitmap.h"

namespace reruzo {

inline constexpr int kNaturalOrder = 255;
// BLOBs one cursor may hold open at once.
inline constexpr std::size_t kMaxOpenBlobs = 64;

class TDataCursor : public TRecordReader {
public:
    explicit TDataCursor(TDataDirectory& directory);
    ~TDataCursor() override;
    TDataCursor(const TDataCursor&) = delete;
    TDataCursor& operator=(const TDataCursor&) = delete;

    // Options; changing one while open raises RERUZO_TABLEOPEN. The table name loses
    // any folder part and extension.
    void SetTableName(const std::string& name);
    const std::string& TableName() const { return tableName_; }
    void SetExclusive(bool on);
    bool Exclusive() const { return exclusive_; }
    // Opens the table even while another user of this process holds it exclusively:
    // the creator of a table hands it to a cursor of its own this way.
    void SetShareExclusive(bool on);
    void SetReadOnly(bool on);
    bool ReadOnly() const { return readOnly_; }
    void SetInMemory(bool on);
    void SetNaturalOrder(bool on);
    // Asked when the table is encrypted and the session lacks its password; true to
    // try again.
    std::function<bool()> PasswordCallback;

    void OpenCursor();
    void CloseCursor();
    bool IsOpen() const { return table_ != nullptr; }
    TDataTable& Table() const { return *table_; }
    const std::vector<TFieldDesc>& Fields() const { return fields_; }
    std::uint16_t RecordSize() const { return recordSize_; }
    // The table's language and sort order, which its strings and keys collate by.
    std::uint16_t LanguageId() const { return languageId_; }
    std::uint16_t SortId() const { return sortId_; }
    // Key length of the active index, 4 in natural order.
    std::size_t BookmarkSize() const;

    void SetIndexName(const std::string& name);
    const std::string& IndexName() const { return indexName_; }
    int ActiveIndex() const { return activeIndex_; }
    // The key fields and flags of the active index (none in natural order).
    const TKeyLayout& ActiveKeyLayout() const { return layout_; }
    bool InNaturalOrder() const { return natural_; }

    void SetToBegin();
    void SetToEnd();
    void SetToRecNo(std::int32_t n);
    // Status code (0, RERUZO_BOF, RERUZO_EOF, RERUZO_NOCURRREC); `buffer` may be empty.
    std::uint16_t GetCurRecord(std::span<std::uint8_t> buffer, bool lock);
    std::uint16_t GetNextRecord(std::span<std::uint8_t> buffer);
    std::uint16_t GetPriorRecord(std::span<std::uint8_t> buffer);
    std::int32_t GetRecNo();
    std::int32_t GetRecordCount();
    bool Bof() const { return bof_; }
    bool Eof() const { return eof_; }

    std::vector<std::uint8_t> GetBookmark() const;
    int CompareBookmarks(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) const;
    bool SetToBookmark(std::span<const std::uint8_t> bookmark, bool nearest, bool noSync = false);
    std::uint16_t SetToRecBuf(TDataCursor& other);
    // Index order: searches a key or a record's key over `fieldCount` key fields (and
    // `partialLength` characters of the next one); see the partial-search rules.
    bool Find(bool fromRecord, std::span<const std::uint8_t> keyOrRecord, int fieldCount, int partialLength,
              bool nearest, std::span<std::uint8_t> output);

    // One field of a record buffer; field numbers from 1. RERUZO_OUTOFRANGE otherwise.
    bool GetField(int fieldNo, std::span<const std::uint8_t> record, std::vector<std::uint8_t>& value) const;
    void PutField(int fieldNo, std::span<std::uint8_t> record, std::span<const std::uint8_t> value, bool isNull) const;

    void WriteUnlockRecord(std::int32_t recordNo);
    void Refresh();
    std::unique_ptr<TDataCursor> CloneCursor();
    // The physical record number of the current record (0 when none).
    std::int32_t CurrentRecordNo() const { return recordNo_; }

    // ---- Writing ----
    // Records posted keep the identifier (bytes 5..8) the caller gives them instead
    // of getting the next one (copying and importing); may change while open.
    void SetSuppressAutoInc(bool on) { suppressAutoInc_ = on; }
    bool SuppressAutoInc() const { return suppressAutoInc_; }
    // A copy of the current record for appending as a new one: the fields one by one,
    // the identifier only under SuppressAutoInc. BLOBs are copied, never shared: the
    // copy's BLOB fields are open as changed BLOBs of a new record, written as new
    // chains when the copy is appended.
    std::uint16_t CloneCurRecord(std::span<std::uint8_t> buffer);
    // A zero-filled record buffer of the record size.
    void InitRecord(std::span<std::uint8_t> buffer) const;
    // The same with every field's default value stored ("CURRENT_DATE" and its
    // kin give the present moment).
    void InitRecordDefaults(std::span<std::uint8_t> buffer) const;
    // Inserts the record in `buffer` (checked: required fields, minimum and maximum
    // values, unique keys). With `reposition` the cursor stands on the new record
    // afterwards. RERUZO_OSEACCES through a read-only cursor.
    void AppendRecord(std::span<const std::uint8_t> buffer, bool reposition);
    // Replaces the current record, which GetCurRecord locked; `unlock` releases that
    // lock afterwards.
    void ModifyRecord(std::span<const std::uint8_t> buffer, bool unlock, bool reposition);
    // Deletes the current record; `buffer` is the record as the caller last read it
    // (RERUZO_KEYORRECDELETED when the table holds something else by now).
    void DeleteRecord(std::span<const std::uint8_t> buffer, bool reposition);
    // Writes the table's modified buffers (in a transaction: marks them changed).
    void FlushBuffers(TFlushOptions options);

    // ---- BLOBs ----
    // A BLOB field is read and changed whole in memory: the cursor keeps one open
    // BLOB per (record, field), found by the record number in bytes 1..4 of the
    // record buffer (0 for a record being built for an append), at most
    // kMaxOpenBlobs at once (RERUZO_OPENBLOBLIMIT). A BLOB is read on first use; its
    // changes reach the table when the record is posted (AppendRecord, ModifyRecord),
    // each changed BLOB as a new chain under a new stamp, the old chain freed after.
    // Freeing drops an open BLOB with its unposted changes.
    void OpenBlob(std::span<const std::uint8_t> buffer, int fieldNo);
    std::uint32_t GetBlobSize(std::span<const std::uint8_t> buffer, int fieldNo);
    // Copies up to out.size() bytes from `offset`; returns how many there were.
    std::size_t GetBlob(std::span<const std::uint8_t> buffer, int fieldNo, std::uint64_t offset,
                        std::span<std::uint8_t> out);
    // Writes `data` at `offset`, growing the BLOB (a gap reads as zero bytes).
    void PutBlob(std::span<const std::uint8_t> buffer, int fieldNo, std::uint64_t offset,
                 std::span<const std::uint8_t> data);
    // Cuts (or extends with zero bytes) the BLOB to `size`.
    void TruncateBlob(std::span<const std::uint8_t> buffer, int fieldNo, std::uint64_t size);
    void FreeBlob(std::span<const std::uint8_t> buffer, int fieldNo);
    void FreeBlobs();
    std::size_t OpenBlobCount() const { return blobs_.size(); }

    // ---- Ranges and indexes ----
    // Restricts index order to keys from the low to the high bound, each given as a
    // key or a record buffer and compared over its first `fields` key fields (0:
    // all); an empty bound is open. Nothing in natural order.
    void SetRange(bool fromRecord, std::span<const std::uint8_t> low, int lowFields,
                  std::span<const std::uint8_t> high, int highFields);
    void ResetRange();
    bool RangeActive() const { return rangeActive_; }
    // Adds a secondary index over the table's records (exclusive cursor only);
    // records that a new unique index finds duplicated after their first are deleted.
    // Progress goes to ProgressCallback in percent.
    void AddSecondaryIndex(const TIndexDesc& desc);
    // Deletes an index by name ("" for the primary index); exclusive cursor only.
    void DeleteIndex(const std::string& name);
    std::function<void(int percent)> ProgressCallback;

    // ---- Filters ----
    // RERUZO_INTERNALLIMIT when the cursor has all its 64 filters.
    void CheckFilterLimit() const;
    // Adds an inactive filter, analysed: at the end of the list when it is evaluated
    // last, otherwise before the first filter that is.
    TFilter* AddFilter(std::unique_ptr<TFilterCondition> condition, TFilterSettings options = {});
    // A missing callback raises RERUZO_INVALIDFILTER.
    TFilter* AddCallbackFilter(TFilterCallback callback, TFilterSettings options = {});
    // nullptr means every filter; a handle that is not in the list raises
    // RERUZO_NOSUCHFILTER. Each keeps the current record when it stays visible, and
    // otherwise moves to the nearest visible one.
    void DropFilter(TFilter* filter);
    void ActivateFilter(TFilter* filter);
    void DeactivateFilter(TFilter* filter);
    int GetFilterOptimizeLevel(TFilter* filter) const;
    // Gives a filter a new condition, analysed and, when active, evaluated.
    void ReplaceFilterCondition(TFilter* filter, std::unique_ptr<TFilterCondition> condition);
    const std::vector<std::unique_ptr<TFilter>>& Filters() const { return filters_; }
    bool BitmapMode() const { return bitmapMode_; }
    const TRecordsBitmap& View() const { return view_; }
    // The cursor's own writes: record n was appended or modified (its new image is
    // `record`) or deleted. The bitmaps follow without evaluating the filters again.
    void FollowWrittenRecord(std::int32_t n, std::span<const std::uint8_t> record);
    void FollowDeletedRecord(std::int32_t n);
    // Runs `commit`, a commit of changes this cursor made and followed itself: when
    // the table had seen no change but this cursor's before it, the counters the commit
    // moves are no news, and the next operation rebuilds nothing. A statement that
    // commits every few hundred rows would otherwise rebuild its view (scanning the
    // table again through its filters) after every commit.
    void CommitOwnChanges(const std::function<void()>& commit);

    // TRecordReader
    bool ChangedBeforeRead() override;
    std::int32_t ReadAheadCount(bool forward) override;

private:
    // How often a walk starts again when the table changes under it before it gives up.
    static constexpr int kRestartLimit = 8;
    [[noreturn]] void Raise(std::uint16_t code) const;
    void RequireClosed() const;
    void LoadIndex(int slot);
    void Sync();
    bool CountersChanged();
    // The table object's counters are those of the cursor's snapshot.
    bool SnapshotCurrent() const;
    void TakeSnapshot();
    void Resync();
    void ReleaseCheck();
    // Gives the check lock back when a public operation ends, however it ends.
    struct TCheckScope {
        explicit TCheckScope(TDataCursor& c) : cursor(c) {}
        TDataCursor& cursor;
        TCheckScope(const TCheckScope&) = delete;
        TCheckScope& operator=(const TCheckScope&) = delete;
        ~TCheckScope() { cursor.ReleaseCheck(); }
    };
    // Bitmap mode is on in natural order and while a filter is active; off, the
    // bitmaps give their storage back.
    void UpdateBitmapMode();
    // Builds the live-records bitmap and evaluates the active filters (only those in
    // `fresh` when given), starting again when the table changes under the walk;
    // then combines the view.
    void UpdateBitmaps(const std::vector<TFilter*>* fresh = nullptr);
    void BuildBitmaps();
    void EvaluateFilter(TFilter& filter);
    void CombineView();
    // After the view changed: stays on the current record when it is visible, else
    // moves to the nearest visible one, keeping a BOF or EOF rest.
    void Relocate();
    std::vector<std::unique_ptr<TFilter>>::iterator FindFilter(const TFilter* filter);
    // Writing: the indexes a record is entered in (primary with key fields, then the
    // secondary ones), the checks before a write, finishing a change.
    struct TWriteIndex {
        int slot;
        TKeyLayout layout;
    };
    std::vector<TWriteIndex> WriteIndexes() const;
    bool SlotReuse() const;
    // Takes the record lock on slot n unless this cursor holds it; true when taken.
    bool HoldRecordLock(std::int32_t n);
    void RequireWritable() const;
    std::vector<std::uint8_t> CheckedImage(std::span<const std::uint8_t> buffer) const;
    [[noreturn]] void RaiseKeyViolation(int slot) const;
    void FinishChange(TTableChanges changed);
    // Takes live record n out of every index but the one in `notInSlot`, marks its slot
    // deleted and enters it in "Sys Deleted" as deleted.
    void EraseRecord(TRecord& record, std::int32_t n, int notInSlot = -1);
    // Puts the cursor on record n after a write, in the active order.
    void StandOn(std::int32_t n);
    // Where the cursor stood before a write that does not move it, and going back
    // there (before the place of a removed record).
    struct TPlace {
        std::vector<std::uint8_t> bookmark;
        bool atBof;
        bool atEof;
        bool onRecord;
    };
    TPlace Place() const;
    void Return(const TPlace& place, bool removed);
    // Ranges: the positions of the range's first and last entries (again after any
    // change), whether a key lies inside, and the offset of record numbers.
    void ComputeRange();
    bool KeyInRange(const std::uint8_t* key) const;
    std::int64_t RangeOffset() const { return rangeActive_ ? rangeFirst_ - 1 : 0; }
    std::vector<std::uint8_t> RangeBound(bool fromRecord, std::span<const std::uint8_t> bound, int fields,
                                         std::size_t& length) const;
    bool Visible(std::int32_t n) const { return !bitmapMode_ || view_.Has(n); }
    void NoCurrent();
    bool GoFirst();
    bool GoLast();
    bool GoToEdge(bool last);
    bool GoToOrdinal(std::int32_t n);
    void MoveBy(int n);
    // Index order: n visible entries on (back when negative); false when an edge came
    // first, with the cursor on the last visible entry passed and BOF or EOF set.
    bool StepIndex(int n);
    void SetIndexPosition(const TIndexTree::TPosition& p);
    bool SetToBookmarkSynced(std::span<const std::uint8_t> bookmark, bool nearest);
    bool KeySearch(const std::uint8_t* key, std::size_t length, bool nearest, bool keepEdge);
    std::uint16_t ReadCurrent(std::span<std::uint8_t> buffer);
    std::uint16_t Status() const;
    void Zero(std::span<std::uint8_t> buffer) const;
    TIndexTree Tree();

    // BLOBs.
    TBlobBuffer& Blob(std::span<const std::uint8_t> buffer, int fieldNo, bool load);
    // Writes the changed BLOBs of record `recordNo` (0: a new record) and stores their
    // references in `image`; every other BLOB field of `image` takes `kept`'s
    // reference (the stored record's), or NULL for a new record. True when a BLOB was
    // written.
    bool PostBlobs(std::int32_t recordNo, std::span<std::uint8_t> image, std::span<const std::uint8_t> kept);
    void DropBlobs(std::int32_t recordNo);
    // The caller's record with the null indicators of its changed BLOB fields set as
    // their new values will have them, for the checks of required fields.
    std::vector<std::uint8_t> StagedImage(std::span<const std::uint8_t> buffer) const;
    std::vector<std::unique_ptr<TBlobBuffer>> blobs_;

    TDataDirectory& directory_;
    std::string tableName_;
    bool exclusive_ = false;
    bool readOnly_ = false;
    bool inMemory_ = false;
    bool naturalFlag_ = false;
    bool shareExclusive_ = false;  // a clone sharing its source's exclusive open
    TDataTable* table_ = nullptr;
    TRecordsBitmap myLocks_;       // records this cursor has locked
    std::vector<TFieldDesc> fields_;
    std::uint16_t recordSize_ = 0;
    std::uint16_t languageId_ = 0;
    std::uint16_t sortId_ = 0;

    // Active order.
    int activeIndex_ = 0;
    std::string indexName_;
    bool natural_ = false;
    TKeyLayout layout_;
    std::size_t keyLength_ = 0;

    // Position.
    std::int64_t logical_ = 0;
    bool bof_ = true;
    bool eof_ = true;
    std::int32_t page_ = 0;    // index order: leaf page of the current entry
    int entry_ = 0;            //              and its position in it
    std::vector<std::uint8_t> key_;  // key of the current entry
    std::int32_t recordNo_ = 0;      // physical record number of the current entry
    std::vector<std::uint8_t> record_;  // the current record
    std::int32_t lastRead_ = 0;         // the record read before, for read-ahead

    // View (bitmap mode): live records, key range (size 0: none), their intersection
    // with every active filter, and the number of visible records.
    std::vector<std::unique_ptr<TFilter>> filters_;
    TFilterTable filterTable_{*this};
    bool bitmapMode_ = false;
    bool rebuilding_ = false;
    TRecordsBitmap live_;
    TRecordsBitmap range_;
    TRecordsBitmap view_;
    std::int32_t viewCount_ = 0;

    bool suppressAutoInc_ = false;
    // Range (index order): keys, compared lengths, and the positions of its first
    // and last entries (1 and the record count without a range).
    bool rangeActive_ = false;
    std::vector<std::uint8_t> rangeLow_;
    std::vector<std::uint8_t> rangeHigh_;
    std::size_t rangeLowLength_ = 0;
    std::size_t rangeHighLength_ = 0;
    std::int64_t rangeFirst_ = 1;
    std::int64_t rangeLast_ = 0;

    // Change detection.
    std::uint32_t snapData_ = 0;
    std::int32_t snapIndex_ = 0;
    std::uint32_t snapBlob_ = 0;
    bool inResync_ = false;
};

}  // namespace reruzo
