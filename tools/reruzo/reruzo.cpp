// reruzo: the table engine's command-line tool. It describes, dumps, loads, appends
// to, deletes from, verifies and repairs engine tables, with records as JSON lines,
// and runs SQL statements on the tables of a folder. The command line is read here;
// the commands themselves live in commands.cpp, repair.cpp and sql_shell.cpp.
#include <strings.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "tools/reruzo/commands.h"
#include "tools/reruzo/json.h"
#include "tools/reruzo/repair.h"
#include "tools/reruzo/sql_shell.h"
#include "tools/reruzo/values.h"

namespace {

using namespace reruzo::cli;

const char* const kUsage =
    "usage: reruzo COMMAND TABLE [options]\n"
    "       reruzo sql DIR [--json] [--codepage N] [--password P]... [--param JSON]... [-c TEXT | FILE]\n"
    "  info   TABLE                     the table's header, fields, indexes and BLOB file header as\n"
    "                                   one JSON object\n"
    "  dump   TABLE [--index NAME | --natural] [--filter TEXT [--nocase] [--nopartial]] [--meta]\n"
    "                                   the records as JSON lines, in the order of the primary\n"
    "                                   index, another index or the records' natural order;\n"
    "                                   --meta adds each record's \"_slot\" and \"_id\"\n"
    "  load   TABLE --schema FILE [--keep-ids]\n"
    "                                   creates the table from a JSON schema, then appends the\n"
    "                                   JSON lines of standard input\n"
    "  append TABLE [--keep-ids]        appends the JSON lines of standard input; --keep-ids keeps\n"
    "                                   the given auto-increment values (or \"_id\")\n"
    "  delete TABLE --filter TEXT [--nocase] [--nopartial]\n"
    "                                   deletes the records the filter selects\n"
    "  verify TABLE                     checks every byte of the headers and field descriptors that\n"
    "                                   the engine checks, the records, the BLOB chains, the index\n"
    "                                   trees and that the indexes hold exactly the records' keys;\n"
    "                                   prints each problem as found (at most 1000)\n"
    "  repair TABLE                     rebuilds the indexes from the records and mends the free\n"
    "                                   chain, the record count, the last identifier and the BLOB\n"
    "                                   file (BLOB fields whose chain is broken are emptied);\n"
    "                                   records a unique index refuses go to TABLE.rejected.json;\n"
    "                                   written as TABLE.DAT.repair, .IDX.repair, .BLB.repair and\n"
    "                                   put in place when complete, the old files kept as\n"
    "                                   TABLE.DBK, TABLE.IBK, TABLE.BBK; needs the table to itself\n"
    "  sql    DIR [--json] [--param JSON]... [-c TEXT | FILE]\n"
    "                                   runs the SQL statements of TEXT, FILE or standard input\n"
    "                                   (an interactive shell on a terminal) on the tables of\n"
    "                                   the folder DIR; SELECT results as an aligned table, or\n"
    "                                   as JSON lines with --json; each --param binds the next\n"
    "                                   \"?\" of the first statement (a JSON number, string,\n"
    "                                   true, false or null); lines starting with \".\" between\n"
    "                                   statements are dot-commands (.help lists them)\n"
    "TABLE is the table's path without extension (a trailing \".DAT\" is allowed).\n"
    "Options of every command:\n"
    "  --codepage N     code page of the table's strings (default 936; 65001 for UTF-8)\n"
    "  --password TEXT  a password of an encrypted table; may be given more than once\n"
    "Exit status: 0 success; 1 an engine error, a damaged table (verify), or input that\n"
    "cannot be used (malformed JSON, a bad value or schema: the message gives its line;\n"
    "sql: the statements before the failing one stay done); 2 a bad command line.\n";

// A mistake on the command line: reported with the usage text, status 2.
struct TUsageError {
    std::string what;
};

void SplitTablePath(std::string path, TOptions& o) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    const auto slash = path.rfind('/');
    o.directory = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    o.table = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = o.table.rfind('.');
    if (dot != std::string::npos && strcasecmp(o.table.c_str() + dot, ".DAT") == 0) o.table.resize(dot);
    if (o.table.empty()) throw TUsageError{"no table name in \"" + Excerpt(path) + "\""};
}

int CodePage(const std::string& text) {
    int codePage = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), codePage);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !TTextCodec::Supported(codePage)) {
        throw TUsageError{"unknown code page \"" + Excerpt(text) + "\""};
    }
    return codePage;
}

