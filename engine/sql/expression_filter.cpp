// Expression filters: analysis of a filter tree against the table's indexes, and its
// evaluation into a record bitmap from key ranges and scans.
#include "engine/sql/expression_filter.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression_check.h"
#include "engine/expr/expression_eval.h"
#include "engine/storage/byte_order.h"
#include "platform/nls.h"

namespace reruzo {
namespace {

bool IsComparison(const TExpToken& n) {
    return (n.kind == nkBinary || n.kind == nkStringCompare) && n.op >= opEq && n.op <= opLe;
}
bool IsRangePredicate(const TExpToken& n) {
    return n.kind == nkPredicate &&
           (n.op == opBetween || n.op == opNotBetween || n.op == opInList || n.op == opNotInList);
}

// A constant operand, also under a sign: its number or its text.
struct TConstant {
    bool isNull = false;
    bool isInteger = false;
    bool isFloat = false;
    std::int64_t integer = 0;
    double real = 0;
    std::uint8_t type = 0;
    const TExpToken* node = nullptr;
};

bool ReadConstant(const TExpToken* n, TConstant& out) {
    bool negate = false;
    if (n && n->kind == nkUnary && (n->op == opNegate || n->op == opPlusSign)) {
        negate = n->op == opNegate;
        n = n->Operand(0);
    }
    if (!n || n->kind != nkConstant || n->isParameter) return false;
    out.node = n;
    out.type = n->dataType;
    out.isNull = n->isNull;
    if (out.isNull) return !negate;
    const std::uint8_t* v = n->value.data();
    switch (n->dataType) {
        case kFieldSmallInt: out.integer = GetLE<std::int16_t>(v); out.isInteger = true; break;
        case kFieldWord: out.integer = GetLE<std::uint16_t>(v); out.isInteger = true; break;
        case kFieldInteger: out.integer = GetLE<std::int32_t>(v); out.isInteger = true; break;
        case kFieldLargeInt: out.integer = GetLE<std::int64_t>(v); out.isInteger = true; break;
        case kFieldFloat: out.real = GetLE<double>(v); out.isFloat = true; break;
        default:
            if (negate) return false;
            return true;
    }
    if (negate) {
        if (out.isInteger && out.integer == std::numeric_limits<std::int64_t>::min()) return false;
        out.integer = -out.integer;
        out.real = -out.real;
    }
    return true;
}

// The constant as the field stores it, when it converts exactly; a constant that
// does not (a fraction beside an integer field, text longer than the field, a
// lower-case letter beside UPPER) leaves the comparison to the scan.
bool FieldValue(const TConstant& c, const TFieldDesc& field, bool upper, std::size_t prefix, std::uint16_t languageId,
                std::uint16_t sortId, std::vector<std::uint8_t>& out) {
    out.clear();
    auto putInteger = [&](std::int64_t lo, std::int64_t hi, std::size_t size) {
        std::int64_t v = c.integer;
        if (c.isFloat) {
            if (!std::isfinite(c.real) || std::trunc(c.real) != c.real || std::fabs(c.real) > 9.0e15) return false;
            v = static_cast<std::int64_t>(c.real);
        } else if (!c.isInteger) {
            return false;
        }
        if (v < lo || v > hi) return false;
        out.resize(size);
        for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i));
        return true;
    };
    switch (field.FieldType) {
        case kFieldString: {
            if (c.type != kFieldString || !c.node) return false;
            const auto& value = c.node->value;
            std::string text(reinterpret_cast<const char*>(value.data()), strnlen(reinterpret_cast<const char*>(value.data()), value.size()));
            if (prefix > 0 && text.size() != prefix) return false;
            if (text.size() > field.Length) return false;
            if (upper && quorvane::nls::MapCase(text, languageId, sortId, true) != text) return false;
            out.assign(text.begin(), text.end());
            return true;
        }
        case kFieldSmallInt: return putInteger(-32768, 32767, 2);
        case kFieldWord: return putInteger(0, 65535, 2);
        case kFieldInteger:
            return putInteger(std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(), 4);
        case kFieldLargeInt:
            return putInteger(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), 8);
        case kFieldFloat: {
            double d = c.real;
            if (c.isInteger) {
                if (c.integer > (std::int64_t{1} << 53) || c.integer < -(std::int64_t{1} << 53)) return false;
                d = static_cast<double>(c.integer);
            } else if (!c.isFloat || std::isnan(d)) {
                return false;
            }
            out.resize(8);
            PutLE<double>(out.data(), d);
            return true;
        }
        case kFieldBoolean:
            if (c.type != kFieldBoolean || !c.node) return false;
            out.assign(2, 0);
            out[0] = GetLE<std::uint16_t>(c.node->value.data()) != 0 ? 1 : 0;
            return true;
        case kFieldDate:
        case kFieldTime:
        case kFieldTimeStamp: {
            if (c.type != field.FieldType || !c.node) return false;
            const std::size_t size = field.FieldType == kFieldTimeStamp ? 8 : 4;
            out.assign(c.node->value.begin(), c.node->value.begin() + static_cast<std::ptrdiff_t>(size));
            return true;
        }
        default: return false;  // BCD, bytes and BLOBs are left to the scan
    }
}

