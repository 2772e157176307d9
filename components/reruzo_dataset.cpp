// Dataset and table components over the rows of a table: navigation, filters,
// editing, locating rows, and the table component's cursor and indexes.
#include "components/reruzo_dataset.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "components/component_text.h"
#include "engine/sql/expression_filter.h"
#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/field_text.h"
#include "engine/storage/value_text.h"

namespace reruzo {
// ---- Dataset ------------------------------------------------------------------------

TRERUZODataSet::TRERUZODataSet() = default;

TRERUZODataSet::~TRERUZODataSet() {
    auto links = links_;
    for (TDataLink* link : links) link->DataSetDestroyed();
}

void TRERUZODataSet::Open() {
    if (Active()) return;
    if (BeforeOpen) BeforeOpen(*this);
    try {
        cursor_ = &CreateEngineCursor();
        canModify_ = CanModify();
        BuildFields();
        current_.assign(cursor_->RecordSize(), 0);
        hasRow_ = false;
        state_ = TDataSetState::dsBrowse;
        cursor_->SetToBegin();
        if (!filter_.empty()) exprFilter_ = MakeExpressionFilter(filter_, filterOptions_);
        if (onFilterRecord_) callbackFilter_ = MakeCallbackFilter();
        if (filtered_) SwitchFilters(true);
        std::vector<std::uint8_t> row(cursor_->RecordSize());
        TakeRow(cursor_->GetNextRecord(row), row, true);
        bof_ = true;
    } catch (...) {
        state_ = TDataSetState::dsInactive;
        fields_.clear();
        fieldDefs_.clear();
        exprFilter_ = callbackFilter_ = nullptr;
        ReleaseEngineCursor();
        cursor_ = nullptr;
        throw;
    }
    for (TDataLink* link : links_) link->ActiveChanged();
    if (AfterOpen) AfterOpen(*this);
}

void TRERUZODataSet::Close() {
    if (!Active()) return;
    if (BeforeClose) BeforeClose(*this);
    // A pending row is discarded with the dataset.
    if (state_ == TDataSetState::dsEdit) {
        try {
            cursor_->WriteUnlockRecord(0);
        } catch (const ERERUZOEngineError&) {
        }
    }
    modified_ = false;
    state_ = TDataSetState::dsInactive;
    fields_.clear();
    fieldDefs_.clear();
    current_.clear();
    hasRow_ = false;
    eof_ = bof_ = true;
    exprFilter_ = callbackFilter_ = nullptr;  // the cursor drops its filters when it closes
    ReleaseEngineCursor();
    cursor_ = nullptr;
    for (TDataLink* link : links_) link->ActiveChanged();
    if (AfterClose) AfterClose(*this);
}

void TRERUZODataSet::BuildFields() {
    fieldDefs_ = MakeFieldDefs(cursor_->Fields());
    fields_.clear();
    for (const TFieldDef& def : fieldDefs_) {
        fields_.push_back(std::make_unique<TField>(*this, def, cursor_->Fields()[static_cast<std::size_t>(def.FieldNo - 1)]));
    }
}

void TRERUZODataSet::TakeRow(std::uint16_t status, std::vector<std::uint8_t>& row, bool forward) {
    // The BLOBs read for the row left behind are not needed any more.
    cursor_->FreeBlobs();
    if (status == 0) {
        current_.swap(row);
        hasRow_ = true;
        bof_ = eof_ = false;
    } else if (status == RERUZO_BOF || status == RERUZO_EOF || status == RERUZO_NOCURRREC) {
        // Off an end: the dataset keeps its last row; an empty view has none.
        if (status == RERUZO_NOCURRREC || !hasRow_) {
            hasRow_ = false;
            bof_ = eof_ = true;
        } else {
            (forward ? eof_ : bof_) = true;
        }
    } else {
        RaiseForResult(status);
    }
}

void TRERUZODataSet::ReadCurrentRow() {
    cursor_->FreeBlobs();
    std::vector<std::uint8_t> row(cursor_->RecordSize());
    const std::uint16_t status = cursor_->GetCurRecord(row, false);
    if (status == 0) {
        current_.swap(row);
        hasRow_ = true;
        bof_ = eof_ = false;
    } else {
        hasRow_ = false;
        bof_ = eof_ = true;
    }
    NotifyScrolled();
}

void TRERUZODataSet::NotifyScrolled() {
    for (TDataLink* link : links_) link->DataSetScrolled();
    if (AfterScroll) AfterScroll(*this);
}

void TRERUZODataSet::First() {
    if (!Active()) return;
    CheckBrowseMode();
    if (BeforeScroll) BeforeScroll(*this);
    cursor_->SetToBegin();
    std::vector<std::uint8_t> row(cursor_->RecordSize());
    TakeRow(cursor_->GetNextRecord(row), row, true);
    bof_ = true;
    NotifyScrolled();
}

void TRERUZODataSet::Last() {
    if (!Active()) return;
    CheckBrowseMode();
    if (BeforeScroll) BeforeScroll(*this);
    cursor_->SetToEnd();
    std::vector<std::uint8_t> row(cursor_->RecordSize());
    TakeRow(cursor_->GetPriorRecord(row), row, false);
    eof_ = true;
    NotifyScrolled();
}

void TRERUZODataSet::Next() {
    if (!Active()) return;
    CheckBrowseMode();
    if (eof_) return;
    if (BeforeScroll) BeforeScroll(*this);
    std::vector<std::uint8_t> row(cursor_->RecordSize());
    const std::uint16_t status = cursor_->GetNextRecord(row);
    TakeRow(status, row, true);
    if (status == 0) NotifyScrolled();
}

void TRERUZODataSet::Prior() {
    if (!Active()) return;
    CheckBrowseMode();
    if (bof_) return;
    if (BeforeScroll) BeforeScroll(*this);
    std::vector<std::uint8_t> row(cursor_->RecordSize());
    const std::uint16_t status = cursor_->GetPriorRecord(row);
    TakeRow(status, row, false);
    if (status == 0) NotifyScrolled();
}

// ---- Filters -------------------------------------------------------------------------

TFilter* TRERUZODataSet::MakeExpressionFilter(const std::string& text, TFilterOptions options) {
    return AddExprFilter(*cursor_, text,
                         {.caseInsensitive = (options & foCaseInsensitive) != 0,
                          .noPartialCompare = (options & foNoPartialCompare) != 0},
                         {.countCheck = true});
}

TFilter* TRERUZODataSet::MakeCallbackFilter() {
    // The record in question is shown as the current row while the handler decides.
    auto test = [this](TDataCursor&, std::span<const std::uint8_t> record, std::int32_t) {
        if (!onFilterRecord_) return true;
        std::vector<std::uint8_t> saved(record.begin(), record.end());
        current_.swap(saved);
        const bool hadRow = std::exchange(hasRow_, true);
        const TDataSetState state = std::exchange(state_, TDataSetState::dsFilter);
        struct TRestore {
            TRERUZODataSet& d;
            std::vector<std::uint8_t>& saved;
            bool hadRow;
            TDataSetState state;
            ~TRestore() {
                d.current_.swap(saved);
                d.hasRow_ = hadRow;
                d.state_ = state;
            }
        } restore{*this, saved, hadRow, state};
        bool accept = true;
        onFilterRecord_(*this, accept);
        return accept;
    };
    return cursor_->AddCallbackFilter(test, {.countCheck = true, .evaluateLast = true});
}

void TRERUZODataSet::SwitchFilters(bool on) {
    if (on) {
        if (exprFilter_) cursor_->ActivateFilter(exprFilter_);
        if (callbackFilter_) cursor_->ActivateFilter(callbackFilter_);
    } else {
        if (callbackFilter_) cursor_->DeactivateFilter(callbackFilter_);
        if (exprFilter_) cursor_->DeactivateFilter(exprFilter_);
    }
}

void TRERUZODataSet::ChangeFilter(const std::string& text, TFilterOptions options) {
    if (Active()) CheckBrowseMode();
    if (Active() && (text != filter_ || options != filterOptions_)) {
        // The new filter is made first: an invalid text leaves the old one in force.
        TFilter* made = text.empty() ? nullptr : MakeExpressionFilter(text, options);
        TFilter* old = std::exchange(exprFilter_, made);
        if (old) cursor_->DropFilter(old);
        if (made && filtered_) cursor_->ActivateFilter(made);
    }
    filter_ = text;
    filterOptions_ = options;
    if (Active() && filtered_) First();
}

void TRERUZODataSet::SetFiltered(bool on) {
    if (Active()) CheckBrowseMode();
    if (Active() && on != filtered_) SwitchFilters(on);
    filtered_ = on;
    if (Active()) First();
}

void TRERUZODataSet::SetOnFilterRecord(TFilterRecordEvent handler) {
    onFilterRecord_ = std::move(handler);
    if (!Active()) return;
    if (onFilterRecord_ && !callbackFilter_) {
        callbackFilter_ = MakeCallbackFilter();
        if (filtered_) cursor_->ActivateFilter(callbackFilter_);
    } else if (!onFilterRecord_ && callbackFilter_) {
        cursor_->DropFilter(std::exchange(callbackFilter_, nullptr));
    } else if (callbackFilter_ && filtered_) {
        // Another handler: the rows are asked again.
        cursor_->DeactivateFilter(callbackFilter_);
        cursor_->ActivateFilter(callbackFilter_);
    }
    if (filtered_) First();
}

// ---- Editing ---------------------------------------------------------------------------

void TRERUZODataSet::Edit() {
    if (!Active() || state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
    RequireModifiable();
    if (!hasRow_) {
        Insert();
        return;
    }
    // The row is read again under its lock; one changed by somebody else since it was
    // read fails here.
    std::vector<std::uint8_t> row = current_;
    const std::uint16_t status = cursor_->GetCurRecord(row, true);
    if (status != 0) RaiseForResult(status);
    current_ = row;
    old_ = row;
    oldHasRow_ = true;
    state_ = TDataSetState::dsEdit;
    modified_ = false;
}

void TRERUZODataSet::Insert() {
    if (!Active()) return;
    RequireModifiable();
    CheckBrowseMode();
    old_ = current_;
    oldHasRow_ = hasRow_;
    current_.assign(cursor_->RecordSize(), 0);
    cursor_->InitRecordDefaults(current_);
    hasRow_ = true;
    state_ = TDataSetState::dsInsert;
    modified_ = false;
    if (OnNewRecord) OnNewRecord(*this);
}

void TRERUZODataSet::UpdateRecord() {
    if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert)
        throw EDatabaseError("Table is not in edit or insert mode.");
    for (TDataLink* link : links_) link->UpdateData();
}

void TRERUZODataSet::Post() {
    if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
    UpdateRecord();
    if (BeforePost) BeforePost(*this);
    // On failure the state and the buffer stay for a correction or a Cancel.
    if (state_ == TDataSetState::dsEdit) {
        cursor_->ModifyRecord(current_, true, true);
    } else {
        cursor_->AppendRecord(current_, true);
    }
    state_ = TDataSetState::dsBrowse;
    modified_ = false;
    ReadCurrentRow();
    if (AfterPost) AfterPost(*this);
}

void TRERUZODataSet::Cancel() {
    if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
    if (state_ == TDataSetState::dsEdit) cursor_->WriteUnlockRecord(0);
    cursor_->FreeBlobs();  // BLOB changes go with the row
    current_ = old_;
    hasRow_ = oldHasRow_;
    state_ = TDataSetState::dsBrowse;
    modified_ = false;
    if (hasRow_) ReadCurrentRow();
}

void TRERUZODataSet::RequireModifiable() const {
    if (!canModify_) throw EDatabaseError("Cannot modify a read-only dataset.");
}

void TRERUZODataSet::Delete() {
    if (!Active()) return;
    RequireModifiable();
    if (state_ == TDataSetState::dsInsert) {
        Cancel();
        return;
    }
    if (!hasRow_) throw EDatabaseError("Cannot perform this operation on an empty dataset");
    std::vector<std::uint8_t> read = current_;
    if (state_ == TDataSetState::dsEdit) {
        cursor_->WriteUnlockRecord(0);
        read = old_;
        state_ = TDataSetState::dsBrowse;
        modified_ = false;
    }
    cursor_->DeleteRecord(read, true);
    // The next row takes the deleted one's place; after the last, the one before.
    std::vector<std::uint8_t> row(cursor_->RecordSize());
    if (cursor_->GetCurRecord(row, false) == RERUZO_EOF) cursor_->GetPriorRecord(row);
    ReadCurrentRow();
}

void TRERUZODataSet::CheckBrowseMode() {
    if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
    UpdateRecord();
    if (modified_) {
        Post();
    } else {
        Cancel();
    }
}

// ---- Locating rows -------------------------------------------------------------------

bool TRERUZODataSet::Locate(const std::string& fieldNames, const std::vector<std::string>& values, unsigned options) {
    if (!Active()) return false;
    CheckBrowseMode();
    std::vector<TField*> fields;
    for (std::size_t start = 0; start <= fieldNames.size();) {
        const std::size_t end = std::min(fieldNames.find(';', start), fieldNames.size());
        std::string name = fieldNames.substr(start, end - start);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        while (!name.empty() && name.front() == ' ') name.erase(0, 1);
        if (!name.empty()) fields.push_back(&FieldByName(name));
        start = end + 1;
    }
    if (fields.empty() || fields.size() != values.size()) throw EDatabaseError("Field value required");
    const bool caseInsensitive = (options & loCaseInsensitive) != 0;
    const bool partial = (options & loPartialKey) != 0 && fields.back()->DataType() == TFieldType::ftString;
    const std::vector<std::uint8_t> home = cursor_->GetBookmark();
    std::vector<std::uint8_t> row(cursor_->RecordSize());

    // Through the active index when it starts with exactly these fields.
    const TKeyLayout& layout = cursor_->ActiveKeyLayout();
    bool indexed = !cursor_->InNaturalOrder() && layout.fields.size() >= fields.size() &&
                   layout.caseInsensitive == caseInsensitive;
    for (std::size_t i = 0; indexed && i < fields.size(); ++i) indexed = layout.fields[i].desc.FieldNo == fields[i]->FieldNo();
    bool found = false;
    if (indexed) {
        std::vector<std::uint8_t> key(cursor_->RecordSize(), 0);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            bool isNull = false;
            const auto data = fields[i]->DataFromText(values[i], isNull);
            cursor_->PutField(fields[i]->FieldNo(), key, data, isNull);
        }
        const int partialLength = partial ? static_cast<int>(values.back().size()) : 0;
        const int count = static_cast<int>(fields.size()) - (partial ? 1 : 0);
        found = cursor_->Find(true, key, count, partialLength, partialLength > 0, row);
    } else {
        // Through a filter: the conjunction of the fields' conditions.
        std::string text;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i > 0) text += " and ";
            text += "[" + fields[i]->FieldName() + "] = ";
            if (fields[i]->DataType() == TFieldType::ftString || fields[i]->DataType() == TFieldType::ftDate ||
                fields[i]->DataType() == TFieldType::ftTime) {
                std::string quoted;
                for (char c : values[i]) quoted += c == '\'' ? std::string("''") : std::string(1, c);
                text += "'" + quoted + (partial && i + 1 == fields.size() ? "*" : "") + "'";
            } else {
                bool isNull = false;
                fields[i]->DataFromText(values[i], isNull);  // refuses what is not a value of the type
                text += isNull ? std::string("NULL") : values[i];
            }
        }
        TFilter* filter = AddExprFilter(*cursor_, text, {.caseInsensitive = caseInsensitive, .noPartialCompare = !partial},
                                        {.countCheck = true});
        try {
            cursor_->ActivateFilter(filter);
            cursor_->SetToBegin();
            found = cursor_->GetNextRecord(row) == 0;
        } catch (...) {
            cursor_->DropFilter(filter);
            throw;
        }
        cursor_->DropFilter(filter);  // the cursor stays on the row found
    }
    if (!found) {
        cursor_->SetToBookmark(home, true);
        return false;
    }
    if (BeforeScroll) BeforeScroll(*this);
    ReadCurrentRow();
    return true;
}

