// Dataset and table components over the rows of a table's data file.
#include "components/reruzo_dataset.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "components/component_text.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"

namespace reruzo {
namespace {


}  // namespace

TFieldType DataSetFieldType(std::uint8_t engineType, std::uint8_t subType) {
    using enum TFieldType;
    switch (engineType) {
        case kFieldString: return ftString;
        case kFieldDate: return ftDate;
        case kFieldBlob:
            switch (subType) {
                case 22: return ftMemo;
                case 24: return ftFmtMemo;
                case 26: return ftGraphic;
                case 28: return ftTypedBinary;
                default: return ftBlob;
            }
        case kFieldBoolean: return ftBoolean;
        case kFieldSmallInt: return ftSmallint;
        case kFieldInteger: return subType == kSubAutoInc ? ftAutoInc : ftInteger;
        case kFieldFloat: return subType == kSubMoney ? ftCurrency : ftFloat;
        case kFieldBCD: return ftBCD;
        case kFieldBytes: return ftBytes;
        case kFieldTime: return ftTime;
        case kFieldTimeStamp: return ftDateTime;
        case kFieldWord: return ftWord;
        case 13: return ftInteger;
        case kFieldVarBytes: return ftVarBytes;
        case 18:
        case 19: return ftLargeint;
        case 20: return ftADT;
        case 21: return ftArray;
        case 22: return ftReference;
        case 23: return ftDataSet;
        default: return ftUnknown;
    }
}

// ---- Fields -------------------------------------------------------------------------

TField::TField(TRERUZODataSet& dataset, TFieldDef def, const TFieldDesc& desc)
    : dataset_(dataset), def_(std::move(def)), desc_(desc) {}

std::span<const std::uint8_t> TField::Record() const {
    if (!dataset_.Active() || dataset_.position_ >= dataset_.rows_.size()) return {};
    return dataset_.current_;
}

bool TField::IsNull() const {
    auto r = Record();
    return r.empty() || FieldIsNull(r, desc_);
}

std::string TField::AsString() const {
    auto r = Record();
    if (r.empty() || FieldIsNull(r, desc_)) return {};
    using enum TFieldType;
    switch (def_.DataType) {
        case ftString: return GetStringField(r, desc_);
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint: return std::to_string(GetIntegerField(r, desc_));
        case ftBoolean: return GetBooleanField(r, desc_) ? "True" : "False";
        case ftFloat:
        case ftCurrency: return FloatText(GetFloatField(r, desc_));
        case ftBCD: return BcdText(FieldData(r, desc_));
        case ftDate: return DateText(static_cast<std::int32_t>(GetIntegerField(r, desc_)));
        case ftTime: return TimeText(static_cast<std::int32_t>(GetIntegerField(r, desc_)));
        case ftDateTime: {
            auto parts = SplitTimeStamp(GetFloatField(r, desc_));
            return parts ? DateText(parts->day) + " " + TimeText(parts->ms) : std::string();
        }
        case ftBytes:
        case ftVarBytes: {
            auto d = FieldData(r, desc_);
            return std::string(reinterpret_cast<const char*>(d.data()), d.size());
        }
        default:
            throw EDatabaseError(FormatText("Cannot access field '%s' as text", def_.Name));
    }
}

std::int32_t TField::AsInteger() const {
    auto r = Record();
    if (r.empty() || FieldIsNull(r, desc_)) return 0;
    using enum TFieldType;
    switch (def_.DataType) {
        case ftString: {
            const std::string text = GetStringField(r, desc_);
            auto v = ParseInt32(text);
            if (!v) throw EDatabaseError(FormatText("'%s' is not a valid integer value", text));
            return *v;
        }
        case ftFloat:
        case ftCurrency: return static_cast<std::int32_t>(std::llround(GetFloatField(r, desc_)));
        case ftBoolean:
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint:
        case ftDate:
        case ftTime: return static_cast<std::int32_t>(GetIntegerField(r, desc_));
        default:
            throw EDatabaseError(FormatText("Cannot access field '%s' as an integer", def_.Name));
    }
}

TFieldValue TField::Value() const {
    auto r = Record();
    if (r.empty() || FieldIsNull(r, desc_)) return std::monostate{};
    using enum TFieldType;
    switch (def_.DataType) {
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint: return GetIntegerField(r, desc_);
        case ftBoolean: return GetBooleanField(r, desc_);
        case ftFloat:
        case ftCurrency: return GetFloatField(r, desc_);
        default: return AsString();
    }
}

// ---- Dataset ------------------------------------------------------------------------

TRERUZODataSet::TRERUZODataSet() = default;

TRERUZODataSet::~TRERUZODataSet() {
    auto links = links_;
    for (TDataLink* link : links) link->DataSetDestroyed();
}

void TRERUZODataSet::Open() {
    if (Active()) return;
    descs_ = OpenCursor();
    try {
        rows_.clear();
        const std::int32_t slots = CursorSlotCount();
        for (std::int32_t n = 1; n <= slots; ++n) {
            if (ReadCursorSlot(n, current_)) rows_.push_back(n);
        }
        BuildFields();
    } catch (...) {
        rows_.clear();
        descs_.clear();
        CloseCursor();
        throw;
    }
    state_ = TDataSetState::dsBrowse;
    MoveTo(0);
    for (TDataLink* link : links_) link->ActiveChanged();
    if (AfterOpen) AfterOpen(*this);
}

void TRERUZODataSet::Close() {
    if (!Active()) return;
    state_ = TDataSetState::dsInactive;
    fields_.clear();
    fieldDefs_.clear();
    rows_.clear();
    descs_.clear();
    current_.clear();
    eof_ = bof_ = true;
    CloseCursor();
    for (TDataLink* link : links_) link->ActiveChanged();
    if (AfterClose) AfterClose(*this);
}

void TRERUZODataSet::BuildFields() {
    fieldDefs_.clear();
    fields_.clear();
    for (const TFieldDesc& desc : descs_) {
        const TFieldType type = DataSetFieldType(desc.FieldType, desc.SubType);
        if (type == TFieldType::ftUnknown) continue;
        TFieldDef def;
        def.DataType = type;
        def.FieldNo = desc.FieldNo;
        def.Required = desc.Required != 0;
        if (type == TFieldType::ftString || type == TFieldType::ftBytes ||
            type == TFieldType::ftVarBytes) {
            def.Size = desc.Length;
        } else if (type == TFieldType::ftBCD) {
            def.Size = desc.Scale;
            def.Precision = 32;
        }
        // A name already taken gets "_1", "_2", ... until it is free.
        def.Name = desc.Name;
        auto taken = [this](const std::string& n) {
            for (const auto& d : fieldDefs_) {
                if (SameText(d.Name, n)) return true;
            }
            return false;
        };
        for (int counter = 1; taken(def.Name); ++counter) {
            def.Name = desc.Name + "_" + std::to_string(counter);
        }
        fieldDefs_.push_back(def);
        fields_.push_back(std::make_unique<TField>(*this, def, desc));
    }
}

void TRERUZODataSet::MoveTo(std::size_t position) {
    position_ = std::min(position, rows_.size());
    if (position_ < rows_.size() && !ReadCursorSlot(rows_[position_], current_)) current_.clear();
    eof_ = position_ >= rows_.size();
    bof_ = position_ == 0;
    NotifyScrolled();
}

void TRERUZODataSet::NotifyScrolled() {
    for (TDataLink* link : links_) link->DataSetScrolled();
}

void TRERUZODataSet::First() {
    if (Active()) MoveTo(0);
}

void TRERUZODataSet::Next() {
    if (!Active() || eof_) return;
    position_ + 1 < rows_.size() ? MoveTo(position_ + 1) : void(eof_ = true);
}

int TRERUZODataSet::RecordCount() const { return static_cast<int>(rows_.size()); }

std::int32_t TRERUZODataSet::RecNo() const {
    if (!Active() || position_ >= rows_.size()) return -1;
    return static_cast<std::int32_t>(rows_[position_]);
}

bool TRERUZODataSet::GotoBookmark(std::int32_t recordNumber) {
    if (!Active()) return false;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i] == recordNumber) {
            MoveTo(i);
            return true;
        }
    }
    return false;
}