TFieldBound ValueBound(std::vector<std::uint8_t> data, bool strict, std::size_t prefix) {
    TFieldBound b;
    b.kind = TFieldBound::Value;
    b.data = std::move(data);
    b.strict = strict;
    b.prefix = prefix;
    return b;
}

TFieldBound Bound(TFieldBound::TKind kind) {
    TFieldBound b;
    b.kind = kind;
    return b;
}

// "= NULL" holds for the nulls alone.
TFieldRange NullRange() { return {Bound(TFieldBound::Open), Bound(TFieldBound::NullOnly)}; }

bool IntegerType(std::uint8_t type) {
    return type == kFieldSmallInt || type == kFieldWord || type == kFieldInteger || type == kFieldLargeInt;
}

// The conditions a scan tests on the record's bytes, where the general evaluation
// makes a value for the column, one for the constant and one for the result, for every
// record it tests. Each keeps the evaluation's NULL rules.

// An integer column compared with an integer constant: a NULL column is unequal to
// every constant and neither below nor above it.
std::optional<TRecordTest> IntegerComparison(const TExpToken* node, const std::vector<TFieldDesc>& fields) {
    if (node->kind != nkBinary || node->op < opEq || node->op > opLe || node->operands.size() != 2) return std::nullopt;
    for (int side = 0; side < 2; ++side) {
        const TExpToken* column = node->Operand(side);
        const TExpToken* constant = node->Operand(1 - side);
        if (column->kind != nkColumn || constant->kind != nkConstant || constant->isNull) continue;
        if (column->fieldNo == 0 || column->fieldNo > fields.size()) continue;
        const TFieldDesc* field = &fields[column->fieldNo - 1u];
        if (!IntegerType(field->FieldType) || !IntegerType(constant->dataType)) continue;
        std::uint8_t op = node->op;
        if (side == 1) {  // "constant op column": the same test seen from the column
            if (op == opLt) op = opGt;
            else if (op == opGt) op = opLt;
            else if (op == opLe) op = opGe;
            else if (op == opGe) op = opLe;
        }
        const std::uint8_t* bytes = constant->value.data();
        const std::size_t size = constant->value.size();
        std::int64_t value = 0;
        switch (constant->dataType) {
            case kFieldSmallInt: value = size >= 2 ? GetLE<std::int16_t>(bytes) : 0; break;
            case kFieldWord: value = size >= 2 ? GetLE<std::uint16_t>(bytes) : 0; break;
            case kFieldInteger: value = size >= 4 ? GetLE<std::int32_t>(bytes) : 0; break;
            default: value = size >= 8 ? GetLE<std::int64_t>(bytes) : 0; break;
        }
        return [field, op, value](std::span<const std::uint8_t> record, std::int32_t) {
            if (FieldIsNull(record, *field)) return op == opNe;
            const std::int64_t v = GetIntegerField(record, *field);
            switch (op) {
                case opEq: return v == value;
                case opNe: return v != value;
                case opLt: return v < value;
                case opGt: return v > value;
                case opLe: return v <= value;
                case opGe: return v >= value;
                default: return false;
            }
        };
    }
    return std::nullopt;
}

