// The commands of the engine tool. `info` and `verify` read the table's files
// directly; `dump`, `load`, `append` and `delete` go through a session and a cursor,
// with the engine's locks, like any other user of the table. Writing is all or
// nothing: every input line is read and converted before the first record is
// written, and `append` and `delete` work in one transaction, so input that cannot
// be read, a line that cannot be stored or a record the engine refuses leaves the
// table as it was; `load` removes the table it made instead.
#include "tools/reruzo/commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>

#include "engine/errors/engine_errors.h"
#include "engine/table/data_cursor.h"
#include "engine/table/table_swap.h"
#include "engine/sql/expression_filter.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_format.h"
#include "engine/storage/file_layer.h"
#include "engine/storage/write_journal.h"
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

// An engine error passed on with the input it concerns: the names and values the
// engine quotes are cut like the tool's own.
std::string EngineMessage(const ERERUZOEngineError& e) { return ShortenQuoted(e.what()); }

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

// The lines of standard input, read from its file descriptor: a stream would end
// quietly at a read error, as if the input were complete.
class TInputLines {
public:
    // The next line, without its line feed; false at the end of the input. Raises
    // EInputError when standard input cannot be read, and for a NUL byte: the input
    // is text.
    bool Next(std::string& line) {
        line.clear();
        if (ended_) return false;
        ++number_;
        for (;;) {
            if (begin_ == end_ && !Fill()) {
                ended_ = true;
                return !line.empty();  // the last line may lack its line feed
            }
            const char* p = buffer_.data() + begin_;
            const std::size_t available = end_ - begin_;
            const auto* feed = static_cast<const char*>(std::memchr(p, '\n', available));
            const std::size_t length = feed ? static_cast<std::size_t>(feed - p) : available;
            if (const auto* zero = static_cast<const char*>(std::memchr(p, '\0', length))) {
                line.append(p, static_cast<std::size_t>(zero - p));
                throw EInputError(LineName(number_) + ", column " + std::to_string(Characters(line) + 1),
                                  "a NUL byte: the input must be text, one JSON object a line");
            }
            line.append(p, length);
            begin_ += length;
            if (feed) {
                ++begin_;
                return true;
            }
        }
    }

    // The number of the line Next gave last.
    int Number() const { return number_; }

private:
    // Columns count characters, as in the messages of the JSON reader.
    static std::size_t Characters(const std::string& text) {
        std::size_t n = 0;
        for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return n;
    }

    bool Fill() {
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, buffer_.data(), buffer_.size());
            if (n > 0) {
                begin_ = 0;
                end_ = static_cast<std::size_t>(n);
                return true;
            }
            if (n == 0) return false;
            if (errno == EINTR) continue;
            throw EInputError("standard input", "line " + std::to_string(number_) +
                                                    " cannot be read: " + std::strerror(errno));
        }
    }

    std::vector<char> buffer_ = std::vector<char>(1 << 16);
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
    int number_ = 0;
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
    std::vector<TPendingRecord> ReadAll(TInputLines& in) {
        std::vector<TPendingRecord> records;
        std::string text;
        while (in.Next(text)) {
            const int line = in.Number();
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

    // An identifier for --keep-ids. The last one of the range, 2147483647, is not
    // kept: the table would have no identifier left for the records after it.
    static std::int32_t Identifier(const TJsonValue& v, const std::string& where) {
        constexpr std::int64_t kLast = std::numeric_limits<std::int32_t>::max();
        const auto n = v.AsInteger();
        if (n && *n == kLast) {
            throw EInputError(where, "a kept record identifier is at most " + std::to_string(kLast - 1) + ": after " +
                                         std::to_string(kLast) + " the table could number no further record");
        }
        if (!n || *n < 1 || *n > kLast) {
            throw EInputError(where, "a record identifier is an integer from 1 to " + std::to_string(kLast - 1) +
                                         ", not " +
                                         (v.IsNumber() ? Excerpt(v.Text()) : std::string(TJsonValue::KindName(v.Kind()))));
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
                throw EInputError(where, "the table has no field \"" + Excerpt(key) + "\"");
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
            throw EInputError(LineName(p.line), EngineMessage(e));
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
                                 codec.ToUtf8(f.Name) + "\": " + EngineMessage(e));
    }
}

// The files a table consists of, each with whether it was there before `load` began.
struct TTableFiles {
    TTableFiles(const TDataDirectory& directory, const std::string& table) {
        const std::string folder = directory.Path().empty() ? "./" : directory.Path();
        for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
            TFileHandler file;
            file.SetFileName(TableFileName(folder, table, extension));
            const bool existed = file.Exists();
            files.push_back({TableFileName(folder, table, extension), existed});
        }
    }

    // Removes the files that were not there before: those of a table that could not
    // be made. Removing is done as far as it goes; the error that stopped `load` is
    // the one reported.
    void RemoveNew() const {
        for (const auto& [name, existed] : files) {
            if (existed) continue;
            TFileHandler file;
            file.SetFileName(name);
            try {
                if (file.Exists()) file.Delete();
            } catch (const ERERUZOEngineError&) {
            }
        }
    }

    std::vector<std::pair<std::string, bool>> files;
};

