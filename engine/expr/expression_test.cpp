// Table-driven tests of the expression lexer and parser: tree shapes in a compact
// printed form, the exact messages of malformed texts, permissions of the clauses,
// and robustness against deep nesting and odd bytes.
#include "engine/expr/expression.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace reruzo {
namespace {

constexpr unsigned kFilter = pfAllowExtendedPredicates;
constexpr unsigned kWhere = pfAllowExtendedPredicates | pfAllowParameters;
constexpr unsigned kSelectList = pfAllowAggregates | pfAllowAllColumns | pfAllowExtendedPredicates;

struct TParse {
    TExpressionParser parser;
    TExpTree tree;
    TParse(std::string_view text, unsigned flags = kFilter, const char* context = "filter expression") {
        parser.SetErrorCode(RERUZO_INVALIDFILTER);
        parser.SetErrorTableName("t");
        parser.SetContextName(context);
        parser.SetText(text);
        parser.NextToken();
        tree.reset(parser.ParseExpression(flags));
    }
};

std::string Tree(std::string_view text, unsigned flags = kFilter) { return PrintTree(TParse(text, flags).tree.get()); }

// The text of the error a parse raises (without the table prefix), or "".
std::string Error(std::string_view text, unsigned flags = kFilter, const char* context = "filter expression") {
    try {
        TParse p(text, flags, context);
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_INVALIDFILTER);
        EXPECT_EQ(e.ContextTable, "t");
        return e.ContextText;
    }
    return "";
}

TEST(ExpressionParser, TreeShapes) {
    const std::pair<const char*, const char*> cases[] = {
        {"keyid=0", "(= keyid 0)"},
        {"title like '%abc%' and parent<>-1", "(AND (LIKE title '%abc%') (< > parent (- 1)))"},
        {"keyid = 0 garbage", "(= keyid 0)"},
        {"a = b = c", "(= a b)"},
        {"a < > b", "(< > a b)"},
        {"a <= b or c >= d and e > f", "(OR (< = a b) (AND (> = c d) (> e f)))"},
        {"x IS NULL", "(IS NULL x NULL)"},
        {"x is not null", "(IS NOT NULL x NULL)"},
        {"NOT x LIKE y", "(NOT (LIKE x y))"},
        {"x NOT LIKE y", "(NOT LIKE x y)"},
        {"NOT NOT", "(NOT NOT)"},
        {"a between 1 and b+1", "(BETWEEN a 1 (+ b 1))"},
        {"a not between 1 and 2", "(NOT BETWEEN a 1 2)"},
        {"a in (1, 'x', b)", "(IN a 1 'x' b)"},
        {"a not in (2)", "(NOT IN a 2)"},
        {"1 + 2 * 3 - 4 / 5", "(- (+ 1 (* 2 3)) (/ 4 5))"},
        {"(1 + 2) * -3", "(* (+ 1 2) (- 3))"},
        {"'a' || 'b' + c", "(+ (|| 'a' 'b') c)"},
        {"2147483647", "2147483647"},
        {"2147483648", "2147483648L"},
        {"9223372036854775808", "9223372036854775808F"},
        {"1e3", "1000F"},
        {".5", "0.5F"},
        {"1.5e-2", "0.015F"},
        {"12-3", "(- 12 3)"},
        {"#65", "'A'"},
        {"''", "NULL"},
        {"\"\"", "NULL"},
        {"'it''s'", "'it's'"},
        {"\"say \"\"hi\"\"\"", "'say \"hi\"'"},
        {"[length]", "length"},
        {"\xD0\xDE\xB8\xB4 = 1", "(= \xD0\xDE\xB8\xB4 1)"},
        {"t.x = [my table].[col]", "(= t.x my table.col)"},
        {"'c:\\data\\items.dat'.x", "items.x"},
        {"/* note */ a /* more */ = 1", "(= a 1)"},
        {"upper(a) = lower('B')", "(= (UPPER a) (LOWER 'B'))"},
        {"length(a) + abs(-2)", "(+ (LENGTH a) (ABS (- 2)))"},
        {"substring(s from 2 for 3)", "(SUBSTRING s 2 3)"},
        {"substring(s from 2)", "(SUBSTRING s 2)"},
        {"replace('a' with 'b' in s)", "(REPLACE s 'a' 'b')"},
        {"pos('a' in s) + occurs('b' in s)", "(+ (POS s 'a') (OCCURS s 'b'))"},
        {"trim(leading ' ' from s)", "(TRIM s ' ')"},
        {"extract(year from d)", "(EXTRACT d)"},
        {"round(x to 2) + round(y)", "(+ (ROUND x 2) (ROUND y))"},
        {"if(a = 1 then 2 else 3)", "(IF (= a 1) 2 3)"},
        {"cast(x as decimal(10,2))", "(CAST x 10 2)"},
        {"cast(x as decimal(10))", "(CAST x 10)"},
        {"cast(x as char(20))", "(CAST x 20)"},
        {"cast(x as blob(1, 2))", "(CAST x 1 2)"},
        {"active = true", "(= active True)"},
        {"a = 1\0garbage", "(= a 1)"},
    };
    for (const auto& [text, printed] : cases) EXPECT_EQ(Tree(text), printed) << text;
    EXPECT_EQ(Tree("count(*) + sum(x)", kSelectList), "(+ (COUNT *) (SUM x))");
    EXPECT_EQ(Tree("a = ?", kWhere), "(= a ?)");
}

