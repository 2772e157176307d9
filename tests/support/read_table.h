// Reads every live record of a table through the data file handler, for tests that
// check what a tool or the program wrote.
#pragma once

#include <string>
#include <vector>

#include "engine/storage/data_file.h"

namespace quorvane::testing {

struct TReadTable {
    std::vector<reruzo::TFieldDesc> fields;
    std::vector<std::vector<std::uint8_t>> records;

    const reruzo::TFieldDesc& Field(const std::string& name) const {
        for (const auto& f : fields) {
            if (f.Name == name) return f;
        }
        throw std::out_of_range("no field " + name);
    }
    std::string Text(std::size_t row, const std::string& field) const {
        return reruzo::GetStringField(records.at(row), Field(field));
    }
    std::int64_t Integer(std::size_t row, const std::string& field) const {
        return reruzo::GetIntegerField(records.at(row), Field(field));
    }
    bool IsNull(std::size_t row, const std::string& field) const {
        return reruzo::FieldIsNull(records.at(row), Field(field));
    }
};

inline TReadTable ReadTable(const std::string& directory, const std::string& table) {
    reruzo::TDataFile file(directory, table);
    file.Open();
    file.VerifyStructure();
    TReadTable t;
    t.fields = file.Fields();
    for (std::int32_t n = 1; n <= file.SlotCount(); ++n) {
        reruzo::TPinnedRecord r(file.GetRecord(nullptr, n, {.readAhead = true}));
        if (r->State() == 0) t.records.emplace_back(r->Data().begin(), r->Data().begin() + file.RecordSize());
    }
    return t;
}

}  // namespace quorvane::testing
