// `reruzo verify`: every check the engine has for a table's files, and a cross check
// of the indexes against the records.
#pragma once

#include <string>
#include <vector>

#include "engine/index/index_file.h"
#include "engine/storage/blob_file.h"
#include "engine/storage/data_file.h"
#include "tools/reruzo/values.h"

namespace reruzo::cli {

// Checks that every index of the index file holds exactly one entry for each slot it
// covers (each live record; every slot for "Sys Deleted"), carrying that record's own
// key, and no entry for anything else; that no two live records share the key of a
// unique index; and that the record count is the number of live records. One line per
// problem, at most `perIndex` lines for one index (then a line with the number left).
std::vector<std::string> CrossCheckIndexes(TDataFile& data, TIndexFile& index, const TTextCodec& codec,
                                           std::size_t perIndex = 100);

// Checks the BLOB file against the records: the free chain (links within the blocks,
// no loop, no block of a BLOB on it), the chain of every BLOB field of every live
// record (links within the blocks, no loop, every block used by that BLOB only and
// carrying the record's stamp, every block but the last full, the size in the first
// block the sum of the bytes the blocks use), and that every block is either free or
// used. One line per problem, at most `limit` lines (then a line with the number left).
std::vector<std::string> CheckBlobs(TDataFile& data, TBlobFile& blob, const TTextCodec& codec,
                                    std::size_t limit = 100);

// Runs the structure check of the data file, its record check (free chain, slot
// states, identifiers), the BLOB check, the index file's header and tree checks and
// the cross check.
// Prints every problem, one a line, and a closing line; returns the exit status
// (0 sound, 1 damaged).
int VerifyTable(TDataFile& data, const TTextCodec& codec);

}  // namespace reruzo::cli
