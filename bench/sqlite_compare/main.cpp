// Runs the same workloads on our engine and on SQLite, side by side in one process,
// and prints one line per workload: the time on each side and their ratio.
//
// Both sides get a fresh temporary folder and the same table: id (auto-increment
// primary key), k (integer with a secondary index; a shuffled permutation of
// 0..rows-1, so a range of rows/100 consecutive values holds exactly 1 % of the
// rows), v (integer 0..99 without an index) and s (a string of 40 characters). The
// rows, the keys looked up and the range bounds are generated once from fixed seeds
// and fed to both sides. SQLite runs with its default settings (no PRAGMA).
//
// Every read decodes every column of every row it returns, and each side sums what
// it read into a checksum; a row count or checksum that differs between the sides is
// reported as a warning under the table.
//
// After the workloads through each side's own record interface come SQL workloads:
// the same SQL text prepared, executed and read to its last row through the engine's
// TQueryStatement and through SQLite's statements. A second table d of 1,000 rows,
// with the main table's columns and index, is the other side of the join.
//
// Last come BLOBs: 10,000 values of 4 KiB and 100 of 1 MiB (the same bytes on both
// sides) written in one transaction each to a table of an id and a BLOB column, then
// read back whole in id order.
//
//   build/bench/sqlite_compare [--rows N] [--autocommit-rows N] [--exclusive] [--keep] [--only N]
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/sqlite_compare/engine_side.h"
#include "bench/sqlite_compare/sqlite_side.h"
#include "bench/sqlite_compare/workload.h"

