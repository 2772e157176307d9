// Validation of expression trees (names resolved, constants converted, every
// operator and function checked against its operands and typed), preparation for
// filters and the whole path of a filter text to its prepared tree.
#include "engine/expr/expression_check.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_format.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"

namespace reruzo {
namespace {

// ---- Type classes ----------------------------------------------------------------------

// The NULL keyword: a constant without a type.
bool IsNullConstant(const TExpToken& n) { return n.kind == nkConstant && !n.isParameter && n.isNull && n.dataType == 0; }
bool IsConstant(const TExpToken& n) { return n.kind == nkConstant; }
bool IsStringConstant(const TExpToken& n) { return n.kind == nkConstant && !n.isParameter && n.dataType == kFieldString; }
bool IsIntegerConstant(const TExpToken& n) {
    return n.kind == nkConstant && !n.isParameter && !n.isNull && IsIntegerKind(n.dataType);
}
bool IsComparison(std::uint8_t op) { return op >= opEq && op <= opLe; }

std::int64_t IntegerValue(const TExpToken& n) {
    switch (n.dataType) {
        case kFieldSmallInt: return GetLE<std::int16_t>(n.value.data());
        case kFieldWord: return GetLE<std::uint16_t>(n.value.data());
        case kFieldInteger: return GetLE<std::int32_t>(n.value.data());
        case kFieldLargeInt: return GetLE<std::int64_t>(n.value.data());
        default: return 0;
    }
}

std::string ConstantText(const TExpToken& n) {
    if (n.dataType == kFieldString && !n.value.empty()) return reinterpret_cast<const char*>(n.value.data());
    return n.text;
}

void SetType(TExpToken& n, std::uint8_t type, std::uint32_t size, std::uint8_t scale = 0, std::uint8_t subType = 0) {
    n.dataType = type;
    n.subType = subType;
    n.dataSize = size;
    n.scale = scale;
}

void CopyType(TExpToken& to, const TExpToken& from) {
    SetType(to, from.dataType, from.dataSize, from.scale, from.subType);
}

// Whether `right` may stand on the right of `op` beside `left`.
bool Allowed(std::uint8_t op, const TExpToken& left, const TExpToken& right) {
    const std::uint8_t l = left.dataType;
    const std::uint8_t r = right.dataType;
    const bool equality = op == opEq || op == opNe;
    const bool ordering = op == opLt || op == opGt || op == opLe || op == opGe;
    if (IsNullConstant(left)) return false;
    if (IsNullConstant(right) && !(equality)) return false;
    if (IsText(left)) {
        if (equality) return IsNullConstant(right) || IsText(right);
        if (ordering || op == opAdd) return IsText(right);
        return false;
    }
    if (l == kFieldDate || l == kFieldTimeStamp || l == kFieldTime) {
        if (equality && IsNullConstant(right)) return true;
        if (equality || ordering) {
            if (l == kFieldTime) return r == kFieldTime;
            return r == kFieldDate || r == kFieldTimeStamp;
        }
        if (op == opAdd) return IsIntegerKind(r);
        if (op == opSubtract) {
            if (IsIntegerKind(r)) return true;
            if (l == kFieldDate) return r == kFieldDate;
            if (l == kFieldTime) return r == kFieldTime;
            return IsTemporal(r);
        }
        return false;
    }
    if (l == kFieldBoolean) return equality && (IsNullConstant(right) || r == kFieldBoolean);
    if (IsIntegerKind(l)) {
        if (equality) return IsNullConstant(right) || IsNumeric(r);
        if (op == opAdd) return IsNumeric(r) || IsTemporal(r);
        return IsNumeric(r) && (ordering || op == opSubtract || op == opMultiply || op == opDivide);
    }
    if (l == kFieldFloat || l == kFieldBCD) {
        if (equality) return IsNullConstant(right) || IsNumeric(r);
        return IsNumeric(r) && (ordering || op == opAdd || op == opSubtract || op == opMultiply || op == opDivide);
    }
    // BLOB (not memo) and bytes: only a BLOB against NULL.
    return l == kFieldBlob && equality && IsNullConstant(right);
}

// The result type of arithmetic on two allowed operands.
void ArithmeticResult(TExpToken& node) {
    const TExpToken& a = *node.operands[0];
    const TExpToken& b = *node.operands[1];
    if (IsText(a) && IsText(b)) {
        // Concatenation: room for both texts and one terminator.
        const bool memo = IsMemo(a) || IsMemo(b);
        const std::uint32_t la = a.dataSize > 0 ? a.dataSize - 1 : 0;
        const std::uint32_t lb = b.dataSize > 0 ? b.dataSize - 1 : 0;
        SetType(node, memo ? kFieldBlob : kFieldString, la + lb + 1, 0, memo ? kSubMemo : 0);
        return;
    }
    const std::uint8_t type = ArithmeticType(node.op, a.dataType, b.dataType);
    // The larger of the operands' size and scale, and never less than the result
    // type itself needs: two small integers add up to an integer of four bytes.
    const std::uint32_t size = FixedValueSize(type) != 0 ? FixedValueSize(type) : std::max(a.dataSize, b.dataSize);
    SetType(node, type, size, std::max(a.scale, b.scale));
}

}  // namespace

std::uint8_t ArithmeticType(std::uint8_t op, std::uint8_t l, std::uint8_t r) {
    if (IsTemporal(l) || IsTemporal(r)) {
        const std::uint8_t t = IsTemporal(l) ? l : r;
        const std::uint8_t other = IsTemporal(l) ? r : l;
        if (IsIntegerKind(other)) return t;
        if (t == kFieldTimeStamp && other == kFieldTimeStamp) return kFieldFloat;  // milliseconds as a float
        // timestamp - date or time: milliseconds, which outgrow 32 bits after 24 days
        if (t == kFieldTimeStamp) return kFieldLargeInt;
        return kFieldInteger;  // date - date: days; time - time: milliseconds
    }
    if (l == kFieldFloat || r == kFieldFloat) return kFieldFloat;
    if (l == kFieldBCD || r == kFieldBCD) return kFieldBCD;
    if (op == opDivide) return kFieldFloat;
    if (l == kFieldLargeInt || r == kFieldLargeInt) return kFieldLargeInt;
    return kFieldInteger;
}

bool CastAllowed(const TExpToken& source, std::uint8_t target) {
    if (IsNullConstant(source) || source.isParameter) return true;
    const std::uint8_t s = source.dataType;
    if (target == kFieldBlob) return true;
    if (IsMemo(source)) return target == kFieldString;
    if (s == kFieldBlob) return target == kFieldBytes;
    if (s == kFieldBytes) return target == kFieldBytes;
    return target != kFieldBytes;
}

namespace {

class TValidator {
public:
    explicit TValidator(const TValidateOptions& options) : o_(options) {}

