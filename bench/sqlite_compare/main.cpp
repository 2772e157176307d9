// Runs the same workloads on our engine and on SQLite, side by side in one process,
// and prints one line per workload: the time on each side and their ratios.
//
// Each side gets a fresh temporary folder and the same table: id (auto-increment
// primary key), k (integer with a secondary index; a shuffled permutation of
// 0..rows-1, so a range of rows/100 consecutive values holds exactly 1 % of the
// rows), v (integer 0..99 without an index) and s (a string of 40 characters). The
// rows, the keys looked up and the range bounds are generated once from fixed seeds
// and fed to every side. SQLite runs twice, on two databases in folders of their
// own: with its default settings (no PRAGMA), and tuned, in WAL mode
// (journal_mode=WAL, synchronous=NORMAL: a commit goes to the log unsynced).
//
// Every read decodes every column of every row it returns, and each side sums what
// it read into a checksum; a row count or checksum of either SQLite database that
// differs from the engine's is reported as a warning.
//
// After the workloads through each side's own record interface come SQL workloads:
// the same SQL text prepared, executed and read to its last row through the engine's
// TQueryStatement and through SQLite's statements. A second table d of 1,000 rows,
// with the main table's columns and index, is the other side of the join.
//
// Then come BLOBs: 10,000 values of 4 KiB and 100 of 1 MiB (the same bytes on every
// side) written in one transaction each to a table of an id and a BLOB column, then
// read back whole in id order; then changes of rows and of the structure through SQL.
//
// For every workload and side the program also takes the peak resident memory above
// the resident size before the side ran: the kernel's high-water mark, set back
// before each side runs.
//
// Once the workloads are done the engine side closes its tables and the engine's own
// checker, `reruzo verify` (bin/reruzo of the same build), checks each of them; a
// table with problems makes the exit status 1.
//
// --json prints one JSON object per workload line instead of the table, then one for
// the check. --curve runs it all at 10,000, 100,000 and 1,000,000 rows (or --sizes)
// and ends with the engine's cost per row at each size, marking a growth beyond
// n log n.
//
//   build/bench/sqlite_compare [--rows N] [--autocommit-rows N] [--exclusive] [--keep] [--only N]
//                              [--json] [--curve [--sizes A,B,C]]
#include <spawn.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/sqlite_compare/engine_side.h"
#include "bench/sqlite_compare/sqlite_side.h"
#include "bench/sqlite_compare/workload.h"

namespace reruzo::sqlite_compare {
namespace {

// ---- Running and reporting ----------------------------------------------------------

// One side's run of a workload.
struct TSideRun {
    double seconds = -1;  // < 0: not run on that side
    long peakKib = -1;    // < 0: not run, or the high-water mark could not be set back
    TResult result;
    bool Ran() const { return seconds >= 0; }
};

struct TLine {
    std::string number;  // "1", "2b", ...
    std::string name;
    TSideRun engine;
    TSideRun sqlite;  // SQLite with its default settings
    TSideRun wal;     // SQLite in WAL mode
    bool compare = true;  // the results of the sides must agree
    // The curve divides this line's time by the table's rows: its own rows (a few
    // result rows of a statement over the whole table) do not count its work.
    bool perTableRow = false;
    std::string notRun;  // why the engine could not run the workload (then no side ran)
    std::string Title() const { return number + ". " + name; }
};

template <typename F>
double Time(F&& work, TResult& result) {
    const auto start = std::chrono::steady_clock::now();
    result = work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A size from the process's status, in KiB: "VmHWM" the peak resident memory since
// the last ResetPeak (writing 5 to clear_refs sets it back to the present size),
// "VmRSS" the resident memory now.
long StatusKilobytes(const char* key) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return 0;
    const std::string prefix = std::string(key) + ":";
    char line[256];
    long kilobytes = 0;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, prefix.c_str(), prefix.size()) == 0) {
            kilobytes = std::strtol(line + prefix.size(), nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kilobytes;
}
long PeakKilobytes() { return StatusKilobytes("VmHWM"); }
long ResidentKilobytes() { return StatusKilobytes("VmRSS"); }

// False when the kernel does not let the process set its high-water mark back: the
// mark then holds the peak of the whole run so far and says nothing of one workload.
bool ResetPeak() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f) return false;
    const bool written = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && written;
}

// Runs one side of a workload: its time, and the peak resident memory it added
// above the resident size before it.
void Measure(const std::function<TResult()>& work, TSideRun& side) {
    const bool reset = ResetPeak();
    const long before = ResidentKilobytes();
    side.seconds = Time(work, side.result);
    side.peakKib = reset ? std::max(0L, PeakKilobytes() - before) : -1;
}

// engine / other, or < 0 when either did not run.
double Ratio(const TSideRun& engine, const TSideRun& other) {
    return engine.Ran() && other.seconds > 0 ? engine.seconds / other.seconds : -1;
}

