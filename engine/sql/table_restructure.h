// Changing the structure of a table with its records carried over: fields added,
// dropped, moved, renamed or given another type, indexes defined anew, and the
// table's options (password, language, sort, BLOB block size, description, user
// versions) kept or changed.
//
// The new table is written under a name of its own while the old one stays open
// exclusively, so that no other process can change it meanwhile; only when the new
// table is complete and on the disk is it swapped in (table_swap.h). An interruption
// before that point leaves the old table whole and untouched; after it, the new one.
// Unless told otherwise, the old files are kept as TABLE.DBK, TABLE.IBK and TABLE.BBK
// (renaming them back to .DAT, .IDX and .BLB restores the old table).
//
// Each record keeps its identifier (the auto-increment value). A field whose type,
// size or scale changes is converted with the CAST conversions of the expression
// language; a value that does not convert becomes NULL and is counted, unless the
// field is required, which refuses the whole change. A unique index that the carried
// records would violate refuses it too. Errors name the table and, where one is to
// blame, the record.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/table/data_session.h"

namespace reruzo {

struct TRestructureRequest {
    // The new structure. Each field's FieldNo names the field of the old table whose
    // values it carries; a number no old field has makes a new field, which takes its
    // default. The indexes' field numbers name fields the same way.
    TTableStructure structure;
    bool backup = true;
    // The counter of the auto-increment field (never below the highest identifier
    // carried over); -1 keeps the old table's.
    std::int64_t lastAutoInc = -1;
    std::function<void(int percent)> progress;
};

struct TRestructureResult {
    std::int32_t records = 0;
    std::int32_t nulled = 0;  // values that did not convert and are NULL now
};

// Restructures the table `table` of `directory` (an in-memory one when `inMemory`).
// Raises the engine's errors: RERUZO_TABLEOPEN or a lock error when another process
// has the table open, the structure's errors, a key violation, a required field
// without a value.
TRestructureResult RestructureTable(TDataDirectory& directory, const std::string& table, bool inMemory,
                                    TRestructureRequest request);

}  // namespace reruzo