// The text of a string: its bytes before the terminating zero.
std::string_view StringBytes(std::span<const std::uint8_t> bytes) {
    const char* p = reinterpret_cast<const char*>(bytes.data());
    return {p, strnlen(p, bytes.size())};
}

// A string column LIKE (or NOT LIKE) a constant pattern: a NULL column matches no
// pattern.
std::optional<TRecordTest> LikeTest(const TExpToken* node, const std::vector<TFieldDesc>& fields,
                                    const TEvalContext& context) {
    if (node->kind != nkPredicate || (node->op != opLike && node->op != opNotLike) || node->operands.size() != 2)
        return std::nullopt;
    const TExpToken* column = node->Operand(0);
    const TExpToken* pattern = node->Operand(1);
    if (column->kind != nkColumn || pattern->kind != nkConstant || pattern->isNull || pattern->dataType != kFieldString)
        return std::nullopt;
    if (column->fieldNo == 0 || column->fieldNo > fields.size()) return std::nullopt;
    const TFieldDesc* field = &fields[column->fieldNo - 1u];
    if (field->FieldType != kFieldString) return std::nullopt;
    const bool negate = node->op == opNotLike;
    return [field, negate, context, text = std::string(StringBytes(pattern->value))](std::span<const std::uint8_t> record,
                                                                                   std::int32_t) {
        const bool match = !FieldIsNull(record, *field) && LikeMatches(StringBytes(FieldData(record, *field)), text, context);
        return negate ? !match : match;
    };
}

std::optional<TRecordTest> DirectTest(const TExpToken* node, TFilterTable& table) {
    if (auto comparison = IntegerComparison(node, table.Fields())) return comparison;
    return LikeTest(node, table.Fields(), TEvalContext{table.LanguageId(), table.SortId(), nullptr});
}

}  // namespace

// ---- Analysis ----------------------------------------------------------------------------

int TExpressionCondition::Analyse(TFilterTable& table, bool countCheck) {
    plans_.clear();
    return AnalyseNode(table, tree_.get(), false, countCheck);
}

int TExpressionCondition::Level(const TExpToken* node) const {
    const auto it = plans_.find(node);
    return it == plans_.end() ? 0 : it->second.level;
}

