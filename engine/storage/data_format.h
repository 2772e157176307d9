// The data file of a table (NAME.DAT): its header, its field descriptors, the record
// layout and the encoding of field values inside a record image.
//
// File layout
//   offset 0                     header, 127 bytes
//   offset 127                   FieldCount field descriptors of 768 bytes each
//   offset 127 + 768*FieldCount  record slots of RecordSize bytes; slot n (n >= 1)
//                                starts (n - 1) * RecordSize bytes further on
//
// Header (all integers little-endian)
//   0   u32  ChangeCount        +1 on every header write; other processes watch it
//   4   u32  BlobBlockSize      BLOB file block size, 0 = 512 (low 16 bits used)
//   8   u8   FormatVersion      always 5
//   9   i32  FirstFreeRecord    first slot of the chain of deleted slots, 0 = none
//   13  i32  NextRecordNo       number of the next appended slot (= slot count + 1)
//   17  i32  LastAutoIncValue   last record identifier handed out
//   21  u16  RecordSize         bytes per record slot
//   23  u16  FieldCount         1..1024
//   25  u16  BlobFieldCount     0..64
//   27  f64  LastUpdated        local time of the last header write (day count since
//                               1899-12-30 minus 693594); informational
//   35  str50 Description       enciphered with the header key when Encrypted
//   86  u8   Encrypted
//   87  str15 Password          enciphered with the header key; empty when plain
//   103 u16  LanguageId         collation language, 0 = binary order
//   105 u16  SortId
//   107 u16  UserMajorVersion
//   109 u16  UserMinorVersion
//   111 u8   HeaderModified     writer's flag; ignored and cleared on reading
//   112 i32  LastBlobStamp
//   116 u32  EngineVersion      written as 30100
//   120 u32  Reserved           0
//   124 3 bytes                 0
//
// Field descriptor (768 bytes)
//   0   u16  FieldNo            1-based position
//   2   str30 Name
//   33  str50 Description
//   84  u8   FieldType          engine type code, never 0
//   85  u8   SubType
//   86  u8   Length             String, Bytes, VarBytes: 1..250; else 0
//   87  u8   Scale              BCD: 0..4; else 0
//   88  u8   DataSize           data bytes in a record, derived from type and length
//   89  u8   DataScale          copy of Scale
//   90  u16  Offset             slot offset in the record (its null-indicator byte)
//   92  u8   Required
//   93  u8   CharCase           0 keep, 1 lower, 2 upper
//   94  str50 MinValue
//   145 str50 MaxValue
//   196 str50 DefaultValue
//   247 u8   Computed           query-result columns only; 0 in table files
//   248 u32  ComputedRef
//   252 516 bytes reserved, zero
//
// Record slot
//   0   u8   state              0 in use, 1 deleted
//   1   i32  next free slot (deleted) / own slot number (in use)
//   5   i32  record identifier; the auto-increment field's value
//   9   field slots in field order: one null-indicator byte (1 = has a value) and
//       DataSize data bytes each. The auto-increment field has no slot: it is the
//       identifier at offset 5.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/field_types.h"

