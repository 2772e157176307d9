// The `reruzo sql` command (see sql_shell.h). Input is taken line by line: lines
// gather into statement text until it ends with ";" outside strings, names and
// comments, and the text then runs statement by statement; a line starting with "."
// while no statement is open is a dot-command. A script stops at its first error, the
// interactive shell reports it and reads on.
#include "tools/reruzo/sql_shell.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/table/data_session.h"
#include "tools/reruzo/commands.h"
#include "tools/reruzo/sql_describe.h"
#include "tools/reruzo/sql_output.h"

namespace reruzo::cli {

// ---- Parameters ---------------------------------------------------------------------

TParamValue ParameterFromJson(const TJsonValue& v, const TTextCodec& codec) {
    switch (v.Kind()) {
        case TJsonValue::TKind::Null: return TParamValue{};
        case TJsonValue::TKind::Boolean: return BooleanParam(v.AsBoolean());
        case TJsonValue::TKind::Number:
            if (const auto n = v.AsInteger()) return IntegerParam(*n);
            if (const auto d = v.AsDouble()) return FloatParam(*d);
            throw EValueError("the number " + Excerpt(v.Text()) + " is out of range");
        case TJsonValue::TKind::String: {
            if (v.Text().find('\0') != std::string::npos) throw EValueError("a string cannot hold the character U+0000");
            return StringParam(codec.Encode(v.Text(), "the string"));
        }
        default:
            throw EValueError(std::string("a parameter is a number, a string, true, false or null, not ") +
                              TJsonValue::KindName(v.Kind()));
    }
}

namespace {

// ---- Statement text -----------------------------------------------------------------

struct TTextState {
    bool content = false;   // something besides blanks and comments
    bool open = false;      // content, or a comment that is not closed yet
    bool complete = false;  // the last token is ";", outside strings, names and comments
};

// Follows the engine's lexer: blanks are bytes 1..32, comments /* ... */, strings in
// single or double quotes (a doubled quote stays inside), names in brackets.
TTextState Scan(std::string_view text) {
    TTextState state;
    char closing = 0;  // what ends the string, name or comment we are in
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (closing == '*') {
            if (c == '*' && i + 1 < text.size() && text[i + 1] == '/') closing = 0, ++i;
        } else if (closing != 0) {
            if (c == closing) closing = 0;
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            closing = '*';
            ++i;
        } else if (static_cast<unsigned char>(c) > 32) {
            state.content = true;
            state.complete = c == ';';
            if (c == '\'' || c == '"') closing = c;
            if (c == '[') closing = ']';
        }
    }
    state.complete = state.complete && closing == 0;
    state.open = state.content || closing != 0;
    return state;
}

std::string Trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1));
}

// ---- The database -------------------------------------------------------------------

// A session with the folder open as the statements' database directory.
class TSqlDatabase {
public:
    explicit TSqlDatabase(const TSqlOptions& o) {
        for (const std::string& password : o.passwords) session_.AddPassword(password);
        // Copied results are temporary tables: they go to the temporary folder rather
        // than the current directory, which may not be writable.
        std::error_code error;
        const auto temporary = std::filesystem::temp_directory_path(error);
        if (!error) session_.SetPrivateDir(temporary.string());
        directory_ = &session_.OpenDirectory("reruzo", o.directory);
    }
    ~TSqlDatabase() { session_.CloseDirectory(*directory_); }
    TSqlDatabase(const TSqlDatabase&) = delete;
    TSqlDatabase& operator=(const TSqlDatabase&) = delete;

    TDataDirectory& Directory() { return *directory_; }

private:
    TDataSession session_;
    TDataDirectory* directory_ = nullptr;
};

const char* const kDotHelp =
    ".tables            the tables of the folder\n"
    ".schema TABLE      the CREATE statements that would make the table\n"
    ".indexes TABLE     the table's indexes, one a line\n"
    ".timer on|off      the execution time after each result\n"
    ".mode table|json   results as aligned tables or as JSON lines\n"
    ".help              this text\n"
    ".quit              leaves the shell\n"
    "Statements end with \";\"; dot-commands take a line of their own.\n";

