// B+-tree operations on the pages of an index file, and the index file checker.
#include "engine/index/index_tree.h"

#include <cstring>
#include <map>
#include <set>

#include "engine/errors/engine_errors.h"

namespace reruzo {
namespace {

void MoveLastToFront(TPage& from, TPage& to) {
    const int last = from.Count();
    to.InsertEntry(1, from.Key(last), from.Ref(last), from.SubCount(last));
    from.RemoveEntry(last);
}

void MoveFirstToEnd(TPage& from, TPage& to) {
    to.InsertEntry(to.Count() + 1, from.Key(1), from.Ref(1), from.SubCount(1));
    from.RemoveEntry(1);
}

}  // namespace

TIndexTree::TIndexTree(TIndexFile& file, int slot, const TKeyLayout& layout, TChangeCheck* cursor)
    : file_(file), slot_(slot), layout_(layout), cursor_(cursor), keyLength_(file.Descriptor(slot).KeyLength) {}

TPage* TIndexTree::Fetch(std::int32_t pageNo) { return file_.FetchPage(cursor_, slot_, pageNo, false); }

int TIndexTree::SearchPage(const TPage& page, const std::uint8_t* key, std::size_t length, TSearchKind kind,
                           std::int64_t* left) const {
    const int count = page.Count();
    if (count <= 0) file_.RaiseTable(RERUZO_INDEXCORRUPT);
    // below: entries smaller than the key; upTo: entries not greater.
    auto countWhere = [&](bool inclusive) {
        int lo = 0, hi = count;
        while (lo < hi) {
            const int mid = (lo + hi) / 2;
            const int c = CompareKeys(layout_, page.Key(mid + 1), key, length);
            if (c < 0 || (inclusive && c == 0)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    };
    int pos = 0;
    switch (kind) {
        case TSearchKind::Insertion: pos = countWhere(true); break;
        case TSearchKind::Descent: pos = std::max(1, countWhere(true)); break;
        case TSearchKind::Nearest:
            pos = page.IsLeaf() ? countWhere(false) + 1 : std::max(1, countWhere(true));
            break;
    }
    if (left) {
        if (page.IsLeaf()) {
            *left += std::max(0, pos - 1);
        } else {
            for (int i = 1; i < pos; ++i) *left += page.SubCount(i);
        }
    }
    return pos;
}

void TIndexTree::Descend(const std::uint8_t* key, TSearchKind leafKind, int countDelta) {
    path_ = TTreePath{};
    std::int32_t pageNo = file_.Root(slot_);
    if (pageNo == 0) return;
    for (int depth = 1;; ++depth) {
        if (depth > kMaxTreeLevels) file_.RaiseTable(RERUZO_INDEXCORRUPT);
        TPagePin page(Fetch(pageNo));
        path_.depth = depth;
        if (page->IsLeaf()) {
            path_.levels[depth] = {pageNo, SearchPage(*page, key, keyLength_, leafKind, &path_.logicalPosition)};
            return;
        }
        const int pos = SearchPage(*page, key, keyLength_, TSearchKind::Descent, &path_.logicalPosition);
        if (countDelta != 0) page->SetSubCount(pos, page->SubCount(pos) + countDelta);
        path_.levels[depth] = {pageNo, pos};
        pageNo = page->Ref(pos);
    }
}

void TIndexTree::UpdateSeparators(int level, const std::uint8_t* key) {
    for (int l = level - 1; l >= 1; --l) {
        TPagePin parent(Fetch(path_.levels[l].page));
        std::memcpy(parent->Key(path_.levels[l].position), key, keyLength_);
        parent->MarkDirty();
        if (path_.levels[l].position != 1) break;
    }
}

bool TIndexTree::FindExact(const std::uint8_t* key, std::int32_t* recordNo) {
    if (file_.Root(slot_) == 0) return false;
    Descend(key, TSearchKind::Insertion, 0);
    const TTreeLevel& leaf = path_.levels[path_.depth];
    if (leaf.position < 1) return false;
    TPagePin page(Fetch(leaf.page));
    if (CompareKeys(layout_, page->Key(leaf.position), key, keyLength_) != 0 ||
        std::memcmp(page->Key(leaf.position), key, keyLength_) != 0)
        return false;
    if (recordNo) *recordNo = page->Ref(leaf.position);
    return true;
}

void TIndexTree::Insert(const std::uint8_t* key, std::int32_t recordNo) {
    if (file_.Root(slot_) == 0) {
        TPagePin root(file_.AllocatePage(cursor_, slot_));
        root->SetKind(pkRootLeaf);
        root->InsertEntry(1, key, recordNo, 0);
        root->RecomputeCompression();
        file_.SetRoot(slot_, root->PageNo());
        path_ = TTreePath{};
        path_.depth = 1;
        path_.levels[1] = {root->PageNo(), 1};
        return;
    }
    Descend(key, TSearchKind::Insertion, 0);
    const int depth = path_.depth;
    TTreeLevel& leaf = path_.levels[depth];
    {
        TPagePin page(Fetch(leaf.page));
        if (leaf.position >= 1 && CompareKeys(layout_, page->Key(leaf.position), key, keyLength_) == 0)
            file_.RaiseTable(RERUZO_INDEXCORRUPT);  // the key is there already
    }
    // One more record below every node entry on the path.
    for (int l = 1; l < depth; ++l) {
        TPagePin node(Fetch(path_.levels[l].page));
        node->SetSubCount(path_.levels[l].position, node->SubCount(path_.levels[l].position) + 1);
    }
    leaf.position += 1;
    InsertAt(depth, leaf.position, key, recordNo, 0);
}

void TIndexTree::InsertAt(int level, int position, const std::uint8_t* key, std::int32_t ref, std::int32_t sub) {
    bool overflows = false;
    {
        TPagePin page(Fetch(path_.levels[level].page));
        page->InsertEntry(position, key, ref, sub);
        page->RecomputeCompression();
        if (position == 1 && !page->IsRoot()) UpdateSeparators(level, key);
        overflows = page->Overflows();
    }
    if (overflows) Split(level);
}

void TIndexTree::Split(int level) {
    TPagePin page(Fetch(path_.levels[level].page));
    const bool wasRoot = page->IsRoot();
    if (wasRoot && level != 1) file_.RaiseTable(RERUZO_TABLEFULL);
    TPagePin fresh(file_.AllocatePage(cursor_, slot_));
    const bool leaf = page->IsLeaf();
    // The new page takes the upper half (rounded down); the old page keeps the larger half.
    const int n = page->Count();
    const int move = n / 2;
    fresh->AppendFrom(*page, n - move + 1, move);
    page->KeepFirst(n - move);
    page->SetKind(leaf ? pkLeaf : pkNode);
    fresh->SetKind(leaf ? pkLeaf : pkNode);
    fresh->SetPrev(page->PageNo());
    fresh->SetNext(page->Next());
    if (page->Next() != 0) {
        TPagePin next(Fetch(page->Next()));
        next->SetPrev(fresh->PageNo());
    }
    page->SetNext(fresh->PageNo());
    page->RecomputeCompression();
    fresh->RecomputeCompression();
    if (page->Compressed()) {
        while (page->Overflows() && page->Count() > 1) {
            MoveLastToFront(*page, *fresh);
            page->RecomputeCompression();
            fresh->RecomputeCompression();
        }
        while (fresh->Overflows() && fresh->Count() > 1) {
            MoveFirstToEnd(*fresh, *page);
            page->RecomputeCompression();
            fresh->RecomputeCompression();
        }
        if (page->Overflows() || fresh->Overflows()) file_.RaiseTable(RERUZO_INDEXCORRUPT);
    }
    if (wasRoot) {
        TPagePin root(file_.AllocatePage(cursor_, slot_));
        root->SetKind(pkRootNode);
        root->InsertEntry(1, page->Key(1), page->PageNo(), static_cast<std::int32_t>(page->RecordsBelow()));
        root->InsertEntry(2, fresh->Key(1), fresh->PageNo(), static_cast<std::int32_t>(fresh->RecordsBelow()));
        file_.SetRoot(slot_, root->PageNo());
        return;
    }
    const std::vector<std::uint8_t> firstKey(fresh->Key(1), fresh->Key(1) + keyLength_);
    const std::int32_t freshNo = fresh->PageNo();
    const auto freshCount = static_cast<std::int32_t>(fresh->RecordsBelow());
    const TTreeLevel& parentLevel = path_.levels[level - 1];
    {
        TPagePin parent(Fetch(parentLevel.page));
        parent->SetSubCount(parentLevel.position, static_cast<std::int32_t>(page->RecordsBelow()));
    }
    page.Release();
    fresh.Release();
    InsertAt(level - 1, parentLevel.position + 1, firstKey.data(), freshNo, freshCount);
}

void TIndexTree::Delete(const std::uint8_t* key) {
    if (!FindExact(key, nullptr)) file_.RaiseTable(RERUZO_INDEXCORRUPT);
    const int depth = path_.depth;
    for (int l = 1; l < depth; ++l) {
        TPagePin node(Fetch(path_.levels[l].page));
        node->SetSubCount(path_.levels[l].position, node->SubCount(path_.levels[l].position) - 1);
    }
    RemoveFromLevel(depth, path_.levels[depth].position);
}

void TIndexTree::RemoveFromLevel(int level, int position) {
    {
        TPagePin page(Fetch(path_.levels[level].page));
        page->RemoveEntry(position);
        page->RecomputeCompression();
        if (page->Count() > 0 && position == 1 && !page->IsRoot()) {
            const std::vector<std::uint8_t> first(page->Key(1), page->Key(1) + keyLength_);
            UpdateSeparators(level, first.data());
        }
    }
    Repair(level);
}

void TIndexTree::Unlink(TPage& page) {
    if (page.Prev() != 0) {
        TPagePin prev(Fetch(page.Prev()));
        prev->SetNext(page.Next());
    }
    if (page.Next() != 0) {
        TPagePin next(Fetch(page.Next()));
        next->SetPrev(page.Prev());
    }
}

void TIndexTree::Repair(int level) {
    TPagePin page(Fetch(path_.levels[level].page));
    if (page->IsRoot()) {
        if (page->Kind() == pkRootNode && page->Count() == 1) {
            // Collapse: the only child becomes the root.
            const std::int32_t child = page->Ref(1);
            {
                TPagePin c(Fetch(child));
                c->SetKind(c->IsLeaf() ? pkRootLeaf : pkRootNode);
                c->SetPrev(0);
                c->SetNext(0);
            }
            file_.FreePage(slot_, page.get());
            file_.SetRoot(slot_, child);
        } else if (page->Count() == 0) {
            file_.FreePage(slot_, page.get());
            file_.SetRoot(slot_, 0);
        }
        return;
    }
    if (level < 2) file_.RaiseTable(RERUZO_INDEXCORRUPT);
    const int count = page->Count();
    const TTreeLevel parentLevel = path_.levels[level - 1];
    auto removePage = [&] {
        Unlink(*page);
        file_.FreePage(slot_, page.get());
        page.Release();
        RemoveFromLevel(level - 1, parentLevel.position);
    };
    if (page->Compressed()) {
        // Compressed leaves are only repaired when they become empty.
        if (count == 0) removePage();
        return;
    }
    const int capacity = page->Capacity();
    if (count >= capacity / 2) return;
    TPagePin parent(Fetch(parentLevel.page));
    const int ppos = parentLevel.position;
    if (parent->Count() == 1) {
        // No sibling under the same parent: an empty page goes, a thin one stays.
        if (count == 0) {
            parent.Release();
            removePage();
        }
        return;
    }
    const bool left = ppos > 1;
    const int npos = left ? ppos - 1 : ppos + 1;
    TPagePin nb(Fetch(parent->Ref(npos)));
    if ((left ? nb->Next() : nb->Prev()) != page->PageNo()) file_.RaiseTable(RERUZO_INDEXCORRUPT);
    if (count + nb->Count() < capacity) {
        // Merge the page into its neighbour.
        if (left) {
            nb->AppendFrom(*page, 1, count);
        } else {
            for (int i = count; i >= 1; --i) nb->InsertEntry(1, page->Key(i), page->Ref(i), page->SubCount(i));
        }
        nb->RecomputeCompression();
        parent->SetSubCount(npos, static_cast<std::int32_t>(nb->RecordsBelow()));
        if (!left) {
            std::memcpy(parent->Key(npos), nb->Key(1), keyLength_);
            parent->MarkDirty();
        }
        nb.Release();
        parent.Release();
        removePage();
        return;
    }
    // Redistribute: the left page of the pair takes the larger half with a left
    // neighbour, the smaller half with a right one.
    TPage& l = left ? *nb : *page;
    TPage& r = left ? *page : *nb;
    const int total = l.Count() + r.Count();
    const int leftWant = left ? (total + 1) / 2 : total / 2;
    while (l.Count() > leftWant) MoveLastToFront(l, r);
    while (l.Count() < leftWant) MoveFirstToEnd(r, l);
    l.RecomputeCompression();
    r.RecomputeCompression();
    const int lpos = left ? npos : ppos;
    const int rpos = left ? ppos : npos;
    parent->SetSubCount(lpos, static_cast<std::int32_t>(l.RecordsBelow()));
    parent->SetSubCount(rpos, static_cast<std::int32_t>(r.RecordsBelow()));
    std::memcpy(parent->Key(rpos), r.Key(1), keyLength_);
    const bool leftFirstChanged = std::memcmp(parent->Key(lpos), l.Key(1), keyLength_) != 0;
    std::memcpy(parent->Key(lpos), l.Key(1), keyLength_);
    parent->MarkDirty();
    if (leftFirstChanged && lpos == 1 && !parent->IsRoot()) {
        const std::vector<std::uint8_t> first(l.Key(1), l.Key(1) + keyLength_);
        UpdateSeparators(level - 1, first.data());
    }
}

TIndexTree::TPosition TIndexTree::Seek(const std::uint8_t* key, std::size_t length, bool after) {
    TPosition result;
    std::int32_t pageNo = file_.Root(slot_);
    if (pageNo == 0) return result;
    for (int depth = 1; depth <= kMaxTreeLevels; ++depth) {
        TPagePin page(Fetch(pageNo));
        const int count = page->Count();
        if (count <= 0) file_.RaiseTable(RERUZO_INDEXCORRUPT);
        // Entries smaller than the key over `length` (not greater, when seeking after it).
        int lo = 0, hi = count;
        while (lo < hi) {
            const int mid = (lo + hi) / 2;
            const int c = CompareKeys(layout_, page->Key(mid + 1), key, length);
            if (c < 0 || (after && c == 0)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (!page->IsLeaf()) {
            // The last child whose smallest key is below the key (or not above it)
            // holds the answer or ends just before it.
            const int pos = std::max(1, lo);
            for (int i = 1; i < pos; ++i) result.logical += page->SubCount(i);
            pageNo = page->Ref(pos);
            continue;
        }
        result.logical += lo;
        if (lo < count) {
            result.page = pageNo;
            result.entry = lo + 1;
        } else if (page->Next() != 0) {
            result.page = page->Next();
            result.entry = 1;
        }
        return result;
    }
    file_.RaiseTable(RERUZO_INDEXCORRUPT);
}

TIndexTree::TPosition TIndexTree::SeekOrdinal(std::int64_t k) {
    TPosition result;
    std::int32_t pageNo = file_.Root(slot_);
    if (pageNo == 0 || k < 1) return result;
    std::int64_t before = 0;
    for (int depth = 1; depth <= kMaxTreeLevels; ++depth) {
        TPagePin page(Fetch(pageNo));
        const int count = page->Count();
        if (count <= 0) file_.RaiseTable(RERUZO_INDEXCORRUPT);
        if (page->IsLeaf()) {
            const std::int64_t entry = k - before;
            if (entry < 1 || entry > count) return result;
            result.page = pageNo;
            result.entry = static_cast<int>(entry);
            result.logical = k - 1;
            return result;
        }
        int pos = 1;
        while (pos < count && before + page->SubCount(pos) < k) before += page->SubCount(pos++);
        pageNo = page->Ref(pos);
    }
    file_.RaiseTable(RERUZO_INDEXCORRUPT);
}

std::int64_t TIndexTree::Count() {
    const std::int32_t root = file_.Root(slot_);
    if (root == 0) return 0;
    TPagePin page(Fetch(root));
    return page->RecordsBelow();
}

void TIndexTree::ForEach(const std::function<void(const std::uint8_t*, std::int32_t)>& visit) {
    std::int32_t pageNo = file_.Root(slot_);
    for (int depth = 0; pageNo != 0; ++depth) {
        if (depth > kMaxTreeLevels) file_.RaiseTable(RERUZO_INDEXCORRUPT);
        TPagePin page(Fetch(pageNo));
        if (page->IsLeaf()) break;
        if (page->Count() <= 0) file_.RaiseTable(RERUZO_INDEXCORRUPT);
        pageNo = page->Ref(1);
    }
    for (std::int64_t pages = 0; pageNo != 0; ++pages) {
        if (pages >= file_.PageCount()) file_.RaiseTable(RERUZO_INDEXCORRUPT);  // a cycle
        TPagePin page(Fetch(pageNo));
        for (int i = 1; i <= page->Count(); ++i) visit(page->Key(i), page->Ref(i));
        pageNo = page->Next();
    }
}

// ---- Checker ----------------------------------------------------------------------------

namespace {

struct TCheck {
    TIndexFile& file;
    std::vector<std::string> problems;
    std::vector<int> owner;  // per page: -1 unused, else the slot whose tree or chain holds it

    void Report(std::string what) {
        if (problems.size() < 200) problems.push_back(std::move(what));
    }
    bool Claim(std::int32_t page, int slot, const std::string& where) {
        if (page <= 0 || page >= static_cast<std::int32_t>(owner.size())) {
            Report(where + ": page " + std::to_string(page) + " is outside the file");
            return false;
        }
        if (owner[static_cast<std::size_t>(page)] != -1) {
            Report(where + ": page " + std::to_string(page) + " is used twice");
            return false;
        }
        owner[static_cast<std::size_t>(page)] = slot;
        return true;
    }
};

struct TLevelPages {
    std::map<int, std::vector<std::int32_t>> byDepth;
};

// Walks a subtree; returns the records below it, and its smallest key in `first`.
std::int64_t WalkTree(TCheck& c, int slot, const TKeyLayout& layout, std::int32_t pageNo, int depth, bool isRoot,
                      int& leafDepth, TLevelPages& levels, std::vector<std::uint8_t>& first,
                      std::vector<std::uint8_t>& lastLeafKey, bool& haveLastLeafKey) {
    const std::string where = "slot " + std::to_string(slot) + " page " + std::to_string(pageNo);
    if (depth > kMaxTreeLevels) {
        c.Report(where + ": the tree is deeper than 64 levels");
        return 0;
    }
    if (!c.Claim(pageNo, slot, "slot " + std::to_string(slot))) return 0;
    TPagePin page;
    try {
        page = TPagePin(c.file.FetchPage(nullptr, slot, pageNo, false));
    } catch (const ERERUZOEngineError& e) {
        c.Report(where + ": " + e.what());
        return 0;
    }
    const std::size_t k = page->KeyLength();
    levels.byDepth[depth].push_back(pageNo);
    const bool leaf = page->IsLeaf();
    const std::uint8_t expectedKind = isRoot ? (leaf ? pkRootLeaf : pkRootNode) : (leaf ? pkLeaf : pkNode);
    if (page->Kind() != expectedKind)
        c.Report(where + ": kind " + std::to_string(page->Kind()) + ", expected " + std::to_string(expectedKind));
    if (page->Count() == 0) {
        c.Report(where + ": a tree page without entries");
        return 0;
    }
    page->RecomputeCompression();
    if (page->Overflows()) c.Report(where + ": the page holds more than fits");
    for (int i = 2; i <= page->Count(); ++i) {
        if (CompareKeys(layout, page->Key(i - 1), page->Key(i), k) >= 0)
            c.Report(where + ": entry " + std::to_string(i) + " is not above entry " + std::to_string(i - 1));
    }
    first.assign(page->Key(1), page->Key(1) + k);
    if (leaf) {
        if (leafDepth == 0) leafDepth = depth;
        if (leafDepth != depth) c.Report(where + ": leaf at depth " + std::to_string(depth) + ", others at " + std::to_string(leafDepth));
        if (haveLastLeafKey && CompareKeys(layout, lastLeafKey.data(), page->Key(1), k) >= 0)
            c.Report(where + ": first key is not above the previous leaf's last key");
        lastLeafKey.assign(page->Key(page->Count()), page->Key(page->Count()) + k);
        haveLastLeafKey = true;
        return page->Count();
    }
    std::int64_t total = 0;
    const int count = page->Count();
    std::vector<std::int32_t> children(static_cast<std::size_t>(count));
    std::vector<std::int32_t> counts(static_cast<std::size_t>(count));
    std::vector<std::vector<std::uint8_t>> keys(static_cast<std::size_t>(count));
    for (int i = 1; i <= count; ++i) {
        children[static_cast<std::size_t>(i - 1)] = page->Ref(i);
        counts[static_cast<std::size_t>(i - 1)] = page->SubCount(i);
        keys[static_cast<std::size_t>(i - 1)].assign(page->Key(i), page->Key(i) + k);
    }
    page.Release();
    for (std::size_t i = 0; i < children.size(); ++i) {
        std::vector<std::uint8_t> childFirst;
        const std::int64_t below = WalkTree(c, slot, layout, children[i], depth + 1, false, leafDepth, levels, childFirst,
                                            lastLeafKey, haveLastLeafKey);
        if (below != counts[i])
            c.Report(where + ": entry " + std::to_string(i + 1) + " counts " + std::to_string(counts[i]) + " records, " +
                     std::to_string(below) + " lie below");
        if (!childFirst.empty() && childFirst != keys[i])
            c.Report(where + ": entry " + std::to_string(i + 1) + " is not the smallest key of its child");
        total += below;
    }
    return total;
}

}  // namespace

std::vector<std::string> CheckIndexFile(TIndexFile& file, const std::vector<TFieldDesc>& fields,
                                        std::uint16_t languageId, std::uint16_t sortId) {
    // The page count comes from the header, which may be damaged: the ownership map
    // covers only pages that exist.
    const std::int32_t existing = file.ExistingPageCount();
    const std::int32_t pages = std::max(1, std::min(file.PageCount(), existing));
    TCheck c{file, {}, std::vector<int>(static_cast<std::size_t>(pages), -1)};
    if (file.PageCount() > existing)
        c.Report("the header counts " + std::to_string(file.PageCount()) + " pages, the file holds " +
                 std::to_string(existing));
    const TIndexHeader& h = file.Header();
    std::vector<int> slots;
    if (h.Slots[0].Defined()) slots.push_back(0);
    for (int s = 1; s <= std::min<int>(h.SecondaryCount, kMaxSecondaryIndexes); ++s) slots.push_back(s);
    slots.push_back(kSysDeletedSlot);
    for (int slot = 0; slot < kDescriptorSlots; ++slot) {
        const bool inUse = std::find(slots.begin(), slots.end(), slot) != slots.end();
        if (!inUse && h.Slots[static_cast<std::size_t>(slot)].Root != 0)
            c.Report("slot " + std::to_string(slot) + ": an undefined index has a root page");
    }
    for (int slot : slots) {
        const TIndexDesc& d = h.Slots[static_cast<std::size_t>(slot)];
        if (d.Root == 0) continue;
        const TKeyLayout layout = MakeKeyLayout(d, slot, fields, languageId, sortId);
        if (layout.KeyLength() != d.KeyLength) {
            c.Report("slot " + std::to_string(slot) + ": key length " + std::to_string(d.KeyLength) + ", the fields give " +
                     std::to_string(layout.KeyLength()));
            continue;
        }
        int leafDepth = 0;
        TLevelPages levels;
        std::vector<std::uint8_t> first, lastLeafKey;
        bool haveLast = false;
        WalkTree(c, slot, layout, d.Root, 1, true, leafDepth, levels, first, lastLeafKey, haveLast);
        // Sibling links: each level is a list in left-to-right order.
        for (const auto& [depth, pages] : levels.byDepth) {
            for (std::size_t i = 0; i < pages.size(); ++i) {
                try {
                    TPagePin p(file.FetchPage(nullptr, slot, pages[i], false));
                    const std::int32_t prev = i == 0 ? 0 : pages[i - 1];
                    const std::int32_t next = i + 1 == pages.size() ? 0 : pages[i + 1];
                    if (p->Prev() != prev || p->Next() != next)
                        c.Report("slot " + std::to_string(slot) + " page " + std::to_string(pages[i]) + ": links " +
                                 std::to_string(p->Prev()) + "/" + std::to_string(p->Next()) + ", expected " +
                                 std::to_string(prev) + "/" + std::to_string(next));
                } catch (const ERERUZOEngineError& e) {
                    c.Report(e.what());
                }
            }
        }
    }
    // Free chains of every slot.
    for (int slot = 0; slot < kDescriptorSlots; ++slot) {
        std::int32_t next = h.Slots[static_cast<std::size_t>(slot)].FreeHead;
        while (next != 0) {
            if (!c.Claim(next, slot, "free chain of slot " + std::to_string(slot))) break;
            try {
                TPagePin p(file.FetchPage(nullptr, slot, next, true));
                if (p->Count() != 0) c.Report("free chain of slot " + std::to_string(slot) + ": page " + std::to_string(next) + " holds entries");
                next = p->Next();
            } catch (const ERERUZOEngineError& e) {
                c.Report(e.what());
                break;
            }
        }
    }
    for (std::size_t p = 1; p < c.owner.size(); ++p) {
        if (c.owner[p] == -1) c.Report("page " + std::to_string(p) + " belongs to no tree and no free chain");
    }
    return c.problems;
}

}  // namespace reruzo