namespace reruzo {

inline constexpr std::size_t kHeaderSize = 127;
inline constexpr std::size_t kFieldDescSize = 768;
inline constexpr std::size_t kRecordHeaderSize = 9;
inline constexpr std::uint8_t kFormatVersion = 5;
inline constexpr std::uint32_t kEngineVersionStamp = 30100;
inline constexpr std::uint16_t kMaxFieldCount = 1024;
inline constexpr std::uint16_t kMaxBlobFields = 64;
inline constexpr std::uint8_t kMaxFieldLength = 250;
inline constexpr std::size_t kMaxFieldNameLength = 30;
inline constexpr std::size_t kMaxDescriptionLength = 50;
inline constexpr std::size_t kMaxPasswordLength = 15;
inline constexpr std::size_t kMaxValueTextLength = 50;
inline constexpr std::uint32_t kDefaultBlobBlockSize = 512;
inline constexpr std::uint16_t kAutoIncOffset = 5;

inline constexpr std::uint8_t kCharCaseKeep = 0;
inline constexpr std::uint8_t kCharCaseLower = 1;
inline constexpr std::uint8_t kCharCaseUpper = 2;

struct TDataHeader {
    std::uint32_t ChangeCount = 0;
    std::uint32_t BlobBlockSize = 0;
    std::uint8_t FormatVersion = kFormatVersion;
    std::int32_t FirstFreeRecord = 0;
    std::int32_t NextRecordNo = 1;
    std::int32_t LastAutoIncValue = 0;
    std::uint16_t RecordSize = 0;
    std::uint16_t FieldCount = 0;
    std::uint16_t BlobFieldCount = 0;
    double LastUpdated = 0;
    std::string Description;  // as stored (enciphered when Encrypted)
    std::uint8_t Encrypted = 0;
    std::string Password;  // as stored (enciphered when Encrypted)
    std::uint16_t LanguageId = 0;
    std::uint16_t SortId = 0;
    std::uint16_t UserMajorVersion = 0;
    std::uint16_t UserMinorVersion = 0;
    std::uint8_t HeaderModified = 0;
    std::int32_t LastBlobStamp = 0;
    std::uint32_t EngineVersion = kEngineVersionStamp;
    std::uint32_t Reserved = 0;

    // Reads the 127 header bytes; HeaderModified is cleared as a reader does.
    static TDataHeader Decode(std::span<const std::uint8_t, kHeaderSize> bytes);
    void Encode(std::span<std::uint8_t, kHeaderSize> bytes) const;
};

struct TFieldDesc {
    std::uint16_t FieldNo = 0;
    std::string Name;
    std::string Description;
    std::uint8_t FieldType = 0;
    std::uint8_t SubType = 0;
    std::uint8_t Length = 0;
    std::uint8_t Scale = 0;
    std::uint8_t DataSize = 0;
    std::uint8_t DataScale = 0;
    std::uint16_t Offset = 0;
    std::uint8_t Required = 0;
    std::uint8_t CharCase = kCharCaseKeep;
    std::string MinValue;
    std::string MaxValue;
    std::string DefaultValue;
    std::uint8_t Computed = 0;
    std::uint32_t ComputedRef = 0;

    static TFieldDesc Decode(std::span<const std::uint8_t, kFieldDescSize> bytes);
    void Encode(std::span<std::uint8_t, kFieldDescSize> bytes) const;