// ---- The shell ----------------------------------------------------------------------

class TShell {
public:
    TShell(TDataDirectory& directory, const TSqlOptions& o, bool interactive)
        : directory_(directory),
          folder_(o.directory),
          codec_(o.codePage),
          settings_{o.json, true},
          parameters_(o.parameters),
          interactive_(interactive) {}

    // Takes one line of input; false after .quit.
    bool Feed(const std::string& line) {
        if (!Scan(pending_).open) {
            pending_.clear();
            const std::string command = Trimmed(line);
            if (!command.empty() && command[0] == '.') return Guarded([&] { return DotCommand(command); });
        }
        pending_ += line;
        pending_ += '\n';
        if (!Scan(pending_).complete) return true;
        std::string text;
        text.swap(pending_);
        return Guarded([&] { return RunStatements(text); });
    }

    // Runs the statement text left at the end of a script.
    void Finish() {
        std::string text;
        text.swap(pending_);
        if (Scan(text).content) RunStatements(text);
    }

    // Whether a statement has begun and not ended yet.
    bool Pending() const { return Scan(pending_).open; }

private:
    // Runs `step`; in the interactive shell an error is reported and the shell goes on.
    template <typename F>
    bool Guarded(F step) {
        if (!interactive_) return step();
        try {
            return step();
        } catch (const ERERUZOEngineError& e) {
            // The engine quotes names and values of the statement as they are, in the
            // tables' code page.
            std::cout.flush();
            std::cerr << "reruzo: " << ShortenQuoted(codec_.ToUtf8(e.what())) << "\n";
            return true;
        } catch (const std::exception& e) {
            std::cout.flush();
            std::cerr << "reruzo: " << e.what() << "\n";
            return true;
        }
    }

    bool RunStatements(const std::string& utf8) {
        // The engine reads statements in the tables' code page, as their names and
        // texts are stored: a literal compares with the stored bytes, a name made by
        // CREATE TABLE is stored as the tables' other names are.
        const std::string text = codec_.Encode(utf8, "the statement");
        TQueryStatement statement(directory_, false, -1, [this](int percent) { return progress_.Update(percent); });
        if (parametersBound_) {
            statement.Prepare(text);
        } else {
            PrepareWithParameters(statement, text);
        }
        for (;;) {
            Execute(statement);
            if (!statement.MoreStatements()) return true;
            statement.PrepareNext();
        }
    }

    // The first statement takes the --param values.
    void PrepareWithParameters(TQueryStatement& statement, const std::string& text) {
        parametersBound_ = true;
        statement.Prepare(text);
        if (!parameters_.empty()) {
            const std::size_t wanted = statement.Parameters().size();
            if (wanted != parameters_.size()) {
                throw std::runtime_error("the first statement has " + std::to_string(wanted) +
                                         (wanted == 1 ? " parameter" : " parameters") + ", --param gives " +
                                         std::to_string(parameters_.size()));
            }
            statement.SetParameters(parameters_);
        }
    }

    void Execute(TQueryStatement& statement) {
        {
            // The bar goes before the result is printed, and when the statement fails.
            struct TClear {
                TProgressBar& bar;
                ~TClear() { bar.Finish(); }
            } clear{progress_};
            progress_.Start();
            statement.ExecuteCurrent();
        }
        PrintResult(statement, codec_, settings_, std::cout, std::cerr);
    }

    bool DotCommand(const std::string& line) {
        const auto blank = line.find_first_of(" \t");
        const std::string word = line.substr(0, blank);
        const std::string argument = blank == std::string::npos ? "" : Trimmed(line.substr(blank));
        auto need = [&](bool ok, const char* usage) {
            if (!ok) throw std::runtime_error(std::string("usage: ") + usage);
        };
        if (word == ".quit") {
            need(argument.empty(), ".quit");
            return false;
        }
        if (word == ".help") {
            std::cout << kDotHelp;
        } else if (word == ".tables") {
            need(argument.empty(), ".tables");
            for (const std::string& name : TableNames(folder_)) std::cout << name << "\n";
        } else if (word == ".schema" || word == ".indexes") {
            need(!argument.empty(), word == ".schema" ? ".schema TABLE" : ".indexes TABLE");
            std::cout << (word == ".schema" ? SchemaText(folder_, argument, codec_) : IndexLines(folder_, argument, codec_));
        } else if (word == ".timer") {
            need(argument == "on" || argument == "off", ".timer on|off");
            settings_.timer = argument == "on";
        } else if (word == ".mode") {
            need(argument == "table" || argument == "json", ".mode table|json");
            settings_.json = argument == "json";
        } else {
            throw std::runtime_error("unknown command \"" + Excerpt(word) + "\" (.help lists the commands)");
        }
        std::cout.flush();
        return true;
    }

