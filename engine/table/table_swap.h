// Putting a rebuilt table in the place of the one it replaces, so that an interruption
// at any moment leaves one whole table under the name: the old one, or the new one.
//
// The rebuilt table's files lie complete and synced under a name of their own. The
// swap then:
//   1. keeps the old files as backups (TABLE.DBK, TABLE.IBK, TABLE.BBK: hard links,
//      so no byte is copied), unless told not to;
//   2. writes the marker TABLE.RST, which names the rebuilt table and the files it
//      has, and syncs it and the folder;
//   3. renames the rebuilt files onto the table's names, the data file last, and drops
//      an old file the rebuilt table has no counterpart of (a BLOB file);
//   4. removes the marker.
// Before the marker is on the disk the old table is untouched; from then on the
// rebuilt files are whole, and whoever finds the marker next (the next open of the
// table, in any process, or the engine tool) finishes the renames. Every step can be
// done twice without harm, so two processes finishing one swap do not collide.
#pragma once

#include <string>

namespace reruzo {

// The marker of an unfinished swap of `table` in the folder `directory` (ending in
// "/").
std::string TableSwapMarker(const std::string& directory, const std::string& table);

// Swaps the files of the rebuilt table `rebuilt` in for those of `table`. Raises
// RERUZO_WRITEERR (with the path) when a step fails; before the marker is written the
// old table is then as it was.
void SwapTableFiles(const std::string& directory, const std::string& table, const std::string& rebuilt, bool backup);

// Finishes a swap of `table` that was left unfinished; false when there was none.
bool FinishTableSwap(const std::string& directory, const std::string& table);

}  // namespace reruzo