namespace reruzo::sqlite_compare {
namespace {

// ---- Running and reporting ----------------------------------------------------------

struct TLine {
    std::string name;
    double engineSeconds = -1;  // < 0: not run on that side
    double sqliteSeconds = -1;
    TResult engine;
    TResult sqlite;
    bool compare = true;  // the results of both sides must agree
    std::string notRun;   // why the engine could not run the workload (then neither side ran)
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

void ResetPeak() {
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

std::string Milliseconds(double seconds) {
    if (seconds < 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
    return text;
}

void Print(const std::vector<TLine>& lines) {
    std::printf("%-52s %12s %12s %14s %10s\n", "workload", "engine", "SQLite", "engine/SQLite", "rows");
    std::printf("%s\n", std::string(104, '-').c_str());
    std::vector<std::string> warnings;
    bool skipped = false;
    for (const TLine& l : lines) {
        if (!l.notRun.empty()) {
            std::printf("%-52s not run: %s\n", l.name.c_str(), l.notRun.c_str());
            skipped = true;
            continue;
        }
        char ratio[32] = "-";
        if (l.engineSeconds >= 0 && l.sqliteSeconds > 0) std::snprintf(ratio, sizeof ratio, "%.2f", l.engineSeconds / l.sqliteSeconds);
        const std::int64_t rows = l.engineSeconds >= 0 ? l.engine.rows : l.sqlite.rows;
        std::printf("%-52s %12s %12s %14s %10lld\n", l.name.c_str(), Milliseconds(l.engineSeconds).c_str(),
                    Milliseconds(l.sqliteSeconds).c_str(), ratio, static_cast<long long>(rows));
        if (!l.compare || l.engineSeconds < 0 || l.sqliteSeconds < 0) continue;
        if (l.engine.rows != l.sqlite.rows) {
            warnings.push_back("WARNING: " + l.name + ": engine " + std::to_string(l.engine.rows) + " rows, SQLite " +
                               std::to_string(l.sqlite.rows) + " rows");
        } else if (l.engine.checksum != l.sqlite.checksum) {
            warnings.push_back("WARNING: " + l.name + ": same row count, different values (checksum " +
                               std::to_string(l.engine.checksum) + " against " + std::to_string(l.sqlite.checksum) + ")");
        }
    }
    for (const auto& w : warnings) std::printf("%s\n", w.c_str());
    if (warnings.empty()) {
        std::printf("Both sides returned the same rows for every workload%s.\n", skipped ? " that ran" : "");
    }
}

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--rows N] [--autocommit-rows N] [--exclusive] [--keep] [--only N]\n"
                 "  --rows N             rows of the main table, point lookups (default 100000)\n"
                 "  --autocommit-rows N  rows appended one write each (default min(rows, %d))\n"
                 "  --exclusive          open the engine's tables exclusively (no locks between processes)\n"
                 "  --keep               keep the temporary folder\n"
                 "  --only N             run workload N (1..%d) and those it starts from: 1, 6 before 7 to 13\n"
                 "                       and 18 to 22, 14 before 15 and 16 before 17\n",
                 program, kDefaultAutocommitCap, kLastWorkload);
    return 2;
}

int Run(const TOptions& options) {
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

    std::printf("rows %d, SQLite %s (default settings), engine tables opened %s, folder %s\n", w.rows,
                sqlite3_libversion(), options.exclusive ? "exclusively" : "shared", root.c_str());
    if (w.autocommitRows < w.rows) {
        std::printf("autocommit appends use %d rows on both sides, not %d (every autocommit is synced to the disk)\n",
                    w.autocommitRows, w.rows);
    }
    std::printf("\n");

    // --only N runs workload N and those whose result it starts from: the append (1)
    // always, the delete (6) before the SQL workloads (7 to 13), and each BLOB write
    // before its read.
    const int only = options.only;
    auto selected = [&](int number) {
        return only == 0 || number == only || number == 1 ||
               (number == 6 && only > 6 && (only < 14 || (only > 17 && only < 23))) ||
               (only == 15 && number == 14) || (only == 17 && number == 16);
    };

    std::vector<TLine> lines;
    std::vector<std::string> peaks;  // the rise of peak memory during the structure changes
    std::string blobReads;  // how many reads the 1 MiB BLOBs took, when they were read
    {
        TEngineSide engine(root + "/engine", root + "/engine-private", options.exclusive);
        TSqliteSide sqlite(root + "/sqlite");
        engine.Prepare(w);
        sqlite.Prepare(w);
        auto both = [&](std::string name, const std::function<TResult()>& onEngine,
                        const std::function<TResult()>& onSqlite) {
            TLine l;
            l.name = std::move(name);
            l.engineSeconds = Time(onEngine, l.engine);
            l.sqliteSeconds = Time(onSqlite, l.sqlite);
            lines.push_back(l);
            std::fflush(stdout);
        };
        const std::string n = std::to_string(w.rows);
        const std::string a = std::to_string(w.autocommitRows);
        if (selected(1)) {
            both("1. append " + n + " rows, one transaction", [&] { return engine.AppendInTransaction(w); },
                 [&] { return sqlite.AppendInTransaction(w); });
        }
        if (selected(2)) {
            both("2. append " + a + " rows, autocommit", [&] { return engine.AppendAutocommit(w, false); },
                 [&] { return sqlite.AppendAutocommit(w); });
            TLine l;
            l.name = "2b. the same, engine flushing every write";
            l.engineSeconds = Time([&] { return engine.AppendAutocommit(w, true); }, l.engine);
            l.compare = false;
            lines.push_back(l);
        }
        if (selected(3)) {
            both("3. " + std::to_string(w.lookups.size()) + " point lookups by id", [&] { return engine.LookUp(w); },
                 [&] { return sqlite.LookUp(w); });
        }
        if (selected(4)) {
            both("4. " + std::to_string(w.rangeLows.size()) + " ranges of 1 % on k (" + std::to_string(w.rangeWidth) +
                     " rows)",
                 [&] { return engine.ReadRanges(w); }, [&] { return sqlite.ReadRanges(w); });
        }
        if (selected(5)) {
            both("5. " + std::to_string(kFilterRepeats) + " x filter v < " + std::to_string(kFilterLimit) + " (no index)",
                 [&] { return engine.Filter(kFilterRepeats); }, [&] { return sqlite.Filter(kFilterRepeats); });
        }
        if (selected(6)) {
            both("6. delete every 10th id, one transaction", [&] { return engine.DeleteTenth(w); },
                 [&] { return sqlite.DeleteTenth(w); });
        }

        // Times the engine's side of a workload. One the engine cannot run yet (an
        // engine statement raises) is marked as not run, SQLite does not run it either,
        // and the next one goes on: false then.
        auto engineSide = [&](TLine& l, const std::function<TResult()>& work) {
            try {
                l.engineSeconds = Time(work, l.engine);
                return true;
            } catch (const std::exception& e) {
                l.notRun = e.what();
                lines.push_back(l);
                return false;
            }
        };
        // SQL over what the delete left: the same text on both sides, every row read.
        auto sql = [&](int number, std::string name, const TSqlWorkload& q) {
            if (!selected(number)) return;
            TLine l;
            l.name = std::to_string(number) + ". " + std::move(name);
            if (!engineSide(l, [&] { return engine.RunSql(q); })) return;
            l.sqliteSeconds = Time([&] { return sqlite.RunSql(q); }, l.sqlite);
            lines.push_back(l);
            std::fflush(stdout);
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
            {.statements = {"select v, sum(k), avg(k) from t group by v"}, .columns = 3});
        sql(10, "SQL order by v (no index), whole table",
            {.statements = {"select id, k, v, s from t order by v"}, .columns = 4, .orderColumn = 2});
        sql(11, "SQL distinct v", {.statements = {"select distinct v from t"}, .columns = 1});
        sql(12, "SQL join with " + std::to_string(w.small.size()) + "-row table on k",
            {.statements = {"select t.id, t.k, d.id, d.s from t join d on t.k = d.k"}, .columns = 4});
        sql(13, std::string("SQL s like '") + kLikePattern + "' (no index)",
            {.statements = {std::string("select id, k, v, s from t where s like '") + kLikePattern + "'"}, .columns = 4});
        if (only == 0 || only >= 14) {
            auto blobs = [&](int number, const std::string& name, const std::function<TResult()>& onEngine,
                             const std::function<TResult()>& onSqlite) {
                if (!selected(number)) return;
                both(std::to_string(number) + ". " + name, onEngine, onSqlite);
            };
            const std::string smallName = std::to_string(kSmallBlobs) + " BLOBs of 4 KiB";
            const std::string largeName = std::to_string(kLargeBlobs) + " BLOBs of 1 MiB";
            blobs(14, "write " + smallName + ", one transaction",
                  [&] { return engine.WriteBlobs("b4", kSmallBlobs, kSmallBlobSize); },
                  [&] { return sqlite.WriteBlobs("b4", kSmallBlobs, kSmallBlobSize); });
            blobs(15, "read the " + smallName, [&] { return engine.ReadBlobs("b4"); },
                  [&] { return sqlite.ReadBlobs("b4"); });
            blobs(16, "write " + largeName + ", one transaction",
                  [&] { return engine.WriteBlobs("b1m", kLargeBlobs, kLargeBlobSize); },
                  [&] { return sqlite.WriteBlobs("b1m", kLargeBlobs, kLargeBlobSize); });
            blobs(17, "read the " + largeName, [&] { return engine.ReadBlobs("b1m"); },
                  [&] { return sqlite.ReadBlobs("b1m"); });
            if (selected(17)) {
                const std::uint64_t blocks =
                    static_cast<std::uint64_t>(kLargeBlobs) * ((kLargeBlobSize + engine.blockDataSize_ - 1) / engine.blockDataSize_);
                blobReads = "Reading the " + largeName + " took " + std::to_string(engine.lastBlobStats_.readCalls) +
                            " read calls for " + std::to_string(blocks) + " blocks (" +
                            std::to_string(engine.lastBlobStats_.diskReads) + " blocks read, read-ahead " +
                            std::to_string(engine.blobReadAhead_) + ").";
            }
        }
        // Changing rows through SQL, each statement in its own transaction on both
        // sides (the engine's commits every CommitInterval rows on the way). The rows
        // are those changed; the checksum, taken afterwards and not timed, covers the
        // changed table's k and v.
        auto modify = [&](int number, std::string name, const std::string& table, const std::string& text) {
            if (!selected(number)) return;
            TLine l;
            l.name = std::to_string(number) + ". " + std::move(name);
            if (!engineSide(l, [&] { return engine.RunModify({text}); })) return;
            l.sqliteSeconds = Time([&] { return sqlite.RunModify({text}); }, l.sqlite);
            const TSqlWorkload contents{.statements = {"select k, v from " + table}, .columns = 2};
            l.engine.checksum = engine.RunSql(contents).checksum;
            l.sqlite.checksum = sqlite.RunSql(contents).checksum;
            lines.push_back(l);
            std::fflush(stdout);
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
        // SQLite changes its schema record only). The row count afterwards is compared;
        // the rise of the process's peak memory during each shows under the table.
        auto define = [&](int number, std::string name, const std::string& text, bool onSqlite) {
            if (!selected(number)) return;
            TLine l;
            l.name = std::to_string(number) + ". " + std::move(name);
            ResetPeak();
            const long before = ResidentKilobytes();
            if (!engineSide(l, [&] { return engine.RunModify({text}); })) return;
            peaks.push_back(l.name + ": engine " + std::to_string(std::max(0L, PeakKilobytes() - before)) + " KiB");
            if (onSqlite) {
                ResetPeak();
                const long sqliteBefore = ResidentKilobytes();
                l.sqliteSeconds = Time([&] { return sqlite.RunModify({text}); }, l.sqlite);
                peaks.back() += ", SQLite " + std::to_string(std::max(0L, PeakKilobytes() - sqliteBefore)) + " KiB";
            }
            const TSqlWorkload count{.statements = {"select count(*) from t"}, .columns = 1};
            l.engine = engine.RunSql(count);
            if (onSqlite) l.sqlite = sqlite.RunSql(count);
            l.compare = onSqlite;
            lines.push_back(l);
            std::fflush(stdout);
        };
        engine.ReleaseMain();
        define(23, "SQL alter table t add column w integer", "alter table t add w integer", true);
        define(24, "SQL alter table: s char(40) becomes char(60)", "alter table t redefine s char(60)", false);
        define(25, "SQL create index on v", "create index tv on t (v)", true);
    }
    std::printf("\n");
    Print(lines);
    if (!blobReads.empty()) std::printf("%s\n", blobReads.c_str());
    for (const std::string& p : peaks) std::printf("Peak memory above the resident size before, %s\n", p.c_str());
    std::printf(
        "\nTimes are wall-clock for the whole workload; engine/SQLite < 1 means the engine is faster.\n"
        "Commits reach the disk on both sides: each one goes through a rollback journal that is synced\n"
        "before the table's files change, and each changed file is synced once. In autocommit mode both\n"
        "sides sync every row; line 2b adds the session's ForceBufferFlush, which the journal makes redundant.\n");
    if (options.exclusive) {
        std::printf("Exclusive tables keep appended records in the engine's cache between changes, so autocommit\n"
                    "rows reach the disk only when the cache is full or the table closes.\n");
    }

    if (options.keep) std::printf("files kept in %s\n", root.c_str());
    return 0;
}

}  // namespace
}  // namespace reruzo::sqlite_compare

int main(int argc, char** argv) {
    using namespace reruzo::sqlite_compare;
    TOptions options;
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
        } else {
            return Usage(argv[0]);
        }
    }
    try {
        return Run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sqlite_compare: %s\n", e.what());
        return 1;
    }
}
