// Sorting a table's records in place: sort keys, the in-memory sort of cached records,
// the run sort with its temporary files and merge, the output stage (duplicates and
// groups), and writing the output back with the indexes rebuilt.
#include "engine/table/table_sort.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <numeric>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_build.h"
#include "engine/index/index_tree.h"
#include "engine/storage/byte_order.h"

namespace reruzo {
namespace {

// More runs than this are merged in several passes, so that the open run files and
// their read buffers stay few.
constexpr std::size_t kMaxMergeWidth = 128;
constexpr std::size_t kDefaultRunRecords = 8192;
constexpr std::size_t kDefaultRunBytes = 1048576;

// Thrown when the progress callback asks to stop; SortTable turns it into kSortAborted.
struct TSortAbort {};

// Percentages for the progress callback: each percent is reported at most once, and
// the callback's "stop" becomes TSortAbort.
class TProgress {
public:
    explicit TProgress(const std::function<bool(int)>& callback) : callback_(callback) {}
    void SetTotal(std::uint64_t total) { total_ = total; }
    void Advance(std::uint64_t units) {
        done_ += units;
        Report();
    }
    void Report() {
        if (!callback_) return;
        const std::uint64_t done = std::min(done_, total_);
        const int percent = total_ == 0 ? 100 : static_cast<int>(done * 100 / total_);
        if (percent <= reported_) return;
        reported_ = percent;
        if (!callback_(percent)) throw TSortAbort{};
    }
    void Complete() {
        done_ = total_;
        Report();
    }

private:
    const std::function<bool(int)>& callback_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    int reported_ = -1;
};

// The sort key of a request over one table, and the sizes of what is sorted: an entry
// is a key followed by the record image.
struct TSortKeys {
    TKeyLayout layout;
    std::size_t keyLength = 0;    // with the identifier suffix
    std::size_t valueLength = 0;  // without it: the part that decides equal values
    std::size_t recordSize = 0;
    std::size_t entrySize = 0;

    TSortKeys(const TDataFile& data, const TSortRequest& request) {
        layout.unique = false;
        layout.caseInsensitive = request.caseInsensitive;
        layout.languageId = data.LanguageId();
        layout.sortId = data.SortId();
        for (const TSortField& f : request.fields) layout.fields.push_back(TKeyField{f.field, f.descending});
        layout.Prepare();
        keyLength = layout.KeyLength();
        valueLength = layout.FieldBytes();
        recordSize = data.RecordSize();
        entrySize = keyLength + recordSize;
    }
    int Compare(const std::uint8_t* a, const std::uint8_t* b) const { return CompareKeys(layout, a, b, keyLength); }
    bool SameValues(const std::uint8_t* a, const std::uint8_t* b) const {
        return CompareKeys(layout, a, b, valueLength) == 0;
    }
    // Writes the entry of `record` (a live record image) to `entry`.
    void MakeEntry(std::span<const std::uint8_t> record, std::uint8_t* entry) const {
        BuildKey(layout, record, {entry, keyLength});
        std::memcpy(entry + keyLength, record.data(), recordSize);
    }
};

// A temporary file in the run directory, deleted when the object goes (the file layer
// removes temporary files when their last handle closes).
class TTempFile {
public:
    explicit TTempFile(const std::string& directory) {
        static std::atomic<std::uint64_t> counter{0};
        const std::string prefix = directory + "RZS" + std::to_string(::getpid()) + "_";
        do {
            name_ = prefix + std::to_string(++counter) + ".TMP";
            file_.SetFileName(name_);
        } while (file_.Exists());  // a leftover of an earlier process with this id
        file_.SetErrorContext(directory, name_);
        file_.SetTemporary(true);
        file_.Create();
    }
    void Append(const std::uint8_t* bytes, std::size_t count) {
        if (count == 0) return;  // a write of nothing would cut the file
        file_.WriteAt(size_, bytes, count);
        size_ += count;
    }
    void Read(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
        if (count != 0) file_.ReadAt(offset, out, count);
    }

private:
    TFileHandler file_;
    std::string name_;
    std::uint64_t size_ = 0;
};

// Collects fixed-size items and appends them to a temporary file in pieces.
class TPieceWriter {
public:
    TPieceWriter(TTempFile& file, std::size_t itemSize, std::size_t pieceItems)
        : file_(file), itemSize_(itemSize), buffer_(itemSize * std::max<std::size_t>(1, pieceItems)) {}
    void Add(const std::uint8_t* item) {
        if (used_ + itemSize_ > buffer_.size()) Flush();
        std::memcpy(buffer_.data() + used_, item, itemSize_);
        used_ += itemSize_;
        ++count_;
    }
    void Flush() {
        file_.Append(buffer_.data(), used_);
        used_ = 0;
    }
    std::uint64_t Count() const { return count_; }

private:
    TTempFile& file_;
    std::size_t itemSize_;
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
    std::uint64_t count_ = 0;
};

// A sorted run of entries in a file of its own.
struct TRun {
    std::unique_ptr<TTempFile> file;
    std::uint64_t entries = 0;
};

// Reads a run's entries in order through a buffer of `bufferEntries` entries.
class TRunReader {
public:
    TRunReader(TRun& run, std::size_t entrySize, std::size_t bufferEntries)
        : run_(run), entrySize_(entrySize), buffer_(entrySize * std::max<std::size_t>(1, bufferEntries)) {
        Load();
    }
    bool Valid() const { return at_ < loaded_; }
    const std::uint8_t* Head() const { return buffer_.data() + at_ * entrySize_; }
    void Next() {
        if (++at_ >= loaded_) Load();
    }

private:
    void Load() {
        const std::uint64_t left = run_.entries - next_;
        loaded_ = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer_.size() / entrySize_));
        at_ = 0;
        run_.file->Read(next_ * entrySize_, buffer_.data(), loaded_ * entrySize_);
        next_ += loaded_;
    }