TField* TRERUZODataSet::FindField(const std::string& name) const {
    for (const auto& f : fields_) {
        if (SameText(f->FieldName(), name)) return f.get();
    }
    return nullptr;
}

TField& TRERUZODataSet::FieldByName(const std::string& name) const {
    TField* f = FindField(name);
    if (!f) throw EDatabaseError(FormatText("Field '%s' not found", name));
    return *f;
}

void TRERUZODataSet::AddDataLink(TDataLink* link) {
    if (std::find(links_.begin(), links_.end(), link) == links_.end()) links_.push_back(link);
}

void TRERUZODataSet::RemoveDataLink(TDataLink* link) { std::erase(links_, link); }

// ---- Database-bound dataset ---------------------------------------------------------

void TRERUZODBDataSet::SetDatabaseName(const std::string& name) {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
    databaseName_ = name;
}

void TRERUZODBDataSet::SetSessionName(const std::string& name) {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
    sessionName_ = name;
}

TRERUZODatabase& TRERUZODBDataSet::AttachDatabase() {
    if (!database_) {
        database_ = TRERUZOSession::Find(sessionName_).OpenDatabaseFor(*this, databaseName_, ownerName_);
    }
    return *database_;
}

void TRERUZODBDataSet::DetachDatabase() {
    if (!database_) return;
    TRERUZODatabase* db = database_;
    database_ = nullptr;
    db->Session().CloseDatabaseFor(*this, *db);
}

