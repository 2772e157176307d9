// The lexer and the parser of the expression language: tokens with their positions,
// and the trees that the grammar builds from them, with every message of a syntax
// error.
#include "engine/expr/expression.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <utility>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"


namespace reruzo {
namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool IsSymbolStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || (c >= 0x81 && c <= 0xFE);
}
bool IsSymbolPart(unsigned char c) { return IsSymbolStart(c) || std::isdigit(c); }

TExpToken* Node(std::uint8_t kind, std::uint8_t op, std::string text, std::uint8_t type = 0) {
    TExpToken* n = AcquireNode();
    n->kind = kind;
    n->op = op;
    n->text = std::move(text);
    n->dataType = type;
    return n;
}

// Frees a partly built tree when a parse step fails.
struct TPending {
    TExpToken* node;
    explicit TPending(TExpToken* n) : node(n) {}
    ~TPending() {
        if (node) FreeTree(node);
    }
    TExpToken* Release() { return std::exchange(node, nullptr); }
};

void SetConstant(TExpToken* n, std::uint8_t type, const void* bytes, std::size_t size) {
    n->kind = nkConstant;
    n->dataType = type;
    n->dataSize = static_cast<std::uint32_t>(size);
    n->Reserve(size);
    std::memcpy(n->value.data(), bytes, size);
}

void SetString(TExpToken* n, const std::string& s) {
    n->kind = nkConstant;
    n->dataType = kFieldString;
    n->dataSize = static_cast<std::uint32_t>(s.size() + 1);
    n->Reserve(s.size() + 1);
    std::memcpy(n->value.data(), s.data(), s.size());
    n->value[s.size()] = 0;
    n->isNull = s.empty();
}

}  // namespace

// ---- Lexer -----------------------------------------------------------------------------

void TExpressionParser::SetText(std::string_view text) {
    text_.assign(text);
    position_ = tokenStart_ = tokenEnd_ = previousEnd_ = mark_ = 0;
    kind_ = tkEnd;
}

void TExpressionParser::Fail(const std::string& message) const {
    RaiseEngineError(errorCode_, {.table = errorTable_, .text = message.substr(0, 255)});
}

int TExpressionParser::NextToken() {
    previousEnd_ = position_;
    const std::size_t n = text_.size();
    auto at = [&](std::size_t i) -> unsigned char { return i < n ? static_cast<unsigned char>(text_[i]) : 0; };
    for (;;) {
        while (position_ < n && at(position_) >= 1 && at(position_) <= 32) ++position_;
        if (at(position_) == '/' && at(position_ + 1) == '*') {
            const auto close = text_.find("*/", position_ + 2);
            if (close == std::string::npos) Fail("Missing ending comment slash and asterisk in " + contextName_);
            position_ = close + 2;
            continue;
        }
        break;
    }
    tokenStart_ = position_;
    const unsigned char c = at(position_);
    // A zero byte ends the text, as it would a zero-terminated buffer.
    if (position_ >= n || c == 0) {
        kind_ = tkEnd;
        tokenEnd_ = position_;
        return kind_;
    }
    if (IsSymbolStart(c)) {
        while (position_ < n && IsSymbolPart(at(position_))) ++position_;
        kind_ = tkSymbol;
    } else if (c == '#') {
        ++position_;
        while (position_ < n && std::isdigit(at(position_))) ++position_;
        kind_ = tkCharConstant;
    } else if (c == '\'' || c == '"') {
        std::size_t p = position_ + 1;
        for (;;) {
            if (p >= n || at(p) == 0) {
                Fail(std::string(c == '\'' ? "Missing single quote after '" : "Missing double quote after '") +
                     text_.substr(position_ + 1) + "'" + InContext());
            }
            if (at(p) == c) {
                if (at(p + 1) == c) {
                    p += 2;
                    continue;
                }
                break;
            }
            ++p;
        }
        position_ = p + 1;
        kind_ = tkString;
    } else if (c == '[') {
        const auto close = text_.find(']', position_ + 1);
        if (close == std::string::npos) Fail("Missing right bracket after '" + text_.substr(position_ + 1) + "'" + InContext());
        position_ = close + 1;
        kind_ = tkBracketName;
    } else if (std::isdigit(c) || (c == '.' && std::isdigit(at(position_ + 1)))) {
        const bool startsWithDot = c == '.';
        if (startsWithDot) ++position_;
        while (position_ < n && std::isdigit(at(position_))) ++position_;
        bool isFloat = startsWithDot;
        for (;;) {
            const unsigned char d = at(position_);
            const unsigned char before = position_ > 0 ? at(position_ - 1) : 0;
            const bool exponentSign = (d == '+' || d == '-') && (before == 'E' || before == 'e');
            if (std::isdigit(d) || (d == '.' && !startsWithDot) || d == 'E' || d == 'e' || exponentSign) {
                if (!std::isdigit(d)) isFloat = true;
                ++position_;
            } else {
                break;
            }
        }
        kind_ = isFloat ? tkFloat : tkInteger;
    } else {
        ++position_;
        kind_ = c;
    }
    tokenEnd_ = position_;
    return kind_;
}