// Whether the line's results were compared: the engine's against at least one SQLite
// side's.
bool Compared(const TLine& l) { return l.compare && l.engine.Ran() && (l.sqlite.Ran() || l.wal.Ran()); }

// The warnings of a line: each SQLite side whose rows or checksum differ from the
// engine's.
std::vector<std::string> Disagreements(const TLine& l) {
    std::vector<std::string> warnings;
    if (!Compared(l)) return warnings;
    for (const auto& [side, label] : {std::pair{&l.sqlite, "SQLite"}, std::pair{&l.wal, "SQLite WAL"}}) {
        if (!side->Ran()) continue;
        if (l.engine.result.rows != side->result.rows) {
            warnings.push_back("WARNING: " + l.Title() + ": engine " + std::to_string(l.engine.result.rows) +
                               " rows, " + label + " " + std::to_string(side->result.rows) + " rows");
        } else if (l.engine.result.checksum != side->result.checksum) {
            warnings.push_back("WARNING: " + l.Title() + ": engine and " + label +
                               ": same row count, different values (checksum " +
                               std::to_string(l.engine.result.checksum) + " against " +
                               std::to_string(side->result.checksum) + ")");
        }
    }
    return warnings;
}

// The rows of the line's rows column: the engine's, else SQLite's; < 0 if none ran.
std::int64_t Rows(const TLine& l) {
    if (l.engine.Ran()) return l.engine.result.rows;
    return l.sqlite.Ran() ? l.sqlite.result.rows : -1;
}

