// Table names, CREATE statements and index lines for the SQL shell's dot-commands
// (see sql_describe.h).
#include "tools/reruzo/sql_describe.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "engine/table/data_table.h"

namespace reruzo::cli {
namespace {

// The table's data file, and its index file when it has one, opened read-only.
struct TTableFiles {
    TTableFiles(const std::string& directory, const std::string& table) : data(directory, table), index(directory, table) {
        data.SetReadOnly(true);
        data.Open();
        data.VerifyStructure();
        if (index.Exists()) {
            index.SetReadOnly(true);
            index.SetEncrypted(data.Encrypted());
            index.Open();
        }
    }
    // The defined indexes: the primary one first (when it has fields), then the
    // secondary ones; "Sys Deleted" is the engine's own and left out.
    std::vector<const TIndexDesc*> Indexes() const {
        std::vector<const TIndexDesc*> out;
        if (!index.IsOpen()) return out;
        const TIndexHeader& h = index.Header();
        for (int slot = 0; slot <= h.SecondaryCount && slot < kSysDeletedSlot; ++slot) {
            const TIndexDesc& d = h.Slots[static_cast<std::size_t>(slot)];
            if (d.Defined() && (slot > 0 || d.FieldCount > 0)) out.push_back(&d);
        }
        return out;
    }
    bool IsPrimary(const TIndexDesc* d) const { return d == &index.Header().Slots[0]; }

    TDataFile data;
    TIndexFile index;
};

// ("f1", "f2"): the quoted names of an index's fields.
std::string FieldList(TDataFile& data, const TIndexDesc& d, const TTextCodec& codec) {
    std::string out = "(";
    for (std::size_t i = 0; i < d.FieldCount && i < kMaxKeyFields; ++i) {
        const std::uint16_t no = d.FieldNumbers[i];
        if (i > 0) out += ", ";
        out += no >= 1 && no <= data.FieldCount() ? QuotedName(codec.ToUtf8(data.FieldDesc(no).Name))
                                                   : "#" + std::to_string(no);
    }
    return out + ")";
}

std::string WithoutDat(std::string table) {
    if (table.size() > 4 && strcasecmp(table.c_str() + table.size() - 4, ".DAT") == 0) table.resize(table.size() - 4);
    return table;
}

}  // namespace

std::vector<std::string> TableNames(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && WithoutDat(name).size() < name.size()) names.push_back(WithoutDat(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string SqlTypeName(const TFieldDesc& f) {
    switch (f.FieldType) {
        case kFieldString: return "CHAR(" + std::to_string(f.Length) + ")";
        case kFieldDate: return "DATE";
        case kFieldBlob: {
            const int kind = f.SubType >= kSubMemo && f.SubType <= kSubTypedBinary ? f.SubType - 21 : 2;
            return "BLOB(0, " + std::to_string(kind) + ")";
        }
        case kFieldBoolean: return "BOOLEAN";
        case kFieldSmallInt: return "SMALLINT";
        case kFieldInteger: return f.SubType == kSubAutoInc ? "AUTOINC" : "INTEGER";
        case kFieldFloat: return f.SubType == kSubMoney ? "MONEY" : "FLOAT";
        case kFieldBCD: return "DECIMAL(32, " + std::to_string(f.Scale) + ")";
        case kFieldBytes: return "BYTES(" + std::to_string(f.Length) + ")";
        case kFieldTime: return "TIME";
        case kFieldTimeStamp: return "TIMESTAMP";
        case kFieldWord: return "WORD";
        case kFieldVarBytes: return "VARBYTES(" + std::to_string(f.Length) + ")";
        case kFieldLargeInt: return "LARGEINT";
        default: return "UNKNOWN(" + std::to_string(f.FieldType) + ")";
    }
}

std::string QuotedName(const std::string& utf8) {
    std::string out = "\"";
    for (char c : utf8) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string SchemaText(const std::string& directory, const std::string& table, const TTextCodec& codec) {
    const std::string name = WithoutDat(table);
    TTableFiles files(directory, name);
    std::vector<std::string> items;
    for (const TFieldDesc& f : files.data.Fields()) {
        items.push_back("  " + QuotedName(codec.ToUtf8(f.Name)) + " " + SqlTypeName(f) + (f.Required ? " NOT NULL" : ""));
    }
    const auto indexes = files.Indexes();
    if (!indexes.empty() && files.IsPrimary(indexes.front())) {
        items.push_back("  PRIMARY KEY " + FieldList(files.data, *indexes.front(), codec));
    }
    std::string text = "CREATE TABLE " + QuotedName(name) + " (\n";
    for (std::size_t i = 0; i < items.size(); ++i) text += items[i] + (i + 1 < items.size() ? ",\n" : "\n");
    text += ");\n";
    for (const TIndexDesc* d : indexes) {
        if (files.IsPrimary(d)) continue;
        text += std::string("CREATE ") + (d->Unique ? "UNIQUE " : "") + (d->Descending ? "DESC " : "") +
                (d->CaseInsensitive ? "NOCASE " : "") + "INDEX " + QuotedName(codec.ToUtf8(d->Name)) + " ON " +
                QuotedName(name) + " " + FieldList(files.data, *d, codec) + ";\n";
    }
    return text;
}

std::string IndexLines(const std::string& directory, const std::string& table, const TTextCodec& codec) {
    TTableFiles files(directory, WithoutDat(table));
    std::string text;
    for (const TIndexDesc* d : files.Indexes()) {
        text += files.IsPrimary(d) ? std::string("PRIMARY KEY") : QuotedName(codec.ToUtf8(d->Name));
        text += " " + FieldList(files.data, *d, codec);
        if (d->Unique) text += " unique";
        if (d->Descending) text += " descending";
        if (d->CaseInsensitive) text += " nocase";
        text += "\n";
    }
    return text;
}

}  // namespace reruzo::cli
