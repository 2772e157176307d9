// reruzo: the table engine's command-line tool.
//   reruzo info   TABLE            header and field descriptors
//   reruzo dump   TABLE [options]  the live records, one line each, fields separated by tabs
//   reruzo verify TABLE            structure check, free chain, record identifiers, and
//                                  the index file's trees against the records
// TABLE is a path to the table with or without ".DAT" ("data/vrqinfo", "vrqinfo.DAT").
// Options of dump: --codepage N converts strings from code page N to UTF-8 (936 for
// the knowledge-base tables); --deleted also shows deleted slots.
#include <cstring>
#include <iostream>
#include <string>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_build.h"
#include "engine/storage/data_file.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"
#include "platform/codepage.h"

namespace {

using namespace reruzo;

struct TTablePath {
    std::string directory;
    std::string table;
};

TTablePath SplitTablePath(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    const auto slash = path.rfind('/');
    TTablePath t;
    t.directory = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    t.table = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = t.table.rfind('.');
    if (dot != std::string::npos && strcasecmp(t.table.c_str() + dot, ".DAT") == 0) t.table.resize(dot);
    return t;
}

const char* TypeName(std::uint8_t type, std::uint8_t sub) {
    switch (type) {
        case kFieldString: return "String";
        case kFieldDate: return "Date";
        case kFieldBlob: return "BLOB";
        case kFieldBoolean: return "Boolean";
        case kFieldSmallInt: return "SmallInt";
        case kFieldInteger: return sub == kSubAutoInc ? "AutoInc" : "Integer";
        case kFieldFloat: return sub == kSubMoney ? "Money" : "Float";
        case kFieldBCD: return "BCD";
        case kFieldBytes: return "Bytes";
        case kFieldTime: return "Time";
        case kFieldTimeStamp: return "TimeStamp";
        case kFieldWord: return "Word";
        case kFieldVarBytes: return "VarBytes";
        case kFieldLargeInt: return "LargeInt";
        default: return "?";
    }
}

int Info(TDataFile& t) {
    const TDataHeader& h = t.Header();
    std::cout << "file             " << t.FileName() << "\n"
              << "format version   " << int{h.FormatVersion} << "\n"
              << "change count     " << h.ChangeCount << "\n"
              << "record size      " << h.RecordSize << "\n"
              << "slots            " << t.SlotCount() << " (next record " << h.NextRecordNo << ")\n"
              << "first free slot  " << h.FirstFreeRecord << "\n"
              << "last identifier  " << h.LastAutoIncValue << "\n"
              << "language, sort   " << h.LanguageId << ", " << h.SortId << "\n"
              << "user version     " << h.UserMajorVersion << "." << h.UserMinorVersion << "\n"
              << "encrypted        " << (t.Encrypted() ? "yes" : "no") << "\n"
              << "BLOB fields      " << h.BlobFieldCount << " (block size " << t.BlobBlockSize() << ")\n"
              << "description      " << t.Description() << "\n\n"
              << "  no  name                            type       length scale offset size\n";
    for (const TFieldDesc& f : t.Fields()) {
        char line[160];
        std::snprintf(line, sizeof line, "%4u  %-30s  %-10s %6u %5u %6u %4u%s\n", f.FieldNo,
                      f.Name.c_str(), TypeName(f.FieldType, f.SubType), f.Length, f.Scale, f.Offset,
                      f.DataSize, f.Required ? "  required" : "");
        std::cout << line;
    }
    TIndexFile index(t.Directory(), t.TableName());
    if (!index.Exists()) {
        std::cout << "\nno index file\n";
        return 0;
    }
    index.SetReadOnly(true);
    index.SetEncrypted(t.Encrypted());
    index.Open();
    const TIndexHeader& h2 = index.Header();
    std::cout << "\nindex file       " << index.FileName() << "\n"
              << "pages            " << h2.PageCount << ", records " << h2.RecordCount
              << (h2.NoPrimary ? ", natural order (no primary index)" : "") << "\n\n"
              << "slot  name                            key  unique desc case comp root  fields\n";
    for (int slot = 0; slot < kDescriptorSlots; ++slot) {
        const TIndexDesc& d = h2.Slots[static_cast<std::size_t>(slot)];
        if (!d.Defined() || (slot > h2.SecondaryCount && slot != kSysDeletedSlot)) continue;
        std::string fields;
        for (std::size_t i = 0; i < d.FieldCount && i < kMaxKeyFields; ++i) {
            if (!fields.empty()) fields += ";";
            const std::uint16_t no = d.FieldNumbers[i];
            fields += no >= 1 && no <= t.FieldCount() ? t.FieldDesc(no).Name : "?" + std::to_string(no);
            if (d.FieldDescending[i]) fields += " desc";
        }
        char line[200];
        std::snprintf(line, sizeof line, "%4d  %-30s  %4u  %-6s %-4s %-4s %4u %5d  %s\n", slot,
                      slot == 0 ? "(primary)" : d.Name.c_str(), d.KeyLength, d.Unique ? "yes" : "no",
                      d.Descending ? "yes" : "no", d.CaseInsensitive ? "yes" : "no", d.Compression, d.Root,
                      fields.c_str());
        std::cout << line;
    }
    return 0;
}

// One field of a record as text; strings converted from `codePage` when it is not 0.
std::string FieldValueText(std::span<const std::uint8_t> r, const TFieldDesc& f, int codePage) {
    if (FieldIsNull(r, f)) return "<null>";
    switch (f.FieldType) {
        case kFieldString: {
            const std::string s = GetStringField(r, f);
            return codePage ? quorvane::codepage::ToUtf8(s, codePage) : s;
        }
        case kFieldBoolean: return GetBooleanField(r, f) ? "True" : "False";
        case kFieldFloat: return FloatText(GetFloatField(r, f));
        case kFieldBCD: return BcdText(FieldData(r, f));
        case kFieldDate: return DateText(static_cast<std::int32_t>(GetIntegerField(r, f)));
        case kFieldTime: return TimeText(static_cast<std::int32_t>(GetIntegerField(r, f)));
        case kFieldTimeStamp: {
            auto parts = SplitTimeStamp(GetFloatField(r, f));
            return parts ? DateText(parts->day) + " " + TimeText(parts->ms) : "?";
        }
        case kFieldBlob: return "<blob " + std::to_string(GetIntegerField(r, f)) + ">";
        case kFieldBytes:
        case kFieldVarBytes: {
            static const char* hex = "0123456789ABCDEF";
            std::string out;
            for (std::uint8_t b : FieldData(r, f)) {
                out += hex[b >> 4];
                out += hex[b & 15];
            }
            return out;
        }
        default: return std::to_string(GetIntegerField(r, f));
    }
}

int Dump(TDataFile& t, int codePage, bool deleted) {
    std::string head = deleted ? "#slot" : "";
    for (const TFieldDesc& f : t.Fields()) head += (head.empty() ? "" : "\t") + f.Name;
    std::cout << head << "\n";
    for (std::int32_t n = 1; n <= t.SlotCount(); ++n) {
        TPinnedRecord r(t.GetRecord(nullptr, n, true, false, true));
        const bool live = r->State() == 0;
        if (!live && !deleted) continue;
        std::string line = deleted ? std::to_string(n) + (live ? "" : "*") : "";
        for (const TFieldDesc& f : t.Fields()) {
            if (!line.empty() || &f != &t.Fields().front()) line += "\t";
            line += f.HasSlot() || f.IsAutoInc() ? FieldValueText(r->Data(), f, codePage) : "";
        }
        std::cout << line << "\n";
    }
    return 0;
}

int Verify(TDataFile& t) {
    auto problems = t.CheckRecords();
    TIndexFile index(t.Directory(), t.TableName());
    if (index.Exists()) {
        index.SetReadOnly(true);
        index.SetEncrypted(t.Encrypted());
        index.Open();
        index.CheckVersion();
        index.Validate(t.Fields());
        for (auto& p : CheckTableIndexes(t, index)) problems.push_back(std::move(p));
    } else {
        problems.push_back("the index file " + index.FileName() + " is missing");
    }
    for (const auto& p : problems) std::cout << p << "\n";
    std::int32_t live = 0;
    for (std::int32_t n = 1; n <= t.SlotCount(); ++n) {
        TPinnedRecord r(t.GetRecord(nullptr, n, true, false, true));
        live += r->State() == 0 ? 1 : 0;
    }
    std::cout << t.FileName() << ": " << (problems.empty() ? "ok" : "damaged") << ", " << live
              << " records in " << t.SlotCount() << " slots\n";
    return problems.empty() ? 0 : 1;
}

void Usage() {
    std::cerr << "usage: reruzo info TABLE\n"
                 "       reruzo dump TABLE [--codepage N] [--deleted]\n"
                 "       reruzo verify TABLE\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        Usage();
        return 2;
    }
    const std::string command = argv[1];
    int codePage = 0;
    bool deleted = false;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--codepage") == 0 && i + 1 < argc) {
            codePage = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--deleted") == 0) {
            deleted = true;
        } else {
            Usage();
            return 2;
        }
    }
    try {
        const TTablePath path = SplitTablePath(argv[2]);
        TDataFile table(path.directory, path.table);
        table.SetReadOnly(true);
        table.Open();
        table.VerifyStructure();
        if (command == "info") return Info(table);
        if (command == "dump") return Dump(table, codePage, deleted);
        if (command == "verify") return Verify(table);
        Usage();
        return 2;
    } catch (const ERERUZOEngineError& e) {
        std::cerr << "reruzo: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "reruzo: " << e.what() << "\n";
        return 1;
    }
}