    TRun& run_;
    std::size_t entrySize_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t next_ = 0;  // the first entry not yet loaded
    std::size_t loaded_ = 0;
    std::size_t at_ = 0;
};

// Merges sorted runs: repeatedly hands the smallest head entry among the runs to
// `emit` (valid only during the call) and refills from its run. About `memoryEntries`
// entries are buffered in all. Equal keys (only records sharing an identifier, in a
// damaged table) come from the earlier run first.
template <typename TEmit>
void MergeRuns(std::span<TRun> runs, const TSortKeys& keys, std::size_t memoryEntries, TProgress& progress,
               TEmit&& emit) {
    const std::size_t perRun = std::max<std::size_t>(1, memoryEntries / std::max<std::size_t>(1, runs.size()));
    std::vector<std::unique_ptr<TRunReader>> readers;
    readers.reserve(runs.size());
    for (TRun& run : runs) readers.push_back(std::make_unique<TRunReader>(run, keys.entrySize, perRun));
    // A heap of reader positions with the smallest head on top.
    auto later = [&](std::size_t a, std::size_t b) {
        const int c = keys.Compare(readers[a]->Head(), readers[b]->Head());
        return c != 0 ? c > 0 : a > b;
    };
    std::vector<std::size_t> heap;
    for (std::size_t i = 0; i < readers.size(); ++i) {
        if (readers[i]->Valid()) heap.push_back(i);
    }
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        const std::size_t i = heap.back();
        emit(readers[i]->Head());
        progress.Advance(1);
        readers[i]->Next();
        if (readers[i]->Valid()) {
            std::push_heap(heap.begin(), heap.end(), later);
        } else {
            heap.pop_back();
        }
    }
}

// Turns records in key order into output records: every record, one per set of equal
// sort values, or one row per group with the request's callbacks.
class TOutputStage {
public:
    using TEmit = std::function<void(std::span<const std::uint8_t> record)>;
    TOutputStage(const TSortRequest& request, const TSortKeys& keys, TEmit emit)
        : request_(request), keys_(keys), emit_(std::move(emit)), previous_(keys.valueLength),
          groupRow_(keys.recordSize) {}

    // `entry` is a key followed by its record.
    void Add(const std::uint8_t* entry) {
        const std::span<const std::uint8_t> record(entry + keys_.keyLength, keys_.recordSize);
        const bool same = havePrevious_ && keys_.SameValues(previous_.data(), entry);
        if (request_.grouping) {
            if (!same) {
                if (havePrevious_) CloseGroup();
                std::memcpy(groupRow_.data(), record.data(), keys_.recordSize);
                if (request_.accumulate) request_.accumulate(true, record, groupRow_);
            } else if (request_.accumulate) {
                request_.accumulate(false, record, groupRow_);
            }
        } else if (!(request_.removeDuplicates && same)) {
            emit_(record);
        }
        // Without sort fields there is nothing to remember (and no buffer to copy into).
        if (keys_.valueLength != 0) std::memcpy(previous_.data(), entry, keys_.valueLength);
        havePrevious_ = true;
    }
    // After the last record: the last group is finished and tested.
    void Finish() {
        if (request_.grouping && havePrevious_) CloseGroup();
        havePrevious_ = false;
    }

private:
    void CloseGroup() {
        if (request_.finish) request_.finish(groupRow_);
        if (!request_.test || request_.test(groupRow_)) emit_(groupRow_);
    }

