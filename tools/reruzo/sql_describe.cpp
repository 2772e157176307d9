// Table names, CREATE statements and index lines for the SQL shell's dot-commands
// (see sql_describe.h).
#include "tools/reruzo/sql_describe.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "engine/table/data_table.h"
#include "platform/nls.h"

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

// `text` between two `quote`s. Inside a string of either kind the lexer reads a doubled
// quote of either kind as one, so both kinds are doubled.
std::string Quoted(const std::string& text, char quote) {
    std::string out(1, quote);
    for (char c : text) {
        out += c;
        if (c == '"' || c == '\'') out += c;
    }
    return out + quote;
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

namespace {

// The user major version of a table that CREATE TABLE makes without USER MAJOR VERSION.
constexpr std::uint16_t kSqlUserMajorVersion = 1;

// What stands for ENCRYPTED WITH: the password is never shown.
constexpr const char* kEncryptedComment =
    "/* the table is encrypted; its password is not shown: ENCRYPTED WITH and the password go here */";

// The words of COMPRESS, by the index's compression code.
constexpr const char* kCompressWords[] = {"NONE", "DUPBYTE", "TRAILBYTE", "FULL"};

// What the dialect writes for a field's type: the type itself, or the nearest one it
// has with `note` naming the field's own type, or no type at all.
struct TSqlType {
    std::string text;
    std::string note;
};

std::string WithSubType(const std::string& type, const TFieldDesc& f) {
    return type + " with subtype " + std::to_string(f.SubType);
}

TSqlType SqlType(const TFieldDesc& f) {
    // A type the dialect writes exactly only with these subtypes; any other subtype is
    // named in the note.
    auto plain = [&f](const std::string& type) -> TSqlType {
        if (f.SubType == kSubNone) return {type, {}};
        return {type, WithSubType(type, f)};
    };
    switch (f.FieldType) {
        case kFieldString: return plain("CHAR(" + std::to_string(f.Length) + ")");
        case kFieldDate: return plain("DATE");
        case kFieldBlob: {
            const bool made = f.SubType == kSubMemo || f.SubType == kSubBinary || f.SubType == kSubFormattedMemo ||
                              f.SubType == kSubGraphic || f.SubType == kSubTypedBinary;
            if (made) return {"BLOB(0, " + std::to_string(f.SubType - 21) + ")", {}};
            // Kinds 4 and 6, and subtypes that are no kind, are read as binary BLOBs.
            if (f.SubType == kSubBlobKind4 || f.SubType == kSubBlobKind6) {
                return {"BLOB(0, 2)", "BLOB of kind " + std::to_string(f.SubType - 21)};
            }
            return {"BLOB(0, 2)", WithSubType("BLOB", f)};
        }
        case kFieldBoolean: return plain("BOOLEAN");
        case kFieldSmallInt: return plain("SMALLINT");
        case kFieldInteger:
            if (f.SubType == kSubAutoInc) return {"AUTOINC", {}};
            return plain("INTEGER");
        case kFieldFloat:
            if (f.SubType == kSubMoney) return {"MONEY", {}};
            return plain("FLOAT");
        case kFieldBCD: return plain("DECIMAL(32, " + std::to_string(f.Scale) + ")");
        case kFieldBytes: return plain("BYTES(" + std::to_string(f.Length) + ")");
        case kFieldTime: return plain("TIME");
        case kFieldTimeStamp: return plain("TIMESTAMP");
        case kFieldWord: return plain("WORD");
        // Bytes of a varying length: the dialect has only those of a fixed length.
        case kFieldVarBytes:
            return {"BYTES(" + std::to_string(f.Length) + ")", "VARBYTES(" + std::to_string(f.Length) + ")"};
        case kFieldLargeInt: return plain("LARGEINT");
        default: return {{}, "field type " + std::to_string(f.FieldType)};
    }
}

// A comment saying what the table has that the text before it does not make.
std::string Unmade(const std::string& what) { return "/* the table has " + what + ", which SQL cannot make */"; }

// True for the texts the lexer gives back as they are when written without quotes: an
// unsigned number with or without decimals, or one with a minus sign, which a value
// of a field definition takes as part of the number.
bool IsPlainNumber(const std::string& text) {
    std::size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i > from;
    };
    if (!digits()) return false;
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    return i == text.size();
}

// A value of a field definition (DEFAULT, MIN, MAX): a plain number as it is, any
// other text as a string.
std::string ValueText(const std::string& bytes, const TTextCodec& codec) {
    return IsPlainNumber(bytes) ? bytes : QuotedText(bytes, codec);
}

// "name" TYPE and the column attributes the field has, in the order the dialect reads
// them: DESCRIPTION, NOT NULL, DEFAULT, MIN, MAX, CHARCASE.
std::string ColumnText(const TFieldDesc& f, const TTextCodec& codec) {
    const TSqlType type = SqlType(f);
    std::string out = QuotedName(codec.ToUtf8(f.Name));
    if (!type.text.empty()) out += " " + type.text;
    if (!type.note.empty()) out += " " + Unmade(type.note);
    if (!f.Description.empty()) out += " DESCRIPTION " + QuotedText(f.Description, codec);
    if (f.Required != 0) out += " NOT NULL";
    if (!f.DefaultValue.empty()) out += " DEFAULT " + ValueText(f.DefaultValue, codec);
    if (!f.MinValue.empty()) out += " MIN " + ValueText(f.MinValue, codec);
    if (!f.MaxValue.empty()) out += " MAX " + ValueText(f.MaxValue, codec);
    if (f.CharCase == kCharCaseUpper) {
        out += " CHARCASE UPPER";
    } else if (f.CharCase == kCharCaseLower) {
        out += " CHARCASE LOWER";
    } else if (f.CharCase != kCharCaseKeep) {
        out += " " + Unmade("character case " + std::to_string(f.CharCase));
    }
    return out;
}

// [UNIQUE ][DESC ][NOCASE ]: the words before PRIMARY KEY or INDEX. A primary index is
// unique whatever is written, so UNIQUE is left out there.
std::string IndexWords(const TIndexDesc& d, bool primary) {
    return std::string(d.Unique && !primary ? "UNIQUE " : "") + (d.Descending ? "DESC " : "") +
           (d.CaseInsensitive ? "NOCASE " : "");
}

// What follows an index's fields: its compression when it has one, and a comment for
// what the dialect cannot write.
std::string IndexTail(const TIndexDesc& d, bool primary) {
    std::string out;
    if (d.Compression >= 1 && d.Compression <= 3) {
        out += std::string(" COMPRESS ") + kCompressWords[d.Compression];
    } else if (d.Compression != 0) {
        out += " " + Unmade("index compression " + std::to_string(d.Compression));
    }
    for (std::size_t i = 0; i < d.FieldCount && i < kMaxKeyFields; ++i) {
        if (d.FieldDescending[i] != 0) {
            out += " " + Unmade("an index field in descending order of its own");
            break;
        }
    }
    if (primary && !d.Unique) out += " " + Unmade("a primary index that is not unique");
    return out;
}

// The table options the table has, one a line, in the order the dialect reads them.
// The password is never shown: an encrypted table has a comment in its place.
std::vector<std::string> TableOptions(const TDataFile& data, const TTextCodec& codec) {
    std::vector<std::string> out;
    if (const std::string description = data.Description(); !description.empty()) {
        out.push_back("DESCRIPTION " + QuotedText(description, codec));
    }
    if (data.BlobBlockSize() != kDefaultBlobBlockSize) {
        out.push_back("BLOB BLOCK SIZE " + std::to_string(data.BlobBlockSize()));
    }
    // The language by its name, and the sort order by its name when it is not the
    // language's first. Language 0 has only its first order.
    const auto languages = quorvane::nls::Languages();
    const auto language = std::find_if(languages.begin(), languages.end(), [&](const quorvane::nls::TLanguageInfo& l) {
        return l.id == data.LanguageId();
    });
    std::string line;
    if (language == languages.end()) {
        line = Unmade("language " + std::to_string(data.LanguageId()));
    } else if (data.LanguageId() != 0) {
        line = std::string("LANGUAGE ") + Quoted(language->name, '\'');
    }
    if (data.SortId() != 0) {
        std::vector<std::string> sorts;
        if (language != languages.end() && data.LanguageId() != 0) {
            sorts = quorvane::nls::SortOrderNames(static_cast<std::size_t>(language - languages.begin()));
        }
        line += line.empty() ? "" : " ";
        line += data.SortId() < sorts.size() ? "SORT " + Quoted(sorts[data.SortId()], '\'')
                                             : Unmade("sort order " + std::to_string(data.SortId()));
    }
    if (!line.empty()) out.push_back(line);
    if (data.Encrypted()) out.push_back(kEncryptedComment);
    // CREATE TABLE gives major version 1 when none is written, and USER MINOR VERSION
    // is read only after USER MAJOR VERSION.
    if (data.UserMajorVersion() != kSqlUserMajorVersion || data.UserMinorVersion() != 0) {
        out.push_back("USER MAJOR VERSION " + std::to_string(data.UserMajorVersion()));
    }
    if (data.UserMinorVersion() != 0) out.push_back("USER MINOR VERSION " + std::to_string(data.UserMinorVersion()));
    return out;
}

}  // namespace

