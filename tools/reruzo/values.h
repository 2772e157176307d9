// Field values of the engine tool in JSON form, both ways:
//   NULL                  null
//   SmallInt, Word, Integer, AutoInc, LargeInt
//                         integers
//   Float, Money          numbers; "NaN", "Infinity" and "-Infinity" as strings
//   BCD                   a decimal string ("-12.5"); a number is accepted on input
//   Boolean               true / false
//   Date                  "YYYY-MM-DD"
//   Time                  "HH:MM:SS.mmm" (".mmm" may be left out on input)
//   TimeStamp             "YYYY-MM-DD HH:MM:SS.mmm" (likewise)
//   String                a string, converted between UTF-8 and the table's code page
//   Bytes, VarBytes       lower-case hexadecimal of all the field's bytes; shorter
//                         input is filled up with zero bytes
//   Memo, formatted memo  a string, converted like String fields, of any length
//   Other BLOBs           lower-case hexadecimal of the BLOB's bytes (binary,
//                         graphic, typed binary and the kinds never created)
// An empty BLOB is NULL: the engine stores none, so "" reads back as null.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/data_format.h"
#include "engine/table/data_cursor.h"
#include "tools/reruzo/json.h"

namespace reruzo::cli {

// A value that does not suit its field; the message names neither field nor line
// (the caller adds them).
class EValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Strings between UTF-8 and a code page; 65001 keeps UTF-8 as it is.
class TTextCodec {
public:
    explicit TTextCodec(int codePage) : codePage_(codePage) {}
    int CodePage() const { return codePage_; }
    // True when the code page can be converted to and from.
    static bool Supported(int codePage);
    std::string ToUtf8(std::string_view text) const;
    // nullopt when a character has no form in the code page.
    std::optional<std::string> FromUtf8(std::string_view utf8) const;
    // The same, raising EValueError naming `what`.
    std::string Encode(std::string_view utf8, const std::string& what) const;

private:
    int codePage_;
};

// True for the field types whose contents live in the BLOB file.
inline bool IsBlobField(const TFieldDesc& f) { return f.FieldType == kFieldBlob; }
// True for the BLOB kinds that hold text in the table's code page.
inline bool IsTextBlob(const TFieldDesc& f) {
    return IsBlobField(f) && (f.SubType == kSubMemo || f.SubType == kSubFormattedMemo);
}

// Appends the JSON form of one field of a record. A BLOB field's contents are not
// in the record: they come as null here (AppendBlobJson writes them).
void AppendFieldJson(std::string& out, std::span<const std::uint8_t> record, const TFieldDesc& field,
                     const TTextCodec& codec);

// The contents of a BLOB field of a fetched record (empty when NULL). The BLOB is let
// go again at once: a cursor holds only so many open BLOBs.
std::vector<std::uint8_t> ReadBlobContents(TDataCursor& cursor, std::span<const std::uint8_t> record,
                                           const TFieldDesc& field);

// The JSON form of one field of a fetched record, BLOB contents included.
void AppendColumnJson(std::string& out, TDataCursor& cursor, std::span<const std::uint8_t> record,
                      const TFieldDesc& field, const TTextCodec& codec);

// Appends the JSON form of the contents of a BLOB field: text for memos, hexadecimal
// for the other kinds, null when empty.
void AppendBlobJson(std::string& out, std::span<const std::uint8_t> contents, const TFieldDesc& field,
                    const TTextCodec& codec);

// The data bytes a field stores for a JSON value (DataSize bytes; 4 for the
// auto-increment field), nullopt for null. Raises EValueError for a value of the
// wrong kind, out of range, or too long, and for a BLOB field (BlobDataFromJson).
std::optional<std::vector<std::uint8_t>> FieldDataFromJson(const TJsonValue& value, const TFieldDesc& field,
                                                           const TTextCodec& codec);

// The contents of a BLOB field for a JSON value; empty for null and for "" (an empty
// BLOB is NULL). Raises EValueError for a value of the wrong kind, text with a
// character the code page lacks, or text that is no hexadecimal.
std::vector<std::uint8_t> BlobDataFromJson(const TJsonValue& value, const TFieldDesc& field, const TTextCodec& codec);

// Packed decimal data (precision 32, the field's scale) of a decimal text;
// EValueError when the text is no decimal number or does not fit.
std::vector<std::uint8_t> EncodeBcd(std::string_view text, std::uint8_t scale);

}  // namespace reruzo::cli