    // `slot` is where the node hangs (the root, or its parent's operand); `alone`
    // says whether it stands as the whole expression or under NOT, AND or OR.
    void Check(TExpToken*& slot, TExpToken* parent, bool alone) {
        TExpToken* n = slot;
        if (!n) return;
        n->parent = parent;
        switch (n->kind) {
            case nkConstant: return CheckConstant(slot, parent, alone);
            case nkColumn: return CheckColumn(slot, parent, alone);
            case nkUnary: return CheckUnary(*n);
            case nkBinary:
            case nkStringCompare: return CheckBinary(*n);
            case nkPredicate: return CheckPredicate(*n);
            case nkFunction: return CheckFunction(*n);
            case nkSubSelect:
                if (n->subSelect) n->subSelect->Validate();
                return;
            default: return;
        }
    }

private:
    [[noreturn]] void Fail(const std::string& message) const {
        RaiseEngineError(o_.errorCode, {.table = o_.errorTable, .text = message.substr(0, 255)});
    }
    std::string In() const { return " in " + o_.contextName; }

    static std::string Kind(const TExpToken& n) {
        switch (n.kind) {
            case nkColumn: return "column";
            case nkConstant: return "constant";
            case nkFunction: return "function";
            default: return "expression";
        }
    }

    void CheckOperands(TExpToken& n, bool alone) {
        for (auto& child : n.operands) Check(child, &n, alone);
    }

