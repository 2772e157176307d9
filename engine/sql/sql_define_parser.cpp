// The grammars of CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX:
// column definitions with their data types and attributes, the primary key clause,
// index definitions, the table options and ALTER TABLE's alterations, with the
// message of every way they can go wrong. Parsing only records what was written;
// no table is opened or changed here.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <initializer_list>

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression_check.h"
#include "engine/sql/sql_grammar.h"
#include "engine/sql/sql_statement.h"
#include "engine/storage/byte_order.h"

namespace reruzo {
namespace {

using namespace grammar;

constexpr const char* kColumnContext = "table column";
constexpr const char* kIndexColumnContext = "index column";
constexpr const char* kIndexNameContext = "index name expression";
constexpr const char* kAutoIncContext = "next auto-increment number";

// What a definition keeps of a field or index name, and of a field's texts.
constexpr std::size_t kNameLength = 30;
constexpr std::size_t kTextLength = 50;

// BYTES without a length.
constexpr std::uint16_t kDefaultBytesLength = 10;

[[noreturn]] void Expected(const TExpressionParser& p, const std::string& message) {
    p.Fail(message + p.TokenText() + "'");
}

// Steps over `keyword`, which must be the current word.
void Require(TExpressionParser& p, const char* keyword, const char* message) {
    if (!p.TokenIs(keyword)) Expected(p, message);
    p.NextToken();
}

bool IsAnyOf(const TExpressionParser& p, std::initializer_list<const char*> words) {
    for (const char* word : words) {
        if (p.TokenIs(word)) return true;
    }
    return false;
}

bool BeginsPrimaryKey(const TExpressionParser& p) {
    return IsAnyOf(p, {"CONSTRAINT", "PRIMARY", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"});
}

bool BeginsTableOption(const TExpressionParser& p) {
    return IsAnyOf(p, {"DESCRIPTION", "BLOB", "LANGUAGE", "ENCRYPTED", "USER"});
}

// An unsigned integer written after `keyword` that fits 16 bits and is at least
// `minimum`; anything else is refused as not being such an integer.
std::uint16_t ReadSmallInteger(TExpressionParser& p, const char* keyword, std::uint16_t minimum = 0) {
    const std::string text = p.TokenText();
    std::uint16_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (p.TokenKind() != tkInteger || ec != std::errc() || end != text.data() + text.size() || value < minimum) {
        Expected(p, std::string("Integer value expected after ") + keyword + " keyword, instead found '");
    }
    p.NextToken();
    return value;
}

// A text of a definition (a description, a password): one token, a quoted string
// without its quotes.
std::string ReadText(TExpressionParser& p) {
    std::string text = p.TokenText();
    p.NextToken();
    return text;
}

// A value of a field definition (DEFAULT, MIN, MAX): one token, as a text is; a sign
// right before a number is part of the value, so that a negative bound can be
// written.
std::string ReadValue(TExpressionParser& p) {
    if (!p.TokenIsChar('-') && !p.TokenIsChar('+')) return ReadText(p);
    std::string sign = ReadText(p);
    if (p.TokenKind() != tkInteger && p.TokenKind() != tkFloat) return sign;
    return sign + ReadText(p);
}

// A column name parsed as a primary in `context`: a symbol, a bracketed name or a
// quoted string; its text goes to `name`. A qualified name, a constant or a function
// is refused. The node returned is a column node of that name, ready to carry a data
// type.
TExpTree ParseColumnName(TExpressionParser& p, const char* context, std::string& name) {
    const std::string written = p.TokenText();
    TExpTree node(p.ParsePrimary(0));
    TExpToken& n = *node;
    const bool plainColumn = n.kind == nkColumn && n.qualifier.empty() && n.text == n.name;
    const bool quoted = n.kind == nkConstant && n.dataType == kFieldString && !n.isNull && !n.isParameter;
    if (!plainColumn && !quoted) {
        p.Fail(std::string("Column name expected in ") + context + ", instead found '" +
               (n.kind == nkColumn ? n.text : written) + "'");
    }
    if (quoted) {
        const char* bytes = reinterpret_cast<const char*>(n.value.data());
        n.name.assign(bytes, ::strnlen(bytes, n.value.size()));
        n.kind = nkColumn;
        n.dataType = 0;
        n.dataSize = 0;
    }
    name = n.name;
    return node;
}

TExpToken* NullConstant() {
    TExpToken* n = AcquireNode();
    n->kind = nkConstant;
    n->text = "NULL";
    n->isNull = true;
    return n;
}

// Gives `field` the data type that `typed` carries, whose arguments are its operands
// from `first` on. The arguments are checked as a CAST to the type checks them (a
// length from 1 to 250, an integer scale, a BLOB type of 1, 2, 3, 5 or 7), with
// messages that end in " in table column".
void ApplyDataType(TCreateField& field, const TExpToken& typed, std::size_t first) {
    TExpTree cast(AcquireNode());
    cast->kind = nkFunction;
    cast->op = opCast;
    cast->text = "CAST";
    cast->dataType = typed.dataType;
    cast->subType = typed.subType;
    // NULL may be cast to every type, so only the arguments are judged.
    AddOperand(cast.get(), NullConstant());
    bool arguments = false;
    for (std::size_t i = first; i < typed.operands.size(); ++i) {
        const TExpToken* argument = typed.operands[i];
        // Only a constant can be a length, a scale or a BLOB type. Anything else
        // stands in as NULL, which is refused as not being an integer without a name
        // in it being looked up.
        AddOperand(cast.get(), argument->kind == nkConstant ? CloneTree(argument) : NullConstant());
        arguments = true;
    }
    TExpToken* root = cast.get();
    Validate(root, {.errorCode = RERUZO_SQLPARSE, .contextName = kColumnContext});
    field.dataType = cast->dataType;
    field.subType = cast->subType;
    field.length = 0;
    field.scale = 0;
    switch (cast->dataType) {
        case kFieldString: field.length = static_cast<std::uint16_t>(cast->dataSize - 1); break;
        case kFieldBytes:
            field.length = arguments ? static_cast<std::uint16_t>(cast->dataSize) : kDefaultBytesLength;
            break;
        case kFieldBCD: field.scale = cast->scale; break;
        default: break;
    }
}

// The attributes after a column's name and data type, each optional, in this order;
// AT only where a column is altered. Each one written sets its given flag.
void ParseAttributes(TExpressionParser& p, TCreateField& field, bool alter) {
    if (alter && p.TokenIs("AT")) {
        p.NextToken();
        field.at = ReadSmallInteger(p, "AT", 1);
    }
    if (p.TokenIs("DESCRIPTION")) {
        p.NextToken();
        field.description = ReadText(p).substr(0, kTextLength);
        field.descriptionGiven = true;
    }
    if (p.TokenIs("NOT")) {
        p.NextToken();
        Require(p, "NULL", "NULL keyword expected after NOT keyword, instead found '");
        field.required = true;
        field.requiredGiven = true;
    }
    if (p.TokenIs("DEFAULT")) {
        p.NextToken();
        field.defaultValue = ReadValue(p).substr(0, kTextLength);
        field.defaultGiven = true;
    }
    if (p.TokenIs("MIN") || p.TokenIs("MINIMUM")) {
        p.NextToken();
        field.minimum = ReadValue(p).substr(0, kTextLength);
        field.minimumGiven = true;
    }
    if (p.TokenIs("MAX") || p.TokenIs("MAXIMUM")) {
        p.NextToken();
        field.maximum = ReadValue(p).substr(0, kTextLength);
        field.maximumGiven = true;
    }
    if (p.TokenIs("CHARCASE")) {
        p.NextToken();
        if (p.TokenIs("UPPER")) {
            field.charCase = ccUpper;
        } else if (p.TokenIs("LOWER")) {
            field.charCase = ccLower;
        } else if (p.TokenIs("NOCHANGE")) {
            field.charCase = ccNoChange;
        } else {
            Expected(p, "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
        }
        field.charCaseGiven = true;
        p.NextToken();
    }
}

// name data-type [attributes]: a column of CREATE TABLE or of ALTER TABLE's ADD.
TCreateField ParseColumnDefinition(TExpressionParser& p, bool alter) {
    TCreateField field;
    p.MarkStart();
    {
        const TClauseContext clause(p, kColumnContext);
        field.nameTree = ParseColumnName(p, kColumnContext, field.name);
        p.ParseDataType(field.nameTree.get(), 0, false);
    }
    field.name.resize(std::min(field.name.size(), kNameLength));
    ApplyDataType(field, *field.nameTree, 0);
    ParseAttributes(p, field, alter);
    field.text = p.TextSinceMark();
    return field;
}

// Whether the token after a REDEFINE's column (and its data type) is a new name for
// it: anything but the end of the alteration, an attribute, or a word that may
// follow the list of alterations.
bool BeginsNewName(const TExpressionParser& p) {
    if (p.TokenKind() == tkEnd || p.TokenIsChar(',') || p.TokenIsChar(';')) return false;
    return !IsAnyOf(p, {"AT", "DESCRIPTION", "NOT", "DEFAULT", "MIN", "MINIMUM", "MAX", "MAXIMUM", "CHARCASE", "BLOB",
                        "LANGUAGE", "ENCRYPTED", "USER", "LAST", "NOBACKUP"});
}

// REDEFINE's column: name [data type] [new name [data type]] [AT and attributes].
// When the column is renamed, the new name's node holds the old name's node as its
// first operand, before the arguments of a data type written after the new name.
TCreateField ParseRedefinition(TExpressionParser& p) {
    TCreateField field;
    field.redefine = true;
    p.MarkStart();
    const TExpToken* typed = nullptr;
    std::size_t firstArgument = 0;
    {
        const TClauseContext clause(p, kColumnContext);
        TExpTree old = ParseColumnName(p, kColumnContext, field.name);
        p.ParseDataType(old.get(), 0, true);
        if (old->dataType != 0) typed = old.get();
        if (BeginsNewName(p)) {
            TExpTree renamed = ParseColumnName(p, kColumnContext, field.newName);
            AddOperand(renamed.get(), old.release());
            p.ParseDataType(renamed.get(), 0, true);
            if (renamed->dataType != 0) {
                typed = renamed.get();
                firstArgument = 1;
            }
            field.nameTree = std::move(renamed);
        } else {
            field.nameTree = std::move(old);
        }
    }
    field.name.resize(std::min(field.name.size(), kNameLength));
    field.newName.resize(std::min(field.newName.size(), kNameLength));
    if (typed) ApplyDataType(field, *typed, firstArgument);
    ParseAttributes(p, field, true);
    field.text = p.TextSinceMark();
    return field;
}

// [UNIQUE] [ASC | ASCENDING | DESC | DESCENDING] [NOCASE]
void ParseIndexOptions(TExpressionParser& p, TCreateIndex& index) {
    if (p.TokenIs("UNIQUE")) {
        index.unique = true;
        p.NextToken();
    }
    if (p.TokenIs("DESC") || p.TokenIs("DESCENDING")) {
        index.descending = true;
        p.NextToken();
    } else if (p.TokenIs("ASC") || p.TokenIs("ASCENDING")) {
        p.NextToken();
    }
    if (p.TokenIs("NOCASE")) {
        index.noCase = true;
        p.NextToken();
    }
}

// "(" column {"," column} ")" [COMPRESS FULL | DUPBYTE | TRAILBYTE | NONE]: the
// columns of a primary key or of CREATE INDEX.
void ParseIndexColumns(TExpressionParser& p, TCreateIndex& index) {
    if (!p.TokenIsChar('(')) Expected(p, "Left parentheses expected after KEY keyword, instead found '");
    p.NextToken();
    for (;;) {
        {
            const TClauseContext clause(p, kIndexColumnContext);
            // An index keeps the column's name; the node only served to read it.
            std::string name;
            ParseColumnName(p, kIndexColumnContext, name);
            index.columns.push_back(std::move(name));
        }
        if (!p.TokenIsChar(',')) break;
        p.NextToken();
    }
    if (!p.TokenIsChar(')')) Expected(p, "Right parentheses expected after primary key clause, instead found '");
    p.NextToken();
    if (!p.TokenIs("COMPRESS")) return;
    p.NextToken();
    if (p.TokenIs("NONE")) {
        index.compression = 0;
    } else if (p.TokenIs("DUPBYTE")) {
        index.compression = 1;
    } else if (p.TokenIs("TRAILBYTE")) {
        index.compression = 2;
    } else if (p.TokenIs("FULL")) {
        index.compression = 3;
    } else {
        Expected(p, "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found '");
    }
    p.NextToken();
}

// [CONSTRAINT name] [index options] PRIMARY KEY (columns) [COMPRESS ...]; the
// constraint's name is read over and not kept.
TCreateIndex ParsePrimaryKey(TExpressionParser& p) {
    TCreateIndex index;
    if (p.TokenIs("CONSTRAINT")) {
        p.NextToken();
        p.NextToken();
    }
    ParseIndexOptions(p, index);
    Require(p, "PRIMARY", "PRIMARY keyword expected, instead found '");
    Require(p, "KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
    ParseIndexColumns(p, index);
    return index;
}

// [MEMORY] name: the table a statement defines or removes.
void ReadTableName(TExpressionParser& p, TSourceTable& table, const char* missingName) {
    if (!IsName(p)) Expected(p, missingName);
    if (TakeMemoryKeyword(p, table) && !IsName(p)) Expected(p, "Table name expected, instead found '");
    SetSourceTableName(table, p.TokenText());
    p.NextToken();
}

// The table options, each optional, in this order; each one written sets its given
// flag. LANGUAGE [SORT] is read by `parseLanguage`, which SELECT shares.
void ParseTableOptions(TExpressionParser& p, TTableDefinition& d, const std::function<void()>& parseLanguage) {
    if (p.TokenIs("DESCRIPTION")) {
        p.NextToken();
        d.description = ReadText(p);
        d.descriptionGiven = true;
    }
    if (p.TokenIs("BLOB")) {
        p.NextToken();
        Require(p, "BLOCK", "BLOCK keyword expected after BLOB keyword, instead found '");
        Require(p, "SIZE", "SIZE keyword expected after BLOCK keyword, instead found '");
        d.blobBlockSize = ReadSmallInteger(p, "SIZE");
        d.blobBlockSizeGiven = true;
    }
    if (p.TokenIs("LANGUAGE")) parseLanguage();
    if (p.TokenIs("ENCRYPTED")) {
        p.NextToken();
        Require(p, "WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
        d.password = ReadText(p);
        // An empty password leaves the table unencrypted.
        d.encrypted = !d.password.empty();
        d.encryptionGiven = true;
    }
    // The major version comes first: USER followed by MINOR alone is refused.
    if (p.TokenIs("USER")) {
        p.NextToken();
        Require(p, "MAJOR", "MAJOR keyword expected after USER keyword, instead found '");
        Require(p, "VERSION", "VERSION keyword expected after MAJOR keyword, instead found '");
        d.userMajor = ReadSmallInteger(p, "VERSION");
        d.userMajorGiven = true;
    }
    if (p.TokenIs("USER")) {
        p.NextToken();
        Require(p, "MINOR", "MINOR keyword expected after USER keyword, instead found '");
        Require(p, "VERSION", "VERSION keyword expected after MINOR keyword, instead found '");
        d.userMinor = ReadSmallInteger(p, "VERSION");
        d.userMinorGiven = true;
    }
}

}  // namespace

void TDataQuery::ParseCreateTable() {
    TExpressionParser& p = statement_.Parser();
    TTableDefinition& d = definition;
    p.NextToken();
    if (p.TokenIs("IF")) {
        p.NextToken();
        Require(p, "NOT", "NOT keyword expected after IF keyword, instead found '");
        Require(p, "EXISTS", "EXISTS keyword expected after NOT keyword, instead found '");
        d.ifNotExists = true;
    }
    ReadTableName(p, d.table, "Table name expected after CREATE TABLE keywords, instead found '");
    if (!p.TokenIsChar('(')) Expected(p, "Left parentheses expected before list of table columns, instead found '");
    p.NextToken();
    // At least one column; a "," after a column may also come before the primary key
    // clause or the table options.
    for (std::uint16_t number = 1;; ++number) {
        TCreateField field = ParseColumnDefinition(p, false);
        field.fieldNo = number;
        d.fields.push_back(std::move(field));
        if (!p.TokenIsChar(',')) break;
        p.NextToken();
        if (p.TokenIsChar(')') || BeginsPrimaryKey(p) || BeginsTableOption(p)) break;
    }
    if (BeginsPrimaryKey(p)) d.indexes.push_back(ParsePrimaryKey(p));
    ParseTableOptions(p, d, [this] { ParseLanguage(); });
    if (!p.TokenIsChar(')')) Expected(p, "Right parentheses expected after CREATE TABLE statement, instead found '");
    p.NextToken();
    ParseStatementEnd("CREATE TABLE");
}

void TDataQuery::ParseCreateIndex() {
    TExpressionParser& p = statement_.Parser();
    TCreateIndex index;
    ParseIndexOptions(p, index);
    Require(p, "INDEX", "INDEX keyword expected, instead found '");
    if (!IsName(p)) Expected(p, "Index name expected after INDEX keyword, instead found '");
    index.name = p.TokenText().substr(0, kNameLength);
    p.NextToken();
    Require(p, "ON", "ON keyword expected after index name, instead found '");
    ReadTableName(p, definition.table, "Table name expected after ON keyword, instead found '");
    ParseIndexColumns(p, index);
    definition.indexes.push_back(std::move(index));
    ParseStatementEnd("CREATE INDEX");
}

void TDataQuery::ParseAlterTable() {
    TExpressionParser& p = statement_.Parser();
    TTableDefinition& d = definition;
    p.NextToken();
    ReadTableName(p, d.table, "Table name expected after ALTER TABLE keywords, instead found '");
    while (p.TokenIs("ADD") || p.TokenIs("REDEFINE") || p.TokenIs("DROP")) {
        if (p.TokenIs("DROP")) {
            p.NextToken();
            if (p.TokenIs("CONSTRAINT") || p.TokenIs("PRIMARY")) {
                if (p.TokenIs("CONSTRAINT")) {
                    p.NextToken();
                    p.NextToken();  // the constraint's name, not kept
                    if (!p.TokenIs("PRIMARY")) Expected(p, "PRIMARY keyword expected, instead found '");
                }
                p.NextToken();
                Require(p, "KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
                TCreateIndex index;
                index.drop = true;
                d.indexes.push_back(std::move(index));
            } else {
                if (p.TokenIs("COLUMN")) p.NextToken();
                TCreateField field;
                field.drop = true;
                p.MarkStart();
                {
                    const TClauseContext clause(p, kColumnContext);
                    field.nameTree = ParseColumnName(p, kColumnContext, field.name);
                    p.ParseDataType(field.nameTree.get(), 0, true);
                }
                field.name.resize(std::min(field.name.size(), kNameLength));
                if (field.nameTree->dataType != 0) ApplyDataType(field, *field.nameTree, 0);
                field.text = p.TextSinceMark();
                d.fields.push_back(std::move(field));
            }
        } else {
            const bool add = p.TokenIs("ADD");
            p.NextToken();
            if (BeginsPrimaryKey(p)) {
                TCreateIndex index = ParsePrimaryKey(p);
                index.add = add;
                index.redefine = !add;
                d.indexes.push_back(std::move(index));
            } else {
                if (p.TokenIs("COLUMN")) p.NextToken();
                TCreateField field = add ? ParseColumnDefinition(p, true) : ParseRedefinition(p);
                field.add = add;
                d.fields.push_back(std::move(field));
            }
        }
        // A "," followed by anything but another alteration ends the list.
        if (!p.TokenIsChar(',')) break;
        p.NextToken();
    }
    ParseTableOptions(p, d, [this] { ParseLanguage(); });
    if (p.TokenIs("LAST")) {
        p.NextToken();
        Require(p, "AUTOINC", "AUTOINC keyword expected after LAST keyword, instead found '");
        // Only an unsigned integer that fits 31 bits: no sign, no expression.
        const bool digits = p.TokenKind() == tkInteger;
        const TClauseContext clause(p, kAutoIncContext);
        p.MarkStart();
        const TExpTree number(p.ParseSignedTerm(0));
        if (!digits || number->kind != nkConstant || number->dataType != kFieldInteger) {
            p.Fail("Integer value expected after AUTOINC keyword, instead found '" + p.TextSinceMark() + "'");
        }
        d.lastAutoInc = GetLE<std::int32_t>(number->value.data());
    }
    if (p.TokenIs("NOBACKUP")) {
        d.noBackup = true;
        p.NextToken();
    }
    ParseStatementEnd("ALTER TABLE");
}

void TDataQuery::ParseDropTable() {
    TExpressionParser& p = statement_.Parser();
    p.NextToken();
    if (p.TokenIs("IF")) {
        p.NextToken();
        Require(p, "EXISTS", "EXISTS keyword expected after IF keyword, instead found '");
        definition.ifExists = true;
    }
    ReadTableName(p, definition.table, "Table name expected after TABLE keyword, instead found '");
    ParseStatementEnd("DROP TABLE");
}

void TDataQuery::ParseDropIndex() {
    TExpressionParser& p = statement_.Parser();
    TTableDefinition& d = definition;
    p.NextToken();
    if (!IsName(p)) Expected(p, "Table name expected after INDEX keyword, instead found '");
    if (TakeMemoryKeyword(p, d.table) && !IsName(p)) Expected(p, "Table name expected, instead found '");
    {
        // table "." index, read as one qualified name; the qualifier is reduced to
        // the table's file name without extension.
        const TClauseContext clause(p, kIndexNameContext);
        const TExpTree name(p.ParsePrimary(0));
        const bool qualified = name->kind == nkColumn && !name->qualifier.empty() && name->text != name->name;
        if (!qualified) {
            p.Fail("Table name and index name expected as TABLE.INDEX after INDEX keyword, instead found '" + name->text +
                   "'");
        }
        SetSourceTableName(d.table, name->qualifier);
        d.indexName = name->name;
    }
    ParseStatementEnd("DROP INDEX");
}

}  // namespace reruzo
