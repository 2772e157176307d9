// The query component: a dataset whose rows are the result of an SQL statement. It
// keeps the statement's text as lines, finds ":name" parameter markers in it, prepares
// the statement through the engine's SQL layer, binds the parameter values, runs it,
// and then runs as a dataset on the result cursor the statement hands back (the
// statement owns that cursor). Navigation, fields, filters and editing are the
// dataset's; rows can be changed only on a live result with ReadOnly off.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/reruzo_dataset.h"
#include "engine/sql/sql_statement.h"

namespace reruzo {

// A parameter of a query: its name, its type and its value. A parameter that was never
// given a value (not even null) is unbound.
class TParam {
public:
    explicit TParam(std::string name = {}) : name_(std::move(name)) {}

    const std::string& Name() const { return name_; }
    TFieldType DataType() const { return dataType_; }
    void SetDataType(TFieldType type) { dataType_ = type; }
    bool Bound() const { return bound_; }
    bool IsNull() const { return IsNullValue(value_); }
    const TFieldValue& Value() const { return value_; }

    // Strings are bytes in the tables' code page, as fields hold them.
    void SetAsString(std::string text);
    void SetAsInteger(std::int64_t value);
    void SetAsFloat(double value);
    void SetAsBoolean(bool value);
    // A value of any kind; the type follows it unless one was set.
    void SetValue(TFieldValue value);
    void Clear();  // bound, to NULL

private:
    std::string name_;
    TFieldType dataType_ = TFieldType::ftUnknown;
    TFieldValue value_;
    bool bound_ = false;
};

// The parameters of a query, one per distinct name (ignoring letter case), in the
// order of their first marker.
class TParams {
public:
    std::size_t Count() const { return items_.size(); }
    TParam& operator[](std::size_t i) { return items_.at(i); }
    const TParam& operator[](std::size_t i) const { return items_.at(i); }
    TParam* FindParam(const std::string& name);
    // "Parameter '%s' not found" when there is none.
    TParam& ParamByName(const std::string& name);

private:
    friend class TRERUZOQuery;
    std::vector<TParam> items_;
};

class TRERUZOQuery;
class TRERUZOQueryDataLink;

// The lines of a query's SQL text. Every change closes the query and releases its
// statement.
class TSqlLines {
public:
    const std::vector<std::string>& Lines() const { return lines_; }
    std::size_t Count() const { return lines_.size(); }
    void Clear();
    void Add(std::string line);
    // Replaces the lines with those of `text` (split at line breaks).
    void SetText(const std::string& text);
    // The lines joined by line breaks.
    std::string Text() const;

private:
    friend class TRERUZOQuery;
    explicit TSqlLines(TRERUZOQuery& query) : query_(query) {}
    TRERUZOQuery& query_;
    std::vector<std::string> lines_;
};

// Progress of a running statement in percent; setting `abort` stops it.
using TQueryProgressEvent = std::function<void(TRERUZOQuery& query, int percent, bool& abort)>;

class TRERUZOQuery : public TRERUZODBDataSet {
public:
    TRERUZOQuery();
    ~TRERUZOQuery() override;

    std::string EngineVersion() const { return "3.01"; }
    void SetEngineVersion(const std::string&) {}

    TSqlLines& SQL() { return sql_; }
    const TSqlLines& SQL() const { return sql_; }
    // The text handed to the engine: the lines joined, with parameter markers made "?"
    // when ParamCheck found them.
    const std::string& Text() const { return text_; }
    bool ParamCheck() const { return paramCheck_; }
    void SetParamCheck(bool on);
    TParams& Params() { return params_; }
    const TParams& Params() const { return params_; }
    TParam& ParamByName(const std::string& name) { return params_.ParamByName(name); }

    // The master whose current row gives values to parameters that have none of their
    // own; while the query is open it runs again when the master moves. A source that
    // leads back to this query fails with "Circular data links are not allowed.".
    TDataSource* DataSource() const { return dataSource_; }
    void SetDataSource(TDataSource* source);

    // These take effect at the next preparation; changing one releases the statement
    // of a closed query and needs a closed query ("Cannot perform this operation on an
    // open dataset").
    bool RequestLive() const { return requestLive_; }
    void SetRequestLive(bool on);
    std::int32_t MaxRowCount() const { return maxRowCount_; }
    void SetMaxRowCount(std::int32_t count);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool on);

    TQueryProgressEvent OnQueryProgress;
    TQueryProgressEvent OnSaveProgress;

    // Prepares the statement without running it (Open prepares when needed).
    void Prepare();
    // Runs the statement, or every statement of a script, without opening the query:
    // the way to run INSERT, UPDATE and DELETE (a SELECT runs and its result is
    // dropped). Parameters bind as for Open. A script is prepared anew each time.
    void ExecSQL();
    // The rows the last ExecSQL inserted, updated or deleted (for a SELECT the rows of
    // its result; the sum over a script); -1 before the first and after a failure.
    std::int32_t RowsAffected() const { return rowsAffected_; }
    // Releases the statement (closing the query).
    void Unprepare();
    bool Prepared() const { return statement_ != nullptr; }
    // The statement of a prepared query; nullptr otherwise.
    TQueryStatement* Statement() const { return statement_.get(); }
    // Whether the open query runs on a live result (the source table's own cursor).
    bool LiveResult() const;

protected:
    TDataCursor& CreateEngineCursor() override;
    void ReleaseEngineCursor() override;
    bool CanModify() const override;

private:
    friend class TSqlLines;
    friend class TRERUZOQueryDataLink;
    void SqlChanged();
    // Finds the ":name" markers of the joined text (unless it is a script) and
    // rebuilds Params, keeping the values of names that stay.
    void ParseParams();
    std::vector<TParamValue> BoundValues() const;
    void RequireClosed() const;
    void MasterChanged();

    TSqlLines sql_{*this};
    std::string text_;
    bool paramCheck_ = true;
    TParams params_;
    std::vector<std::size_t> markers_;  // per "?" of the text: its parameter
    TDataSource* dataSource_ = nullptr;
    std::unique_ptr<TRERUZOQueryDataLink> masterLink_;
    bool requestLive_ = false;
    std::int32_t maxRowCount_ = -1;
    bool readOnly_ = false;
    std::unique_ptr<TQueryStatement> statement_;
    std::int32_t rowsAffected_ = -1;
};

}  // namespace reruzo
