// Splitting a WHERE tree over the source tables, and walking the rows of the join.
#include "engine/sql/sql_join.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/index/keys.h"
#include "engine/expr/expression_check.h"
#include "engine/sql/expression_filter.h"
#include "engine/sql/sql_aggregate.h"
#include "engine/storage/field_text.h"

namespace reruzo {
namespace {

constexpr const char* kWhereContext = "WHERE or JOIN clause";

bool IsAnd(const TExpToken* n) { return n->kind == nkBinary && n->op == opAnd; }

// A parsed condition and where it was written: -1 the WHERE clause, else the join.
struct TPart {
    const TExpToken* node;
    int join;
};

void Flatten(const TExpToken* n, int join, const TDataQuery& q, std::vector<TPart>& out) {
    for (std::size_t j = 0; j < q.joins.size(); ++j) {
        if (q.joins[j].condition == n) join = static_cast<int>(j);
    }
    if (IsAnd(n)) {
        Flatten(n->Operand(0), join, q, out);
        Flatten(n->Operand(1), join, q, out);
        return;
    }
    out.push_back({n, join});
}

void CollectTables(const TExpToken* n, const TJoinColumns& columns, std::vector<bool>& used) {
    if (!n) return;
    if (n->kind == nkColumn && n->fieldNo != 0) used[columns.TableOf(*n)] = true;
    for (const TExpToken* o : n->operands) CollectTables(o, columns, used);
}

// Whether `n` names columns of the first `below` tables only.
bool OnlyTables(const TExpToken* n, const TJoinColumns& columns, std::size_t tables, std::size_t below) {
    std::vector<bool> used(tables, false);
    CollectTables(n, columns, used);
    return std::find(used.begin() + static_cast<std::ptrdiff_t>(below), used.end(), true) == used.end();
}

// Whether an outer join may leave `t` without a row: a LEFT JOIN its own table, a
// RIGHT JOIN the tables written before its table.
bool MadeOptionalBy(const TTableJoin& j, const TSourceTable& t) {
    if (j.kind == jkLeftOuter) return t.tableNumber == j.tableNumber;
    return j.kind == jkRightOuter && t.tableNumber < j.tableNumber;
}

}  // namespace

std::string ComparisonKey(std::uint8_t type, std::span<const std::uint8_t> data) {
    const std::uint8_t* p = data.data();
    auto number = [](double v) {
        if (std::nearbyint(v) == v && std::abs(v) < 9.0e15) return "N" + std::to_string(static_cast<std::int64_t>(v));
        return "F" + FieldDataText(kFieldFloat, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&v), 8),
                                   TBooleanWords::Upper)
                         .value_or("");
    };
    if (type == kFieldString) {
        const auto* chars = reinterpret_cast<const char*>(p);
        return "S" + std::string(chars, strnlen(chars, data.size()));
    }
    if (!IsNumberType(type)) return "B" + std::string(reinterpret_cast<const char*>(p), data.size());
    const TNumberValue n = ReadNumber(type, p);
    if (n.kind == TNumberValue::kInteger) return "N" + std::to_string(n.i);
    if (n.kind == TNumberValue::kCurrency && n.i % 10000 == 0) return "N" + std::to_string(n.i / 10000);
    return number(AsDouble(n));
}

TResolveColumn SourceColumnResolver(const std::vector<TSourceTable>& tables) {
    return [&tables](TExpToken& column) {
        for (const TSourceTable& t : tables) {
            if (!column.qualifier.empty() && !SameSqlName(column.qualifier, t.correlationName)) continue;
            if (FieldResolver(t.cursor->Fields(), t.correlationName)(column)) {
                column.qualifier = t.correlationName;
                return true;
            }
        }
        return false;
    };
}

// ---- Columns of the joined rows ----------------------------------------------------------

