// Tests of validation and preparation: column resolution (also through string
// constants), the boolean-column rewrite, the operand type rules of every operator,
// result types, the checks and exact messages of predicates and functions, and the
// string-comparison and prefix-LIKE rewrites of preparation.
#include "engine/expr/expression_check.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"

namespace reruzo {
namespace {

struct TColumn {
    std::uint16_t fieldNo;
    std::uint8_t type;
    std::uint8_t subType;
    std::uint32_t size;
};

// The table the expressions are validated against.
const std::map<std::string, TColumn>& Columns() {
    static const std::map<std::string, TColumn> columns = {
        {"ID", {1, kFieldInteger, 0, 4}},       {"NAME", {2, kFieldString, 0, 21}},   {"TITLE", {3, kFieldString, 0, 31}},
        {"D", {4, kFieldDate, 0, 4}},           {"T", {5, kFieldTime, 0, 4}},         {"TS", {6, kFieldTimeStamp, 0, 8}},
        {"ACTIVE", {7, kFieldBoolean, 0, 2}},   {"PRICE", {8, kFieldBCD, 0, 34}},     {"AMOUNT", {9, kFieldFloat, 0, 8}},
        {"NOTES", {10, kFieldBlob, 22, 8}},     {"PIC", {11, kFieldBlob, 26, 8}},     {"SMALL", {12, kFieldSmallInt, 0, 2}},
        {"BIG", {13, kFieldLargeInt, 0, 8}},    {"W", {14, kFieldWord, 0, 2}},        {"RAW", {15, kFieldBytes, 0, 6}},
        {"FIRST NAME", {16, kFieldString, 0, 11}}};
    return columns;
}

bool Resolve(TExpToken& n) {
    if (!n.qualifier.empty() && n.qualifier != "items") return false;
    std::string upper = n.name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto it = Columns().find(upper);
    if (it == Columns().end()) return false;
    n.fieldNo = it->second.fieldNo;
    n.dataType = it->second.type;
    n.subType = it->second.subType;
    n.dataSize = it->second.size;
    n.scale = 0;
    return true;
}

// A parsed and validated filter; the tree is freed with the object.
struct TChecked {
    TExpTree tree;
    explicit TChecked(std::string_view text, bool filter = true, unsigned flags = pfAllowExtendedPredicates | 1) {
        TExpressionParser parser;
        parser.SetErrorCode(RERUZO_INVALIDFILTER);
        parser.SetErrorTableName("items");
        parser.SetContextName("filter expression");
        parser.SetText(text);
        parser.NextToken();
        tree.reset(parser.ParseExpression(flags));
        TValidateOptions o{RERUZO_INVALIDFILTER, "items", "filter expression", filter, Resolve};
        TExpToken* root = tree.release();
        try {
            Validate(root, o);
        } catch (...) {
            FreeTree(root);
            throw;
        }
        tree.reset(root);
    }
};

std::string Shape(std::string_view text) { return PrintTree(TChecked(text).tree.get()); }
std::uint8_t TypeOf(std::string_view text) { return TChecked(text).tree->dataType; }

std::string Error(std::string_view text) {
    try {
        TChecked c(text);
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_INVALIDFILTER) << text;
        EXPECT_EQ(e.ContextTable, "items") << text;
        return e.ContextText;
    }
    return "";
}

TEST(ExpressionCheck, ColumnsResolveAlsoThroughStringConstants) {
    TChecked plain("id = 0");
    const TExpToken* column = plain.tree->Operand(0);
    EXPECT_EQ(column->fieldNo, 1);
    EXPECT_EQ(column->dataType, kFieldInteger);
    EXPECT_EQ(column->parent, plain.tree.get());
    // 'title' names a column, 'abc' does not; on either side.
    for (const char* text : {"'title' = 'abc'", "'abc' = title"}) {
        TChecked c(text);
        const TExpToken* a = c.tree->Operand(0);
        const TExpToken* b = c.tree->Operand(1);
        const TExpToken* col = a->kind == nkColumn ? a : b;
        const TExpToken* constant = a->kind == nkColumn ? b : a;
        EXPECT_EQ(col->fieldNo, 3) << text;
        EXPECT_EQ(constant->kind, nkConstant) << text;
        EXPECT_EQ(constant->dataType, kFieldString) << text;
    }
    // A quoted name with a blank reaches its column.
    EXPECT_EQ(TChecked("'first name' = 'Ann'").tree->Operand(0)->fieldNo, 16);
    // Two strings that both name columns: the right one turns back into a constant.
    TChecked both("'name' = 'title'");
    EXPECT_EQ(both.tree->Operand(0)->kind, nkColumn);
    EXPECT_EQ(both.tree->Operand(1)->kind, nkConstant);
    EXPECT_EQ(PrintTree(both.tree->Operand(1)), "'title'");
}

TEST(ExpressionCheck, ALoneBooleanColumnMeansTrue) {
    EXPECT_EQ(Shape("active"), "(= active True)");
    EXPECT_EQ(Shape("not active"), "(NOT (= active True))");
    EXPECT_EQ(Shape("active and id = 1"), "(AND (= active True) (= id 1))");
    EXPECT_EQ(Shape("active = false"), "(= active False)");  // already compared: left alone
    TChecked c("active or active");
    EXPECT_EQ(c.tree->Operand(0)->parent, c.tree.get());
    EXPECT_EQ(c.tree->Operand(0)->Operand(0)->parent, c.tree->Operand(0));
}

TEST(ExpressionCheck, OperandTypesOfEveryOperator) {
    const char* allowed[] = {
        "name = 'x'",      "name < notes",   "name + title = 'x'", "notes = NULL",     "d = ts",
        "d < ts",          "d + 1 = d",      "d - d = 1",          "d - 1 = d",        "t - t = 1",
        "t + small = t",   "ts - t = 1",     "ts - d = 1",         "ts - ts = 1.5",    "active = NULL",
        "active = true",   "id = price",     "id + d = d",         "w * big = 1",      "amount / small > 0",
        "price - amount < 1", "pic = NULL",  "id is null",         "-d = d",           "+w = 1",
        "-price < 0",
    };
    for (const char* text : allowed) EXPECT_EQ(Error(text), "") << text;
    const std::pair<const char*, const char*> refused[] = {
        {"name - 'x' = 'y'", "Type mismatch between column 'name' and constant 'x' in filter expression"},
        {"name = 1", "Type mismatch between column 'name' and constant '1' in filter expression"},
        {"d = t", "Type mismatch between column 'd' and column 't' in filter expression"},
        {"t + d = t", "Type mismatch between column 't' and column 'd' in filter expression"},
        {"d * 2 = d", "Type mismatch between column 'd' and constant '2' in filter expression"},
        {"active < true", "Type mismatch between column 'active' and constant 'True' in filter expression"},
        {"NULL = id", "Type mismatch between constant 'NULL' and column 'id' in filter expression"},
        {"id < NULL", "Type mismatch between column 'id' and constant 'NULL' in filter expression"},
        {"'ab' + NULL = 'x'", "Type mismatch between constant 'ab' and constant 'NULL' in filter expression"},
        {"pic = pic", "Type mismatch between column 'pic' and column 'pic' in filter expression"},
        {"raw = raw", "Type mismatch between column 'raw' and column 'raw' in filter expression"},
        {"amount + d = d", "Type mismatch between column 'amount' and column 'd' in filter expression"},
        {"id and active", "Type mismatch between column 'id' and expression '=' in filter expression"},
        {"not id", "Type mismatch between 'NOT' operator and 'id' in filter expression"},
        {"-name = 'a'", "Type mismatch between '-' operator and 'name' in filter expression"},
        {"-w = 1", "Type mismatch between '-' operator and 'w' in filter expression"},
        {"nothing = 1", "Invalid column name 'nothing' or table correlation name '' specified in filter expression"},
        {"q.id = 1", "Invalid column name 'id' or table correlation name 'q' specified in filter expression"},
    };
    for (const auto& [text, message] : refused) EXPECT_EQ(Error(text), message) << text;
}

TEST(ExpressionCheck, ResultTypesOfArithmetic) {
    struct TCase {
        const char* text;
        std::uint8_t type;
        std::uint32_t size;
    };
    const TCase cases[] = {
        {"name + title", kFieldString, 51}, {"name + notes", kFieldBlob, 0},   {"d + 1", kFieldDate, 4},
        {"1 + d", kFieldDate, 4},           {"d - d", kFieldInteger, 4},       {"t - t", kFieldInteger, 4},
        {"ts - ts", kFieldFloat, 8},        {"ts - d", kFieldLargeInt, 8},      {"ts + 5", kFieldTimeStamp, 8},
        {"small + small", kFieldInteger, 4}, {"small / w", kFieldFloat, 8},    {"big * id", kFieldLargeInt, 8},
        {"id / big", kFieldFloat, 8},       {"amount + id", kFieldFloat, 8},   {"price + amount", kFieldFloat, 8},
        {"price * id", kFieldBCD, 34},      {"price - price", kFieldBCD, 34},  {"-small", kFieldSmallInt, 2},
    };
    for (const TCase& c : cases) {
        TExpressionParser parser;
        parser.SetErrorCode(RERUZO_INVALIDFILTER);
        parser.SetContextName("select list");
        parser.SetText(c.text);
        parser.NextToken();
        TExpToken* root = parser.ParseExpression(pfAllowExtendedPredicates);
        TExpTree owner(root);
        TValidateOptions o{RERUZO_INVALIDFILTER, "items", "select list", false, Resolve};
        owner.release();
        Validate(root, o);
        owner.reset(root);
        EXPECT_EQ(root->dataType, c.type) << c.text;
        if (c.size != 0) {
            EXPECT_EQ(root->dataSize, c.size) << c.text;
        }
        if (c.type == kFieldBlob) {
            EXPECT_EQ(root->subType, kSubMemo) << c.text;
        }
    }
}

TEST(ExpressionCheck, StringsBesideDatesAndTimesAreConverted) {
    TChecked c("d > '2003-01-31'");
    const TExpToken* constant = c.tree->Operand(1);
    EXPECT_EQ(constant->dataType, kFieldDate);
    EXPECT_EQ(GetLE<std::int32_t>(constant->value.data()), DateToDayNumber({2003, 1, 31}));
    TChecked t("'13:45:10' = t");
    EXPECT_EQ(GetLE<std::int32_t>(t.tree->Operand(0)->value.data()), (13 * 3600 + 45 * 60 + 10) * 1000);
    EXPECT_EQ(TChecked("ts between '2003-01-31 10:00:00' and '2003-02-01 0:00'").tree->Operand(1)->dataType,
              kFieldTimeStamp);
    EXPECT_EQ(Error("d > 'tomorrow'"),
              "Date, time, or timestamp expression expected, instead found 'tomorrow' in filter expression");
    EXPECT_EQ(Error("d in ('2003-01-01', 'soon')"),
              "Date, time, or timestamp expression expected, instead found 'soon' in filter expression");
}

TEST(ExpressionCheck, ExtendedPredicates) {
    for (const char* ok : {"title like '%abc%'", "notes not like 'a_'", "id between 1 and 5", "id in (1, 2.5, 7)",
                           "name not in ('a', NULL)", "id not between 5 and 1", "id between -5 and +5",
                           "id in (-1, 2)"}) {
        EXPECT_EQ(Error(ok), "") << ok;
        EXPECT_EQ(TypeOf(ok), kFieldBoolean) << ok;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"id like '1%'", "Type mismatch between LIKE operator and expression 'id' in filter expression"},
        {"name like title", "Constant expression expected after LIKE operator, instead found 'title' in filter expression"},
        {"name not like 5", "Type mismatch between NOT LIKE operator and expression '5' in filter expression"},
        {"id between 1 and id", "Constant expression expected after BETWEEN operator, instead found 'id' in filter expression"},
        {"id between -id and 1", "Constant expression expected after BETWEEN operator, instead found '-' in filter expression"},
        {"id between 1 and 'x'", "Type mismatch between BETWEEN operator and expression 'x' in filter expression"},
        {"name in ('a', 1)", "Type mismatch between IN operator and expression '1' in filter expression"},
        {"id not in (1, id)", "Constant expression expected after NOT IN operator, instead found 'id' in filter expression"},
    };
    for (const auto& [text, message] : refused) EXPECT_EQ(Error(text), message) << text;
}

