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
//   build/bench/sqlite_compare [--rows N] [--autocommit-rows N] [--exclusive] [--keep]
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/table/data_cursor.h"
#include "engine/sql/expression_filter.h"

namespace {

using namespace reruzo;

constexpr int kStringLength = 40;
constexpr int kFilterLimit = 10;       // "v < 10": about 10 % of the rows
constexpr int kFilterRepeats = 10;
// SQLite syncs every autocommit to the disk: some milliseconds a row on ordinary disks.
constexpr int kDefaultAutocommitCap = 1000;

struct TOptions {
    int rows = 100000;
    int autocommitRows = -1;  // -1: min(rows, kDefaultAutocommitCap)
    bool exclusive = false;
    bool keep = false;
};

struct TRow {
    std::int32_t k;
    std::int32_t v;
    std::string s;
};

// What one side returned: rows affected or read, and a checksum of their values.
struct TResult {
    std::int64_t rows = 0;
    std::uint64_t checksum = 0;
    void Add(std::int64_t id, std::int64_t k, std::int64_t v, std::size_t length) {
        ++rows;
        checksum += static_cast<std::uint64_t>(id) * 1000003u + static_cast<std::uint64_t>(k) * 31u +
                    static_cast<std::uint64_t>(v) * 7u + length;
    }
};

// The workload's input, the same for both sides.
struct TWorkload {
    int rows = 0;
    int autocommitRows = 0;
    int rangeWidth = 0;
    std::vector<TRow> data;
    std::vector<std::int32_t> lookups;    // primary keys, 1..rows
    std::vector<std::int32_t> rangeLows;  // first k of each range
};

TWorkload MakeWorkload(const TOptions& options) {
    TWorkload w;
    w.rows = options.rows;
    w.autocommitRows = options.autocommitRows >= 0 ? std::min(options.autocommitRows, options.rows)
                                                   : std::min(options.rows, kDefaultAutocommitCap);
    w.rangeWidth = std::max(1, options.rows / 100);
    std::vector<std::int32_t> keys(static_cast<std::size_t>(options.rows));
    std::iota(keys.begin(), keys.end(), 0);
    std::mt19937 rng(20240611);
    std::shuffle(keys.begin(), keys.end(), rng);
    static const char kFill[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    w.data.reserve(keys.size());
    for (int i = 0; i < options.rows; ++i) {
        char head[24];
        std::snprintf(head, sizeof head, "row %08d ", i + 1);
        std::string s = head;
        for (std::size_t j = s.size(); j < kStringLength; ++j) s += kFill[(static_cast<std::size_t>(i) + j * 7) % 52];
        w.data.push_back({keys[static_cast<std::size_t>(i)], static_cast<std::int32_t>(rng() % 100), std::move(s)});
    }
    w.lookups.resize(static_cast<std::size_t>(options.rows));
    for (auto& id : w.lookups) id = static_cast<std::int32_t>(1 + rng() % static_cast<std::uint32_t>(options.rows));
    // Enough ranges to read about as many rows as the table holds.
    const int ranges = 100;
    const int span = options.rows - w.rangeWidth + 1;
    for (int i = 0; i < ranges; ++i) w.rangeLows.push_back(static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(span)));
    return w;
}

// ---- Our engine ---------------------------------------------------------------------

class TEngineSide {
public:
    TEngineSide(const std::string& folder, bool exclusive) : exclusive_(exclusive) {
        dir_ = &session_.OpenDirectory("bench", folder + "/");
    }
    ~TEngineSide() {
        main_.reset();
        byK_.reset();
        autocommit_.reset();
        flushed_.reset();
        session_.CloseDirectory(*dir_);
    }

    void CreateTable(const std::string& name) {
        TTableStructure s;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("k", kFieldInteger),
                    MakeFieldDesc("v", kFieldInteger), MakeFieldDesc("s", kFieldString, kStringLength)};
        s.Primary.Unique = 1;
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TIndexDesc k;
        k.Name = "k";
        k.FieldCount = 1;
        k.FieldNumbers[0] = 2;
        s.Secondaries = {k};
        TDataTable* t = nullptr;
        if (dir_->CreateTable(name, s, t) != 0) throw std::runtime_error("cannot create table " + name);
        dir_->CloseTable(t, false);
    }

    std::unique_ptr<TDataCursor> Open(const std::string& name, const std::string& index = "") {
        auto c = std::make_unique<TDataCursor>(*dir_);
        c->SetTableName(name);
        c->SetExclusive(exclusive_);
        c->OpenCursor();
        c->SetIndexName(index);
        return c;
    }