void CreateFromSchema(TTableSession& session, const TOptions& o, const TTextCodec& codec) {
    TDataDirectory& directory = *session.directory;
    const std::string schemaName = Excerpt(*o.schema);
    std::ifstream in(*o.schema, std::ios::binary);
    if (!in) throw EInputError(schemaName, "cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    TTableStructure structure;
    try {
        structure = ParseSchema(ParseJson(text.str()), codec);
    } catch (const EJsonError& e) {
        throw EInputError(JsonWhere(schemaName + ", line " + std::to_string(e.Line), e), e.what());
    }
    if (directory.TableExists(o.table, false)) {
        RaiseEngineError(RERUZO_TABLEEXISTS, {.database = directory.Path(), .table = o.table});
    }
    // The table's own password opens it for the records that follow.
    if (structure.Encrypted) session.session.AddPassword(structure.Password);
    // The engine may refuse the structure after it has begun to write the files; what
    // it wrote then would make the next `load` of the table fail as well.
    const TTableFiles files(directory, o.table);
    TDataTable* table = nullptr;
    int code = 0;
    try {
        code = directory.CreateTable(o.table, std::move(structure), table);
    } catch (...) {
        files.RemoveNew();
        throw;
    }
    if (code < 0) {
        files.RemoveNew();
        RaiseEngineError(static_cast<std::uint16_t>(-code), {.database = directory.Path(), .table = o.table});
    }
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
        TInputLines input;
        const auto records = TLineReader(cursor, codec, o.keepIds).ReadAll(input);
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
    std::vector<std::uint8_t> record(cursor.RecordSize());
    std::int32_t deleted = 0;
    // The transaction keeps every other writer off the table until it ends, so the
    // records are selected and counted inside it: an append by another process comes
    // wholly before (its records are selected like the rest) or waits until after.
    s.directory->StartTransaction();
    try {
        ApplyFilter(cursor, o, codec);
        const std::int32_t selected = cursor.GetRecordCount();
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

bool RollBackLeftJournal(const TOptions& o) {
    if (FinishTableSwap(o.directory, o.table)) {
        std::cerr << "reruzo: an unfinished change of the structure of " << o.tableArgument << " was completed\n";
    }
    if (!RollBackTableJournal(o.directory, o.table)) return false;
    std::cerr << "reruzo: an unfinished commit of " << o.tableArgument << " was rolled back\n";
    return true;
}

int VerifyCommand(const TOptions& o) {
    const TTextCodec codec(o.codePage);
    const std::string repair = "reruzo repair " + o.tableArgument;
    TDataFile data(o.directory, o.table);
    data.SetReadOnly(true);
    try {
        data.Open();
    } catch (const ERERUZOEngineError& e) {
        // A data file that is there but whose header or field descriptors cannot be read
        // is damage like any other.
        if (e.EngineCode != RERUZO_READERR && e.EngineCode != RERUZO_HEADERCORRUPT) throw;
        return ReportUnreadable(data.FileName(), e.what(), repair);
    }
    return VerifyTable(data, codec, repair);
}

}  // namespace reruzo::cli
