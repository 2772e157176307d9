// reruzo: the table engine's command-line tool.
//   reruzo info   TABLE            header and field descriptors
//   reruzo dump   TABLE [options]  the live records, one line each, fields separated by tabs
//   reruzo verify TABLE            structure check, free chain and record identifiers
// TABLE is a path to the table with or without ".DAT" ("data/vrqinfo", "vrqinfo.DAT").
// Options of dump: --codepage N converts strings from code page N to UTF-8 (936 for
// the knowledge-base tables); --deleted also shows deleted slots.
#include <cstring>
#include <iostream>
#include <string>

#include "components/reruzo_dataset.h"
#include "engine/errors/engine_errors.h"
#include "engine/storage/table_image.h"
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

int Info(const TTableImage& t) {
    const TDataHeader& h = t.Header;
    std::cout << "file             " << t.FileName << "\n"
              << "format version   " << int{h.FormatVersion} << "\n"
              << "change count     " << h.ChangeCount << "\n"
              << "record size      " << h.RecordSize << "\n"
              << "slots            " << t.SlotCount() << " (next record " << h.NextRecordNo << ")\n"
              << "first free slot  " << h.FirstFreeRecord << "\n"
              << "last identifier  " << h.LastAutoIncValue << "\n"
              << "language, sort   " << h.LanguageId << ", " << h.SortId << "\n"
              << "user version     " << h.UserMajorVersion << "." << h.UserMinorVersion << "\n"
              << "encrypted        " << (h.Encrypted ? "yes" : "no") << "\n"
              << "BLOB fields      " << h.BlobFieldCount << " (block size "
              << (h.BlobBlockSize ? h.BlobBlockSize : 512) << ")\n"
              << "description      " << t.Description() << "\n\n"
              << "  no  name                            type       length scale offset size\n";
    for (const TFieldDesc& f : t.Fields) {
        char line[160];
        std::snprintf(line, sizeof line, "%4u  %-30s  %-10s %6u %5u %6u %4u%s\n", f.FieldNo,
                      f.Name.c_str(), TypeName(f.FieldType, f.SubType), f.Length, f.Scale, f.Offset,
                      f.DataSize, f.Required ? "  required" : "");
        std::cout << line;
    }
    return 0;
}

int Dump(TTableImage t, int codePage, bool deleted) {
    // Show deleted slots by marking them live in the copy handed to the dataset.
    std::vector<bool> wasDeleted(t.SlotCount(), false);
    if (deleted) {
        for (std::size_t n = 1; n <= t.SlotCount(); ++n) {
            wasDeleted[n - 1] = !t.SlotInUse(n);
            t.Slots[n - 1][0] = 0;
        }
    }
    TImageDataSet ds(std::move(t));
    ds.Open();
    auto text = [codePage](const std::string& s) {
        return codePage ? quorvane::codepage::ToUtf8(s, codePage) : s;
    };
    std::string head = deleted ? "#slot\t" : "";
    for (std::size_t i = 0; i < ds.Fields().size(); ++i) head += (i ? "\t" : "") + ds.Fields()[i]->FieldName();
    std::cout << head << "\n";
    for (ds.First(); !ds.Eof(); ds.Next()) {
        std::string line;
        if (deleted) line = std::to_string(ds.RecNo()) + (wasDeleted[static_cast<std::size_t>(ds.RecNo()) - 1] ? "*" : "") + "\t";
        for (std::size_t i = 0; i < ds.Fields().size(); ++i) {
            const TField& f = *ds.Fields()[i];
            if (i) line += "\t";
            line += f.IsNull() ? "<null>" : text(f.AsString());
        }
        std::cout << line << "\n";
    }
    return 0;
}

int Verify(const TTableImage& t) {
    const auto problems = CheckTableImage(t);
    for (const auto& p : problems) std::cout << p << "\n";
    std::size_t live = 0;
    for (std::size_t n = 1; n <= t.SlotCount(); ++n) live += t.SlotInUse(n) ? 1 : 0;
    std::cout << t.FileName << ": " << (problems.empty() ? "ok" : "damaged") << ", " << live
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
        TTableImage image = ReadTableImage(path.directory, path.table);
        if (command == "info") return Info(image);
        if (command == "dump") return Dump(std::move(image), codePage, deleted);
        if (command == "verify") return Verify(image);
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
