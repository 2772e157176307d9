// SQL statements: a statement object owns the parser of its text and the queries it
// parses (the main query, the queries after UNION, the sub-selects of IN predicates
// and the SELECT of an INSERT ... SELECT), splits the text into statements separated
// by ";" and dispatches each by its first keyword. SELECT is parsed in
// sql_select_parser.cpp and run in sql_select.cpp; INSERT, UPDATE and DELETE are
// parsed in sql_modify_parser.cpp and run in sql_modify.cpp; the table definition
// statements are parsed in sql_define_parser.cpp and run in sql_define.cpp.
//
// Parsing never touches a table: every name is kept as written, and tables are opened
// when a query is prepared for execution. Every syntax error is an engine error
// RERUZO_SQLPARSE ("SQL error - ...") raised at the failing token.
#pragma once

#include <strings.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/expr/expression.h"
#include "engine/storage/data_format.h"
#include "engine/table/data_cursor.h"

namespace reruzo {

class TColumnConversion;
class TColumnSource;
class TGroupCombiner;
class TJoinColumns;
class TJoinPlan;
class TQueryStatement;

// SQL names (tables, correlation names, columns, languages) compare without regard
// to letter case.
inline bool SameSqlName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Statement kinds, by their first keyword.
enum TStatementKind : std::uint8_t {
    skNone = 0,
    skSelect = 1,
    skInsert = 2,
    skUpdate = 3,
    skDelete = 4,
    skCreateTable = 5,
    skAlterTable = 6,
    skDropTable = 7,
    skCreateIndex = 8,
    skDropIndex = 9,
};

// A table in FROM (or a joined one).
struct TSourceTable {
    std::string tableName;        // the file name part, without extension
    std::string directory;        // the path part of the name; "Memory" for MEMORY tables; else empty:
                                  // the statement's database directory
    std::string correlationName;  // the alias, or the table name
    bool memory = false;
    std::uint16_t tableNumber = 0;  // position in FROM as written, from 1

    // Prepared: the directory the table was opened in and the cursor reading it.
    TDataDirectory* openedDirectory = nullptr;
    std::unique_ptr<TDataCursor> cursor;
};

// Sets the table name as written: a path before it names the folder (unless the
// table is in memory), an extension after it is dropped; the correlation name is
// the table name.
void SetSourceTableName(TSourceTable& table, std::string name);

// Steps over MEMORY when it is the current word, marking the table as an in-memory
// one; false when it is not there.
bool TakeMemoryKeyword(TExpressionParser& parser, TSourceTable& table);

enum TAggregateKind : std::uint8_t { akNone = 0, akSum, akCount, akMin, akMax, akAvg };

// A column of the select list.
struct TResultField {
    TExpTree expression;
    std::string text;       // the expression as written, line breaks removed
    std::string qualifier;  // for a plain column, or an aggregate over one
    std::string columnName;
    std::string alias;      // empty when none was written
    bool isExpression = false;
    TAggregateKind aggregate = akNone;