std::string Milliseconds(double seconds) {
    if (seconds < 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
    return text;
}

std::string RatioText(double ratio) {
    if (ratio < 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", ratio);
    return text;
}

std::string Kilobytes(long kib) { return kib < 0 ? "-" : std::to_string(kib); }

void Print(const std::vector<TLine>& lines) {
    std::printf("%-52s %12s %12s %12s %14s %11s %10s\n", "workload", "engine", "SQLite", "SQLite WAL", "engine/SQLite",
                "engine/WAL", "rows");
    std::printf("%s\n", std::string(129, '-').c_str());
    std::vector<std::string> warnings;
    bool skipped = false;
    for (const TLine& l : lines) {
        if (!l.notRun.empty()) {
            std::printf("%-52s not run: %s\n", l.Title().c_str(), l.notRun.c_str());
            skipped = true;
            continue;
        }
        std::printf("%-52s %12s %12s %12s %14s %11s %10lld\n", l.Title().c_str(),
                    Milliseconds(l.engine.seconds).c_str(), Milliseconds(l.sqlite.seconds).c_str(),
                    Milliseconds(l.wal.seconds).c_str(),
                    RatioText(Ratio(l.engine, l.sqlite)).c_str(), RatioText(Ratio(l.engine, l.wal)).c_str(),
                    static_cast<long long>(Rows(l)));
        for (std::string& w : Disagreements(l)) warnings.push_back(std::move(w));
    }
    for (const auto& w : warnings) std::printf("%s\n", w.c_str());
    if (warnings.empty()) {
        std::printf("The engine and both SQLite databases returned the same rows for every workload%s.\n",
                    skipped ? " that ran" : "");
    }

    // The memory in a second table, the first being wide enough; its last line holds
    // each side's largest peak over the workloads.
    std::printf("\nPeak resident memory above the resident size before each side ran, in KiB:\n");
    std::printf("%-52s %12s %12s %12s\n", "workload", "engine", "SQLite", "SQLite WAL");
    std::printf("%s\n", std::string(91, '-').c_str());
    long largest[3] = {-1, -1, -1};
    for (const TLine& l : lines) {
        if (!l.notRun.empty()) continue;
        std::printf("%-52s %12s %12s %12s\n", l.Title().c_str(), Kilobytes(l.engine.peakKib).c_str(),
                    Kilobytes(l.sqlite.peakKib).c_str(), Kilobytes(l.wal.peakKib).c_str());
        largest[0] = std::max(largest[0], l.engine.peakKib);
        largest[1] = std::max(largest[1], l.sqlite.peakKib);
        largest[2] = std::max(largest[2], l.wal.peakKib);
    }
    std::printf("%s\n", std::string(91, '-').c_str());
    std::printf("%-52s %12s %12s %12s\n", "largest of one workload", Kilobytes(largest[0]).c_str(),
                Kilobytes(largest[1]).c_str(), Kilobytes(largest[2]).c_str());
}

void PrintNotes(bool exclusive) {
    std::printf(
        "\nTimes are wall-clock for the whole workload; engine/SQLite < 1 means the engine is faster.\n"
        "Commits reach the disk on the engine and on SQLite with default settings: each one goes through a\n"
        "rollback journal that is synced before the table's files change, and each changed file is synced\n"
        "once. In autocommit mode both sync every row; line 2b adds the session's ForceBufferFlush, which the\n"
        "journal makes redundant. SQLite WAL appends each commit to its write-ahead log and syncs the log only\n"
        "at checkpoints (synchronous=NORMAL): its last commits may be lost on a power failure, though the\n"
        "database stays consistent.\n");
    if (exclusive) {
        std::printf("Exclusive tables keep appended records in the engine's cache between changes, so autocommit\n"
                    "rows reach the disk only when the cache is full or the table closes.\n");
    }
}

// ---- JSON lines ---------------------------------------------------------------------

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A number with `decimals` decimals, or null when `value` < 0 (not measured).
std::string JsonNumber(double value, int decimals) {
    if (value < 0) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

double JsonMilliseconds(const TSideRun& side) { return side.Ran() ? side.seconds * 1000 : -1; }

// One workload line; `size` is the table's rows under --curve, else 0.
std::string JsonLine(const TLine& l, int size) {
    std::string j = "{\"workload\":" + JsonString(l.number);
    if (size > 0) j += ",\"size\":" + std::to_string(size);
    j += ",\"name\":" + JsonString(l.name);
    if (!l.notRun.empty()) j += ",\"not_run\":" + JsonString(l.notRun);
    const std::int64_t rows = Rows(l);
    j += ",\"rows\":" + (rows < 0 ? std::string("null") : std::to_string(rows));
    j += ",\"engine_ms\":" + JsonNumber(JsonMilliseconds(l.engine), 3);
    j += ",\"sqlite_ms\":" + JsonNumber(JsonMilliseconds(l.sqlite), 3);
    j += ",\"ratio\":" + JsonNumber(Ratio(l.engine, l.sqlite), 3);
    j += ",\"sqlite_wal_ms\":" + JsonNumber(JsonMilliseconds(l.wal), 3);
    j += ",\"ratio_wal\":" + JsonNumber(Ratio(l.engine, l.wal), 3);
    j += ",\"engine_peak_kib\":" + JsonNumber(static_cast<double>(l.engine.peakKib), 0);
    j += ",\"sqlite_peak_kib\":" + JsonNumber(static_cast<double>(l.sqlite.peakKib), 0);
    j += ",\"sqlite_wal_peak_kib\":" + JsonNumber(static_cast<double>(l.wal.peakKib), 0);
    // null: nothing to compare (the engine alone ran, or the line is not compared).
    j += ",\"same_result\":";
    j += Compared(l) ? (Disagreements(l).empty() ? "true" : "false") : "null";
    return j + "}";
}

// The lines on standard output, their warnings on standard error.
void PrintJson(const std::vector<TLine>& lines, int size) {
    for (const TLine& l : lines) {
        std::printf("%s\n", JsonLine(l, size).c_str());
        for (const std::string& w : Disagreements(l)) std::fprintf(stderr, "%s\n", w.c_str());
    }
}

// ---- The engine's checker -----------------------------------------------------------

// `reruzo verify`, built with the benchmark: <build>/bin/reruzo beside <build>/bench.
std::filesystem::path VerifyTool() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return (self.parent_path() / ".." / "bin" / "reruzo").lexically_normal();
}

struct TToolOutput {
    int status = -1;  // the exit status; -1: the program did not start or did not exit
    std::string text;  // its standard output and error together
};

TToolOutput RunTool(const std::string& program, const std::vector<std::string>& arguments) {
    TToolOutput out;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return out;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int started = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (started == 0) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(pipeEnds[0], buffer, sizeof buffer)) != 0) {
            if (got > 0) out.text.append(buffer, static_cast<std::size_t>(got));
            else if (errno != EINTR) break;
        }
        int status = 0;
        if (waitpid(child, &status, 0) == child && WIFEXITED(status)) out.status = WEXITSTATUS(status);
    }
    close(pipeEnds[0]);
    return out;
}

struct TVerifyResult {
    std::string missing;  // why the checker did not run; empty when it did
    int tables = 0;
    std::vector<std::pair<std::string, TToolOutput>> damaged;  // table name, what verify said
};

// Runs `reruzo verify` on every table in the engine's folder (each data file; the
// argument is its path without the extension). The engine side must have closed them.
TVerifyResult VerifyTables(const std::string& folder) {
    TVerifyResult v;
    const std::filesystem::path tool = VerifyTool();
    if (tool.empty() || access(tool.c_str(), X_OK) != 0) {
        v.missing = "the engine's checker " + (tool.empty() ? std::string("bin/reruzo") : tool.string()) +
                    " is missing; the tables were not verified";
        return v;
    }
    std::vector<std::filesystem::path> tables;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::filesystem::path& path = entry.path();
        if (entry.is_regular_file() && strcasecmp(path.extension().c_str(), ".DAT") == 0) {
            tables.push_back(path.parent_path() / path.stem());
        }
    }
    std::sort(tables.begin(), tables.end());
    for (const auto& table : tables) {
        ++v.tables;
        TToolOutput out = RunTool(tool.string(), {"verify", table.string()});
        if (out.status != 0) v.damaged.emplace_back(table.filename().string(), std::move(out));
    }
    return v;
}

