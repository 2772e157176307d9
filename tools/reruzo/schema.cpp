// Schema files and table descriptions of the engine tool (see schema.h).
#include "tools/reruzo/schema.h"

#include <array>
#include <limits>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_page.h"
#include "engine/storage/record_values.h"
#include "platform/nls.h"

namespace reruzo::cli {
namespace {

struct TNamedType {
    const char* name;
    TFieldType type;
};

constexpr std::array<TNamedType, 20> kTypes{{
    {"char", {kFieldString, kSubNone}},
    {"varbytes", {kFieldVarBytes, kSubNone}},
    {"bytes", {kFieldBytes, kSubNone}},
    {"date", {kFieldDate, kSubNone}},
    {"time", {kFieldTime, kSubNone}},
    {"timestamp", {kFieldTimeStamp, kSubNone}},
    {"boolean", {kFieldBoolean, kSubNone}},
    {"smallint", {kFieldSmallInt, kSubNone}},
    {"word", {kFieldWord, kSubNone}},
    {"integer", {kFieldInteger, kSubNone}},
    {"autoinc", {kFieldInteger, kSubAutoInc}},
    {"largeint", {kFieldLargeInt, kSubNone}},
    {"float", {kFieldFloat, kSubNone}},
    {"money", {kFieldFloat, kSubMoney}},
    {"bcd", {kFieldBCD, kSubNone}},
    {"memo", {kFieldBlob, kSubMemo}},
    {"blob", {kFieldBlob, kSubBinary}},
    {"fmtmemo", {kFieldBlob, kSubFormattedMemo}},
    {"graphic", {kFieldBlob, kSubGraphic}},
    {"typedbinary", {kFieldBlob, kSubTypedBinary}},
}};

constexpr std::array<const char*, 4> kCompressions{"none", "dupbyte", "trailbyte", "full"};
constexpr std::array<const char*, 3> kCharCases{"keep", "lower", "upper"};

[[noreturn]] void Fail(const TJsonValue& at, const std::string& what) {
    throw EJsonError(what, at.Line(), at.Column());
}

// The members of an object, each checked against the keys it may have.
const TJsonValue& Object(const TJsonValue& v, const std::string& what, std::initializer_list<std::string_view> keys) {
    if (!v.IsObject()) Fail(v, what + " must be an object, not " + TJsonValue::KindName(v.Kind()));
    for (const auto& [key, value] : v.Members()) {
        bool known = false;
        for (std::string_view k : keys) known = known || k == key;
        if (!known) Fail(value, what + " has an unknown key \"" + Excerpt(key) + "\"");
    }
    return v;
}

bool Flag(const TJsonValue& object, const char* key, const std::string& what) {
    const TJsonValue* v = object.Find(key);
    if (!v) return false;
    if (!v->IsBoolean()) Fail(*v, what + ": \"" + key + "\" must be true or false");
    return v->AsBoolean();
}

std::int64_t Integer(const TJsonValue& object, const char* key, const std::string& what, std::int64_t low,
                     std::int64_t high, std::int64_t absent) {
    const TJsonValue* v = object.Find(key);
    if (!v) return absent;
    const auto n = v->AsInteger();
    if (!n || *n < low || *n > high) {
        Fail(*v, what + ": \"" + key + "\" must be an integer from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return *n;
}

std::string Text(const TJsonValue& object, const char* key, const std::string& what, const TTextCodec& codec) {
    const TJsonValue* v = object.Find(key);
    if (!v) return {};
    if (!v->IsString()) Fail(*v, what + ": \"" + key + "\" must be a string");
    try {
        return codec.Encode(v->Text(), what + ": \"" + key + "\"");
    } catch (const EValueError& e) {
        Fail(*v, e.what());
    }
}

// A value text: a string, or a number or boolean taken as its text.
std::string ValueText(const TJsonValue& object, const char* key, const std::string& what, const TTextCodec& codec) {
    const TJsonValue* v = object.Find(key);
    if (!v) return {};
    if (v->IsNumber()) return v->Text();
    if (v->IsBoolean()) return v->AsBoolean() ? "TRUE" : "FALSE";
    return Text(object, key, what, codec);
}

std::uint8_t Named(const TJsonValue& object, const char* key, const std::string& what, const auto& names) {
    const TJsonValue* v = object.Find(key);
    if (!v) return 0;
    if (v->IsString()) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (v->Text() == names[i]) return static_cast<std::uint8_t>(i);
        }
    }
    std::string list;
    for (const char* n : names) list += (list.empty() ? "\"" : ", \"") + std::string(n) + "\"";
    Fail(*v, what + ": \"" + key + "\" must be one of " + list);
}

std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return s;
}

// An index name as the engine tells index names apart: without the blanks around it,
// in upper case.
std::string IndexNameKey(std::string_view name) {
    const auto first = name.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    name = name.substr(first, name.find_last_not_of(' ') - first + 1);
    return quorvane::nls::MapCase(name, 0, 0, true);
}

// The engine takes an index name that starts with a letter, "_" or a character beyond
// ASCII (the lead byte of a double-byte character).
bool IndexNameStartsWell(std::string_view name) {
    const std::string key = IndexNameKey(name);
    if (key.empty()) return false;
    const auto c = static_cast<unsigned char>(key[0]);
    return (c >= 'A' && c <= 'Z') || c == '_' || (c >= 0x81 && c <= 0xFE);
}

// A value text that stands for the present moment, which changes from call to call.
bool IsCurrentMoment(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    return first != std::string_view::npos && UpperAscii(std::string(text.substr(first, 8))) == "CURRENT_";
}

// True when the field's minimum lies above its maximum, so that it takes no value at
// all. The minimum is stored in a record of the field alone as a value would be, and
// put to the engine's own check: when even that fails the maximum, every value does.
bool MinimumAboveMaximum(const TFieldDesc& field, std::uint16_t languageId, std::uint16_t sortId) {
    // The engine checks no bounds of the auto-increment field.
    if (!field.HasSlot() || field.MinValue.empty() || field.MaxValue.empty() || IsCurrentMoment(field.MinValue) ||
        IsCurrentMoment(field.MaxValue)) {
        return false;
    }
    // Strings collate by the table's language; one this system lacks refuses the
    // table anyway, when it is created.
    if (languageId != 0 && !quorvane::nls::IsLocaleInstalled(languageId, sortId)) return false;
    std::vector<TFieldDesc> alone{field};
    alone[0].Required = 0;
    alone[0].FieldNo = 0;
    std::vector<std::uint8_t> record(LayoutRecord(alone), 0);
    // A text that does not convert is refused with the rest of the structure.
    const auto minimum = FieldValueFromText(alone[0], field.MinValue);
    if (!minimum || !FieldValueFromText(alone[0], field.MaxValue)) return false;
    const TStringRules rules{.LanguageId = languageId, .SortId = sortId};
    PutFieldData(record, alone[0], *minimum, rules);
    std::string failed;
    return CheckRecordValues(record, alone, rules, failed) == RERUZO_MAXVALERR;
}

TIndexDesc ParseIndex(const TJsonValue& v, const std::string& what, const std::vector<TFieldDesc>& fields,
                      const TTextCodec& codec, bool primary) {
    if (primary) {
        Object(v, what, {"fields", "descending", "nocase", "compression"});
    } else {
        Object(v, what, {"name", "fields", "unique", "descending", "nocase", "compression"});
    }
    TIndexDesc d;
    std::string named = what;
    if (!primary) {
        const TJsonValue* name = v.Find("name");
        if (!name || !name->IsString() || name->Text().find_first_not_of(' ') == std::string::npos) {
            Fail(name ? *name : v, what + " needs a \"name\"");
        }
        named = what + " (\"" + Excerpt(name->Text()) + "\")";
        d.Name = Text(v, "name", named, codec);
        if (!IndexNameStartsWell(d.Name)) Fail(*name, named + ": an index name starts with a letter or \"_\"");
        // The index file keeps that many bytes of a name and would cut the rest off.
        if (d.Name.size() > kIndexNameLength) {
            Fail(*name, named + ": an index name takes at most " + std::to_string(kIndexNameLength) + " bytes, this one " +
                            std::to_string(d.Name.size()));
        }
        d.Unique = Flag(v, "unique", what) ? 1 : 0;
    }
    d.Descending = Flag(v, "descending", what) ? 1 : 0;
    d.CaseInsensitive = Flag(v, "nocase", what) ? 1 : 0;
    d.Compression = Named(v, "compression", what, kCompressions);
    const TJsonValue* list = v.Find("fields");
    if (!list || !list->IsArray() || list->Items().empty()) {
        Fail(list ? *list : v, what + " needs \"fields\": an array of field names");
    }
    if (list->Items().size() > kMaxKeyFields) {
        Fail(*list, what + " has more than " + std::to_string(kMaxKeyFields) + " fields");
    }
    for (const TJsonValue& item : list->Items()) {
        if (!item.IsString()) Fail(item, what + ": field names must be strings");
        const auto encoded = codec.FromUtf8(item.Text());
        const TFieldDesc* found = nullptr;
        for (const TFieldDesc& f : fields) {
            if (encoded && UpperAscii(f.Name) == UpperAscii(*encoded)) found = &f;
        }
        if (!found) Fail(item, named + ": there is no field \"" + Excerpt(item.Text()) + "\"");
        if (IsBlobField(*found)) {
            Fail(item, named + ": field \"" + item.Text() + "\" is a " + FieldTypeName(found->FieldType, found->SubType) +
                           " field, and BLOB fields cannot be index keys");
        }
        d.FieldNumbers[d.FieldCount++] = found->FieldNo;
    }
    return d;
}

}  // namespace

