// Changes to table files made the way a writer makes them, for tests of readers that
// must follow them before the engine's own writing operations are at hand.
#pragma once

#include <vector>

#include "engine/table/data_table.h"
#include "engine/index/index_tree.h"
#include "engine/index/keys.h"

namespace quorvane::testing {

// Removes slot n from the table and its indexes the way a writer does.
inline void DeleteRow(reruzo::TDataTable& t, std::int32_t n) {
    t.WriteLock();
    reruzo::TDataFile& data = t.Data();
    reruzo::TIndexFile& index = t.Index();
    {
        reruzo::TPinnedRecord r(data.GetRecord(nullptr, n, {}));
        std::vector<int> slots = {0, reruzo::kSysDeletedSlot};
        for (int s = 1; s <= index.Header().SecondaryCount; ++s) slots.push_back(s);
        for (int s : slots) {
            reruzo::TKeyLayout layout = reruzo::MakeKeyLayout(index.Descriptor(s), s, data.Fields(), 0, 0);
            std::vector<std::uint8_t> key(layout.KeyLength());
            reruzo::BuildKey(layout, r->Data(), key);
            reruzo::TIndexTree(index, s, layout).Delete(key.data());
        }
        r->SetState(1);
        r->SetNextFree(0);
        std::vector<std::uint8_t> sys(reruzo::kSysDeletedKeyLength);
        reruzo::BuildSysDeletedKey(r->Data(), sys);
        reruzo::TIndexTree(index, reruzo::kSysDeletedSlot, reruzo::SysDeletedLayout()).Insert(sys.data(), n);
    }
    index.DecRecordCount();
    t.FlushBuffers({}, {.data = true, .index = true});
    t.WriteUnlock();
}

}  // namespace quorvane::testing
