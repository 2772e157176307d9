// Dataset components: TRERUZODataSet gives row-at-a-time access to the records of
// an engine table with a current row, typed fields and data links through which
// data-bound controls read the rows; TRERUZOTable names one physical table.
//
// Every open dataset drives one engine cursor (TDataCursor): rows come in the order of
// the cursor's active index (or in natural order), and the current row is copied into
// the dataset's record buffer, from which every field reads through the engine's field
// descriptor. RERUZO_BOF and RERUZO_EOF from the cursor are outcomes, not errors.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "components/reruzo_session.h"
#include "engine/table/data_cursor.h"
#include "engine/storage/data_file.h"

namespace reruzo {

enum class TFieldType {
    ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency,
    ftBCD, ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo,
    ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftLargeint, ftADT,
    ftArray, ftReference, ftDataSet,
};

// The dataset field type of an engine field (type code and subtype); ftUnknown for
// codes that produce no field.
TFieldType DataSetFieldType(std::uint8_t engineType, std::uint8_t subType);

struct TFieldDef;
std::vector<TFieldDef> MakeFieldDefs(const std::vector<TFieldDesc>& descs);

struct TFieldDef {
    std::string Name;
    TFieldType DataType = TFieldType::ftUnknown;
    int Size = 0;
    int Precision = 0;
    int FieldNo = 0;  // the engine field's number
    bool Required = false;
};

// A field value as a variant: null, or the typed value.
using TFieldValue = std::variant<std::monostate, std::int64_t, double, bool, std::string>;
inline bool IsNullValue(const TFieldValue& v) { return std::holds_alternative<std::monostate>(v); }

class TRERUZODataSet;

class TField {
public:
    TField(TRERUZODataSet& dataset, TFieldDef def, const TFieldDesc& desc);

    const std::string& FieldName() const { return def_.Name; }
    TFieldType DataType() const { return def_.DataType; }
    int Size() const { return def_.Size; }
    int FieldNo() const { return def_.FieldNo; }

    bool IsNull() const;
    // The value as text; a null value reads as the empty string.
    std::string AsString() const;
    // The value as a 32-bit integer; null reads as 0. Text that is no integer fails
    // with "'%s' is not a valid integer value".
    std::int32_t AsInteger() const;
    TFieldValue Value() const;

    // Writing into the current row buffer (edit, insert, set-key, calc-fields or
    // filter state: "Table is not in edit or insert mode." otherwise). Text is cut to
    // a string field's size; text for a number must convert ("'%s' is not a valid
    // integer value"); the empty text stores NULL in fields other than strings.
    void SetAsString(const std::string& text);
    // The field data `text` stands for (DataSize bytes), and whether it is NULL.
    std::vector<std::uint8_t> DataFromText(const std::string& text, bool& isNull) const;
    void SetAsInteger(std::int64_t value);
    void Clear();  // stores NULL

    // BLOB fields (memo, binary, formatted memo, graphic, typed binary): the value is
    // read whole on first use and written when the row is posted. AsString gives a
    // BLOB's bytes (a memo's text in the tables' code page) and SetAsString replaces
    // them; an empty BLOB is NULL.
    bool IsBlob() const { return desc_.FieldType == kFieldBlob; }
    std::uint64_t BlobSize() const;
    // Copies up to out.size() bytes from `offset`; returns how many there were.
    std::size_t ReadBlob(std::uint64_t offset, std::span<std::uint8_t> out) const;
    // Writes at `offset`, growing the BLOB; edit or insert state only.
    void WriteBlob(std::uint64_t offset, std::span<const std::uint8_t> data);
    void TruncateBlob(std::uint64_t size);

private:
    void Store(std::span<const std::uint8_t> data, bool isNull);
    // Edit, insert, set-key, calc-fields or filter state ("Table is not in edit or
    // insert mode." otherwise).
    void RequireWritableState() const;
    std::string BlobText() const;

    // The current row's record, empty when there is none.
    std::span<const std::uint8_t> Record() const;

    TRERUZODataSet& dataset_;
    TFieldDef def_;
    TFieldDesc desc_;
};

// Receives the notifications of a dataset (data-bound controls attach one).
class TDataLink {
public:
    virtual ~TDataLink() = default;
    virtual void ActiveChanged() {}     // opened or closed
    virtual void DataSetScrolled() {}   // the current row moved
    virtual void DataSetDestroyed() {}  // the dataset is going away: drop every reference
    virtual void UpdateData() {}        // write pending input into the row buffer
};

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter };

// Locate options: a set of these flags.
enum TLocateOption : unsigned { loCaseInsensitive = 1, loPartialKey = 2 };

// FilterOptions: a set of these flags.
enum TFilterOption : unsigned { foCaseInsensitive = 1, foNoPartialCompare = 2 };
using TFilterOptions = unsigned;

// OnFilterRecord: the dataset shows the record in question as its current row (in
// filter state); clearing `accept` hides it.
using TFilterRecordEvent = std::function<void(class TRERUZODataSet& dataset, bool& accept)>;

