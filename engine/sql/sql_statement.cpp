// SQL statements: preparing a text statement by statement, the dispatch on the first
// keyword, parameters, and the queries a statement owns.
#include "engine/sql/sql_statement.h"

#include <cstring>
#include <limits>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/table/data_session.h"

namespace reruzo {
namespace {

// The handle a sub-select node keeps of its query, which the statement owns.
class TSubSelectQuery : public TSubSelect {
public:
    explicit TSubSelectQuery(TDataQuery& query) : query_(query) {}
    void Validate() override { query_.Prepare(); }
    int ColumnCount() const override { return static_cast<int>(query_.resultFields.size()); }
    void DescribeColumn(TExpToken& into) const override {
        const TFieldDesc& d = query_.resultFields.front().desc;
        into.dataType = d.FieldType;
        into.subType = d.SubType;
        into.dataSize = d.DataSize;
        into.scale = d.Scale;
    }
    bool Contains(const TExpToken& value) override { return query_.Contains(value); }
    std::unique_ptr<TSubSelect> Clone() const override { return std::make_unique<TSubSelectQuery>(query_); }

private:
    TDataQuery& query_;
};

}  // namespace

namespace {

template <typename T>
TParamValue NumberParam(std::uint8_t type, T value) {
    TParamValue p{type, kSubNone, std::vector<std::uint8_t>(sizeof value), false};
    PutLE(p.value.data(), value);
    return p;
}

}  // namespace

TParamValue IntegerParam(std::int64_t value) {
    if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
        return NumberParam(kFieldInteger, static_cast<std::int32_t>(value));
    }
    return NumberParam(kFieldLargeInt, value);
}

TParamValue FloatParam(double value) { return NumberParam(kFieldFloat, value); }

TParamValue BooleanParam(bool value) { return NumberParam<std::uint16_t>(kFieldBoolean, value ? 1 : 0); }

TParamValue StringParam(std::string_view text) {
    TParamValue p{kFieldString, kSubNone, std::vector<std::uint8_t>(text.begin(), text.end()), false};
    p.value.push_back(0);
    return p;
}

TQueryStatement::TQueryStatement(TDataDirectory& directory, bool requestLive, std::int32_t maxRowCount,
                                 TProgress progress)
    : directory_(directory), requestLive_(requestLive), maxRowCount_(maxRowCount), progress_(std::move(progress)) {}

TQueryStatement::~TQueryStatement() { Unprepare(); }

TDataQuery& TQueryStatement::NewQuery() {
    queries_.push_back(std::make_unique<TDataQuery>(*this));
    return *queries_.back();
}

void TQueryStatement::Prepare(std::string_view text) {
    Parse(text);
    PrepareQueries();
}

void TQueryStatement::Parse(std::string_view text) {
    Unprepare();
    parser_.SetErrorCode(RERUZO_SQLPARSE);
    parser_.SetErrorTableName("");
    parser_.SetContextName("SQL statement");
    parser_.SetText(text);
    parser_.NextToken();
    ParseStatement();
}

void TQueryStatement::ParseNext() {
    Unprepare();
    ParseStatement();
}

void TQueryStatement::PrepareNext() {
    ParseNext();
    PrepareQueries();
}

void TQueryStatement::PrepareQueries() {
    for (const auto& query : queries_) query->Prepare();
}

void TQueryStatement::ExecuteCurrent() {
    // Sub-selects and the parts after UNION first, so that each has its result before
    // the query that reads it.
    for (std::size_t i = queries_.size(); i-- > 1;) queries_[i]->Execute();
    main_->Execute();
    executionTime = main_->executionTime;
    rowCount = main_->rowCount;
}

void TQueryStatement::Execute() {
    double time = 0;
    std::int32_t rows = 0;
    for (;;) {
        ExecuteCurrent();
        time += executionTime;
        rows += rowCount;
        if (!MoreStatements()) break;
        PrepareNext();
    }
    executionTime = time;
    rowCount = rows;
}

void TQueryStatement::ParseStatement() {
    parameters_.clear();
    main_ = &NewQuery();
    main_->Parse();
    kind_ = main_->kind;
}

