// Preparing and running a SELECT: the source tables opened, the result columns
// resolved, named and typed, the live decision, the result table of a copied result,
// and the copy of the qualifying rows. The WHERE clause of a single table becomes a
// filter of its cursor, answered by record bitmaps and the table's indexes, never a
// test of every row in the copy loop.
//
// Several tables are joined as sql_join.h describes; IN sub-selects run before the
// query that reads them; the parts after UNION add their rows to the result; grouping,
// DISTINCT, UNION and ORDER BY sort the copied result in place (table_sort.h).
// Aggregates without GROUP BY make one result row in the copy loop itself.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <unordered_map>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression_check.h"
#include "engine/expr/expression_eval.h"
#include "engine/sql/expression_filter.h"
#include "engine/sql/session_password.h"
#include "engine/sql/sql_aggregate.h"
#include "engine/sql/sql_join.h"
#include "engine/sql/sql_statement.h"
#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/field_text.h"
#include "engine/table/data_session.h"
#include "engine/table/table_sort.h"

namespace reruzo {
namespace {

constexpr const char* kSourceColumns = "source columns";
constexpr std::size_t kMaxResultColumns = 1024;
constexpr std::size_t kMaxResultNameLength = 30;

[[noreturn]] void Fail(const std::string& message) {
    RaiseEngineError(RERUZO_SQLPARSE, {.text = message.substr(0, 255)});
}

[[noreturn]] void NotYet(const std::string& what) { Fail(what + " cannot be run yet"); }

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The field a result column of an expression of this type, subtype, size and scale
// gets.
TFieldDesc ExpressionField(const TExpToken& e) {
    std::uint8_t length = 0;
    if (e.dataType == kFieldString) length = static_cast<std::uint8_t>(std::clamp<std::uint32_t>(e.dataSize, 2, 251) - 1);
    if (e.dataType == kFieldBytes || e.dataType == kFieldVarBytes) {
        length = static_cast<std::uint8_t>(std::clamp<std::uint32_t>(e.dataSize, 1, 255));
    }
    TFieldDesc d = MakeFieldDesc("", e.dataType, length, e.subType);
    d.Scale = e.scale;
    return d;
}

// The field of an aggregate column: the argument's type, with SUM of a small integer
// an integer, SUM of an integer a large integer, AVG a float and COUNT an integer.
TFieldDesc AggregateField(const TExpToken& e, TAggregateKind kind) {
    TFieldDesc d = ExpressionField(e);
    if (kind == akSum && d.FieldType == kFieldSmallInt) {
        d = MakeFieldDesc("", kFieldInteger);
    } else if (kind == akSum && d.FieldType == kFieldInteger) {
        d = MakeFieldDesc("", kFieldLargeInt);
    }
    if (kind == akAvg) d = MakeFieldDesc("", kFieldFloat);
    if (kind == akCount) d = MakeFieldDesc("", kFieldInteger);
    return d;
}

const char* AggregateName(TAggregateKind kind) {
    switch (kind) {
        case akSum: return "Sum Of ";
        case akCount: return "Count Of ";
        case akMin: return "Min Of ";
        case akMax: return "Max Of ";
        case akAvg: return "Average Of ";
        default: return "";
    }
}

}  // namespace

TDataQuery::TDataQuery(TQueryStatement& statement) : statement_(statement) {}

TDataQuery::~TDataQuery() {
    try {
        Close();
    } catch (const std::exception&) {
    }
}

TDataCursor* TDataQuery::ResultCursor() const {
    if (live) return sourceTables.empty() ? nullptr : sourceTables.front().cursor.get();
    return resultCursor_.get();
}

// ---- Preparing -----------------------------------------------------------------------------

void TDataQuery::Prepare() {
    // A sub-select is prepared when the clause that holds it is validated, which may
    // come before its own turn.
    if (kind == skInsert || kind == skUpdate || kind == skDelete) return PrepareModify();
    if (kind >= skCreateTable) return PrepareDefinition();
    if (kind != skSelect || prepared_) return;
    prepared_ = true;
    if (distinct && hasGroupBy) distinct = false;
    OpenSources();
    ResolveColumns();
    if (hasHaving && !hasGroupBy) Fail("A GROUP BY clause must exist in order to use the HAVING clause");
    NameColumns();
    if (!unionPart) {
        groupColumns_ = ResolveItems(groupByFields, "GROUP BY clause");
        std::vector<TGroupByField> order(orderByFields.begin(), orderByFields.end());
        orderColumns_ = ResolveItems(order, "ORDER BY clause");
        for (std::size_t c : groupColumns_) {
            if (resultFields[c].desc.FieldType == kFieldBlob) {
                Fail("Invalid BLOB column '" + resultFields[c].resultName + "' specified in GROUP BY clause");
            }
        }
        if (distinct) {
            for (const TResultField& f : resultFields) {
                if (f.desc.FieldType == kFieldBlob) {
                    Fail("Invalid BLOB column '" + f.resultName + "' specified in DISTINCT clause");
                }
            }
        }
        // The first sort already gives the ORDER BY order when ORDER BY names, all
        // ascending and in the same order, exactly what it sorted by.
        auto ascendingSame = [&](const std::vector<std::size_t>& columns) {
            if (orderByNoCase || columns != orderColumns_) return false;
            return std::none_of(orderByFields.begin(), orderByFields.end(),
                                [](const TOrderByField& o) { return o.descending; });
        };
        std::vector<std::size_t> all(resultFields.size());
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
        orderDone_ = hasOrderBy && ((distinct && ascendingSame(all)) ||
                                    (grouped && !aggregatesOnly && !distinct && ascendingSame(groupColumns_)));
    }
    plan_ = std::make_unique<TJoinPlan>(*this, where.get());
    if (unionPart) return;  // its rows go into the result of the query before it
    for (TDataQuery* part = unionQuery; part; part = part->unionQuery) {
        part->Prepare();
        CheckUnionPart(*part);
    }
    live = DecideLive();
    if (!live) {
        MakeResultTable();
        if (hasHaving) PrepareHaving();
    }
}

void TDataQuery::OpenSources() {
    TDataSession& session = statement_.Directory().Session();
    for (TSourceTable& t : sourceTables) {
        TDataDirectory* directory = &statement_.Directory();
        if (t.memory) {
            directory = &session.OpenDirectory("Memory", "");
            t.openedDirectory = directory;
        } else if (!t.directory.empty()) {
            directory = &session.OpenDirectory("", t.directory);
            t.openedDirectory = directory;
        }
        t.cursor = std::make_unique<TDataCursor>(*directory);
        t.cursor->SetTableName(t.tableName);
        t.cursor->SetReadOnly(!requestLive);
        // Where the rows combine into groups or distinct rows, the order they are read
        // in makes no difference: the first table is then walked in record order,
        // through its filter's bitmap alone, instead of along an index.
        // The table an UPDATE or DELETE changes is walked in record order too.
        if (&t == &sourceTables.front() &&
            (hasGroupBy || distinct || hasAggregateColumns() || kind == skUpdate || kind == skDelete)) {
            t.cursor->SetNaturalOrder(true);
        }
        t.cursor->OpenCursor();
    }
}

bool TDataQuery::hasAggregateColumns() const {
    return std::any_of(resultFields.begin(), resultFields.end(),
                       [](const TResultField& f) { return f.aggregate != akNone; });
}

void TDataQuery::ResolveColumns() {
    const TSourceTable& source = sourceTables.front();
    const TResolveColumn resolve = SourceColumnResolver(sourceTables);
    auto tableIndex = [this](const std::string& correlation) {
        for (std::size_t i = 0; i < sourceTables.size(); ++i) {
            if (SameSqlName(sourceTables[i].correlationName, correlation)) return static_cast<int>(i);
        }
        return -1;
    };
    std::vector<TResultField> resolved;
    for (TResultField& f : resultFields) {
        if (f.aggregate == akNone && !f.isExpression && f.columnName == "*") {
            const int only = f.qualifier.empty() ? -1 : tableIndex(f.qualifier);
            if (!f.qualifier.empty() && only < 0) {
                Fail("Invalid column name '*' or table correlation name '" + f.qualifier + "' specified in " +
                     kSourceColumns);
            }
            if (!f.alias.empty()) {
                Fail("Invalid use of column correlation name '" + f.alias + "' for '*' specified in " + kSourceColumns);
            }
            // Every field of every table in the order written, or of the one named.
            std::vector<std::size_t> order;
            for (std::size_t i = 0; i < sourceTables.size(); ++i) order.push_back(i);
            std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
                return sourceTables[a].tableNumber < sourceTables[b].tableNumber;
            });
            for (std::size_t i : order) {
                if (only >= 0 && static_cast<int>(i) != only) continue;
                for (const TFieldDesc& d : sourceTables[i].cursor->Fields()) {
                    TResultField column;
                    // The column as a tree of its own, as if it had been written.
                    column.expression.reset(AcquireNode());
                    column.expression->kind = nkColumn;
                    column.expression->name = d.Name;
                    column.expression->text = d.Name;
                    column.expression->qualifier = sourceTables[i].correlationName;
                    resolve(*column.expression);
                    column.columnName = d.Name;
                    column.text = d.Name;
                    column.sourceTable = static_cast<int>(i);
                    column.sourceField = d.FieldNo;
                    column.desc = d;
                    resolved.push_back(std::move(column));
                }
            }
            continue;
        }
        f.parsedForm = PrintTree(f.expression.get());
        TExpToken* root = f.expression.release();
        try {
            Validate(root, {RERUZO_SQLPARSE, source.tableName, kSourceColumns, false, resolve});
        } catch (...) {
            f.expression.reset(root);
            throw;
        }
        f.expression.reset(root);
        if (f.aggregate != akNone) {
            const TExpToken* argument = root->Operand(0);
            const bool allRows = argument && argument->kind == nkColumn && argument->name == "*";
            if (argument && !allRows) {
                f.prepared.reset(
                    reruzo::Prepare(argument, {false, false, source.cursor->LanguageId(), source.cursor->SortId()}));
            }
            f.desc = AggregateField(*root, f.aggregate);
        } else if (!f.isExpression) {
            f.sourceTable = tableIndex(root->qualifier);
            f.sourceField = root->fieldNo;
            f.desc = sourceTables[static_cast<std::size_t>(f.sourceTable)].cursor->Fields()[root->fieldNo - 1u];
        } else {
            if (root->dataType == kFieldString && root->dataSize > 251) {
                Fail("Column expression '" + f.text + "' exceeds the maximum allowable field size");
            }
            f.desc = ExpressionField(*root);
            f.prepared.reset(reruzo::Prepare(root, {false, false, source.cursor->LanguageId(), source.cursor->SortId()}));
        }
        resolved.push_back(std::move(f));
    }
    if (resolved.size() > kMaxResultColumns) {
        Fail("Maximum number of columns (" + std::to_string(kMaxResultColumns) + ") in result set exceeded");
    }
    resultFields = std::move(resolved);
    const bool anyAggregate =
        std::any_of(resultFields.begin(), resultFields.end(), [](const TResultField& f) { return f.aggregate != akNone; });
    const bool anyPlain =
        std::any_of(resultFields.begin(), resultFields.end(), [](const TResultField& f) { return f.aggregate == akNone; });
    if (anyAggregate && anyPlain && !hasGroupBy) {
        Fail("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
    }
    grouped = hasGroupBy || anyAggregate;
    aggregatesOnly = anyAggregate && !hasGroupBy;
}

