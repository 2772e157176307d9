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

// The SQL data type that makes a field of this type and subtype: CHAR(n), INTEGER,
// AUTOINC, BLOB(0, t), ... A type the SQL dialect cannot write comes out as the
// nearest one it can, followed by a comment naming the field's own type (VARBYTES(n)
// as BYTES(n), BLOB kinds 4 and 6 as binary BLOBs), or as that comment alone when
// there is none (the type codes this engine never writes), so that the statement
// stops there rather than make another table unseen.
std::string SqlTypeName(const TFieldDesc& field);

// An identifier in double quotes. The lexer reads a doubled quote of either kind as
// one inside either kind of string, so quotes of both kinds are doubled.
std::string QuotedName(const std::string& utf8);

// A text of the table (bytes in its code page, shown through `codec`) as a string
// constant in single quotes, its quotes doubled as QuotedName doubles them.
std::string QuotedText(const std::string& text, const TTextCodec& codec);

// CREATE TABLE "table" (...); and a CREATE INDEX statement per secondary index, each
// line ending in "\n", that make a table of the same structure when run again in the
// SQL shell with the same code page: every column with its data type and attributes
// (DESCRIPTION, NOT NULL, DEFAULT, MIN, MAX, CHARCASE), the primary key and the
// secondary indexes with their options and compression, and the table options
// (DESCRIPTION, BLOB BLOCK SIZE, LANGUAGE and SORT, USER MAJOR and MINOR VERSION).
// An encrypted table's password is never shown: a comment stands where ENCRYPTED
// WITH would go. What the dialect cannot write is a comment (see SqlTypeName). Raises
// the engine's error when the table cannot be read.
std::string SchemaText(const std::string& directory, const std::string& table, const TTextCodec& codec);

// One line per index: the primary index as PRIMARY KEY, a secondary one by its quoted
// name, then its fields in parentheses and the words unique, descending and nocase
// for the flags it has.
std::string IndexLines(const std::string& directory, const std::string& table, const TTextCodec& codec);

}  // namespace reruzo::cli
