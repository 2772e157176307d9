// The texts of the SQL shell's dot-commands that describe tables: the table names of
// a folder, a table's structure as the CREATE TABLE and CREATE INDEX statements that
// would make it, and its indexes one a line. They read the table's files directly, as
// `reruzo info` does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/reruzo/values.h"

namespace reruzo::cli {

// The tables of `directory`: its files ending in ".DAT" (in any letter case), names
// without the extension, sorted bytewise.
std::vector<std::string> TableNames(const std::string& directory);

// The SQL type of a field type and subtype: CHAR(n), INTEGER, AUTOINC, BLOB(0, t), ...
std::string SqlTypeName(const TFieldDesc& field);

// An identifier in double quotes, inner double quotes doubled.
std::string QuotedName(const std::string& utf8);

// CREATE TABLE "table" (...); and a CREATE INDEX statement per secondary index, each
// line ending in "\n". Raises the engine's error when the table cannot be read.
std::string SchemaText(const std::string& directory, const std::string& table, const TTextCodec& codec);

// One line per index: the primary index as PRIMARY KEY, a secondary one by its quoted
// name, then its fields in parentheses and the words unique, descending and nocase
// for the flags it has.
std::string IndexLines(const std::string& directory, const std::string& table, const TTextCodec& codec);

}  // namespace reruzo::cli