void TDataQuery::NameColumns() {
    for (std::size_t i = 0; i < resultFields.size(); ++i) {
        TResultField& f = resultFields[i];
        std::string name = !f.alias.empty()           ? f.alias
                           : f.aggregate != akNone   ? AggregateName(f.aggregate) + (f.isExpression ? "Expr" : f.columnName)
                           : !f.isExpression         ? f.columnName
                                                     : "Expression";
        name = name.substr(0, kMaxResultNameLength);
        auto taken = [&](const std::string& candidate) {
            for (std::size_t j = 0; j < i; ++j) {
                if (SameSqlName(resultFields[j].resultName, candidate)) return true;
            }
            return false;
        };
        std::string unique = name;
        for (int n = 1; taken(unique); ++n) {
            const std::string suffix = "_" + std::to_string(n);
            unique = name.substr(0, kMaxResultNameLength - std::min(kMaxResultNameLength, suffix.size())) + suffix;
        }
        f.resultName = unique;
        f.fieldNo = static_cast<std::uint16_t>(i + 1);
        f.desc.Name = unique;
        f.desc.FieldNo = f.fieldNo;
        f.desc.Offset = 0;
        // A copied auto-increment column holds the source's numbers as plain integers.
        if (f.desc.IsAutoInc()) f.desc.SubType = kSubNone;
    }
}

