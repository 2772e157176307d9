// Whole-table index work: creating the index file of a table from its data file
// (defining the indexes and entering every record slot), and checking that a table's
// indexes agree with its records.
#pragma once

#include <string>
#include <vector>

#include "engine/index/index_file.h"
#include "engine/storage/data_file.h"

namespace reruzo {

// Creates the index file beside an open data file, replacing one that exists: the
// primary index (no key fields: records in natural order) and the secondary indexes
// are defined (key lengths computed here), every slot gets its "Sys Deleted" entry,
// every live record its key in each index, and the record count is set. The file is
// written and left open in `index`.
void CreateIndexFile(TDataFile& data, TIndexFile& index, TIndexDesc primary,
                     std::vector<TIndexDesc> secondaries);

// Checks an open table's index file against its data file: the index file's own
// structure (CheckIndexFile), the record count, and that every index holds exactly
// the key of every live record (all slots for "Sys Deleted") pointing at its slot.
std::vector<std::string> CheckTableIndexes(TDataFile& data, TIndexFile& index);

}  // namespace reruzo