    // Untimed: the main table and its cursors (primary order, and order of k).
    void Prepare() {
        CreateTable("t");
        CreateTable("a");
        CreateTable("f");
        main_ = Open("t");
        autocommit_ = Open("a");
        flushed_ = Open("f");
        record_.assign(main_->RecordSize(), 0);
        probe_.assign(main_->RecordSize(), 0);
        high_.assign(main_->RecordSize(), 0);
    }

    TResult AppendInTransaction(const TWorkload& w) {
        dir_->StartTransaction();
        TResult r = Append(*main_, w, w.rows);
        dir_->Commit(true, true);
        return r;
    }

    // Plain appends, each written on its own; with `forceFlush`, the session's
    // setting that flushes every write to the disk.
    TResult AppendAutocommit(const TWorkload& w, bool forceFlush) {
        session_.SetForceBufferFlush(forceFlush);
        TResult r = Append(forceFlush ? *flushed_ : *autocommit_, w, w.autocommitRows);
        session_.SetForceBufferFlush(false);
        return r;
    }

    TResult LookUp(const TWorkload& w) {
        TResult r;
        const auto& f = main_->Fields();
        for (std::int32_t id : w.lookups) {
            main_->InitRecord(probe_);
            PutIntegerField(probe_, f[0], id);
            if (main_->Find(true, probe_, 1, 0, false, record_)) Read(r);
        }
        return r;
    }

    TResult ReadRanges(const TWorkload& w) {
        if (!byK_) {
            // A clone shares the exclusive open of its source.
            byK_ = main_->CloneCursor();
            byK_->SetIndexName("k");
        }
        TResult r;
        const auto& f = byK_->Fields();
        for (std::int32_t low : w.rangeLows) {
            byK_->InitRecord(probe_);
            byK_->InitRecord(high_);
            PutIntegerField(probe_, f[1], low);
            PutIntegerField(high_, f[1], low + w.rangeWidth - 1);
            byK_->SetRange(true, probe_, 1, high_, 1);
            byK_->SetToBegin();
            while (byK_->GetNextRecord(record_) == 0) Read(r);
        }
        byK_->ResetRange();
        return r;
    }

    TResult Filter(int repeats) {
        TResult r;
        const std::string text = "v < " + std::to_string(kFilterLimit);
        for (int i = 0; i < repeats; ++i) {
            TFilter* filter = AddExprFilter(*main_, text, {}, {.countCheck = true});
            main_->ActivateFilter(filter);
            main_->SetToBegin();
            while (main_->GetNextRecord(record_) == 0) Read(r);
            main_->DropFilter(filter);
        }
        return r;
    }

    // Deletes every tenth primary key in one transaction; rows = records deleted,
    // checksum = records left.
    TResult DeleteTenth(const TWorkload& w) {
        TResult r;
        const auto& f = main_->Fields();
        dir_->StartTransaction();
        for (std::int32_t id = 10; id <= w.rows; id += 10) {
            main_->InitRecord(probe_);
            PutIntegerField(probe_, f[0], id);
            if (!main_->Find(true, probe_, 1, 0, false, record_)) continue;
            main_->DeleteRecord(record_, false);
            ++r.rows;
        }
        dir_->Commit(true, true);
        r.checksum = static_cast<std::uint64_t>(main_->GetRecordCount());
        return r;
    }

private:
    TResult Append(TDataCursor& c, const TWorkload& w, int count) {
        TResult r;
        std::vector<std::uint8_t> record(c.RecordSize());
        const auto& f = c.Fields();
        for (int i = 0; i < count; ++i) {
            const TRow& row = w.data[static_cast<std::size_t>(i)];
            c.InitRecordDefaults(record);
            PutIntegerField(record, f[1], row.k);
            PutIntegerField(record, f[2], row.v);
            PutStringField(record, f[3], row.s);
            c.AppendRecord(record, false);
            ++r.rows;
        }
        return r;
    }

    void Read(TResult& r) const {
        const auto& f = main_->Fields();
        const auto s = FieldData(record_, f[3]);
        const auto* end = static_cast<const std::uint8_t*>(std::memchr(s.data(), 0, s.size()));
        r.Add(GetIntegerField(record_, f[0]), GetIntegerField(record_, f[1]), GetIntegerField(record_, f[2]),
              end ? static_cast<std::size_t>(end - s.data()) : s.size());
    }

