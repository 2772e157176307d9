// Converting values to a column's type through a prepared CAST (see value_conversion.h).
#include "engine/sql/value_conversion.h"

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression_check.h"

namespace reruzo {

TColumnConversion::TColumnConversion(std::uint8_t fieldType, std::uint8_t subType, std::uint32_t dataSize,
                                     std::uint8_t scale)
    : cast_(AcquireNode()) {
    TExpToken& cast = *cast_;
    cast.kind = nkFunction;
    cast.op = opCast;
    cast.dataType = ExpressionType(fieldType);
    cast.subType = subType;
    cast.dataSize = dataSize;
    cast.scale = scale;
    TExpToken* operand = AcquireNode();
    operand->kind = nkConstant;
    AddOperand(&cast, operand);
    if (fieldType == kFieldBCD) {
        // A precision makes the cast keep the column's own decimals.
        TExpToken* precision = AcquireNode();
        precision->kind = nkConstant;
        precision->isNull = true;
        AddOperand(&cast, precision);
    }
}

bool TColumnConversion::Needed(const TExpToken& value) const {
    return !value.isNull && value.dataType != cast_->dataType;
}

bool TColumnConversion::Convert(TExpToken*& value, const TEvalContext& context) {
    if (!CastAllowed(*value, cast_->dataType)) return false;
    TExpToken& operand = *cast_->operands.front();
    operand.value.swap(value->value);
    operand.dataType = value->dataType;
    operand.subType = value->subType;
    operand.dataSize = value->dataSize;
    operand.scale = value->scale;
    operand.isNull = false;
    TExpToken* converted = nullptr;
    try {
        converted = Evaluate(cast_.get(), context);
    } catch (const ERERUZOEngineError&) {
        operand.value.swap(value->value);
        return false;
    }
    ReleaseNode(value);
    value = converted;
    return true;
}

}  // namespace reruzo