    // Prepared: the field in the result (from 1), its name and type, and where a plain
    // column comes from (source table index and field number) or the prepared
    // expression an expression column is evaluated with.
    std::uint16_t fieldNo = 0;
    std::string resultName;
    TFieldDesc desc;
    int sourceTable = -1;
    std::uint16_t sourceField = 0;
    TExpTree prepared;
    std::string parsedForm;  // the column as parsed (PrintTree), for HAVING to find it
};

// An item of GROUP BY or ORDER BY: a (qualified) name, or a column number.
struct TGroupByField {
    std::string columnName;
    std::string qualifier;
    std::uint16_t columnNumber = 0;  // 0 when a name was given
    bool byNumber = false;           // a column number was written (it may be 0)
};
struct TOrderByField : TGroupByField {
    bool descending = false;
};

enum TJoinKind : std::uint8_t { jkInner = 1, jkLeftOuter = 2, jkRightOuter = 3 };

struct TTableJoin {
    TJoinKind kind = jkInner;
    std::uint16_t tableNumber = 0;          // the joined table
    const TExpToken* condition = nullptr;   // the ON condition, a part of the WHERE tree
};

enum TUnionKind : std::uint8_t { ukNone = 0, ukUnion = 1, ukUnionAll = 2 };

// A column an INSERT or UPDATE stores into, in the order written.
struct TUpdateField {
    std::string columnName;  // as written; prepared: as the table defines it
    std::string qualifier;   // as written ("" when none); prepared: the table's correlation name
    std::string columnText;  // the column as written, for messages
    // Prepared: the column in the target table.
    std::uint16_t fieldNo = 0;
    std::uint8_t dataType = 0;
    std::uint8_t subType = 0;
    std::uint16_t size = 0;
    std::uint8_t scale = 0;
    TSourceTable* sourceTable = nullptr;
};

// The value an INSERT or UPDATE stores into the column of the same position.
struct TUpdateValue {
    TExpTree expression;
    std::string text;  // as written, for messages
    // Prepared: the expression as evaluated, and the conversion to the column's type.
    TExpTree prepared;
    std::shared_ptr<TColumnConversion> conversion;
};

struct TModifyState;

// Char case of a column definition.
enum TCharCase : std::uint8_t { ccNoChange = 0, ccLower = 1, ccUpper = 2 };

// A column definition of CREATE TABLE, or a column alteration of ALTER TABLE.
struct TCreateField {
    // The column name as parsed (context "table column"), carrying the data type and
    // its arguments; for a REDEFINE that renames, the new name's node, whose operand 1
    // is the old name's node.
    TExpTree nameTree;
    std::string name;     // the column (the old name of a renaming REDEFINE); at most 30 characters
    std::string newName;  // the new name of a renaming REDEFINE, else empty
    std::uint16_t fieldNo = 0;  // CREATE TABLE: the definition's position, from 1
    // The data type: field type 0 when a REDEFINE gives none; length for String and
    // Bytes, scale for BCD, subtype 21 + t for BLOB(n, t).
    std::uint8_t dataType = 0;
    std::uint8_t subType = 0;
    std::uint16_t length = 0;
    std::uint8_t scale = 0;
    // Attributes (texts at most 50 characters).
    std::string description;
    std::string defaultValue;
    std::string minimum;
    std::string maximum;
    bool required = false;
    TCharCase charCase = ccNoChange;
    std::uint16_t at = 0;  // AT position, 0 when not written
    // ALTER TABLE: which attributes were written, and the kind of alteration.
    bool descriptionGiven = false;
    bool requiredGiven = false;
    bool charCaseGiven = false;
    bool defaultGiven = false;
    bool minimumGiven = false;
    bool maximumGiven = false;
    bool add = false;
    bool redefine = false;
    bool drop = false;
    std::string text;  // the definition as written
};

// An index definition: the primary key clause (empty name) or CREATE INDEX.
struct TCreateIndex {
    std::string name;  // at most 30 characters; empty for a primary key
    std::vector<std::string> columns;
    bool unique = false;
    bool descending = false;
    bool noCase = false;
    std::uint8_t compression = 0;  // 0 NONE, 1 DUPBYTE, 2 TRAILBYTE, 3 FULL
    // ALTER TABLE: the kind of alteration of the primary key.
    bool add = false;
    bool redefine = false;
    bool drop = false;
};

// What CREATE TABLE, ALTER TABLE, DROP TABLE, CREATE INDEX and DROP INDEX parse.
struct TTableDefinition {
    TSourceTable table;  // the name as written (path, MEMORY); never opened by preparation
    std::vector<TCreateField> fields;
    std::vector<TCreateIndex> indexes;  // the primary key clause, or CREATE INDEX's index
    bool ifNotExists = false;
    bool ifExists = false;
    std::string indexName;  // DROP INDEX
    // Table options, with ALTER TABLE's flags of the ones written.
    std::uint16_t languageId = 0;
    std::uint16_t sortId = 0;
    std::uint16_t blobBlockSize = 512;
    std::string description;
    std::string password;
    bool encrypted = false;
    std::uint16_t userMajor = 1;
    std::uint16_t userMinor = 0;
    std::int64_t lastAutoInc = -1;  // LAST AUTOINC; -1 when not written
    bool noBackup = false;
    bool encryptionGiven = false;
    bool languageGiven = false;
    bool sortGiven = false;
    bool blobBlockSizeGiven = false;
    bool descriptionGiven = false;
    bool userMajorGiven = false;
    bool userMinorGiven = false;
};

// One SELECT block or one other statement.
class TDataQuery {
public:
    explicit TDataQuery(TQueryStatement& statement);
    TDataQuery(const TDataQuery&) = delete;
    TDataQuery& operator=(const TDataQuery&) = delete;