void TDataQuery::CheckUnionPart(const TDataQuery& part) const {
    const std::string kind = part.unionKind == ukUnionAll ? "UNION ALL" : "UNION";
    if (part.resultFields.size() != resultFields.size()) {
        Fail("The number of columns  in the " + kind + " query must match the  number of columns in the master query");
    }
    if (part.grouped) NotYet("Aggregates in a UNION part");
    for (std::size_t i = 0; i < resultFields.size(); ++i) {
        TExpToken mine, theirs;
        mine.dataType = resultFields[i].desc.FieldType;
        mine.subType = resultFields[i].desc.SubType;
        theirs.dataType = part.resultFields[i].desc.FieldType;
        theirs.subType = part.resultFields[i].desc.SubType;
        if (!ComparableForEquality(mine, theirs)) {
            Fail("Type mismatch between column expression '" + part.resultFields[i].text + "' in the " + kind +
                 " query and column expression " + resultFields[i].text + " in the master query");
        }
    }
}

std::vector<std::size_t> TDataQuery::ResolveItems(const std::vector<TGroupByField>& items, const char* clause) const {
    if (items.size() > kMaxResultColumns) {
        Fail("Maximum number of columns (" + std::to_string(kMaxResultColumns) + ") in " + clause + " exceeded");
    }
    std::vector<std::size_t> columns;
    for (const TGroupByField& item : items) {
        if (item.byNumber) {
            if (item.columnNumber < 1 || item.columnNumber > resultFields.size()) {
                Fail("Invalid column number '" + std::to_string(item.columnNumber) + "' specified in " + clause);
            }
            columns.push_back(item.columnNumber - 1u);
            continue;
        }
        // A result column by its name, or the result column of a source column.
        std::size_t found = resultFields.size();
        for (std::size_t i = 0; i < resultFields.size() && found == resultFields.size(); ++i) {
            if (item.qualifier.empty() && SameSqlName(resultFields[i].resultName, item.columnName)) found = i;
        }
        for (std::size_t i = 0; i < resultFields.size() && found == resultFields.size(); ++i) {
            const TResultField& f = resultFields[i];
            if (f.isExpression || f.aggregate != akNone || !SameSqlName(f.columnName, item.columnName)) continue;
            const std::string& table = sourceTables[static_cast<std::size_t>(f.sourceTable)].correlationName;
            if (item.qualifier.empty() || SameSqlName(item.qualifier, table)) found = i;
        }
        if (found == resultFields.size()) {
            Fail("Invalid column name '" + item.columnName + "' or table correlation name '" + item.qualifier +
                 "' specified in " + clause);
        }
        columns.push_back(found);
    }
    return columns;
}

