// Codecs of the data file header and field descriptors, field access on record
// images, the byte cipher and the structure check of a loaded data file.
#include "engine/storage/data_format.h"

#include <cctype>
#include <cstring>
#include <set>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/value_text.h"
#include "platform/nls.h"

namespace reruzo {

// ---- Header and descriptors ------------------------------------------------------

TDataHeader TDataHeader::Decode(std::span<const std::uint8_t, kHeaderSize> bytes) {
    const std::uint8_t* p = bytes.data();
    TDataHeader h;
    h.ChangeCount = GetLE<std::uint32_t>(p + 0);
    h.BlobBlockSize = GetLE<std::uint32_t>(p + 4);
    h.FormatVersion = p[8];
    h.FirstFreeRecord = GetLE<std::int32_t>(p + 9);
    h.NextRecordNo = GetLE<std::int32_t>(p + 13);
    h.LastAutoIncValue = GetLE<std::int32_t>(p + 17);
    h.RecordSize = GetLE<std::uint16_t>(p + 21);
    h.FieldCount = GetLE<std::uint16_t>(p + 23);
    h.BlobFieldCount = GetLE<std::uint16_t>(p + 25);
    h.LastUpdated = GetLE<double>(p + 27);
    h.Description = GetShortString(p + 35, kMaxDescriptionLength);
    h.Encrypted = p[86];
    h.Password = GetShortString(p + 87, kMaxPasswordLength);
    h.LanguageId = GetLE<std::uint16_t>(p + 103);
    h.SortId = GetLE<std::uint16_t>(p + 105);
    h.UserMajorVersion = GetLE<std::uint16_t>(p + 107);
    h.UserMinorVersion = GetLE<std::uint16_t>(p + 109);
    h.HeaderModified = 0;
    h.LastBlobStamp = GetLE<std::int32_t>(p + 112);
    h.EngineVersion = GetLE<std::uint32_t>(p + 116);
    h.Reserved = GetLE<std::uint32_t>(p + 120);
    return h;
}

void TDataHeader::Encode(std::span<std::uint8_t, kHeaderSize> bytes) const {
    std::uint8_t* p = bytes.data();
    std::memset(p, 0, kHeaderSize);
    PutLE(p + 0, ChangeCount);
    PutLE(p + 4, BlobBlockSize);
    p[8] = FormatVersion;
    PutLE(p + 9, FirstFreeRecord);
    PutLE(p + 13, NextRecordNo);
    PutLE(p + 17, LastAutoIncValue);
    PutLE(p + 21, RecordSize);
    PutLE(p + 23, FieldCount);
    PutLE(p + 25, BlobFieldCount);
    PutLE(p + 27, LastUpdated);
    PutShortString(p + 35, kMaxDescriptionLength, Description);
    p[86] = Encrypted;
    PutShortString(p + 87, kMaxPasswordLength, Password);
    PutLE(p + 103, LanguageId);
    PutLE(p + 105, SortId);
    PutLE(p + 107, UserMajorVersion);
    PutLE(p + 109, UserMinorVersion);
    p[111] = HeaderModified;
    PutLE(p + 112, LastBlobStamp);
    PutLE(p + 116, EngineVersion);
    PutLE(p + 120, Reserved);
}

TFieldDesc TFieldDesc::Decode(std::span<const std::uint8_t, kFieldDescSize> bytes) {
    const std::uint8_t* p = bytes.data();
    TFieldDesc d;
    d.FieldNo = GetLE<std::uint16_t>(p + 0);
    d.Name = GetShortString(p + 2, kMaxFieldNameLength);
    d.Description = GetShortString(p + 33, kMaxDescriptionLength);
    d.FieldType = p[84];
    d.SubType = p[85];
    d.Length = p[86];
    d.Scale = p[87];
    d.DataSize = p[88];
    d.DataScale = p[89];
    d.Offset = GetLE<std::uint16_t>(p + 90);
    d.Required = p[92];
    d.CharCase = p[93];
    d.MinValue = GetShortString(p + 94, kMaxValueTextLength);
    d.MaxValue = GetShortString(p + 145, kMaxValueTextLength);
    d.DefaultValue = GetShortString(p + 196, kMaxValueTextLength);
    d.Computed = p[247];
    d.ComputedRef = GetLE<std::uint32_t>(p + 248);
    return d;
}

void TFieldDesc::Encode(std::span<std::uint8_t, kFieldDescSize> bytes) const {
    std::uint8_t* p = bytes.data();
    std::memset(p, 0, kFieldDescSize);
    PutLE(p + 0, FieldNo);
    PutShortString(p + 2, kMaxFieldNameLength, Name);
    PutShortString(p + 33, kMaxDescriptionLength, Description);
    p[84] = FieldType;
    p[85] = SubType;
    p[86] = Length;
    p[87] = Scale;
    p[88] = DataSize;
    p[89] = DataScale;
    PutLE(p + 90, Offset);
    p[92] = Required;
    p[93] = CharCase;
    PutShortString(p + 94, kMaxValueTextLength, MinValue);
    PutShortString(p + 145, kMaxValueTextLength, MaxValue);
    PutShortString(p + 196, kMaxValueTextLength, DefaultValue);
    p[247] = Computed;
    PutLE(p + 248, ComputedRef);
}

TFieldDesc MakeFieldDesc(std::string name, std::uint8_t fieldType, std::uint8_t length,
                         std::uint8_t subType) {
    TFieldDesc d;
    d.Name = std::move(name);
    d.FieldType = fieldType;
    d.Length = length;
    d.SubType = subType;
    return d;
}

std::uint8_t DataSizeFor(std::uint8_t fieldType, std::uint8_t length, std::uint8_t current) {
    switch (fieldType) {
        case kFieldString: return static_cast<std::uint8_t>(length + 1);
        case kFieldDate: return 4;
        case kFieldBlob: return 8;
        case kFieldBoolean: return 2;
        case kFieldSmallInt: return 2;
        case kFieldInteger: return 4;
        case kFieldFloat: return 8;
        case kFieldBCD: return 34;
        case kFieldBytes: return length;
        case kFieldTime: return 4;
        case kFieldTimeStamp: return 8;
        case kFieldWord: return 2;
        case 13: return 4;
        case 14: return 10;
        case kFieldVarBytes: return length;
        case kFieldLargeInt: return 8;
        default: return current;
    }
}

void DeriveDataSize(TFieldDesc& desc) {
    desc.DataSize = DataSizeFor(desc.FieldType, desc.Length, desc.DataSize);
    desc.DataScale = desc.Scale;
}

std::size_t LayoutRecord(std::vector<TFieldDesc>& descs) {
    std::size_t offset = kRecordHeaderSize;
    for (std::size_t i = 0; i < descs.size(); ++i) {
        TFieldDesc& d = descs[i];
        d.FieldNo = static_cast<std::uint16_t>(i + 1);
        DeriveDataSize(d);
        if (d.IsAutoInc()) {
            d.Offset = kAutoIncOffset;
        } else if (d.Computed == 0) {
            d.Offset = static_cast<std::uint16_t>(offset);
            offset += d.DataSize + 1u;
        }
    }
    return offset;
}

std::string TableFileName(std::string_view directory, std::string_view table,
                          std::string_view extension) {
    std::string_view base = table;
    const auto slash = base.find_last_of("/\\");
    const auto dot = base.find_last_of('.');
    if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash))
        base = base.substr(0, dot);
    std::string name(directory);
    name += base;
    name += extension;
    return name;
}

