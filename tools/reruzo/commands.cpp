// The commands of the engine tool. `info` and `verify` read the table's files
// directly; `dump`, `load`, `append` and `delete` go through a session and a cursor,
// with the engine's locks, like any other user of the table. Writing is all or
// nothing: every input line is converted before the first record is written, and
// `append` and `delete` work in one transaction, so a line that cannot be stored or
// a record the engine refuses leaves the table as it was; `load` removes the table
// it made instead.
#include "tools/reruzo/commands.h"

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "engine/errors/engine_errors.h"
#include "engine/table/data_cursor.h"
#include "engine/sql/expression_filter.h"
#include "engine/storage/byte_order.h"
#include "tools/reruzo/json.h"
#include "tools/reruzo/schema.h"
#include "tools/reruzo/values.h"
#include "tools/reruzo/verify.h"

namespace reruzo::cli {
namespace {

std::string LineName(int line) { return "line " + std::to_string(line); }

std::string JsonWhere(const std::string& input, const EJsonError& e) {
    return input + ", column " + std::to_string(e.Column);
}

// A session with the table's folder open as a database directory.
struct TTableSession {
    explicit TTableSession(const TOptions& o) {
        for (const std::string& password : o.passwords) session.AddPassword(password);
        directory = &session.OpenDirectory("reruzo", o.directory);
    }
    ~TTableSession() { session.CloseDirectory(*directory); }
    TTableSession(const TTableSession&) = delete;
    TTableSession& operator=(const TTableSession&) = delete;

    TDataSession session;
    TDataDirectory* directory = nullptr;
};

// Adds and activates the filter of the command line.
void ApplyFilter(TDataCursor& cursor, const TOptions& o, const TTextCodec& codec) {
    if (!o.filter) return;
    std::string text;
    try {
        text = codec.Encode(*o.filter, "the filter");
    } catch (const EValueError& e) {
        throw EInputError("--filter", e.what());
    }
    TFilter* filter = AddExprFilter(cursor, text, {.caseInsensitive = o.noCase, .noPartialCompare = o.noPartial});
    cursor.ActivateFilter(filter);
}

// The data file, opened read-only without verifying anything yet.
struct TOpenDataFile {
    explicit TOpenDataFile(const TOptions& o) : file(o.directory, o.table) {
        file.SetReadOnly(true);
        file.Open();
    }
    TDataFile file;
};

// ---- Records from JSON lines --------------------------------------------------------

// The contents of one BLOB field of a record waiting to be appended.
struct TPendingBlob {
    std::uint16_t fieldNo;
    std::vector<std::uint8_t> contents;
};

struct TPendingRecord {
    int line;
    std::vector<std::uint8_t> record;
    bool keepId;
    // Only BLOBs with contents; the others stay NULL.
    std::vector<TPendingBlob> blobs;
};

class TLineReader {
public:
    TLineReader(TDataCursor& cursor, const TTextCodec& codec, bool keepIds)
        : cursor_(cursor), codec_(codec), keepIds_(keepIds) {
        for (std::size_t i = 0; i < cursor.Fields().size(); ++i) {
            byName_.emplace(Upper(codec.ToUtf8(cursor.Fields()[i].Name)), i);
        }
    }

    // Every record of the input; blank lines are skipped.
    std::vector<TPendingRecord> ReadAll(std::istream& in) {
        std::vector<TPendingRecord> records;
        std::string text;
        for (int line = 1; std::getline(in, text); ++line) {
            if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
            TJsonValue value;
            try {
                value = ParseJson(text, line);
            } catch (const EJsonError& e) {
                throw EInputError(JsonWhere(LineName(line), e), e.what());
            }
            if (!value.IsObject()) {
                throw EInputError(LineName(line), std::string("expected an object, found ") +
                                                      TJsonValue::KindName(value.Kind()));
            }
            records.push_back(Build(value, line));
        }
        return records;
    }

private:
    static std::string Upper(std::string s) {
        for (char& c : s) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        }
        return s;
    }

    // An identifier for --keep-ids.
    static std::int32_t Identifier(const TJsonValue& v, const std::string& where) {
        const auto n = v.AsInteger();
        if (!n || *n < 1 || *n > 2147483647) {
            throw EInputError(where, "a record identifier is an integer from 1 to 2147483647, not " +
                                         (v.IsNumber() ? v.Text() : std::string(TJsonValue::KindName(v.Kind()))));
        }
        return static_cast<std::int32_t>(*n);
    }