int TExpressionCondition::AnalyseNode(TFilterTable& table, TExpToken* node, bool operandOfLogic, bool countCheck) {
    if (!node) return 0;
    TPlan plan;
    if (node->kind == nkUnary && (node->op == opNot || node->op == opNegate || node->op == opPlusSign)) {
        plan.level = AnalyseNode(table, node->Operand(0), node->op == opNot, countCheck);
    } else if (node->kind == nkBinary && (node->op == opAnd || node->op == opOr)) {
        const int left = AnalyseNode(table, node->Operand(0), true, countCheck);
        const int right = AnalyseNode(table, node->Operand(1), true, countCheck);
        if (node->op == opOr) {
            plan.level = left == 2 && right == 2 ? 2 : 0;
        } else if (left == 2 && right == 2) {
            plan.level = 2;
        } else if (left == 0 && right == 0) {
            plan.level = 0;
        } else {
            plan.level = 1;
            // The side that indexes answer better goes first and narrows the other.
            if (right > left) std::swap(node->operands[0], node->operands[1]);
        }
    } else if (IsComparison(*node) || IsRangePredicate(*node)) {
        // The subject: a column, or UPPER of a string column.
        const TExpToken* subject = node->Operand(0);
        bool upper = false;
        if (subject && subject->kind == nkFunction && subject->op == opUpper) {
            upper = true;
            subject = subject->Operand(0);
        }
        const auto& fields = table.Fields();
        if (!subject || subject->kind != nkColumn || subject->fieldNo < 1 || subject->fieldNo > fields.size()) {
            plans_[node] = plan;
            return 0;
        }
        const TFieldDesc& field = fields[subject->fieldNo - 1u];
        const bool isString = field.FieldType == kFieldString;
        const bool caseInsensitive = upper || (node->kind == nkStringCompare && node->evalFlag != 0);
        const std::size_t prefix = node->kind == nkStringCompare && node->evalSlot > 0
                                       ? static_cast<std::size_t>(node->evalSlot)
                                       : 0;
        auto value = [&](const TExpToken* operand, std::vector<std::uint8_t>& data, bool& isNull) {
            TConstant c;
            if (!ReadConstant(operand, c)) return false;
            isNull = c.isNull;
            return isNull || FieldValue(c, field, upper, prefix, table.LanguageId(), table.SortId(), data);
        };
        // Values with a common beginning lie together in byte order only: under a
        // locale "ab", "Ab" and "abc" follow each other.
        bool usable = !(upper && !isString) && !(prefix > 0 && table.LanguageId() != 0);
        std::vector<std::uint8_t> a, b;
        bool aNull = false, bNull = false;
        if (usable && IsComparison(*node)) {
            usable = value(node->Operand(1), a, aNull);
            // Ordering with NULL is left to the scan; so is everything but "=" and
            // "<>" on a partial comparison.
            if (usable && (aNull || prefix > 0) && node->op != opEq && node->op != opNe) usable = false;
            if (usable) {
                // Strings order a null as the empty string, before every value; other
                // types never order a null.
                const TFieldBound lowest = Bound(isString ? TFieldBound::Open : TFieldBound::NonNull);
                switch (node->op) {
                    case opEq:
                    case opNe:
                        plan.ranges.push_back(aNull ? NullRange()
                                                    : TFieldRange{ValueBound(a, false, prefix), ValueBound(a, false, prefix)});
                        plan.complement = node->op == opNe;
                        break;
                    case opGt: plan.ranges.push_back({ValueBound(a, true, 0), Bound(TFieldBound::Open)}); break;
                    case opGe: plan.ranges.push_back({ValueBound(a, false, 0), Bound(TFieldBound::Open)}); break;
                    case opLt: plan.ranges.push_back({lowest, ValueBound(a, true, 0)}); break;
                    case opLe: plan.ranges.push_back({lowest, ValueBound(a, false, 0)}); break;
                    default: usable = false;
                }
            }
        } else if (usable && (node->op == opBetween || node->op == opNotBetween)) {
            usable = value(node->Operand(1), a, aNull) && value(node->Operand(2), b, bNull) && !aNull && !bNull;
            if (usable) {
                plan.ranges.push_back({ValueBound(a, false, 0), ValueBound(b, false, 0)});
                plan.complement = node->op == opNotBetween;
            }
        } else if (usable) {
            for (std::size_t i = 1; i < node->operands.size() && usable; ++i) {
                usable = value(node->operands[i], a, aNull);
                if (usable) plan.ranges.push_back(aNull ? NullRange() : TFieldRange{ValueBound(a, false, 0), ValueBound(a, false, 0)});
            }
            plan.complement = node->op == opNotInList;
        }
        if (usable) plan.slot = table.UsableIndex(field.FieldNo, caseInsensitive);
        if (usable && plan.slot >= 0) {
            plan.level = 2;
            // Inside a compound condition an index that selects nearly everything
            // costs more than it saves.
            if (countCheck && operandOfLogic) {
                std::int64_t count = 0;
                for (const TFieldRange& r : plan.ranges) count += table.CountRange(plan.slot, r);
                const std::int64_t records = table.RecordCount();
                if (plan.complement) count = std::max<std::int64_t>(0, records - count);
                if (count > static_cast<std::int64_t>(0.9 * static_cast<double>(records))) plan.level = 0;
            }
        }
        if (plan.level == 0) {
            plan.slot = -1;
            plan.ranges.clear();
        }
    }
    const int level = plan.level;
    plans_[node] = std::move(plan);
    return level;
}

// ---- Evaluation --------------------------------------------------------------------------

void TExpressionCondition::Evaluate(TFilterTable& table, TRecordsBitmap& bitmap, bool countCheck) {
    EvaluateNode(table, tree_.get(), bitmap, countCheck);
}

