// Converting evaluated values to the type of a column with the CAST conversions of the
// expression language, as values are stored (INSERT, UPDATE) or carried into a changed
// column (restructuring a table).
#pragma once

#include <cstdint>
#include <memory>

#include "engine/expr/expression.h"
#include "engine/expr/expression_eval.h"
#include "engine/storage/data_format.h"

namespace reruzo {

// The type a value of a field of `fieldType` has in expressions.
inline std::uint8_t ExpressionType(std::uint8_t fieldType) {
    return fieldType == kFieldVarBytes ? kFieldBytes : fieldType;
}

// An evaluated value, a pool node given back to the pool however its user ends.
struct TNodeRelease {
    void operator()(TExpToken* node) const { ReleaseNode(node); }
};
using TValueNode = std::unique_ptr<TExpToken, TNodeRelease>;

class TColumnConversion {
public:
    // A column of this type, subtype, data size and scale.
    TColumnConversion(std::uint8_t fieldType, std::uint8_t subType, std::uint32_t dataSize, std::uint8_t scale);
    explicit TColumnConversion(const TFieldDesc& field)
        : TColumnConversion(field.FieldType, field.SubType, field.DataSize, field.Scale) {}

    // Whether `value` (an evaluated value) needs converting: not NULL, and of another
    // type than the column's.
    bool Needed(const TExpToken& value) const;
    // Replaces `value`, a pool node the caller owns, by its conversion (the old node
    // goes back to the pool). False, leaving `value` to the caller, when the types do
    // not convert or the value's text does not.
    bool Convert(TExpToken*& value, const TEvalContext& context);

private:
    TExpTree cast_;  // a CAST whose first operand is a constant the value is put in
};

}  // namespace reruzo