    // A string constant that names a column of the caller's table becomes a reference
    // to it, keeping its constant attributes aside in case it has to turn back.
    void CheckConstant(TExpToken*& slot, TExpToken* parent, bool alone) {
        TExpToken& n = *slot;
        if (!IsStringConstant(n) || n.isNull || o_.stringsAreConstants) return;
        const std::string text = ConstantText(n);
        if (text.empty() || text == "*" || !o_.resolve) return;
        const std::uint8_t type = n.dataType, subType = n.subType, scale = n.scale;
        const std::uint32_t size = n.dataSize;
        const std::string oldName = n.name;
        n.name = text;
        n.kind = nkColumn;
        if (!o_.resolve(n)) {
            n.kind = nkConstant;
            n.name = oldName;
            SetType(n, type, size, scale, subType);
            return;
        }
        n.cameFromString = true;
        n.savedType = type;
        n.savedSubType = subType;
        n.savedSize = size;
        n.savedScale = scale;
        RewriteBooleanColumn(slot, parent, alone);
    }

    static void TurnBackIntoConstant(TExpToken& n) {
        n.kind = nkConstant;
        n.cameFromString = false;
        n.fieldNo = 0;
        n.name.clear();
        SetType(n, n.savedType, n.savedSize, n.savedScale, n.savedSubType);
    }

    void CheckColumn(TExpToken*& slot, TExpToken* parent, bool alone) {
        TExpToken& n = *slot;
        if (n.name == "*") return;
        if (n.name.empty()) n.name = n.text;
        if (!o_.resolve || !o_.resolve(n)) {
            Fail("Invalid column name '" + n.name + "'" + " or table correlation name " + "'" + n.qualifier + "'" +
                 " specified in " + o_.contextName);
        }
        RewriteBooleanColumn(slot, parent, alone);
    }

    // In filters a boolean column standing alone means column = TRUE.
    void RewriteBooleanColumn(TExpToken*& slot, TExpToken* parent, bool alone) {
        TExpToken* column = slot;
        if (!o_.booleanColumns || !alone || column->dataType != kFieldBoolean) return;
        TExpToken* truth = AcquireNode();
        truth->kind = nkConstant;
        truth->text = "True";
        SetType(*truth, kFieldBoolean, 2);
        truth->Reserve(2);
        PutLE<std::uint16_t>(truth->value.data(), 1);
        TExpToken* eq = AcquireNode();
        eq->kind = nkBinary;
        eq->op = opEq;
        eq->text = "=";
        SetType(*eq, kFieldBoolean, 2);
        eq->operands = {column, truth};
        eq->parent = parent;
        column->parent = eq;
        truth->parent = eq;
        slot = eq;
    }

    void CheckUnary(TExpToken& n) {
        CheckOperands(n, n.op == opNot);
        TExpToken& operand = *n.operands.at(0);
        const std::uint8_t t = operand.dataType;
        bool ok = false;
        if (n.op == opNot) {
            ok = t == kFieldBoolean;
        } else {
            ok = t == kFieldDate || t == kFieldSmallInt || t == kFieldInteger || t == kFieldFloat || t == kFieldBCD ||
                 t == kFieldTime || t == kFieldTimeStamp || t == kFieldLargeInt || (n.op == opPlusSign && t == kFieldWord);
        }
        if (!ok) {
            Fail("Type mismatch between '" + n.text + "'" + " operator and " + "'" + operand.text + "'" + In());
        }
        if (n.op == opNot) {
            SetType(n, kFieldBoolean, 2);
        } else {
            CopyType(n, operand);
        }
    }

