// Preparing and running INSERT, UPDATE and DELETE.
//
// Preparing resolves the target columns against the target table, pairs them with
// their values and checks constant values against their columns. Running stores
// values with the CAST conversions, inside a transaction of the statement's own
// (committed every CommitInterval rows, rolled back on an error) unless the caller
// has one open.
//
// Each row is changed once. UPDATE and DELETE first gather the record numbers of the
// qualifying rows (straight from the filter's record bitmap when the WHERE clause
// concerns the target table alone), then change those records one by one: a change
// that moves a record along the order the cursor walks, or into or out of a filter's
// range, cannot make it come round again, and a DELETE deletes exactly the rows that
// qualified when it began. The statement holds the table's transaction lock from
// before the gathering to the end, so no other process changes the table in between.
// An INSERT ... SELECT that reads its own target table copies the selected rows first,
// so that it reads the rows that existed when it began.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression_check.h"
#include "engine/expr/expression_eval.h"
#include "engine/sql/sql_aggregate.h"
#include "engine/sql/sql_join.h"
#include "engine/sql/sql_statement.h"
#include "engine/sql/value_conversion.h"
#include "engine/storage/byte_order.h"
#include "engine/table/data_session.h"

namespace reruzo {
namespace {

constexpr const char* kColumnsContext = "table columns";
constexpr const char* kValuesContext = "update values";

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}


// A constant, also a number with its sign ("-2").
bool IsConstantValue(const TExpToken& n) {
    if (n.kind == nkConstant) return true;
    const TExpToken* operand = n.Operand(0);
    return n.kind == nkUnary && (n.op == opNegate || n.op == opPlusSign) && operand && operand->kind == nkConstant;
}

// Columns of the row of a copied result table, BLOBs read through its cursor.
class TResultColumns : public TColumnSource {
public:
    TResultColumns(TDataCursor& cursor, std::span<const std::uint8_t> record)
        : cursor_(cursor), record_(record), plain_(cursor.Fields()) {
        plain_.SetRecord(record);
    }
    void ReadColumn(const TExpToken& column, TExpToken& into) override {
        const std::vector<TFieldDesc>& fields = cursor_.Fields();
        if (column.fieldNo >= 1 && column.fieldNo <= fields.size() && fields[column.fieldNo - 1u].FieldType == kFieldBlob) {
            ReadBlobColumn(cursor_, record_, fields[column.fieldNo - 1u], into);
            return;
        }
        plain_.ReadColumn(column, into);
    }

private:
    TDataCursor& cursor_;
    std::span<const std::uint8_t> record_;
    TRecordColumns plain_;
};

}  // namespace

// What one execution of an INSERT ... SELECT, UPDATE or DELETE keeps track of.
struct TModifyState {
    TDataCursor& target;
    TDataDirectory& directory;  // the target table's
    bool ownTransaction = false;
    std::int32_t interval = 0;  // rows between intermediate commits (0: none)
    std::int32_t changed = 0;
    // Progress: rows visited of the total, the last percentage reported and the step.
    std::int32_t position = 0;
    std::int32_t total = 0;
    int reported = 0;
    int step = 5;
    bool stopped = false;
};

// ---- Preparing -----------------------------------------------------------------------------

void TDataQuery::PrepareModify() {
    if (prepared_) return;
    prepared_ = true;
    OpenSources();
    TSourceTable& target = sourceTables.front();
    TDataSession& session = statement_.Directory().Session();
    if (session.StatementCallback) {
        session.StatementCallback(target.openedDirectory ? *target.openedDirectory : statement_.Directory(),
                                  kind == skInsert ? 1 : kind == skUpdate ? 2 : 3);
    }
    if (kind != skInsert) plan_ = std::make_unique<TJoinPlan>(*this, where.get());
    if (kind == skDelete) return;
    if (insertWithSelect) {
        // One value per column of the SELECT's result: on a live result the column's
        // expression over the source row, on a copied one the result table's column.
        TDataQuery& select = *selectQuery;
        select.Prepare();
        for (const TResultField& f : select.resultFields) {
            TUpdateValue value;
            value.text = f.resultName;
            if (select.live) {
                value.prepared.reset(CloneTree(f.isExpression ? f.prepared.get() : f.expression.get()));
            } else {
                value.prepared.reset(AcquireNode());
                TExpToken& column = *value.prepared;
                column.kind = nkColumn;
                column.name = f.resultName;
                column.text = f.resultName;
                column.fieldNo = f.fieldNo;
                column.dataType = ExpressionType(f.desc.FieldType);
                column.subType = f.desc.SubType;
                column.dataSize = f.desc.DataSize;
                column.scale = f.desc.Scale;
            }
            updateValues.push_back(std::move(value));
        }
    }
    ResolveTargetColumns();
    CheckValues();
}

