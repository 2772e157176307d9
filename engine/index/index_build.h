// Whole-table index work: creating the index file of a table from its data file
// (defining the indexes and entering every record slot), adding one index over the
// records of an existing table, freeing the tree of an index that is deleted, and
// checking that a table's indexes agree with its records.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/index/index_file.h"
#include "engine/index/index_tree.h"
#include "engine/storage/data_file.h"

namespace reruzo {

// Creates the index file beside an open data file, replacing one that exists: the
// primary index (no key fields: records in natural order) and the secondary indexes
// are defined (key lengths computed here), every slot gets its "Sys Deleted" entry,
// every live record its key in each index, and the record count is set. The file is
// written and left open in `index`.
void CreateIndexFile(TDataFile& data, TIndexFile& index, TIndexDesc primary,
                     std::vector<TIndexDesc> secondaries);

// Adds a secondary index to the open index file of a table and enters the key of
// every live record. `definition` needs its name, flags and field numbers (a zero
// ends them); its field count and key length are worked out here, with `database`
// and `table` naming the table in messages. A unique index that meets a key twice
// raises RERUZO_KEYVIOL naming the index and the key; the caller, whose changes are
// one batch, then abandons them all. `progress` hears the percentage done, in steps of
// 100 divided by `progressSteps` (every percent for 0). Returns the new index's slot.
struct TNewIndex {
    int slot = 0;
};
TNewIndex BuildSecondaryIndex(TDataFile& data, TIndexFile& index, TIndexDesc definition, const std::string& database,
                              const std::string& table, std::uint16_t progressSteps,
                              const std::function<void(int percent)>& progress);

// Keys of one index gathered from many records and entered into its tree in key
// order: entered in record order they land on random leaves, and once the tree
// outgrows the page buffers every insert reads its leaf again. Equal keys keep the
// order they were added in.
class TKeyBatch {
public:
    explicit TKeyBatch(const TKeyLayout& layout);
    // The key (the layout's key length) of record n.
    void Add(const std::uint8_t* key, std::int32_t n);
    // The batch holds as much as it should before it is entered (32 MiB).
    bool Full() const;
    // For a unique index: the first record, in the order added, whose key an earlier
    // record of the batch or the tree already has; 0 when there is none.
    std::int32_t FirstDuplicate(TIndexTree& tree);
    // Enters every key in key order and empties the batch.
    void InsertInto(TIndexTree& tree);

private:
    void Order();
    const std::uint8_t* Key(std::size_t at) const;
    std::int32_t Record(std::size_t at) const;

    const TKeyLayout& layout_;
    std::size_t keyLength_;
    std::size_t entrySize_;
    std::vector<std::uint8_t> entries_;  // key, then the record number, back to back
    std::vector<std::uint32_t> order_;   // entry positions in key order, once ordered
    bool ordered_ = false;
};

// Index names compare without blanks around them and without regard to letter case.
bool SameIndexName(std::string a, std::string b);
// The slot of the index called `name` ("" is slot 0: the primary index, or natural
// order in a table without one), or -1.
int FindIndexSlot(const TIndexFile& index, const std::string& name);

// Frees every page of the tree of index `slot` onto the slot's free chain, children
// before their parents, for the next index defined there to take over, and clears
// the root. False, with nothing freed, when the tree holds more pages than the file
// (a damaged tree).
bool FreeIndexTree(TIndexFile& index, int slot);

// Checks an open table's index file against its data file: the index file's own
// structure (CheckIndexFile), the record count, and that every index holds exactly
// the key of every live record (all slots for "Sys Deleted") pointing at its slot.
std::vector<std::string> CheckTableIndexes(TDataFile& data, TIndexFile& index);

}  // namespace reruzo