    // A string constant beside a date, time or timestamp takes that type.
    void ConvertBesideTemporal(TExpToken& constant, const TExpToken& partner) {
        if (!IsStringConstant(constant) || !IsTemporal(partner.dataType)) return;
        const std::string text = ConstantText(constant);
        bool ok = false;
        if (partner.dataType == kFieldDate) {
            if (auto d = ParseDate(text)) {
                constant.Reserve(4);
                PutLE<std::int32_t>(constant.value.data(), DateToDayNumber(*d));
                ok = true;
            }
        } else if (partner.dataType == kFieldTime) {
            if (auto t = ParseTime(text)) {
                constant.Reserve(4);
                PutLE<std::int32_t>(constant.value.data(), TimeToMilliseconds(*t));
                ok = true;
            }
        } else if (auto s = ParseTimeStamp(text)) {
            constant.Reserve(8);
            PutLE<double>(constant.value.data(), ToTimeStamp(DateToDayNumber(s->date), TimeToMilliseconds(s->time)));
            ok = true;
        }
        if (!ok) {
            Fail("Date, time, or timestamp expression expected, instead found '" + constant.text + "'" + In());
        }
        constant.isNull = false;
        CopyType(constant, partner);
    }

    // A parameter takes the type of the value it stands beside.
    static void TypeParameter(TExpToken& parameter, const TExpToken& partner) {
        if (parameter.isParameter && parameter.dataType == 0 && partner.dataType != 0) CopyType(parameter, partner);
    }

    void CheckBinary(TExpToken& n) {
        const bool logical = n.op == opAnd || n.op == opOr;
        CheckOperands(n, logical);
        TExpToken& a = *n.operands.at(0);
        TExpToken& b = *n.operands.at(1);
        if (logical) {
            if (a.dataType != kFieldBoolean || b.dataType != kFieldBoolean) Mismatch(a, b);
            SetType(n, kFieldBoolean, 2);
            return;
        }
        if (a.kind == nkColumn && b.kind == nkColumn && (a.cameFromString || b.cameFromString)) {
            TurnBackIntoConstant(b.cameFromString ? b : a);
        }
        ConvertBesideTemporal(a, b);
        ConvertBesideTemporal(b, a);
        TypeParameter(a, b);
        TypeParameter(b, a);
        if (!Allowed(n.op, a, b)) Mismatch(a, b);
        if (IsComparison(n.op)) {
            SetType(n, kFieldBoolean, 2);
        } else {
            ArithmeticResult(n);
        }
    }

    [[noreturn]] void Mismatch(const TExpToken& a, const TExpToken& b) const {
        Fail("Type mismatch between " + Kind(a) + " " + "'" + a.text + "'" + " and " + Kind(b) + " " + "'" + b.text +
             "'" + In());
    }

    // A constant, also a number with its sign ("-2").
    static bool IsConstantValue(const TExpToken& n) {
        if (IsConstant(n)) return true;
        const TExpToken* operand = n.Operand(0);
        return n.kind == nkUnary && (n.op == opNegate || n.op == opPlusSign) && operand && IsConstant(*operand) &&
               !operand->isParameter && IsNumeric(operand->dataType);
    }

    // A constant bound or list value checked against the tested value as for "=".
    void CheckAgainst(const std::string& name, TExpToken& value, TExpToken& other) {
        if (!IsConstantValue(other)) {
            Fail("Constant expression expected after " + name + " operator, " + "instead found " + "'" + other.text + "'" +
                 In());
        }
        ConvertBesideTemporal(other, value);
        TypeParameter(other, value);
        if (!Allowed(opEq, value, other)) {
            Fail("Type mismatch between " + name + " operator and expression " + "'" + other.text + "'" + In());
        }
    }