class TRERUZODataSet {
public:
    TRERUZODataSet();
    virtual ~TRERUZODataSet();
    TRERUZODataSet(const TRERUZODataSet&) = delete;
    TRERUZODataSet& operator=(const TRERUZODataSet&) = delete;

    // Opening an open dataset and closing a closed one do nothing. A failed open
    // leaves the dataset inactive.
    void Open();
    void Close();
    bool Active() const { return state_ != TDataSetState::dsInactive; }
    void SetActive(bool on) { on ? Open() : Close(); }
    TDataSetState State() const { return state_; }

    void First();
    void Next();
    void Prior();
    void Last();
    bool Eof() const { return eof_; }
    bool Bof() const { return bof_; }
    int RecordCount() const;
    // The position of the current row in the view (1-based); 0 without one.
    std::int32_t RecNo() const;
    // The bookmark of the current row, and moving back to it (false when its row is
    // gone; the dataset then stands on the nearest row).
    std::vector<std::uint8_t> GetBookmark() const;
    bool GotoBookmark(const std::vector<std::uint8_t>& bookmark);
    // Editing. Edit locks the current row (an empty dataset starts an insert instead);
    // Insert and Append start a new row from the table's defaults; Post writes the
    // pending row (a failed Post keeps the state and the buffer); Cancel drops it;
    // Delete removes the current row. Moving off a pending row posts it when a field
    // was written, and cancels it otherwise.
    void Edit();
    void Insert();
    void Append() { Insert(); }
    void Post();
    void Cancel();
    void Delete();
    // Asks the data-bound controls to write their pending input into the row buffer.
    void UpdateRecord();
    void CheckBrowseMode();
    // Moves to the first row whose fields (names separated by ";") hold the values,
    // through the active index when it starts with those fields, else through a
    // filter; with loPartialKey a string value only has to begin the last field.
    // False, the dataset staying where it was, when no row matches.
    bool Locate(const std::string& fieldNames, const std::vector<std::string>& values, unsigned options);
    bool Modified() const { return modified_; }
    // The engine cursor of the open dataset; nullptr while closed.
    TDataCursor* Cursor() const { return cursor_; }

    const std::vector<TFieldDef>& FieldDefs() const { return fieldDefs_; }
    const std::vector<std::unique_ptr<TField>>& Fields() const { return fields_; }
    // The field of that name (ignoring letter case); "Field '%s' not found" otherwise.
    TField& FieldByName(const std::string& name) const;
    TField* FindField(const std::string& name) const;
    TFieldValue FieldValues(const std::string& name) const { return FieldByName(name).Value(); }

    // The filter text, an expression of the engine's expression language. On an open
    // dataset a new text or new options make a new filter on the cursor (an invalid
    // text fails with the engine's error and leaves the previous filter in force);
    // while filtered it replaces the old one and the dataset moves to its first row.
    const std::string& Filter() const { return filter_; }
    void SetFilter(const std::string& text) { ChangeFilter(text, filterOptions_); }
    TFilterOptions FilterOptions() const { return filterOptions_; }
    void SetFilterOptions(TFilterOptions options) { ChangeFilter(filter_, options); }
    // Switches the expression filter and OnFilterRecord on or off; the dataset moves
    // to its first row, also when the value stays.
    bool Filtered() const { return filtered_; }
    void SetFiltered(bool on);
    const TFilterRecordEvent& OnFilterRecord() const { return onFilterRecord_; }
    void SetOnFilterRecord(TFilterRecordEvent handler);
    bool AutoDisplayLabels() const { return autoDisplayLabels_; }
    void SetAutoDisplayLabels(bool on) { autoDisplayLabels_ = on; }
    bool CopyOnAppend() const { return copyOnAppend_; }
    void SetCopyOnAppend(bool on) { copyOnAppend_ = on; }

    void AddDataLink(TDataLink* link);
    void RemoveDataLink(TDataLink* link);

    // Events.
    std::function<void(TRERUZODataSet&)> BeforeOpen;
    std::function<void(TRERUZODataSet&)> AfterOpen;
    std::function<void(TRERUZODataSet&)> BeforeClose;
    std::function<void(TRERUZODataSet&)> AfterClose;
    std::function<void(TRERUZODataSet&)> BeforeScroll;
    std::function<void(TRERUZODataSet&)> BeforePost;
    std::function<void(TRERUZODataSet&)> AfterPost;
    std::function<void(TRERUZODataSet&)> OnNewRecord;
    std::function<void(TRERUZODataSet&)> AfterScroll;

protected:
    // Makes and opens the engine cursor the dataset runs on, which the subclass owns;
    // raises on failure.
    virtual TDataCursor& CreateEngineCursor() = 0;
    // Gives the cursor back (closing and freeing it) when the dataset closes, also
    // after a failed open.
    virtual void ReleaseEngineCursor() {}
    // Whether rows may be edited, inserted and deleted ("Cannot modify a read-only
    // dataset." otherwise); asked when the dataset opens.
    virtual bool CanModify() const { return true; }
    // Reads the cursor's current row into the buffer after the cursor moved.
    void ReadCurrentRow();
    TDataCursor* cursor_ = nullptr;

private:
    friend class TField;
    void BuildFields();
    // Applies a fetch status: 0 takes `row` as the current row.
    void TakeRow(std::uint16_t status, std::vector<std::uint8_t>& row, bool forward);
    void NotifyScrolled();
    void ChangeFilter(const std::string& text, TFilterOptions options);
    void RequireModifiable() const;
    TFilter* MakeExpressionFilter(const std::string& text, TFilterOptions options);
    TFilter* MakeCallbackFilter();
    // Activates (or deactivates) the expression filter and the callback filter.
    void SwitchFilters(bool on);