    const TSortRequest& request_;
    const TSortKeys& keys_;
    TEmit emit_;
    std::vector<std::uint8_t> previous_;  // the sort values of the previous record
    bool havePrevious_ = false;
    std::vector<std::uint8_t> groupRow_;
};

// Rewrites the table from its sort output. Construction is the point of no return:
// the records region and the index trees are emptied. Each added record takes the
// next slot from 1 on and is entered into every index of the table.
class TWriteBack {
public:
    explicit TWriteBack(TDataTable& table) : table_(table), data_(table.Data()), index_(table.Index()) {
        auto add = [&](int slot) {
            slots_.push_back(slot);
            layouts_.push_back(std::make_unique<TKeyLayout>(
                MakeKeyLayout(index_.Descriptor(slot), slot, data_.Fields(), data_.LanguageId(), data_.SortId())));
        };
        if (index_.Descriptor(0).Defined()) add(0);
        for (int s = 1; s <= std::min<int>(index_.Header().SecondaryCount, kMaxSecondaryIndexes); ++s) add(s);
        add(kSysDeletedSlot);

        // Emptying resets the identifier counter, which must go on from where it was.
        const std::int32_t lastIdentifier = data_.LastAutoInc();
        data_.Empty();
        data_.SetLastAutoInc(lastIdentifier);
        index_.Empty();
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            trees_.push_back(std::make_unique<TIndexTree>(index_, slots_[i], *layouts_[i]));
            batches_.push_back(std::make_unique<TKeyBatch>(*layouts_[i]));
        }
    }

    void Add(std::span<const std::uint8_t> record) {
        TPinnedRecord r(data_.AppendRecord());
        const std::int32_t slot = r->RecordNo();
        const std::span<std::uint8_t> image = r->Data();
        std::memcpy(image.data(), record.data(), image.size());
        image[0] = 0;  // live
        PutLE(image.data() + 1, slot);
        r->SetModified(true);
        bool full = false;
        for (std::size_t i = 0; i < trees_.size(); ++i) {
            key_.assign(layouts_[i]->KeyLength(), 0);
            BuildKey(*layouts_[i], image, key_);
            batches_[i]->Add(key_.data(), slot);
            full = full || batches_[i]->Full();
        }
        if (full) EnterKeys();
        ++count_;
    }

    // Sets the record count and writes both files.
    std::int32_t Finish() {
        EnterKeys();
        index_.SetRecordCount(count_);
        table_.FlushBuffers({}, {.data = true, .index = true});
        return count_;
    }

private:
    // The keys gathered so far go into their trees, in key order.
    void EnterKeys() {
        for (std::size_t i = 0; i < trees_.size(); ++i) {
            if (layouts_[i]->unique && batches_[i]->FirstDuplicate(*trees_[i]) != 0) {
                RaiseEngineError(RERUZO_KEYVIOL, {.database = data_.Directory(), .table = data_.TableName(),
                                                  .index = index_.Descriptor(slots_[i]).Name});
            }
            batches_[i]->InsertInto(*trees_[i]);
        }
    }

    TDataTable& table_;
    TDataFile& data_;
    TIndexFile& index_;
    std::vector<int> slots_;
    std::vector<std::unique_ptr<TKeyLayout>> layouts_;  // the trees and batches keep references to them
    std::vector<std::unique_ptr<TIndexTree>> trees_;
    std::vector<std::unique_ptr<TKeyBatch>> batches_;
    std::vector<std::uint8_t> key_;
    std::int32_t count_ = 0;
};

// Positions 0..count-1 of `entries`, in key order (slot order among equal keys).
std::vector<std::uint32_t> SortedOrder(const std::vector<std::uint8_t>& entries, std::size_t count,
                                       const TSortKeys& keys) {
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    const std::uint8_t* base = entries.data();
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return keys.Compare(base + a * keys.entrySize, base + b * keys.entrySize) < 0;
    });
    return order;
}

// Produces the output of entries held in memory into `output` (record images).
void OutputFromMemory(const std::vector<std::uint8_t>& entries, std::size_t count, const TSortRequest& request,
                      const TSortKeys& keys, TProgress& progress, std::vector<std::uint8_t>& output) {
    const std::vector<std::uint32_t> order = SortedOrder(entries, count, keys);
    TOutputStage stage(request, keys, [&](std::span<const std::uint8_t> record) {
        output.insert(output.end(), record.begin(), record.end());
    });
    for (const std::uint32_t i : order) {
        stage.Add(entries.data() + i * keys.entrySize);
        progress.Advance(1);
    }
    stage.Finish();
}