void TExpressionCondition::EvaluateNode(TFilterTable& table, const TExpToken* node, TRecordsBitmap& bitmap,
                                        bool countCheck) {
    const auto it = plans_.find(node);
    if (it == plans_.end() || it->second.level == 0) {
        Scan(table, node, bitmap);
        return;
    }
    const TPlan& plan = it->second;
    if (plan.slot >= 0) {
        TPooledBitmap found;
        found->SetSize(bitmap.Size());
        bool complement = plan.complement;
        // A range holding more than half the records is cheaper to walk around.
        if (countCheck && plan.ranges.size() == 1 &&
            table.CountRange(plan.slot, plan.ranges.front()) > table.RecordCount() / 2) {
            table.CollectRange(plan.slot, plan.ranges.front(), true, *found);
            complement = !complement;
        } else {
            for (const TFieldRange& r : plan.ranges) table.CollectRange(plan.slot, r, false, *found);
        }
        if (complement) found->Not();
        bitmap.And(*found);
        return;
    }
    if (node->kind == nkUnary && node->op == opNot) {
        TPooledBitmap passed;
        passed->Assign(bitmap);
        EvaluateNode(table, node->Operand(0), *passed, countCheck);
        passed->Not();
        bitmap.And(*passed);
    } else if (node->kind == nkUnary) {
        EvaluateNode(table, node->Operand(0), bitmap, countCheck);
    } else if (node->op == opAnd) {
        // The right side is tested only on what passed the left side.
        EvaluateNode(table, node->Operand(0), bitmap, countCheck);
        EvaluateNode(table, node->Operand(1), bitmap, countCheck);
    } else {
        TPooledBitmap left;
        TPooledBitmap right;
        left->Assign(bitmap);
        right->Assign(bitmap);
        EvaluateNode(table, node->Operand(0), *left, countCheck);
        EvaluateNode(table, node->Operand(1), *right, countCheck);
        left->Or(*right);
        bitmap.Assign(*left);
    }
}

void TExpressionCondition::Scan(TFilterTable& table, const TExpToken* node, TRecordsBitmap& bitmap) {
    if (const auto direct = DirectTest(node, table)) {
        table.Scan(bitmap, *direct);
        return;
    }
    TRecordColumns columns(table.Fields());
    const TEvalContext context{table.LanguageId(), table.SortId(), &columns};
    table.Scan(bitmap, [&](std::span<const std::uint8_t> record, std::int32_t) {
        columns.SetRecord(record);
        return reruzo::Accepts(node, context);
    });
}

bool TExpressionCondition::Accepts(TFilterTable& table, std::span<const std::uint8_t> record, std::int32_t) {
    TRecordColumns columns(table.Fields());
    columns.SetRecord(record);
    return reruzo::Accepts(tree_.get(), TEvalContext{table.LanguageId(), table.SortId(), &columns});
}

std::unique_ptr<TFilterCondition> TExpressionCondition::Clone() const {
    return std::make_unique<TExpressionCondition>(TExpTree(CloneTree(tree_.get())));
}

// ---- Cursor operations -------------------------------------------------------------------

TFilter* AddExprFilter(TDataCursor& cursor, std::string_view text, TFilterTextOptions textOptions,
                       TFilterSettings settings) {
    cursor.CheckFilterLimit();
    TExpTree tree = CompileFilter(text, cursor.TableName(), cursor.Fields(), cursor.Table().Data().LanguageId(),
                                  cursor.Table().Data().SortId(), textOptions);
    return AddExprFilter(cursor, std::move(tree), settings);
}

TFilter* AddExprFilter(TDataCursor& cursor, TExpTree prepared, TFilterSettings settings) {
    return cursor.AddFilter(std::make_unique<TExpressionCondition>(std::move(prepared)), settings);
}

void ReplaceFilterExpression(TDataCursor& cursor, TFilter* filter, TExpTree prepared) {
    cursor.ReplaceFilterCondition(filter, std::make_unique<TExpressionCondition>(std::move(prepared)));
}

}  // namespace reruzo
