// The commands of the engine tool, each given its parsed command line. Every command
// returns the process exit status; engine failures leave as ERERUZOEngineError and
// bad input as EInputError, which main turns into messages and status 1.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace reruzo::cli {

// Input that cannot be used: a line of JSON, a value, a schema file. `where` says
// which input and where in it ("line 3", "schema.json, line 2, column 7").
class EInputError : public std::runtime_error {
public:
    EInputError(const std::string& where, const std::string& what) : std::runtime_error(where + ": " + what) {}
};

struct TOptions {
    std::string command;
    std::string directory;  // folder of the table, ending in "/"
    std::string table;      // table name without extension
    std::string tableArgument;  // the table as the command line gave it
    int codePage = 936;
    // Every --password given, in order; the session tries each.
    std::vector<std::string> passwords;
    std::optional<std::string> index;
    bool natural = false;
    std::optional<std::string> filter;
    bool noCase = false;
    bool noPartial = false;
    bool meta = false;
    std::optional<std::string> schema;
    bool keepIds = false;
};

int InfoCommand(const TOptions& o);
int DumpCommand(const TOptions& o);
// `load` (creating the table from the schema first) and `append`.
int AppendCommand(const TOptions& o);
int DeleteCommand(const TOptions& o);
// A journal beside the table means that a writer died in the middle of a commit: an
// open through the engine puts the table back as it was before that commit, so that
// every command sees the whole table. True when a journal was rolled back.
bool RollBackLeftJournal(const TOptions& o);
int VerifyCommand(const TOptions& o);

}  // namespace reruzo::cli