TEST(ExpressionCheck, FunctionArgumentsAndResults) {
    struct TOk {
        const char* text;
        std::uint8_t type;
    };
    const TOk ok[] = {
        {"upper(name)", kFieldString},           {"lower(notes)", kFieldBlob},          {"length(name)", kFieldInteger},
        {"substring(name from 2 for 3)", kFieldString}, {"trim(both 'x' from name)", kFieldString},
        {"extract(week from d)", kFieldInteger}, {"extract(hour from t)", kFieldInteger}, {"pos('a' in name)", kFieldInteger},
        {"occurs('ab' in notes)", kFieldInteger}, {"replace('a' with 'bb' in name)", kFieldString},
        {"abs(small)", kFieldSmallInt},          {"abs(price)", kFieldBCD},             {"round(amount)", kFieldFloat},
        {"round(price to 2)", kFieldFloat},      {"if(active then id else null)", kFieldInteger},
        {"if(active then null else name)", kFieldString}, {"if(active then 1 else 2.5)", kFieldInteger},
        {"cast(id as char(10))", kFieldString},  {"cast(name as date)", kFieldDate},    {"cast(notes as varchar(5))", kFieldString},
        {"cast(d as decimal(10, 2))", kFieldBCD}, {"cast(name as blob(1, 1))", kFieldBlob},
        {"sum(price)", kFieldBCD},               {"max(d)", kFieldDate},                {"count(*)", kFieldInteger},
        {"count(name)", kFieldInteger},
    };
    for (const TOk& c : ok) {
        TExpressionParser parser;
        parser.SetErrorCode(RERUZO_INVALIDFILTER);
        parser.SetContextName("select list");
        parser.SetText(c.text);
        parser.NextToken();
        TExpToken* root = parser.ParseExpression(pfAllowExtendedPredicates | pfAllowAggregates | pfAllowAllColumns);
        TValidateOptions o{RERUZO_INVALIDFILTER, "items", "select list", false, Resolve};
        try {
            Validate(root, o);
            EXPECT_EQ(root->dataType, c.type) << c.text;
        } catch (const ERERUZOEngineError& e) {
            ADD_FAILURE() << c.text << ": " << e.ContextText;
        }
        FreeTree(root);
    }
    EXPECT_EQ(TChecked("cast(id as char(10)) = 'x'").tree->Operand(0)->dataSize, 11u);
    EXPECT_EQ(TChecked("cast(name as blob(1, 5)) = null").tree->Operand(0)->subType, 26);

    const std::pair<const char*, const char*> refused[] = {
        {"upper(id) = 'A'", "Type mismatch between UPPER function and function argument in filter expression"},
        {"length(d) = 1", "Type mismatch between LENGTH function and function argument in filter expression"},
        {"substring(id from 1) = 'a'", "Expression argument of SUBSTRING function must be a string or memo in filter expression"},
        {"substring(name from id) = 'a'", "FROM argument of SUBSTRING function must be an integer constant in filter expression"},
        {"substring(name from 0) = 'a'", "FROM argument of SUBSTRING function must be an integer constant greater than 0 in filter expression"},
        {"substring(name from 1 for 0) = 'a'", "FOR argument of SUBSTRING function must be an integer constant greater than 0 in filter expression"},
        {"trim(leading 'ab' from name) = 'a'", "Trim character argument of TRIM function must be a single character constant in filter expression"},
        {"trim(leading 'a' from id) = 'a'", "FROM argument of TRIM function must be a string or memo in filter expression"},
        {"extract(day from name) = 1", "FROM argument of EXTRACT function must be a date, time, or timestamp in filter expression"},
        {"pos('a' in id) = 1", "Type mismatch between POS function and IN argument in filter expression"},
        {"occurs(title in name) = 1", "Search string argument of OCCURS function must be a string constant in filter expression"},
        {"replace(title with 'b' in name) = 'a'", "Search argument of REPLACE function must be a string constant in filter expression"},
        {"replace('a' with title in name) = 'a'", "WITH argument of REPLACE function must be a string constant in filter expression"},
        {"abs(d) = d", "Expression argument of ABS function must be an integer or floating-point type in filter expression"},
        {"round(id) = 1", "Expression argument of ROUND function must be a floating-point type in filter expression"},
        {"round(amount to 33) = 1", "Decimal places argument of ROUND function must be an integer constant between 0 and 32 in filter expression"},
        {"round(amount to id) = 1", "Decimal places argument of ROUND function must be an integer constant in filter expression"},
        {"if(id then 1 else 2) = 1", "First expression argument of IF function must be a boolean type in filter expression"},
        {"if(active then null else null) = 1", "At least one of the second and third IF expression arguments in filter expression must be a non-NULL value"},
        {"if(active then 'a' else 2) = 1", "Type mismatch between second and third IF expression arguments in filter expression"},
        {"cast(pic as char(5)) = 'a'", "Type mismatch between column 'pic' and AS argument in filter expression"},
        {"cast(name as char(0)) = 'a'", "Length argument must be an integer greater than 0 and less than or equal to 250 in filter expression"},
        {"cast(name as char(251)) = 'a'", "Length argument must be an integer greater than 0 and less than or equal to 250 in filter expression"},
        {"cast(name as char(id)) = 'a'", "Length argument must be an integer in filter expression"},
        {"cast(id as decimal(10, 5)) = 1", "Scale argument must be an integer less than or equal to 4 for the BCD data type filter expression"},
        {"cast(name as blob(1, 4)) = null", "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in filter expression"},
        {"cast(name as blob('a', 1)) = null", "First BLOB type argument must be an integer in filter expression"},
    };
    for (const auto& [text, message] : refused) EXPECT_EQ(Error(text), message) << text;
}