std::string TExpressionParser::TokenText() const {
    if (kind_ == tkEnd) return {};
    if (kind_ == tkString || kind_ == tkBracketName) {
        std::string inner = text_.substr(tokenStart_ + 1, tokenEnd_ - tokenStart_ - 2);
        if (kind_ == tkString) {
            for (const char* pair : {"\"\"", "''"}) {
                std::string out;
                for (std::size_t i = 0; i < inner.size(); ++i) {
                    out += inner[i];
                    if (inner[i] == pair[0] && i + 1 < inner.size() && inner[i + 1] == pair[0]) ++i;
                }
                inner = out;
            }
        }
        return inner;
    }
    return text_.substr(tokenStart_, tokenEnd_ - tokenStart_);
}

bool TExpressionParser::TokenIs(std::string_view keyword) const {
    return kind_ == tkSymbol && Upper(TokenText()) == Upper(keyword);
}

std::string TExpressionParser::TextSinceMark() const {
    std::string out;
    for (std::size_t i = mark_; i < previousEnd_ && i < text_.size(); ++i) {
        if (text_[i] != '\r' && text_[i] != '\n') out += text_[i];
    }
    return out;
}

// ---- Parser ------------------------------------------------------------------------------

struct TExpressionParser::TDepthGuard {
    TExpressionParser& p;
    explicit TDepthGuard(TExpressionParser& parser) : p(parser) {
        if (++p.depth_ > kMaxExpressionDepth) {
            p.depth_ = 0;
            p.Fail("Expression nested too deeply in " + p.contextName_);
        }
    }
    ~TDepthGuard() {
        if (p.depth_ > 0) --p.depth_;
    }
};

void TExpressionParser::Expect(char c, const std::string& message) {
    if (!TokenIsChar(c)) Fail(message + Found());
    NextToken();
}

TExpToken* TExpressionParser::ParseExpression(unsigned flags) {
    TDepthGuard guard(*this);
    TPending left(ParseAnd(flags));
    while (TokenIs("OR")) {
        NextToken();
        TExpToken* right = ParseAnd(flags);
        TExpToken* node = Node(nkBinary, opOr, "OR", kFieldBoolean);
        AddOperand(node, left.Release());
        AddOperand(node, right);
        left.node = node;
    }
    return left.Release();
}

TExpToken* TExpressionParser::ParseAnd(unsigned flags) {
    TPending left(ParseNot(flags));
    while (TokenIs("AND")) {
        NextToken();
        TExpToken* right = ParseNot(flags);
        TExpToken* node = Node(nkBinary, opAnd, "AND", kFieldBoolean);
        AddOperand(node, left.Release());
        AddOperand(node, right);
        left.node = node;
    }
    return left.Release();
}

