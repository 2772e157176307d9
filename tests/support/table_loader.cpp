// Bulk loading of records into a table and its indexes.
#include "tests/support/table_loader.h"

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"

namespace reruzo {

TTableLoader::TTableLoader(TDataTable& table) : table_(table) {
    TIndexFile& index = table.Index();
    TDataFile& data = table.Data();
    auto add = [&](int slot) {
        indexes_.push_back({slot, MakeKeyLayout(index.Descriptor(slot), slot, data.Fields(), data.LanguageId(), data.SortId())});
    };
    if (index.Descriptor(0).Defined()) add(0);
    for (int s = 1; s <= index.Header().SecondaryCount; ++s) add(s);
    add(kSysDeletedSlot);
}

std::int32_t TTableLoader::Append(std::span<const std::uint8_t> record, bool keepIdentifier) {
    TDataFile& data = table_.Data();
    TIndexFile& index = table_.Index();
    if (record.size() != data.RecordSize()) RaiseEngineError(RERUZO_FILECORRUPT, {.database = data.Directory(), .table = data.TableName()});
    std::vector<std::uint8_t> image(record.begin(), record.end());
    image[0] = 0;
    const std::int32_t id = keepIdentifier ? GetLE<std::int32_t>(image.data() + 5) : data.LastAutoInc() + 1;
    PutLE(image.data() + 5, id);
    // Unique keys are checked before anything changes.
    for (const TSlotIndex& ix : indexes_) {
        if (!ix.layout.unique) continue;
        key_.assign(ix.layout.KeyLength(), 0);
        BuildKey(ix.layout, image, key_);
        if (TIndexTree(index, ix.slot, ix.layout).FindExact(key_.data(), nullptr)) {
            RaiseEngineError(RERUZO_KEYVIOL, {.database = data.Directory(), .table = data.TableName(),
                                              .index = index.Descriptor(ix.slot).Name});
        }
    }
    if (keepIdentifier) {
        if (id > data.LastAutoInc()) data.SetLastAutoInc(id);
    } else {
        data.NextAutoInc();
    }
    TPinnedRecord r(data.AppendRecord());
    const std::int32_t slot = r->RecordNo();
    r->CopyFieldsFrom(image);
    r->SetRecordId(id);
    for (const TSlotIndex& ix : indexes_) {
        key_.assign(ix.layout.KeyLength(), 0);
        BuildKey(ix.layout, r->Data(), key_);
        TIndexTree(index, ix.slot, ix.layout).Insert(key_.data(), slot);
    }
    index.IncRecordCount();
    return id;
}

}  // namespace reruzo