// One line when every table is clean, else the tables with problems and what verify
// printed for each. Under --json a JSON line; a missing checker is said on standard
// error as well.
void PrintVerify(const TVerifyResult& v, const TOptions& options) {
    if (!v.missing.empty()) std::fprintf(stderr, "reruzo verify: %s\n", v.missing.c_str());
    const std::string size = options.curve ? ",\"size\":" + std::to_string(options.rows) : "";
    if (options.json) {
        if (!v.missing.empty()) {
            std::printf("{\"verify\":\"not_run\"%s,\"message\":%s}\n", size.c_str(), JsonString(v.missing).c_str());
        } else if (v.damaged.empty()) {
            std::printf("{\"verify\":\"clean\"%s,\"tables\":%d}\n", size.c_str(), v.tables);
        } else {
            std::string damaged;
            for (const auto& [table, out] : v.damaged) {
                damaged += std::string(damaged.empty() ? "" : ",") + "{\"table\":" + JsonString(table) +
                           ",\"status\":" + std::to_string(out.status) + ",\"output\":" + JsonString(out.text) + "}";
            }
            std::printf("{\"verify\":\"problems\"%s,\"tables\":%d,\"damaged\":[%s]}\n", size.c_str(), v.tables,
                        damaged.c_str());
        }
        return;
    }
    if (!v.missing.empty()) return;
    if (v.damaged.empty()) {
        std::printf("reruzo verify: every table is clean (%d tables)\n", v.tables);
        return;
    }
    std::printf("reruzo verify: problems in %zu of %d tables\n", v.damaged.size(), v.tables);
    for (const auto& [table, out] : v.damaged) {
        std::printf("--- %s (exit status %d):\n%s", table.c_str(), out.status, out.text.c_str());
        if (!out.text.empty() && out.text.back() != '\n') std::printf("\n");
    }
}

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--rows N] [--autocommit-rows N] [--exclusive] [--keep] [--only N]\n"
                 "           [--json] [--curve [--sizes A,B,C]]\n"
                 "  --rows N             rows of the main table, point lookups (default 100000)\n"
                 "  --autocommit-rows N  rows appended one write each (default min(rows, %d))\n"
                 "  --exclusive          open the engine's tables exclusively (no locks between processes)\n"
                 "  --keep               keep the temporary folder\n"
                 "  --only N             run workload N (1..%d) and those it starts from: 1, 6 before 7 to 13\n"
                 "                       and 18 to 22, 14 before 15 and 16 before 17\n"
                 "  --json               one JSON object per workload line on standard output, then one for\n"
                 "                       the verification; notes and warnings go to standard error\n"
                 "  --curve              run everything at 10000, 100000 and 1000000 rows (not --rows), each\n"
                 "                       in a fresh folder, then print the engine's cost per row at each size\n"
                 "  --sizes A,B,C        the sizes of --curve (at least two, increasing, each at least 100)\n",
                 program, kDefaultAutocommitCap, kLastWorkload);
    return 2;
}