    void CheckPredicate(TExpToken& n) {
        CheckOperands(n, false);
        const std::string& name = n.text;
        TExpToken& value = *n.operands.at(0);
        switch (n.op) {
            case opLike:
            case opNotLike: {
                TExpToken& pattern = *n.operands.at(1);
                if (!IsText(value)) {
                    Fail("Type mismatch between " + name + " operator and expression " + "'" + value.text + "'" + In());
                }
                if (!IsConstant(pattern)) {
                    Fail("Constant expression expected after " + name + " operator, " + "instead found " + "'" +
                         pattern.text + "'" + In());
                }
                TypeParameter(pattern, value);
                if (!IsText(pattern)) {
                    Fail("Type mismatch between " + name + " operator and expression " + "'" + pattern.text + "'" + In());
                }
                break;
            }
            case opBetween:
            case opNotBetween:
            case opInList:
            case opNotInList:
                for (std::size_t i = 1; i < n.operands.size(); ++i) CheckAgainst(name, value, *n.operands[i]);
                break;
            case opInSelect:
            case opNotInSelect: {
                TExpToken& sub = *n.operands.at(1);
                if (sub.subSelect) {
                    if (sub.subSelect->ColumnCount() != 1)
                        Fail("More than 1 column for sub-select  specified in " + o_.contextName);
                    sub.subSelect->DescribeColumn(sub);
                }
                if (!Allowed(opEq, value, sub)) {
                    Fail("Type mismatch between " + name + " operator and expression " + "'" + sub.text + "'" + In());
                }
                break;
            }
            default: break;
        }
        SetType(n, kFieldBoolean, 2);
    }

    // An integer constant greater than 0, with the two messages of its argument.
    void CheckPositiveConstant(const TExpToken* n, const std::string& what) {
        if (!n) return;
        if (!IsIntegerConstant(*n)) Fail(what + " must be an integer constant in " + o_.contextName);
        if (IntegerValue(*n) <= 0) Fail(what + " must be an integer constant greater than 0 in " + o_.contextName);
    }

