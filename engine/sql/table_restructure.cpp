// Restructuring a table: the new table written beside the old one, record by record,
// then swapped in (see table_restructure.h).
#include "engine/sql/table_restructure.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/sql/sql_aggregate.h"
#include "engine/sql/session_password.h"
#include "engine/sql/sql_join.h"
#include "engine/sql/value_conversion.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/field_text.h"
#include "engine/table/data_cursor.h"
#include "engine/table/table_swap.h"
#include "platform/os_file.h"

namespace reruzo {
namespace {

// An error of the new table, told as the table's own: the new table's name is of no
// use to the caller. `detail` names the record to blame, where there is one.
[[noreturn]] void RaiseAsTable(const ERERUZOEngineError& e, const TDataDirectory& directory, const std::string& table,
                               const std::string& detail = {}) {
    RaiseEngineError(e.EngineCode, {.database = directory.Path(),
                                    .table = table,
                                    .field = e.ContextField,
                                    .index = e.ContextIndex,
                                    .text = e.ContextText,
                                    .detail = detail.empty() ? std::string() : detail});
}

// How each field of the new table gets its value.
struct TCarry {
    const TFieldDesc* from = nullptr;  // the old field, or nullptr for a new field
    bool plainCopy = false;            // same type, subtype, size and scale: the bytes as they are
    std::unique_ptr<TColumnConversion> conversion;
};

// The old field's value as an expression value; a BLOB's bytes are read through the
// old table's cursor.
TValueNode ReadValue(TDataCursor& cursor, std::span<const std::uint8_t> record, const TFieldDesc& field) {
    TValueNode value(AcquireNode());
    if (field.FieldType == kFieldBlob) {
        ReadBlobColumn(cursor, record, field, *value);
        return value;
    }
    TRecordColumns columns(cursor.Fields());
    columns.SetRecord(record);
    TExpToken column;
    column.kind = nkColumn;
    column.fieldNo = field.FieldNo;
    columns.ReadColumn(column, *value);
    return value;
}

std::string ValueText(const TExpToken& v) {
    if (v.dataType == kFieldString || v.dataType == kFieldBlob) {
        const char* bytes = reinterpret_cast<const char*>(v.value.data());
        return std::string(bytes, ::strnlen(bytes, std::min<std::size_t>(v.value.size(), v.dataSize ? v.dataSize : v.value.size())));
    }
    const std::size_t size = FixedValueSize(v.dataType) ? FixedValueSize(v.dataType) : v.dataSize;
    return FieldDataText(v.dataType, std::span(v.value.data(), std::min<std::size_t>(v.value.size(), size)),
                         TBooleanWords::Capitalised)
        .value_or("?");
}

}  // namespace

TRestructureResult RestructureTable(TDataDirectory& directory, const std::string& table, bool inMemory,
                                    TRestructureRequest request) {
    TDataSession& session = directory.Session();
    // The old table, exclusively, for the whole change.
    TDataCursor old(directory);
    old.SetTableName(table);
    old.SetInMemory(inMemory);
    old.SetExclusive(true);
    old.SetNaturalOrder(true);
    old.OpenCursor();
    const std::vector<TFieldDesc> oldFields = old.Fields();

    // Field numbers name fields; the new table numbers them by position.
    TTableStructure& structure = request.structure;
    std::map<std::uint16_t, std::uint16_t> position;
    for (std::size_t i = 0; i < structure.Fields.size(); ++i) {
        position[structure.Fields[i].FieldNo] = static_cast<std::uint16_t>(i + 1);
    }
    auto renumber = [&](TIndexDesc& index) {
        for (std::size_t k = 0; k < kMaxKeyFields && index.FieldNumbers[k] != 0; ++k) {
            const auto found = position.find(index.FieldNumbers[k]);
            if (found == position.end()) {
                RaiseEngineError(RERUZO_INVALIDIDXDESC,
                                 {.database = directory.Path(),
                                  .table = table,
                                  .field = std::to_string(index.FieldNumbers[k]),
                                  .index = index.Name.empty() ? std::string("primary") : index.Name,
                                  .detail = "the index's field is not in the new structure"});
            }
            index.FieldNumbers[k] = found->second;
        }
    };
    renumber(structure.Primary);
    for (TIndexDesc& index : structure.Secondaries) renumber(index);
    std::vector<std::uint16_t> identity;
    for (std::size_t i = 0; i < structure.Fields.size(); ++i) {
        identity.push_back(structure.Fields[i].FieldNo);
        structure.Fields[i].FieldNo = static_cast<std::uint16_t>(i + 1);
    }

    // The new table, under a name of its own in the same folder; its password is known
    // to the session while it is written.
    const std::string rebuilt = directory.TempTableName(inMemory);
    const TSessionPassword password(session, structure.Password, structure.Encrypted);
    TDataTable* created = nullptr;
    try {
        const int code = directory.CreateTable(rebuilt, structure, created, {.InMemory = inMemory, .NoJournal = true});
        if (code < 0) RaiseEngineError(static_cast<std::uint16_t>(-code), {.database = directory.Path(), .table = table});
    } catch (const ERERUZOEngineError& e) {
        RaiseAsTable(e, directory, table);
    }

    TRestructureResult result;
    auto fresh = std::make_unique<TDataCursor>(directory);
    auto discard = [&] {
        fresh.reset();
        if (created) directory.CloseTable(created, true);
        created = nullptr;
        directory.DeleteTable(rebuilt, inMemory);
    };
    std::int32_t highestId = 0;
    try {
        fresh->SetTableName(rebuilt);
        fresh->SetInMemory(inMemory);
        fresh->SetExclusive(true);
        fresh->SetShareExclusive(true);
        fresh->SetNaturalOrder(true);
        fresh->SetSuppressAutoInc(true);  // every record keeps its identifier
        fresh->OpenCursor();
        const std::vector<TFieldDesc>& fields = fresh->Fields();
        std::vector<TCarry> carry(fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const auto from = std::find_if(oldFields.begin(), oldFields.end(),
                                           [&](const TFieldDesc& f) { return f.FieldNo == identity[i]; });
            if (from == oldFields.end()) continue;
            const TFieldDesc& to = fields[i];
            carry[i].from = &*from;
            carry[i].plainCopy = from->FieldType == to.FieldType && from->SubType == to.SubType &&
                                 from->DataSize == to.DataSize && from->Scale == to.Scale;
            carry[i].conversion = std::make_unique<TColumnConversion>(to);
        }

        const std::int32_t total = std::max(old.GetRecordCount(), 1);
        const std::uint16_t steps = session.ProgressSteps();
        const int step = steps == 0 ? 100 : std::max(1, 100 / steps);
        int reported = 0;
        const TEvalContext context{old.LanguageId(), old.SortId(), nullptr};
        std::vector<std::uint8_t> record(old.RecordSize()), out(fresh->RecordSize()), bytes;
        old.SetToBegin();
        while (old.GetNextRecord(record) == 0) {
            ++result.records;
            const std::string where = "record " + std::to_string(result.records);
            fresh->InitRecordDefaults(out);
            std::memcpy(out.data() + 5, record.data() + 5, 4);
            highestId = std::max(highestId, GetLE<std::int32_t>(record.data() + 5));
            for (std::size_t i = 0; i < fields.size(); ++i) {
                TCarry& c = carry[i];
                if (!c.from) continue;
                const TFieldDesc& to = fields[i];
                const auto fieldNo = static_cast<int>(i + 1);
                if (c.plainCopy && to.FieldType != kFieldBlob) {
                    const bool present = old.GetField(c.from->FieldNo, record, bytes);
                    fresh->PutField(fieldNo, out, bytes, !present);
                    continue;
                }
                TValueNode value = ReadValue(old, record, *c.from);
                if (c.conversion->Needed(*value)) {
                    TExpToken* v = value.release();
                    const bool converted = c.conversion->Convert(v, context);
                    value.reset(v);
                    if (!converted) {
                        if (to.Required) {
                            RaiseEngineError(RERUZO_REQDERR, {.database = directory.Path(),
                                                              .table = table,
                                                              .field = to.Name,
                                                              .detail = where + ": '" + ValueText(*value) +
                                                                        "' does not convert"});
                        }
                        ++result.nulled;
                        value.reset(AcquireNode());
                        value->isNull = true;
                    }
                }
                if (to.FieldType == kFieldBlob) {
                    // A BLOB is copied, never shared: the new table gets a chain of its own.
                    fresh->FreeBlob(out, fieldNo);
                    if (!value->isNull && value->dataSize > 0) {
                        fresh->PutBlob(out, fieldNo, 0, std::span(value->value.data(), value->dataSize));
                    }
                    continue;
                }
                if (value->isNull) {
                    fresh->PutField(fieldNo, out, {}, true);
                } else {
                    fresh->PutField(fieldNo, out, ValueAsField(*value, to), false);
                }
            }
            try {
                fresh->AppendRecord(out, false);
            } catch (const ERERUZOEngineError& e) {
                RaiseAsTable(e, directory, table, where);
            }
            const int percent = static_cast<int>(std::int64_t{result.records} * 100 / total);
            if (request.progress && percent >= reported + step) {
                reported = percent;
                request.progress(std::min(percent, 100));
            }
        }
        // The counter goes on from where it was, or from where the caller puts it, but
        // never back below an identifier a record holds.
        const std::int64_t counter = request.lastAutoInc >= 0 ? request.lastAutoInc : old.Table().Data().LastAutoInc();
        fresh->Table().Data().SetLastAutoInc(static_cast<std::int32_t>(
            std::clamp<std::int64_t>(std::max<std::int64_t>(counter, highestId), 0, 2147483647)));
        fresh->Table().MarkChanged({.data = true});
        fresh->FlushBuffers({.trim = true, .flushOs = true});
        fresh.reset();
        directory.CloseTable(created, false);
        created = nullptr;
    } catch (...) {
        discard();
        throw;
    }

    // The swap: the old table is still held, so nobody opens it meanwhile.
    if (inMemory) {
        old.CloseCursor();
        directory.DeleteTable(table, true);
        const int code = directory.RenameTable(rebuilt, table, false, true);
        if (code < 0) RaiseEngineError(static_cast<std::uint16_t>(-code), {.database = directory.Path(), .table = table});
    } else {
        try {
            SwapTableFiles(directory.Path(), table, rebuilt, request.backup);
        } catch (...) {
            old.CloseCursor();
            // Before its marker the swap changed nothing: the new table's files go. After
            // it the next open of the table finishes the swap.
            if (!quorvane::os::StatFile(TableSwapMarker(directory.Path(), table)).exists) {
                directory.DeleteTable(rebuilt, false);
            }
            throw;
        }
        old.CloseCursor();
    }
    if (request.progress && result.records == 0) request.progress(100);
    return result;
}

}  // namespace reruzo