TEST(ExpressionCheck, AggregatesNeedNumbersOrDates) {
    TExpressionParser parser;
    parser.SetErrorCode(RERUZO_SQLPARSE);
    parser.SetContextName("select list");
    parser.SetText("sum(name)");
    parser.NextToken();
    TExpTree tree(parser.ParseExpression(pfAllowAggregates));
    TExpToken* root = tree.release();
    TValidateOptions o{RERUZO_SQLPARSE, "items", "select list", false, Resolve};
    try {
        Validate(root, o);
        ADD_FAILURE() << "sum(name) was accepted";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE);
        EXPECT_EQ(e.ContextText, "SUM aggregate function must contain a numeric, date, time, or timestamp expression in select list");
    }
    FreeTree(root);
}

TEST(ExpressionCheck, TheFilterMustBeBoolean) {
    TChecked c("id + 1", true);
    try {
        CheckFilterResult(c.tree.get(), RERUZO_INVALIDFILTER, "items");
        ADD_FAILURE() << "an integer filter was accepted";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.ContextText, "filter expression must be a boolean expression");
        EXPECT_EQ(e.ContextTable, "items");
    }
    EXPECT_NO_THROW(CheckFilterResult(TChecked("active").tree.get(), RERUZO_INVALIDFILTER, "items"));
}