    void CheckFunction(TExpToken& n) {
        CheckOperands(n, false);
        TExpToken* arg = n.Operand(0);
        const std::uint8_t t = arg ? arg->dataType : 0;
        const std::string& ctx = o_.contextName;
        switch (n.op) {
            case opSum:
            case opMin:
            case opMax:
            case opAvg: {
                if (!(IsNumeric(t) || IsTemporal(t))) {
                    Fail(n.text + " aggregate function " + "must contain a numeric, date, time, or timestamp expression in " +
                         ctx);
                }
                CopyType(n, *arg);
                return;
            }
            case opCount: return SetType(n, kFieldInteger, 4);
            case opUpper:
            case opLower:
                if (!IsText(*arg)) {
                    Fail("Type mismatch between " + std::string(n.op == opUpper ? "UPPER" : "LOWER") +
                         " function and function argument in " + ctx);
                }
                return CopyType(n, *arg);
            case opLength:
                if (!IsText(*arg)) Fail("Type mismatch between LENGTH function and function argument in " + ctx);
                return SetType(n, kFieldInteger, 4);
            case opSubstring:
                if (!IsText(*arg)) Fail("Expression argument of SUBSTRING function must be a string or memo in " + ctx);
                CheckPositiveConstant(n.Operand(1), "FROM argument of SUBSTRING function");
                CheckPositiveConstant(n.Operand(2), "FOR argument of SUBSTRING function");
                return CopyType(n, *arg);
            case opTrimLeading:
            case opTrimTrailing:
            case opTrimBoth: {
                if (!IsText(*arg)) Fail("FROM argument of TRIM function must be a string or memo in " + ctx);
                const TExpToken* c = n.Operand(1);
                if (!c || !IsStringConstant(*c) || c->isNull || ConstantText(*c).size() != 1)
                    Fail("Trim character argument of TRIM function must be a single character constant in " + ctx);
                return CopyType(n, *arg);
            }
            case opExtractYear:
            case opExtractMonth:
            case opExtractWeek:
            case opExtractDay:
            case opExtractDayOfWeek:
            case opExtractHour:
            case opExtractMinute:
            case opExtractSecond:
                if (!IsTemporal(t)) Fail("FROM argument of EXTRACT function must be a date, time, or timestamp in " + ctx);
                return SetType(n, kFieldInteger, 4);
            case opPos:
            case opOccurs: {
                const std::string name = n.op == opPos ? "POS" : "OCCURS";
                if (!IsText(*arg)) Fail("Type mismatch between " + name + " function and IN argument in " + ctx);
                const TExpToken* search = n.Operand(1);
                if (!search || !IsStringConstant(*search))
                    Fail("Search string argument of " + name + " function must be a string constant in " + ctx);
                return SetType(n, kFieldInteger, 4);
            }
            case opReplace: {
                if (!IsText(*arg)) Fail("IN argument of REPLACE function must be a string or memo in " + ctx);
                const TExpToken* search = n.Operand(1);
                const TExpToken* with = n.Operand(2);
                if (!search || !IsStringConstant(*search))
                    Fail("Search argument of REPLACE function must be a string constant in " + ctx);
                if (!with || !IsStringConstant(*with))
                    Fail("WITH argument of REPLACE function must be a string constant in " + ctx);
                return CopyType(n, *arg);
            }
            case opCast: return CheckCast(n);
            case opAbs:
                if (!IsNumeric(t))
                    Fail("Expression argument of ABS function must be an integer or floating-point type in " + ctx);
                return CopyType(n, *arg);
            case opRound: {
                if (t != kFieldFloat && t != kFieldBCD)
                    Fail("Expression argument of ROUND function must be a floating-point type in " + ctx);
                if (const TExpToken* places = n.Operand(1)) {
                    if (!IsIntegerConstant(*places))
                        Fail("Decimal places argument of ROUND function must be an integer constant in " + ctx);
                    const std::int64_t v = IntegerValue(*places);
                    if (v < 0 || v > 32)
                        Fail("Decimal places argument of ROUND function must be an integer constant between 0 and 32 in " + ctx);
                }
                return SetType(n, kFieldFloat, 8);
            }
            case opIf: {
                if (t != kFieldBoolean) Fail("First expression argument of IF function must be a boolean type in " + ctx);
                TExpToken& yes = *n.operands.at(1);
                TExpToken& no = *n.operands.at(2);
                if (IsNullConstant(yes) && IsNullConstant(no))
                    Fail("At least one of the second and third IF expression arguments in " + ctx + " must be a non-NULL value");
                const bool together = IsNullConstant(yes) || IsNullConstant(no) || Allowed(opEq, yes, no);
                if (!together) Fail("Type mismatch between second and third IF expression arguments in " + ctx);
                return CopyType(n, IsNullConstant(yes) ? no : yes);
            }
            default: return;
        }
    }

    void CheckCast(TExpToken& n) {
        TExpToken& source = *n.operands.at(0);
        const std::string& ctx = o_.contextName;
        const std::uint8_t target = n.dataType;
        if (!CastAllowed(source, target)) {
            Fail("Type mismatch between " + Kind(source) + " " + "'" + source.text + "'" + " and AS argument in " + ctx);
        }
        const TExpToken* first = n.Operand(1);
        const TExpToken* second = n.Operand(2);
        switch (target) {
            case kFieldString:
            case kFieldBytes: {
                std::int64_t length = target == kFieldBytes ? 1 : 0;
                if (first) {
                    if (!IsIntegerConstant(*first)) Fail("Length argument must be an integer in " + ctx);
                    length = IntegerValue(*first);
                }
                if (length < 1 || length > 250) {
                    Fail("Length argument must be an integer greater than 0 and less than or equal to " + std::string("250") +
                         " in " + ctx);
                }
                n.dataSize = static_cast<std::uint32_t>(length) + (target == kFieldString ? 1 : 0);
                n.scale = 0;
                return;
            }
            case kFieldBCD:
            case kFieldFloat: {
                std::int64_t scale = 0;
                if (second) {
                    if (!IsIntegerConstant(*second)) Fail("Scale argument must be an integer in " + ctx);
                    scale = IntegerValue(*second);
                    if (target == kFieldBCD && (scale < 0 || scale > 4))
                        Fail("Scale argument must be an integer less than or equal to 4 for the BCD data type " + ctx);
                }
                n.scale = static_cast<std::uint8_t>(std::clamp<std::int64_t>(scale, 0, 255));
                n.dataSize = target == kFieldBCD ? DataSizeFor(kFieldBCD, n.scale, 0) : 8;
                return;
            }
            case kFieldBlob: {
                if (!first || !IsIntegerConstant(*first)) Fail("First BLOB type argument must be an integer in " + ctx);
                if (!second || !IsIntegerConstant(*second)) Fail("BLOB type argument must be an integer in " + ctx);
                const std::int64_t kind = IntegerValue(*second);
                if (kind != 1 && kind != 2 && kind != 3 && kind != 5 && kind != 7)
                    Fail("BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in " + ctx);
                n.subType = static_cast<std::uint8_t>(21 + kind);
                n.dataSize = DataSizeFor(kFieldBlob, 0, 0);
                n.scale = 0;
                return;
            }
            default: n.dataSize = FixedValueSize(target); n.scale = 0; return;
        }
    }

