// The `reruzo sql` command: runs SQL statements on the tables of a folder, from -c
// TEXT, a file, standard input, or an interactive shell with line editing and history
// when standard input is a terminal. Lines that start with "." between statements are
// the shell's dot-commands (.tables, .schema, .indexes, .timer, .mode, .help, .quit),
// wherever the text comes from.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/sql/sql_statement.h"
#include "tools/reruzo/json.h"
#include "tools/reruzo/values.h"

namespace reruzo::cli {

struct TSqlOptions {
    std::string directory;  // the database folder, ending in "/"
    bool json = false;
    int codePage = 936;
    std::vector<std::string> passwords;
    std::vector<TParamValue> parameters;  // the values of the first statement's "?"
    std::optional<std::string> command;   // -c TEXT
    std::optional<std::string> file;      // FILE
};

// The value a --param binds: an integer as INTEGER (LARGEINT beyond 32 bits), another
// number as FLOAT, a string as CHAR in the code page, true/false as BOOLEAN, null as
// NULL. Raises EValueError for arrays, objects, numbers out of range and text the
// code page cannot hold.
TParamValue ParameterFromJson(const TJsonValue& value, const TTextCodec& codec);

// Runs the command; the exit status (0, or 1 after an engine error in a script).
// Errors outside the interactive shell leave as exceptions.
int SqlCommand(const TSqlOptions& o);

}  // namespace reruzo::cli