    TQueryStatement& Statement() const { return statement_; }

    // Parses one statement from the parser's current token.
    void Parse();

    // What parsing found.
    TStatementKind kind = skNone;
    bool subSelect = false;
    bool requestLive = false;
    std::int32_t maxRowCount = -1;
    bool distinct = false;
    bool hasExpressionColumns = false;
    bool hasSeveralTables = false;
    bool hasWhere = false;
    bool hasHaving = false;
    bool hasOrderBy = false;
    bool hasGroupBy = false;
    bool orderByNoCase = false;
    bool noJoinOptimize = false;
    bool withLocks = false;
    bool intoMemory = false;
    std::string intoTableName;
    std::uint16_t resultLanguage = 0;
    bool resultLanguageGiven = false;
    std::uint16_t resultSort = 0;
    bool resultSortGiven = false;
    std::string resultPassword;
    bool resultPasswordGiven = false;
    std::int32_t top = -1;
    std::vector<TSourceTable> sourceTables;
    std::vector<TResultField> resultFields;
    std::vector<TGroupByField> groupByFields;
    std::vector<TOrderByField> orderByFields;
    std::vector<TTableJoin> joins;
    TExpTree where;   // the WHERE clause and every join condition, joined with AND
    TExpTree having;
    TDataQuery* unionQuery = nullptr;  // owned by the statement
    TUnionKind unionKind = ukNone;
    // The query is the part after a UNION (it must begin with SELECT).
    bool unionPart = false;
    // The query is the SELECT of an INSERT ... SELECT (NOAUTOINC and COMMIT end its
    // table references).
    bool insertSelect = false;

    // INSERT, UPDATE and DELETE: the target is source table 1.
    std::vector<TUpdateField> updateFields;
    std::vector<TUpdateValue> updateValues;
    bool insertWithSelect = false;
    TDataQuery* selectQuery = nullptr;  // the SELECT of an INSERT ... SELECT; owned by the statement
    bool noAutoInc = false;
    std::int32_t commitInterval = 0;
    bool intervalGiven = false;
    bool flush = false;
    bool hasBlobColumns = false;

    // CREATE TABLE, ALTER TABLE, DROP TABLE, CREATE INDEX and DROP INDEX.
    TTableDefinition definition;
    // ALTER TABLE: the values that did not convert to their column's new type and are
    // NULL now.
    std::int32_t valuesNulled = 0;