std::optional<TFieldType> FieldTypeByName(std::string_view name) {
    for (const TNamedType& t : kTypes) {
        if (name == t.name) return t.type;
    }
    return std::nullopt;
}

std::string FieldTypeName(std::uint8_t type, std::uint8_t subType) {
    // Subtypes matter for auto-increment, money and the BLOB kinds only.
    const TNamedType* plain = nullptr;
    for (const TNamedType& t : kTypes) {
        if (t.type.type != type) continue;
        if (t.type.subType == subType) return t.name;
        if (t.type.subType == kSubNone) plain = &t;
    }
    if (plain) return plain->name;
    if (type == kFieldBlob) return "blob";
    return "type " + std::to_string(type);
}

std::string CompressionName(std::uint8_t mode) {
    return mode < kCompressions.size() ? kCompressions[mode] : "mode " + std::to_string(mode);
}

TTableStructure ParseSchema(const TJsonValue& schema, const TTextCodec& codec) {
    Object(schema, "the schema", {"fields", "primary", "indexes", "language", "sort", "description", "blobBlockSize",
                                  "password", "userMajor", "userMinor"});
    TTableStructure s;
    const TJsonValue* fields = schema.Find("fields");
    if (!fields || !fields->IsArray() || fields->Items().empty()) {
        Fail(fields ? *fields : schema, "the schema needs \"fields\": an array of field objects");
    }
    for (const TJsonValue& item : fields->Items()) {
        const std::string what = "field " + std::to_string(s.Fields.size() + 1);
        Object(item, what, {"name", "type", "length", "scale", "required", "charcase", "min", "max", "default",
                            "description"});
        const TJsonValue* name = item.Find("name");
        if (!name || !name->IsString()) Fail(name ? *name : item, what + " needs a \"name\" string");
        const TJsonValue* type = item.Find("type");
        if (!type || !type->IsString()) Fail(type ? *type : item, what + " needs a \"type\" string");
        const auto t = FieldTypeByName(type->Text());
        if (!t) Fail(*type, what + ": unknown type \"" + Excerpt(type->Text()) + "\"");
        const bool sized = t->type == kFieldString || t->type == kFieldBytes || t->type == kFieldVarBytes;
        const auto length = Integer(item, "length", what, sized ? 1 : 0, sized ? kMaxFieldLength : 0, 0);
        if (sized && !item.Find("length")) Fail(item, what + ": a " + type->Text() + " field needs a \"length\"");
        const auto scale = Integer(item, "scale", what, 0, t->type == kFieldBCD ? 4 : 0, 0);
        TFieldDesc f = MakeFieldDesc(Text(item, "name", what, codec), t->type, static_cast<std::uint8_t>(length),
                                     t->subType);
        f.Scale = static_cast<std::uint8_t>(scale);
        f.Required = Flag(item, "required", what) ? 1 : 0;
        f.CharCase = Named(item, "charcase", what, kCharCases);
        f.MinValue = ValueText(item, "min", what, codec);
        f.MaxValue = ValueText(item, "max", what, codec);
        f.DefaultValue = ValueText(item, "default", what, codec);
        f.Description = Text(item, "description", what, codec);
        f.FieldNo = static_cast<std::uint16_t>(s.Fields.size() + 1);
        s.Fields.push_back(std::move(f));
    }
    if (const TJsonValue* primary = schema.Find("primary")) {
        s.Primary = ParseIndex(*primary, "the primary index", s.Fields, codec, true);
        s.Primary.Unique = 1;
    }
    if (const TJsonValue* indexes = schema.Find("indexes")) {
        if (!indexes->IsArray()) Fail(*indexes, "\"indexes\" must be an array of index objects");
        // The engine finds the faults of an index (as of a BLOB key field above) only
        // while it writes the new table's files, and without naming the index: they
        // are looked for here first.
        for (const TJsonValue& item : indexes->Items()) {
            const std::string what = "index " + std::to_string(s.Secondaries.size() + 1);
            TIndexDesc d = ParseIndex(item, what, s.Fields, codec, false);
            const TJsonValue& name = *item.Find("name");
            const std::string named = what + " (\"" + Excerpt(name.Text()) + "\")";
            if (s.Secondaries.size() == static_cast<std::size_t>(kMaxSecondaryIndexes)) {
                Fail(item, named + ": a table has at most " + std::to_string(kMaxSecondaryIndexes) + " secondary indexes");
            }
            for (std::size_t i = 0; i < s.Secondaries.size(); ++i) {
                if (IndexNameKey(s.Secondaries[i].Name) == IndexNameKey(d.Name)) {
                    Fail(name, named + ": index " + std::to_string(i + 1) +
                                   " has that name already (letter case does not tell index names apart)");
                }
            }
            s.Secondaries.push_back(std::move(d));
        }
    }
    constexpr std::int64_t kMax16 = std::numeric_limits<std::uint16_t>::max();
    s.LanguageId = static_cast<std::uint16_t>(Integer(schema, "language", "the schema", 0, kMax16, 0));
    s.SortId = static_cast<std::uint16_t>(Integer(schema, "sort", "the schema", 0, kMax16, 0));
    s.UserMajorVersion = static_cast<std::uint16_t>(Integer(schema, "userMajor", "the schema", 0, kMax16, 0));
    s.UserMinorVersion = static_cast<std::uint16_t>(Integer(schema, "userMinor", "the schema", 0, kMax16, 0));
    s.BlobBlockSize = static_cast<std::uint16_t>(Integer(schema, "blobBlockSize", "the schema", 0, kMax16, 0));
    s.Description = Text(schema, "description", "the schema", codec);
    if (schema.Find("password")) {
        s.Password = Text(schema, "password", "the schema", codec);
        s.Encrypted = true;
    }
    // A field whose minimum lies above its maximum would make a table that refuses
    // every record.
    for (std::size_t i = 0; i < s.Fields.size(); ++i) {
        const TFieldDesc& f = s.Fields[i];
        if (!MinimumAboveMaximum(f, s.LanguageId, s.SortId)) continue;
        const TJsonValue& item = fields->Items()[i];
        Fail(*item.Find("min"), "field " + std::to_string(i + 1) + " (\"" + Excerpt(item.Find("name")->Text()) +
                                    "\"): \"min\" (" + Excerpt(codec.ToUtf8(f.MinValue)) + ") is above \"max\" (" +
                                    Excerpt(codec.ToUtf8(f.MaxValue)) + "), so the field would take no value");
    }
    return s;
}