TExpToken* TExpressionParser::ParseNot(unsigned flags) {
    if (!TokenIs("NOT")) return ParseComparison(flags);
    NextToken();
    TExpToken* operand = ParseComparison(flags);
    TExpToken* node = Node(nkUnary, opNot, "NOT", kFieldBoolean);
    AddOperand(node, operand);
    return node;
}

TExpToken* TExpressionParser::ParseComparison(unsigned flags) {
    TPending left(ParseSimpleExpression(flags));
    auto binary = [&](std::uint8_t op, const char* text) {
        TExpToken* right = ParseSimpleExpression(flags);
        TExpToken* node = Node(nkBinary, op, text, kFieldBoolean);
        AddOperand(node, left.Release());
        AddOperand(node, right);
        return node;
    };
    if (TokenIsChar('=')) {
        NextToken();
        return binary(opEq, "=");
    }
    if (TokenIsChar('<')) {
        NextToken();
        if (TokenIsChar('>')) {
            NextToken();
            return binary(opNe, "< >");
        }
        if (TokenIsChar('=')) {
            NextToken();
            return binary(opLe, "< =");
        }
        return binary(opLt, "<");
    }
    if (TokenIsChar('>')) {
        NextToken();
        if (TokenIsChar('=')) {
            NextToken();
            return binary(opGe, "> =");
        }
        return binary(opGt, ">");
    }
    const bool isNot = TokenIs("NOT");
    if (!isNot && !TokenIs("BETWEEN") && !TokenIs("LIKE") && !TokenIs("IN") && !TokenIs("IS")) return left.Release();
    if (!(flags & pfAllowExtendedPredicates))
        Fail("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in " + contextName_);
    if (isNot) {
        NextToken();
        if (!TokenIs("BETWEEN") && !TokenIs("LIKE") && !TokenIs("IN"))
            Fail("Unknown or unexpected symbol '" + Found());
    }
    if (TokenIs("BETWEEN")) {
        NextToken();
        TPending node(Node(nkPredicate, isNot ? opNotBetween : opBetween, isNot ? "NOT BETWEEN" : "BETWEEN", kFieldBoolean));
        AddOperand(node.node, left.Release());
        AddOperand(node.node, ParseSimpleExpression(flags));
        if (!TokenIs("AND")) Fail("Expected AND operator in BETWEEN operator, instead found '" + Found());
        NextToken();
        AddOperand(node.node, ParseSimpleExpression(flags));
        return node.Release();
    }
    if (TokenIs("LIKE")) {
        NextToken();
        TPending node(Node(nkPredicate, isNot ? opNotLike : opLike, isNot ? "NOT LIKE" : "LIKE", kFieldBoolean));
        AddOperand(node.node, left.Release());
        AddOperand(node.node, ParseSimpleExpression(flags));
        return node.Release();
    }
    if (TokenIs("IN")) {
        NextToken();
        if (!TokenIsChar('(')) {
            Fail(std::string(isNot ? "Expected left parentheses for IN operator, instead found '"
                                   : "Expected left parentheses after IN operator, instead found '") +
                 Found());
        }
        NextToken();
        if (TokenIs("SELECT")) {
            if (!(flags & pfAllowSubSelects) || !owner_) Fail("Sub-select queries are not allowed in " + contextName_);
            TPending node(Node(nkPredicate, isNot ? opNotInSelect : opInSelect, isNot ? "NOT IN" : "IN", kFieldBoolean));
            AddOperand(node.node, left.Release());
            TExpToken* sub = Node(nkSubSelect, opNone, "SELECT");
            AddOperand(node.node, sub);
            sub->subSelect = owner_->ParseSubSelect(*this);
            if (!TokenIsChar(')')) Fail("Expected right parentheses after IN operator, instead found '" + Found());
            NextToken();
            return node.Release();
        }
        TPending node(Node(nkPredicate, isNot ? opNotInList : opInList, isNot ? "NOT IN" : "IN", kFieldBoolean));
        AddOperand(node.node, left.Release());
        AddOperand(node.node, ParseSimpleExpression(flags));
        while (TokenIsChar(',')) {
            NextToken();
            AddOperand(node.node, ParseSimpleExpression(flags));
        }
        if (!TokenIsChar(')')) Fail("Expected right parentheses after IN operator, instead found '" + Found());
        NextToken();
        return node.Release();
    }
    // IS [NOT] NULL
    NextToken();
    bool negated = false;
    if (TokenIs("NOT")) {
        negated = true;
        NextToken();
    }
    if (!TokenIs("NULL")) Fail("Unknown or unexpected symbol '" + TokenText() + "' found in " + contextName_);
    NextToken();
    TPending node(Node(nkBinary, negated ? opNe : opEq, negated ? "IS NOT NULL" : "IS NULL", kFieldBoolean));
    AddOperand(node.node, left.Release());
    TExpToken* null = Node(nkConstant, opNone, "NULL");
    null->isNull = true;
    AddOperand(node.node, null);
    return node.Release();
}