TJoinColumns::TJoinColumns(const std::vector<TSourceTable>& tables) : tables_(tables) {
    for (const TSourceTable& t : tables) {
        columns_.push_back(std::make_unique<TRecordColumns>(t.cursor->Fields()));
        nullRows_.emplace_back(t.cursor->RecordSize(), 0);
        rows_.push_back(nullptr);
    }
    for (std::size_t i = 0; i < tables.size(); ++i) SetRow(i, nullptr);
}

void TJoinColumns::SetRow(std::size_t table, const std::uint8_t* record) {
    rows_[table] = record;
    const std::uint8_t* data = record ? record : nullRows_[table].data();
    columns_[table]->SetRecord(std::span<const std::uint8_t>(data, nullRows_[table].size()));
}

std::size_t TJoinColumns::TableOf(const TExpToken& column) const {
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        if (SameSqlName(tables_[i].correlationName, column.qualifier)) return i;
    }
    return 0;
}

void ReadBlobColumn(TDataCursor& cursor, std::span<const std::uint8_t> record, const TFieldDesc& field,
                    TExpToken& into) {
    into.kind = nkConstant;
    into.dataType = kFieldBlob;
    into.subType = field.SubType;
    into.scale = 0;
    into.isNull = FieldIsNull(record, field);
    std::size_t size = 0;
    if (!into.isNull) {
        size = cursor.GetBlobSize(record, field.FieldNo);
        into.Reserve(size + 1);
        cursor.GetBlob(record, field.FieldNo, 0, std::span(into.value.data(), size));
        cursor.FreeBlob(record, field.FieldNo);
    }
    into.dataSize = static_cast<std::uint32_t>(size);
    into.isNull = size == 0;
}

void TJoinColumns::ReadColumn(const TExpToken& column, TExpToken& into) {
    const std::size_t table = TableOf(column);
    TDataCursor& cursor = *tables_[table].cursor;
    if (rows_[table] && column.fieldNo >= 1 && column.fieldNo <= cursor.Fields().size()) {
        const TFieldDesc& field = cursor.Fields()[column.fieldNo - 1u];
        if (field.FieldType == kFieldBlob) {
            ReadBlobColumn(cursor, std::span(rows_[table], cursor.RecordSize()), field, into);
            return;
        }
    }
    columns_[table]->ReadColumn(column, into);
}

// ---- The plan -------------------------------------------------------------------------------

// A table after the first: searched through an index on its join column, or read into
// memory with a hash of that column.
struct TJoinPlan::TInner {
    std::uint16_t keyField = 0;         // the column of this table the join is over (0: none)
    TExpTree probe;                     // the expression over earlier tables it must equal
    bool throughIndex = false;
    std::string indexName;
    std::vector<std::uint8_t> key;      // a record holding the probe value, for the range
    std::vector<std::vector<std::uint8_t>> rows;
    std::unordered_multimap<std::string, std::size_t> byKey;
};