void TDataQuery::PrepareHaving() {
    // Every aggregate and column of HAVING must be a result column; it then reads
    // that column of the group's row.
    TExpTree tree(CloneTree(having.get()));
    std::function<TExpToken*(TExpToken*)> replace = [&](TExpToken* n) -> TExpToken* {
        if (IsAggregate(*n) || n->kind == nkColumn) {
            const std::string form = PrintTree(n);
            for (const TResultField& f : resultFields) {
                if (!f.parsedForm.empty() ? !SameSqlName(f.parsedForm, form) : !SameSqlName(f.columnName, form)) continue;
                TExpToken* column = AcquireNode();
                column->kind = nkColumn;
                column->name = f.resultName;
                column->text = f.resultName;
                return column;
            }
            Fail("Expression in HAVING clause not found in source columns");
        }
        for (TExpToken*& o : n->operands) {
            TExpToken* replaced = replace(o);
            if (replaced != o) {
                FreeTree(o);
                o = replaced;
                o->parent = n;
            }
        }
        return n;
    };
    TExpToken* root = replace(tree.get());
    if (root != tree.get()) tree.reset(root);
    root = tree.release();
    const std::vector<TFieldDesc>& fields = resultCursor_->Fields();
    try {
        Validate(root, {RERUZO_SQLPARSE, resultCursor_->TableName(), "HAVING clause", false, FieldResolver(fields, "")});
    } catch (...) {
        FreeTree(root);
        throw;
    }
    tree.reset(root);
    if (tree->dataType != kFieldBoolean) Fail("HAVING clause must be a boolean expression");
    havingPrepared_.reset(reruzo::Prepare(tree.get(), {false, false, resultCursor_->LanguageId(), resultCursor_->SortId()}));
}

bool TDataQuery::FindOrderIndex(std::string& name) const {
    if (orderByNoCase || sourceTables.size() != 1) return false;
    const TDataCursor& cursor = *sourceTables.front().cursor;
    std::vector<std::uint16_t> wanted;
    for (std::size_t c : orderColumns_) {
        const TResultField& f = resultFields[c];
        if (f.isExpression || f.aggregate != akNone) return false;
        wanted.push_back(f.sourceField);
    }
    const bool descending = !orderByFields.empty() && orderByFields.front().descending;
    for (const TOrderByField& o : orderByFields) {
        if (o.descending != descending) return false;
    }
    const TIndexFile& index = cursor.Table().Index();
    for (int slot = 0; slot <= index.Header().SecondaryCount; ++slot) {
        const TIndexDesc& d = index.Descriptor(slot);
        if (!d.Defined() || (slot == 0 && index.NoPrimaryIndex()) || d.CaseInsensitive) continue;
        if (d.FieldCount != wanted.size() || (d.Descending != 0) != descending) continue;
        bool same = true;
        for (std::size_t i = 0; i < wanted.size() && same; ++i) {
            same = d.FieldNumbers[i] == wanted[i] && d.FieldDescending[i] == 0;
        }
        if (!same) continue;
        name = slot == 0 ? std::string() : d.Name;
        return true;
    }
    return false;
}

