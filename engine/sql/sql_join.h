// The rows of a SELECT over one or more tables. The WHERE tree (which holds the join
// conditions) is split into its AND-ed conditions:
//   - a condition on one table only becomes a filter of that table's cursor, answered
//     by record bitmaps and its indexes (except a WHERE condition on the optional side
//     of an outer join, which must see the NULLs the join adds, and an ON condition
//     of an outer join on its preserved side, which must not drop preserved rows);
//   - a condition between tables is checked when the last table it names is placed;
//     an equality between a column of that table and an expression over the tables
//     before it finds the matching rows through a hash of that table's rows;
//   - WHERE conditions on the optional side of an outer join are checked on the
//     complete row.
// The first table drives the walk. A joined table whose join column leads one of its
// indexes, and that holds more records than the driving table, is searched through
// that index for each row (its filter still applies); any other joined table is read
// once, through its filter, into memory with a hash of its join column, which beats
// an index search per row when the table is the smaller side.
// A SELECT over two tables joined by an inner equality is walked the other way round
// when the second table is much the smaller and the first table's join column leads
// one of its indexes: each row of the small table then finds its partners through
// that index, instead of every row of the large table being read.
// A LEFT JOIN keeps its left row with NULLs for the joined table when nothing
// matches; a RIGHT JOIN, whose table comes first, keeps its row with NULLs for all the
// tables written before it when they yield no joined row together.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/expr/expression_check.h"
#include "engine/expr/expression_eval.h"
#include "engine/sql/sql_statement.h"

namespace reruzo {

// A text that two values equal under "=" share: numbers by value whatever their type
// (3, 3.0 and a BCD 3 alike), strings by their characters, bytes as they are.
std::string ComparisonKey(std::uint8_t type, std::span<const std::uint8_t> data);

// Resolves a column against the source tables: the table its qualifier names, or the
// first table in FROM that has a field of that name; the qualifier is then set to
// that table's correlation name, so that evaluation knows where to read it.
TResolveColumn SourceColumnResolver(const std::vector<TSourceTable>& tables);

// The value of a BLOB field of `record` read through the cursor of its table into
// `into`, a BLOB node of the field's subtype (NULL when the field is).
void ReadBlobColumn(TDataCursor& cursor, std::span<const std::uint8_t> record, const TFieldDesc& field,
                    TExpToken& into);

// Column values of the current row of every source table; a table without a row
// (the NULL side of an outer join) reads as all NULL. BLOB columns give their bytes.
class TJoinColumns : public TColumnSource {
public:
    explicit TJoinColumns(const std::vector<TSourceTable>& tables);
    void SetRow(std::size_t table, const std::uint8_t* record);
    const std::uint8_t* Row(std::size_t table) const { return rows_[table]; }
    void ReadColumn(const TExpToken& column, TExpToken& into) override;
    // The table a resolved column node belongs to (by its qualifier).
    std::size_t TableOf(const TExpToken& column) const;

private:
    const std::vector<TSourceTable>& tables_;
    std::vector<std::unique_ptr<TRecordColumns>> columns_;
    std::vector<std::vector<std::uint8_t>> nullRows_;
    std::vector<const std::uint8_t*> rows_;
};

class TJoinPlan {
public:
    // Splits the parsed WHERE tree of `query` (whose source tables are open) and
    // validates and prepares its parts. Raises the validation messages.
    TJoinPlan(TDataQuery& query, const TExpToken* where);
    ~TJoinPlan();

    // Installs the single-table filters on the source cursors (after any earlier
    // execution's were dropped).
    void InstallFilters();
    // Calls `row` with the current row of every table set in `columns`, for every
    // row of the join in the order of the first table, until `row` returns false.
    // `progress(position, count)` is called after each row of the first table and
    // returns false to stop.
    void ForEachRow(TJoinColumns& columns, const std::function<bool()>& row,
                    const std::function<bool(std::int32_t position, std::int32_t count)>& progress);
    // Whether the rows are exactly those the first table's cursor shows through its
    // filter: one table, and no condition left to test per row.
    bool FilterDecides() const { return query_.sourceTables.size() == 1 && residual_.empty(); }

private:
    struct TCondition;
    struct TInner;
    void Place(std::size_t k, TJoinColumns& columns, const std::function<bool()>& row, bool& stop);
    void PlaceThroughIndex(TInner& inner, TDataCursor& cursor, TJoinColumns& columns,
                           const std::function<void(const std::uint8_t*)>& tryRow, const bool& stop);
    // Looks for an index of `cursor` led by `inner`'s key field that the probe's type
    // can search; sets the cursor's order to it.
    static bool UseIndexFor(TInner& inner, TDataCursor& cursor);
    // Whether the walk goes from the second table to the first (see above).
    bool WalkReversed();
    bool EvaluateProbe(TInner& inner, TJoinColumns& columns, const std::function<void(const TExpToken&)>& use);
    bool Holds(const std::vector<TExpTree>& conditions, TJoinColumns& columns) const;
    void ChooseIndexes();

    TDataQuery& query_;
    std::vector<TExpTree> filters_;                 // per table
    std::vector<std::vector<TExpTree>> match_;      // per table: checked when it is placed
    std::vector<TExpTree> residual_;                // checked on the complete row
    std::vector<bool> optional_;                    // per table: may be absent (outer join)
    // Per table: when an outer join's optional tables start here, the position after
    // the last of them (else 0); and whether the walk reached that end for the
    // current row of the tables before them.
    std::vector<std::size_t> groupEnd_;
    std::vector<bool> groupReached_;
    std::vector<std::unique_ptr<TInner>> inner_;    // per table after the first
    std::unique_ptr<TInner> reversed_;              // the first table, found from the second
    TEvalContext context_{};
};

}  // namespace reruzo
