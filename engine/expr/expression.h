// The expression language shared by table filters and every clause of the SQL
// dialect: a hand-written lexer and a recursive-descent parser that build trees of
// TExpToken nodes. The parser checks only the permissions of the clause it parses
// (ParseFlags); types are checked when a tree is validated. Every syntax error raises
// the engine error the caller chose, with a message that names the clause.
//
// Grammar, loosest level first (each level passes the clause's flags down):
//   or         := and {"OR" and}
//   and        := not {"AND" not}
//   not        := ["NOT"] comparison
//   comparison := simple [ ("=" | "<" [">" | "="] | ">" ["="]) simple
//                        | ["NOT"] ("BETWEEN" simple "AND" simple | "LIKE" simple
//                                   | "IN" "(" (sub-select | simple {"," simple}) ")")
//                        | "IS" ["NOT"] "NULL" ]
//   simple     := term {("+" | "-" | "||") term}
//   term       := signed {("*" | "/") signed}
//   signed     := ["+" | "-"] primary
//   primary    := number | #n | string | [name] | name | q.name | "(" or ")" | "*" | "?"
//               | function forms | TRUE | FALSE | NULL | CURRENT_DATE | CURRENT_TIME
//               | CURRENT_TIMESTAMP
//
// Nodes come from a process-wide pool (TExpTokenStack) guarded by its own lock; a
// parser and its trees belong to one cursor or statement at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/field_types.h"

namespace reruzo {

enum TNodeKind : std::uint8_t {
    nkNone = 0,
    nkUnary = 1,
    nkBinary = 2,
    // A prepared "=" or "<>" on strings: evalFlag 1 ignores case, evalSlot > 0 compares
    // only that many leading characters.
    nkStringCompare = 3,
    nkColumn = 4,
    nkConstant = 5,
    nkSubSelect = 6,
    nkFunction = 10,
    nkPredicate = 12,
};

// Operator and function codes.
enum TOperator : std::uint8_t {
    opNone = 0,
    opEq = 3, opNe = 4, opGt = 5, opLt = 6, opGe = 7, opLe = 8,
    opNot = 9, opAnd = 10, opOr = 11,
    opNegate = 15, opPlusSign = 16, opAdd = 17, opSubtract = 18, opMultiply = 19, opDivide = 20,
    opSum = 23, opCount = 24, opMin = 25, opMax = 26, opAvg = 27,
    opLike = 31, opInList = 32, opInSelect = 33,
    opUpper = 35, opLower = 36,
    opBetween = 40, opNotBetween = 41, opNotLike = 42, opNotInList = 43, opNotInSelect = 44,
    opSubstring = 45, opReplace = 46, opPos = 47, opOccurs = 48,
    opTrimLeading = 49, opTrimTrailing = 50, opTrimBoth = 51,
    opLength = 52, opCast = 53,
    opExtractYear = 54, opExtractMonth = 55, opExtractWeek = 56, opExtractDay = 57,
    opExtractDayOfWeek = 58, opExtractHour = 59, opExtractMinute = 60, opExtractSecond = 61,
    opIf = 62, opAbs = 63, opRound = 64,
};

struct TExpToken;

// The query a sub-select node owns; made by the SQL layer.
class TSubSelect {
public:
    virtual ~TSubSelect() = default;
    // Validates the query; afterwards its result columns are known.
    virtual void Validate() = 0;
    virtual int ColumnCount() const = 0;
    // The first result column's type, subtype, size and scale are copied to `into`.
    virtual void DescribeColumn(TExpToken& into) const = 0;
    // True when a result row's first column is "=" to `value`.
    virtual bool Contains(const TExpToken& value) = 0;
    // Another handle of the same query, for a copy of the node (nullptr: copies of
    // the node have no query).
    virtual std::unique_ptr<TSubSelect> Clone() const { return nullptr; }
};

struct TExpToken {
    std::size_t ValueCapacity() const { return value.size(); }

    std::string text;
    std::uint8_t kind = nkNone;
    std::uint8_t op = opNone;
    std::string name;
    std::uint16_t fieldNo = 0;
    std::string qualifier;
    std::unique_ptr<TSubSelect> subSelect;
    std::vector<std::uint8_t> value;  // field storage format; capacity a multiple of 256
    bool isNull = false;
    bool isParameter = false;
    std::int32_t evalSlot = 0;
    std::uint8_t evalFlag = 0;
    std::uint8_t dataType = 0;
    std::uint8_t subType = 0;
    std::uint32_t dataSize = 0;
    std::uint8_t scale = 0;
    bool cameFromString = false;
    std::uint8_t savedType = 0;
    std::uint8_t savedSubType = 0;
    std::uint32_t savedSize = 0;
    std::uint8_t savedScale = 0;
    TExpToken* parent = nullptr;
    // Operand 1, 2, 3 and, for IN lists and CAST arguments, the ones after them.
    std::vector<TExpToken*> operands;

