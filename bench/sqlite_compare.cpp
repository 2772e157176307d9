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

#include <algorithm>
#include <chrono>
#include <cmath>
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
#include <string_view>
#include <vector>

#include "engine/table/data_cursor.h"
#include "engine/sql/expression_filter.h"
#include "engine/sql/sql_statement.h"

namespace {

using namespace reruzo;

constexpr int kStringLength = 40;
constexpr int kFilterLimit = 10;       // "v < 10": about 10 % of the rows
constexpr int kFilterRepeats = 10;
// SQLite syncs every autocommit to the disk: some milliseconds a row on ordinary disks.
constexpr int kDefaultAutocommitCap = 1000;
constexpr int kCountStatements = 100;  // "select count(*) ... where k = <value>"
constexpr int kSqlRanges = 10;         // SQL ranges of 1 % on k
constexpr int kSmallRows = 1000;       // rows of the joined table
// SQLite's LIKE ignores the case of ASCII letters, the engine's compares bytes when
// the table has no language: a pattern of digits matches the same rows on both.
constexpr const char* kLikePattern = "%42%";
constexpr int kSmallBlobs = 10000;
constexpr std::size_t kSmallBlobSize = 4096;
constexpr int kLargeBlobs = 100;
constexpr std::size_t kLargeBlobSize = 1 << 20;
constexpr int kLastWorkload = 17;

// The bytes of BLOB i: the same on both sides.
void BlobBytes(int i, std::vector<std::uint8_t>& out) {
    std::uint32_t x = static_cast<std::uint32_t>(i) * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
}


struct TOptions {
    int rows = 100000;
    int autocommitRows = -1;  // -1: min(rows, kDefaultAutocommitCap)
    bool exclusive = false;
    bool keep = false;
    int only = 0;  // 0: every workload; else the number of the one to run (with those it starts from)
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

// What a BLOB read adds to a result: its length and a sample of its bytes.
void AddBlob(TResult& r, std::int64_t id, const std::uint8_t* data, std::size_t size) {
    std::uint64_t sample = size;
    for (std::size_t i = 0; i < size; i += 509) sample = sample * 31 + data[i];
    r.Add(id, 0, 0, static_cast<std::size_t>(sample % 1000000007u));
}

// ---- SQL results --------------------------------------------------------------------
// The two sides type the columns of a result differently (a SUM may be a large integer
// on one side and an integer on the other, an AVG that comes out whole is still a
// float), so values are hashed by what they are: numbers by value to six decimals,
// strings by their bytes, NULL as a value of its own.

std::uint64_t Scramble(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9u;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

std::uint64_t HashInteger(std::int64_t value) { return Scramble(static_cast<std::uint64_t>(value) * 1000000u); }

std::uint64_t HashFloat(double value) {
    // Whole numbers hash as the integer they equal, the rest by their value in millionths.
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15) {
        return HashInteger(static_cast<std::int64_t>(value));
    }
    if (!std::isfinite(value) || std::fabs(value) >= 9e12) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        return Scramble(bits ^ 0x5a5a5a5a5a5a5a5au);
    }
    return Scramble(static_cast<std::uint64_t>(std::llround(value * 1e6)));
}

std::uint64_t HashText(std::string_view text) {
    std::uint64_t h = 1469598103934665603u;  // FNV-1a
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211u;
    return Scramble(h ^ (text.size() << 1) ^ 1u);
}

constexpr std::uint64_t kNullHash = 0x6e756c6c6e756c6cu;

// Sums the rows of SQL results into a TResult: each row's columns in their order, the
// rows in any order (a query without ORDER BY returns them in an order of its own on
// each side), and, for a query with ORDER BY, the sequence of its sort column's
// values as well (rows with equal keys may come in any order).
class TSqlRows {
public:
    explicit TSqlRows(int orderColumn) : orderColumn_(orderColumn) {}
    void Column(int column, std::uint64_t hash) {
        row_ = Scramble(row_ ^ hash);
        if (column == orderColumn_) sequence_ = sequence_ * 1099511628211u + hash;
    }
    void EndRow() {
        ++rows_;
        sum_ += row_;
        row_ = kRowSeed;
    }
    TResult Result() const {
        TResult r;
        r.rows = rows_;
        r.checksum = sum_ + (orderColumn_ >= 0 ? Scramble(sequence_) : 0);
        return r;
    }

private:
    static constexpr std::uint64_t kRowSeed = 0x2545f4914f6cdd1du;
    int orderColumn_;
    std::uint64_t row_ = kRowSeed;
    std::uint64_t sum_ = 0;
    std::uint64_t sequence_ = 0;
    std::int64_t rows_ = 0;
};

// An SQL workload: statements run one after the other, every row of each read.
struct TSqlWorkload {
    std::vector<std::string> statements;
    int columns = 0;       // columns of the select list (the engine may add hidden ones after them)
    int orderColumn = -1;  // the ORDER BY column (from 0), or -1
};

// The workload's input, the same for both sides.
struct TWorkload {
    int rows = 0;
    int autocommitRows = 0;
    int rangeWidth = 0;
    std::vector<TRow> data;
    std::vector<std::int32_t> lookups;    // primary keys, 1..rows
    std::vector<std::int32_t> rangeLows;  // first k of each range
    std::vector<std::int32_t> countKeys;  // values of k counted through SQL
    std::vector<TRow> small;              // the joined table: k spread over 0..rows-1
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
    for (int i = 0; i < kCountStatements; ++i) {
        w.countKeys.push_back(static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(options.rows)));
    }
    // One row for every rows/1000-th value of k: each meets one row of the main table
    // until the delete workload removes it (below 1,000 rows the values repeat).
    const int step = std::max(1, options.rows / kSmallRows);
    for (int i = 0; i < kSmallRows; ++i) {
        char s[24];
        std::snprintf(s, sizeof s, "small %04d", i);
        w.small.push_back({static_cast<std::int32_t>((i * step) % options.rows), static_cast<std::int32_t>(i % 100), s});
    }
    return w;
}