    // Prepared and executed (sql_select.cpp).
    bool live = false;
    bool grouped = false;         // GROUP BY, or aggregates without it
    bool aggregatesOnly = false;  // aggregates without GROUP BY: one result row
    double executionTime = 0;
    std::int32_t rowCount = 0;
    // Opens the source tables, resolves and checks the columns and clauses, decides
    // whether the result is live and makes the result table of a copied one. Raises
    // RERUZO_SQLPARSE with the message of what is wrong, and the storage layer's errors.
    void Prepare();
    // Fills the result (a copied result anew) and leaves its cursor on the first row.
    void Execute();
    // The cursor of the result: the result table's, or the source table's when live.
    TDataCursor* ResultCursor() const;
    // A sub-select's answer: whether a row's first column equals `value` (never for
    // NULL). The values are gathered from the result once per execution.
    bool Contains(const TExpToken& value);
    // Closes the result (deleting a temporary result table) and the source tables.
    void Close();
    ~TDataQuery();

private:
    void ParseSelect();
    void ParseInsert();
    void ParseUpdate();
    void ParseDelete();
    // UPDATE's and DELETE's clauses after their tables: WHERE, NOAUTOINC (UPDATE only),
    // COMMIT and NOJOINOPTIMIZE.
    void ParseChangeClauses(bool withNoAutoInc);
    void ParseCommit();
    void ParseStatementEnd(const char* statement);
    // The table definition grammars (sql_define_parser.cpp); each starts at the word
    // after the statement's keywords (CREATE INDEX at the word after CREATE).
    void ParseCreateTable();
    void ParseCreateIndex();
    void ParseAlterTable();
    void ParseDropTable();
    void ParseDropIndex();
    void ParseSelectList();
    void ParseInto();
    void ParseFrom();
    void ParseTableReference(const char* missingName, bool atFront);
    // A table name with its path and MEMORY as written, and its correlation name.
    TSourceTable ReadTableReference(const char* missingName);
    void AddSourceTable(TSourceTable table, bool atFront);
    void ParseJoins();
    void ParseTrailingClauses();
    void ParseGroupBy();
    void ParseOrderBy();
    void ParseLanguage();
    void AddCondition(TExpToken* condition);
    bool EndsTableReference() const;
    void OpenSources();
    bool hasAggregateColumns() const;
    void ResolveColumns();
    void NameColumns();
    bool DecideLive();
    // The index of the first source table whose key fields are the ORDER BY columns in
    // their order and direction, or "" with false when there is none.
    bool FindOrderIndex(std::string& name) const;
    void CheckUnionPart(const TDataQuery& part) const;
    // ORDER BY and GROUP BY items as result columns (from 0); the clause names them
    // in messages.
    std::vector<std::size_t> ResolveItems(const std::vector<TGroupByField>& items, const char* clause) const;
    void PrepareHaving();
    void SortResult();
    void MakeResultTable();
    void CopyRows();
    void MakeRow(TJoinColumns& columns, std::span<std::uint8_t> out);
    // INSERT, UPDATE and DELETE (sql_modify.cpp).
    void PrepareModify();
    void ResolveTargetColumns();
    void CheckValues();
    void ExecuteModify();
    void InsertValues();
    void RunRows(TModifyState& state);
    void StoreValues(TModifyState& state, TColumnSource& columns, std::span<std::uint8_t> record);
    // The table definition statements (sql_define.cpp).
    void PrepareDefinition();
    void ExecuteDefinition();
    void ExecuteCreateTable(TDataDirectory& directory);
    void ExecuteCreateIndex(TDataDirectory& directory);
    void ExecuteAlterTable(TDataDirectory& directory);
    void ExecuteDropTable(TDataDirectory& directory);
    void ExecuteDropIndex(TDataDirectory& directory);