void TDataQuery::ResolveTargetColumns() {
    TSourceTable& target = sourceTables.front();
    const std::vector<TFieldDesc>& fields = target.cursor->Fields();
    std::vector<TUpdateField> resolved;
    auto take = [&](TUpdateField field, const TFieldDesc& d) {
        field.columnName = d.Name;
        field.qualifier = target.correlationName;
        field.fieldNo = d.FieldNo;
        field.dataType = d.FieldType;
        field.subType = d.SubType;
        field.size = d.DataSize;
        field.scale = d.Scale;
        field.sourceTable = &target;
        hasBlobColumns = hasBlobColumns || d.FieldType == kFieldBlob;
        resolved.push_back(std::move(field));
    };
    for (TUpdateField& field : updateFields) {
        if (kind == skInsert && field.columnName == "*" && field.qualifier.empty()) {
            for (const TFieldDesc& d : fields) {
                TUpdateField column;
                column.columnText = d.Name;
                take(std::move(column), d);
            }
            continue;
        }
        // Only the target table's columns can be stored into: a column of another
        // table of FROM has no place in the target's records.
        const auto found = std::find_if(fields.begin(), fields.end(),
                                        [&](const TFieldDesc& d) { return SameSqlName(d.Name, field.columnName); });
        if (found == fields.end() || (!field.qualifier.empty() && !SameSqlName(field.qualifier, target.correlationName))) {
            RaiseEngineError(RERUZO_SQLPARSE,
                             {.text = ("Invalid column name '" + field.columnName + "'" + " or table correlation name '" +
                                       field.qualifier + "'" + " specified in " + kColumnsContext)
                                          .substr(0, 255)});
        }
        take(std::move(field), *found);
    }
    updateFields = std::move(resolved);
    if (updateFields.size() != updateValues.size()) {
        RaiseEngineError(RERUZO_SQLPARSE, {.text = "The number of values must match the number of table columns"});
    }
}

void TDataQuery::CheckValues() {
    TSourceTable& target = sourceTables.front();
    const TDataCursor& cursor = *target.cursor;
    const TResolveColumn sources = SourceColumnResolver(sourceTables);
    for (std::size_t i = 0; i < updateValues.size(); ++i) {
        TUpdateValue& value = updateValues[i];
        const TUpdateField& field = updateFields[i];
        if (!insertWithSelect) {
            // A quoted text among the values is the text the user typed, never the
            // column that happens to have that name.
            const TValidateOptions options{RERUZO_SQLPARSE, target.tableName, kValuesContext, false, sources, true};
            TExpToken* root = value.expression.release();
            try {
                Validate(root, options);
            } catch (...) {
                value.expression.reset(root);
                throw;
            }
            value.expression.reset(root);
            // A constant of another type than its column's is checked as the two
            // would be in "=": a text beside a date, time or timestamp becomes one.
            if (IsConstantValue(*root) && root->dataType != ExpressionType(field.dataType)) {
                TExpToken* column = AcquireNode();
                column->kind = nkColumn;
                column->name = field.columnName;
                column->text = field.columnText;
                column->qualifier = field.qualifier;
                column->fieldNo = field.fieldNo;
                column->dataType = ExpressionType(field.dataType);
                column->subType = field.subType;
                column->dataSize = field.size;
                column->scale = field.scale;
                TExpToken* equals = AcquireNode();
                equals->kind = nkBinary;
                equals->op = opEq;
                AddOperand(equals, column);
                AddOperand(equals, value.expression.release());
                TValidateOptions check = options;
                check.resolve = [column, &sources](TExpToken& n) { return &n == column || sources(n); };
                auto detach = [&] {
                    value.expression.reset(equals->operands.at(1));
                    value.expression->parent = nullptr;
                    equals->operands.pop_back();
                    FreeTree(equals);
                };
                try {
                    TExpToken* checked = equals;
                    Validate(checked, check);
                } catch (...) {
                    detach();
                    throw;
                }
                detach();
            }
            value.prepared.reset(reruzo::Prepare(value.expression.get(),
                                                 {false, false, cursor.LanguageId(), cursor.SortId()}));
        }
        value.conversion = std::make_shared<TColumnConversion>(field.dataType, field.subType, field.size, field.scale);
    }
}

// ---- Storing values ------------------------------------------------------------------------

