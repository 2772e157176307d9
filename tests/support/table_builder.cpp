// Bulk loading of new tables.
#include "tests/support/table_builder.h"

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"

namespace reruzo {

TTableBuilder::TTableBuilder(std::string directory, std::string table, std::vector<TFieldDesc> fields,
                             const TNewTableOptions& o)
    : file_(std::move(directory), std::move(table)) {
    LayoutRecord(fields);
    file_.InitHeader(o.LanguageId, o.SortId, o.UserMajorVersion, o.UserMinorVersion, o.Encrypted,
                     o.Password, o.Description, o.BlobBlockSize, fields);
    file_.WriteFieldDescs();
    file_.WriteHeader(true, false);
}

TTableBuilder::~TTableBuilder() {
    if (!finished_) file_.Close();
}

const TFieldDesc& TTableBuilder::FieldByName(const std::string& name) const {
    for (const TFieldDesc& f : file_.Fields()) {
        if (f.Name == name) return f;
    }
    RaiseEngineError(RERUZO_OUTOFRANGE, {.database = file_.Directory(), .table = file_.TableName(), .field = name});
}

std::vector<std::uint8_t> TTableBuilder::BlankRecord() const {
    return std::vector<std::uint8_t>(file_.RecordSize(), 0);
}

std::int32_t TTableBuilder::Append(std::span<const std::uint8_t> record, bool keepIdentifier) {
    if (record.size() != file_.RecordSize())
        RaiseEngineError(RERUZO_FILECORRUPT, {.database = file_.Directory(), .table = file_.TableName()});
    TPinnedRecord r(file_.AppendRecord());
    r->CopyFieldsFrom(record);
    std::int32_t id;
    if (keepIdentifier) {
        id = GetLE<std::int32_t>(record.data() + 5);
        if (id > file_.LastAutoInc()) file_.SetLastAutoInc(id);
    } else {
        id = file_.NextAutoInc();
    }
    r->SetRecordId(id);
    return id;
}

void TTableBuilder::Finish() {
    if (finished_) return;
    file_.FlushRecords(false);
    file_.WriteFieldDescs();
    file_.WriteHeader(false, true);
    file_.Close();
    finished_ = true;
}

}  // namespace reruzo