    TQueryStatement& statement_;
    std::unique_ptr<TJoinPlan> plan_;
    std::unique_ptr<TDataCursor> resultCursor_;
    TDataDirectory* resultDirectory_ = nullptr;
    TDataTable* resultTable_ = nullptr;  // the creator's own open of the result table
    bool temporaryResult_ = false;
    std::unique_ptr<TGroupCombiner> combiner_;
    bool prepared_ = false;
    std::vector<std::size_t> groupColumns_;
    std::vector<std::size_t> orderColumns_;
    bool orderDone_ = false;  // the grouping or DISTINCT sort already gives the ORDER BY order
    TExpTree havingPrepared_;
    bool orderIndexFound_ = false;
    std::string orderIndex_;
    bool valuesGathered_ = false;
    std::unordered_set<std::string> values_;
};

// A parameter value the caller binds: the node receives the type, subtype and value
// bytes in the field storage format of the type.
struct TParamValue {
    std::uint8_t dataType = 0;
    std::uint8_t subType = 0;
    std::vector<std::uint8_t> value;
    bool isNull = true;
};

// Parameter values of the usual kinds: an integer as Integer (LargeInt beyond 32 bits),
// a float, a Boolean, and a string of bytes in the tables' code page (a zero byte ends
// it); TParamValue{} is NULL.
TParamValue IntegerParam(std::int64_t value);
TParamValue FloatParam(double value);
TParamValue BooleanParam(bool value);
TParamValue StringParam(std::string_view text);

// One prepared SQL text.
class TQueryStatement : public TParserOwner {
public:
    using TProgress = std::function<bool(int percent)>;  // false aborts

    TQueryStatement(TDataDirectory& directory, bool requestLive = false, std::int32_t maxRowCount = -1,
                    TProgress progress = {});
    ~TQueryStatement() override;
    TQueryStatement(const TQueryStatement&) = delete;
    TQueryStatement& operator=(const TQueryStatement&) = delete;

    TDataDirectory& Directory() const { return directory_; }
    TExpressionParser& Parser() { return parser_; }

    // Parses the first statement of `text` without touching a table. Raises
    // RERUZO_SQLPARSE.
    void Parse(std::string_view text);
    // Parses the first statement and prepares its queries (tables are opened).
    void Prepare(std::string_view text);
    // Whether the text holds another statement after the one prepared last.
    bool MoreStatements() const { return parser_.TokenKind() != tkEnd; }
    // Parses (and prepares) the next statement of the text, in place of the one
    // before.
    void ParseNext();
    void PrepareNext();
    // Frees every query.
    void Unprepare();
    // Runs the statement prepared last, then every statement after it in the text;
    // the execution times and row counts add up, the result is the last one's.
    void Execute();
    // Runs only the statement prepared last; executionTime and rowCount are its own.
    // A caller that shows every result steps with MoreStatements and PrepareNext.
    void ExecuteCurrent();
    // The result of the last SELECT run (nullptr for other statements).
    TDataCursor* ResultCursor() const { return main_ ? main_->ResultCursor() : nullptr; }

    // Gives the parameters their values in the order they appear in the text. More
    // values than parameters raise "Internal parameter error".
    void SetParameters(const std::vector<TParamValue>& values);
    const std::vector<TExpToken*>& Parameters() const { return parameters_; }

    TDataQuery* MainQuery() const { return main_; }
    const std::vector<std::unique_ptr<TDataQuery>>& Queries() const { return queries_; }
    TStatementKind Kind() const { return kind_; }
    bool RequestLive() const { return requestLive_; }
    std::int32_t MaxRowCount() const { return maxRowCount_; }
    const TProgress& Progress() const { return progress_; }

    // A new query registered with the statement, which owns it.
    TDataQuery& NewQuery();

    // TParserOwner
    void RegisterParameter(TExpToken* node) override { parameters_.push_back(node); }
    std::unique_ptr<TSubSelect> ParseSubSelect(TExpressionParser& parser) override;

    // Execution results (set by execution).
    double executionTime = 0;
    std::int32_t rowCount = 0;

private:
    void ParseStatement();
    void PrepareQueries();

    TDataDirectory& directory_;
    TExpressionParser parser_{this};
    bool requestLive_;
    std::int32_t maxRowCount_;
    TProgress progress_;
    std::vector<std::unique_ptr<TDataQuery>> queries_;
    std::vector<TExpToken*> parameters_;
    TDataQuery* main_ = nullptr;
    TStatementKind kind_ = skNone;
};

}  // namespace reruzo