TExpToken* TExpressionParser::ParseSimpleExpression(unsigned flags) {
    TPending left(ParseTerm(flags));
    for (;;) {
        std::uint8_t op = opNone;
        const char* text = "";
        if (TokenIsChar('+')) {
            op = opAdd;
            text = "+";
        } else if (TokenIsChar('-')) {
            op = opSubtract;
            text = "-";
        } else if (TokenIsChar('|')) {
            NextToken();
            if (!TokenIsChar('|')) {
                Fail("Second concatenation symbol '|' expected after first concatentation symbol, instead found '" +
                     Found());
            }
            op = opAdd;
            text = "||";
        } else {
            return left.Release();
        }
        NextToken();
        TExpToken* right = ParseTerm(flags);
        TExpToken* node = Node(nkBinary, op, text);
        AddOperand(node, left.Release());
        AddOperand(node, right);
        left.node = node;
    }
}

TExpToken* TExpressionParser::ParseTerm(unsigned flags) {
    TPending left(ParseSignedTerm(flags));
    while (TokenIsChar('*') || TokenIsChar('/')) {
        const bool multiply = TokenIsChar('*');
        NextToken();
        TExpToken* right = ParseSignedTerm(flags);
        TExpToken* node = Node(nkBinary, multiply ? opMultiply : opDivide, multiply ? "*" : "/");
        AddOperand(node, left.Release());
        AddOperand(node, right);
        left.node = node;
    }
    return left.Release();
}

TExpToken* TExpressionParser::ParseSignedTerm(unsigned flags) {
    TDepthGuard guard(*this);
    if (!TokenIsChar('+') && !TokenIsChar('-')) return ParsePrimary(flags);
    const bool negate = TokenIsChar('-');
    NextToken();
    TExpToken* operand = ParsePrimary(flags);
    TExpToken* node = Node(nkUnary, negate ? opNegate : opPlusSign, negate ? "-" : "+", operand->dataType);
    node->subType = operand->subType;
    node->dataSize = operand->dataSize;
    node->scale = operand->scale;
    AddOperand(node, operand);
    return node;
}

TExpToken* TExpressionParser::ParseQualified(std::string qualifier, std::string written, unsigned flags) {
    // Current token: "."
    NextToken();
    std::string column;
    if (kind_ == tkSymbol || kind_ == tkString || kind_ == tkBracketName) {
        column = TokenText();
    } else if (TokenIsChar('*')) {
        if (!(flags & pfAllowAllColumns)) Fail("* (all columns) symbol is not allowed in " + contextName_);
        column = "*";
    } else {
        Fail("Symbol or string expression expected after table correlation name separator '.', instead found '" + Found());
    }
    NextToken();
    // The qualifier is reduced to its file-name part without extension.
    auto trim = [](std::string s) {
        while (!s.empty() && s.back() == ' ') s.pop_back();
        while (!s.empty() && s.front() == ' ') s.erase(0, 1);
        return s;
    };
    qualifier = trim(qualifier);
    const auto sep = qualifier.find_last_of("\\:");
    if (sep != std::string::npos) qualifier = qualifier.substr(sep + 1);
    const auto dot = qualifier.rfind('.');
    if (dot != std::string::npos) qualifier.resize(dot);
    TExpToken* node = Node(nkColumn, opNone, written + "." + column);
    node->name = column;
    node->qualifier = qualifier;
    return node;
}

