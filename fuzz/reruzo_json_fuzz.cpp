// Fuzz target for the JSON input of the engine tool, as `reruzo load` reads it: the
// first line of the input is the schema document, every further line a record (one
// JSON object a line, blank lines skipped).
//
//   - The whole input goes through the JSON reader; what it reads must write out as
//     JSON that reads back to the same text again.
//   - The schema becomes a table structure (EJsonError when it is refused) and, when
//     the engine accepts it, an in-memory table (in code page 936, the tool's default).
//   - Each record line is converted field by field as `load` converts it (EJsonError
//     or EValueError when refused) and appended with its BLOBs; the engine may refuse
//     a record with an engine error.
//   - Every stored record is read back and written as `dump` writes it; each line
//     must be JSON, and each field's JSON must convert back to the data it came from.
// Any other exception, a crash or a sanitizer report is a fault.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_format.h"
#include "engine/storage/file_layer.h"
#include "engine/table/data_cursor.h"
#include "tools/reruzo/json.h"
#include "tools/reruzo/schema.h"
#include "tools/reruzo/values.h"

namespace {

using namespace reruzo;
using namespace reruzo::cli;

constexpr char kTableName[] = "loaded";
constexpr int kCodePage = 936;

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return s;
}

// The reader's output written and read again gives the same text.
void CheckRoundTrip(std::string_view text) {
    TJsonValue value;
    try {
        value = ParseJson(text);
    } catch (const EJsonError&) {
        return;
    }
    for (int indent : {-1, 2}) {
        std::string once;
        WriteJson(once, value, indent);
        std::string twice;
        try {
            WriteJson(twice, ParseJson(once), indent);
        } catch (const EJsonError&) {
            __builtin_trap();  // the writer made JSON its own reader refuses
        }
        if (once != twice) __builtin_trap();
    }
}

struct TPendingBlob {
    std::uint16_t fieldNo;
    std::vector<std::uint8_t> contents;
};

// A record line converted as `load` converts it; nullopt when a value is refused.
std::optional<std::vector<std::uint8_t>> Convert(TDataCursor& cursor, const std::map<std::string, std::size_t>& byName,
                                                 const TTextCodec& codec, std::string_view line, int number,
                                                 std::vector<TPendingBlob>& blobs) {
    TJsonValue object;
    try {
        object = ParseJson(line, number);
    } catch (const EJsonError&) {
        return std::nullopt;
    }
    if (!object.IsObject()) return std::nullopt;
    std::vector<std::uint8_t> record(cursor.RecordSize());
    cursor.InitRecordDefaults(record);
    blobs.clear();
    for (const auto& [key, value] : object.Members()) {
        const auto it = byName.find(Upper(key));
        if (it == byName.end()) {
            if (key == "_slot" || key == "_id") continue;
            return std::nullopt;
        }
        const TFieldDesc& f = cursor.Fields()[it->second];
        if (f.IsAutoInc()) continue;
        try {
            if (IsBlobField(f)) {
                std::erase_if(blobs, [&](const TPendingBlob& b) { return b.fieldNo == f.FieldNo; });
                std::vector<std::uint8_t> contents = BlobDataFromJson(value, f, codec);
                if (!contents.empty()) blobs.push_back({f.FieldNo, std::move(contents)});
                continue;
            }
            const auto data = FieldDataFromJson(value, f, codec);
            cursor.PutField(f.FieldNo, record,
                            data ? std::span<const std::uint8_t>(*data) : std::span<const std::uint8_t>(), !data);
        } catch (const EValueError&) {
            return std::nullopt;
        }
    }
    return record;
}

