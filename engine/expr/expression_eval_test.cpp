// Table-driven tests of expression evaluation: NULL rules of every operator, the
// right-first short circuit of AND and OR, LIKE, string comparison with and without a
// language, date and time arithmetic, the functions, CAST text forms and their
// failures, record columns and the node pool staying balanced.
//
// Trees are parsed and then typed by hand (column nodes get type, size and number
// from the test's column set), so these tests do not depend on validation.
#include "engine/expr/expression_eval.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression_check.h"
#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"

namespace reruzo {
namespace {

constexpr unsigned kFlags = pfAllowExtendedPredicates | pfAllowAggregates | pfAllowAllColumns;

// ---- Values -------------------------------------------------------------------------------

TExpToken* Value(std::uint8_t type, const void* bytes, std::size_t size, std::uint8_t subType = 0) {
    TExpToken* n = AcquireNode();
    n->kind = nkConstant;
    n->dataType = type;
    n->subType = subType;
    n->dataSize = static_cast<std::uint32_t>(size);
    n->Reserve(size + 1);
    if (size > 0) std::memcpy(n->value.data(), bytes, size);
    return n;
}
TExpToken* Null(std::uint8_t type, std::uint32_t size) {
    TExpToken* n = Value(type, nullptr, 0);
    n->dataSize = size;
    n->isNull = true;
    return n;
}
TExpToken* Str(const std::string& s, std::uint32_t declared = 20) {
    TExpToken* n = Value(kFieldString, s.data(), s.size());
    n->dataSize = declared + 1;
    n->isNull = s.empty();
    return n;
}
TExpToken* Memo(const std::string& s) { return Value(kFieldBlob, s.data(), s.size(), kSubMemo); }
TExpToken* I32(std::int32_t v) { return Value(kFieldInteger, &v, 4); }
TExpToken* I64(std::int64_t v) { return Value(kFieldLargeInt, &v, 8); }
TExpToken* F64(double v) { return Value(kFieldFloat, &v, 8); }
TExpToken* Bool(bool b) {
    const std::uint16_t v = b ? 1 : 0;
    return Value(kFieldBoolean, &v, 2);
}
TExpToken* Date(int y, int m, int d) {
    const std::int32_t v = DateToDayNumber({y, m, d});
    return Value(kFieldDate, &v, 4);
}
TExpToken* Time(int h, int m) {
    const std::int32_t v = TimeToMilliseconds({h, m, 0, 0});
    return Value(kFieldTime, &v, 4);
}
TExpToken* Stamp(int y, int mo, int d, int h, int mi) {
    const double v = ToTimeStamp(DateToDayNumber({y, mo, d}), TimeToMilliseconds({h, mi, 0, 0}));
    return Value(kFieldTimeStamp, &v, 8);
}
// Packed decimal 12.5: precision 3, scale 1, digits 1 2 5.
TExpToken* Bcd125() {
    std::uint8_t bytes[34] = {3, 0x01, 0x12, 0x50};
    return Value(kFieldBCD, bytes, sizeof bytes);
}

// The printed form of a result: NULL, TRUE/FALSE, 'text', m'memo', integers, 5L for
// large integers, 2.5F for floats, 12.5$ for BCD, dates, times and timestamps as text.
std::string Show(const TExpToken& v) {
    if (v.isNull) return "NULL";
    const std::uint8_t* p = v.value.data();
    switch (v.dataType) {
        case kFieldBoolean: return GetLE<std::uint16_t>(p) == 1 ? "TRUE" : GetLE<std::uint16_t>(p) == 0 ? "FALSE" : "BAD";
        case kFieldString: return "'" + std::string(reinterpret_cast<const char*>(p)) + "'";
        case kFieldBlob: return "m'" + std::string(reinterpret_cast<const char*>(p), v.dataSize) + "'";
        case kFieldSmallInt: return std::to_string(GetLE<std::int16_t>(p)) + "S";
        case kFieldInteger: return std::to_string(GetLE<std::int32_t>(p));
        case kFieldLargeInt: return std::to_string(GetLE<std::int64_t>(p)) + "L";
        case kFieldFloat: {
            const double f = GetLE<double>(p);
            if (std::floor(f) == f && std::fabs(f) < 1e15) return std::to_string(static_cast<std::int64_t>(f)) + "F";
            return FloatText(f) + "F";
        }
        case kFieldBCD: return BcdText(std::span<const std::uint8_t>(p, 34)) + "$";
        case kFieldDate: return DateText(GetLE<std::int32_t>(p));
        case kFieldTime: return TimeText(GetLE<std::int32_t>(p));
        case kFieldTimeStamp: {
            const auto parts = SplitTimeStamp(GetLE<double>(p));
            return parts ? DateText(parts->day) + " " + TimeText(parts->ms) : "BAD";
        }
        default: return "type " + std::to_string(v.dataType);
    }
}

// ---- Columns ------------------------------------------------------------------------------

// Named column values; counts the reads of each column.
class TTestColumns : public TColumnSource {
public:
    struct TColumn {
        std::string name;
        TExpTree value;
        int reads = 0;
    };
    std::vector<TColumn> columns;

    void Add(std::string name, TExpToken* value) { columns.push_back({std::move(name), TExpTree(value), 0}); }
    TColumn* Find(const std::string& name) {
        for (auto& c : columns)
            if (c.name == name) return &c;
        return nullptr;
    }
    int Reads(const std::string& name) { return Find(name)->reads; }
    void ResetReads() {
        for (auto& c : columns) c.reads = 0;
    }

