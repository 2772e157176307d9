// The query component: SQL lines, parameters, preparing and running the statement,
// and the dataset on its result.
#include "components/reruzo_query.h"

#include <algorithm>
#include <cctype>

#include "components/component_text.h"
#include "engine/errors/engine_errors.h"
#include "engine/table/data_session.h"

namespace reruzo {
namespace {

bool IsNameByte(unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; }

// Whether the text holds a ";" followed by more than line breaks and blanks: a script
// of several statements.
bool IsScript(const std::string& text) {
    const auto semicolon = text.find(';');
    return semicolon != std::string::npos && text.find_first_not_of(" \t\r\n;", semicolon) != std::string::npos;
}

// The text with every ":name" marker outside quotes, brackets and comments made "?",
// and the marker names in order.
std::string ReplaceMarkers(const std::string& text, std::vector<std::string>& names) {
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const char c = text[i];
        if (c == '\'' || c == '"' || c == '[') {
            // Copied whole: a string (with doubled delimiters inside) or a bracketed name.
            const char close = c == '[' ? ']' : c;
            std::size_t j = i + 1;
            while (j < n) {
                if (text[j] == close) {
                    if (close != ']' && j + 1 < n && text[j + 1] == close) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            const std::size_t end = std::min(n, j + 1);
            out.append(text, i, end - i);
            i = end;
        } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            const auto close = text.find("*/", i + 2);
            const std::size_t end = close == std::string::npos ? n : close + 2;
            out.append(text, i, end - i);
            i = end;
        } else if (c == ':' && i + 1 < n && IsNameByte(static_cast<unsigned char>(text[i + 1]))) {
            std::size_t j = i + 1;
            while (j < n && IsNameByte(static_cast<unsigned char>(text[j]))) ++j;
            names.push_back(text.substr(i + 1, j - i - 1));
            out += '?';
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

TFieldType TypeOf(const TFieldValue& v) {
    if (std::holds_alternative<std::int64_t>(v)) return TFieldType::ftInteger;
    if (std::holds_alternative<double>(v)) return TFieldType::ftFloat;
    if (std::holds_alternative<bool>(v)) return TFieldType::ftBoolean;
    if (std::holds_alternative<std::string>(v)) return TFieldType::ftString;
    return TFieldType::ftUnknown;
}

TParamValue EngineValue(const TFieldValue& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return IntegerParam(*i);
    if (const auto* d = std::get_if<double>(&v)) return FloatParam(*d);
    if (const auto* b = std::get_if<bool>(&v)) return BooleanParam(*b);
    if (const auto* s = std::get_if<std::string>(&v)) return StringParam(*s);
    return TParamValue{};
}

}  // namespace

// ---- Parameters ---------------------------------------------------------------------

void TParam::SetValue(TFieldValue value) {
    if (dataType_ == TFieldType::ftUnknown) dataType_ = TypeOf(value);
    value_ = std::move(value);
    bound_ = true;
}

void TParam::SetAsString(std::string text) {
    dataType_ = TFieldType::ftString;
    SetValue(std::move(text));
}

void TParam::SetAsInteger(std::int64_t value) {
    dataType_ = TFieldType::ftInteger;
    SetValue(value);
}

void TParam::SetAsFloat(double value) {
    dataType_ = TFieldType::ftFloat;
    SetValue(value);
}

void TParam::SetAsBoolean(bool value) {
    dataType_ = TFieldType::ftBoolean;
    SetValue(value);
}

void TParam::Clear() { SetValue(std::monostate{}); }

TParam* TParams::FindParam(const std::string& name) {
    for (TParam& p : items_) {
        if (SameText(p.Name(), name)) return &p;
    }
    return nullptr;
}

TParam& TParams::ParamByName(const std::string& name) {
    if (TParam* p = FindParam(name)) return *p;
    throw EDatabaseError(FormatText("Parameter '%s' not found", name));
}

// ---- SQL lines ----------------------------------------------------------------------

void TSqlLines::Clear() {
    lines_.clear();
    query_.SqlChanged();
}

void TSqlLines::Add(std::string line) {
    lines_.push_back(std::move(line));
    query_.SqlChanged();
}

void TSqlLines::SetText(const std::string& text) {
    lines_.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (end < text.size() || !line.empty()) lines_.push_back(std::move(line));
        start = end + 1;
    }
    query_.SqlChanged();
}

std::string TSqlLines::Text() const {
    std::string text;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (i > 0) text += '\n';
        text += lines_[i];
    }
    return text;
}

// ---- The master link ----------------------------------------------------------------

// Runs an open query again when its master opens or moves, so that its parameters
// follow the master's current row.
class TRERUZOQueryDataLink : public TDataLink {
public:
    TRERUZOQueryDataLink(TRERUZOQuery& query, TRERUZODataSet& master) : query_(query), master_(&master) {
        master.AddDataLink(this);
    }
    ~TRERUZOQueryDataLink() override {
        if (master_) master_->RemoveDataLink(this);
    }
    void ActiveChanged() override { query_.MasterChanged(); }
    void DataSetScrolled() override { query_.MasterChanged(); }
    void DataSetDestroyed() override { master_ = nullptr; }
    TRERUZODataSet* Master() const { return master_; }

private:
    TRERUZOQuery& query_;
    TRERUZODataSet* master_;
};

// ---- The query ----------------------------------------------------------------------

TRERUZOQuery::TRERUZOQuery() = default;

TRERUZOQuery::~TRERUZOQuery() {
    Close();
    masterLink_.reset();
}

void TRERUZOQuery::RequireClosed() const {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
}

void TRERUZOQuery::SqlChanged() {
    Close();
    Unprepare();
    text_ = sql_.Text();
    ParseParams();
}

void TRERUZOQuery::SetParamCheck(bool on) {
    if (paramCheck_ == on) return;
    paramCheck_ = on;
    SqlChanged();
}

void TRERUZOQuery::ParseParams() {
    markers_.clear();
    std::vector<std::string> names;
    if (paramCheck_ && !IsScript(text_)) text_ = ReplaceMarkers(text_, names);
    TParams fresh;
    for (const std::string& name : names) {
        TParam* p = fresh.FindParam(name);
        if (!p) {
            // A parameter that keeps its name keeps its type and value.
            const TParam* old = params_.FindParam(name);
            fresh.items_.push_back(old ? *old : TParam(name));
            p = &fresh.items_.back();
        }
        markers_.push_back(static_cast<std::size_t>(p - fresh.items_.data()));
    }
    params_ = std::move(fresh);
}

void TRERUZOQuery::SetDataSource(TDataSource* source) {
    for (TDataSource* s = source; s && s->DataSet();) {
        if (s->DataSet() == this) throw EDatabaseError("Circular data links are not allowed.");
        const auto* query = dynamic_cast<const TRERUZOQuery*>(s->DataSet());
        s = query ? query->DataSource() : nullptr;
    }
    masterLink_.reset();
    dataSource_ = source;
    if (source && source->DataSet()) masterLink_ = std::make_unique<TRERUZOQueryDataLink>(*this, *source->DataSet());
}

void TRERUZOQuery::MasterChanged() {
    if (!Active()) return;
    Close();
    Open();
}

void TRERUZOQuery::SetRequestLive(bool on) {
    RequireClosed();
    requestLive_ = on;
    Unprepare();
}

void TRERUZOQuery::SetMaxRowCount(std::int32_t count) {
    RequireClosed();
    maxRowCount_ = count;
    Unprepare();
}

void TRERUZOQuery::SetReadOnly(bool on) {
    RequireClosed();
    readOnly_ = on;
}

void TRERUZOQuery::Prepare() {
    if (Prepared() && Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
    if (Prepared()) return;
    if (sql_.Count() == 0 || text_.size() < 2) throw EDatabaseError("No SQL statement available");
    TRERUZODatabase& db = AttachDatabase();
    try {
        TQueryStatement::TProgress progress;
        if (OnQueryProgress) {
            progress = [this](int percent) {
                bool abort = false;
                OnQueryProgress(*this, percent, abort);
                return !abort;
            };
        }
        auto statement =
            std::make_unique<TQueryStatement>(*db.DirectoryObject(), requestLive_, maxRowCount_, std::move(progress));
        statement->Prepare(text_);
        statement_ = std::move(statement);
    } catch (...) {
        if (!Active()) DetachDatabase();
        throw;
    }
}

void TRERUZOQuery::ExecSQL() {
    rowsAffected_ = -1;
    Prepare();
    const bool script = statement_->MoreStatements();
    try {
        if (!markers_.empty()) statement_->SetParameters(BoundValues());
        statement_->Execute();
    } catch (...) {
        Unprepare();
        throw;
    }
    rowsAffected_ = statement_->rowCount;
    // A script's statement now holds its last statement only: the next run starts
    // from the first again. A SELECT's result is not kept.
    if (script || statement_->Kind() == skSelect) Unprepare();
}

void TRERUZOQuery::Unprepare() {
    Close();
    statement_.reset();
    DetachDatabase();
}

std::vector<TParamValue> TRERUZOQuery::BoundValues() const {
    TRERUZODataSet* master = masterLink_ ? masterLink_->Master() : nullptr;
    std::vector<TParamValue> values;
    for (const std::size_t index : markers_) {
        const TParam& p = params_[index];
        if (p.Bound()) {
            values.push_back(EngineValue(p.Value()));
        } else if (const TField* f = master && master->Active() ? master->FindField(p.Name()) : nullptr) {
            values.push_back(EngineValue(f->Value()));
        } else {
            throw EDatabaseError(FormatText("No value for parameter '%s'", p.Name()));
        }
    }
    return values;
}

TDataCursor& TRERUZOQuery::CreateEngineCursor() {
    Prepare();
    try {
        if (!markers_.empty()) statement_->SetParameters(BoundValues());
        statement_->Execute();
        TDataCursor* result = statement_->ResultCursor();
        if (!result) throw EDatabaseError("The statement returned no result");
        return *result;
    } catch (...) {
        statement_.reset();
        throw;
    }
}

void TRERUZOQuery::ReleaseEngineCursor() {
    // The result cursor belongs to the statement: freeing it closes the result (and
    // deletes a temporary result table).
    statement_.reset();
    DetachDatabase();
}

bool TRERUZOQuery::LiveResult() const {
    return Active() && statement_ && statement_->MainQuery() && statement_->MainQuery()->live;
}

bool TRERUZOQuery::CanModify() const {
    return !readOnly_ && statement_ && statement_->MainQuery() && statement_->MainQuery()->live;
}

}  // namespace reruzo
