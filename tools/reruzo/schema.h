// Table schemas of the engine tool: the type and compression names it uses, the
// schema file that `reruzo load` creates a table from, and the description of an
// existing table that `reruzo info` prints.
//
// Schema file (only "fields" is required; each field needs "name" and "type"):
//   {"fields": [{"name", "type", "length", "scale", "required", "charcase",
//                "min", "max", "default", "description"}, ...],
//    "primary": {"fields": [names], "descending", "nocase", "compression"},
//    "indexes": [{"name", "fields": [names], "unique", "descending", "nocase",
//                 "compression"}, ...],
//    "language", "sort", "description", "blobBlockSize", "password",
//    "userMajor", "userMinor"}
// "length" is required for char, bytes and varbytes (1..250); "scale" applies to bcd
// (0..4); "charcase" is "keep", "lower" or "upper"; "min", "max" and "default" are
// value texts (a number or a boolean is taken as its text). Without "primary" the
// records stay in natural order. A "password" makes the table encrypted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/table/data_table.h"
#include "tools/reruzo/json.h"
#include "tools/reruzo/values.h"

namespace reruzo::cli {

struct TFieldType {
    std::uint8_t type;
    std::uint8_t subType;
};

// "char", "integer", "autoinc", "memo", ...; nullopt for a name that is none.
std::optional<TFieldType> FieldTypeByName(std::string_view name);
// The name of a type code and subtype; "type N" for codes the tool does not know.
std::string FieldTypeName(std::uint8_t type, std::uint8_t subType);
// "none", "dupbyte", "trailbyte", "full"; "mode N" above 3.
std::string CompressionName(std::uint8_t mode);

// Builds the structure of a new table from a schema document. Field names, value
// texts and descriptions are converted to the table's code page. Raises EJsonError
// at the offending value for anything missing, unknown or of the wrong kind; the
// engine checks the rest when the table is created.
TTableStructure ParseSchema(const TJsonValue& schema, const TTextCodec& codec);

// The description `reruzo info` prints for an open data file, its index file (`index`
// may be null when the table has none) and its BLOB file (null when the table has no
// BLOB fields or the file is missing: "blobFile" is then left out or null).
TJsonValue DescribeTable(TDataFile& data, TIndexFile* index, TBlobFile* blob, const TTextCodec& codec);

}  // namespace reruzo::cli
