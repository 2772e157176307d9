// reruzo: the table engine's command-line tool. It describes, dumps, loads, appends
// to, deletes from and verifies engine tables, with records as JSON lines. The
// command line is read here; the commands themselves live in commands.cpp.
#include <strings.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <set>
#include <string>

#include "engine/errors/engine_errors.h"
#include "tools/reruzo/commands.h"
#include "tools/reruzo/values.h"

namespace {

using namespace reruzo::cli;

const char* const kUsage =
    "usage: reruzo COMMAND TABLE [options]\n"
    "  info   TABLE                     the table's header, fields and indexes as one JSON object\n"
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
    "  verify TABLE                     checks the data file, the index trees and that the\n"
    "                                   indexes hold exactly the records' keys\n"
    "TABLE is the table's path without extension (a trailing \".DAT\" is allowed).\n"
    "Options of every command:\n"
    "  --codepage N     code page of the table's strings (default 936; 65001 for UTF-8)\n"
    "  --password TEXT  password of an encrypted table\n"
    "Exit status: 0 success; 1 an engine error, a damaged table (verify), or input that\n"
    "cannot be used (malformed JSON, a bad value or schema: the message gives its line);\n"
    "2 a bad command line.\n";

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
    if (o.table.empty()) throw TUsageError{"no table name in \"" + path + "\""};
}

TOptions ParseCommandLine(int argc, char** argv) {
    if (argc < 2) throw TUsageError{"no command"};
    TOptions o;
    o.command = argv[1];
    static const std::set<std::string> commands{"info", "dump", "load", "append", "delete", "verify"};
    if (!commands.count(o.command)) throw TUsageError{"unknown command \"" + o.command + "\""};
    if (argc < 3 || argv[2][0] == '-') throw TUsageError{"no table given"};
    SplitTablePath(argv[2], o);

    std::set<std::string> seen;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (!seen.insert(option).second) throw TUsageError{option + " is given twice"};
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
        if (option == "--codepage") {
            const std::string text = value();
            const auto r = std::from_chars(text.data(), text.data() + text.size(), o.codePage);
            if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !TTextCodec::Supported(o.codePage)) {
                throw TUsageError{"unknown code page \"" + text + "\""};
            }
        } else if (option == "--password") {
            o.password = value();
        } else if (option == "--index") {
            only({"dump"});
            o.index = value();
        } else if (option == "--natural") {
            only({"dump"});
            o.natural = true;
        } else if (option == "--filter") {
            only({"dump", "delete"});
            o.filter = value();
        } else if (option == "--nocase") {
            only({"dump", "delete"});
            o.noCase = true;
        } else if (option == "--nopartial") {
            only({"dump", "delete"});
            o.noPartial = true;
        } else if (option == "--meta") {
            only({"dump"});
            o.meta = true;
        } else if (option == "--schema") {
            only({"load"});
            o.schema = value();
        } else if (option == "--keep-ids") {
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

int Run(const TOptions& o) {
    if (o.command == "info") return InfoCommand(o);
    if (o.command == "dump") return DumpCommand(o);
    if (o.command == "load" || o.command == "append") return AppendCommand(o);
    if (o.command == "delete") return DeleteCommand(o);
    return VerifyCommand(o);
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    TOptions options;
    try {
        options = ParseCommandLine(argc, argv);
    } catch (const TUsageError& e) {
        std::cerr << "reruzo: " << e.what << "\n" << kUsage;
        return 2;
    }
    try {
        return Run(options);
    } catch (const std::exception& e) {
        // Engine errors, unusable input, and anything else that stops a command.
        std::cout.flush();
        std::cerr << "reruzo: " << e.what() << "\n";
        return 1;
    }
}