TOptions ParseCommandLine(int argc, char** argv) {
    if (argc < 2) throw TUsageError{"no command"};
    TOptions o;
    o.command = argv[1];
    static const std::set<std::string> commands{"info", "dump", "load", "append", "delete", "verify", "repair"};
    if (!commands.count(o.command)) throw TUsageError{"unknown command \"" + Excerpt(o.command) + "\""};
    if (argc < 3 || argv[2][0] == '-') throw TUsageError{"no table given"};
    SplitTablePath(argv[2], o);
    o.tableArgument = argv[2];

    std::set<std::string> seen;
    for (int i = 3; i < argc; ++i) {
        const std::string given = argv[i];
        // What messages quote of it.
        const std::string option = Excerpt(given);
        if (given != "--password" && !seen.insert(given).second) throw TUsageError{option + " is given twice"};
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw TUsageError{option + " needs a value"};
            return argv[++i];
        };
        auto only = [&](std::initializer_list<const char*> allowed) {
            for (const char* c : allowed) {
                if (o.command == c) return;
            }
            throw TUsageError{option + " does not apply to " + o.command};
        };
        if (given == "--codepage") {
            o.codePage = CodePage(value());
        } else if (given == "--password") {
            o.passwords.push_back(value());
        } else if (given == "--index") {
            only({"dump"});
            o.index = value();
        } else if (given == "--natural") {
            only({"dump"});
            o.natural = true;
        } else if (given == "--filter") {
            only({"dump", "delete"});
            o.filter = value();
        } else if (given == "--nocase") {
            only({"dump", "delete"});
            o.noCase = true;
        } else if (given == "--nopartial") {
            only({"dump", "delete"});
            o.noPartial = true;
        } else if (given == "--meta") {
            only({"dump"});
            o.meta = true;
        } else if (given == "--schema") {
            only({"load"});
            o.schema = value();
        } else if (given == "--keep-ids") {
            only({"load", "append"});
            o.keepIds = true;
        } else {
            throw TUsageError{"unknown option \"" + option + "\""};
        }
    }
    if (o.index && o.natural) throw TUsageError{"--index and --natural exclude each other"};
    if ((o.noCase || o.noPartial) && !o.filter) throw TUsageError{"--nocase and --nopartial need --filter"};
    if (o.command == "delete" && !o.filter) throw TUsageError{"delete needs --filter"};
    if (o.command == "load" && !o.schema) throw TUsageError{"load needs --schema"};
    return o;
}

// The values of the --param options, converted once the code page is known.
std::vector<reruzo::TParamValue> SqlParameters(const std::vector<std::string>& texts, int codePage) {
    const TTextCodec codec(codePage);
    std::vector<reruzo::TParamValue> values;
    for (const std::string& text : texts) {
        try {
            values.push_back(ParameterFromJson(ParseJson(text), codec));
        } catch (const EJsonError& e) {
            throw TUsageError{"--param " + Excerpt(text) + ": column " + std::to_string(e.Column) + ": " + e.what()};
        } catch (const EValueError& e) {
            throw TUsageError{"--param " + Excerpt(text) + ": " + e.what()};
        }
    }
    return values;
}

TSqlOptions ParseSqlCommandLine(int argc, char** argv) {
    if (argc < 3 || argv[2][0] == '-' || argv[2][0] == 0) throw TUsageError{"no folder given"};
    TSqlOptions o;
    o.directory = argv[2];
    for (char& c : o.directory) {
        if (c == '\\') c = '/';
    }
    if (o.directory.back() != '/') o.directory += '/';
    std::vector<std::string> parameters;
    std::set<std::string> seen;
    for (int i = 3; i < argc; ++i) {
        const std::string given = argv[i];
        // What messages quote of it.
        const std::string option = Excerpt(given);
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw TUsageError{option + " needs a value"};
            return argv[++i];
        };
        const bool repeatable = given == "--password" || given == "--param";
        if (given[0] == '-' && !repeatable && !seen.insert(given).second) throw TUsageError{option + " is given twice"};
        if (given == "--json") {
            o.json = true;
        } else if (given == "--codepage") {
            o.codePage = CodePage(value());
        } else if (given == "--password") {
            o.passwords.push_back(value());
        } else if (given == "--param") {
            parameters.push_back(value());
        } else if (given == "-c") {
            o.command = value();
        } else if (given[0] == '-') {
            throw TUsageError{"unknown option \"" + option + "\""};
        } else if (o.file) {
            throw TUsageError{"more than one FILE: \"" + Excerpt(*o.file) + "\" and \"" + option + "\""};
        } else {
            o.file = given;
        }
    }
    if (o.command && o.file) throw TUsageError{"-c and FILE exclude each other"};
    o.parameters = SqlParameters(parameters, o.codePage);
    return o;
}

int Run(const TOptions& o) {
    RollBackLeftJournal(o);
    if (o.command == "info") return InfoCommand(o);
    if (o.command == "dump") return DumpCommand(o);
    if (o.command == "load" || o.command == "append") return AppendCommand(o);
    if (o.command == "delete") return DeleteCommand(o);
    if (o.command == "repair") return RepairCommand(o);
    return VerifyCommand(o);
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    const bool sql = argc >= 2 && std::strcmp(argv[1], "sql") == 0;
    TOptions options;
    TSqlOptions sqlOptions;
    try {
        if (sql) {
            sqlOptions = ParseSqlCommandLine(argc, argv);
        } else {
            options = ParseCommandLine(argc, argv);
        }
    } catch (const TUsageError& e) {
        std::cerr << "reruzo: " << e.what << "\n" << kUsage;
        return 2;
    }
    try {
        return sql ? SqlCommand(sqlOptions) : Run(options);
    } catch (const reruzo::ERERUZOEngineError& e) {
        // The engine quotes names and values of the input as they are.
        std::cout.flush();
        std::cerr << "reruzo: " << ShortenQuoted(e.what()) << "\n";
        return 1;
    } catch (const std::exception& e) {
        // Engine errors, unusable input, and anything else that stops a command.
        std::cout.flush();
        std::cerr << "reruzo: " << e.what() << "\n";
        return 1;
    }
}