// Runs every selected workload on a fresh folder, prints the results and the
// verification of the engine's tables, and returns the exit status: 1 when a table
// has problems. `lines` receives the results.
int Run(const TOptions& options, std::vector<TLine>& lines) {
    const TWorkload w = MakeWorkload(options);
    std::string pattern = (std::filesystem::temp_directory_path() / "sqlite-compare-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    const std::string root = pattern;
    // The folder goes when the run ends, also when a workload fails.
    struct TRemover {
        const std::string& root;
        bool keep;
        ~TRemover() {
            if (keep) return;
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        }
    } remover{root, options.keep};
    std::filesystem::create_directory(root + "/engine");
    std::filesystem::create_directory(root + "/engine-private");
    std::filesystem::create_directory(root + "/sqlite");
    std::filesystem::create_directory(root + "/sqlite-wal");

    // Under --json standard output holds the JSON lines only.
    std::FILE* notes = options.json ? stderr : stdout;
    std::fprintf(notes,
                 "rows %d, SQLite %s (default settings, and WAL with synchronous=NORMAL), engine tables opened %s, "
                 "folder %s\n",
                 w.rows, sqlite3_libversion(), options.exclusive ? "exclusively" : "shared", root.c_str());
    if (w.autocommitRows < w.rows) {
        std::fprintf(notes,
                     "autocommit appends use %d rows on every side, not %d (every autocommit is synced to the disk)\n",
                     w.autocommitRows, w.rows);
    }
    if (!options.json) std::printf("\n");
    std::fflush(notes);

    // --only N runs workload N and those whose result it starts from: the append (1)
    // always, the delete (6) before the SQL workloads (7 to 13), and each BLOB write
    // before its read.
    const int only = options.only;
    auto selected = [&](int number) {
        return only == 0 || number == only || number == 1 ||
               (number == 6 && only > 6 && (only < 14 || (only > 17 && only < 23))) ||
               (only == 15 && number == 14) || (only == 17 && number == 16);
    };

    std::string blobReads;  // how many reads the 1 MiB BLOBs took, when they were read
    {
        TEngineSide engine(root + "/engine", root + "/engine-private", options.exclusive);
        TSqliteSide sqlite(root + "/sqlite", false);
        TSqliteSide wal(root + "/sqlite-wal", true);
        engine.Prepare(w);
        sqlite.Prepare(w);
        wal.Prepare(w);
        // The same work on both SQLite databases, the default one first.
        auto onSqlite = [&](TLine& l, const std::function<TResult(TSqliteSide&)>& work) {
            Measure([&] { return work(sqlite); }, l.sqlite);
            Measure([&] { return work(wal); }, l.wal);
        };
        auto onAll = [&](std::string number, std::string name, const std::function<TResult()>& onEngine,
                         const std::function<TResult(TSqliteSide&)>& work) {
            TLine l{.number = std::move(number), .name = std::move(name)};
            Measure(onEngine, l.engine);
            onSqlite(l, work);
            lines.push_back(l);
        };
        const std::string n = std::to_string(w.rows);
        const std::string a = std::to_string(w.autocommitRows);
        if (selected(1)) {
            onAll("1", "append " + n + " rows, one transaction", [&] { return engine.AppendInTransaction(w); },
                  [&](TSqliteSide& s) { return s.AppendInTransaction(w); });
        }
        if (selected(2)) {
            onAll("2", "append " + a + " rows, autocommit", [&] { return engine.AppendAutocommit(w, false); },
                  [&](TSqliteSide& s) { return s.AppendAutocommit(w); });
            TLine l{.number = "2b", .name = "the same, engine flushing every write", .compare = false};
            Measure([&] { return engine.AppendAutocommit(w, true); }, l.engine);
            lines.push_back(l);
        }
        if (selected(3)) {
            onAll("3", std::to_string(w.lookups.size()) + " point lookups by id", [&] { return engine.LookUp(w); },
                  [&](TSqliteSide& s) { return s.LookUp(w); });
        }
        if (selected(4)) {
            onAll("4",
                  std::to_string(w.rangeLows.size()) + " ranges of 1 % on k (" + std::to_string(w.rangeWidth) +
                      " rows)",
                  [&] { return engine.ReadRanges(w); }, [&](TSqliteSide& s) { return s.ReadRanges(w); });
        }
        if (selected(5)) {
            onAll("5", std::to_string(kFilterRepeats) + " x filter v < " + std::to_string(kFilterLimit) + " (no index)",
                  [&] { return engine.Filter(kFilterRepeats); },
                  [&](TSqliteSide& s) { return s.Filter(kFilterRepeats); });
        }
        if (selected(6)) {
            onAll("6", "delete every 10th id, one transaction", [&] { return engine.DeleteTenth(w); },
                  [&](TSqliteSide& s) { return s.DeleteTenth(w); });
        }

        // Runs the engine's side of a workload. One the engine cannot run yet (an
        // engine statement raises) is marked as not run, SQLite does not run it either,
        // and the next one goes on: false then.
        auto engineSide = [&](TLine& l, const std::function<TResult()>& work) {
            try {
                Measure(work, l.engine);
                return true;
            } catch (const std::exception& e) {
                l.notRun = e.what();
                lines.push_back(l);
                return false;
            }
        };
        // SQL over what the delete left: the same text on every side, every row read.
        auto sql = [&](int number, std::string name, const TSqlWorkload& q, bool perTableRow = false) {
            if (!selected(number)) return;
            TLine l{.number = std::to_string(number), .name = std::move(name), .perTableRow = perTableRow};
            if (!engineSide(l, [&] { return engine.RunSql(q); })) return;
            onSqlite(l, [&](TSqliteSide& s) { return s.RunSql(q); });
            lines.push_back(l);
        };
        if (only == 0 || (only > 6 && (only < 14 || only > 17))) engine.BeginSql();
        {
            TSqlWorkload q{.columns = 1};
            for (std::int32_t k : w.countKeys) q.statements.push_back("select count(*) from t where k = " + std::to_string(k));
            sql(7, "SQL " + std::to_string(q.statements.size()) + " x count(*) where k = value", q);
        }
        {
            TSqlWorkload q{.columns = 4};
            for (std::size_t i = 0; i < w.rangeLows.size() && i < kSqlRanges; ++i) {
                const std::int32_t low = w.rangeLows[i];
                q.statements.push_back("select id, k, v, s from t where k between " + std::to_string(low) + " and " +
                                       std::to_string(low + w.rangeWidth - 1));
            }
            sql(8, "SQL " + std::to_string(q.statements.size()) + " x range of 1 % on k", q);
        }
        sql(9, "SQL group by v (100 groups): sum(k), avg(k)",
            {.statements = {"select v, sum(k), avg(k) from t group by v"}, .columns = 3}, true);
        sql(10, "SQL order by v (no index), whole table",
            {.statements = {"select id, k, v, s from t order by v"}, .columns = 4, .orderColumn = 2});
        sql(11, "SQL distinct v", {.statements = {"select distinct v from t"}, .columns = 1}, true);
        sql(12, "SQL join with " + std::to_string(w.small.size()) + "-row table on k",
            {.statements = {"select t.id, t.k, d.id, d.s from t join d on t.k = d.k"}, .columns = 4});
        sql(13, std::string("SQL s like '") + kLikePattern + "' (no index)",
            {.statements = {std::string("select id, k, v, s from t where s like '") + kLikePattern + "'"}, .columns = 4});
        if (only == 0 || only >= 14) {
            auto blobs = [&](int number, const std::string& name, const std::function<TResult()>& onEngine,
                             const std::function<TResult(TSqliteSide&)>& work) {
                if (!selected(number)) return;
                onAll(std::to_string(number), name, onEngine, work);
            };
            const std::string smallName = std::to_string(kSmallBlobs) + " BLOBs of 4 KiB";
            const std::string largeName = std::to_string(kLargeBlobs) + " BLOBs of 1 MiB";
            blobs(14, "write " + smallName + ", one transaction",
                  [&] { return engine.WriteBlobs("b4", kSmallBlobs, kSmallBlobSize); },
                  [&](TSqliteSide& s) { return s.WriteBlobs("b4", kSmallBlobs, kSmallBlobSize); });
            blobs(15, "read the " + smallName, [&] { return engine.ReadBlobs("b4"); },
                  [&](TSqliteSide& s) { return s.ReadBlobs("b4"); });
            blobs(16, "write " + largeName + ", one transaction",
                  [&] { return engine.WriteBlobs("b1m", kLargeBlobs, kLargeBlobSize); },
                  [&](TSqliteSide& s) { return s.WriteBlobs("b1m", kLargeBlobs, kLargeBlobSize); });
            blobs(17, "read the " + largeName, [&] { return engine.ReadBlobs("b1m"); },
                  [&](TSqliteSide& s) { return s.ReadBlobs("b1m"); });
            if (selected(17)) {
                const std::uint64_t blocks =
                    static_cast<std::uint64_t>(kLargeBlobs) * ((kLargeBlobSize + engine.blockDataSize_ - 1) / engine.blockDataSize_);
                blobReads = "Reading the " + largeName + " took " + std::to_string(engine.lastBlobStats_.readCalls) +
                            " read calls for " + std::to_string(blocks) + " blocks (" +
                            std::to_string(engine.lastBlobStats_.diskReads) + " blocks read, read-ahead " +
                            std::to_string(engine.blobReadAhead_) + ").";
            }
        }
        // Changing rows through SQL, each statement in its own transaction on every
        // side (the engine's commits every CommitInterval rows on the way). The rows
        // are those changed; the checksum, taken afterwards and not timed, covers the
        // changed table's k and v.
        auto modify = [&](int number, std::string name, const std::string& table, const std::string& text) {
            if (!selected(number)) return;
            TLine l{.number = std::to_string(number), .name = std::move(name)};
            if (!engineSide(l, [&] { return engine.RunModify({text}); })) return;
            onSqlite(l, [&](TSqliteSide& s) { return s.RunModify({text}); });
            const TSqlWorkload contents{.statements = {"select k, v from " + table}, .columns = 2};
            l.engine.result.checksum = engine.RunSql(contents).checksum;
            l.sqlite.result.checksum = sqlite.RunSql(contents).checksum;
            l.wal.result.checksum = wal.RunSql(contents).checksum;
            lines.push_back(l);
        };
        const std::string onePercent = std::to_string(w.rows / 100);
        const std::string half = std::to_string(w.rows / 2);
        const std::string tenth = std::to_string(w.rows / 10);
        modify(18, "SQL insert into t2 select * from t", "t2", "insert into t2 select * from t");
        modify(19, "SQL update 1 %: v = v + 1 where k < " + onePercent, "t",
               "update t set v = v + 1 where k < " + onePercent);
        modify(20, "SQL update 50 %: v = v + 1 where k < " + half, "t", "update t set v = v + 1 where k < " + half);
        modify(21, "SQL delete where v = 7 (no index)", "t", "delete from t where v = 7");
        modify(22, "SQL delete where k < " + tenth + " (indexed)", "t", "delete from t where k < " + tenth);

        // Changing the table's structure: each side's own way of adding a column and an
        // index (the engine rewrites the table and keeps the old files as a backup;
        // SQLite changes its schema record only). The row count afterwards is compared.
        auto define = [&](int number, std::string name, const std::string& text, bool onBoth) {
            if (!selected(number)) return;
            TLine l{.number = std::to_string(number), .name = std::move(name), .compare = onBoth, .perTableRow = true};
            if (!engineSide(l, [&] { return engine.RunModify({text}); })) return;
            if (onBoth) onSqlite(l, [&](TSqliteSide& s) { return s.RunModify({text}); });
            const TSqlWorkload count{.statements = {"select count(*) from t"}, .columns = 1};
            l.engine.result = engine.RunSql(count);
            if (onBoth) {
                l.sqlite.result = sqlite.RunSql(count);
                l.wal.result = wal.RunSql(count);
            }
            lines.push_back(l);
        };
        engine.ReleaseMain();
        define(23, "SQL alter table t add column w integer", "alter table t add w integer", true);
        define(24, "SQL alter table: s char(40) becomes char(60)", "alter table t redefine s char(60)", false);
        define(25, "SQL create index on v", "create index tv on t (v)", true);
    }
    // The engine side has closed its tables: the checker sees them as they stay.
    const TVerifyResult verified = VerifyTables(root + "/engine");

    if (options.json) {
        PrintJson(lines, options.curve ? options.rows : 0);
        if (!blobReads.empty()) std::fprintf(stderr, "%s\n", blobReads.c_str());
    } else {
        Print(lines);
        if (!blobReads.empty()) std::printf("%s\n", blobReads.c_str());
        if (!options.curve) PrintNotes(options.exclusive);
        std::printf("\n");
    }
    PrintVerify(verified, options);
    if (options.keep) std::fprintf(notes, "files kept in %s\n", root.c_str());
    std::fflush(stdout);
    return verified.damaged.empty() ? 0 : 1;
}

// ---- The cost curve -----------------------------------------------------------------

// A size as the curve's headers name it: 10k, 1M, 1500.
std::string SizeName(int size) {
    if (size % 1000000 == 0) return std::to_string(size / 1000000) + "M";
    if (size % 1000 == 0) return std::to_string(size / 1000) + "k";
    return std::to_string(size);
}

// A side's time per row of a line, in microseconds; < 0 when it did not run.
double MicrosecondsPerRow(const TLine& l, const TSideRun& side, int size) {
    const std::int64_t rows = l.perTableRow ? size : side.result.rows;
    if (!side.Ran() || rows <= 0) return -1;
    return side.seconds * 1e6 / static_cast<double>(rows);
}

// The growth of the cost per row from one size to the next beyond which it grows
// faster than n log n: 1.7 per tenfold size (n log n gives about 1.2 there), scaled
// to the step between the sizes.
double GrowthLimit(int from, int to) {
    return std::pow(1.7, std::log10(static_cast<double>(to) / static_cast<double>(from)));
}

// One workload over the sizes.
struct TCurve {
    std::string number;
    std::string name;  // as at the largest size
    bool perTableRow = false;
    std::vector<double> engine;  // µs per row at each size, < 0: not run there
    std::vector<double> growth;  // from each size to the next, < 0: unknown
    std::vector<bool> steep;     // growth beyond GrowthLimit
    double sqlite = -1;          // SQLite's µs per row at the largest size
};

using TRuns = std::vector<std::pair<int, std::vector<TLine>>>;  // each size with its lines

std::vector<TCurve> Curves(const TRuns& runs) {
    std::vector<TCurve> curves;
    for (const TLine& last : runs.back().second) {
        TCurve c{.number = last.number, .name = last.name, .perTableRow = last.perTableRow};
        for (const auto& [size, lines] : runs) {
            const auto l =
                std::find_if(lines.begin(), lines.end(), [&](const TLine& x) { return x.number == last.number; });
            c.engine.push_back(l == lines.end() ? -1 : MicrosecondsPerRow(*l, l->engine, size));
        }
        for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
            const double growth = c.engine[i] > 0 && c.engine[i + 1] >= 0 ? c.engine[i + 1] / c.engine[i] : -1;
            c.growth.push_back(growth);
            c.steep.push_back(growth > GrowthLimit(runs[i].first, runs[i + 1].first));
        }
        c.sqlite = MicrosecondsPerRow(last, last.sqlite, runs.back().first);
        curves.push_back(c);
    }
    return curves;
}