// ---- Our engine ---------------------------------------------------------------------

class TEngineSide {
public:
    // `privateFolder` receives what SQL statements write besides the tables: copied
    // results and the runs of sorts.
    TEngineSide(const std::string& folder, const std::string& privateFolder, bool exclusive) : exclusive_(exclusive) {
        session_.SetPrivateDir(privateFolder);
        dir_ = &session_.OpenDirectory("bench", folder + "/");
    }
    ~TEngineSide() {
        main_.reset();
        byK_.reset();
        small_.reset();
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
        return Open(name, index, exclusive_);
    }

    std::unique_ptr<TDataCursor> Open(const std::string& name, const std::string& index, bool exclusive) {
        auto c = std::make_unique<TDataCursor>(*dir_);
        c->SetTableName(name);
        c->SetExclusive(exclusive);
        c->OpenCursor();
        c->SetIndexName(index);
        return c;
    }

    // Untimed: the main table and its cursors (primary order, and order of k), and the
    // small table of the SQL join, filled.
    void Prepare(const TWorkload& w) {
        CreateTable("t");
        CreateTable("a");
        CreateTable("f");
        CreateTable("d");
        Append(*Open("d"), w.small, static_cast<int>(w.small.size()));
        main_ = Open("t");
        autocommit_ = Open("a");
        flushed_ = Open("f");
        record_.assign(main_->RecordSize(), 0);
        probe_.assign(main_->RecordSize(), 0);
        high_.assign(main_->RecordSize(), 0);
    }

    TResult AppendInTransaction(const TWorkload& w) {
        dir_->StartTransaction();
        TResult r = Append(*main_, w.data, w.rows);
        dir_->Commit(true, true);
        return r;
    }

    // Plain appends, each written on its own; with `forceFlush`, the session's
    // setting that flushes every write to the disk.
    TResult AppendAutocommit(const TWorkload& w, bool forceFlush) {
        session_.SetForceBufferFlush(forceFlush);
        TResult r = Append(forceFlush ? *flushed_ : *autocommit_, w.data, w.autocommitRows);
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

    // A table of an id and a BLOB, in the engine's default BLOB block size.
    void CreateBlobTable(const std::string& name) {
        TTableStructure s;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("data", kFieldBlob, 0, kSubBinary)};
        s.Primary.Unique = 1;
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TDataTable* t = nullptr;
        if (dir_->CreateTable(name, s, t) != 0) throw std::runtime_error("cannot create table " + name);
        dir_->CloseTable(t, false);
    }

    TResult WriteBlobs(const std::string& table, int count, std::size_t size) {
        CreateBlobTable(table);
        auto c = Open(table, "", false);
        std::vector<std::uint8_t> record(c->RecordSize()), bytes(size);
        TResult r;
        dir_->StartTransaction();
        for (int i = 0; i < count; ++i) {
            BlobBytes(i, bytes);
            c->InitRecord(record);
            c->PutBlob(record, 2, 0, bytes);
            c->AppendRecord(record, false);
            ++r.rows;
        }
        dir_->Commit(true, true);
        return r;
    }

