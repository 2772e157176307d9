// Fields of the dataset components: engine field types as dataset field types, the
// field definitions of a table, and reading and writing one field of the current row
// as text, integer or value.
#include "components/reruzo_dataset.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "components/component_text.h"
#include "engine/sql/expression_filter.h"
#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/field_text.h"
#include "engine/storage/value_text.h"


namespace reruzo {

TFieldType DataSetFieldType(std::uint8_t engineType, std::uint8_t subType) {
    using enum TFieldType;
    switch (engineType) {
        case kFieldString: return ftString;
        case kFieldDate: return ftDate;
        case kFieldBlob:
            switch (subType) {
                case kSubMemo: return ftMemo;
                case kSubFormattedMemo: return ftFmtMemo;
                case kSubGraphic: return ftGraphic;
                case kSubTypedBinary: return ftTypedBinary;
                default: return ftBlob;
            }
        case kFieldBoolean: return ftBoolean;
        case kFieldSmallInt: return ftSmallint;
        case kFieldInteger: return subType == kSubAutoInc ? ftAutoInc : ftInteger;
        case kFieldFloat: return subType == kSubMoney ? ftCurrency : ftFloat;
        case kFieldBCD: return ftBCD;
        case kFieldBytes: return ftBytes;
        case kFieldTime: return ftTime;
        case kFieldTimeStamp: return ftDateTime;
        case kFieldWord: return ftWord;
        case kFieldForeignInteger: return ftInteger;
        case kFieldVarBytes: return ftVarBytes;
        case kFieldLargeInt:
        case kFieldForeignLargeInt: return ftLargeint;
        case kFieldADT: return ftADT;
        case kFieldArray: return ftArray;
        case kFieldReference: return ftReference;
        case kFieldDataSet: return ftDataSet;
        default: return ftUnknown;
    }
}

// ---- Fields -------------------------------------------------------------------------

TField::TField(TRERUZODataSet& dataset, TFieldDef def, const TFieldDesc& desc)
    : dataset_(dataset), def_(std::move(def)), desc_(desc) {}

std::span<const std::uint8_t> TField::Record() const {
    if (!dataset_.Active() || !dataset_.hasRow_) return {};
    return dataset_.current_;
}

bool TField::IsNull() const {
    auto r = Record();
    if (r.empty()) return true;
    // A BLOB changed in this row is not in the record until it is posted.
    const TDataSetState state = dataset_.state_;
    if (IsBlob() && (state == TDataSetState::dsEdit || state == TDataSetState::dsInsert)) return BlobSize() == 0;
    return FieldIsNull(r, desc_);
}

std::string TField::AsString() const {
    auto r = Record();
    if (IsBlob()) return IsNull() ? std::string() : BlobText();
    if (r.empty() || FieldIsNull(r, desc_)) return {};
    using enum TFieldType;
    switch (def_.DataType) {
        case ftString:
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint:
        case ftBoolean:
        case ftFloat:
        case ftCurrency:
        case ftBCD:
        case ftDate:
        case ftTime:
        case ftDateTime:
        case ftBytes:
        case ftVarBytes: break;
        default: throw EDatabaseError(FormatText("Cannot access field '%s' as text", def_.Name));
    }
    const auto text = FieldDataText(desc_.FieldType, FieldData(r, desc_), TBooleanWords::Capitalised);
    // Codes that tables from elsewhere carry but this engine never writes.
    if (!text) RaiseEngineError(RERUZO_INVALIDFLDTYPE, {.field = desc_.Name});
    return *text;
}

std::int32_t TField::AsInteger() const {
    auto r = Record();
    if (r.empty() || FieldIsNull(r, desc_)) return 0;
    using enum TFieldType;
    switch (def_.DataType) {
        case ftString: {
            const std::string text = GetStringField(r, desc_);
            auto v = ParseInt32(text);
            if (!v) throw EDatabaseError(FormatText("'%s' is not a valid integer value", text));
            return *v;
        }
        case ftFloat:
        case ftCurrency: return static_cast<std::int32_t>(std::llround(GetFloatField(r, desc_)));
        case ftBoolean:
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint:
        case ftDate:
        case ftTime: return static_cast<std::int32_t>(GetIntegerField(r, desc_));
        default:
            throw EDatabaseError(FormatText("Cannot access field '%s' as an integer", def_.Name));
    }
}

TFieldValue TField::Value() const {
    auto r = Record();
    if (r.empty() || FieldIsNull(r, desc_)) return std::monostate{};
    using enum TFieldType;
    switch (def_.DataType) {
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint: return GetIntegerField(r, desc_);
        case ftBoolean: return GetBooleanField(r, desc_);
        case ftFloat:
        case ftCurrency: return GetFloatField(r, desc_);
        default: return AsString();
    }
}

void TField::RequireWritableState() const {
    using enum TDataSetState;
    const TDataSetState state = dataset_.state_;
    if (state != dsEdit && state != dsInsert && state != dsSetKey && state != dsCalcFields && state != dsFilter)
        throw EDatabaseError("Table is not in edit or insert mode.");
}

void TField::Store(std::span<const std::uint8_t> data, bool isNull) {
    using enum TDataSetState;
    RequireWritableState();
    const TDataSetState state = dataset_.state_;
    if (def_.DataType == TFieldType::ftAutoInc && state != dsSetKey && state != dsFilter)
        throw EDatabaseError(FormatText("Field %s cannot be modified.", def_.Name));
    dataset_.cursor_->PutField(def_.FieldNo, dataset_.current_, data, isNull);
    dataset_.modified_ = true;
}

std::vector<std::uint8_t> TField::DataFromText(const std::string& text, bool& isNull) const {
    using enum TFieldType;
    std::vector<std::uint8_t> data(desc_.DataSize, 0);
    isNull = false;
    if (def_.DataType == ftString) {
        // Up to the field's size and any zero character.
        const std::size_t n =
            std::min({text.size(), static_cast<std::size_t>(desc_.Length), strnlen(text.c_str(), text.size())});
        std::memcpy(data.data(), text.data(), n);
        isNull = n == 0;
        return data;
    }
    if (text.empty()) {
        isNull = true;
        return data;
    }
    auto fail = [&](const char* what) { throw EDatabaseError(FormatText(what, text)); };
    switch (def_.DataType) {
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint: {
            const auto v = ParseInt64(text);
            const auto [lo, hi] = def_.DataType == ftSmallint ? std::pair<std::int64_t, std::int64_t>{-32768, 32767}
                                  : def_.DataType == ftWord   ? std::pair<std::int64_t, std::int64_t>{0, 65535}
                                  : def_.DataType == ftLargeint
                                      ? std::pair<std::int64_t, std::int64_t>{INT64_MIN, INT64_MAX}
                                      : std::pair<std::int64_t, std::int64_t>{INT32_MIN, INT32_MAX};
            if (!v || *v < lo || *v > hi) fail("'%s' is not a valid integer value");
            for (std::size_t i = 0; i < data.size() && i < 8; ++i)
                data[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(*v) >> (8 * i));
            break;
        }
        case ftBoolean: {
            const auto b = ParseBoolean(text);
            if (!b) fail("'%s' is not a valid boolean value");
            PutLE<std::uint16_t>(data.data(), *b ? 1 : 0);
            break;
        }
        case ftFloat:
        case ftCurrency: {
            const auto f = ParseFloat(text);
            if (!f) fail("'%s' is not a valid floating point value");
            PutLE<double>(data.data(), *f);
            break;
        }
        case ftDate: {
            const auto d = ParseDate(text);
            if (!d) fail("'%s' is not a valid date");
            PutLE<std::int32_t>(data.data(), DateToDayNumber(*d));
            break;
        }
        case ftTime: {
            const auto t = ParseTime(text);
            if (!t) fail("'%s' is not a valid time");
            PutLE<std::int32_t>(data.data(), TimeToMilliseconds(*t));
            break;
        }
        default: throw EDatabaseError(FormatText("Cannot access field '%s' as text", def_.Name));
    }
    return data;
}

std::uint64_t TField::BlobSize() const {
    if (Record().empty()) return 0;
    return dataset_.cursor_->GetBlobSize(dataset_.current_, def_.FieldNo);
}

std::size_t TField::ReadBlob(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (Record().empty()) return 0;
    return dataset_.cursor_->GetBlob(dataset_.current_, def_.FieldNo, offset, out);
}

std::string TField::BlobText() const {
    std::string text(BlobSize(), '\0');
    ReadBlob(0, {reinterpret_cast<std::uint8_t*>(text.data()), text.size()});
    return text;
}

void TField::WriteBlob(std::uint64_t offset, std::span<const std::uint8_t> data) {
    RequireWritableState();
    dataset_.cursor_->PutBlob(dataset_.current_, def_.FieldNo, offset, data);
    dataset_.modified_ = true;
}

void TField::TruncateBlob(std::uint64_t size) {
    RequireWritableState();
    dataset_.cursor_->TruncateBlob(dataset_.current_, def_.FieldNo, size);
    dataset_.modified_ = true;
}

void TField::SetAsString(const std::string& text) {
    if (IsBlob()) {
        TruncateBlob(0);
        WriteBlob(0, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        return;
    }
    bool isNull = false;
    const std::vector<std::uint8_t> data = DataFromText(text, isNull);
    Store(data, isNull);
}

void TField::SetAsInteger(std::int64_t value) {
    using enum TFieldType;
    std::vector<std::uint8_t> data(desc_.DataSize, 0);
    auto fits = [&](std::int64_t lo, std::int64_t hi) {
        if (value < lo || value > hi)
            throw EDatabaseError(FormatText("'%s' is not a valid integer value", std::to_string(value)));
    };
    switch (def_.DataType) {
        case ftSmallint: fits(-32768, 32767); PutLE<std::int16_t>(data.data(), static_cast<std::int16_t>(value)); break;
        case ftWord: fits(0, 65535); PutLE<std::uint16_t>(data.data(), static_cast<std::uint16_t>(value)); break;
        case ftInteger:
        case ftAutoInc:
            fits(INT32_MIN, INT32_MAX);
            PutLE<std::int32_t>(data.data(), static_cast<std::int32_t>(value));
            break;
        case ftLargeint: PutLE<std::int64_t>(data.data(), value); break;
        case ftFloat:
        case ftCurrency: PutLE<double>(data.data(), static_cast<double>(value)); break;
        case ftString:
        case ftBoolean:
        case ftDate:
        case ftTime: SetAsString(std::to_string(value)); return;
        default: throw EDatabaseError(FormatText("Cannot access field '%s' as an integer", def_.Name));
    }
    Store(data, false);
}

void TField::Clear() {
    if (IsBlob()) {
        TruncateBlob(0);
        return;
    }
    std::vector<std::uint8_t> data(desc_.DataSize, 0);
    Store(data, true);
}

std::vector<TFieldDef> MakeFieldDefs(const std::vector<TFieldDesc>& descs) {
    std::vector<TFieldDef> defs;
    for (const TFieldDesc& desc : descs) {
        const TFieldType type = DataSetFieldType(desc.FieldType, desc.SubType);
        if (type == TFieldType::ftUnknown) continue;
        TFieldDef def;
        def.DataType = type;
        def.FieldNo = desc.FieldNo;
        def.Required = desc.Required != 0;
        if (type == TFieldType::ftString || type == TFieldType::ftBytes || type == TFieldType::ftVarBytes) {
            def.Size = desc.Length;
        } else if (type == TFieldType::ftBCD) {
            def.Size = desc.Scale;
            def.Precision = 32;
        }
        // A name already taken gets "_1", "_2", ... until it is free.
        def.Name = desc.Name;
        auto taken = [&defs](const std::string& n) {
            return std::any_of(defs.begin(), defs.end(), [&n](const TFieldDef& d) { return SameText(d.Name, n); });
        };
        for (int counter = 1; taken(def.Name); ++counter) def.Name = desc.Name + "_" + std::to_string(counter);
        defs.push_back(def);
    }
    return defs;
}

}  // namespace reruzo