void ApplyCipher(std::span<std::uint8_t> run, TCipherKey key) {
    std::uint8_t k1 = key.k1;
    std::uint8_t k2 = key.k2;
    for (std::uint8_t& b : run) {
        b = static_cast<std::uint8_t>(b ^ k1 ^ k2);
        ++k1;
        --k2;
    }
}

// ---- Field access ------------------------------------------------------------------

namespace {

[[noreturn]] void RaiseBadField(const TFieldDesc& desc) {
    RaiseEngineError(RERUZO_FILECORRUPT, {.field = desc.Name});
}

// Checks that the field's slot (indicator and data) lies inside the record.
void CheckSlot(std::size_t recordSize, const TFieldDesc& desc) {
    const std::size_t end = desc.IsAutoInc() ? kAutoIncOffset + 4u
                                             : std::size_t{desc.Offset} + 1u + desc.DataSize;
    if (desc.Computed != 0 || end > recordSize || (!desc.IsAutoInc() && desc.Offset < kRecordHeaderSize))
        RaiseBadField(desc);
}

std::size_t DataBytes(const TFieldDesc& desc) {
    return desc.FieldType == kFieldBlob ? 4u : desc.DataSize;
}

void StoreData(std::span<std::uint8_t> record, const TFieldDesc& desc, const void* data,
               std::size_t n) {
    record[desc.Offset] = 1;
    std::uint8_t* dst = record.data() + desc.Offset + 1;
    std::memset(dst, 0, desc.DataSize);
    std::memcpy(dst, data, std::min<std::size_t>(n, desc.DataSize));
}

}  // namespace