std::string Prepared(std::string_view text, bool caseInsensitive, bool noPartial) {
    TChecked c(text);
    TExpTree prepared(Prepare(c.tree.get(), {caseInsensitive, noPartial, 0, 0}));
    const TExpToken* n = prepared.get();
    std::string out = PrintTree(n);
    if (n->kind == nkStringCompare) out += " [compare" + std::string(n->evalFlag ? " nocase" : "") + " prefix " +
                                           std::to_string(n->evalSlot) + "]";
    return out;
}

TEST(ExpressionCheck, PreparationRewritesStringComparisons) {
    EXPECT_EQ(Prepared("name = 'Smi*'", false, false), "(= name 'Smi') [compare prefix 3]");
    EXPECT_EQ(Prepared("name = 'Smi*'", false, true), "(= name 'Smi*')");
    EXPECT_EQ(Prepared("name = 'Smi*'", true, true), "(= name 'Smi*') [compare nocase prefix 0]");
    EXPECT_EQ(Prepared("name < > 'SMITH'", true, false), "(< > name 'SMITH') [compare nocase prefix 0]");
    EXPECT_EQ(Prepared("name = 'SMITH'", false, false), "(= name 'SMITH')");
    EXPECT_EQ(Prepared("name < 'S*'", true, false), "(< name 'S*')");  // only = and <>
    EXPECT_EQ(Prepared("title like 'abc%'", false, false), "(= title 'abc') [compare prefix 3]");
    EXPECT_EQ(Prepared("title not like 'abc%'", false, false), "(<> title 'abc') [compare prefix 3]");
    EXPECT_EQ(Prepared("title like 'a_b%'", false, false), "(LIKE title 'a_b%')");
    EXPECT_EQ(Prepared("title like '%abc%'", false, false), "(LIKE title '%abc%')");
    EXPECT_EQ(Prepared("title like '%'", false, false), "(LIKE title '%')");
    EXPECT_EQ(Prepared("title like 'a%b'", false, false), "(LIKE title 'a%b')");
    // Deeper nodes are rewritten too, and the validated tree is left as it was.
    TChecked c("id = 1 and name = 'x*'");
    const std::string before = PrintTree(c.tree.get());
    TExpTree prepared(Prepare(c.tree.get(), {false, false, 0, 0}));
    EXPECT_EQ(PrintTree(prepared.get()), "(AND (= id 1) (= name 'x'))");
    EXPECT_EQ(prepared->Operand(1)->kind, nkStringCompare);
    EXPECT_EQ(prepared->Operand(1)->parent, prepared.get());
    EXPECT_EQ(PrintTree(c.tree.get()), before);
}