    TDataDirectory& directory_;
    std::string folder_;
    TTextCodec codec_;
    TOutputSettings settings_;
    std::vector<TParamValue> parameters_;
    bool parametersBound_ = false;
    bool interactive_;
    std::string pending_;
    TProgressBar progress_;
};

// ---- Input --------------------------------------------------------------------------

// `source` names the input in the message when it cannot be read to its end.
void RunScript(TShell& shell, std::istream& in, const std::string& source) {
    for (std::string line; std::getline(in, line);) {
        if (!shell.Feed(line)) return;
    }
    // A read error ends the loop like the end of the input; the statements left would
    // not run.
    if (in.bad()) throw EInputError(source, "cannot be read to its end");
    shell.Finish();
}

// The line editor's history: kept in memory, and in ~/.reruzo_history when HOME is
// set. A history file that cannot be read or written is passed over.
class THistory {
public:
    THistory() {
        using_history();
        stifle_history(1000);
        if (const char* home = std::getenv("HOME"); home && *home) path_ = std::string(home) + "/.reruzo_history";
        if (!path_.empty()) read_history(path_.c_str());
    }
    ~THistory() {
        if (!path_.empty()) write_history(path_.c_str());
    }
    THistory(const THistory&) = delete;
    THistory& operator=(const THistory&) = delete;

    void Add(const std::string& line) {
        if (!Trimmed(line).empty()) add_history(line.c_str());
    }

private:
    std::string path_;
};

void RunInteractive(TShell& shell) {
    THistory history;
    std::cout << "The engine's SQL shell; statements end with \";\", .help lists the commands.\n";
    for (;;) {
        std::cout.flush();
        char* input = readline(shell.Pending() ? "   ...> " : "reruzo> ");
        if (!input) {
            std::cout << "\n";
            return;
        }
        const std::string line(input);
        std::free(input);
        history.Add(line);
        if (!shell.Feed(line)) return;
    }
}

void RunShell(TShell& shell, const TSqlOptions& o, bool interactive) {
    if (interactive) {
        RunInteractive(shell);
    } else if (o.command) {
        std::istringstream text(*o.command);
        RunScript(shell, text, "-c");
    } else if (o.file) {
        std::ifstream file(*o.file, std::ios::binary);
        if (!file) throw EInputError(Excerpt(*o.file), "cannot be read");
        RunScript(shell, file, Excerpt(*o.file));
    } else {
        RunScript(shell, std::cin, "standard input");
    }
}

}  // namespace

int SqlCommand(const TSqlOptions& o) {
    if (!std::filesystem::is_directory(o.directory)) throw EInputError(Excerpt(o.directory), "is not a folder");
    TSqlDatabase database(o);
    const bool interactive = !o.command && !o.file && ::isatty(STDIN_FILENO) == 1;
    TShell shell(database.Directory(), o, interactive);
    try {
        RunShell(shell, o, interactive);
    } catch (const ERERUZOEngineError& e) {
        // Messages quote the statement in the tables' code page; the terminal reads UTF-8.
        const TTextCodec codec(o.codePage);
        throw ERERUZOEngineError(codec.ToUtf8(e.what()), e.EngineCode,
                                 {e.ContextServer, e.ContextUser, e.ContextDatabase, e.ContextTable, e.ContextField,
                                  e.ContextIndex, e.ContextText});
    }
    std::cout.flush();
    return 0;
}

}  // namespace reruzo::cli
