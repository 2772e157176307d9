// The B+-tree of one index slot: insertion with splits, deletion with merging,
// redistribution and root collapse, and searches with the running logical position
// (the number of records before a position, from the subtree counts in node entries).
//
// Invariants of a tree (checked by CheckIndexFile):
//   1. entries are in strictly increasing key order within a page and along a level;
//   2. a node entry's key equals the smallest key of its child's subtree;
//   3. a node entry's count equals the number of records in its child's subtree;
//   4. every level is a doubly linked list of its pages, left to right;
//   5. the root is kind 0 (node) or 3 (leaf), other nodes kind 1, other leaves kind 2,
//      and every leaf lies at the same depth.
// Operations fetch pages through the index file by number and pin them only while
// they work on them; a fetch that finds the table changed by another process throws
// EIndexChanged, and the caller starts the operation again.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "engine/index/index_file.h"

namespace reruzo {

enum class TSearchKind {
    Insertion,  // position of an equal entry or of the last smaller one; 0 if all greater
    Descent,    // the same, at least 1
    Nearest,    // leaf: first entry not smaller (count + 1 if none); node: last not greater, at least 1
};

struct TTreeLevel {
    std::int32_t page = 0;
    int position = 0;
};

// The path of the last descent: level 1 is the root.
struct TTreePath {
    int depth = 0;
    std::array<TTreeLevel, kMaxTreeLevels + 1> levels{};
    std::int64_t logicalPosition = 0;
};

class TIndexTree {
public:
    TIndexTree(TIndexFile& file, int slot, const TKeyLayout& layout, TChangeCheck* cursor = nullptr);
    // The tree keeps a reference to the layout: a temporary one would be gone.
    TIndexTree(TIndexFile& file, int slot, TKeyLayout&& layout, TChangeCheck* cursor = nullptr) = delete;

    // Searches one page over `length` key bytes; adds to `left` the records before
    // the chosen position. Raises RERUZO_INDEXCORRUPT for a page without entries.
    int SearchPage(const TPage& page, const std::uint8_t* key, std::size_t length, TSearchKind kind,
                   std::int64_t* left) const;

    void Insert(const std::uint8_t* key, std::int32_t recordNo);
    // Removes the entry with exactly this key; RERUZO_INDEXCORRUPT when there is none.
    void Delete(const std::uint8_t* key);
    // The record number of the entry with exactly this key.
    bool FindExact(const std::uint8_t* key, std::int32_t* recordNo);

    // The first entry whose first `length` key bytes are not smaller than `key`'s
    // (with `after`: greater than `key`'s): its leaf page and entry (entry 0 when
    // there is none), and the number of records before it.
    struct TPosition {
        std::int32_t page = 0;
        int entry = 0;
        std::int64_t logical = 0;
    };
    TPosition Seek(const std::uint8_t* key, std::size_t length, bool after = false);
    // The k-th entry (1-based) in key order, found by one descent over the subtree
    // counts; entry 0 when there is none.
    TPosition SeekOrdinal(std::int64_t k);

    // Records in the tree (from the root's counts).
    std::int64_t Count();
    // Every entry in key order.
    void ForEach(const std::function<void(const std::uint8_t* key, std::int32_t recordNo)>& visit);
    const TTreePath& Path() const { return path_; }

private:
    TPage* Fetch(std::int32_t pageNo);
    void Descend(const std::uint8_t* key, TSearchKind kind, int countDelta);
    void UpdateSeparators(int level, const std::uint8_t* key);
    void InsertAt(int level, int position, const std::uint8_t* key, std::int32_t ref, std::int32_t sub);
    void Split(int level);
    void Unlink(TPage& page);
    void RemoveFromLevel(int level, int position);
    void Repair(int level);

    TIndexFile& file_;
    int slot_;
    const TKeyLayout& layout_;
    TChangeCheck* cursor_;
    std::size_t keyLength_;
    TTreePath path_;
};

// Walks an index file and reports every broken rule: page kinds and depths, key
// order in each index's collation, node keys and subtree counts, sibling links,
// free chains, encoded sizes, and that every page belongs to exactly one tree or free
// chain. One line per problem; empty when the file is sound.
std::vector<std::string> CheckIndexFile(TIndexFile& file, const std::vector<TFieldDesc>& fields,
                                        std::uint16_t languageId, std::uint16_t sortId);

}  // namespace reruzo