TExpToken* TExpressionParser::ParsePrimary(unsigned flags) {
    switch (kind_) {
        case tkInteger:
        case tkFloat: {
            const std::string text = TokenText();
            TPending node(Node(nkConstant, opNone, text));
            if (kind_ == tkInteger && ParseInt32(text)) {
                const std::int32_t v = *ParseInt32(text);
                SetConstant(node.node, kFieldInteger, &v, 4);
            } else if (kind_ == tkInteger && ParseInt64(text)) {
                const std::int64_t v = *ParseInt64(text);
                SetConstant(node.node, kFieldLargeInt, &v, 8);
            } else if (auto f = ParseFloat(text); f && text.find_first_of("+-") != 0) {
                const double v = *f;
                SetConstant(node.node, kFieldFloat, &v, 8);
            } else {
                Fail("Constant '" + text + "'" + " is not a valid number " + InContext());
            }
            NextToken();
            return node.Release();
        }
        case tkCharConstant: {
            const std::string text = TokenText();
            const auto code = ParseInt32(text.substr(1));
            if (text.size() < 2 || !code || *code < 0 || *code > 255)
                Fail("Character constants (#) must be within the range of 0 to 255" + InContext());
            TPending node(Node(nkConstant, opNone, text));
            SetString(node.node, std::string(1, static_cast<char>(*code)));
            node.node->isNull = false;
            node.node->dataSize = 2;
            NextToken();
            return node.Release();
        }
        case tkString: {
            const std::string text = TokenText();
            NextToken();
            if (TokenIsChar('.')) return ParseQualified(text, text, flags);
            TExpToken* node = Node(nkConstant, opNone, text);
            SetString(node, text);
            return node;
        }
        case tkBracketName: {
            const std::string text = TokenText();
            NextToken();
            if (TokenIsChar('.')) return ParseQualified(text, "[" + text + "]", flags);
            TExpToken* node = Node(nkColumn, opNone, text);
            node->name = text;
            return node;
        }
        case '(': {
            NextToken();
            TPending inner(ParseExpression(flags));
            if (!TokenIsChar(')')) Fail("Right parentheses expected, instead found '" + Found());
            NextToken();
            return inner.Release();
        }
        case '*': {
            if (!(flags & pfAllowAllColumns)) Fail("* (all columns) symbol is not allowed in " + contextName_);
            NextToken();
            TExpToken* node = Node(nkColumn, opNone, "*");
            node->name = "*";
            return node;
        }
        case '?': {
            if (!(flags & pfAllowParameters)) Fail("Parameters are not allowed in " + contextName_);
            NextToken();
            TExpToken* node = Node(nkConstant, opNone, "?");
            node->isParameter = true;
            node->isNull = true;
            if (owner_) owner_->RegisterParameter(node);
            return node;
        }
        case tkSymbol: {
            const std::string written = TokenText();
            const std::string upper = Upper(written);
            if (TExpToken* f = ParseFunction(upper, written, flags)) return f;
            NextToken();
            if (TokenIsChar('(')) Fail("Unknown or unexpected function '" + written + "'" + " found in " + contextName_);
            if (TokenIsChar('.')) return ParseQualified(written, written, flags);
            TExpToken* node = Node(nkColumn, opNone, written);
            node->name = written;
            return node;
        }
        default:
            Fail("Unknown or unexpected symbol '" + TokenText() + "'" + " found in " + contextName_);
    }
}