    TResult ReadBlobs(const std::string& table) {
        auto c = Open(table, "", false);
        std::vector<std::uint8_t> record(c->RecordSize()), bytes;
        TResult r;
        c->SetToBegin();
        while (c->GetNextRecord(record) == 0) {
            bytes.resize(c->GetBlobSize(record, 2));
            c->GetBlob(record, 2, 0, bytes);
            c->FreeBlob(record, 2);
            AddBlob(r, GetIntegerField(record, c->Fields()[0]), bytes.data(), bytes.size());
        }
        lastBlobStats_ = c->Table().Blob().Stats();
        blobReadAhead_ = c->Table().Blob().ReadAhead();
        blockDataSize_ = c->Table().Blob().BlockDataSize();
        return r;
    }

    // Read calls of the last BLOB read, and what one read could take.
    TBlobFileStats lastBlobStats_;
    std::int32_t blobReadAhead_ = 0;
    std::uint32_t blockDataSize_ = 0;

    // Untimed, before the SQL workloads. The statements open cursors of their own,
    // which share a table only with shared cursors: an exclusive open of the main
    // table gives way to a shared one. Cursors kept open on both tables keep them open
    // between statements, as SQLite's connection keeps its database.
    void BeginSql() {
        if (exclusive_) {
            byK_.reset();
            main_.reset();  // closes the exclusive open before the shared one is made
            main_ = Open("t", "", false);
        }
        small_ = Open("d", "", false);
    }

