// Bulk loading of a new table: the data file is created with the given fields and
// records are appended one after another, each getting the next record identifier
// (or keeping the one it carries), without an index file. Tests and benchmarks make
// their data files this way; the program and the tools write through cursors.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/storage/data_file.h"

namespace reruzo {

class TTableBuilder {
public:
    // Lays out the fields and creates the data file (replacing an existing one).
    TTableBuilder(std::string directory, std::string table, std::vector<TFieldDesc> fields,
                  const TNewTableOptions& options = {});
    ~TTableBuilder();
    TTableBuilder(const TTableBuilder&) = delete;
    TTableBuilder& operator=(const TTableBuilder&) = delete;

    const std::vector<TFieldDesc>& Fields() const { return file_.Fields(); }
    // The field of that name; RERUZO_OUTOFRANGE when there is none.
    const TFieldDesc& FieldByName(const std::string& name) const;
    TStringRules StringRules() const { return file_.StringRules(); }
    // A record of RecordSize zero bytes: every field NULL.
    std::vector<std::uint8_t> BlankRecord() const;

    // Appends a record image and returns its identifier: the next one, or with
    // `keepIdentifier` the one in bytes 5..8 (LastAutoIncValue rises to it).
    std::int32_t Append(std::span<const std::uint8_t> record, bool keepIdentifier = false);
    // Writes what is still cached, the descriptors and the header, and closes the file.
    void Finish();
    TDataFile& File() { return file_; }

private:
    TDataFile file_;
    bool finished_ = false;
};

}  // namespace reruzo
