// Aggregates of a grouped SELECT, worked on result records. Every copied row first
// carries its own contribution in its aggregate columns (its argument's value, or 1
// for a counted row), so that the rows of a group, however they come together (in
// the copy loop for a result that is one group, or by the grouping sort), combine
// pairwise into the group's row:
//   SUM    adds the values; NULL values take no part (a group of NULLs sums to NULL)
//   COUNT  adds the counts (COUNT(*) counts rows, COUNT(x) the rows where x is not NULL)
//   MIN    keeps the smallest value, MAX the largest; NULL values take no part
//   AVG    adds the values in its float column and the counts in its hidden count
//          column, and divides when the group is finished
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/expr/expression.h"
#include "engine/sql/sql_statement.h"
#include "engine/storage/data_format.h"

namespace reruzo {

struct TAggregateColumn {
    std::uint16_t fieldNo = 0;       // the column in the result record (from 1)
    TAggregateKind kind = akNone;
    std::uint16_t countFieldNo = 0;  // AVG: its hidden count column
};

// A stored number in the domain its type computes in: 64-bit integers (integer
// kinds, Booleans, dates, times), doubles (floats, timestamps) or currency (BCD,
// x 10000).
struct TNumberValue {
    enum TKind : std::uint8_t { kInteger, kFloat, kCurrency } kind = kInteger;
    std::int64_t i = 0;
    double f = 0;
};

// The number field data of `type` holds (0 for a type that is not a number).
TNumberValue ReadNumber(std::uint8_t type, const std::uint8_t* p);
double AsDouble(const TNumberValue& n);
// Whether field data of `type` is a number in the sense of ReadNumber.
bool IsNumberType(std::uint8_t type);

// Stores `value` (an evaluated expression, not NULL) as field data of `field`
// (DataSize bytes): numbers convert between the number types, strings and bytes are
// cut to the field's size.
std::vector<std::uint8_t> ValueAsField(const TExpToken& value, const TFieldDesc& field);

class TGroupCombiner {
public:
    // `fields` are the result table's fields, as laid out in its records.
    TGroupCombiner(std::vector<TFieldDesc> fields, std::vector<TAggregateColumn> columns)
        : fields_(std::move(fields)), columns_(std::move(columns)) {}

    bool Empty() const { return columns_.empty(); }
    const std::vector<TAggregateColumn>& Columns() const { return columns_; }

    // Writes one row's contribution to aggregate column `c` into `row`: the value of
    // its argument (`value`, a validated expression's result; nullptr for COUNT(*)).
    void PutContribution(std::span<std::uint8_t> row, const TAggregateColumn& c, const TExpToken* value) const;
    // Adds the contributions of `row` to the group's row.
    void Combine(std::span<std::uint8_t> group, std::span<const std::uint8_t> row) const;
    // Ends a group: AVG columns become the average (NULL for no values).
    void Finish(std::span<std::uint8_t> group) const;
    // The row of a group with no rows at all: counts 0, everything else NULL.
    void PutEmptyGroup(std::span<std::uint8_t> group) const;

private:
    const TFieldDesc& Field(std::uint16_t fieldNo) const { return fields_[fieldNo - 1u]; }

    std::vector<TFieldDesc> fields_;
    std::vector<TAggregateColumn> columns_;
};

}  // namespace reruzo
