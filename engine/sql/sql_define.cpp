// Running the table definition statements: CREATE TABLE and DROP TABLE through the
// database directory, CREATE INDEX and DROP INDEX through an exclusive cursor, and
// ALTER TABLE through the restructuring of the table (table_restructure.h).
//
// Nothing is lost by a definition statement: CREATE TABLE over an existing table is
// refused (the engine's table creation would replace its files) unless IF NOT EXISTS
// was written, and a unique index over duplicate keys is refused by the engine.
#include <algorithm>
#include <chrono>

#include "engine/errors/engine_errors.h"
#include "engine/sql/session_password.h"
#include "engine/sql/sql_statement.h"
#include "engine/sql/table_restructure.h"
#include "engine/table/data_session.h"

namespace reruzo {
namespace {

constexpr std::size_t kMaxNameLength = 30;

[[noreturn]] void Fail(const std::string& message) {
    RaiseEngineError(RERUZO_SQLPARSE, {.text = message.substr(0, 255)});
}

void RaiseCode(int code, const TDataDirectory& directory, const std::string& table) {
    if (code < 0) RaiseEngineError(static_cast<std::uint16_t>(-code), {.database = directory.Path(), .table = table});
}

TFieldDesc FieldOf(const TCreateField& c) {
    const bool sized = c.dataType == kFieldString || c.dataType == kFieldBytes || c.dataType == kFieldVarBytes;
    TFieldDesc d = MakeFieldDesc(c.name.substr(0, kMaxNameLength), c.dataType,
                                 sized ? static_cast<std::uint8_t>(std::min<std::uint16_t>(c.length, 255)) : 0, c.subType);
    if (c.dataType == kFieldBCD) d.Scale = c.scale;
    d.Description = c.description;
    d.Required = c.required ? 1 : 0;
    d.CharCase = c.charCase == ccLower ? kCharCaseLower : c.charCase == ccUpper ? kCharCaseUpper : kCharCaseKeep;
    d.MinValue = c.minimum;
    d.MaxValue = c.maximum;
    d.DefaultValue = c.defaultValue;
    return d;
}

// An index definition over fields found by name; a column that names no field is
// refused with its name.
TIndexDesc IndexOf(const TCreateIndex& c, const std::vector<TFieldDesc>& fields, const std::string& table) {
    TIndexDesc d;
    d.Name = c.name.substr(0, kMaxNameLength);
    d.Unique = c.unique ? 1 : 0;
    d.Descending = c.descending ? 1 : 0;
    d.CaseInsensitive = c.noCase ? 1 : 0;
    d.Compression = c.compression;
    if (c.columns.size() > kMaxKeyFields) {
        RaiseEngineError(RERUZO_INDEXLIMIT, {.table = table, .index = d.Name});
    }
    for (std::size_t i = 0; i < c.columns.size(); ++i) {
        const auto found = std::find_if(fields.begin(), fields.end(),
                                        [&](const TFieldDesc& f) { return SameSqlName(f.Name, c.columns[i]); });
        if (found == fields.end()) {
            Fail("Index column '" + c.columns[i] + "' is not a column of the table '" + table + "'");
        }
        d.FieldNumbers[i] = found->FieldNo;
    }
    d.FieldCount = static_cast<std::uint8_t>(c.columns.size());
    return d;
}

// A cursor on the statement's table, exclusively, closed however the statement ends.
struct TExclusiveCursor {
    TExclusiveCursor(TDataDirectory& directory, const TSourceTable& table) : cursor(directory) {
        cursor.SetTableName(table.tableName);
        cursor.SetInMemory(table.memory);
        cursor.SetExclusive(true);
        cursor.OpenCursor();
    }
    ~TExclusiveCursor() {
        try {
            cursor.CloseCursor();
        } catch (const ERERUZOEngineError&) {
        }
    }
    TDataCursor cursor;
};

}  // namespace

void TDataQuery::PrepareDefinition() {
    if (prepared_) return;
    prepared_ = true;
    // The table's directory: the in-memory one, the folder of a path, or the
    // statement's; no table is opened yet.
    TSourceTable& t = definition.table;
    TDataSession& session = statement_.Directory().Session();
    if (t.memory) {
        t.openedDirectory = &session.OpenDirectory("Memory", "");
    } else if (!t.directory.empty()) {
        t.openedDirectory = &session.OpenDirectory("", t.directory);
    }
}

void TDataQuery::ExecuteDefinition() {
    const auto start = std::chrono::steady_clock::now();
    rowCount = 0;
    valuesNulled = 0;
    TDataDirectory& directory = definition.table.openedDirectory ? *definition.table.openedDirectory : statement_.Directory();
    switch (kind) {
        case skCreateTable: ExecuteCreateTable(directory); break;
        case skCreateIndex: ExecuteCreateIndex(directory); break;
        case skAlterTable: ExecuteAlterTable(directory); break;
        case skDropTable: ExecuteDropTable(directory); break;
        case skDropIndex: ExecuteDropIndex(directory); break;
        default: break;
    }
    executionTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void TDataQuery::ExecuteCreateTable(TDataDirectory& directory) {
    const TTableDefinition& d = definition;
    const std::string& name = d.table.tableName;
    TTableStructure s;
    for (std::size_t i = 0; i < d.fields.size(); ++i) {
        s.Fields.push_back(FieldOf(d.fields[i]));
        s.Fields.back().FieldNo = static_cast<std::uint16_t>(i + 1);
    }
    if (!d.indexes.empty()) s.Primary = IndexOf(d.indexes.front(), s.Fields, name);
    s.LanguageId = d.languageId;
    s.SortId = d.sortId;
    s.BlobBlockSize = d.blobBlockSize;
    s.Description = d.description;
    s.Encrypted = d.encrypted;
    s.Password = d.password;
    s.UserMajorVersion = d.userMajor;
    s.UserMinorVersion = d.userMinor;
    if (directory.TableExists(name, d.table.memory)) {
        if (d.ifNotExists) return;
        // Creating would replace the files of the table there, rows and all.
        RaiseEngineError(RERUZO_TABLEEXISTS, {.database = directory.Path(), .table = name});
    }
    const TSessionPassword password(directory.Session(), d.password, d.encrypted);
    TDataTable* created = nullptr;
    RaiseCode(directory.CreateTable(name, std::move(s), created, {.InMemory = d.table.memory}), directory, name);
    RaiseCode(directory.CloseTable(created, false), directory, name);
}

void TDataQuery::ExecuteCreateIndex(TDataDirectory& directory) {
    TExclusiveCursor open(directory, definition.table);
    TDataCursor& c = open.cursor;
    const auto& progress = statement_.Progress();
    if (progress) c.ProgressCallback = [&progress](int percent) { progress(percent); };
    c.AddSecondaryIndex(IndexOf(definition.indexes.front(), c.Fields(), definition.table.tableName));
}

void TDataQuery::ExecuteDropTable(TDataDirectory& directory) {
    const std::string& name = definition.table.tableName;
    if (!directory.TableExists(name, definition.table.memory)) {
        if (definition.ifExists) return;
        RaiseEngineError(RERUZO_OSENOENT, {.database = directory.Path(), .table = name});
    }
    RaiseCode(directory.DeleteTable(name, definition.table.memory), directory, name);
}

void TDataQuery::ExecuteDropIndex(TDataDirectory& directory) {
    TExclusiveCursor open(directory, definition.table);
    open.cursor.DeleteIndex(SameSqlName(definition.indexName, "PRIMARY") ? std::string() : definition.indexName);
}

void TDataQuery::ExecuteAlterTable(TDataDirectory& directory) {
    const TTableDefinition& d = definition;
    const std::string& name = d.table.tableName;
    TRestructureRequest request;
    TTableStructure& s = request.structure;
    std::vector<TFieldDesc>& fields = s.Fields;
    {
        // What the table is now: its options, fields and indexes.
        TExclusiveCursor open(directory, d.table);
        TDataTable& table = open.cursor.Table();
        const TDataFile& data = table.Data();
        s.LanguageId = d.languageGiven ? d.languageId : data.LanguageId();
        s.SortId = d.languageGiven || d.sortGiven ? d.sortId : data.SortId();
        s.BlobBlockSize = d.blobBlockSizeGiven ? d.blobBlockSize : static_cast<std::uint16_t>(data.BlobBlockSize());
        s.Description = d.descriptionGiven ? d.description : data.Description();
        s.Encrypted = d.encryptionGiven ? d.encrypted : data.Encrypted();
        s.Password = d.encryptionGiven ? d.password : data.Password();
        s.UserMajorVersion = d.userMajorGiven ? d.userMajor : data.UserMajorVersion();
        s.UserMinorVersion = d.userMinorGiven ? d.userMinor : data.UserMinorVersion();
        fields = open.cursor.Fields();
        const TIndexFile& index = table.Index();
        // The definitions alone: the trees are built anew.
        auto definitionOf = [](const TIndexDesc& x) {
            TIndexDesc out;
            out.Name = x.Name;
            out.Descending = x.Descending;
            out.CaseInsensitive = x.CaseInsensitive;
            out.Unique = x.Unique;
            out.Compression = x.Compression;
            out.FieldCount = x.FieldCount;
            out.FieldDescending = x.FieldDescending;
            out.FieldNumbers = x.FieldNumbers;
            return out;
        };
        for (int slot = 1; slot <= index.Header().SecondaryCount; ++slot) {
            if (index.Descriptor(slot).Defined()) s.Secondaries.push_back(definitionOf(index.Descriptor(slot)));
        }
        if (!index.NoPrimaryIndex()) s.Primary = definitionOf(index.Descriptor(0));
    }
    // The column alterations in the order written; fields keep their numbers, new ones
    // take numbers above every number in use.
    std::uint16_t highest = 0;
    for (const TFieldDesc& f : fields) highest = std::max(highest, f.FieldNo);
    auto find = [&](const std::string& column) {
        const auto it = std::find_if(fields.begin(), fields.end(), [&](const TFieldDesc& f) { return SameSqlName(f.Name, column); });
        if (it == fields.end()) Fail("Column " + column + " not found");
        return it;
    };
    auto place = [&](const TCreateField& c) {
        if (c.at != 0 && (c.at < 1 || c.at > fields.size())) {
            Fail("AT column position must be between 1 and " + std::to_string(fields.size()));
        }
    };
    for (const TCreateField& c : d.fields) {
        if (c.add) {
            TFieldDesc f = FieldOf(c);
            f.FieldNo = ++highest;
            place(c);
            if (c.at != 0) {
                fields.insert(fields.begin() + (c.at - 1), f);
            } else {
                fields.push_back(f);
            }
        } else if (c.redefine) {
            place(c);
            auto it = find(c.name);
            TFieldDesc f = *it;
            if (c.dataType != 0) {
                const TFieldDesc typed = FieldOf(c);
                f.FieldType = typed.FieldType;
                f.SubType = typed.SubType;
                f.Length = typed.Length;
                f.Scale = typed.Scale;
            }
            if (!c.newName.empty()) f.Name = c.newName.substr(0, kMaxNameLength);
            if (c.descriptionGiven) f.Description = c.description;
            if (c.requiredGiven) f.Required = c.required ? 1 : 0;
            if (c.charCaseGiven) f.CharCase = FieldOf(c).CharCase;
            if (c.defaultGiven) f.DefaultValue = c.defaultValue;
            if (c.minimumGiven) f.MinValue = c.minimum;
            if (c.maximumGiven) f.MaxValue = c.maximum;
            fields.erase(it);
            const std::size_t at = c.at != 0 ? c.at - 1u : static_cast<std::size_t>(it - fields.begin());
            fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(std::min(at, fields.size())), f);
        } else if (c.drop) {
            fields.erase(find(c.name));
        }
    }
    // The primary key: kept, defined again or dropped.
    for (const TCreateIndex& c : d.indexes) {
        if (c.add && s.Primary.FieldCount > 0) Fail("Cannot REDEFINE the primary key using the ADD keyword");
        if (c.drop) {
            s.Primary = TIndexDesc{};
        } else {
            s.Primary = IndexOf(c, fields, name);
        }
    }
    // Every field a secondary index or the primary key uses must still be there.
    auto requireFields = [&](const TIndexDesc& index) {
        for (std::size_t k = 0; k < index.FieldCount; ++k) {
            const std::uint16_t no = index.FieldNumbers[k];
            if (std::none_of(fields.begin(), fields.end(), [no](const TFieldDesc& f) { return f.FieldNo == no; })) {
                Fail("The index '" + (index.Name.empty() ? std::string("PRIMARY") : index.Name) +
                     "' uses a column that is dropped; drop the index first");
            }
        }
    };
    requireFields(s.Primary);
    for (const TIndexDesc& index : s.Secondaries) requireFields(index);
    request.backup = !d.noBackup;
    request.lastAutoInc = d.lastAutoInc;
    if (const auto& progress = statement_.Progress()) request.progress = [&progress](int percent) { progress(percent); };
    valuesNulled = RestructureTable(directory, name, d.table.memory, std::move(request)).nulled;
}

}  // namespace reruzo