    TPendingRecord Build(const TJsonValue& object, int line) {
        const std::string where = LineName(line);
        TPendingRecord p{line, std::vector<std::uint8_t>(cursor_.RecordSize()), false, {}};
        cursor_.InitRecordDefaults(p.record);
        std::optional<std::int32_t> id;
        auto keep = [&](std::int32_t value, const std::string& from) {
            if (id && *id != value) {
                throw EInputError(where, from + " gives identifier " + std::to_string(value) + ", the record has " +
                                             std::to_string(*id) + " already");
            }
            id = value;
        };
        for (const auto& [key, value] : object.Members()) {
            const auto it = byName_.find(Upper(key));
            if (it == byName_.end()) {
                // Dumps with --meta carry the slot and identifier: the slot is the
                // engine's to choose, the identifier is kept with --keep-ids.
                if (key == "_slot") continue;
                if (key == "_id") {
                    if (keepIds_) keep(Identifier(value, where + ": \"_id\""), "\"_id\"");
                    continue;
                }
                throw EInputError(where, "the table has no field \"" + key + "\"");
            }
            const TFieldDesc& f = cursor_.Fields()[it->second];
            const std::string field = "field \"" + key + "\"";
            if (f.IsAutoInc()) {
                // Without --keep-ids the engine numbers the record itself.
                if (keepIds_ && !value.IsNull()) keep(Identifier(value, where + ": " + field), field);
                continue;
            }
            try {
                if (IsBlobField(f)) {
                    KeepBlob(p, f, BlobDataFromJson(value, f, codec_));
                    continue;
                }
                const auto data = FieldDataFromJson(value, f, codec_);
                cursor_.PutField(f.FieldNo, p.record, data ? std::span<const std::uint8_t>(*data)
                                                           : std::span<const std::uint8_t>(), !data);
            } catch (const EValueError& e) {
                throw EInputError(where, field + " " + e.what());
            }
        }
        if (id) {
            PutLE(p.record.data() + kAutoIncOffset, *id);
            p.keepId = true;
        }
        return p;
    }

    // A BLOB's contents wait beside the record: the cursor holds the BLOBs of one new
    // record only, so they are handed to it just before their record is appended.
    static void KeepBlob(TPendingRecord& p, const TFieldDesc& f, std::vector<std::uint8_t> contents) {
        // Two keys differing in letter case name the same field: the last one counts.
        std::erase_if(p.blobs, [&](const TPendingBlob& b) { return b.fieldNo == f.FieldNo; });
        if (!contents.empty()) p.blobs.push_back({f.FieldNo, std::move(contents)});
    }

    TDataCursor& cursor_;
    const TTextCodec& codec_;
    bool keepIds_;
    std::map<std::string, std::size_t> byName_;
};

// Appends the records with their BLOBs; an engine error names the record's line.
void AppendEach(TDataCursor& cursor, const std::vector<TPendingRecord>& records) {
    for (const TPendingRecord& p : records) {
        cursor.SetSuppressAutoInc(p.keepId);
        try {
            // The record buffer's number is 0: these are the BLOBs of the new record,
            // written and let go when it is appended.
            for (const TPendingBlob& b : p.blobs) cursor.PutBlob(p.record, b.fieldNo, 0, b.contents);
            cursor.AppendRecord(p.record, false);
        } catch (const ERERUZOEngineError& e) {
            cursor.FreeBlobs();
            throw EInputError(LineName(p.line), e.what());
        }
    }
}

// The contents of a BLOB field of a fetched record; a damaged chain is reported with
// the record's slot and the field.
std::vector<std::uint8_t> ReadBlob(TDataCursor& cursor, std::span<const std::uint8_t> record, const TFieldDesc& f,
                                   const TTextCodec& codec) {
    try {
        return ReadBlobContents(cursor, record, f);
    } catch (const ERERUZOEngineError& e) {
        throw std::runtime_error("slot " + std::to_string(cursor.CurrentRecordNo()) + ", field \"" +
                                 codec.ToUtf8(f.Name) + "\": " + e.what());
    }
}

void CreateFromSchema(TTableSession& session, const TOptions& o, const TTextCodec& codec) {
    TDataDirectory& directory = *session.directory;
    std::ifstream in(*o.schema, std::ios::binary);
    if (!in) throw EInputError(*o.schema, "cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    TTableStructure structure;
    try {
        structure = ParseSchema(ParseJson(text.str()), codec);
    } catch (const EJsonError& e) {
        throw EInputError(JsonWhere(*o.schema + ", line " + std::to_string(e.Line), e), e.what());
    }
    if (directory.TableExists(o.table, false)) {
        RaiseEngineError(RERUZO_TABLEEXISTS, {.database = directory.Path(), .table = o.table});
    }
    // The table's own password opens it for the records that follow.
    if (structure.Encrypted) session.session.AddPassword(structure.Password);
    TDataTable* table = nullptr;
    const int code = directory.CreateTable(o.table, std::move(structure), table);
    if (code < 0) RaiseEngineError(static_cast<std::uint16_t>(-code), {.database = directory.Path(), .table = o.table});
    directory.CloseTable(table, false);
}

}  // namespace

int InfoCommand(const TOptions& o) {
    const TTextCodec codec(o.codePage);
    TOpenDataFile data(o);
    data.file.VerifyStructure();
    TIndexFile index(o.directory, o.table);
    if (index.Exists()) {
        index.SetReadOnly(true);
        index.SetEncrypted(data.file.Encrypted());
        index.Open();
    }
    // The BLOB file's header, read like the others without the table's locks.
    TBlobFile blob(o.directory, o.table);
    if (data.file.BlobFieldCount() != 0 && blob.Exists()) {
        blob.SetReadOnly(true);
        blob.SetBlockSize(data.file.BlobBlockSize());
        blob.SetEncrypted(data.file.Encrypted());
        blob.Open();
    }
    std::string out;
    WriteJson(out, DescribeTable(data.file, index.IsOpen() ? &index : nullptr, blob.IsOpen() ? &blob : nullptr, codec),
              2);
    std::cout << out << "\n";
    return 0;
}

int DumpCommand(const TOptions& o) {
    const TTextCodec codec(o.codePage);
    TTableSession s(o);
    TDataCursor cursor(*s.directory);
    cursor.SetTableName(o.table);
    cursor.SetReadOnly(true);
    cursor.SetNaturalOrder(o.natural);
    cursor.OpenCursor();
    if (o.index) {
        try {
            cursor.SetIndexName(codec.Encode(*o.index, "the index name"));
        } catch (const EValueError& e) {
            throw EInputError("--index", e.what());
        }
    }
    ApplyFilter(cursor, o, codec);
    std::vector<std::string> keys;
    for (const TFieldDesc& f : cursor.Fields()) {
        if (o.meta && (codec.ToUtf8(f.Name) == "_slot" || codec.ToUtf8(f.Name) == "_id")) {
            throw EInputError("--meta", "the table has a field named \"" + codec.ToUtf8(f.Name) + "\" itself");
        }
        std::string key;
        AppendJsonString(key, codec.ToUtf8(f.Name));
        keys.push_back(key + ":");
    }
    std::vector<std::uint8_t> record(cursor.RecordSize());
    std::string line;
    cursor.SetToBegin();
    while (cursor.GetNextRecord(record) == 0) {
        line = "{";
        if (o.meta) {
            line += "\"_slot\":" + std::to_string(cursor.CurrentRecordNo()) +
                    ",\"_id\":" + std::to_string(GetLE<std::int32_t>(record.data() + kAutoIncOffset));
        }
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (line.size() > 1) line += ',';
            line += keys[i];
            const TFieldDesc& f = cursor.Fields()[i];
            if (IsBlobField(f)) {
                AppendBlobJson(line, ReadBlob(cursor, record, f, codec), f, codec);
            } else {
                AppendFieldJson(line, record, f, codec);
            }
        }
        line += "}\n";
        std::cout << line;
    }
    cursor.CloseCursor();
    std::cout.flush();
    return 0;
}