    TDataSetState state_ = TDataSetState::dsInactive;
    std::vector<std::uint8_t> current_;   // record buffer of the current row
    bool hasRow_ = false;
    bool eof_ = true;
    bool bof_ = true;
    std::vector<TFieldDef> fieldDefs_;
    std::vector<std::unique_ptr<TField>> fields_;
    std::string filter_;
    TFilterOptions filterOptions_ = 0;
    bool filtered_ = false;
    TFilterRecordEvent onFilterRecord_;
    bool modified_ = false;
    bool canModify_ = true;
    std::vector<std::uint8_t> old_;  // the row as it was before Edit or Insert
    bool oldHasRow_ = false;
    TFilter* exprFilter_ = nullptr;      // made from Filter, on the open cursor
    TFilter* callbackFilter_ = nullptr;  // made for OnFilterRecord
    bool autoDisplayLabels_ = false;
    bool copyOnAppend_ = false;
    std::vector<TDataLink*> links_;
};

// A dataset bound to a database and a session by name.
class TRERUZODBDataSet : public TRERUZODataSet {
public:
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const std::string& name);
    const std::string& SessionName() const { return sessionName_; }
    void SetSessionName(const std::string& name);
    // The database the open dataset uses; nullptr while closed.
    TRERUZODatabase* Database() const { return database_; }
    // The name of the owning form (to find databases of the same owner).
    void SetOwnerName(std::string name) { ownerName_ = std::move(name); }

protected:
    // Finds (or makes) the database through the session and joins it.
    TRERUZODatabase& AttachDatabase();
    void DetachDatabase();

private:
    std::string databaseName_;
    std::string sessionName_;
    std::string ownerName_;
    TRERUZODatabase* database_ = nullptr;
};

struct TIndexDef {
    std::string Name;
    std::string Fields;  // field names separated by ";"
    bool Primary = false;
    bool Unique = false;
};

class TRERUZOTable : public TRERUZODBDataSet {
public:
    ~TRERUZOTable() override;

    std::string EngineVersion() const { return "3.01"; }
    void SetEngineVersion(const std::string&) {}
    const std::string& TableName() const { return tableName_; }
    // The table settings can only change while the table is closed ("Cannot perform
    // this operation on an open dataset").
    void SetTableName(const std::string& name);
    const std::string& IndexName() const { return indexName_; }
    // On an open table the rows are read again in the new order.
    void SetIndexName(const std::string& name);
    bool Exclusive() const { return exclusive_; }
    void SetExclusive(bool on);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool on);
    bool InMemory() const { return inMemory_; }
    // Switching on also names the in-memory database "Memory".
    void SetInMemory(bool on);
    bool StoreDefs() const { return storeDefs_; }
    void SetStoreDefs(bool on) { storeDefs_ = on; }
    // The engine table object of the open table; nullptr while closed.
    TDataTable* DataTable() const { return cursor_ ? &cursor_->Table() : nullptr; }
    TDataFile* DataFile() const { return cursor_ ? &cursor_->Table().Data() : nullptr; }
    // Index definitions of the open table (from its index file).
    std::vector<TIndexDef> TableIndexDefs() const;
    // The order by key field names ("keyid" or "a;b"): the index whose fields match.
    const std::string& IndexFieldNames() const { return indexFieldNames_; }
    void SetIndexFieldNames(const std::string& names);
    // The definitions kept with the component; opening takes the table's own.
    std::vector<TFieldDef>& StoredFieldDefs() { return storedFieldDefs_; }
    std::vector<TIndexDef>& IndexDefs() { return indexDefs_; }

protected:
    TDataCursor& CreateEngineCursor() override;
    void ReleaseEngineCursor() override;

private:
    void RequireClosed() const;
    // The index the cursor should use: IndexName, or the index IndexFieldNames names.
    std::string ResolveIndexName() const;
    void ApplyIndex();

    std::unique_ptr<TDataCursor> ownCursor_;
    bool inMemory_ = false;
    std::string indexFieldNames_;
    std::string tableName_;
    std::string indexName_;
    bool exclusive_ = false;
    bool readOnly_ = false;
    bool storeDefs_ = false;
    std::vector<TFieldDef> storedFieldDefs_;
    std::vector<TIndexDef> indexDefs_;
};

// Links a dataset to data-bound controls.
class TDataSource {
public:
    TRERUZODataSet* DataSet() const { return dataset_; }
    void SetDataSet(TRERUZODataSet* dataset) { dataset_ = dataset; }

private:
    TRERUZODataSet* dataset_ = nullptr;
};

}  // namespace reruzo