// ---- Table --------------------------------------------------------------------------

TRERUZOTable::~TRERUZOTable() { Close(); }

void TRERUZOTable::RequireClosed() const {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
}

void TRERUZOTable::SetTableName(const std::string& name) {
    RequireClosed();
    tableName_ = name;
}

void TRERUZOTable::SetExclusive(bool on) {
    RequireClosed();
    exclusive_ = on;
}

void TRERUZOTable::SetReadOnly(bool on) {
    RequireClosed();
    readOnly_ = on;
}

void TRERUZOTable::SetInMemory(bool on) {
    RequireClosed();
    inMemory_ = on;
    if (on) SetDatabaseName("Memory");
}

std::vector<TFieldDesc> TRERUZOTable::OpenCursor() {
    TRERUZODatabase& db = AttachDatabase();
    try {
        if (tableName_.empty()) throw EDatabaseError("Missing table name.");
        TDataDirectory& dir = *db.DirectoryObject();
        TTableOpenOptions options;
        options.Exclusive = exclusive_;
        options.ReadOnly = readOnly_;
        options.InMemory = inMemory_;
        TDataTable* table = nullptr;
        const int code = dir.OpenTable(tableName_.substr(0, 255), options, table);
        if (code < 0) RaiseEngineError(static_cast<std::uint16_t>(-code), {.database = dir.Path(), .table = tableName_});
        try {
            if (table->OpenCount() == 1) {
                // The first user of a table object checks its files, under a read lock.
                table->ReadLock();
                try {
                    table->Data().VerifyStructure();
                    if (!table->IndexRebuilt()) {
                        table->Index().CheckVersion();
                        table->Index().Validate(table->Data().Fields());
                    }
                } catch (...) {
                    table->ReadUnlock();
                    throw;
                }
                table->ReadUnlock();
            }
        } catch (...) {
            dir.CloseTable(table, false);
            throw;
        }
        // A table whose files cannot be written opens read-only.
        if (table->ForcedReadOnly()) readOnly_ = true;
        table_ = table;
        return table_->Data().Fields();
    } catch (...) {
        DetachDatabase();
        throw;
    }
}

void TRERUZOTable::CloseCursor() {
    if (table_) {
        TRERUZODatabase* db = Database();
        if (db && db->DirectoryObject()) db->DirectoryObject()->CloseTable(table_, false);
        table_ = nullptr;
    }
    DetachDatabase();
}

std::int32_t TRERUZOTable::CursorSlotCount() { return table_ ? table_->Data().SlotCount() : 0; }

bool TRERUZOTable::ReadCursorSlot(std::int32_t n, std::vector<std::uint8_t>& buffer) {
    if (!table_) return false;
    TDataFile& data = table_->Data();
    TPinnedRecord r(data.GetRecord(nullptr, n, true, false, true));
    if (!r || r->State() != 0) return false;
    const auto bytes = r->Data().first(data.RecordSize());
    buffer.assign(bytes.begin(), bytes.end());
    return true;
}

bool TRowSetDataSet::ReadCursorSlot(std::int32_t n, std::vector<std::uint8_t>& buffer) {
    if (n < 1 || static_cast<std::size_t>(n) > rows_.Slots.size()) return false;
    const auto& slot = rows_.Slots[static_cast<std::size_t>(n) - 1];
    if (slot.empty() || slot[0] != 0) return false;
    buffer = slot;
    return true;
}

}  // namespace reruzo