bool TDataQuery::DecideLive() {
    // With a live result asked for, ORDER BY can be served by an index of the table.
    orderIndexFound_ = requestLive && hasOrderBy && FindOrderIndex(orderIndex_);
    if (!requestLive || !intoTableName.empty() || intoMemory || distinct || sourceTables.size() != 1 || grouped ||
        hasHaving || (hasOrderBy && !orderIndexFound_))
        return false;
    if (insertSelect) {
        // The INSERT evaluates the columns on the source row itself, unless the rows
        // go into the table they come from: they are copied first then, so that the
        // INSERT reads the rows that were there when it began.
        const TDataQuery& insert = *statement_.MainQuery();
        const TDataCursor* target = insert.sourceTables.empty() ? nullptr : insert.sourceTables.front().cursor.get();
        const bool readsTarget =
            target && target->IsOpen() && std::any_of(sourceTables.begin(), sourceTables.end(), [&](const TSourceTable& t) {
                return &t.cursor->Table() == &target->Table();
            });
        return !unionQuery && !readsTarget;
    }
    // A live result is the source table's own cursor, so it shows exactly the table's
    // columns: anything but all of them, in their order, needs a copy.
    const std::vector<TFieldDesc>& fields = sourceTables.front().cursor->Fields();
    if (resultFields.size() != fields.size()) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const TResultField& f = resultFields[i];
        if (f.isExpression || f.sourceField != fields[i].FieldNo || f.resultName != fields[i].Name) return false;
    }
    if (subSelect) return !hasExpressionColumns;
    return statement_.Queries().size() == 1;
}

void TDataQuery::MakeResultTable() {
    TDataSession& session = statement_.Directory().Session();
    const TSourceTable& first = sourceTables.front();
    std::string name = intoTableName;
    std::string folder;
    if (const auto slash = name.find_last_of("/\\"); slash != std::string::npos) {
        folder = name.substr(0, slash + 1);
        name = name.substr(slash + 1);
    }
    // Aggregates without GROUP BY make exactly one row: a temporary result of that
    // kind is kept in memory, which spares creating and deleting two files for every
    // such statement.
    const bool inMemory =
        intoMemory || (name.empty() && !hasGroupBy && hasAggregateColumns() && unionQuery == nullptr);
    if (inMemory) {
        resultDirectory_ = &session.OpenDirectory("Memory", "");
    } else if (!folder.empty()) {
        resultDirectory_ = &session.OpenDirectory("", folder);
    } else if (!name.empty()) {
        resultDirectory_ = &session.OpenDirectory("", statement_.Directory().Path());
    } else {
        resultDirectory_ = &session.OpenDirectory("", session.GetPrivateDir());
    }
    temporaryResult_ = name.empty();
    if (temporaryResult_) name = resultDirectory_->TempTableName(inMemory);

    TTableStructure structure;
    structure.LanguageId = resultLanguageGiven ? resultLanguage : first.cursor->LanguageId();
    structure.SortId = resultLanguageGiven ? resultSort : first.cursor->SortId();
    structure.BlobBlockSize = 512;
    if (resultPasswordGiven) {
        structure.Encrypted = true;
        structure.Password = resultPassword;
    }
    std::vector<TAggregateColumn> aggregates;
    for (const TResultField& f : resultFields) structure.Fields.push_back(f.desc);
    for (const TResultField& f : resultFields) {
        if (f.aggregate == akNone) continue;
        TAggregateColumn column{f.fieldNo, f.aggregate, 0};
        // AVG counts the values it has added in a hidden column of its own.
        if (f.aggregate == akAvg) {
            structure.Fields.push_back(
                MakeFieldDesc("Sys__Avg__Count" + std::to_string(f.fieldNo), kFieldInteger));
            column.countFieldNo = static_cast<std::uint16_t>(structure.Fields.size());
        }
        aggregates.push_back(column);
    }
    // The password is known to the session while the table is made and opened.
    const TSessionPassword password(session, resultPassword, resultPasswordGiven);
    {
        // An INTO table is a new one: a table of that name (perhaps a source of this
        // very query) is never overwritten.
        if (!temporaryResult_ && resultDirectory_->TableExists(name, inMemory)) {
            RaiseEngineError(RERUZO_TABLEEXISTS, {.database = resultDirectory_->Path(), .table = name});
        }
        const int code = resultDirectory_->CreateTable(name, std::move(structure), resultTable_,
                                                       {.InMemory = inMemory, .Temporary = temporaryResult_});
        if (code < 0) RaiseEngineError(static_cast<std::uint16_t>(-code), {.database = resultDirectory_->Path(), .table = name});
        resultCursor_ = std::make_unique<TDataCursor>(*resultDirectory_);
        resultCursor_->SetTableName(name);
        resultCursor_->SetExclusive(true);
        resultCursor_->SetShareExclusive(true);
        resultCursor_->SetInMemory(inMemory);
        resultCursor_->SetNaturalOrder(true);
        resultCursor_->OpenCursor();
        // The descriptors as the table laid them out (data sizes, offsets).
        for (std::size_t i = 0; i < resultFields.size(); ++i) resultFields[i].desc = resultCursor_->Fields()[i];
        combiner_ = std::make_unique<TGroupCombiner>(resultCursor_->Fields(), std::move(aggregates));
    }
}

