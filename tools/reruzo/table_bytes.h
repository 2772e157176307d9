// Reading a table's record slots and BLOB blocks straight from its files, for
// `reruzo verify` and `reruzo repair`. A damaged header may count slots or blocks the
// file does not hold, or hold more than it counts: these readers go by the size of the
// file instead, never read past its end, and allocate nothing for what a header merely
// claims. Records and blocks come deciphered when the table is encrypted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/storage/data_file.h"
#include "engine/storage/file_layer.h"

namespace reruzo::cli {

// The record slots of an open data file whose header and field descriptors were read.
class TSlotReader {
public:
    explicit TSlotReader(TDataFile& data);

    // The whole slots the file holds after its descriptors (0 when it ends before them).
    std::int32_t FileSlots() const { return fileSlots_; }
    // Bytes after the last whole slot: a slot cut short.
    std::uint64_t PartialBytes() const { return partial_; }
    // Where the slots start: after the header and the descriptors.
    std::uint64_t SlotsStart() const { return start_; }

    // The bytes of slot n (1 .. FileSlots), valid until the next call. With `readAhead`
    // the slots after it are read in the same call (for walks in slot order).
    std::span<const std::uint8_t> Slot(std::int32_t n, bool readAhead = true);

private:
    TDataFile& data_;
    std::size_t recordSize_;
    std::uint64_t start_ = 0;
    std::int32_t fileSlots_ = 0;
    std::uint64_t partial_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::int32_t first_ = 0;  // slots first_ .. first_ + count_ - 1 are in the buffer
    std::int32_t count_ = 0;
};

// The header of one BLOB block.
struct TBlockHead {
    std::int32_t prev = 0;
    std::int32_t next = 0;
    std::uint16_t used = 0;
    std::int32_t stamp = 0;
    std::int32_t size = 0;
};

// The blocks of a BLOB file opened as a plain file (its header is not needed).
class TBlockReader {
public:
    TBlockReader(TFileHandler& file, std::uint32_t blockSize, bool encrypted);

    // The whole blocks the file holds after its 512-byte header.
    std::int32_t FileBlocks() const { return fileBlocks_; }
    std::uint32_t BlockSize() const { return blockSize_; }
    // Data bytes a block holds.
    std::uint32_t Portion() const { return blockSize_ - 18u; }
    // Block n (1 .. FileBlocks): its header, and its data when `data` is given.
    TBlockHead Read(std::int32_t n, std::vector<std::uint8_t>* data = nullptr);

private:
    TFileHandler& file_;
    std::uint32_t blockSize_;
    bool encrypted_;
    std::int32_t fileBlocks_ = 0;
    std::vector<std::uint8_t> buffer_;
};

// One BLOB chain as the blocks give it.
struct TBlobChain {
    // The contents can be read, as the engine reads them: every link within the file,
    // no block twice, each block carrying the record's stamp and using at most a
    // block's bytes, the blocks holding the size the first block gives.
    bool readable = false;
    // Readable, and sound besides: every block linking back to the one before it,
    // every block but the last full, the last holding just the rest.
    bool sound = false;
    // Why the chain cannot be read (or, when readable, why it is not sound).
    std::string problem;
    std::vector<std::int32_t> blocks;
    std::vector<std::uint8_t> contents;  // only when asked for and readable
};

// Follows the chain that starts at `first` for a record with BLOB stamp `stamp`.
TBlobChain ReadBlobChain(TBlockReader& blocks, std::int32_t first, std::int32_t stamp, bool wantContents);

}  // namespace reruzo::cli
