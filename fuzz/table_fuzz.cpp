// Fuzz target for opening and reading a table from its files. The input holds the
// three files of one table:
//   0   u32  n, the length of the data file (.DAT)
//   4   u32  m, the length of the index file (.IDX)
//   8   n bytes of the data file, m bytes of the index file, and the rest the BLOB
//       file (.BLB)
// Lengths past the end of the input are cut to what is there; a length of 0 leaves
// that file out (a lost index file, a lost BLOB file), while the data file is always
// written. The files become memory files of the in-memory database, which the engine
// reads through the same handlers, caches and decoders as disk files. The session
// knows the password "fuzz", so encrypted tables open too.
//
// The table is opened read-only in natural order and read forwards and backwards:
// every record, every field in its plain and written-out forms, and every BLOB in
// pieces; then each index (primary and secondary) is walked in order. Engine errors
// are the answer to damage and end the walk they stop; anything else (a crash, a
// sanitizer report, another exception, a walk longer than the files could hold)
// is a fault.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/field_text.h"
#include "engine/storage/file_layer.h"
#include "engine/table/data_cursor.h"

namespace {

using namespace reruzo;

constexpr char kTableName[] = "fuzzed";
constexpr char kPassword[] = "fuzz";

// The files of the input; empty views stand for missing index and BLOB files.
struct TTableFiles {
    std::string_view data;
    std::string_view index;
    std::string_view blob;
};

bool Split(const std::uint8_t* bytes, std::size_t size, TTableFiles& files) {
    if (size < 8) return false;
    std::string_view rest(reinterpret_cast<const char*>(bytes) + 8, size - 8);
    const std::size_t dataLength = std::min<std::size_t>(GetLE<std::uint32_t>(bytes), rest.size());
    files.data = rest.substr(0, dataLength);
    rest.remove_prefix(dataLength);
    const std::size_t indexLength = std::min<std::size_t>(GetLE<std::uint32_t>(bytes + 4), rest.size());
    files.index = rest.substr(0, indexLength);
    files.blob = rest.substr(indexLength);
    return true;
}

void WriteMemoryFile(const std::string& name, std::string_view bytes) {
    TFileHandler file;
    file.SetInMemory(true);
    file.SetFileName(name);
    file.Create();
    if (!bytes.empty()) file.Write(bytes.data(), bytes.size());
    file.Close();
}

// Removes the table's memory files, so that the next input starts from none.
void RemoveMemoryFiles(const std::string& directory) {
    for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
        TFileList::Instance().DeleteFile(TFileKind::Memory, TableFileName(directory, kTableName, extension));
    }
}

// Reads every field of a record, BLOBs in pieces. A damaged BLOB is reported and let
// go; the walk goes on with the next field.
void ReadFields(TDataCursor& cursor, std::span<const std::uint8_t> record) {
    std::vector<std::uint8_t> value;
    std::array<std::uint8_t, 1024> piece;
    for (const TFieldDesc& f : cursor.Fields()) {
        const bool present = cursor.GetField(f.FieldNo, record, value);
        (void)FieldPlainValue(record, f);
        if (f.FieldType != kFieldBlob) {
            if (present) (void)FieldDataText(f.FieldType, value, TBooleanWords::Capitalised);
            continue;
        }
        if (!present) continue;
        try {
            const std::uint32_t size = cursor.GetBlobSize(record, f.FieldNo);
            std::uint64_t offset = 0;
            while (offset < size) {
                const std::size_t n = cursor.GetBlob(record, f.FieldNo, offset, piece);
                if (n == 0) __builtin_trap();  // the BLOB ended before its size
                offset += n;
            }
        } catch (const ERERUZOEngineError&) {
        }
        cursor.FreeBlob(record, f.FieldNo);
    }
}

// Walks the cursor's order from one end to the other. No walk can return more
// records than the files hold bytes: a longer one goes round in a circle.
void Walk(TDataCursor& cursor, bool forward, std::size_t limit) {
    std::vector<std::uint8_t> record(cursor.RecordSize());
    std::size_t steps = 0;
    if (forward) {
        cursor.SetToBegin();
    } else {
        cursor.SetToEnd();
    }
    while ((forward ? cursor.GetNextRecord(record) : cursor.GetPriorRecord(record)) == 0) {
        if (++steps > limit) __builtin_trap();
        (void)cursor.GetRecNo();
        ReadFields(cursor, record);
    }
    (void)cursor.GetRecordCount();
}

void ReadTable(TDataDirectory& directory, std::size_t limit) {
    TDataCursor cursor(directory);
    cursor.SetTableName(kTableName);
    cursor.SetReadOnly(true);
    cursor.SetNaturalOrder(true);
    cursor.OpenCursor();
    try {
        Walk(cursor, true, limit);
        Walk(cursor, false, limit);
    } catch (const ERERUZOEngineError&) {
    }
    // The indexes the index file defines, the primary one first.
    std::vector<std::string> names{""};
    const TIndexHeader& header = cursor.Table().Index().Header();
    for (int slot = 1; slot <= std::min<int>(header.SecondaryCount, kMaxSecondaryIndexes); ++slot) {
        const TIndexDesc& d = header.Slots[static_cast<std::size_t>(slot)];
        if (d.Defined()) names.push_back(d.Name);
    }
    for (const std::string& name : names) {
        try {
            cursor.SetIndexName(name);
            Walk(cursor, true, limit);
            if (name.empty()) Walk(cursor, false, limit);
        } catch (const ERERUZOEngineError&) {
        }
    }
    cursor.CloseCursor();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    TTableFiles files;
    if (!Split(bytes, size, files)) return 0;
    TDataSession session;
    session.AddPassword(kPassword);
    TDataDirectory& directory = session.OpenDirectory("Memory", "");
    // The folder the handlers put before the file names ("./" for none).
    const std::string folder = directory.Path().empty() ? "./" : directory.Path();
    WriteMemoryFile(TableFileName(folder, kTableName, ".DAT"), files.data);
    if (!files.index.empty()) WriteMemoryFile(TableFileName(folder, kTableName, ".IDX"), files.index);
    if (!files.blob.empty()) WriteMemoryFile(TableFileName(folder, kTableName, ".BLB"), files.blob);
    try {
        ReadTable(directory, size + 16);
    } catch (const ERERUZOEngineError&) {
    }
    session.CloseDirectory(directory);
    RemoveMemoryFiles(folder);
    return 0;
}
