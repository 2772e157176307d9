// `reruzo repair`: a damaged table made sound again from its records.
//
// The table is held exclusively throughout (another user of it is refused with the
// engine's error). When `verify` finds nothing wrong, nothing is written. Otherwise
// a mended copy of the three files is written beside them under temporary names
// (TABLE.DAT.repair, TABLE.IDX.repair, TABLE.BLB.repair) and put in place only once
// it is complete:
//   - the data file keeps every slot in its place; the slot count comes from the size
//     of the file, records in use with a state byte other than 0 or 1 and slots of
//     nothing but zero bytes become deleted, identifiers that are not positive or that
//     another record holds are given new ones, the deleted slots are chained again
//     (the old chain's order is kept as far as it is sound), and the last identifier
//     is at least the largest any slot holds;
//   - the index file gets the old file's index definitions with every tree built anew
//     from the records; a record whose key a unique index already holds for a record
//     before it is kept out of the table and written, with its slot and identifier,
//     to TABLE.rejected.json (one JSON object a line, as `dump --meta` writes them; an
//     earlier repair's file is never overwritten: the next free name
//     TABLE.rejected.N.json is taken);
//   - the BLOB file keeps the chains of the records' BLOBs where they are sound, copies
//     BLOBs whose chains can be read but are not sound (or are shared by two records)
//     to new blocks, empties the BLOB fields whose chains cannot be read, and frees
//     every other block.
// Putting in place: the old files are first linked (or copied) to the backup names
// TABLE.DBK, TABLE.IBK and TABLE.BBK, replacing older backups, then the new files are
// renamed over the old names, the data file last. Until then the table's own files are
// never written, so a repair that stops on the way leaves the table as it was (and
// removes what it wrote); between the renames the backups hold the whole old table.
#pragma once

#include "tools/reruzo/commands.h"

namespace reruzo::cli {

int RepairCommand(const TOptions& o);

}  // namespace reruzo::cli