// ---- Running -------------------------------------------------------------------------------

void TDataQuery::Execute() {
    if (kind == skInsert || kind == skUpdate || kind == skDelete) return ExecuteModify();
    if (kind >= skCreateTable) return ExecuteDefinition();
    // The parts after a UNION are run by the query that holds their result.
    if (kind != skSelect || unionPart) return;
    const std::int64_t start = NowMs();
    valuesGathered_ = false;
    values_.clear();
    // WITH LOCKS keeps every other writer out of the source tables meanwhile.
    std::vector<TDataTable*> locked;
    try {
        if (withLocks) {
            for (TSourceTable& t : sourceTables) {
                t.cursor->Table().WriteLock();
                locked.push_back(&t.cursor->Table());
            }
        }
        // The conditions are validated and prepared again, so that parameter values
        // bound since the last time take part.
        plan_ = std::make_unique<TJoinPlan>(*this, where.get());
        for (TDataQuery* part = unionQuery; part; part = part->unionQuery) {
            part->plan_ = std::make_unique<TJoinPlan>(*part, part->where.get());
        }
        if (live && orderIndexFound_) sourceTables.front().cursor->SetIndexName(orderIndex_);
        plan_->InstallFilters();
        if (!live) {
            CopyRows();
            SortResult();
            // The copied rows go to the file before they are read: a cache full of
            // records still to be written has no room for the reads.
            resultCursor_->FlushBuffers({});
        }
    } catch (...) {
        for (TDataTable* t : locked) t->WriteUnlock();
        throw;
    }
    for (TDataTable* t : locked) t->WriteUnlock();
    TDataCursor& result = *ResultCursor();
    result.SetToBegin();
    result.Refresh();
    rowCount = result.GetRecordCount();
    const std::int64_t end = NowMs();
    executionTime = end < start ? 0 : static_cast<double>(end - start) / 1000.0;
}

void TDataQuery::MakeRow(TJoinColumns& columns, std::span<std::uint8_t> out) {
    TDataCursor& result = *resultCursor_;
    const TDataCursor& first = *sourceTables.front().cursor;
    const TEvalContext context{first.LanguageId(), first.SortId(), &columns};
    std::vector<std::uint8_t> value;
    result.InitRecord(out);
    std::size_t aggregate = 0;
    for (const TResultField& f : resultFields) {
        if (f.aggregate != akNone) {
            const TAggregateColumn& column = combiner_->Columns()[aggregate++];
            if (!f.prepared) {
                combiner_->PutContribution(out, column, nullptr);
                continue;
            }
            TExpToken* v = Evaluate(f.prepared.get(), context);
            try {
                combiner_->PutContribution(out, column, v);
            } catch (...) {
                ReleaseNode(v);
                throw;
            }
            ReleaseNode(v);
            continue;
        }
        if (!f.isExpression) {
            // A table an outer join left without a row gives NULL.
            const auto table = static_cast<std::size_t>(f.sourceTable);
            const std::uint8_t* row = columns.Row(table);
            bool hasValue = false;
            TDataCursor& source = *sourceTables[table].cursor;
            const std::span<const std::uint8_t> record = row ? std::span(row, source.RecordSize())
                                                            : std::span<const std::uint8_t>();
            if (row) hasValue = source.GetField(f.sourceField, record, value);
            if (f.desc.FieldType == kFieldBlob) {
                // A BLOB reference means nothing in another table's BLOB file: the
                // value itself is copied, and the result's append writes it there.
                result.FreeBlob(out, f.fieldNo);
                result.PutField(f.fieldNo, out, {}, true);
                if (hasValue) {
                    std::vector<std::uint8_t> bytes(source.GetBlobSize(record, f.sourceField));
                    source.GetBlob(record, f.sourceField, 0, bytes);
                    source.FreeBlob(record, f.sourceField);
                    result.PutBlob(out, f.fieldNo, 0, bytes);
                }
                continue;
            }
            if (!hasValue) value.assign(f.desc.DataSize, 0);
            result.PutField(f.fieldNo, out, value, !hasValue);
            continue;
        }
        TExpToken* v = Evaluate(f.prepared.get(), context);
        const bool isNull = v->isNull;
        value.assign(v->value.begin(), v->value.begin() + std::min<std::size_t>(v->value.size(), f.desc.DataSize));
        value.resize(f.desc.DataSize, 0);
        ReleaseNode(v);
        result.PutField(f.fieldNo, out, value, isNull);
    }
}