TEST(ExpressionCheck, NoNodeIsLostOnSuccessOrFailure) {
    const std::int64_t live = LiveNodeCount();
    for (const char* text : {"active and name = 'x*'", "if(active then 'a' else 2) = 1", "d > 'tomorrow'", "active"}) {
        try {
            TChecked c(text);
            TExpTree prepared(Prepare(c.tree.get(), {true, false, 0, 0}));
        } catch (const ERERUZOEngineError&) {
        }
    }
    EXPECT_EQ(LiveNodeCount(), live);
}

std::vector<TFieldDesc> ItemFields() {
    std::vector<TFieldDesc> fields = {MakeFieldDesc("id", kFieldInteger), MakeFieldDesc("keyid", kFieldInteger),
                                      MakeFieldDesc("title", kFieldString, 30), MakeFieldDesc("active", kFieldBoolean)};
    LayoutRecord(fields);
    return fields;
}

std::string Compiled(std::string_view text, TFilterTextOptions options = {}) {
    try {
        return PrintTree(CompileFilter(text, "vrqdtl", ItemFields(), 0, 0, options).get());
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_INVALIDFILTER) << text;
        EXPECT_EQ(e.ContextTable, "vrqdtl") << text;
        return "error: " + e.ContextText;
    }
}

TEST(ExpressionCheck, FilterTextsCompileToPreparedTrees) {
    EXPECT_EQ(Compiled("keyid=0"), "(= keyid 0)");
    EXPECT_EQ(Compiled("0 < keyid"), "(> keyid 0)");  // the column goes left, the operator turns
    EXPECT_EQ(Compiled("5 >= id and 'x*' = title"), "(AND (< = id 5) (= title 'x'))");
    EXPECT_EQ(Compiled("vrqdtl.keyid = 1"), "(= vrqdtl.keyid 1)");
    EXPECT_EQ(Compiled("active"), "(= active True)");
    EXPECT_EQ(Compiled("title = 'A*'", {false, true}), "(= title 'A*')");
    EXPECT_EQ(Compiled(""), "error: filter expression is empty");
    EXPECT_EQ(Compiled("   "), "error: Unknown or unexpected symbol '' found in filter expression");
    EXPECT_EQ(Compiled("keyid = 0 1"), "error: Unknown or unexpected symbol '1' found in filter expression");
    EXPECT_EQ(Compiled("keyid + 1"), "error: filter expression must be a boolean expression");
    EXPECT_EQ(Compiled("other.keyid = 1"),
              "error: Invalid column name 'keyid' or table correlation name 'other' specified in filter expression");
    EXPECT_EQ(Compiled("sum(id) > 1"), "error: Aggregate functions are not allowed in filter expression");
}

}  // namespace
}  // namespace reruzo