// A cost per row with three significant digits or so, without an exponent.
std::string PerRowText(double microseconds) {
    if (microseconds < 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, microseconds < 10 ? "%.3f" : microseconds < 100 ? "%.2f" : "%.1f", microseconds);
    return text;
}

void PrintCurve(const TRuns& runs) {
    const std::vector<TCurve> curves = Curves(runs);
    std::printf("\nThe engine's cost per row in microseconds at each size, and its growth from one size to the next\n"
                "(! marks a growth beyond n log n: more than 1.7 times per tenfold size). Workloads 9, 11 and\n"
                "23 to 25 divide by the table's rows, the others by their rows column. Names as at the largest\n"
                "size.\n");
    // The columns' widths depend on the number of sizes: the header is put together.
    char column[64];
    std::snprintf(column, sizeof column, "%-52s", "workload");
    std::string header = column;
    for (const auto& run : runs) {
        std::snprintf(column, sizeof column, " %10s", SizeName(run.first).c_str());
        header += column;
    }
    for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
        const std::string step = SizeName(runs[i + 1].first) + "/" + SizeName(runs[i].first);
        std::snprintf(column, sizeof column, " %11s", step.c_str());
        header += column;
    }
    std::snprintf(column, sizeof column, " %10s", ("SQLite " + SizeName(runs.back().first)).c_str());
    header += column;
    std::printf("%s\n%s\n", header.c_str(), std::string(header.size(), '-').c_str());
    for (const TCurve& c : curves) {
        std::printf("%-52s", (c.number + ". " + c.name).c_str());
        for (const double cost : c.engine) std::printf(" %10s", PerRowText(cost).c_str());
        for (std::size_t i = 0; i < c.growth.size(); ++i) {
            char growth[32] = "-";
            if (c.growth[i] >= 0) std::snprintf(growth, sizeof growth, "%.2f%s", c.growth[i], c.steep[i] ? " !" : "  ");
            std::printf(" %11s", growth);
        }
        std::printf(" %10s\n", PerRowText(c.sqlite).c_str());
    }
}