int AppendCommand(const TOptions& o) {
    const TTextCodec codec(o.codePage);
    TTableSession s(o);
    const bool creating = o.command == "load";
    if (creating) CreateFromSchema(s, o, codec);
    std::size_t appended = 0;
    try {
        TDataCursor cursor(*s.directory);
        cursor.SetTableName(o.table);
        // A new table is nobody else's yet: it is filled exclusively, without a
        // transaction, and removed again when the input fails.
        cursor.SetExclusive(creating);
        cursor.OpenCursor();
        const auto records = TLineReader(cursor, codec, o.keepIds).ReadAll(std::cin);
        if (creating) {
            AppendEach(cursor, records);
            cursor.FlushBuffers({.trim = true, .flushOs = true});
        } else {
            s.directory->StartTransaction();
            try {
                AppendEach(cursor, records);
                s.directory->Commit(true, true);
            } catch (...) {
                s.directory->Rollback();
                throw;
            }
        }
        appended = records.size();
        cursor.CloseCursor();
    } catch (...) {
        // A table made for this input goes again when the input could not be stored.
        if (creating) s.directory->DeleteTable(o.table, false);
        throw;
    }
    std::cout << appended << (appended == 1 ? " record" : " records") << " appended\n";
    return 0;
}

int DeleteCommand(const TOptions& o) {
    const TTextCodec codec(o.codePage);
    TTableSession s(o);
    TDataCursor cursor(*s.directory);
    cursor.SetTableName(o.table);
    // Natural order walks the view's bitmap, so each next match is found quickly.
    cursor.SetNaturalOrder(true);
    cursor.OpenCursor();
    ApplyFilter(cursor, o, codec);
    const std::int32_t selected = cursor.GetRecordCount();
    std::vector<std::uint8_t> record(cursor.RecordSize());
    std::int32_t deleted = 0;
    s.directory->StartTransaction();
    try {
        for (;;) {
            cursor.SetToBegin();
            if (cursor.GetNextRecord(record) != 0) break;
            // Each deletion leaves the view; a record that stays would loop forever.
            if (deleted >= selected) throw std::runtime_error("a deleted record is still selected by the filter");
            cursor.DeleteRecord(record, true);
            ++deleted;
        }
        s.directory->Commit(true, true);
    } catch (...) {
        s.directory->Rollback();
        throw;
    }
    cursor.CloseCursor();
    std::cout << deleted << (deleted == 1 ? " record" : " records") << " deleted\n";
    return 0;
}

int VerifyCommand(const TOptions& o) {
    const TTextCodec codec(o.codePage);
    TOpenDataFile data(o);
    return VerifyTable(data.file, codec);
}

}  // namespace reruzo::cli