int TRERUZODataSet::RecordCount() const { return Active() ? cursor_->GetRecordCount() : 0; }

std::int32_t TRERUZODataSet::RecNo() const {
    if (!Active() || !hasRow_) return 0;
    return cursor_->GetRecNo();
}

std::vector<std::uint8_t> TRERUZODataSet::GetBookmark() const {
    if (!Active() || !hasRow_) return {};
    return cursor_->GetBookmark();
}

bool TRERUZODataSet::GotoBookmark(const std::vector<std::uint8_t>& bookmark) {
    if (!Active() || bookmark.empty()) return false;
    CheckBrowseMode();
    const bool found = cursor_->SetToBookmark(bookmark, false);
    ReadCurrentRow();
    return found;
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

TDataCursor& TRERUZOTable::CreateEngineCursor() {
    TRERUZODatabase& db = AttachDatabase();
    if (tableName_.empty()) throw EDatabaseError("Missing table name.");
    ownCursor_ = std::make_unique<TDataCursor>(*db.DirectoryObject());
    ownCursor_->SetTableName(tableName_.substr(0, 255));
    ownCursor_->SetExclusive(exclusive_);
    ownCursor_->SetReadOnly(readOnly_);
    ownCursor_->SetInMemory(inMemory_);
    TRERUZOSession* session = &db.Session();
    ownCursor_->PasswordCallback = [session] { return session->PasswordRequest(); };
    ownCursor_->OpenCursor();
    // A table whose files cannot be written opens read-only.
    readOnly_ = ownCursor_->ReadOnly();
    cursor_ = ownCursor_.get();  // the index is resolved through the open cursor
    ownCursor_->SetIndexName(ResolveIndexName());
    return *ownCursor_;
}

void TRERUZOTable::ReleaseEngineCursor() {
    if (ownCursor_) {
        try {
            ownCursor_->CloseCursor();
        } catch (const ERERUZOEngineError&) {
        }
        ownCursor_.reset();
    }
    DetachDatabase();
}

std::vector<TIndexDef> TRERUZOTable::TableIndexDefs() const {
    std::vector<TIndexDef> defs;
    if (!cursor_) return defs;
    const TIndexFile& index = cursor_->Table().Index();
    const auto& fields = cursor_->Fields();
    auto describe = [&](int slot, bool primary) {
        const TIndexDesc& d = index.Descriptor(slot);
        TIndexDef def;
        def.Name = d.Name;
        def.Primary = primary;
        def.Unique = d.Unique != 0;
        for (std::size_t i = 0; i < d.FieldCount && i < kMaxKeyFields; ++i) {
            const std::uint16_t no = d.FieldNumbers[i];
            if (!def.Fields.empty()) def.Fields += ";";
            if (no >= 1 && no <= fields.size()) def.Fields += fields[no - 1u].Name;
        }
        defs.push_back(def);
    };
    if (index.Descriptor(0).Defined()) describe(0, true);
    for (int s = 1; s <= index.Header().SecondaryCount; ++s) describe(s, false);
    return defs;
}

std::string TRERUZOTable::ResolveIndexName() const {
    if (indexFieldNames_.empty()) return indexName_;
    for (const TIndexDef& def : TableIndexDefs()) {
        if (SameText(def.Fields, indexFieldNames_)) return def.Name;
    }
    throw EDatabaseError(FormatText("No index for fields '%s'", indexFieldNames_));
}

void TRERUZOTable::ApplyIndex() {
    if (!Active()) return;
    CheckBrowseMode();
    cursor_->SetIndexName(ResolveIndexName());
    ReadCurrentRow();
}

void TRERUZOTable::SetIndexName(const std::string& name) {
    indexName_ = name;
    indexFieldNames_.clear();
    ApplyIndex();
}

void TRERUZOTable::SetIndexFieldNames(const std::string& names) {
    indexFieldNames_ = names;
    indexName_.clear();
    ApplyIndex();
}

}  // namespace reruzo