std::int32_t WriteBackFromMemory(TDataTable& table, const std::vector<std::uint8_t>& output, std::size_t recordSize) {
    TWriteBack writer(table);
    for (std::size_t at = 0; at + recordSize <= output.size(); at += recordSize)
        writer.Add({output.data() + at, recordSize});
    return writer.Finish();
}

// Every record is in the cache: the cached images are ordered in memory.
std::int32_t SortInMemory(TDataTable& table, const TSortRequest& request, const TSortKeys& keys,
                          TProgress& progress, TSortStats& stats) {
    TDataFile& data = table.Data();
    const std::int32_t slots = data.SlotCount();
    progress.SetTotal(2 * static_cast<std::uint64_t>(slots));
    progress.Report();
    std::vector<std::uint8_t> entries;
    entries.reserve(static_cast<std::size_t>(slots) * keys.entrySize);
    std::size_t count = 0;
    for (std::int32_t n = 1; n <= slots; ++n) {
        TPinnedRecord r(data.GetRecord(nullptr, n, {}));
        if (r->State() == 0) {
            entries.resize(entries.size() + keys.entrySize);
            keys.MakeEntry(r->Data(), entries.data() + count * keys.entrySize);
            ++count;
        }
        progress.Advance(1);
    }
    stats.inMemory = true;
    stats.liveRecords = static_cast<std::int32_t>(count);
    stats.mergePasses = 0;
    progress.SetTotal(static_cast<std::uint64_t>(slots) + count);
    std::vector<std::uint8_t> output;
    OutputFromMemory(entries, count, request, keys, progress, output);
    progress.Complete();
    entries = {};
    return WriteBackFromMemory(table, output, keys.recordSize);
}

// Not every record is cached: runs, merge, output file, write-back.
std::int32_t SortInRuns(TDataTable& table, const TSortRequest& request, const TSortKeys& keys,
                        std::size_t capacity, const std::string& directory, TProgress& progress, TSortStats& stats) {
    TDataFile& data = table.Data();
    // The file must hold every record: modified ones are written, and the cache is
    // cleared so that reading past it cannot fill it with the whole table.
    data.FlushRecords(false);
    data.ClearCache();

    const std::int32_t slots = data.SlotCount();
    const std::size_t size = keys.recordSize;
    progress.SetTotal(2 * static_cast<std::uint64_t>(slots));
    progress.Report();

    // A run never holds more records than the table has slots.
    capacity = std::max<std::size_t>(1, std::min(capacity, static_cast<std::size_t>(slots)));
    std::vector<TRun> runs;
    std::vector<std::uint8_t> entries(capacity * keys.entrySize);
    std::size_t count = 0;
    std::uint64_t live = 0;
    bool singleRun = false;
    {
        std::vector<std::uint8_t> raw(capacity * size);
        std::int32_t n = 1;
        while (n <= slots) {
            count = 0;
            while (count < capacity && n <= slots) {
                const auto piece = static_cast<std::int32_t>(
                    std::min<std::uint64_t>(capacity - count, static_cast<std::uint64_t>(slots - n) + 1));
                data.ReadAt(data.SlotOffset(n), raw.data(),
                            static_cast<std::uint64_t>(piece) * size);
                for (std::int32_t i = 0; i < piece; ++i) {
                    std::uint8_t* slot = raw.data() + static_cast<std::size_t>(i) * size;
                    if (data.Encrypted()) ApplyCipher({slot, size}, kRecordKey);
                    if (slot[0] != 0) continue;  // deleted
                    keys.MakeEntry({slot, size}, entries.data() + count * keys.entrySize);
                    ++count;
                }
                n += piece;
                progress.Advance(static_cast<std::uint64_t>(piece));
            }
            if (count == 0) break;
            live += count;
            if (runs.empty() && n > slots) {
                singleRun = true;  // everything fits in one run: no files needed
                break;
            }
            const std::vector<std::uint32_t> order = SortedOrder(entries, count, keys);
            TRun run{std::make_unique<TTempFile>(directory), 0};
            TPieceWriter writer(*run.file, keys.entrySize, std::max<std::size_t>(1, capacity / 8));
            for (const std::uint32_t i : order) writer.Add(entries.data() + i * keys.entrySize);
            writer.Flush();
            run.entries = writer.Count();
            runs.push_back(std::move(run));
        }
    }
    stats.inMemory = false;
    stats.liveRecords = static_cast<std::int32_t>(live);
    stats.runs = static_cast<std::int32_t>(runs.size());

    if (singleRun || runs.empty()) {
        stats.mergePasses = 0;
        progress.SetTotal(static_cast<std::uint64_t>(slots) + live);
        std::vector<std::uint8_t> output;
        OutputFromMemory(entries, singleRun ? count : 0, request, keys, progress, output);
        progress.Complete();
        entries = {};
        return WriteBackFromMemory(table, output, size);
    }
    entries = {};

    // Merge passes until one pass can take every run.
    std::size_t passes = 1;
    for (std::size_t r = runs.size(); r > kMaxMergeWidth; r = (r + kMaxMergeWidth - 1) / kMaxMergeWidth) ++passes;
    stats.mergePasses = static_cast<std::int32_t>(passes);
    progress.SetTotal(static_cast<std::uint64_t>(slots) + live * passes);
    while (runs.size() > kMaxMergeWidth) {
        std::vector<TRun> merged;
        for (std::size_t first = 0; first < runs.size(); first += kMaxMergeWidth) {
            const std::size_t end = std::min(first + kMaxMergeWidth, runs.size());
            if (end - first == 1) {
                progress.Advance(runs[first].entries);
                merged.push_back(std::move(runs[first]));
                continue;
            }
            TRun out{std::make_unique<TTempFile>(directory), 0};
            TPieceWriter writer(*out.file, keys.entrySize, capacity);
            MergeRuns(std::span<TRun>(runs.data() + first, end - first), keys, capacity, progress,
                      [&](const std::uint8_t* entry) { writer.Add(entry); });
            writer.Flush();
            out.entries = writer.Count();
            for (std::size_t i = first; i < end; ++i) runs[i].file.reset();  // deletes the merged runs
            merged.push_back(std::move(out));
        }
        runs = std::move(merged);
    }

    // The final pass produces the output into a file of its own.
    TTempFile outputFile(directory);
    TPieceWriter output(outputFile, size, capacity);
    {
        TOutputStage stage(request, keys, [&](std::span<const std::uint8_t> record) { output.Add(record.data()); });
        MergeRuns(runs, keys, capacity, progress, [&](const std::uint8_t* entry) { stage.Add(entry); });
        stage.Finish();
    }
    output.Flush();
    runs.clear();  // deletes the last run files
    progress.Complete();

    TWriteBack writer(table);
    std::vector<std::uint8_t> piece(capacity * size);
    for (std::uint64_t at = 0; at < output.Count();) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, output.Count() - at));
        outputFile.Read(at * size, piece.data(), n * size);
        for (std::size_t i = 0; i < n; ++i) writer.Add({piece.data() + i * size, size});
        at += n;
    }
    return writer.Finish();
}

}  // namespace

