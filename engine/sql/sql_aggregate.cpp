// Contributions of single rows to aggregate columns and their combination by group.
#include "engine/sql/sql_aggregate.h"

#include <cmath>
#include <cstring>

#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"

namespace reruzo {

TNumberValue ReadNumber(std::uint8_t type, const std::uint8_t* p) {
    switch (type) {
        case kFieldSmallInt: return {TNumberValue::kInteger, GetLE<std::int16_t>(p), 0};
        case kFieldWord:
        case kFieldBoolean: return {TNumberValue::kInteger, GetLE<std::uint16_t>(p), 0};
        case kFieldInteger:
        case kFieldDate:
        case kFieldTime: return {TNumberValue::kInteger, GetLE<std::int32_t>(p), 0};
        case kFieldLargeInt: return {TNumberValue::kInteger, GetLE<std::int64_t>(p), 0};
        case kFieldFloat:
        case kFieldTimeStamp: return {TNumberValue::kFloat, 0, GetLE<double>(p)};
        case kFieldBCD: return {TNumberValue::kCurrency, BcdToCurrency(std::span<const std::uint8_t>(p, kBcdSize)), 0};
        default: return {};
    }
}

double AsDouble(const TNumberValue& n) {
    switch (n.kind) {
        case TNumberValue::kFloat: return n.f;
        case TNumberValue::kCurrency: return static_cast<double>(n.i) / 10000.0;
        default: return static_cast<double>(n.i);
    }
}

bool IsNumberType(std::uint8_t t) {
    return t == kFieldSmallInt || t == kFieldWord || t == kFieldBoolean || t == kFieldInteger || t == kFieldDate ||
           t == kFieldTime || t == kFieldLargeInt || t == kFieldFloat || t == kFieldTimeStamp || t == kFieldBCD;
}

namespace {

// Writes a number into field data of `type` (a float or currency becomes an integer
// by cutting towards zero, as the field writers do).
void WriteNumber(std::uint8_t type, std::uint8_t* p, const TNumberValue& n) {
    const std::int64_t integer = n.kind == TNumberValue::kFloat      ? static_cast<std::int64_t>(n.f)
                                 : n.kind == TNumberValue::kCurrency ? n.i / 10000
                                                                     : n.i;
    switch (type) {
        case kFieldSmallInt: PutLE(p, static_cast<std::int16_t>(integer)); break;
        case kFieldWord: PutLE(p, static_cast<std::uint16_t>(integer)); break;
        case kFieldInteger:
        case kFieldDate:
        case kFieldTime: PutLE(p, static_cast<std::int32_t>(integer)); break;
        case kFieldLargeInt: PutLE(p, integer); break;
        case kFieldFloat:
        case kFieldTimeStamp: PutLE(p, AsDouble(n)); break;
        case kFieldBCD: {
            const std::int64_t currency = n.kind == TNumberValue::kCurrency ? n.i
                                          : n.kind == TNumberValue::kFloat ? std::llround(n.f * 10000.0)
                                                                           : n.i * 10000;
            CurrencyToBcd(currency, std::span<std::uint8_t>(p, kBcdSize));
            break;
        }
        default: break;
    }
}

TNumberValue Add(const TNumberValue& a, const TNumberValue& b) {
    if (a.kind == TNumberValue::kFloat || b.kind == TNumberValue::kFloat) {
        return {TNumberValue::kFloat, 0, AsDouble(a) + AsDouble(b)};
    }
    return {a.kind, static_cast<std::int64_t>(static_cast<std::uint64_t>(a.i) + static_cast<std::uint64_t>(b.i)), 0};
}

int Compare(const TNumberValue& a, const TNumberValue& b) {
    if (a.kind == TNumberValue::kFloat || b.kind == TNumberValue::kFloat) {
        const double x = AsDouble(a), y = AsDouble(b);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    return a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
}

std::uint8_t* Slot(std::span<std::uint8_t> record, const TFieldDesc& f) { return record.data() + f.Offset; }
const std::uint8_t* Slot(std::span<const std::uint8_t> record, const TFieldDesc& f) { return record.data() + f.Offset; }

bool IsNull(std::span<const std::uint8_t> record, const TFieldDesc& f) { return Slot(record, f)[0] == 0; }

void SetNull(std::span<std::uint8_t> record, const TFieldDesc& f) {
    std::memset(Slot(record, f), 0, std::size_t{f.DataSize} + 1);
}

TNumberValue Read(std::span<const std::uint8_t> record, const TFieldDesc& f) {
    return ReadNumber(f.FieldType, Slot(record, f) + 1);
}

void Write(std::span<std::uint8_t> record, const TFieldDesc& f, const TNumberValue& n) {
    std::uint8_t* slot = Slot(record, f);
    std::memset(slot, 0, std::size_t{f.DataSize} + 1);
    slot[0] = 1;
    WriteNumber(f.FieldType, slot + 1, n);
}

}  // namespace

std::vector<std::uint8_t> ValueAsField(const TExpToken& value, const TFieldDesc& field) {
    std::vector<std::uint8_t> out(field.DataSize, 0);
    if (IsNumberType(field.FieldType) && value.dataType != field.FieldType && value.value.size() >= 8) {
        WriteNumber(field.FieldType, out.data(), ReadNumber(value.dataType, value.value.data()));
        return out;
    }
    const std::size_t n = std::min(out.size(), value.value.size());
    std::memcpy(out.data(), value.value.data(), n);
    // A string keeps its terminating zero within the field.
    if (field.FieldType == kFieldString && !out.empty()) out.back() = 0;
    return out;
}

void TGroupCombiner::PutContribution(std::span<std::uint8_t> row, const TAggregateColumn& c,
                                     const TExpToken* value) const {
    const TFieldDesc& f = Field(c.fieldNo);
    const bool counted = value == nullptr || !value->isNull;
    if (c.kind == akCount) {
        Write(row, f, {TNumberValue::kInteger, counted ? 1 : 0, 0});
        return;
    }
    if (c.kind == akAvg) Write(row, Field(c.countFieldNo), {TNumberValue::kInteger, counted ? 1 : 0, 0});
    if (!counted) {
        SetNull(row, f);
        return;
    }
    Write(row, f, ReadNumber(value->dataType, value->value.data()));
}

void TGroupCombiner::Combine(std::span<std::uint8_t> group, std::span<const std::uint8_t> row) const {
    for (const TAggregateColumn& c : columns_) {
        const TFieldDesc& f = Field(c.fieldNo);
        if (c.kind == akCount) {
            Write(group, f, Add(Read(group, f), Read(row, f)));
            continue;
        }
        if (c.kind == akAvg) {
            const TFieldDesc& count = Field(c.countFieldNo);
            Write(group, count, Add(Read(group, count), Read(row, count)));
        }
        if (IsNull(row, f)) continue;
        if (IsNull(group, f)) {
            Write(group, f, Read(row, f));
            continue;
        }
        const TNumberValue g = Read(group, f), r = Read(row, f);
        switch (c.kind) {
            case akSum:
            case akAvg: Write(group, f, Add(g, r)); break;
            case akMin:
                if (Compare(r, g) < 0) Write(group, f, r);
                break;
            case akMax:
                if (Compare(r, g) > 0) Write(group, f, r);
                break;
            default: break;
        }
    }
}

void TGroupCombiner::Finish(std::span<std::uint8_t> group) const {
    for (const TAggregateColumn& c : columns_) {
        if (c.kind != akAvg) continue;
        const TFieldDesc& f = Field(c.fieldNo);
        const std::int64_t count = Read(group, Field(c.countFieldNo)).i;
        if (count == 0 || IsNull(group, f)) {
            SetNull(group, f);
        } else {
            Write(group, f, {TNumberValue::kFloat, 0, AsDouble(Read(group, f)) / static_cast<double>(count)});
        }
    }
}

void TGroupCombiner::PutEmptyGroup(std::span<std::uint8_t> group) const {
    for (const TAggregateColumn& c : columns_) {
        if (c.kind == akCount) {
            Write(group, Field(c.fieldNo), {});
        } else {
            SetNull(group, Field(c.fieldNo));
            if (c.kind == akAvg) Write(group, Field(c.countFieldNo), {});
        }
    }
}

}  // namespace reruzo