TJoinPlan::TJoinPlan(TDataQuery& query, const TExpToken* where) : query_(query) {
    const std::vector<TSourceTable>& tables = query.sourceTables;
    const std::size_t n = tables.size();
    filters_.resize(n);
    match_.resize(n);
    optional_.assign(n, false);
    for (std::size_t k = 1; k < n; ++k) inner_.push_back(std::make_unique<TInner>());
    // The tables an outer join may leave without a row: a LEFT JOIN's table alone, a
    // RIGHT JOIN's the tables written before it (they follow it, side by side).
    groupEnd_.assign(n, 0);
    groupReached_.assign(n, false);
    for (const TTableJoin& j : query.joins) {
        std::size_t from = n, to = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!MadeOptionalBy(j, tables[i])) continue;
            optional_[i] = true;
            from = std::min(from, i);
            to = std::max(to, i + 1);
        }
        if (from < to) groupEnd_[from] = std::max(groupEnd_[from], to);
    }
    const TDataCursor& first = *tables.front().cursor;
    context_.languageId = first.LanguageId();
    context_.sortId = first.SortId();
    if (!where) return;

    TJoinColumns columns(tables);
    const TResolveColumn sources = SourceColumnResolver(tables);
    const TResolveColumn resolve = [&](TExpToken& column) {
        if (!column.qualifier.empty() &&
            std::none_of(tables.begin(), tables.end(),
                         [&](const TSourceTable& t) { return SameSqlName(t.correlationName, column.qualifier); })) {
            RaiseEngineError(RERUZO_SQLPARSE, {.text = "Table correlation name '" + column.qualifier +
                                                       "' referenced in WHERE clause is not defined in the FROM clause"});
        }
        return sources(column);
    };
    auto validate = [&](const TExpToken* parsed) {
        TExpToken* root = CloneTree(parsed);
        try {
            Validate(root, {RERUZO_SQLPARSE, tables.front().tableName, kWhereContext, false, resolve});
        } catch (...) {
            FreeTree(root);
            throw;
        }
        return TExpTree(root);
    };
    // The whole tree first, for its messages and its type.
    if (validate(where)->dataType != kFieldBoolean) {
        RaiseEngineError(RERUZO_SQLPARSE, {.text = "WHERE or JOIN clause must be a boolean expression"});
    }
    std::vector<TPart> parts;
    Flatten(where, -1, query, parts);
    std::vector<TExpTree> single(n);  // the conditions of each table's filter, AND-ed
    std::vector<std::size_t> joinedTo(n, n);  // per table: the earlier table a condition joins it to
    auto prepare = [&](const TExpToken* validated) {
        return TExpTree(reruzo::Prepare(validated, {false, false, context_.languageId, context_.sortId}));
    };
    for (const TPart& part : parts) {
        TExpTree condition = validate(part.node);
        std::vector<bool> used(n, false);
        CollectTables(condition.get(), columns, used);
        std::size_t count = 0, last = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (used[i]) {
                ++count;
                last = i;
            }
        }
        const bool onOptional = count > 0 && [&] {
            for (std::size_t i = 0; i < n; ++i) {
                if (used[i] && optional_[i]) return true;
            }
            return false;
        }();
        // A join condition compares columns of two tables: neither side may mix them.
        if (part.join >= 0 && count > 1 && condition->kind == nkBinary && condition->op >= opEq &&
            condition->op <= opLe) {
            for (const TExpToken* side : condition->operands) {
                std::vector<bool> sideTables(n, false);
                CollectTables(side, columns, sideTables);
                if (std::count(sideTables.begin(), sideTables.end(), true) > 1) {
                    RaiseEngineError(RERUZO_SQLPARSE,
                                     {.text = "The join condition cannot contain multiple table correlation names in "
                                              "either the left or right operand in WHERE or JOIN clause"});
                }
            }
        }
        // A comparison between two tables joins the later (its target) to the earlier;
        // a table is joined to one other table only, by as many conditions as needed.
        if (count == 2 && condition->kind == nkBinary && condition->op >= opEq && condition->op <= opLe) {
            const std::size_t from = static_cast<std::size_t>(std::find(used.begin(), used.end(), true) - used.begin());
            if (joinedTo[last] != n && joinedTo[last] != from) {
                RaiseEngineError(RERUZO_SQLPARSE, {.text = "Internal join error - table correlation name \"" +
                                                           tables[last].correlationName +
                                                           "\" is target of multiple join conditions in WHERE or JOIN clause"});
            }
            joinedTo[last] = from;
        }
        if (part.join < 0 && onOptional) {
            residual_.push_back(prepare(condition.get()));
        } else if (count <= 1 && (part.join < 0 || optional_[last] ||
                                  query.joins[static_cast<std::size_t>(part.join)].kind == jkInner)) {
            PutColumnsLeft(condition.get());
            TExpTree& into = single[last];
            into.reset(into ? AndNode(into.release(), condition.release()) : condition.release());
        } else {
            // Between tables, or an outer join's ON condition on its preserved side:
            // checked when the last table it names is placed.
            std::size_t at = last;
            if (part.join >= 0) {
                // An outer join's ON condition decides whether its optional tables
                // match: it is checked no earlier than the first of them.
                const TTableJoin& j = query.joins[static_cast<std::size_t>(part.join)];
                for (std::size_t i = 0; i < n; ++i) {
                    if (MadeOptionalBy(j, tables[i])) {
                        at = std::max(at, i);
                        break;
                    }
                }
            }
            if (at == 0) {
                residual_.push_back(prepare(condition.get()));
            } else {
                match_[at].push_back(prepare(condition.get()));
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (single[i]) filters_[i].reset(reruzo::Prepare(single[i].get(), {false, false, tables[i].cursor->LanguageId(),
                                                                           tables[i].cursor->SortId()}));
    }
    // A hash for each joined table over the first equality that ties one of its
    // columns to the tables before it.
    for (std::size_t k = 1; k < n; ++k) {
        for (const TExpTree& c : match_[k]) {
            if (c->kind != nkBinary || c->op != opEq) continue;
            for (int side = 0; side < 2; ++side) {
                const TExpToken* column = c->Operand(side);
                const TExpToken* other = c->Operand(1 - side);
                if (column->kind != nkColumn || columns.TableOf(*column) != k || !OnlyTables(other, columns, n, k)) continue;
                inner_[k - 1]->keyField = column->fieldNo;
                inner_[k - 1]->probe.reset(CloneTree(other));
                break;
            }
            if (inner_[k - 1]->keyField != 0) break;
        }
    }
    // The same for the first table against the second, should the walk be reversed.
    if (n == 2 && query.kind == skSelect && !optional_[0] && !optional_[1]) {
        reversed_ = std::make_unique<TInner>();
        for (const TExpTree& c : match_[1]) {
            if (c->kind != nkBinary || c->op != opEq) continue;
            for (int side = 0; side < 2 && reversed_->keyField == 0; ++side) {
                const TExpToken* column = c->Operand(side);
                const TExpToken* other = c->Operand(1 - side);
                std::vector<bool> used(n, false);
                CollectTables(other, columns, used);
                if (column->kind != nkColumn || columns.TableOf(*column) != 0 || used[0] || !used[1]) continue;
                reversed_->keyField = column->fieldNo;
                reversed_->probe.reset(CloneTree(other));
            }
            if (reversed_->keyField != 0) break;
        }
    }
}