    const TValidateOptions& o_;
};

// ---- Preparation -------------------------------------------------------------------------

// The string constant on the right of a comparison, also under a sign.
TExpToken* RightStringConstant(TExpToken& node) {
    TExpToken* right = node.Operand(1);
    if (right && right->kind == nkUnary && right->op != opNot) right = right->Operand(0);
    return right && IsStringConstant(*right) && !right->isNull ? right : nullptr;
}

void SetStringValue(TExpToken& n, const std::string& text) {
    n.Reserve(text.size() + 1);
    std::fill(n.value.begin(), n.value.end(), 0);
    std::memcpy(n.value.data(), text.data(), text.size());
    n.isNull = text.empty();
}

TExpToken* PrepareNode(const TExpToken* source, const TPrepareOptions& o) {
    if (!source) return nullptr;
    TExpToken* n = CloneNode(source);
    TExpTree guard(n);  // released with what is attached so far if a copy fails
    for (const TExpToken* child : source->operands) {
        TExpToken* copy = PrepareNode(child, o);
        if (copy) copy->parent = n;
        n->operands.push_back(copy);
    }
    if (n->kind == nkBinary && (n->op == opEq || n->op == opNe)) {
        if (TExpToken* constant = RightStringConstant(*n)) {
            std::string text = ConstantText(*constant);
            const bool partial = !o.noPartialCompare && !text.empty() && text.back() == '*';
            if (partial || o.caseInsensitive) {
                n->kind = nkStringCompare;
                n->evalFlag = o.caseInsensitive ? 1 : 0;
                n->evalSlot = 0;
                if (partial) {
                    text.pop_back();
                    SetStringValue(*constant, text);
                    n->evalSlot = static_cast<std::int32_t>(text.size());
                }
            }
        }
    } else if (n->kind == nkPredicate && (n->op == opLike || n->op == opNotLike)) {
        TExpToken* pattern = n->Operand(1);
        if (pattern && IsStringConstant(*pattern) && !pattern->isNull) {
            std::string text = ConstantText(*pattern);
            const bool prefix = text.size() >= 2 && text.find('_') == std::string::npos &&
                                text.find('%') == text.size() - 1;
            if (prefix) {
                text.pop_back();
                SetStringValue(*pattern, text);
                const bool negated = n->op == opNotLike;
                n->kind = nkStringCompare;
                n->op = negated ? opNe : opEq;
                n->text = negated ? "<>" : "=";
                n->evalFlag = 0;
                n->evalSlot = static_cast<std::int32_t>(text.size());
            }
        }
    }
    return guard.release();
}

}  // namespace

void Validate(TExpToken*& root, const TValidateOptions& options) {
    TValidator(options).Check(root, nullptr, true);
}

void CheckFilterResult(const TExpToken* root, std::uint16_t errorCode, const std::string& errorTable) {
    if (!root || root->dataType != kFieldBoolean) {
        RaiseEngineError(errorCode, {.table = errorTable, .text = "filter expression must be a boolean expression"});
    }
}

TExpToken* Prepare(const TExpToken* root, const TPrepareOptions& options) { return PrepareNode(root, options); }

bool ComparableForEquality(const TExpToken& left, const TExpToken& right) { return Allowed(opEq, left, right); }

void PutColumnsLeft(TExpToken* root) {
    if (!root) return;
    std::vector<TExpToken*> pending = {root};
    while (!pending.empty()) {
        TExpToken* n = pending.back();
        pending.pop_back();
        for (TExpToken* child : n->operands) {
            if (child) pending.push_back(child);
        }
        if (n->kind != nkBinary || !IsComparison(n->op) || n->operands.size() != 2) continue;
        if (n->operands[0]->kind != nkConstant || n->operands[1]->kind != nkColumn) continue;
        std::swap(n->operands[0], n->operands[1]);
        static constexpr std::pair<std::uint8_t, std::uint8_t> kMirror[] = {
            {opGt, opLt}, {opLt, opGt}, {opGe, opLe}, {opLe, opGe}};
        for (const auto& [from, to] : kMirror) {
            if (n->op == from) {
                n->op = to;
                break;
            }
        }
        static constexpr std::pair<std::uint8_t, const char*> kText[] = {
            {opEq, "="}, {opNe, "< >"}, {opGt, ">"}, {opLt, "<"}, {opGe, "> ="}, {opLe, "< ="}};
        for (const auto& [op, text] : kText) {
            if (n->op == op) n->text = text;
        }
    }
}

TResolveColumn FieldResolver(const std::vector<TFieldDesc>& fields, const std::string& tableName) {
    return [&fields, tableName](TExpToken& column) {
        auto sameName = [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; };
        if (!column.qualifier.empty() && !sameName(column.qualifier, tableName)) return false;
        for (const TFieldDesc& f : fields) {
            if (!sameName(f.Name, column.name)) continue;
            column.fieldNo = f.FieldNo;
            column.dataType = f.FieldType;
            column.subType = f.SubType;
            column.dataSize = f.FieldType == kFieldString ? f.Length + 1u : f.DataSize;
            column.scale = f.Scale;
            return true;
        }
        return false;
    };
}

TExpTree CompileFilter(std::string_view text, const std::string& tableName, const std::vector<TFieldDesc>& fields,
                       std::uint16_t languageId, std::uint16_t sortId, TFilterTextOptions options) {
    auto fail = [&](const std::string& message) {
        RaiseEngineError(RERUZO_INVALIDFILTER, {.table = tableName, .text = message.substr(0, 255)});
    };
    if (text.empty()) fail("filter expression is empty");
    TExpressionParser parser;
    parser.SetErrorCode(RERUZO_INVALIDFILTER);
    parser.SetErrorTableName(tableName);
    parser.SetContextName("filter expression");
    parser.SetText(text);
    parser.NextToken();
    TExpTree parsed(parser.ParseExpression(pfAllowExtendedPredicates));
    // Text after a complete expression would otherwise be ignored without a word.
    if (parser.TokenKind() != tkEnd) {
        fail("Unknown or unexpected symbol '" + parser.TokenText() + "'" + " found in filter expression");
    }
    const TResolveColumn resolve = FieldResolver(fields, tableName);
    TExpToken* root = parsed.release();
    try {
        Validate(root, {RERUZO_INVALIDFILTER, tableName, "filter expression", true, resolve});
    } catch (...) {
        FreeTree(root);
        throw;
    }
    parsed.reset(root);
    CheckFilterResult(parsed.get(), RERUZO_INVALIDFILTER, tableName);
    PutColumnsLeft(parsed.get());
    return TExpTree(Prepare(parsed.get(), {options.caseInsensitive, options.noPartialCompare, languageId, sortId}));
}

}  // namespace reruzo