std::string SqlTypeName(const TFieldDesc& f) {
    const TSqlType type = SqlType(f);
    if (type.note.empty()) return type.text;
    return type.text + (type.text.empty() ? "" : " ") + Unmade(type.note);
}

std::string QuotedName(const std::string& utf8) { return Quoted(utf8, '"'); }

std::string QuotedText(const std::string& text, const TTextCodec& codec) { return Quoted(codec.ToUtf8(text), '\''); }

std::string SchemaText(const std::string& directory, const std::string& table, const TTextCodec& codec) {
    const std::string name = WithoutDat(table);
    TTableFiles files(directory, name);
    std::vector<std::string> columns;
    for (const TFieldDesc& f : files.data.Fields()) columns.push_back(ColumnText(f, codec));
    const auto indexes = files.Indexes();
    std::string primary;
    if (!indexes.empty() && files.IsPrimary(indexes.front())) {
        const TIndexDesc& d = *indexes.front();
        primary = IndexWords(d, true) + "PRIMARY KEY " + FieldList(files.data, d, codec) + IndexTail(d, true);
    }
    const std::vector<std::string> options = TableOptions(files.data, codec);
    // A comma follows every column, the last one too when more follows; the primary
    // key and the options have none between them.
    std::string text = "CREATE TABLE " + QuotedName(name) + " (\n";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const bool more = i + 1 < columns.size() || !primary.empty() || !options.empty();
        text += "  " + columns[i] + (more ? ",\n" : "\n");
    }
    if (!primary.empty()) text += "  " + primary + "\n";
    for (const std::string& option : options) text += "  " + option + "\n";
    text += ");\n";
    for (const TIndexDesc* d : indexes) {
        if (files.IsPrimary(d)) continue;
        text += "CREATE " + IndexWords(*d, false) + "INDEX " + QuotedName(codec.ToUtf8(d->Name)) + " ON " +
                QuotedName(name) + " " + FieldList(files.data, *d, codec) + IndexTail(*d, false) + ";\n";
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
