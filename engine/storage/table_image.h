// Whole-file reading and writing of data files: a table is loaded as one image
// (header, descriptors, deciphered record slots), and a new table is built in memory
// and written in one go. This serves the knowledge-base compiler and the first
// read-only table components; the data file handler with its record cache replaces
// it for shared, incremental access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/data_format.h"

namespace reruzo {

struct TTableImage {
    std::string Directory;  // normalised, ends with "/" (or empty)
    std::string TableName;
    std::string FileName;   // the data file actually read
    TDataHeader Header;
    std::vector<TFieldDesc> Fields;
    // Record slots 1..SlotCount, deciphered; slot n is Slots[n - 1].
    std::vector<std::vector<std::uint8_t>> Slots;

    std::size_t SlotCount() const { return Slots.size(); }
    bool SlotInUse(std::size_t n) const { return Slots[n - 1][0] == 0; }
    TStringRules StringRules() const { return {Header.LanguageId, Header.SortId}; }
    // The deciphered header strings.
    std::string Password() const;
    std::string Description() const;
};

// Reads and checks the data file of `table` in `directory` (empty: the current
// directory). Raises RERUZO_OSENOENT when it does not exist, RERUZO_OSEACCES when it
// cannot be opened, RERUZO_READERR on a short read, and the structure check's errors.
TTableImage ReadTableImage(std::string_view directory, std::string_view table);

// Checks what the structure check does not: the chain of deleted slots (every link
// names a deleted slot in range, no cycles) and the record identifiers of the live
// records (unique, positive, not above LastAutoIncValue). Returns one line per
// problem found; an empty list means the image is sound.
std::vector<std::string> CheckTableImage(const TTableImage& image);

// Builds the header of a new table: zeroed header with the given collation, versions,
// encryption and description; descriptors laid out (field numbers, sizes, offsets);
// record size computed. Raises RERUZO_BLOBLIMIT for a 65th BLOB field and
// RERUZO_RECTOOBIG for a record over 65535 bytes.
struct TNewTableOptions {
    std::uint16_t LanguageId = 0;
    std::uint16_t SortId = 0;
    std::uint16_t UserMajorVersion = 0;
    std::uint16_t UserMinorVersion = 0;
    bool Encrypted = false;
    std::string Password;
    std::string Description;
    std::uint16_t BlobBlockSize = 0;
};
TDataHeader InitHeader(const TNewTableOptions& options, std::vector<TFieldDesc>& fields,
                       std::string_view directory, std::string_view table);

// A new table assembled in memory and written as one data file.
class TNewDataFile {
public:
    TNewDataFile(std::string directory, std::string table, std::vector<TFieldDesc> fields,
                 const TNewTableOptions& options = {});

    const std::vector<TFieldDesc>& Fields() const { return fields_; }
    const TFieldDesc& FieldByName(std::string_view name) const;
    // A blank record image of RecordSize bytes with every field NULL.
    std::vector<std::uint8_t> BlankRecord() const;
    // Appends a record: it gets the next record identifier (its auto-increment value)
    // unless `keepIdentifier` is set, in which case the identifier in bytes 5..8 is
    // kept and LastAutoIncValue raised to it. Returns the identifier.
    std::int32_t Append(std::vector<std::uint8_t> record, bool keepIdentifier = false);
    TStringRules StringRules() const { return {header_.LanguageId, header_.SortId}; }

    // Writes the data file (through a temporary file renamed into place). Raises
    // RERUZO_WRITEERR or the operating-system error on failure.
    void Write();
    std::string FileName() const;

private:
    std::string directory_;
    std::string table_;
    std::vector<TFieldDesc> fields_;
    TDataHeader header_;
    std::vector<std::vector<std::uint8_t>> slots_;
};

}  // namespace reruzo