TJoinPlan::~TJoinPlan() = default;

void TJoinPlan::InstallFilters() {
    for (std::size_t i = 0; i < filters_.size(); ++i) {
        TDataCursor& cursor = *query_.sourceTables[i].cursor;
        cursor.DropFilter(nullptr);
        if (!filters_[i]) continue;
        TFilter* filter = AddExprFilter(cursor, TExpTree(CloneTree(filters_[i].get())), {.countCheck = true});
        cursor.ActivateFilter(filter);
    }
}

bool TJoinPlan::Holds(const std::vector<TExpTree>& conditions, TJoinColumns& columns) const {
    TEvalContext context = context_;
    context.columns = &columns;
    for (const TExpTree& c : conditions) {
        if (!Accepts(c.get(), context)) return false;
    }
    return true;
}

void TJoinPlan::Place(std::size_t k, TJoinColumns& columns, const std::function<bool()>& row, bool& stop) {
    // Reaching here completes a row for every optional group that ends here.
    for (std::size_t s = 0; s < k; ++s) {
        if (groupEnd_[s] == k) groupReached_[s] = true;
    }
    if (k == query_.sourceTables.size()) {
        if (Holds(residual_, columns) && !row()) stop = true;
        return;
    }
    TInner& inner = *inner_[k - 1];
    const std::size_t groupEnd = groupEnd_[k];
    if (groupEnd != 0) groupReached_[k] = false;
    auto tryRow = [&](const std::uint8_t* record) {
        columns.SetRow(k, record);
        if (Holds(match_[k], columns)) Place(k + 1, columns, row, stop);
    };
    if (inner.throughIndex) {
        PlaceThroughIndex(inner, *query_.sourceTables[k].cursor, columns, tryRow, stop);
    } else if (inner.keyField != 0) {
        std::string key;
        const bool found = EvaluateProbe(inner, columns, [&](const TExpToken& probe) {
            const std::size_t size = std::min<std::size_t>(probe.value.size(), std::max<std::uint32_t>(probe.dataSize, 34));
            key = ComparisonKey(probe.dataType, std::span<const std::uint8_t>(probe.value.data(), size));
        });
        if (found) {
            const auto [from, to] = inner.byKey.equal_range(key);
            for (auto it = from; it != to && !stop; ++it) tryRow(inner.rows[it->second].data());
        }
    } else {
        for (const auto& record : inner.rows) {
            if (stop) break;
            tryRow(record.data());
        }
    }
    // Optional tables that yielded no joined row: the row goes on with NULLs for them.
    if (groupEnd != 0 && !groupReached_[k] && !stop) {
        for (std::size_t i = k; i < groupEnd; ++i) columns.SetRow(i, nullptr);
        Place(groupEnd, columns, row, stop);
    }
}