void PrintCurveJson(const TRuns& runs) {
    for (const TCurve& c : Curves(runs)) {
        std::string engine, growth;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            engine += std::string(i ? "," : "") + "\"" + std::to_string(runs[i].first) +
                      "\":" + JsonNumber(c.engine[i], 4);
        }
        bool steep = false;
        for (std::size_t i = 0; i < c.growth.size(); ++i) {
            growth += std::string(i ? "," : "") + JsonNumber(c.growth[i], 3);
            steep = steep || c.steep[i];
        }
        std::printf("{\"workload\":%s,\"name\":%s,\"per\":\"%s\",\"curve\":{%s},\"growth\":[%s],\"steep\":%s,"
                    "\"sqlite\":{\"%d\":%s}}\n",
                    JsonString(c.number).c_str(), JsonString(c.name).c_str(), c.perTableRow ? "table row" : "row",
                    engine.c_str(), growth.c_str(), steep ? "true" : "false", runs.back().first,
                    JsonNumber(c.sqlite, 4).c_str());
    }
}

// Runs the comparison at each of the curve's sizes, each in a fresh folder, then
// prints the curve; the status is 1 when a table of any run has problems.
int RunCurve(const TOptions& options) {
    TRuns runs;
    int status = 0;
    for (const int size : options.sizes) {
        TOptions sized = options;
        sized.rows = size;
        std::vector<TLine> lines;
        status = std::max(status, Run(sized, lines));
        runs.emplace_back(size, std::move(lines));
        if (!options.json) std::printf("\n");
    }
    if (options.json) {
        PrintCurveJson(runs);
    } else {
        PrintNotes(options.exclusive);
        PrintCurve(runs);
    }
    return status;
}