TExpToken* TExpressionParser::ParseFunction(const std::string& upper, const std::string& written, unsigned flags) {
    (void)written;
    static const std::pair<const char*, std::uint8_t> kAggregates[] = {
        {"SUM", opSum}, {"AVG", opAvg}, {"MIN", opMin}, {"MAX", opMax}, {"COUNT", opCount}};
    for (const auto& [name, code] : kAggregates) {
        if (upper != name) continue;
        if (!(flags & pfAllowAggregates)) Fail("Aggregate functions are not allowed in " + contextName_);
        NextToken();
        if (!TokenIsChar('(')) {
            Fail("Left parentheses expectedafter aggregate function '" + upper + "'" + ", instead found " + "'" + Found());
        }
        NextToken();
        TPending node(Node(nkFunction, code, upper));
        AddOperand(node.node, ParseSimpleExpression(flags));
        if (!TokenIsChar(')')) {
            Fail("Right parentheses expected after aggregate " + upper + " function argument, instead found " + "'" + Found());
        }
        NextToken();
        return node.Release();
    }
    // Single-argument functions whose left-parenthesis message runs two words together.
    static const std::pair<const char*, std::uint8_t> kSimple[] = {
        {"LOWER", opLower}, {"UPPER", opUpper}, {"LENGTH", opLength}, {"ABS", opAbs}};
    for (const auto& [name, code] : kSimple) {
        if (upper != name) continue;
        NextToken();
        if (!TokenIsChar('(')) Fail("Left parentheses expectedafter " + upper + " keyword, instead found '" + Found());
        NextToken();
        TPending node(Node(nkFunction, code, upper));
        TExpToken* arg = ParseSimpleExpression(flags);
        AddOperand(node.node, arg);
        if (code == opLength) node.node->dataType = kFieldInteger;
        if (code == opLower || code == opUpper) node.node->dataType = kFieldString;
        if (code == opAbs) {
            node.node->dataType = arg->dataType;
            node.node->subType = arg->subType;
            node.node->dataSize = arg->dataSize;
            node.node->scale = arg->scale;
        }
        if (!TokenIsChar(')')) Fail("Right parentheses expected after " + upper + " function argument, instead found '" + Found());
        NextToken();
        return node.Release();
    }
    auto open = [&](const std::string& name) {
        NextToken();
        if (!TokenIsChar('(')) Fail("Left parentheses expected after " + name + " keyword, instead found '" + Found());
        NextToken();
    };
    auto keyword = [&](const char* word, const std::string& message) {
        if (!TokenIs(word)) Fail(message + Found());
        NextToken();
    };
    auto close = [&](const std::string& name) {
        if (!TokenIsChar(')')) Fail("Right parentheses expected after " + name + " function arguments, instead found '" + Found());
        NextToken();
    };
    if (upper == "SUBSTRING") {
        open(upper);
        TPending node(Node(nkFunction, opSubstring, upper, kFieldString));
        AddOperand(node.node, ParseSimpleExpression(flags));
        keyword("FROM", "FROM keyword expected after first SUBSTRING function argument, instead found '");
        AddOperand(node.node, ParsePrimary(flags));
        if (TokenIs("FOR")) {
            NextToken();
            AddOperand(node.node, ParsePrimary(flags));
        }
        close(upper);
        return node.Release();
    }
    if (upper == "REPLACE") {
        open(upper);
        TPending node(Node(nkFunction, opReplace, upper, kFieldString));
        TPending search(ParseSimpleExpression(flags));
        keyword("WITH", "WITH keyword expected after first REPLACE function argument, instead found '");
        TPending replacement(ParseSimpleExpression(flags));
        keyword("IN", "IN keyword expected after second REPLACE function argument, instead found '");
        AddOperand(node.node, ParsePrimary(flags));
        AddOperand(node.node, search.Release());
        AddOperand(node.node, replacement.Release());
        close(upper);
        return node.Release();
    }
    if (upper == "POS" || upper == "OCCURS") {
        open(upper);
        TPending node(Node(nkFunction, upper == "POS" ? opPos : opOccurs, upper, kFieldInteger));
        TPending search(ParseSimpleExpression(flags));
        keyword("IN", "IN keyword expected after first " + upper + " function argument, instead found '");
        AddOperand(node.node, ParsePrimary(flags));
        AddOperand(node.node, search.Release());
        close(upper);
        return node.Release();
    }
    if (upper == "CAST") {
        open(upper);
        TPending node(Node(nkFunction, opCast, upper));
        AddOperand(node.node, ParseExpression(flags));
        keyword("AS", "AS keyword expected after first CAST function argument, instead found '");
        ParseDataType(node.node, flags, false);
        close(upper);
        return node.Release();
    }
    if (upper == "TRIM") {
        open(upper);
        std::uint8_t code = opNone;
        if (TokenIs("LEADING")) code = opTrimLeading;
        if (TokenIs("TRAILING")) code = opTrimTrailing;
        if (TokenIs("BOTH")) code = opTrimBoth;
        if (code == opNone) Fail("LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '" + Found());
        NextToken();
        TPending node(Node(nkFunction, code, upper, kFieldString));
        TPending character(ParsePrimary(flags));
        keyword("FROM", "FROM keyword expected after second TRIM function argument, instead found '");
        AddOperand(node.node, ParseSimpleExpression(flags));
        AddOperand(node.node, character.Release());
        close(upper);
        return node.Release();
    }
    if (upper == "EXTRACT") {
        open(upper);
        static const std::pair<const char*, std::uint8_t> kParts[] = {
            {"YEAR", opExtractYear}, {"MONTH", opExtractMonth}, {"WEEK", opExtractWeek}, {"DAY", opExtractDay},
            {"DAYOFWEEK", opExtractDayOfWeek}, {"HOUR", opExtractHour}, {"MINUTE", opExtractMinute},
            {"SECOND", opExtractSecond}};
        std::uint8_t code = opNone;
        for (const auto& [part, c] : kParts) code = TokenIs(part) ? c : code;
        if (code == opNone) {
            Fail("YEAR, MONTH, WEEK, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, instead found '" +
                 Found());
        }
        NextToken();
        keyword("FROM", "FROM keyword expected after second EXTRACT function argument, instead found '");
        TPending node(Node(nkFunction, code, upper, kFieldInteger));
        AddOperand(node.node, ParsePrimary(flags));
        close(upper);
        return node.Release();
    }
    if (upper == "ROUND") {
        NextToken();
        if (!TokenIsChar('(')) Fail("Left parentheses expectedafter ROUND keyword, instead found '" + Found());
        NextToken();
        TPending node(Node(nkFunction, opRound, upper, kFieldFloat));
        AddOperand(node.node, ParseSimpleExpression(flags));
        if (TokenIs("TO")) {
            NextToken();
            AddOperand(node.node, ParseSimpleExpression(flags));
        }
        close(upper);
        return node.Release();
    }
    if (upper == "IF") {
        NextToken();
        if (!TokenIsChar('(')) Fail("Left parentheses expectedafter IF keyword, instead found '" + Found());
        NextToken();
        TPending node(Node(nkFunction, opIf, upper));
        AddOperand(node.node, ParseExpression(flags));
        keyword("THEN", "THEN keyword expected after first IF function argument, instead found '");
        AddOperand(node.node, ParseSimpleExpression(flags));
        keyword("ELSE", "ELSE keyword expected after second IF function argument, instead found '");
        AddOperand(node.node, ParseSimpleExpression(flags));
        close(upper);
        return node.Release();
    }
    if (upper == "TRUE" || upper == "FALSE") {
        TPending node(Node(nkConstant, opNone, upper == "TRUE" ? "True" : "False"));
        const std::uint16_t v = upper == "TRUE" ? 1 : 0;
        SetConstant(node.node, kFieldBoolean, &v, 2);
        NextToken();
        return node.Release();
    }
    if (upper == "NULL") {
        TPending node(Node(nkConstant, opNone, "NULL"));
        node.node->isNull = true;
        NextToken();
        return node.Release();
    }
    if (upper == "CURRENT_DATE" || upper == "CURRENT_TIME" || upper == "CURRENT_TIMESTAMP") {
        TPending node(Node(nkConstant, opNone, upper));
        const std::int32_t day = DateToDayNumber(Today());
        const std::int32_t ms = TimeToMilliseconds(TimeOfDayNow());
        if (upper == "CURRENT_DATE") {
            SetConstant(node.node, kFieldDate, &day, 4);
        } else if (upper == "CURRENT_TIME") {
            SetConstant(node.node, kFieldTime, &ms, 4);
        } else {
            const double stamp = ToTimeStamp(day, ms);
            SetConstant(node.node, kFieldTimeStamp, &stamp, 8);
        }
        NextToken();
        return node.Release();
    }
    return nullptr;
}