bool FieldIsNull(std::span<const std::uint8_t> record, const TFieldDesc& desc) {
    CheckSlot(record.size(), desc);
    if (desc.IsAutoInc()) return false;
    return (record[desc.Offset] ^ 1) != 0;
}

std::span<const std::uint8_t> FieldData(std::span<const std::uint8_t> record,
                                        const TFieldDesc& desc) {
    CheckSlot(record.size(), desc);
    if (desc.IsAutoInc()) return record.subspan(kAutoIncOffset, 4);
    return record.subspan(desc.Offset + 1u, DataBytes(desc));
}

std::string GetStringField(std::span<const std::uint8_t> record, const TFieldDesc& desc) {
    if (FieldIsNull(record, desc)) return {};
    auto data = FieldData(record, desc);
    const auto* begin = reinterpret_cast<const char*>(data.data());
    return std::string(begin, strnlen(begin, data.size()));
}

std::int64_t GetIntegerField(std::span<const std::uint8_t> record, const TFieldDesc& desc) {
    auto d = FieldData(record, desc);
    switch (desc.FieldType) {
        case kFieldSmallInt: return GetLE<std::int16_t>(d.data());
        case kFieldWord:
        case kFieldBoolean: return GetLE<std::uint16_t>(d.data());
        case kFieldInteger:
        case kFieldDate:
        case kFieldTime:
        case kFieldBlob: return GetLE<std::int32_t>(d.data());
        case kFieldLargeInt: return GetLE<std::int64_t>(d.data());
        case kFieldFloat:
        case kFieldTimeStamp: return static_cast<std::int64_t>(GetLE<double>(d.data()));
        default: RaiseEngineError(RERUZO_INVALIDFLDTYPE, {.field = desc.Name});
    }
}

double GetFloatField(std::span<const std::uint8_t> record, const TFieldDesc& desc) {
    if (desc.FieldType == kFieldFloat || desc.FieldType == kFieldTimeStamp)
        return GetLE<double>(FieldData(record, desc).data());
    return static_cast<double>(GetIntegerField(record, desc));
}

bool GetBooleanField(std::span<const std::uint8_t> record, const TFieldDesc& desc) {
    return GetIntegerField(record, desc) != 0;
}

void PutFieldData(std::span<std::uint8_t> record, const TFieldDesc& desc,
                  std::span<const std::uint8_t> data, const TStringRules& rules) {
    CheckSlot(record.size(), desc);
    switch (desc.FieldType) {
        case kFieldString: {
            // Empty data (an empty string) may come without any buffer to look at.
            const auto* chars = reinterpret_cast<const char*>(data.data());
            PutStringField(record, desc, data.empty() ? std::string_view() : std::string_view(chars, strnlen(chars, data.size())),
                           rules);
            return;
        }
        case kFieldBoolean: {
            std::uint16_t v = 0;
            std::memcpy(&v, data.data(), std::min<std::size_t>(2, data.size()));
            PutBooleanField(record, desc, v);
            return;
        }
        case kFieldBlob: {
            std::int32_t block = 0, stamp = 0;
            if (data.size() >= 4) block = GetLE<std::int32_t>(data.data());
            if (data.size() >= 8) stamp = GetLE<std::int32_t>(data.data() + 4);
            PutBlobReference(record, desc, block, stamp);
            return;
        }
        default:
            if (desc.IsAutoInc()) {
                std::memset(record.data() + kAutoIncOffset, 0, 4);
                std::memcpy(record.data() + kAutoIncOffset, data.data(),
                            std::min<std::size_t>(4, data.size()));
                return;
            }
            StoreData(record, desc, data.data(), data.size());
    }
}