void TQueryStatement::Unprepare() {
    // Results and source tables close first; sub-select nodes hold handles to
    // queries, so the trees go next, then the queries.
    for (auto& q : queries_) q->Close();
    for (auto& q : queries_) {
        q->where.reset();
        q->having.reset();
        q->resultFields.clear();
    }
    queries_.clear();
    parameters_.clear();
    main_ = nullptr;
    kind_ = skNone;
}

void TQueryStatement::SetParameters(const std::vector<TParamValue>& values) {
    if (values.size() > parameters_.size()) parser_.Fail("Internal parameter error");
    for (std::size_t i = 0; i < values.size(); ++i) {
        TExpToken& node = *parameters_[i];
        const TParamValue& v = values[i];
        node.dataType = v.dataType;
        node.subType = v.subType;
        node.isNull = v.isNull;
        node.dataSize = static_cast<std::uint32_t>(v.value.size());
        node.Reserve(std::max<std::size_t>(v.value.size(), 1));
        std::fill(node.value.begin(), node.value.end(), std::uint8_t{0});
        if (!v.value.empty()) std::memcpy(node.value.data(), v.value.data(), v.value.size());
    }
}

std::unique_ptr<TSubSelect> TQueryStatement::ParseSubSelect(TExpressionParser&) {
    TDataQuery& query = NewQuery();
    query.subSelect = true;
    query.requestLive = true;
    // The clause that holds the sub-select goes on after it.
    const std::string context = parser_.ContextName();
    query.Parse();
    parser_.SetContextName(context);
    return std::make_unique<TSubSelectQuery>(query);
}

// ---- Statement dispatch ---------------------------------------------------------------------

void TDataQuery::Parse() {
    TExpressionParser& p = statement_.Parser();
    auto expected = [&p](const std::string& message) { p.Fail(message + p.TokenText() + "'"); };
    if (subSelect || unionPart) {
        if (!p.TokenIs("SELECT")) expected("SELECT keyword expected, instead found '");
        kind = skSelect;
        ParseSelect();
        return;
    }
    const bool isMain = statement_.Queries().front().get() == this;
    if (p.TokenIs("SELECT")) {
        kind = skSelect;
    } else if (p.TokenIs("INSERT")) {
        kind = skInsert;
    } else if (p.TokenIs("UPDATE")) {
        kind = skUpdate;
    } else if (p.TokenIs("DELETE")) {
        kind = skDelete;
    } else if (p.TokenIs("CREATE")) {
        p.NextToken();
        if (p.TokenIs("TABLE")) {
            kind = skCreateTable;
        } else if (p.TokenIs("INDEX") || p.TokenIs("UNIQUE") || p.TokenIs("ASC") || p.TokenIs("ASCENDING") ||
                   p.TokenIs("DESC") || p.TokenIs("DESCENDING") || p.TokenIs("NOCASE")) {
            kind = skCreateIndex;
        } else {
            expected("TABLE or INDEX keyword expected, instead found '");
        }
    } else if (p.TokenIs("ALTER")) {
        p.NextToken();
        if (!p.TokenIs("TABLE")) expected("TABLE keyword expected, instead found '");
        kind = skAlterTable;
    } else if (p.TokenIs("DROP")) {
        p.NextToken();
        if (p.TokenIs("TABLE")) {
            kind = skDropTable;
        } else if (p.TokenIs("INDEX")) {
            kind = skDropIndex;
        } else {
            expected("TABLE or INDEX keyword expected, instead found '");
        }
    } else {
        expected("SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '");
    }
    if (kind == skSelect) {
        requestLive = isMain ? statement_.RequestLive() : true;
        maxRowCount = isMain ? statement_.MaxRowCount() : -1;
        ParseSelect();
        return;
    }
    requestLive = true;
    maxRowCount = -1;
    switch (kind) {
        case skInsert: return ParseInsert();
        case skUpdate: return ParseUpdate();
        case skDelete: return ParseDelete();
        case skCreateTable: return ParseCreateTable();
        case skCreateIndex: return ParseCreateIndex();
        case skAlterTable: return ParseAlterTable();
        case skDropTable: return ParseDropTable();
        case skDropIndex: return ParseDropIndex();
        default: break;
    }
}

}  // namespace reruzo