void TDataQuery::StoreValues(TModifyState& state, TColumnSource& columns, std::span<std::uint8_t> record) {
    TDataCursor& target = state.target;
    const TEvalContext context{target.LanguageId(), target.SortId(), &columns};
    const char* statement = kind == skInsert ? " in INSERT statement" : " in UPDATE statement";
    // Every value is computed before any is stored: each reads the row as it was.
    std::vector<TValueNode> results;
    results.reserve(updateValues.size());
    for (std::size_t i = 0; i < updateValues.size(); ++i) {
        TValueNode result(Evaluate(updateValues[i].prepared.get(), context));
        TColumnConversion& conversion = *updateValues[i].conversion;
        if (conversion.Needed(*result)) {
            TExpToken* value = result.release();
            const bool converted = conversion.Convert(value, context);
            result.reset(value);
            if (!converted) {
                RaiseEngineError(RERUZO_SQLPARSE,
                                 {.table = target.TableName(),
                                  .text = ("Type mismatch between column " + updateFields[i].columnName +
                                           " and constant value " + updateValues[i].text + statement)
                                              .substr(0, 255)});
            }
        }
        results.push_back(std::move(result));
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < updateFields.size(); ++i) {
        const TUpdateField& field = updateFields[i];
        const TExpToken& result = *results[i];
        if (field.dataType == kFieldBlob) {
            // A BLOB is written through the cursor: it reaches the BLOB file when the
            // record is posted. An empty BLOB is stored as NULL.
            if (result.isNull && kind == skInsert) continue;
            target.OpenBlob(record, field.fieldNo);
            if (kind == skUpdate) target.TruncateBlob(record, field.fieldNo, 0);
            if (!result.isNull && result.dataSize > 0) {
                target.PutBlob(record, field.fieldNo, 0, std::span(result.value.data(), result.dataSize));
            }
            continue;
        }
        if (result.isNull) {
            target.PutField(field.fieldNo, record, {}, true);
            continue;
        }
        bytes = ValueAsField(result, target.Fields()[field.fieldNo - 1u]);
        target.PutField(field.fieldNo, record, bytes, false);
    }
}

// ---- Running -------------------------------------------------------------------------------

void TDataQuery::ExecuteModify() {
    const std::int64_t start = NowMs();
    rowCount = 0;
    TSourceTable& targetTable = sourceTables.front();
    TDataCursor& target = *targetTable.cursor;
    target.SetSuppressAutoInc(noAutoInc);
    for (TSourceTable& t : sourceTables) t.cursor->DropFilter(nullptr);
    // The conditions and values are prepared again, so that parameter values bound
    // since the last time take part.
    if (!insertWithSelect) {
        for (TUpdateValue& value : updateValues) {
            value.prepared.reset(
                reruzo::Prepare(value.expression.get(), {false, false, target.LanguageId(), target.SortId()}));
        }
    }
    if (kind == skInsert && !insertWithSelect) {
        // The append itself takes the write lock and sees what others changed.
        InsertValues();
    } else {
        if (kind != skInsert) plan_ = std::make_unique<TJoinPlan>(*this, where.get());
        TDataDirectory& directory = targetTable.openedDirectory ? *targetTable.openedDirectory : statement_.Directory();
        TModifyState state{target, directory};
        state.ownTransaction = !directory.InTransaction();
        if (state.ownTransaction) {
            state.interval = intervalGiven ? commitInterval
                                           : std::min<std::int32_t>(32768 / std::max<std::uint16_t>(target.RecordSize(), 1),
                                                                    8192);
            directory.StartTransaction();
        } else if (intervalGiven) {
            state.interval = commitInterval;
        }
        const std::uint16_t steps = directory.Session().ProgressSteps();
        state.step = steps == 0 ? 100 : std::max(1, 100 / steps);
        try {
            // Under the transaction's lock the cursors see the table as the statement
            // will change it.
            for (TSourceTable& t : sourceTables) t.cursor->Refresh();
            if (kind != skInsert) plan_->InstallFilters();
            RunRows(state);
            if (state.ownTransaction) directory.Commit(true, flush);
        } catch (...) {
            target.FreeBlobs();
            if (state.ownTransaction) {
                try {
                    directory.Rollback();
                } catch (const ERERUZOEngineError&) {
                    // The first error is the one to report.
                }
            }
            throw;
        }
        rowCount = state.changed;
        if (!state.stopped && state.reported < 100 && statement_.Progress()) statement_.Progress()(100);
    }
    const std::int64_t end = NowMs();
    executionTime = end < start ? 0 : static_cast<double>(end - start) / 1000.0;
}

void TDataQuery::InsertValues() {
    TDataCursor& target = *sourceTables.front().cursor;
    std::vector<std::uint8_t> record(target.RecordSize());
    // Columns not listed take their defaults.
    target.InitRecordDefaults(record);
    TJoinColumns noRow(sourceTables);  // there is no row: columns read as NULL
    TModifyState state{target, statement_.Directory()};
    try {
        StoreValues(state, noRow, record);
        target.AppendRecord(record, false);
    } catch (...) {
        target.FreeBlobs();
        throw;
    }
    rowCount = 1;
}

