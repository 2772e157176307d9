// The engine's field type and subtype codes: the one vocabulary of value types that
// the data file, keys, expressions, the components and the tools share.
#pragma once

#include <cstdint>

namespace reruzo {

// Field type codes, as a field descriptor stores them.
inline constexpr std::uint8_t kFieldString = 1;      // characters and a zero byte
inline constexpr std::uint8_t kFieldDate = 2;        // int32 day number, 0001-01-01 is day 1
inline constexpr std::uint8_t kFieldBlob = 3;        // reference into the BLOB file
inline constexpr std::uint8_t kFieldBoolean = 4;     // uint16 0 or 1
inline constexpr std::uint8_t kFieldSmallInt = 5;    // int16
inline constexpr std::uint8_t kFieldInteger = 6;     // int32
inline constexpr std::uint8_t kFieldFloat = 7;       // float64
inline constexpr std::uint8_t kFieldBCD = 8;         // packed decimal (bcd.h)
inline constexpr std::uint8_t kFieldBytes = 9;       // raw bytes
inline constexpr std::uint8_t kFieldTime = 10;       // int32 milliseconds since midnight
inline constexpr std::uint8_t kFieldTimeStamp = 11;  // float64 milliseconds since day 0
inline constexpr std::uint8_t kFieldWord = 12;       // uint16
inline constexpr std::uint8_t kFieldVarBytes = 15;   // raw bytes
inline constexpr std::uint8_t kFieldLargeInt = 18;   // int64

// Codes that tables from elsewhere may carry and this engine never writes; the
// dataset components still give them a field type.
inline constexpr std::uint8_t kFieldForeignInteger = 13;
inline constexpr std::uint8_t kFieldForeign14 = 14;
inline constexpr std::uint8_t kFieldForeignLargeInt = 19;
inline constexpr std::uint8_t kFieldADT = 20;
inline constexpr std::uint8_t kFieldArray = 21;
inline constexpr std::uint8_t kFieldReference = 22;
inline constexpr std::uint8_t kFieldDataSet = 23;

// Subtype codes. BLOB subtypes are 21 plus the BLOB kind (1 memo, 2 binary, 3
// formatted memo, 5 graphic, 7 typed binary; kinds 4 and 6 are never created and
// read as plain BLOBs).
inline constexpr std::uint8_t kSubNone = 0;
inline constexpr std::uint8_t kSubMoney = 21;          // Float
inline constexpr std::uint8_t kSubMemo = 22;           // BLOB holding text
inline constexpr std::uint8_t kSubBinary = 23;         // BLOB
inline constexpr std::uint8_t kSubFormattedMemo = 24;  // BLOB
inline constexpr std::uint8_t kSubBlobKind4 = 25;      // BLOB
inline constexpr std::uint8_t kSubGraphic = 26;        // BLOB
inline constexpr std::uint8_t kSubBlobKind6 = 27;      // BLOB
inline constexpr std::uint8_t kSubTypedBinary = 28;    // BLOB
inline constexpr std::uint8_t kSubAutoInc = 29;        // Integer kept in the record header

}  // namespace reruzo