// "A,B,C": at least two sizes, increasing, each one a table of --rows could have.
bool ParseSizes(const char* text, std::vector<int>& sizes) {
    sizes.clear();
    for (const char* p = text;;) {
        char* end = nullptr;
        const long value = std::strtol(p, &end, 10);
        if (end == p || value < 100 || value > 100000000 || (!sizes.empty() && value <= sizes.back())) return false;
        sizes.push_back(static_cast<int>(value));
        if (*end == '\0') break;
        if (*end != ',') return false;
        p = end + 1;
    }
    return sizes.size() >= 2;
}

}  // namespace
}  // namespace reruzo::sqlite_compare

int main(int argc, char** argv) {
    using namespace reruzo::sqlite_compare;
    TOptions options;
    bool sizesGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&](int& out) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 0 || value > 100000000) return false;
            out = static_cast<int>(value);
            return true;
        };
        if (arg == "--rows") {
            if (!number(options.rows) || options.rows < 100) return Usage(argv[0]);
        } else if (arg == "--autocommit-rows") {
            if (!number(options.autocommitRows)) return Usage(argv[0]);
        } else if (arg == "--exclusive") {
            options.exclusive = true;
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "--only") {
            if (!number(options.only) || options.only < 1 || options.only > kLastWorkload) return Usage(argv[0]);
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--curve") {
            options.curve = true;
        } else if (arg == "--sizes") {
            if (i + 1 >= argc || !ParseSizes(argv[++i], options.sizes)) return Usage(argv[0]);
            sizesGiven = true;
        } else {
            return Usage(argv[0]);
        }
    }
    if (sizesGiven && !options.curve) return Usage(argv[0]);
    try {
        if (options.curve) return RunCurve(options);
        std::vector<TLine> lines;
        return Run(options, lines);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "sqlite_compare: %s\n", e.what());
        return 1;
    }
}