namespace {

// Reports progress for the next row; false when the caller asked to stop.
bool NextRow(TModifyState& state, const TQueryStatement::TProgress& progress) {
    ++state.position;
    const int percent =
        static_cast<int>((std::int64_t{state.position} * 100 + state.total / 2) / std::max(state.total, 1));
    if (percent < state.reported + state.step) return true;
    state.reported = percent;
    if (!progress || progress(percent)) return true;
    state.stopped = true;
    return false;
}

// Counts a changed row and commits every `interval` rows; the statement's row count
// follows the rows committed (or, in the caller's transaction, every row).
void RowChanged(TModifyState& state, std::int32_t& rowCount, bool flush) {
    ++state.changed;
    if (!state.ownTransaction) rowCount = state.changed;
    if (state.interval > 0 && state.changed % state.interval == 0) {
        state.target.CommitOwnChanges([&] { state.directory.Commit(false, flush); });
        rowCount = state.changed;
    }
}

}  // namespace

void TDataQuery::RunRows(TModifyState& state) {
    TDataCursor& target = state.target;
    const TQueryStatement::TProgress& progress = statement_.Progress();
    std::vector<std::uint8_t> record(target.RecordSize());

    if (kind == skInsert) {
        TDataQuery& select = *selectQuery;
        TDataCursor& source = *select.ResultCursor();
        state.total = source.GetRecordCount();
        auto insert = [&](TColumnSource& columns) {
            target.InitRecordDefaults(record);
            StoreValues(state, columns, record);
            target.AppendRecord(record, false);
            RowChanged(state, rowCount, flush);
        };
        if (select.live) {
            TJoinColumns columns(select.sourceTables);
            select.plan_->ForEachRow(
                columns,
                [&] {
                    if (!NextRow(state, progress)) return false;
                    insert(columns);
                    return true;
                },
                {});
        } else {
            std::vector<std::uint8_t> row(source.RecordSize());
            source.SetToBegin();
            while (source.GetNextRecord(row) == 0 && NextRow(state, progress)) {
                TResultColumns columns(source, row);
                insert(columns);
            }
        }
        return;
    }

    // The qualifying rows, gathered before the first change; for an UPDATE over
    // several tables also the rows of the other tables it was joined with first.
    std::vector<std::int32_t> rows;
    std::vector<std::vector<std::vector<std::uint8_t>>> partners;
    const bool keepPartners = kind == skUpdate && sourceTables.size() > 1;
    TJoinColumns columns(sourceTables);
    if (plan_->FilterDecides()) {
        target.SetToBegin();
        rows = target.View().Members();
    } else {
        plan_->ForEachRow(
            columns,
            [&] {
                const std::int32_t n = target.CurrentRecordNo();
                if (!rows.empty() && rows.back() == n) return true;  // another combination of the same row
                rows.push_back(n);
                if (keepPartners) {
                    std::vector<std::vector<std::uint8_t>> others;
                    for (std::size_t k = 1; k < sourceTables.size(); ++k) {
                        const std::uint8_t* row = columns.Row(k);
                        others.emplace_back(row ? std::vector<std::uint8_t>(row, row + sourceTables[k].cursor->RecordSize())
                                                : std::vector<std::uint8_t>());
                    }
                    partners.push_back(std::move(others));
                }
                return true;
            },
            {});
    }

    // The rows are known: the target's filters have done their work. Left in place,
    // every delete would look for its neighbours among the qualifying rows, which the
    // statement removes one after the other (a walk from the start of the table each
    // time), and every commit on the way would test the whole table again.
    target.DropFilter(nullptr);

    state.total = static_cast<std::int32_t>(rows.size());
    std::vector<std::uint8_t> bookmark(4);
    std::vector<std::uint8_t> old(target.RecordSize());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!NextRow(state, progress)) break;
        const std::int32_t n = rows[i];
        PutLE(bookmark.data(), n);
        if (!target.SetToBookmark(bookmark, false)) continue;  // no longer there
        if (kind == skDelete) {
            target.GetCurRecord(record, false);
            target.DeleteRecord(record, false);
            RowChanged(state, rowCount, flush);
            continue;
        }
        // The record is locked while it changes.
        target.GetCurRecord({}, true);
        try {
            target.GetCurRecord(old, false);
            if (target.CurrentRecordNo() != n || !target.View().Has(n)) {
                target.WriteUnlockRecord(n);
                continue;
            }
            record = old;
            columns.SetRow(0, old.data());
            for (std::size_t k = 1; keepPartners && k < sourceTables.size(); ++k) {
                const std::vector<std::uint8_t>& row = partners[i][k - 1];
                columns.SetRow(k, row.empty() ? nullptr : row.data());
            }
            StoreValues(state, columns, record);
            target.ModifyRecord(record, true, false);
        } catch (...) {
            target.FreeBlobs();
            target.WriteUnlockRecord(n);
            throw;
        }
        RowChanged(state, rowCount, flush);
    }
}

}  // namespace reruzo