void TDataQuery::CopyRows() {
    TDataCursor& result = *resultCursor_;
    result.Table().Empty();
    result.Refresh();
    std::vector<std::uint8_t> out(result.RecordSize());
    std::vector<std::uint8_t> group;
    TJoinColumns columns(sourceTables);
    const std::uint16_t steps = sourceTables.front().cursor->Table().Session().ProgressSteps();
    const int step = steps == 0 ? 100 : std::max(1, 100 / steps);
    int reported = 0;
    std::int32_t rows = 0;
    std::int32_t copied = 0;
    const auto& progress = statement_.Progress();
    // Rows of a group (or copies of a DISTINCT row) that are equal byte for byte meet
    // here already, up to kMaxEarlyGroups of them: a group's row takes in the rows that
    // follow, and only one row of each goes into the table. The grouping or DISTINCT
    // sort then combines what is left, rows that are equal only in the table's
    // collation and groups beyond the limit included, as it would have all rows.
    constexpr std::size_t kMaxEarlyGroups = 65536;
    const bool early = !unionQuery && (distinct || (grouped && !aggregatesOnly));
    std::vector<const TFieldDesc*> keyFields;
    if (early) {
        const std::vector<TFieldDesc>& fields = result.Fields();
        if (distinct) {
            for (std::size_t i = 0; i < resultFields.size(); ++i) keyFields.push_back(&fields[i]);
        } else {
            for (std::size_t c : groupColumns_) keyFields.push_back(&fields[c]);
        }
    }
    std::unordered_map<std::string, std::vector<std::uint8_t>> earlyGroups;
    std::string key;
    plan_->ForEachRow(
        columns,
        [&] {
            if (maxRowCount >= 0 && copied >= maxRowCount) return false;
            MakeRow(columns, out);
            if (aggregatesOnly) {
                // The whole input is one group, combined as it is read.
                if (rows == 0) {
                    group = out;
                } else {
                    combiner_->Combine(group, out);
                }
            } else if (early) {
                key.clear();
                for (const TFieldDesc* f : keyFields) {
                    key.append(reinterpret_cast<const char*>(out.data() + f->Offset), std::size_t{f->DataSize} + 1);
                }
                if (auto it = earlyGroups.find(key); it != earlyGroups.end()) {
                    if (!distinct) combiner_->Combine(it->second, out);
                } else if (earlyGroups.size() < kMaxEarlyGroups) {
                    earlyGroups.emplace(key, out);
                } else {
                    result.AppendRecord(out, false);
                }
                ++copied;
            } else {
                result.AppendRecord(out, false);
                ++copied;
            }
            ++rows;
            return true;
        },
        [&](std::int32_t position, std::int32_t count) {
            const int percent = static_cast<int>((std::int64_t{position} * 100 + count / 2) / std::max(count, 1));
            if (percent < reported + step) return true;
            reported = percent;
            return !progress || progress(percent);
        });
    for (const auto& [k, row] : earlyGroups) result.AppendRecord(row, false);
    // The rows of the parts after UNION ALL follow, converted to the result's columns.
    for (TDataQuery* part = unionQuery; part; part = part->unionQuery) {
        TJoinColumns partColumns(part->sourceTables);
        const TDataCursor& first = *part->sourceTables.front().cursor;
        const TEvalContext context{first.LanguageId(), first.SortId(), &partColumns};
        part->plan_->InstallFilters();
        part->plan_->ForEachRow(
            partColumns,
            [&] {
                if (maxRowCount >= 0 && copied >= maxRowCount) return false;
                result.InitRecord(out);
                for (std::size_t i = 0; i < resultFields.size(); ++i) {
                    const TResultField& f = part->resultFields[i];
                    TExpToken* v = Evaluate(f.isExpression ? f.prepared.get() : f.expression.get(), context);
                    const bool isNull = v->isNull;
                    std::vector<std::uint8_t> value =
                        isNull ? std::vector<std::uint8_t>(resultFields[i].desc.DataSize, 0)
                               : ValueAsField(*v, resultFields[i].desc);
                    ReleaseNode(v);
                    result.PutField(resultFields[i].fieldNo, out, value, isNull);
                }
                result.AppendRecord(out, false);
                ++copied;
                return true;
            },
            {});
    }
    if (aggregatesOnly) {
        if (rows == 0) {
            group.assign(result.RecordSize(), 0);
            result.InitRecord(group);
            combiner_->PutEmptyGroup(group);
        }
        combiner_->Finish(group);
        result.AppendRecord(group, false);
    }
}