void PutStringField(std::span<std::uint8_t> record, const TFieldDesc& desc, std::string_view text,
                    const TStringRules& rules) {
    CheckSlot(record.size(), desc);
    if (desc.FieldType != kFieldString) RaiseEngineError(RERUZO_INVALIDFLDTYPE, {.field = desc.Name});
    // Take Length + 1 characters, drop trailing blanks, convert the case, cut to Length.
    std::string value(text.substr(0, std::size_t{desc.Length} + 1));
    while (!value.empty() && value.back() == ' ') value.pop_back();
    if (desc.CharCase == kCharCaseUpper || desc.CharCase == kCharCaseLower) {
        value = quorvane::nls::MapCase(value, rules.LanguageId, rules.SortId,
                                       desc.CharCase == kCharCaseUpper);
    }
    if (value.size() > desc.Length) value.resize(desc.Length);
    if (value.empty()) {
        PutNullField(record, desc);
        return;
    }
    StoreData(record, desc, value.data(), value.size());
}

void PutIntegerField(std::span<std::uint8_t> record, const TFieldDesc& desc, std::int64_t value) {
    CheckSlot(record.size(), desc);
    std::uint8_t buf[8] = {};
    switch (desc.FieldType) {
        case kFieldSmallInt: PutLE(buf, static_cast<std::int16_t>(value)); break;
        case kFieldWord: PutLE(buf, static_cast<std::uint16_t>(value)); break;
        case kFieldBoolean:
            PutBooleanField(record, desc, static_cast<std::uint16_t>(value != 0));
            return;
        case kFieldInteger:
        case kFieldDate:
        case kFieldTime: PutLE(buf, static_cast<std::int32_t>(value)); break;
        case kFieldLargeInt: PutLE(buf, value); break;
        case kFieldFloat:
        case kFieldTimeStamp: PutLE(buf, static_cast<double>(value)); break;
        default: RaiseEngineError(RERUZO_INVALIDFLDTYPE, {.field = desc.Name});
    }
    PutFieldData(record, desc, std::span<const std::uint8_t>(buf, desc.IsAutoInc() ? 4 : desc.DataSize));
}

void PutFloatField(std::span<std::uint8_t> record, const TFieldDesc& desc, double value) {
    if (desc.FieldType != kFieldFloat && desc.FieldType != kFieldTimeStamp) {
        PutIntegerField(record, desc, static_cast<std::int64_t>(value));
        return;
    }
    CheckSlot(record.size(), desc);
    StoreData(record, desc, &value, sizeof value);
}

void PutBooleanField(std::span<std::uint8_t> record, const TFieldDesc& desc, std::uint16_t value) {
    CheckSlot(record.size(), desc);
    const std::uint16_t stored = value >= 2 ? 1 : value;
    StoreData(record, desc, &stored, sizeof stored);
}

TBlobReference GetBlobReference(std::span<const std::uint8_t> record, const TFieldDesc& desc) {
    CheckSlot(record.size(), desc);
    if (FieldIsNull(record, desc)) return {};
    const std::uint8_t* p = record.data() + desc.Offset + 1;
    return {GetLE<std::int32_t>(p), GetLE<std::int32_t>(p + 4)};
}

void PutBlobReference(std::span<std::uint8_t> record, const TFieldDesc& desc,
                      std::int32_t firstBlock, std::int32_t stamp) {
    CheckSlot(record.size(), desc);
    std::uint8_t buf[8];
    PutLE(buf, firstBlock);
    PutLE(buf + 4, stamp);
    StoreData(record, desc, buf, sizeof buf);
    if (firstBlock == 0) record[desc.Offset] = 0;
}

