// SQLite's side of the comparison: the same tables and workloads through its
// statements, with its default settings or in WAL mode.
#pragma once

#include <sqlite3.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "bench/sqlite_compare/workload.h"

namespace reruzo::sqlite_compare {

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
    // `wal`: the tuned settings, a write-ahead log (journal_mode=WAL) synced only at
    // its checkpoints (synchronous=NORMAL); else SQLite's defaults, no PRAGMA.
    TSqliteSide(const std::string& folder, bool wal) : folder_(folder), wal_(wal) {}
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
        Exec(main_, "CREATE TABLE t2(id INTEGER PRIMARY KEY AUTOINCREMENT, k INTEGER, v INTEGER, s TEXT)");
        Exec(main_, "CREATE INDEX t2_k ON t2(k)");
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

    // Steps each INSERT, UPDATE or DELETE in autocommit mode; the rows are those they
    // changed.
    TResult RunModify(const std::vector<std::string>& statements) {
        TResult r;
        for (const std::string& text : statements) {
            TStatement q(main_, text.c_str());
            q.Step();
            r.rows += sqlite3_changes(main_);
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

    sqlite3* OpenDatabase(const std::string& path) const {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
            sqlite3_close(db);
            throw std::runtime_error("SQLite: cannot open " + path + ": " + message);
        }
        if (wal_) {
            // SQLite keeps its rollback journal when the folder cannot hold a WAL (no
            // shared memory there): the answer names the mode it took.
            std::string mode;
            {
                TStatement q(db, "PRAGMA journal_mode=WAL");
                const unsigned char* answer = q.Step() ? sqlite3_column_text(*q, 0) : nullptr;
                if (answer) mode = reinterpret_cast<const char*>(answer);
            }
            if (mode != "wal") {
                sqlite3_close(db);
                throw std::runtime_error("SQLite: " + path + " stays in journal mode " + mode + ", not WAL");
            }
            Exec(db, "PRAGMA synchronous=NORMAL");
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
    bool wal_;
    sqlite3* main_ = nullptr;
    sqlite3* auto_ = nullptr;
};

}  // namespace reruzo::sqlite_compare