    bool exclusive_;
    TDataSession session_;
    TDataDirectory* dir_ = nullptr;
    std::unique_ptr<TDataCursor> main_;
    std::unique_ptr<TDataCursor> byK_;
    std::unique_ptr<TDataCursor> autocommit_;
    std::unique_ptr<TDataCursor> flushed_;
    std::vector<std::uint8_t> record_;
    std::vector<std::uint8_t> probe_;
    std::vector<std::uint8_t> high_;
};

// ---- SQLite -------------------------------------------------------------------------

class TStatement {
public:
    TStatement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail(sql);
    }
    ~TStatement() { sqlite3_finalize(stmt_); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;
    sqlite3_stmt* operator*() const { return stmt_; }
    void Bind(int n, std::int64_t value) { sqlite3_bind_int64(stmt_, n, value); }
    void Bind(int n, const std::string& text) {
        sqlite3_bind_text(stmt_, n, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    }
    // True while a row is there.
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) Fail("step");
        return false;
    }
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

private:
    [[noreturn]] void Fail(const char* what) const {
        throw std::runtime_error(std::string("SQLite: ") + what + ": " + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class TSqliteSide {
public:
    explicit TSqliteSide(const std::string& folder) : folder_(folder) {}
    ~TSqliteSide() {
        if (auto_) sqlite3_close(auto_);
        if (main_) sqlite3_close(main_);
    }

    void Prepare() {
        main_ = OpenDatabase(folder_ + "/main.db");
        auto_ = OpenDatabase(folder_ + "/autocommit.db");
    }

    TResult AppendInTransaction(const TWorkload& w) {
        Exec(main_, "BEGIN");
        TResult r = Append(main_, w, w.rows);
        Exec(main_, "COMMIT");
        return r;
    }

    TResult AppendAutocommit(const TWorkload& w) { return Append(auto_, w, w.autocommitRows); }

    TResult LookUp(const TWorkload& w) {
        TResult r;
        TStatement q(main_, "SELECT id, k, v, s FROM t WHERE id = ?");
        for (std::int32_t id : w.lookups) {
            q.Bind(1, id);
            while (q.Step()) Read(*q, r);
            q.Reset();
        }
        return r;
    }

    TResult ReadRanges(const TWorkload& w) {
        TResult r;
        TStatement q(main_, "SELECT id, k, v, s FROM t WHERE k BETWEEN ? AND ?");
        for (std::int32_t low : w.rangeLows) {
            q.Bind(1, low);
            q.Bind(2, low + w.rangeWidth - 1);
            while (q.Step()) Read(*q, r);
            q.Reset();
        }
        return r;
    }

    TResult Filter(int repeats) {
        TResult r;
        const std::string sql = "SELECT id, k, v, s FROM t WHERE v < " + std::to_string(kFilterLimit);
        TStatement q(main_, sql.c_str());
        for (int i = 0; i < repeats; ++i) {
            while (q.Step()) Read(*q, r);
            q.Reset();
        }
        return r;
    }

    TResult DeleteTenth(const TWorkload& w) {
        TResult r;
        Exec(main_, "BEGIN");
        {
            TStatement q(main_, "DELETE FROM t WHERE id = ?");
            for (std::int32_t id = 10; id <= w.rows; id += 10) {
                q.Bind(1, id);
                q.Step();
                r.rows += sqlite3_changes(main_);
                q.Reset();
            }
        }
        Exec(main_, "COMMIT");
        TStatement count(main_, "SELECT count(*) FROM t");
        if (count.Step()) r.checksum = static_cast<std::uint64_t>(sqlite3_column_int64(*count, 0));
        return r;
    }

private:
    static sqlite3* OpenDatabase(const std::string& path) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
            sqlite3_close(db);
            throw std::runtime_error("SQLite: cannot open " + path + ": " + message);
        }
        // AUTOINCREMENT: like the engine's identifiers, ids of deleted rows are never
        // handed out again.
        Exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY AUTOINCREMENT, k INTEGER, v INTEGER, s TEXT)");
        Exec(db, "CREATE INDEX t_k ON t(k)");
        return db;
    }

    static void Exec(sqlite3* db, const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw std::runtime_error(std::string("SQLite: ") + sql + ": " + message);
        }
    }

    static TResult Append(sqlite3* db, const TWorkload& w, int count) {
        TResult r;
        TStatement q(db, "INSERT INTO t(k, v, s) VALUES(?, ?, ?)");
        for (int i = 0; i < count; ++i) {
            const TRow& row = w.data[static_cast<std::size_t>(i)];
            q.Bind(1, row.k);
            q.Bind(2, row.v);
            q.Bind(3, row.s);
            q.Step();
            q.Reset();
            ++r.rows;
        }
        return r;
    }

    static void Read(sqlite3_stmt* q, TResult& r) {
        const std::int64_t id = sqlite3_column_int64(q, 0);
        const std::int64_t k = sqlite3_column_int64(q, 1);
        const std::int64_t v = sqlite3_column_int64(q, 2);
        sqlite3_column_text(q, 3);
        r.Add(id, k, v, static_cast<std::size_t>(sqlite3_column_bytes(q, 3)));
    }

    std::string folder_;
    sqlite3* main_ = nullptr;
    sqlite3* auto_ = nullptr;
};