void PutNullField(std::span<std::uint8_t> record, const TFieldDesc& desc) {
    CheckSlot(record.size(), desc);
    if (desc.IsAutoInc()) return;
    record[desc.Offset] = 0;
    std::memset(record.data() + desc.Offset + 1, 0, desc.DataSize);
}

// ---- Structure check ----------------------------------------------------------------

bool IsValidFieldName(std::string_view name) {
    if (name.empty() || name.size() > kMaxFieldNameLength) return false;
    const auto c = static_cast<unsigned char>(name[0]);
    const auto upper = static_cast<unsigned char>(std::toupper(c));
    return (upper >= 'A' && upper <= 'Z') || upper == '_' || (upper >= 0x81 && upper <= 0xFE);
}

namespace {

std::string NameKey(std::string_view name) {
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    return quorvane::nls::MapCase(name, 0, 0, true);
}

}  // namespace

void VerifyVersion(const TDataHeader& header, std::string_view directory, std::string_view table) {
    if (header.FormatVersion != kFormatVersion)
        RaiseEngineError(RERUZO_OLDVERSION,
                         {.database = std::string(directory), .table = std::string(table)});
}

void VerifyStructure(const TDataHeader& header, std::vector<TFieldDesc>& descs,
                     std::uint64_t fileSize, std::string_view directory, std::string_view table) {
    const TErrorContext ctx{.database = std::string(directory), .table = std::string(table)};
    auto corrupt = [&ctx]() { RaiseEngineError(RERUZO_HEADERCORRUPT, ctx); };

    VerifyVersion(header, directory, table);
    if (header.LanguageId != 0 &&
        !quorvane::nls::IsLocaleInstalled(header.LanguageId, header.SortId))
        RaiseEngineError(RERUZO_CANNOTLOADLDDRV, ctx);
    if (header.FieldCount == 0 || header.FieldCount > kMaxFieldCount ||
        descs.size() != header.FieldCount)
        corrupt();

    std::size_t offset = kRecordHeaderSize;
    std::set<std::string> names;
    std::set<std::uint16_t> numbers;
    for (std::size_t i = 0; i < descs.size(); ++i) {
        TFieldDesc& d = descs[i];
        DeriveDataSize(d);
        if (!IsValidFieldName(d.Name) || !names.insert(NameKey(d.Name)).second) corrupt();
        if (!numbers.insert(d.FieldNo).second) corrupt();
        if (d.FieldType == 0) corrupt();
        const bool sized = d.FieldType == kFieldString || d.FieldType == kFieldBytes ||
                           d.FieldType == kFieldVarBytes;
        if (sized ? d.Length > kMaxFieldLength : d.Length != 0) corrupt();
        if (!IsValidValueText(d.FieldType, d.DefaultValue) ||
            !IsValidValueText(d.FieldType, d.MinValue) ||
            !IsValidValueText(d.FieldType, d.MaxValue))
            corrupt();
        if (d.Scale != 0 && d.FieldType != kFieldBCD) corrupt();
        if (d.IsAutoInc()) {
            if (d.Offset != kAutoIncOffset) corrupt();
        } else {
            if (d.Offset != offset) corrupt();
            offset += d.DataSize + 1u;
        }
        if (d.FieldNo != i + 1) corrupt();
    }
    if (header.RecordSize != offset) corrupt();

    const std::uint64_t start = kHeaderSize + std::uint64_t{kFieldDescSize} * header.FieldCount;
    if (fileSize < start) corrupt();
    const std::uint64_t s = fileSize - start;
    if (s > 0 && s % header.RecordSize != 0) corrupt();
    const std::uint64_t slots = s / header.RecordSize;
    if (header.NextRecordNo < 1 || slots != static_cast<std::uint64_t>(header.NextRecordNo) - 1)
        corrupt();
    if (header.FirstFreeRecord < 0 || static_cast<std::uint64_t>(header.FirstFreeRecord) > slots)
        corrupt();
}

}  // namespace reruzo