    bool IsAutoInc() const { return FieldType == kFieldInteger && SubType == kSubAutoInc; }
    // True when the field has a slot (indicator + data) among the record's field slots.
    bool HasSlot() const { return !IsAutoInc() && Computed == 0; }
};

// A descriptor with a name, a type, a length (String, Bytes, VarBytes) and a subtype;
// the rest is derived when the record is laid out.
TFieldDesc MakeFieldDesc(std::string name, std::uint8_t fieldType, std::uint8_t length = 0,
                         std::uint8_t subType = kSubNone);

// Data bytes a field of this type and length occupies; `current` for unknown codes.
std::uint8_t DataSizeFor(std::uint8_t fieldType, std::uint8_t length, std::uint8_t current);
// Recomputes DataSize and DataScale from type, length and scale.
void DeriveDataSize(TFieldDesc& desc);
// Assigns FieldNo, DataSize and Offset to every descriptor and returns the record
// size (9 + the slots of all stored fields). May exceed 65535; the caller checks.
std::size_t LayoutRecord(std::vector<TFieldDesc>& descs);

// File names of a table: the extension replaces any extension the table name has.
std::string TableFileName(std::string_view directory, std::string_view table,
                          std::string_view extension);

// ---- Cipher ---------------------------------------------------------------------
// Enciphering and deciphering are one operation: each byte is XORed with k1 and k2,
// then k1 counts up and k2 down (mod 256). The two key pairs are engine constants:
// every file ever written with them must stay readable, so they never change.
struct TCipherKey {
    std::uint8_t k1;
    std::uint8_t k2;
};
inline constexpr TCipherKey kRecordKey{0x6B, 0xD2};  // records, descriptors, index, BLOBs
inline constexpr TCipherKey kHeaderKey{0x3C, 0x91};  // header Password and Description
void ApplyCipher(std::span<std::uint8_t> run, TCipherKey key);

// ---- Field access on a record image ----------------------------------------------
// All accessors check that the field lies inside the record; a descriptor that points
// outside (a damaged file) raises RERUZO_FILECORRUPT instead of reading past it.

// Options for storing strings: the table's language decides case conversion.
struct TStringRules {
    std::uint16_t LanguageId = 0;
    std::uint16_t SortId = 0;
};

bool FieldIsNull(std::span<const std::uint8_t> record, const TFieldDesc& desc);
// The stored data bytes: DataSize bytes, or the 4 identifier bytes of an
// auto-increment field, or the 4-byte first-block number of a BLOB field.
std::span<const std::uint8_t> FieldData(std::span<const std::uint8_t> record,
                                        const TFieldDesc& desc);

std::string GetStringField(std::span<const std::uint8_t> record, const TFieldDesc& desc);
std::int64_t GetIntegerField(std::span<const std::uint8_t> record, const TFieldDesc& desc);
double GetFloatField(std::span<const std::uint8_t> record, const TFieldDesc& desc);
bool GetBooleanField(std::span<const std::uint8_t> record, const TFieldDesc& desc);

// Stores raw data bytes (DataSize of them) with the value rules of the field's type.
void PutFieldData(std::span<std::uint8_t> record, const TFieldDesc& desc,
                  std::span<const std::uint8_t> data, const TStringRules& rules = {});
void PutStringField(std::span<std::uint8_t> record, const TFieldDesc& desc, std::string_view text,
                    const TStringRules& rules = {});
void PutIntegerField(std::span<std::uint8_t> record, const TFieldDesc& desc, std::int64_t value);
void PutFloatField(std::span<std::uint8_t> record, const TFieldDesc& desc, double value);
void PutBooleanField(std::span<std::uint8_t> record, const TFieldDesc& desc, std::uint16_t value);
// A BLOB field's 8 bytes: the BLOB's first block (0: none) and its stamp. FieldData
// gives the first block only.
struct TBlobReference {
    std::int32_t firstBlock = 0;
    std::int32_t stamp = 0;
};
TBlobReference GetBlobReference(std::span<const std::uint8_t> record, const TFieldDesc& desc);
// A BLOB reference: the indicator is 1 for a positive first block and 0 for block 0.
void PutBlobReference(std::span<std::uint8_t> record, const TFieldDesc& desc,
                      std::int32_t firstBlock, std::int32_t stamp);
// Stores NULL: indicator 0 and zero data bytes. The auto-increment field cannot be NULL
// and is left unchanged.
void PutNullField(std::span<std::uint8_t> record, const TFieldDesc& desc);

// ---- Structure check --------------------------------------------------------------
// Checks a loaded header and its descriptors against each other and against the file
// size; raises RERUZO_OLDVERSION, RERUZO_CANNOTLOADLDDRV or RERUZO_HEADERCORRUPT
// with the table name and directory as context. DataSize and DataScale of every
// descriptor are recomputed on the way.
void VerifyStructure(const TDataHeader& header, std::vector<TFieldDesc>& descs,
                     std::uint64_t fileSize, std::string_view directory, std::string_view table);
// Only the format version check.
void VerifyVersion(const TDataHeader& header, std::string_view directory, std::string_view table);

// True when a field name follows the naming rules (1..30 characters; after
// conversion to upper case it starts with a letter, an underscore or a lead byte
// 0x81..0xFE).
bool IsValidFieldName(std::string_view name);

}  // namespace reruzo