    TExpToken* Operand(std::size_t i) const { return i < operands.size() ? operands[i] : nullptr; }
    // Makes room for `size` value bytes (in steps of 256), zero-filled.
    void Reserve(std::size_t size);
};

// ---- Type classes of node values ----------------------------------------------------------

// SUM, COUNT, MIN, MAX or AVG.
inline bool IsAggregate(const TExpToken& n) {
    return n.kind == nkFunction && (n.op == opSum || n.op == opCount || n.op == opMin || n.op == opMax || n.op == opAvg);
}

inline bool IsIntegerKind(std::uint8_t t) {
    return t == kFieldSmallInt || t == kFieldInteger || t == kFieldWord || t == kFieldLargeInt;
}
inline bool IsNumeric(std::uint8_t t) { return IsIntegerKind(t) || t == kFieldFloat || t == kFieldBCD; }
inline bool IsTemporal(std::uint8_t t) { return t == kFieldDate || t == kFieldTime || t == kFieldTimeStamp; }
inline bool IsMemo(const TExpToken& n) { return n.dataType == kFieldBlob && n.subType == kSubMemo; }
// Strings and memos: text that compares, concatenates and matches.
inline bool IsText(const TExpToken& n) { return n.dataType == kFieldString || IsMemo(n); }
// The value bytes of a fixed-size type (a BCD value takes 34); 0 for strings, bytes
// and BLOBs, whose size comes from their declaration.
std::uint32_t FixedValueSize(std::uint8_t type);

// The process-wide pool of free nodes.
TExpToken* AcquireNode();
void ReleaseNode(TExpToken* node);
void FreeTree(TExpToken* root);
// Nodes acquired and not yet released, in every thread: a parse that fails must leave
// this where it found it.
std::int64_t LiveNodeCount();
// Appends `operand` to the operands of `node`, which becomes its parent.
void AddOperand(TExpToken* node, TExpToken* operand);
// A new "AND" node over two conditions, as the parser makes it.
TExpToken* AndNode(TExpToken* left, TExpToken* right);
TExpToken* CloneTree(const TExpToken* root);
// A copy of one node's attributes, without operands; a sub-select's query is shared
// through another handle when its handle can give one.
TExpToken* CloneNode(const TExpToken* node);
bool TreesEqual(const TExpToken* a, const TExpToken* b);
// Releases a tree when it goes out of scope.
struct TTreeDeleter {
    void operator()(TExpToken* root) const { FreeTree(root); }
};
using TExpTree = std::unique_ptr<TExpToken, TTreeDeleter>;

// Permissions of a parse context.
enum TParseFlag : unsigned {
    pfAllowAggregates = 1,
    pfAllowAllColumns = 2,
    pfAllowExtendedPredicates = 4,
    pfAllowParameters = 8,
    pfAllowSubSelects = 16,
};

enum TTokenKind : int {
    tkEnd = 0,
    tkSymbol = 1,
    tkBracketName = 2,
    tkString = 3,
    tkCharConstant = 4,
    tkInteger = 5,
    tkFloat = 6,
};

class TExpressionParser;

// The owner of a parser that is an SQL statement: it numbers parameters and parses
// sub-selects from the same parser.
class TParserOwner {
public:
    virtual ~TParserOwner() = default;
    virtual void RegisterParameter(TExpToken* node) = 0;
    // Parses "SELECT ..." starting at the current token.
    virtual std::unique_ptr<TSubSelect> ParseSubSelect(TExpressionParser& parser) = 0;
};

inline constexpr int kMaxExpressionDepth = 500;

class TExpressionParser {
public:
    explicit TExpressionParser(TParserOwner* owner = nullptr) : owner_(owner) {}

    void SetErrorCode(std::uint16_t code) { errorCode_ = code; }
    void SetErrorTableName(std::string name) { errorTable_ = std::move(name); }
    void SetContextName(std::string name) { contextName_ = std::move(name); }
    const std::string& ContextName() const { return contextName_; }

    void SetText(std::string_view text);
    int NextToken();
    int TokenKind() const { return kind_; }
    std::string TokenText() const;
    bool TokenIs(std::string_view keyword) const;
    bool TokenIsChar(char c) const { return kind_ == static_cast<unsigned char>(c); }
    void MarkStart() { mark_ = tokenStart_; }
    std::string TextSinceMark() const;

    TExpToken* ParseExpression(unsigned flags);
    TExpToken* ParseSimpleExpression(unsigned flags);
    TExpToken* ParseSignedTerm(unsigned flags);
    TExpToken* ParsePrimary(unsigned flags);
    void ParseDataType(TExpToken* node, unsigned flags, bool optional);

    // Raises the parser's engine error with `message`.
    [[noreturn]] void Fail(const std::string& message) const;

private:
    struct TDepthGuard;
    TExpToken* ParseAnd(unsigned flags);
    TExpToken* ParseNot(unsigned flags);
    TExpToken* ParseComparison(unsigned flags);
    TExpToken* ParseTerm(unsigned flags);
    TExpToken* ParseQualified(std::string qualifier, std::string written, unsigned flags);
    TExpToken* ParseFunction(const std::string& upper, const std::string& written, unsigned flags);
    void Expect(char c, const std::string& message);
    std::string InContext() const { return " in " + contextName_; }
    std::string Found() const { return TokenText() + "'" + InContext(); }

    TParserOwner* owner_;
    std::uint16_t errorCode_ = 0;
    std::string errorTable_;
    std::string contextName_;
    std::string text_;
    std::size_t position_ = 0;
    std::size_t tokenStart_ = 0;
    std::size_t tokenEnd_ = 0;
    std::size_t previousEnd_ = 0;
    std::size_t mark_ = 0;
    int kind_ = tkEnd;
    int depth_ = 0;
};

// A compact printed form of a tree, for tests and diagnostics:
// binary "(= keyid 0)", unary "(- 1)", predicates "(LIKE title '%a%')",
// functions "(UPPER x)", constants 0, 'text', NULL, ?, columns name or q.name.
std::string PrintTree(const TExpToken* root);

}  // namespace reruzo