TJsonValue DescribeTable(TDataFile& data, TIndexFile* index, TBlobFile* blob, const TTextCodec& codec) {
    const TDataHeader& h = data.Header();
    auto text = [&](const std::string& s) { return TJsonValue::String(codec.ToUtf8(s)); };
    TJsonValue out = TJsonValue::Object();
    out.Add("table", text(data.TableName()));
    TJsonValue fields = TJsonValue::Array();
    for (const TFieldDesc& f : data.Fields()) {
        TJsonValue o = TJsonValue::Object();
        o.Add("number", TJsonValue::Number(f.FieldNo));
        o.Add("name", text(f.Name));
        o.Add("type", TJsonValue::String(FieldTypeName(f.FieldType, f.SubType)));
        o.Add("subtype", TJsonValue::Number(f.SubType));
        o.Add("length", TJsonValue::Number(f.Length));
        o.Add("scale", TJsonValue::Number(f.Scale));
        o.Add("required", TJsonValue::Boolean(f.Required != 0));
        o.Add("charcase", TJsonValue::String(f.CharCase < kCharCases.size() ? kCharCases[f.CharCase]
                                                                             : std::to_string(f.CharCase)));
        o.Add("min", text(f.MinValue));
        o.Add("max", text(f.MaxValue));
        o.Add("default", text(f.DefaultValue));
        o.Add("description", text(f.Description));
        fields.Push(std::move(o));
    }
    out.Add("fields", std::move(fields));
    TJsonValue indexes = TJsonValue::Array();
    std::int64_t recordCount = 0;
    if (index) {
        const TIndexHeader& ih = index->Header();
        for (int slot = 0; slot < kDescriptorSlots; ++slot) {
            const TIndexDesc& d = ih.Slots[static_cast<std::size_t>(slot)];
            if (!d.Defined() || (slot > ih.SecondaryCount && slot != kSysDeletedSlot)) continue;
            TJsonValue o = TJsonValue::Object();
            o.Add("slot", TJsonValue::Number(slot));
            o.Add("name", text(d.Name));
            TJsonValue names = TJsonValue::Array();
            for (std::size_t i = 0; i < d.FieldCount && i < kMaxKeyFields; ++i) {
                const std::uint16_t no = d.FieldNumbers[i];
                names.Push(no >= 1 && no <= data.FieldCount() ? text(data.FieldDesc(no).Name)
                                                               : TJsonValue::String("#" + std::to_string(no)));
            }
            o.Add("fields", std::move(names));
            o.Add("unique", TJsonValue::Boolean(d.Unique != 0));
            o.Add("descending", TJsonValue::Boolean(d.Descending != 0));
            o.Add("nocase", TJsonValue::Boolean(d.CaseInsensitive != 0));
            o.Add("compression", TJsonValue::String(CompressionName(d.Compression)));
            o.Add("keyLength", TJsonValue::Number(d.KeyLength));
            indexes.Push(std::move(o));
        }
        recordCount = index->RecordCount();
    } else {
        for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
            TPinnedRecord r(data.GetRecord(nullptr, n, {.readAhead = true}));
            recordCount += r->State() == 0 ? 1 : 0;
        }
    }
    out.Add("indexes", std::move(indexes));
    out.Add("recordCount", TJsonValue::Number(recordCount));
    out.Add("slotCount", TJsonValue::Number(data.SlotCount()));
    out.Add("firstFreeRecord", TJsonValue::Number(h.FirstFreeRecord));
    out.Add("lastAutoInc", TJsonValue::Number(h.LastAutoIncValue));
    out.Add("recordSize", TJsonValue::Number(h.RecordSize));
    out.Add("language", TJsonValue::Number(h.LanguageId));
    out.Add("sort", TJsonValue::Number(h.SortId));
    out.Add("encrypted", TJsonValue::Boolean(data.Encrypted()));
    out.Add("description", text(data.Description()));
    out.Add("userMajor", TJsonValue::Number(h.UserMajorVersion));
    out.Add("userMinor", TJsonValue::Number(h.UserMinorVersion));
    out.Add("blobBlockSize", TJsonValue::Number(static_cast<std::int64_t>(data.BlobBlockSize())));
    if (data.BlobFieldCount() != 0) {
        if (blob) {
            const TBlobHeader& bh = blob->Header();
            TJsonValue o = TJsonValue::Object();
            o.Add("formatVersion", TJsonValue::Number(bh.FormatVersion));
            o.Add("blockSize", TJsonValue::Number(static_cast<std::int64_t>(blob->BlockSize())));
            o.Add("blockCount", TJsonValue::Number(blob->BlockCount()));
            o.Add("firstFreeBlock", TJsonValue::Number(bh.FirstFreeBlock));
            o.Add("changeCount", TJsonValue::Number(static_cast<std::int64_t>(bh.ChangeCount)));
            out.Add("blobFile", std::move(o));
        } else {
            out.Add("blobFile", TJsonValue());
        }
    }
    return out;
}

}  // namespace reruzo::cli
