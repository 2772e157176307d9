// The engine's side of the comparison with SQLite: the same tables and workloads
// through the engine's cursors, filters, SQL statements and BLOBs.
#pragma once

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/sqlite_compare/workload.h"
#include "engine/sql/expression_filter.h"
#include "engine/sql/sql_statement.h"
#include "engine/table/data_cursor.h"

namespace reruzo::sqlite_compare {

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
        CreateTable("t2");
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

    // Closes the benchmark's own cursors on the main table, which a change of its
    // structure needs to itself.
    void ReleaseMain() {
        byK_.reset();
        main_.reset();
    }

    // Prepares and executes each INSERT, UPDATE or DELETE; the rows are those they
    // changed.
    TResult RunModify(const std::vector<std::string>& statements) {
        TResult r;
        for (const std::string& text : statements) {
            TQueryStatement statement(*dir_, false, -1);
            statement.Prepare(text);
            statement.Execute();
            r.rows += statement.rowCount;
        }
        return r;
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

}  // namespace reruzo::sqlite_compare