// ---- Running and reporting ----------------------------------------------------------

struct TLine {
    std::string name;
    double engineSeconds = -1;  // < 0: not run on that side
    double sqliteSeconds = -1;
    TResult engine;
    TResult sqlite;
    bool compare = true;  // the results of both sides must agree
};

template <typename F>
double Time(F&& work, TResult& result) {
    const auto start = std::chrono::steady_clock::now();
    result = work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    for (const TLine& l : lines) {
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
    if (warnings.empty()) std::printf("Both sides returned the same rows for every workload.\n");
}

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--rows N] [--autocommit-rows N] [--exclusive] [--keep]\n"
                 "  --rows N             rows of the main table, point lookups (default 100000)\n"
                 "  --autocommit-rows N  rows appended one write each (default min(rows, %d))\n"
                 "  --exclusive          open the engine's tables exclusively (no locks between processes)\n"
                 "  --keep               keep the temporary folder\n",
                 program, kDefaultAutocommitCap);
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
    std::filesystem::create_directory(root + "/sqlite");

    std::printf("rows %d, SQLite %s (default settings), engine tables opened %s, folder %s\n", w.rows,
                sqlite3_libversion(), options.exclusive ? "exclusively" : "shared", root.c_str());
    if (w.autocommitRows < w.rows) {
        std::printf("autocommit appends use %d rows on both sides, not %d (every autocommit is synced to the disk)\n",
                    w.autocommitRows, w.rows);
    }
    std::printf("\n");

    std::vector<TLine> lines;
    {
        TEngineSide engine(root + "/engine", options.exclusive);
        TSqliteSide sqlite(root + "/sqlite");
        engine.Prepare();
        sqlite.Prepare();
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
        both("1. append " + n + " rows, one transaction", [&] { return engine.AppendInTransaction(w); },
             [&] { return sqlite.AppendInTransaction(w); });
        both("2. append " + a + " rows, autocommit", [&] { return engine.AppendAutocommit(w, false); },
             [&] { return sqlite.AppendAutocommit(w); });
        {
            TLine l;
            l.name = "2b. the same, engine flushing every write";
            l.engineSeconds = Time([&] { return engine.AppendAutocommit(w, true); }, l.engine);
            l.compare = false;
            lines.push_back(l);
        }
        both("3. " + std::to_string(w.lookups.size()) + " point lookups by id", [&] { return engine.LookUp(w); },
             [&] { return sqlite.LookUp(w); });
        both("4. " + std::to_string(w.rangeLows.size()) + " ranges of 1 % on k (" + std::to_string(w.rangeWidth) + " rows)",
             [&] { return engine.ReadRanges(w); }, [&] { return sqlite.ReadRanges(w); });
        both("5. " + std::to_string(kFilterRepeats) + " x filter v < " + std::to_string(kFilterLimit) + " (no index)",
             [&] { return engine.Filter(kFilterRepeats); }, [&] { return sqlite.Filter(kFilterRepeats); });
        both("6. delete every 10th id, one transaction", [&] { return engine.DeleteTenth(w); },
             [&] { return sqlite.DeleteTenth(w); });
    }
    std::printf("\n");
    Print(lines);
    std::printf(
        "\nTimes are wall-clock for the whole workload; engine/SQLite < 1 means the engine is faster.\n"
        "Commits of a transaction reach the disk on both sides (the engine commits with flushOs). In autocommit\n"
        "mode SQLite syncs every row to the disk, the engine only hands it to the operating system; line 2b\n"
        "is the engine with the session's ForceBufferFlush, which syncs every write.\n");
    if (options.exclusive) {
        std::printf("Exclusive tables keep appended records in the engine's cache even with ForceBufferFlush, so\n"
                    "line 2b does not sync the rows here.\n");
    }

    if (options.keep) std::printf("files kept in %s\n", root.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