// Evaluates the probe of a joined table on the current rows and hands a value that is
// not NULL to `use`; false for NULL, which equals nothing.
bool TJoinPlan::EvaluateProbe(TInner& inner, TJoinColumns& columns, const std::function<void(const TExpToken&)>& use) {
    TEvalContext context = context_;
    context.columns = &columns;
    TExpToken* probe = Evaluate(inner.probe.get(), context);
    const bool found = !probe->isNull;
    try {
        if (found) use(*probe);
    } catch (...) {
        ReleaseNode(probe);
        throw;
    }
    ReleaseNode(probe);
    return found;
}

// The rows of the cursor's table whose join column equals the probe, found through the
// index chosen for it; the table's filter hides the rows it does not pass.
void TJoinPlan::PlaceThroughIndex(TInner& inner, TDataCursor& cursor, TJoinColumns& columns,
                                  const std::function<void(const std::uint8_t*)>& tryRow, const bool& stop) {
    const bool probed = EvaluateProbe(inner, columns, [&](const TExpToken& probe) {
        std::fill(inner.key.begin(), inner.key.end(), 0);
        // A string is put whole: the field's own rules (case, trailing blanks, length)
        // then shape it as they shaped the stored values.
        const std::size_t size = probe.dataType == kFieldString ? probe.value.size()
                                                                : std::min<std::size_t>(probe.value.size(), probe.dataSize);
        cursor.PutField(inner.keyField, inner.key, std::span<const std::uint8_t>(probe.value.data(), size), false);
    });
    if (!probed) return;
    // Equal keys sit together in the index: the walk ends at the first other one.
    const TKeyLayout& layout = cursor.ActiveKeyLayout();
    const std::size_t length = layout.fields.front().Width() + 1;
    std::vector<std::uint8_t> wanted(layout.KeyLength()), found(layout.KeyLength());
    BuildKey(layout, inner.key, wanted);
    std::vector<std::uint8_t> record(cursor.RecordSize());
    if (!cursor.Find(true, inner.key, 1, 0, false, record)) return;
    do {
        BuildKey(layout, record, found);
        if (CompareKeys(layout, found.data(), wanted.data(), length) != 0) break;
        tryRow(record.data());
    } while (!stop && cursor.GetNextRecord(record) == 0);
}

// Chooses, for each joined table, an index search per row or a hash of its rows. A
// table larger than the driving table whose join column leads a usable index is
// searched; the others are read into memory.
void TJoinPlan::ChooseIndexes() {
    const std::vector<TSourceTable>& tables = query_.sourceTables;
    const std::int32_t drivingRows = tables.front().cursor->GetRecordCount();
    for (std::size_t k = 1; k < tables.size(); ++k) {
        TInner& inner = *inner_[k - 1];
        TDataCursor& cursor = *tables[k].cursor;
        inner.throughIndex = false;
        if (inner.keyField == 0 || cursor.GetRecordCount() <= drivingRows) continue;
        UseIndexFor(inner, cursor);
    }
}

