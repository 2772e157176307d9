// Bulk loading through the table layer: a table created by a directory (and so open
// exclusively) gets records appended one after another, each entered into every
// index of the table and into "Sys Deleted". Closing the table writes everything.
// Tests and benchmarks fill their tables this way; the program and the tools write
// through cursors.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/table/data_table.h"
#include "engine/index/index_tree.h"

namespace reruzo {

class TTableLoader {
public:
    explicit TTableLoader(TDataTable& table);

    const std::vector<TFieldDesc>& Fields() const { return table_.Data().Fields(); }
    TStringRules StringRules() const { return table_.Data().StringRules(); }
    std::vector<std::uint8_t> BlankRecord() const { return std::vector<std::uint8_t>(table_.Data().RecordSize(), 0); }
    // Appends a record image; it gets the next record identifier, or with
    // `keepIdentifier` keeps the one in bytes 5..8. A key a unique index has already
    // raises RERUZO_KEYVIOL before anything is written. Returns the identifier.
    std::int32_t Append(std::span<const std::uint8_t> record, bool keepIdentifier = false);

private:
    struct TSlotIndex {
        int slot;
        TKeyLayout layout;
    };
    TDataTable& table_;
    std::vector<TSlotIndex> indexes_;
    std::vector<std::uint8_t> key_;
};

}  // namespace reruzo