std::int32_t SortTable(TDataTable& table, const TSortRequest& request, const std::string& runDirectory,
                       TSortStats* stats) {
    TDataFile& data = table.Data();
    const TErrorContext context{.database = data.Directory(), .table = data.TableName()};
    if (!table.IsOpen() || !table.Exclusive() || table.TransactionActive())
        RaiseEngineError(RERUZO_NEEDEXCLACCESS, context);
    if (table.ReadOnly()) RaiseEngineError(RERUZO_NOTSUFFTABLERIGHTS, context);

    TSortStats local;
    TSortStats& report = stats ? *stats : local;
    report = {};
    const TSortKeys keys(data, request);
    std::size_t capacity = request.runCapacity > 0
                               ? static_cast<std::size_t>(request.runCapacity)
                               : std::min(kDefaultRunRecords, kDefaultRunBytes / std::max<std::size_t>(1, keys.recordSize));
    capacity = std::max<std::size_t>(1, capacity);
    std::string directory = runDirectory.empty() ? "./" : runDirectory;
    if (directory.back() != '/' && directory.back() != '\\') directory += '/';

    TProgress progress(request.progress);
    // The table is emptied and written again in order: one batch of its journal, so
    // that a crash, a failure or an abort leaves it as it was.
    table.WriteOutBeforeBatch();
    TJournalBatch batch(table.Journal());
    auto undo = [&] {
        batch.Abandon();
        table.ForgetAbandonedWrites();
    };
    try {
        const std::int32_t sorted = data.CachedCount() == static_cast<std::size_t>(data.SlotCount())
                                        ? SortInMemory(table, request, keys, progress, report)
                                        : SortInRuns(table, request, keys, capacity, directory, progress, report);
        batch.Commit();
        return sorted;
    } catch (const TSortAbort&) {
        undo();
        return kSortAborted;
    } catch (...) {
        undo();
        throw;
    }
}

}  // namespace reruzo