TEST(ExpressionParser, NodeAttributes) {
    TParse p("x IS NULL");
    TParse q("x = NULL");
    EXPECT_TRUE(TreesEqual(p.tree.get(), q.tree.get()));
    EXPECT_EQ(p.tree->op, opEq);
    EXPECT_EQ(p.tree->kind, nkBinary);
    EXPECT_EQ(p.tree->dataType, 4);
    TParse cast("cast(x as money)");
    EXPECT_EQ(cast.tree->op, opCast);
    EXPECT_EQ(cast.tree->dataType, 7);
    EXPECT_EQ(cast.tree->subType, 21);
    TParse big("2147483648");
    EXPECT_EQ(big.tree->dataType, 18);
    EXPECT_EQ(big.tree->dataSize, 8u);
    EXPECT_EQ(GetLE<std::int64_t>(big.tree->value.data()), 2147483648LL);
    TParse hash("#65");
    EXPECT_EQ(hash.tree->dataSize, 2u);
    EXPECT_EQ(hash.tree->value.size(), 256u);
    TParse empty("''");
    EXPECT_EQ(empty.tree->dataType, 1);
    EXPECT_TRUE(empty.tree->isNull);
    TParse date("current_date");
    EXPECT_EQ(date.tree->dataType, 2);
    TParse extract("extract(dayofweek from d)");
    EXPECT_EQ(extract.tree->op, opExtractDayOfWeek);
    TParse trim("trim(both 'x' from s)");
    EXPECT_EQ(trim.tree->op, opTrimBoth);
    // Clones are equal and independent.
    TParse source("a between 1 and 'x'");
    TExpTree clone(CloneTree(source.tree.get()));
    EXPECT_TRUE(TreesEqual(source.tree.get(), clone.get()));
    EXPECT_EQ(clone->Operand(0)->parent, clone.get());
    TParse other("a between 1 and 'y'");
    EXPECT_FALSE(TreesEqual(source.tree.get(), other.tree.get()));
}