bool TDataQuery::Contains(const TExpToken& value) {
    if (value.isNull) return false;
    if (!valuesGathered_) {
        TDataCursor& result = *ResultCursor();
        const TFieldDesc& field = result.Fields().front();
        std::vector<std::uint8_t> row(result.RecordSize());
        result.SetToBegin();
        while (result.GetNextRecord(row) == 0) {
            if (!FieldIsNull(row, field)) values_.insert(ComparisonKey(field.FieldType, FieldData(row, field)));
        }
        valuesGathered_ = true;
    }
    const std::size_t size = std::min<std::size_t>(value.value.size(), std::max<std::uint32_t>(value.dataSize, 34));
    return values_.count(ComparisonKey(value.dataType, std::span<const std::uint8_t>(value.value.data(), size))) > 0;
}

void TDataQuery::SortResult() {
    TDataCursor& result = *resultCursor_;
    auto fieldsOf = [&](const std::vector<std::size_t>& columns, const std::vector<TOrderByField>* order) {
        std::vector<TSortField> fields;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            fields.push_back({result.Fields()[columns[i]], order && (*order)[i].descending});
        }
        return fields;
    };
    const std::string runs = statement_.Directory().Session().GetPrivateDir();
    bool sorted = false;
    // UNION without ALL, and DISTINCT: one row of each set of equal rows.
    if (distinct || (unionQuery && unionQuery->unionKind == ukUnion)) {
        std::vector<std::size_t> all(resultFields.size());
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
        TSortRequest request;
        request.fields = fieldsOf(all, nullptr);
        request.removeDuplicates = true;
        result.CloseCursor();
        SortTable(*resultTable_, request, runs);
        result.OpenCursor();
        sorted = true;
    } else if (grouped && !aggregatesOnly) {
        TSortRequest request;
        request.fields = fieldsOf(groupColumns_, nullptr);
        request.grouping = true;
        request.accumulate = [this](bool start, std::span<const std::uint8_t> record, std::span<std::uint8_t> group) {
            if (!start) combiner_->Combine(group, record);
        };
        request.finish = [this](std::span<std::uint8_t> group) { combiner_->Finish(group); };
        // The cursor is closed while the table sorts: the test keeps what it needs.
        const std::vector<TFieldDesc> fields = result.Fields();
        const std::uint16_t languageId = result.LanguageId(), sortId = result.SortId();
        if (havingPrepared_) {
            request.test = [this, &fields, languageId, sortId](std::span<const std::uint8_t> group) {
                TRecordColumns columns(fields);
                columns.SetRecord(group);
                return Accepts(havingPrepared_.get(), {languageId, sortId, &columns});
            };
        }
        result.CloseCursor();
        SortTable(*resultTable_, request, runs);
        result.OpenCursor();
        sorted = true;
    }
    if (hasOrderBy && !(sorted && orderDone_)) {
        TSortRequest request;
        request.fields = fieldsOf(orderColumns_, &orderByFields);
        request.caseInsensitive = orderByNoCase;
        result.CloseCursor();
        SortTable(*resultTable_, request, runs);
        result.OpenCursor();
    }
}

void TDataQuery::Close() {
    prepared_ = false;
    valuesGathered_ = false;
    values_.clear();
    plan_.reset();
    if (resultCursor_) {
        resultCursor_->CloseCursor();
        resultCursor_.reset();
    }
    if (resultTable_) {
        resultDirectory_->CloseTable(resultTable_, temporaryResult_);
        resultTable_ = nullptr;
    }
    if (resultDirectory_) {
        resultDirectory_->Session().CloseDirectory(*resultDirectory_);
        resultDirectory_ = nullptr;
    }
    if (definition.table.openedDirectory) {
        definition.table.openedDirectory->Session().CloseDirectory(*definition.table.openedDirectory);
        definition.table.openedDirectory = nullptr;
    }
    for (TSourceTable& t : sourceTables) {
        if (t.cursor) {
            t.cursor->CloseCursor();
            t.cursor.reset();
        }
        if (t.openedDirectory) {
            t.openedDirectory->Session().CloseDirectory(*t.openedDirectory);
            t.openedDirectory = nullptr;
        }
    }
    live = false;
}

}  // namespace reruzo