void TExpressionParser::ParseDataType(TExpToken* node, unsigned flags, bool optional) {
    struct TType {
        const char* keyword;
        std::uint8_t type;
        std::uint8_t subType;
    };
    static const TType kTypes[] = {
        {"SMALLINT", kFieldSmallInt, 0}, {"WORD", kFieldWord, 0}, {"INTEGER", kFieldInteger, 0}, {"INT", kFieldInteger, 0},
        {"LARGEINT", kFieldLargeInt, 0}, {"AUTOINC", kFieldInteger, 29}, {"DECIMAL", kFieldBCD, 0},
        {"NUMERIC", kFieldFloat, 0}, {"FLOAT", kFieldFloat, 0}, {"MONEY", kFieldFloat, 21},
        {"CHARACTER", kFieldString, 0}, {"CHAR", kFieldString, 0}, {"VARCHAR", kFieldString, 0},
        {"DATE", kFieldDate, 0}, {"TIME", kFieldTime, 0}, {"TIMESTAMP", kFieldTimeStamp, 0},
        {"BOOLEAN", kFieldBoolean, 0}, {"BYTES", kFieldBytes, 0}, {"BLOB", kFieldBlob, 0}};
    const TType* found = nullptr;
    for (const TType& t : kTypes) {
        if (TokenIs(t.keyword)) found = &t;
    }
    if (!found) {
        if (optional) return;
        Fail("SQL data type keyword expected, instead found '" + Found());
    }
    const std::string keyword = found->keyword;
    node->dataType = found->type;
    node->subType = found->subType;
    NextToken();
    auto argument = [&] { AddOperand(node, ParsePrimary(flags)); };
    if (keyword == "DECIMAL" || keyword == "NUMERIC" || keyword == "FLOAT") {
        if (!TokenIsChar('(')) return;
        NextToken();
        argument();
        if (TokenIsChar(',')) {
            NextToken();
            argument();
        }
        if (!TokenIsChar(')')) Fail("Right parentheses expected after " + keyword + " data type arguments, instead found '" + Found());
        NextToken();
    } else if (keyword == "CHARACTER" || keyword == "CHAR" || keyword == "VARCHAR") {
        const std::string what = keyword == "VARCHAR" ? "VARCHAR" : "CHARACTER or CHAR";
        if (!TokenIsChar('(')) Fail("Left parentheses expected after " + what + " data type, instead found '" + Found());
        NextToken();
        argument();
        if (!TokenIsChar(')')) Fail("Right parentheses expected after " + what + " data type arguments, instead found '" + Found());
        NextToken();
    } else if (keyword == "BYTES") {
        if (!TokenIsChar('(')) return;
        NextToken();
        argument();
        if (!TokenIsChar(')')) Fail("Right parentheses expected after CHARACTER data type arguments, instead found '" + Found());
        NextToken();
    } else if (keyword == "BLOB") {
        if (!TokenIsChar('(')) Fail("Left parentheses expected after BLOB data type, instead found '" + Found());
        NextToken();
        argument();
        if (!TokenIsChar(',')) Fail("Comma expected after first BLOB argument, instead found '" + Found());
        NextToken();
        argument();
        if (!TokenIsChar(')')) Fail("Right parentheses expected after BLOB data type arguments, instead found '" + Found());
        NextToken();
    }
}

}  // namespace reruzo