TEST(ExpressionParser, Messages) {
    const std::pair<const char*, const char*> cases[] = {
        {"1.2.3", "Constant '1.2.3' is not a valid number  in filter expression"},
        {"#256", "Character constants (#) must be within the range of 0 to 255 in filter expression"},
        {"   ", "Unknown or unexpected symbol '' found in filter expression"},
        {"length = 1", "Left parentheses expectedafter LENGTH keyword, instead found '=' in filter expression"},
        {"a = 'abc", "Missing single quote after 'abc' in filter expression"},
        {"a = \"abc", "Missing double quote after 'abc' in filter expression"},
        {"[abc = 1", "Missing right bracket after 'abc = 1' in filter expression"},
        {"a = 1 /* open", "Missing ending comment slash and asterisk in filter expression"},
        {"(a = 1", "Right parentheses expected, instead found '' in filter expression"},
        {"a | b", "Second concatenation symbol '|' expected after first concatentation symbol, instead found 'b' in filter expression"},
        {"a between 1 or 2", "Expected AND operator in BETWEEN operator, instead found 'or' in filter expression"},
        {"a in 1", "Expected left parentheses after IN operator, instead found '1' in filter expression"},
        {"a not in 1", "Expected left parentheses for IN operator, instead found '1' in filter expression"},
        {"a in (1, 2", "Expected right parentheses after IN operator, instead found '' in filter expression"},
        {"a not = 1", "Unknown or unexpected symbol '=' in filter expression"},
        {"a is 1", "Unknown or unexpected symbol '1' found in filter expression"},
        {"foo(1)", "Unknown or unexpected function 'foo' found in filter expression"},
        {"t.+", "Symbol or string expression expected after table correlation name separator '.', instead found '+' in filter expression"},
        {"sum(a)", "Aggregate functions are not allowed in filter expression"},
        {"a = ?", "Parameters are not allowed in filter expression"},
        {"*", "* (all columns) symbol is not allowed in filter expression"},
        {"upper a", "Left parentheses expectedafter UPPER keyword, instead found 'a' in filter expression"},
        {"upper(a", "Right parentheses expected after UPPER function argument, instead found '' in filter expression"},
        {"substring(a, 1)", "FROM keyword expected after first SUBSTRING function argument, instead found ',' in filter expression"},
        {"substring a", "Left parentheses expected after SUBSTRING keyword, instead found 'a' in filter expression"},
        {"replace('a' in s)", "WITH keyword expected after first REPLACE function argument, instead found 'in' in filter expression"},
        {"replace('a' with 'b' from s)", "IN keyword expected after second REPLACE function argument, instead found 'from' in filter expression"},
        {"pos('a', s)", "IN keyword expected after first POS function argument, instead found ',' in filter expression"},
        {"occurs('a' in s", "Right parentheses expected after OCCURS function arguments, instead found '' in filter expression"},
        {"cast(a to int)", "AS keyword expected after first CAST function argument, instead found 'to' in filter expression"},
        {"cast(a as text)", "SQL data type keyword expected, instead found 'text' in filter expression"},
        {"cast(a as char)", "Left parentheses expected after CHARACTER or CHAR data type, instead found ')' in filter expression"},
        {"cast(a as varchar(5)", "Right parentheses expected after CAST function arguments, instead found '' in filter expression"},
        {"cast(a as blob(1))", "Comma expected after first BLOB argument, instead found ')' in filter expression"},
        {"trim(' ' from s)", "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found ' ' in filter expression"},
        {"trim(both ' ' in s)", "FROM keyword expected after second TRIM function argument, instead found 'in' in filter expression"},
        {"extract(century from d)", "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, instead found 'century' in filter expression"},
        {"extract(year of d)", "FROM keyword expected after second EXTRACT function argument, instead found 'of' in filter expression"},
        {"round x", "Left parentheses expectedafter ROUND keyword, instead found 'x' in filter expression"},
        {"if(a then 1)", "ELSE keyword expected after second IF function argument, instead found ')' in filter expression"},
        {"if(a else 1)", "THEN keyword expected after first IF function argument, instead found 'else' in filter expression"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(Error(text), message) << text;
    EXPECT_EQ(Error("x in ()", kWhere, "WHERE or JOIN clause"), "Unknown or unexpected symbol ')' found in WHERE or JOIN clause");
    EXPECT_EQ(Error("a like 'b'", pfAllowAggregates, "HAVING clause"),
              "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause");
    EXPECT_EQ(Error("a in (select x from t)", kWhere, "WHERE or JOIN clause"),
              "Sub-select queries are not allowed in WHERE or JOIN clause");
    EXPECT_EQ(Error("count a", kSelectList, "source column expression"),
              "Left parentheses expectedafter aggregate function 'COUNT', instead found 'a' in source column expression");
    EXPECT_EQ(Error("count(a", kSelectList, "source column expression"),
              "Right parentheses expected after aggregate COUNT function argument, instead found '' in source column expression");
}

TEST(ExpressionParser, TheEngineErrorCarriesTheMessage) {
    try {
        TParse p("a = 'x");
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_STREQ(e.what(), "RERUZO Engine Error # 10051 Filter error for the table 't' - Missing single quote after 'x' in filter expression");
    }
    TExpressionParser sql;
    sql.SetErrorCode(RERUZO_SQLPARSE);
    sql.SetContextName("value expression");
    sql.SetText(std::string(400, 'x') + "(");
    sql.NextToken();
    try {
        TExpTree t(sql.ParseExpression(pfAllowParameters));
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE);
        EXPECT_EQ(e.ContextText.size(), 255u);  // cut
    }
}

TEST(ExpressionParser, DeepNestingAndOddBytesNeverCrash) {
    const std::string deep = std::string(50000, '(') + "1" + std::string(50000, ')');
    EXPECT_EQ(Error(deep), "Expression nested too deeply in filter expression");
    const std::string fine = std::string(100, '(') + "1" + std::string(100, ')');
    EXPECT_EQ(Tree(fine), "1");
    for (const char* odd : {"\x80\xFF", "a = \xFF", "\x01\x02", "'\x81'", "[\x81\x40]"}) {
        try {
            TParse p(odd);
        } catch (const ERERUZOEngineError&) {
        }
    }
    EXPECT_EQ(Tree("[\x81\x40]"), "\x81\x40");
}

TEST(ExpressionParser, AFailedParseReleasesEveryNode) {
    // Each text builds a node and then meets a token the lexer refuses.
    for (const char* text : {"#65 'open", "true \"open", "null [open", "current_date /* open", "a + #66 'x",
                             "if(a then 1 else false 'x"}) {
        const std::int64_t live = LiveNodeCount();
        EXPECT_NE(Error(text), "") << text;
        EXPECT_EQ(LiveNodeCount(), live) << text;
    }
    const std::int64_t live = LiveNodeCount();
    {
        TParse p("a + 1 = 2 and b in (1, 2)");
        EXPECT_GT(LiveNodeCount(), live);
    }
    EXPECT_EQ(LiveNodeCount(), live);
}

TEST(ExpressionParser, TokensAndMarks) {
    TExpressionParser p;
    p.SetContextName("SQL statement");
    p.SetText("select 'it''s' , [a b]\r\n + 1 from t");
    EXPECT_EQ(p.NextToken(), tkSymbol);
    EXPECT_TRUE(p.TokenIs("SELECT"));
    EXPECT_EQ(p.NextToken(), tkString);
    EXPECT_EQ(p.TokenText(), "it's");
    EXPECT_EQ(p.NextToken(), ',');
    EXPECT_TRUE(p.TokenIsChar(','));
    p.NextToken();
    p.MarkStart();
    EXPECT_EQ(p.TokenKind(), tkBracketName);
    EXPECT_EQ(p.TokenText(), "a b");
    p.NextToken();
    p.NextToken();
    EXPECT_EQ(p.TokenKind(), tkInteger);
    p.NextToken();
    EXPECT_EQ(p.TextSinceMark(), "[a b] + 1");
    EXPECT_TRUE(p.TokenIs("from"));
}

}  // namespace
}  // namespace reruzo

namespace reruzo {
namespace {

// Every input the fuzzer kept (seeds, and any crash it ever found) goes through the
// fuzz target itself: parse, clone, validate, prepare and evaluate, which traps on a
// lost node. The parse alone must give a tree or raise an engine error.
TEST(ExpressionParser, FuzzCorpusReplays) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QUORVANE_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        const std::int64_t live = LiveNodeCount();
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0)
            << entry.path();
        EXPECT_EQ(LiveNodeCount(), live) << "nodes lost by " << entry.path();
        ++files;
    }
    EXPECT_GE(files, 9);
}

}  // namespace
}  // namespace reruzo