    void ReadColumn(const TExpToken& column, TExpToken& into) override {
        TColumn& c = columns.at(column.fieldNo - 1u);
        ++c.reads;
        const TExpToken& v = *c.value;
        into.dataType = v.dataType;
        into.subType = v.subType;
        into.dataSize = v.dataSize;
        into.isNull = v.isNull;
        into.Reserve(v.value.size());
        std::copy(v.value.begin(), v.value.end(), into.value.begin());
    }

    // Types the column nodes of a parsed tree from the column set.
    void Type(TExpToken* n) {
        if (!n) return;
        if (n->kind == nkColumn && n->name != "*") {
            for (std::size_t i = 0; i < columns.size(); ++i) {
                if (columns[i].name != n->name) continue;
                n->fieldNo = static_cast<std::uint16_t>(i + 1);
                n->dataType = columns[i].value->dataType;
                n->subType = columns[i].value->subType;
                n->dataSize = columns[i].value->dataSize;
            }
            EXPECT_NE(n->fieldNo, 0) << "unknown column " << n->name;
        }
        for (TExpToken* child : n->operands) Type(child);
    }
};

// The standard record most tables evaluate against.
void AddStandardColumns(TTestColumns& c) {
    c.Add("name", Str("Alpha"));
    c.Add("empty", Str(""));
    c.Add("parent", Null(kFieldInteger, 4));
    c.Add("keyid", I32(7));
    c.Add("big", I64(5000000000LL));
    c.Add("price", Bcd125());
    c.Add("ratio", F64(0.25));
    c.Add("born", Date(2024, 1, 1));
    c.Add("nodate", Null(kFieldDate, 4));
    c.Add("at", Time(13, 30));
    c.Add("stamp", Stamp(2024, 1, 2, 6, 0));
    c.Add("flag", Bool(true));
    c.Add("noflag", Null(kFieldBoolean, 2));
    c.Add("memo", Memo("memo text"));
    c.Add("nomemo", Null(kFieldBlob, 0));
}

TExpTree Parse(const std::string& text, TTestColumns& columns) {
    TExpressionParser parser;
    parser.SetErrorCode(RERUZO_SQLPARSE);
    parser.SetContextName("test expression");
    parser.SetText(text);
    parser.NextToken();
    TExpTree tree(parser.ParseExpression(kFlags));
    columns.Type(tree.get());
    return tree;
}

std::string EvalText(const std::string& text, TTestColumns& columns, std::uint16_t language = 0) {
    TExpTree tree = Parse(text, columns);
    const TEvalContext context{.languageId = language, .columns = &columns};
    TExpTree result(Evaluate(tree.get(), context));
    return Show(*result);
}

struct TCase {
    const char* text;
    const char* expected;
};

void RunTable(const std::vector<TCase>& cases, std::uint16_t language = 0) {
    TTestColumns columns;
    AddStandardColumns(columns);
    const std::int64_t live = LiveNodeCount();
    for (const TCase& c : cases) EXPECT_EQ(EvalText(c.text, columns, language), c.expected) << c.text;
    EXPECT_EQ(LiveNodeCount(), live);
}

// ---- NULL rules ------------------------------------------------------------------------------

TEST(ExpressionEval, NullRulesOfComparisons) {
    RunTable({
        {"parent <> -1", "TRUE"},
        {"parent = -1", "FALSE"},
        {"parent = NULL", "TRUE"},
        {"keyid = NULL", "FALSE"},
        {"parent <> NULL", "FALSE"},
        {"parent IS NULL", "TRUE"},
        {"parent IS NOT NULL", "FALSE"},
        {"keyid IS NOT NULL", "TRUE"},
        {"nomemo IS NULL", "TRUE"},
        {"memo IS NULL", "FALSE"},
        // Ordering: one NULL is false both ways, two NULLs compare their zero values.
        {"parent < 1", "FALSE"},
        {"parent > 1", "FALSE"},
        {"parent >= parent", "TRUE"},
        {"parent <= nodate", "TRUE"},
        {"parent < parent", "FALSE"},
        // Strings compare as they are, a NULL string as the empty one.
        {"empty < 'a'", "TRUE"},
        {"name > empty", "TRUE"},
        {"empty >= empty", "TRUE"},
        {"memo > empty", "TRUE"},
        {"empty = empty", "TRUE"},
    });
}

TEST(ExpressionEval, NullRulesOfOtherOperators) {
    RunTable({
        {"parent + 1", "NULL"},
        {"- parent", "NULL"},
        {"nodate + 1", "NULL"},
        // A NULL string concatenates as the empty one.
        {"empty + 'ab'", "'ab'"},
        {"'ab' || empty", "'ab'"},
        {"empty + empty", "NULL"},
        // NOT, AND and OR read a NULL boolean as false.
        {"NOT noflag", "TRUE"},
        {"noflag AND flag", "FALSE"},
        {"noflag OR flag", "TRUE"},
        // LIKE with a NULL side is false, so NOT LIKE is true.
        {"empty LIKE '%'", "FALSE"},
        {"empty NOT LIKE '%'", "TRUE"},
        {"name LIKE empty", "FALSE"},
        {"parent BETWEEN 1 AND 5", "FALSE"},
        {"parent NOT BETWEEN 1 AND 5", "TRUE"},
        {"parent IN (1, NULL)", "TRUE"},
        {"parent IN (1, 2)", "FALSE"},
        {"parent NOT IN (1, NULL)", "FALSE"},
        {"keyid IN (NULL, 7)", "TRUE"},
        {"UPPER(empty)", "NULL"},
        {"LENGTH(empty)", "NULL"},
        {"SUBSTRING(empty FROM 1)", "NULL"},
        {"TRIM(BOTH empty FROM name)", "NULL"},
        {"POS('a' IN empty)", "NULL"},
        {"REPLACE('a' WITH 'x' IN empty)", "NULL"},
        {"EXTRACT(YEAR FROM nodate)", "NULL"},
        {"ABS(parent)", "NULL"},
        {"ROUND(parent)", "NULL"},
        {"CAST(parent AS CHAR(5))", "NULL"},
        {"CAST(empty AS DATE)", "NULL"},
        {"IF(noflag THEN 1 ELSE 2)", "2"},
    });
}

TEST(ExpressionEval, DivisionByZeroIsNull) {
    RunTable({
        {"5 / 0", "NULL"},
        {"keyid / 0", "NULL"},
        {"ratio / 0", "NULL"},
        {"price / 0", "NULL"},
        {"5 / 0 IS NULL", "TRUE"},
        {"0 / 5", "0F"},
    });
}

// ---- Comparison and arithmetic -------------------------------------------------------------

TEST(ExpressionEval, ComparisonAcrossNumberKinds) {
    RunTable({
        {"keyid = 7.0", "TRUE"},
        {"price = 12.5", "TRUE"},
        {"price > 12", "TRUE"},
        {"price = 12", "FALSE"},
        {"big > keyid", "TRUE"},
        {"ratio < price", "TRUE"},
        {"flag = TRUE", "TRUE"},
        {"flag > FALSE", "TRUE"},
        {"born < stamp", "TRUE"},
        {"born + 1 < stamp", "TRUE"},
        {"born + 2 < stamp", "FALSE"},
        {"born = CAST(stamp AS DATE) - 1", "TRUE"},
        {"CAST(born AS TIMESTAMP) < stamp", "TRUE"},
        {"at > CAST('13:00' AS TIME)", "TRUE"},
        {"name = 'Alpha'", "TRUE"},
        {"memo = 'memo text'", "TRUE"},
    });
}

TEST(ExpressionEval, NumberArithmetic) {
    RunTable({
        {"keyid + 3", "10"},
        {"7 - 10", "-3"},
        {"keyid * big", "35000000000L"},
        {"keyid / 2", "3.5F"},
        {"ratio * 4", "1F"},
        {"- keyid", "-7"},
        {"price + 1", "13.5$"},
        {"price * 2", "25$"},
        {"price / 4", "3.125$"},
        {"- price", "-12.5$"},
        {"price + ratio", "12.75F"},
        {"'ab' + 'cd'", "'abcd'"},
        {"memo + '!'", "'memo text!'"},
    });
}

TEST(ExpressionEval, DateAndTimeArithmetic) {
    RunTable({
        {"born + 1", "2024-01-02"},
        {"1 + born", "2024-01-02"},
        {"born - 1", "2023-12-31"},
        {"CAST('2024-03-01' AS DATE) - born", "60"},
        {"at + 60000", "01:31 PM"},
        {"at - 1000", "01:29:59 PM"},
        {"at - CAST('12:00' AS TIME)", "5400000"},
        {"stamp + 1000", "2024-01-02 06:00:01 AM"},
        {"stamp - 3600000", "2024-01-02 05:00 AM"},
        {"stamp - CAST('2024-01-01 00:00' AS TIMESTAMP)", "108000000F"},
        // Timestamp minus a date or a time: whole milliseconds.
        {"stamp - born", "108000000L"},  // milliseconds, in a large integer as validation types it
    });
}

// ---- AND / OR ------------------------------------------------------------------------------

TEST(ExpressionEval, AndOrEvaluateTheRightOperandFirst) {
    struct TRow {
        const char* text;
        bool result;
        int keyidReads;
        int nameReads;
    };
    const TRow rows[] = {
        {"keyid = 7 AND name = 'Alpha'", true, 1, 1},
        {"keyid = 1 AND name = 'Alpha'", false, 1, 1},
        {"keyid = 7 AND name = 'x'", false, 0, 1},
        {"keyid = 7 OR name = 'Alpha'", true, 0, 1},
        {"keyid = 7 OR name = 'x'", true, 1, 1},
        {"keyid = 1 OR name = 'x'", false, 1, 1},
    };
    TTestColumns columns;
    AddStandardColumns(columns);
    for (const TRow& r : rows) {
        TExpTree tree = Parse(r.text, columns);
        columns.ResetReads();
        const TEvalContext context{.columns = &columns};
        EXPECT_EQ(Accepts(tree.get(), context), r.result) << r.text;
        EXPECT_EQ(columns.Reads("keyid"), r.keyidReads) << r.text;
        EXPECT_EQ(columns.Reads("name"), r.nameReads) << r.text;
    }
}

// ---- LIKE ----------------------------------------------------------------------------------

TEST(ExpressionEval, LikePatterns) {
    struct TRow {
        const char* value;
        const char* pattern;
        bool match;
    };
    const TRow rows[] = {
        {"abc", "%", true},        {"abc", "a%", true},       {"abc", "%b%", true},
        {"abc", "a_c", true},      {"abc", "_b_", true},      {"abc", "___", true},      {"abc", "a_", false},
        {"abc", "%%%", true},      {"abc", "a%b%c", true},
        {"abcbc", "a%bc", true},   {"abcbd", "a%bc", false},  {"abc", "ABC", false},     
        {"abc", "ab", false},      {"ba", "%a", true},
        {"ab", "%a", false},       {"mississippi", "%iss%ppi", true},                    {"mississippi", "m%s_s%i", true},
        {"a%c", "a%c", true},      
        // Double-byte text is matched byte by byte.
        {"\xC4\xE3\xBA\xC3", "%\xBA\xC3", true},              {"\xC4\xE3\xBA\xC3", "\xC4\xE3%", true},
        {"\xC4\xE3\xBA\xC3", "_\xE3%", true},                 {"\xC4\xE3\xBA\xC3", "\xC4_\xBA_", true},
        {"\xC4\xE3\xBA\xC3", "%\xE3\xBA%", true},             {"\xC4\xE3\xBA\xC3", "\xBA%", false},
    };
    for (const TRow& r : rows) {
        TTestColumns columns;
        columns.Add("v", Str(r.value));
        columns.Add("p", Str(r.pattern));
        EXPECT_EQ(EvalText("v LIKE p", columns), r.match ? "TRUE" : "FALSE") << r.value << " LIKE " << r.pattern;
        EXPECT_EQ(EvalText("v NOT LIKE p", columns), r.match ? "FALSE" : "TRUE") << r.value << " NOT LIKE " << r.pattern;
    }
}

TEST(ExpressionEval, LikeEveryNonNullTitleMatchesPercent) {
    TTestColumns columns;
    columns.Add("title", Str("x"));
    TExpTree tree = Parse("title like '%'", columns);
    for (const char* title : {"x", " ", "%", "\xC4\xE3", "a long title with spaces"}) {
        columns.columns[0].value.reset(Str(title));
        EXPECT_TRUE(Accepts(tree.get(), TEvalContext{.columns = &columns})) << title;
    }
    columns.columns[0].value.reset(Str(""));
    EXPECT_FALSE(Accepts(tree.get(), TEvalContext{.columns = &columns}));
}

TEST(ExpressionEval, LikeWithALanguageComparesBytesInTheLocale) {
    TTestColumns columns;
    columns.Add("v", Str("caf\xE9"));
    EXPECT_EQ(EvalText("v LIKE 'cafe'", columns, 0), "FALSE");
    EXPECT_EQ(EvalText("v LIKE 'cafe'", columns, 0x0409), "TRUE");
    EXPECT_EQ(EvalText("v LIKE 'CAF_'", columns, 0x0409), "FALSE");
    EXPECT_EQ(EvalText("v LIKE 'c%'", columns, 0x0409), "TRUE");
}

// ---- String comparison -----------------------------------------------------------------------

TEST(ExpressionEval, StringComparisonWithAndWithoutLanguage) {
    struct TRow {
        const char* a;
        const char* op;
        const char* b;
        std::uint16_t language;
        bool result;
    };
    const TRow rows[] = {
        {"abc", "<", "abd", 0, true},           {"B", "<", "a", 0, true},
        {"abc", "=", "ABC", 0, false},          {"ab", "<", "abc", 0, true},
        {"caf\xE9", "=", "cafe", 0, false},     {"\xC4\xE3", ">", "z", 0, true},
        {"B", "<", "a", 0x0409, false},         {"a", "<", "B", 0x0409, true},
        {"abc", "=", "ABC", 0x0409, false},     {"caf\xE9", "=", "cafe", 0x0409, true},
        {"abc", "<>", "abd", 0x0409, true},     {"ab", "<", "abc", 0x0409, true},
    };
    for (const TRow& r : rows) {
        TTestColumns columns;
        columns.Add("a", Str(r.a));
        columns.Add("b", Str(r.b));
        EXPECT_EQ(EvalText(std::string("a ") + r.op + " b", columns, r.language), r.result ? "TRUE" : "FALSE")
            << r.a << " " << r.op << " " << r.b << " language " << r.language;
    }
}

TEST(ExpressionEval, PreparedStringCompareWithPrefixAndCase) {
    struct TRow {
        const char* a;
        const char* b;
        std::uint8_t op;
        std::uint8_t ignoreCase;
        std::int32_t prefix;
        std::uint16_t language;
        bool result;
    };
    const TRow rows[] = {
        {"abx", "aby", opEq, 0, 2, 0, true},        {"abx", "aby", opEq, 0, 3, 0, false},
        {"abx", "aby", opNe, 0, 2, 0, false},       {"abc", "ABC", opEq, 1, 0, 0, true},
        {"abc", "ABC", opNe, 1, 0, 0, false},       {"abc", "ABD", opEq, 1, 0, 0, false},
        {"abcX", "ABCy", opEq, 1, 3, 0, true},      {"caf\xE9", "CAF\xC9", opEq, 1, 0, 0x0409, true},
        // Without a language only ASCII letters have a case: other bytes may be halves
        // of double-byte characters ("\xC4\xE3" is one in GBK).
        {"caf\xE9", "CAF\xC9", opEq, 1, 0, 0, false}, {"\xC4\xE3", "\xC4\xC3", opEq, 1, 0, 0, false},
        {"ab", "abc", opEq, 0, 3, 0, false},        {"abc", "ABC", opEq, 0, 0, 0x0409, false},
        {"abc", "ABC", opEq, 1, 0, 0x0409, true},   {"abcX", "ABCy", opEq, 1, 3, 0x0409, true},
        {"abx", "aby", opEq, 0, 2, 0x0409, true},
    };
    for (const TRow& r : rows) {
        TTestColumns columns;
        columns.Add("a", Str(r.a));
        columns.Add("b", Str(r.b));
        TExpTree tree = Parse("a = b", columns);
        tree->kind = nkStringCompare;
        tree->op = r.op;
        tree->evalFlag = r.ignoreCase;
        tree->evalSlot = r.prefix;
        const TEvalContext context{.languageId = r.language, .columns = &columns};
        EXPECT_EQ(Accepts(tree.get(), context), r.result)
            << r.a << " / " << r.b << " op " << int{r.op} << " case " << int{r.ignoreCase} << " prefix " << r.prefix;
    }
}

// ---- Predicates ----------------------------------------------------------------------------

TEST(ExpressionEval, BetweenAndIn) {
    RunTable({
        {"keyid BETWEEN 5 AND 10", "TRUE"},
        {"keyid BETWEEN 7 AND 7", "TRUE"},
        {"keyid BETWEEN 5 AND 1", "FALSE"},
        {"5 BETWEEN 5 AND 1", "FALSE"},
        {"keyid NOT BETWEEN 5 AND 1", "TRUE"},
        {"name BETWEEN 'A' AND 'B'", "TRUE"},
        {"born BETWEEN born - 1 AND born", "TRUE"},
        {"keyid IN (1, 7, 9)", "TRUE"},
        {"keyid IN (1, 2, 3)", "FALSE"},
        {"keyid NOT IN (1, 7)", "FALSE"},
        {"name IN ('Beta', 'Alpha')", "TRUE"},
        {"price IN (12, 12.5)", "TRUE"},
    });
}

// A sub-select holding a fixed set of integers.
class TFixedSubSelect : public TSubSelect {
public:
    explicit TFixedSubSelect(std::set<std::int32_t> values) : values_(std::move(values)) {}
    void Validate() override {}
    int ColumnCount() const override { return 1; }
    void DescribeColumn(TExpToken& into) const override { into.dataType = kFieldInteger; }
    bool Contains(const TExpToken& value) override {
        ++calls;
        return !value.isNull && values_.count(GetLE<std::int32_t>(value.value.data())) > 0;
    }
    int calls = 0;

private:
    std::set<std::int32_t> values_;
};

TEST(ExpressionEval, InSubSelectAsksTheQuery) {
    TTestColumns columns;
    AddStandardColumns(columns);
    for (const auto& [op, value, expected] : {std::tuple{opInSelect, 7, true}, std::tuple{opInSelect, 8, false},
                                              std::tuple{opNotInSelect, 7, false}, std::tuple{opNotInSelect, 8, true}}) {
        TExpTree tree(AcquireNode());
        tree->kind = nkPredicate;
        tree->op = op;
        tree->dataType = kFieldBoolean;
        tree->operands.push_back(I32(value));
        TExpToken* sub = AcquireNode();
        sub->kind = nkSubSelect;
        auto query = std::make_unique<TFixedSubSelect>(std::set<std::int32_t>{1, 7});
        TFixedSubSelect* raw = query.get();
        sub->subSelect = std::move(query);
        tree->operands.push_back(sub);
        EXPECT_EQ(Accepts(tree.get(), TEvalContext{.columns = &columns}), expected) << int{op} << " " << value;
        EXPECT_EQ(raw->calls, 1);
    }
}

// ---- Functions -----------------------------------------------------------------------------

TEST(ExpressionEval, CaseFollowsTheTableLanguage) {
    RunTable({{"UPPER('caf\xE9')", "'CAF\xC9'"}, {"LOWER('CAF\xC9')", "'caf\xE9'"}}, 0x0409);
    RunTable({{"UPPER('\xC4\xE3" "a')", "'\xC4\xE3" "A'"}, {"LOWER('\xC4\xC3" "A')", "'\xC4\xC3" "a'"}});
}

TEST(ExpressionEval, StringFunctions) {
    RunTable({
        {"UPPER('abc')", "'ABC'"},
        {"UPPER('caf\xE9')", "'CAF\xE9'"},  // without a language only ASCII letters change
        {"UPPER(name)", "'ALPHA'"},
        {"LENGTH(name)", "5"},
        {"LENGTH(memo)", "9"},
        {"SUBSTRING('abcdef' FROM 2 FOR 3)", "'bcd'"},
        {"SUBSTRING('abcdef' FROM 5 FOR 10)", "'ef'"},
        {"SUBSTRING('abcdef' FROM 6 FOR 0)", "NULL"},
        {"SUBSTRING('abcdef' FROM 7)", "NULL"},
        {"SUBSTRING(name FROM 10)", "NULL"},
        {"TRIM(LEADING 'x' FROM 'xxabxx')", "'abxx'"},
        {"TRIM(TRAILING 'x' FROM 'xxabxx')", "'xxab'"},
        {"TRIM(BOTH 'x' FROM 'xxabxx')", "'ab'"},
        {"TRIM(BOTH 'x' FROM 'xxx')", "NULL"},
        {"POS('c' IN 'abcabc')", "3"},
        {"POS('z' IN 'abc')", "0"},
        {"POS('C' IN 'abc')", "0"},
        {"OCCURS('ab' IN 'ababab')", "3"},
        {"OCCURS('aa' IN 'aaaa')", "2"},
        {"OCCURS('aa' IN 'aaa')", "1"},
        {"REPLACE('a' WITH 'xyz' IN 'banana')", "'bxyznxyznxyz'"},
        {"REPLACE('an' WITH 'AN' IN 'banana')", "'bANANa'"},
        {"REPLACE('aa' WITH 'b' IN 'aaaaa')", "'bba'"},
        {"REPLACE('banana' WITH 'x' IN 'banana')", "'x'"},
        {"REPLACE('a' WITH '' IN 'banana')", "'bnn'"},  // an empty replacement removes
        {"REPLACE('banana' WITH '' IN 'banana')", "NULL"},
        {"LENGTH(REPLACE('a' WITH 'aaaaaaaaaa' IN 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'))", "400"},
        {"IF(keyid = 7 THEN 'yes' ELSE 'no')", "'yes'"},
    });
}

TEST(ExpressionEval, SearchKeepsToDoubleByteCharacters) {
    // "\xC4\xE3" and "\xBA\xC3" are two double-byte characters; "\xE3\xBA" would start
    // on the trail byte of the first one.
    RunTable({
        {"POS('\xE3\xBA' IN '\xC4\xE3\xBA\xC3')", "0"},
        {"POS('\xBA\xC3' IN '\xC4\xE3\xBA\xC3')", "3"},
        {"POS('a' IN ('\xC4\xE3' || 'a'))", "3"},
        {"POS('\xC3' IN '\xC4\xC3\xC3')", "3"},
        {"OCCURS('\xE3\xBA' IN '\xC4\xE3\xBA\xC3\xC4\xE3\xBA\xC3')", "0"},
        {"OCCURS('\xC4\xE3' IN '\xC4\xE3\xBA\xC3\xC4\xE3')", "2"},
        {"REPLACE('\xE3\xBA' WITH 'x' IN '\xC4\xE3\xBA\xC3')", "'\xC4\xE3\xBA\xC3'"},
        {"REPLACE('\xBA\xC3' WITH 'x' IN '\xC4\xE3\xBA\xC3')", "'\xC4\xE3x'"},
    });
    // A table language has a single-byte code page: every byte starts a character.
    RunTable({{"POS('\xE3\xBA' IN '\xC4\xE3\xBA\xC3')", "2"}}, 0x0409);
}

TEST(ExpressionEval, ExtractParts) {
    RunTable({
        {"EXTRACT(YEAR FROM stamp)", "2024"},
        {"EXTRACT(DAY FROM stamp)", "2"},
        {"EXTRACT(HOUR FROM stamp)", "6"},
        {"EXTRACT(HOUR FROM CAST('13:45:30' AS TIME))", "13"},
        {"EXTRACT(MINUTE FROM CAST('13:45:30' AS TIME))", "45"},
        {"EXTRACT(SECOND FROM CAST('13:45:30.250' AS TIME))", "30"},
        {"EXTRACT(HOUR FROM born)", "0"},
        {"EXTRACT(YEAR FROM at)", "0"},
        {"EXTRACT(DAYOFWEEK FROM CAST('2024-01-07' AS DATE))", "7"},
        {"EXTRACT(DAYOFWEEK FROM CAST('2024-01-01' AS DATE))", "1"},
        {"EXTRACT(DAYOFWEEK FROM CAST('2021-01-01' AS DATE))", "5"},
        {"EXTRACT(DAYOFWEEK FROM CAST('1899-12-30 12:00' AS TIMESTAMP))", "6"},
    });
}

TEST(ExpressionEval, ExtractWeekAroundNewYear) {
    // Expected weeks worked out from the rule: week 1 starts at the year's first
    // Monday, or the Monday before it when 4 January comes first; earlier days count
    // in the previous year; a 365th day is week 1.
    const std::pair<const char*, int> rows[] = {
        {"2024-01-01", 1},   // Monday: M = 2024-01-01
        {"2024-01-07", 1},   {"2024-01-08", 2},
        {"2023-01-01", 52},  // Sunday; M(2022) = 2022-01-03, n = 364
        {"2023-01-02", 1},   
        {"2021-01-01", 53},  // Friday; M(2021) = 2021-01-04; M(2020) = 2019-12-30, n = 369
        {"2021-01-03", 53},  {"2021-01-04", 1},
        {"2020-01-01", 1},   // Wednesday; M = 2019-12-30, n = 3
        {"2018-12-31", 1},   // M = 2018-01-01, n = 365
        {"2015-12-31", 53},  // M = 2014-12-29, n = 368
        {"2024-12-29", 52},  // n = 364
    };
    TTestColumns columns;
    for (const auto& [date, week] : rows) {
        EXPECT_EQ(EvalText(std::string("EXTRACT(WEEK FROM CAST('") + date + "' AS DATE))", columns), std::to_string(week))
            << date;
        EXPECT_EQ(EvalText(std::string("EXTRACT(WEEK FROM CAST('") + date + " 23:59' AS TIMESTAMP))", columns),
                  std::to_string(week))
            << date;
    }
}

TEST(ExpressionEval, NumericFunctionsAndAggregates) {
    RunTable({
        {"ABS(-5)", "5"},
        {"ABS(-2.5)", "2.5F"},
        {"ABS(- price)", "12.5$"},
        {"ABS(- big)", "5000000000L"},
        {"ROUND(2.5)", "3F"},
        {"ROUND(-2.5)", "-3F"},
        {"ROUND(3.14159 TO 2)", "3.14F"},
        {"ROUND(-1.256 TO 2)", "-1.26F"},
        {"ROUND(1234.5 TO -2)", "1200F"},
        {"ROUND(price)", "13F"},
        {"COUNT(*)", "1"},
        {"SUM(keyid)", "7"},
        {"AVG(price)", "12.5$"},
    });
}

// ---- CAST ----------------------------------------------------------------------------------

TEST(ExpressionEval, CastBetweenTextForms) {
    RunTable({
        {"CAST('2024-02-29' AS DATE)", "2024-02-29"},
        {"CAST(born AS CHAR(10))", "'2024-01-01'"},
        {"CAST(born AS CHAR(4))", "'2024'"},
        {"CAST('1:05 PM' AS TIME)", "01:05 PM"},
        {"CAST('13:05:07' AS TIME)", "01:05:07 PM"},
        {"CAST(at AS CHAR(20))", "'01:30 PM'"},
        {"CAST(stamp AS CHAR(30))", "'2024-01-02 06:00 AM'"},
        {"CAST('2024-01-02 18:00' AS TIMESTAMP)", "2024-01-02 06:00 PM"},
        {"CAST(CAST(stamp AS CHAR(30)) AS TIMESTAMP) = stamp", "TRUE"},
        {"CAST('true' AS BOOLEAN)", "TRUE"},
        {"CAST(flag AS CHAR(5))", "'TRUE'"},
        {"CAST('12.75' AS FLOAT)", "12.75F"},
        {"CAST('42' AS INTEGER)", "42"},
        {"CAST('2.9' AS INTEGER)", "2"},
        {"CAST('12.3456' AS DECIMAL(10,2))", "12.35$"},
        {"CAST('12.3456' AS DECIMAL)", "12.3456$"},
        {"CAST('-12.345' AS DECIMAL(10,2))", "-12.35$"},
        {"CAST(ratio AS DECIMAL(10,1))", "0.3$"},
        {"CAST(price AS DECIMAL(10,0))", "13$"},
        {"CAST(price AS CHAR(10))", "'12.5'"},
        {"CAST(price AS INTEGER)", "12"},
        {"CAST(keyid AS CHAR(10))", "'7'"},
        {"CAST(ratio AS CHAR(10))", "'0.25'"},
        {"CAST(2.9 AS INTEGER)", "2"},
        {"CAST(born AS TIMESTAMP)", "2024-01-01 12:00 AM"},
        {"CAST(stamp AS DATE)", "2024-01-02"},
        {"CAST(stamp AS TIME)", "06:00 AM"},
        {"CAST(memo AS CHAR(4))", "'memo'"},
        {"CAST(memo AS BLOB(1, 22))", "m'memo text'"},
    });
}

TEST(ExpressionEval, FailingCastRaisesWithTheText) {
    const std::pair<const char*, const char*> rows[] = {
        {"CAST('2024-13-01' AS DATE)", "'2024-13-01' is not a valid date"},
        {"CAST('noon' AS TIME)", "'noon' is not a valid time"},
        {"CAST('2024-01-01' AS TIMESTAMP)", "'2024-01-01' is not a valid date and time"},
        {"CAST('yes' AS BOOLEAN)", "'yes' is not a valid boolean"},
        {"CAST('abc' AS FLOAT)", "'abc' is not a valid floating-point number"},
        {"CAST('1x' AS INTEGER)", "'1x' is not a valid floating-point number"},
        {"CAST('x1' AS DECIMAL(10,2))", "'x1' is not a valid currency value"},
        {"CAST(name AS DATE)", "'Alpha' is not a valid date"},
    };
    TTestColumns columns;
    AddStandardColumns(columns);
    for (const auto& [text, message] : rows) {
        TExpTree tree = Parse(text, columns);
        const std::int64_t live = LiveNodeCount();
        try {
            TExpTree result(Evaluate(tree.get(), TEvalContext{.columns = &columns}));
            ADD_FAILURE() << text << " gave " << Show(*result);
        } catch (const ERERUZOEngineError& e) {
            EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE) << text;
            EXPECT_EQ(e.ContextText, message) << text;
        }
        EXPECT_EQ(LiveNodeCount(), live) << text;
    }
}

// ---- Parameters, record columns and the node pool ---------------------------------------------

TEST(ExpressionEval, BoundParameterIsItsValue) {
    TTestColumns columns;
    AddStandardColumns(columns);
    TExpTree tree = Parse("keyid = 7", columns);
    TExpToken* parameter = tree->operands[1];
    parameter->isParameter = true;
    EXPECT_TRUE(Accepts(tree.get(), TEvalContext{.columns = &columns}));
    PutLE<std::int32_t>(parameter->value.data(), 8);
    EXPECT_FALSE(Accepts(tree.get(), TEvalContext{.columns = &columns}));
    parameter->isNull = true;
    PutLE<std::int32_t>(parameter->value.data(), 0);
    EXPECT_FALSE(Accepts(tree.get(), TEvalContext{.columns = &columns}));
}

struct TRecordTable {
    std::vector<TFieldDesc> fields;
    std::vector<std::uint8_t> record;
    TRecordTable() {
        fields = {MakeFieldDesc("name", kFieldString, 10), MakeFieldDesc("keyid", kFieldInteger),
                  MakeFieldDesc("parent", kFieldInteger), MakeFieldDesc("flag", kFieldBoolean),
                  MakeFieldDesc("amount", kFieldFloat), MakeFieldDesc("born", kFieldDate)};
        record.assign(LayoutRecord(fields), 0);
    }
    // Types column nodes from the field list, as validation would.
    void Type(TExpToken* n) {
        if (n->kind == nkColumn) {
            for (const TFieldDesc& f : fields) {
                if (f.Name != n->name) continue;
                n->fieldNo = f.FieldNo;
                n->dataType = f.FieldType;
                n->dataSize = f.DataSize;
            }
        }
        for (TExpToken* child : n->operands) Type(child);
    }
    TExpTree Parse(const std::string& text) {
        TExpressionParser parser;
        parser.SetText(text);
        parser.NextToken();
        TExpTree tree(parser.ParseExpression(kFlags));
        Type(tree.get());
        return tree;
    }
};

TEST(ExpressionEval, RecordColumnsReadFieldsAndNulls) {
    TRecordTable t;
    PutStringField(t.record, t.fields[0], "Bob");
    PutIntegerField(t.record, t.fields[1], 42);
    PutNullField(t.record, t.fields[2]);
    PutBooleanField(t.record, t.fields[3], 1);
    PutFloatField(t.record, t.fields[4], 2.5);
    PutIntegerField(t.record, t.fields[5], DateToDayNumber({2024, 1, 1}));
    TRecordColumns columns(t.fields);
    columns.SetRecord(t.record);

    TExpTree keyid = t.Parse("keyid");
    TExpTree value(AcquireNode());
    columns.ReadColumn(*keyid, *value);
    EXPECT_FALSE(value->isNull);
    EXPECT_EQ(value->dataType, kFieldInteger);
    EXPECT_EQ(GetLE<std::int32_t>(value->value.data()), 42);

    TExpTree parent = t.Parse("parent");
    std::fill(value->value.begin(), value->value.end(), std::uint8_t{0xAA});
    columns.ReadColumn(*parent, *value);
    EXPECT_TRUE(value->isNull);
    EXPECT_EQ(GetLE<std::int32_t>(value->value.data()), 0);

    const TEvalContext context{.columns = &columns};
    for (const char* text : {"keyid = 42", "parent IS NULL", "parent <> -1", "name = 'Bob'", "flag", "amount * 2 = 5",
                             "born + 1 = CAST('2024-01-02' AS DATE)", "LENGTH(name) = 3"}) {
        EXPECT_TRUE(Accepts(t.Parse(text).get(), context)) << text;
    }
    for (const char* text : {"keyid = 41", "parent = -1", "name = 'Bo'", "NOT flag", "parent"})
        EXPECT_FALSE(Accepts(t.Parse(text).get(), context)) << text;
}

TEST(ExpressionEval, PoolStaysBalancedOverManyRecords) {
    TRecordTable t;
    TRecordColumns columns(t.fields);
    TExpTree tree = t.Parse(
        "(keyid BETWEEN 10 AND 900 AND name LIKE 'n%5') OR (parent IN (1, 2, NULL) AND UPPER(name) <> 'X') "
        "OR REPLACE('n' WITH 'mm' IN name) = 'mm7' OR CAST(keyid AS CHAR(10)) = '333'");
    const TEvalContext context{.columns = &columns};
    const std::int64_t live = LiveNodeCount();
    int accepted = 0;
    for (int i = 0; i < 1000; ++i) {
        PutStringField(t.record, t.fields[0], "n" + std::to_string(i));
        PutIntegerField(t.record, t.fields[1], i);
        if (i % 2 == 0) {
            PutNullField(t.record, t.fields[2]);
        } else {
            PutIntegerField(t.record, t.fields[2], i);
        }
        columns.SetRecord(t.record);
        accepted += Accepts(tree.get(), context) ? 1 : 0;
        TExpToken* result = Evaluate(tree.get(), context);
        ReleaseNode(result);
    }
    EXPECT_EQ(LiveNodeCount(), live);
    // Even keyids (parent NULL) count, plus 7 and 333, plus the odd n..5 names in
    // 10..900 (15, 25, ..., 895: 89 of them) and n1 (parent 1).
    EXPECT_EQ(accepted, 500 + 2 + 89 + 1);
}

// The whole filter path: text compiled against the fields, then evaluated per record.
TEST(ExpressionEval, CompiledFiltersAcceptTheRightRecords) {
    TRecordTable t;
    struct TRow {
        const char* name;  // nullptr: NULL
        int keyid;         // -99: NULL
        int parent;        // -99: NULL
        bool flag;
        TCalendarDate born;
    };
    const TRow rows[] = {
        {"Smith", 0, -1, true, {2003, 1, 31}},   {"smithers", 0, -99, false, {2003, 2, 1}},
        {nullptr, -99, 3, true, {2002, 12, 31}}, {"xabcx", 5, 0, false, {2004, 2, 29}},
    };
    auto accepted = [&](const std::string& text, TFilterTextOptions options = {}) {
        TExpTree filter = CompileFilter(text, "t", t.fields, 0, 0, options);
        TRecordColumns columns(t.fields);
        const TEvalContext context{.columns = &columns};
        std::string out;
        for (std::size_t i = 0; i < std::size(rows); ++i) {
            const TRow& r = rows[i];
            std::fill(t.record.begin(), t.record.end(), 0);
            if (r.name) PutStringField(t.record, t.fields[0], r.name); else PutNullField(t.record, t.fields[0]);
            if (r.keyid != -99) PutIntegerField(t.record, t.fields[1], r.keyid); else PutNullField(t.record, t.fields[1]);
            if (r.parent != -99) PutIntegerField(t.record, t.fields[2], r.parent); else PutNullField(t.record, t.fields[2]);
            PutBooleanField(t.record, t.fields[3], r.flag ? 1 : 0);
            PutIntegerField(t.record, t.fields[5], DateToDayNumber(r.born));
            columns.SetRecord(t.record);
            if (Accepts(filter.get(), context)) out += std::to_string(i + 1);
        }
        return out;
    };
    EXPECT_EQ(accepted("keyid=0"), "12");                 // a NULL keyid is not 0
    EXPECT_EQ(accepted("parent<>-1"), "234");             // a NULL parent is not -1
    EXPECT_EQ(accepted("name like '%abc%'"), "4");
    EXPECT_EQ(accepted("name like '%'"), "124");          // every name that is not NULL
    EXPECT_EQ(accepted("'name' = 'Smith'"), "1");         // the string names the column
    EXPECT_EQ(accepted("'Smith' = name"), "1");
    EXPECT_EQ(accepted("name = 'SMITH'", {true, false}), "1");
    EXPECT_EQ(accepted("name = 'smi*'", {true, false}), "12");
    EXPECT_EQ(accepted("name = 'smi*'"), "2");
    EXPECT_EQ(accepted("name = 'smi*'", {false, true}), "");
    EXPECT_EQ(accepted("name like 'Smi%'"), "1");         // prepared as a prefix comparison
    EXPECT_EQ(accepted("name not like 'Smi%'"), "234");
    EXPECT_EQ(accepted("flag"), "13");
    EXPECT_EQ(accepted("born > '2003-01-31'"), "24");
    EXPECT_EQ(accepted("'2003-01-31' >= born"), "13");   // mirrored, with the date converted
    EXPECT_EQ(accepted("keyid between 5 and 1"), "");
    EXPECT_EQ(accepted("name = NULL"), "3");
}

}  // namespace
}  // namespace reruzo