    // Prepares, executes and reads every statement of the workload.
    TResult RunSql(const TSqlWorkload& q) {
        TSqlRows rows(q.orderColumn);
        for (const std::string& text : q.statements) {
            TQueryStatement statement(*dir_, false, -1);
            statement.Prepare(text);
            statement.Execute();
            TDataCursor* c = statement.ResultCursor();
            if (!c) throw std::runtime_error("no result for " + text);
            sqlRecord_.resize(c->RecordSize());
            const auto& f = c->Fields();
            const int columns = std::min(q.columns, static_cast<int>(f.size()));
            c->SetToBegin();
            while (c->GetNextRecord(sqlRecord_) == 0) {
                for (int i = 0; i < columns; ++i) rows.Column(i, Hash(f[static_cast<std::size_t>(i)]));
                rows.EndRow();
            }
        }
        return rows.Result();
    }

private:
    // A column of the SQL result row in sqlRecord_.
    std::uint64_t Hash(const TFieldDesc& f) const {
        if (FieldIsNull(sqlRecord_, f)) return kNullHash;
        switch (f.FieldType) {
            case kFieldString: {
                const auto data = FieldData(sqlRecord_, f);
                const auto* end = static_cast<const std::uint8_t*>(std::memchr(data.data(), 0, data.size()));
                return HashText(std::string_view(reinterpret_cast<const char*>(data.data()),
                                                 end ? static_cast<std::size_t>(end - data.data()) : data.size()));
            }
            case kFieldFloat:
            case kFieldTimeStamp: return HashFloat(GetFloatField(sqlRecord_, f));
            case kFieldSmallInt:
            case kFieldInteger:
            case kFieldLargeInt:
            case kFieldWord:
            case kFieldBoolean: return HashInteger(GetIntegerField(sqlRecord_, f));
            default: {
                const auto data = FieldData(sqlRecord_, f);
                return HashText(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
            }
        }
    }

    TResult Append(TDataCursor& c, const std::vector<TRow>& data, int count) {
        TResult r;
        std::vector<std::uint8_t> record(c.RecordSize());
        const auto& f = c.Fields();
        for (int i = 0; i < count; ++i) {
            const TRow& row = data[static_cast<std::size_t>(i)];
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
    std::unique_ptr<TDataCursor> small_;
    std::vector<std::uint8_t> record_;
    std::vector<std::uint8_t> sqlRecord_;
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

    void Prepare(const TWorkload& w) {
        main_ = OpenDatabase(folder_ + "/main.db");
        auto_ = OpenDatabase(folder_ + "/autocommit.db");
        // The small table of the SQL join: the main table's columns and index.
        Exec(main_, "CREATE TABLE d(id INTEGER PRIMARY KEY AUTOINCREMENT, k INTEGER, v INTEGER, s TEXT)");
        Exec(main_, "CREATE INDEX d_k ON d(k)");
        Exec(main_, "BEGIN");
        Append(main_, "d", w.small, static_cast<int>(w.small.size()));
        Exec(main_, "COMMIT");
    }

    TResult AppendInTransaction(const TWorkload& w) {
        Exec(main_, "BEGIN");
        TResult r = Append(main_, "t", w.data, w.rows);
        Exec(main_, "COMMIT");
        return r;
    }

    TResult AppendAutocommit(const TWorkload& w) { return Append(auto_, "t", w.data, w.autocommitRows); }

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

    TResult WriteBlobs(const std::string& table, int count, std::size_t size) {
        Exec(main_, ("CREATE TABLE " + table + "(id INTEGER PRIMARY KEY AUTOINCREMENT, data BLOB)").c_str());
        std::vector<std::uint8_t> bytes(size);
        TResult r;
        Exec(main_, "BEGIN");
        {
            TStatement insert(main_, ("INSERT INTO " + table + "(data) VALUES (?)").c_str());
            for (int i = 0; i < count; ++i) {
                BlobBytes(i, bytes);
                sqlite3_bind_blob(*insert, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
                insert.Step();
                insert.Reset();
                ++r.rows;
            }
        }
        Exec(main_, "COMMIT");
        return r;
    }

    TResult ReadBlobs(const std::string& table) {
        TStatement q(main_, ("SELECT id, data FROM " + table + " ORDER BY id").c_str());
        TResult r;
        while (q.Step()) {
            const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(*q, 1));
            AddBlob(r, sqlite3_column_int64(*q, 0), data, static_cast<std::size_t>(sqlite3_column_bytes(*q, 1)));
        }
        return r;
    }

    // Prepares, steps and reads every statement of the workload.
    TResult RunSql(const TSqlWorkload& q) {
        TSqlRows rows(q.orderColumn);
        for (const std::string& text : q.statements) {
            TStatement statement(main_, text.c_str());
            const int columns = std::min(q.columns, sqlite3_column_count(*statement));
            while (statement.Step()) {
                for (int i = 0; i < columns; ++i) rows.Column(i, Hash(*statement, i));
                rows.EndRow();
            }
        }
        return rows.Result();
    }

private:
    static std::uint64_t Hash(sqlite3_stmt* q, int column) {
        switch (sqlite3_column_type(q, column)) {
            case SQLITE_INTEGER: return HashInteger(sqlite3_column_int64(q, column));
            case SQLITE_FLOAT: return HashFloat(sqlite3_column_double(q, column));
            case SQLITE_NULL: return kNullHash;
            case SQLITE_TEXT: {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(q, column));
                return HashText(std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(q, column))));
            }
            default: {
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(q, column));
                return HashText(std::string_view(bytes, static_cast<std::size_t>(sqlite3_column_bytes(q, column))));
            }
        }
    }

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

    static TResult Append(sqlite3* db, const std::string& table, const std::vector<TRow>& data, int count) {
        TResult r;
        const std::string sql = "INSERT INTO " + table + "(k, v, s) VALUES(?, ?, ?)";
        TStatement q(db, sql.c_str());
        for (int i = 0; i < count; ++i) {
            const TRow& row = data[static_cast<std::size_t>(i)];
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
    std::string notRun;   // why the engine could not run the workload (then neither side ran)
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
                 "  --only N             run workload N (1..%d) and those it starts from: 1, and 6 before 7 to 13,\n"
                 "                       14 before 15 and 16 before 17\n",
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
        return only == 0 || number == only || number == 1 || (number == 6 && only > 6 && only < 14) ||
               (only == 15 && number == 14) || (only == 17 && number == 16);
    };

    std::vector<TLine> lines;
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

        // SQL over what the delete left: the same text on both sides, every row read.
        // An engine statement that raises (a construct it does not run yet) marks its
        // workload as not run, and the next one goes on.
        auto sql = [&](int number, std::string name, const TSqlWorkload& q) {
            if (!selected(number)) return;
            TLine l;
            l.name = std::to_string(number) + ". " + std::move(name);
            try {
                l.engineSeconds = Time([&] { return engine.RunSql(q); }, l.engine);
            } catch (const std::exception& e) {
                l.notRun = e.what();
                lines.push_back(l);
                return;
            }
            l.sqliteSeconds = Time([&] { return sqlite.RunSql(q); }, l.sqlite);
            lines.push_back(l);
            std::fflush(stdout);
        };
        if (only == 0 || (only > 6 && only < 14)) engine.BeginSql();
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
    }
    std::printf("\n");
    Print(lines);
    if (!blobReads.empty()) std::printf("%s\n", blobReads.c_str());
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