// Reads every stored record back as `dump` writes it, and takes each field's JSON
// through the conversion of `load` again: it must store the same data.
void DumpAndReload(TDataCursor& cursor, const TTextCodec& codec) {
    std::vector<std::uint8_t> record(cursor.RecordSize());
    std::vector<std::uint8_t> again(cursor.RecordSize());
    std::vector<std::uint8_t> stored, reloaded;
    cursor.SetToBegin();
    while (cursor.GetNextRecord(record) == 0) {
        std::string line = "{";
        for (const TFieldDesc& f : cursor.Fields()) {
            if (line.size() > 1) line += ',';
            AppendJsonString(line, codec.ToUtf8(f.Name));
            line += ':';
            std::string value;
            if (IsBlobField(f)) {
                AppendBlobJson(value, ReadBlobContents(cursor, record, f), f, codec);
            } else {
                AppendFieldJson(value, record, f, codec);
            }
            line += value;
            if (IsBlobField(f) || f.IsAutoInc()) continue;
            try {
                const auto data = FieldDataFromJson(ParseJson(value), f, codec);
                cursor.PutField(f.FieldNo, again, data ? std::span<const std::uint8_t>(*data)
                                                      : std::span<const std::uint8_t>(), !data);
            } catch (const EJsonError&) {
                __builtin_trap();  // a field written as JSON that does not read
            } catch (const EValueError&) {
                __builtin_trap();  // a field written in a form its own conversion refuses
            }
            const bool present = cursor.GetField(f.FieldNo, record, stored);
            if (cursor.GetField(f.FieldNo, again, reloaded) != present || (present && stored != reloaded)) {
                __builtin_trap();  // the written value stands for other data
            }
        }
        line += "}";
        try {
            (void)ParseJson(line);
        } catch (const EJsonError&) {
            __builtin_trap();
        }
    }
}

void LoadRecords(TDataDirectory& directory, const TTextCodec& codec, std::string_view lines) {
    TDataCursor cursor(directory);
    cursor.SetTableName(kTableName);
    cursor.SetExclusive(true);
    cursor.OpenCursor();
    std::map<std::string, std::size_t> byName;
    for (std::size_t i = 0; i < cursor.Fields().size(); ++i) {
        byName.emplace(Upper(codec.ToUtf8(cursor.Fields()[i].Name)), i);
    }
    std::vector<TPendingBlob> blobs;
    int number = 1;
    while (!lines.empty()) {
        ++number;
        const std::size_t feed = lines.find('\n');
        const std::string_view line = lines.substr(0, feed);
        lines.remove_prefix(feed == std::string_view::npos ? lines.size() : feed + 1);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        auto record = Convert(cursor, byName, codec, line, number, blobs);
        if (!record) continue;
        try {
            for (const TPendingBlob& b : blobs) cursor.PutBlob(*record, b.fieldNo, 0, b.contents);
            cursor.AppendRecord(*record, false);
        } catch (const ERERUZOEngineError&) {
            cursor.FreeBlobs();
        }
    }
    DumpAndReload(cursor, codec);
    cursor.CloseCursor();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    CheckRoundTrip(text);

    const std::size_t feed = text.find('\n');
    const std::string_view schemaText = text.substr(0, feed);
    const std::string_view lines = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
    const TTextCodec codec(kCodePage);
    TTableStructure structure;
    try {
        structure = ParseSchema(ParseJson(schemaText), codec);
    } catch (const EJsonError&) {
        return 0;
    }
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("Memory", "");
    if (structure.Encrypted) session.AddPassword(structure.Password);
    TDataTable* table = nullptr;
    int code = -1;
    try {
        code = directory.CreateTable(kTableName, std::move(structure), table);
    } catch (const ERERUZOEngineError&) {
    }
    if (code == 0) {
        directory.CloseTable(table, false);
        try {
            LoadRecords(directory, codec, lines);
        } catch (const ERERUZOEngineError&) {
        }
    }
    session.CloseDirectory(directory);
    // A table the engine refused half-way may have left files: the next input starts
    // from none.
    for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
        TFileList::Instance().DeleteFile(TFileKind::Memory, TableFileName("./", kTableName, extension));
    }
    return 0;
}
