// Index keys: fixed-length byte strings built from the key fields of a record, and
// their comparison in a table's collation.
//
// Key layout (K bytes in all)
//   per key field: one indicator byte (1 = value, 0 = null), then `width` data bytes,
//                  width = the field's DataSize (8 for BCD fields);
//   non-unique indexes only: the record identifier (bytes 5..8 of the record) as a
//                  4-byte integer form, so equal keys come out in identifier order.
// The "Sys Deleted" index's key is 5 bytes: the slot state, then the identifier.
//
// Encodings make unsigned byte order equal value order: integers big-endian with the
// sign bit flipped; floats big-endian with the top bit set when >= 0 and all bits
// complemented when < 0; BCD as the 64-bit currency value (x 10000); Boolean and Word
// big-endian as they are; strings as stored (upper-cased in case-insensitive
// indexes), zero-filled. In a table without a language a descending field is
// complemented (for a string field: the indicator and all but the last data byte).
// Tables with a language compare string fields with the locale instead of bytewise.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "engine/storage/data_format.h"

namespace reruzo {

inline constexpr std::size_t kMaxKeyFields = 16;
inline constexpr std::size_t kMaxKeyFieldBytes = 522;
inline constexpr std::size_t kSysDeletedKeyLength = 5;
inline constexpr std::size_t kKeySuffixLength = 4;

// Order of the 256 single-byte characters in a locale: entry k is the character of
// rank k; `rank` is the inverse.
struct TCharMap {
    std::array<std::uint8_t, 256> map;
    std::array<std::uint8_t, 256> rank;
};

// The engine-wide cache of character maps, one per (language, sort), built on first
// use under the list's lock and never changed afterwards.
class TLanguageCharMapsList {
public:
    static TLanguageCharMapsList& Instance();
    const TCharMap& Get(std::uint16_t languageId, std::uint16_t sortId);

private:
    struct TEntry {
        std::uint16_t languageId;
        std::uint16_t sortId;
        TCharMap map;
    };
    TLanguageCharMapsList() { entries_.reserve(256); }
    std::mutex lock_;
    std::vector<std::unique_ptr<TEntry>> entries_;
};

struct TKeyField {
    TFieldDesc desc;          // the record field (type, DataSize, Offset)
    bool descending = false;  // the field's own descending flag
    std::size_t Width() const { return desc.FieldType == kFieldBCD ? 8 : desc.DataSize; }
};

// Everything needed to build and compare the keys of one index.
struct TKeyLayout {
    std::vector<TKeyField> fields;
    bool unique = true;
    bool descending = false;       // the whole key sorts descending
    bool caseInsensitive = false;  // string key fields are stored upper-cased
    bool sysDeleted = false;
    std::uint16_t languageId = 0;
    std::uint16_t sortId = 0;
    const TCharMap* charMap = nullptr;  // set by Prepare(); identity for language 0

    // Sum of (width + 1) over the key fields.
    std::size_t FieldBytes() const;
    // FieldBytes, plus 4 for a non-unique index; 5 for "Sys Deleted".
    std::size_t KeyLength() const;
    // Fetches the character map of the language.
    void Prepare();
    static TKeyLayout SysDeleted();
};

// The layout of "Sys Deleted", made once (trees keep a reference to their layout).
const TKeyLayout& SysDeletedLayout();

// Builds the key of a record (KeyLength bytes).
void BuildKey(const TKeyLayout& layout, std::span<const std::uint8_t> record, std::span<std::uint8_t> key);
// The 5-byte "Sys Deleted" key of a record: slot state, identifier.
void BuildSysDeletedKey(std::span<const std::uint8_t> record, std::span<std::uint8_t> key);
// The same as new key buffers.
std::vector<std::uint8_t> KeyOf(const TKeyLayout& layout, std::span<const std::uint8_t> record);
std::vector<std::uint8_t> SysDeletedKeyOf(std::span<const std::uint8_t> record);
// Writes one key field: the indicator byte (1, or 0 when `isNull`) and the encoded
// value after it, complemented for a descending field of a table without language.
// `data` holds the value as stored in a record (DataSize bytes); it is ignored for NULL.
void EncodeKeyField(const TKeyLayout& layout, const TKeyField& field, bool isNull,
                    std::span<const std::uint8_t> data, std::span<std::uint8_t> out);

// Integer and float forms, big-endian and order-preserving.
void EncodeInt16(std::int16_t v, std::uint8_t* out);
void EncodeInt32(std::int32_t v, std::uint8_t* out);
void EncodeInt64(std::int64_t v, std::uint8_t* out);
void EncodeFloat(double v, std::uint8_t* out);
std::int32_t DecodeInt32(const std::uint8_t* in);

// Compares the first `length` bytes of two keys in index order: -1, 0 or 1.
int CompareKeys(const TKeyLayout& layout, const std::uint8_t* a, const std::uint8_t* b, std::size_t length);

// Fill the key from byte `from` to its end with the lowest (highest) values.
void PadLow(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t from);
void PadHigh(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t from);
// Smallest key greater than every key that starts with the first `length` bytes
// (bytes after `length` are padded low); Predecessor is the mirror.
void Successor(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t length);
void Predecessor(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t length);

}  // namespace reruzo
