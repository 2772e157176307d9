// The input of the side-by-side comparison with SQLite and what it measures: the
// workloads' constants and rows, generated once from fixed seeds and fed to both sides,
// and the results each side returns (a row count and a checksum of what it read).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace reruzo::sqlite_compare {

inline constexpr int kStringLength = 40;
inline constexpr int kFilterLimit = 10;       // "v < 10": about 10 % of the rows
inline constexpr int kFilterRepeats = 10;
// SQLite syncs every autocommit to the disk: some milliseconds a row on ordinary disks.
inline constexpr int kDefaultAutocommitCap = 1000;
inline constexpr int kCountStatements = 100;  // "select count(*) ... where k = <value>"
inline constexpr int kSqlRanges = 10;         // SQL ranges of 1 % on k
inline constexpr int kSmallRows = 1000;       // rows of the joined table
// SQLite's LIKE ignores the case of ASCII letters, the engine's compares bytes when
// the table has no language: a pattern of digits matches the same rows on both.
inline constexpr const char* kLikePattern = "%42%";
inline constexpr int kSmallBlobs = 10000;
inline constexpr std::size_t kSmallBlobSize = 4096;
inline constexpr int kLargeBlobs = 100;
inline constexpr std::size_t kLargeBlobSize = 1 << 20;
inline constexpr int kLastWorkload = 25;

// The bytes of BLOB i: the same on both sides.
void BlobBytes(int i, std::vector<std::uint8_t>& out);

struct TOptions {
    int rows = 100000;
    int autocommitRows = -1;  // -1: min(rows, kDefaultAutocommitCap)
    bool exclusive = false;
    bool keep = false;
    int only = 0;  // 0: every workload; else the number of the one to run (with those it starts from)
    bool json = false;  // JSON lines on standard output instead of the table
    bool curve = false;  // the whole run at each of `sizes` rows, then the engine's cost per row
    std::vector<int> sizes = {10000, 100000, 1000000};
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
void AddBlob(TResult& r, std::int64_t id, const std::uint8_t* data, std::size_t size);

// ---- SQL results --------------------------------------------------------------------
// The two sides type the columns of a result differently (a SUM may be a large integer
// on one side and an integer on the other, an AVG that comes out whole is still a
// float), so values are hashed by what they are: numbers by value to six decimals,
// strings by their bytes, NULL as a value of its own.

std::uint64_t Scramble(std::uint64_t x);
std::uint64_t HashInteger(std::int64_t value);
// Whole numbers hash as the integer they equal, the rest by their value in millionths.
std::uint64_t HashFloat(double value);
std::uint64_t HashText(std::string_view text);

inline constexpr std::uint64_t kNullHash = 0x6e756c6c6e756c6cu;

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

TWorkload MakeWorkload(const TOptions& options);

}  // namespace reruzo::sqlite_compare