bool TJoinPlan::UseIndexFor(TInner& inner, TDataCursor& cursor) {
    inner.throughIndex = false;
    const TFieldDesc& field = cursor.Fields()[inner.keyField - 1u];
    if (inner.probe->dataType != field.FieldType) return false;
    const TIndexFile& index = cursor.Table().Index();
    for (int slot = 0; slot <= index.Header().SecondaryCount && !inner.throughIndex; ++slot) {
        const TIndexDesc& d = index.Descriptor(slot);
        if (!d.Defined() || (slot == 0 && index.NoPrimaryIndex()) || d.FieldNumbers[0] != inner.keyField) continue;
        inner.throughIndex = true;
        inner.indexName = slot == 0 ? std::string() : d.Name;
    }
    if (!inner.throughIndex) return false;
    cursor.SetIndexName(inner.indexName);
    inner.key.assign(cursor.RecordSize(), 0);
    return true;
}

bool TJoinPlan::WalkReversed() {
    // An index search costs several times a row read in order: the second table must
    // be well below the first for its rows' searches to beat reading the first.
    constexpr std::int32_t kSearchCost = 8;
    if (!reversed_ || reversed_->keyField == 0) return false;
    TDataCursor& first = *query_.sourceTables[0].cursor;
    TDataCursor& second = *query_.sourceTables[1].cursor;
    const std::int64_t small = second.GetRecordCount();
    if (small * kSearchCost >= first.GetRecordCount()) return false;
    return UseIndexFor(*reversed_, first);
}

void TJoinPlan::ForEachRow(TJoinColumns& columns, const std::function<bool()>& row,
                           const std::function<bool(std::int32_t, std::int32_t)>& progress) {
    const std::vector<TSourceTable>& tables = query_.sourceTables;
    // Reversed, each row of the second table is followed by its partners in the first;
    // the conditions between them are checked on the pair, as the forward walk checks
    // them.
    const bool reversed = WalkReversed();
    if (!reversed) ChooseIndexes();
    for (std::size_t k = 1; k < tables.size() && !reversed; ++k) {
        TInner& inner = *inner_[k - 1];
        TDataCursor& cursor = *tables[k].cursor;
        inner.rows.clear();
        inner.byKey.clear();
        if (inner.throughIndex) continue;
        std::vector<std::uint8_t> record(cursor.RecordSize());
        cursor.SetToBegin();
        while (cursor.GetNextRecord(record) == 0) inner.rows.push_back(record);
        if (inner.keyField == 0) continue;
        const TFieldDesc& f = cursor.Fields()[inner.keyField - 1u];
        for (std::size_t i = 0; i < inner.rows.size(); ++i) {
            if (FieldIsNull(inner.rows[i], f)) continue;
            inner.byKey.emplace(ComparisonKey(f.FieldType, FieldData(inner.rows[i], f)), i);
        }
    }
    const std::size_t driving = reversed ? 1 : 0;
    TDataCursor& driver = *tables[driving].cursor;
    const std::int32_t count = driver.GetRecordCount();
    std::vector<std::uint8_t> record(driver.RecordSize());
    std::int32_t position = 0;
    bool stop = false;
    driver.SetToBegin();
    while (!stop && driver.GetNextRecord(record) == 0) {
        columns.SetRow(driving, record.data());
        if (reversed) {
            PlaceThroughIndex(*reversed_, *tables[0].cursor, columns,
                              [&](const std::uint8_t* partner) {
                                  columns.SetRow(0, partner);
                                  if (Holds(match_[1], columns) && Holds(residual_, columns) && !row()) stop = true;
                              },
                              stop);
        } else {
            Place(1, columns, row, stop);
        }
        ++position;
        if (!stop && progress && !progress(position, count)) stop = true;
    }
}

}  // namespace reruzo
