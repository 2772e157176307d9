// What the statement grammars share: the context names of their clauses and the
// kinds of token that name a table, a column or a correlation.
#pragma once

#include "engine/expr/expression.h"

namespace reruzo::grammar {

inline constexpr const char* kStatementContext = "SQL statement";
inline constexpr const char* kWhereContext = "WHERE or JOIN clause";

// A symbol or a quoted string.
inline bool IsName(const TExpressionParser& p) { return p.TokenKind() == tkSymbol || p.TokenKind() == tkString; }
inline bool IsNameOrBracket(const TExpressionParser& p) { return IsName(p) || p.TokenKind() == tkBracketName; }

// Restores the statement's context name however a clause's parse ends.
struct TClauseContext {
    TClauseContext(TExpressionParser& parser, const char* name) : p(parser) { p.SetContextName(name); }
    ~TClauseContext() { p.SetContextName(kStatementContext); }
    TClauseContext(const TClauseContext&) = delete;
    TClauseContext& operator=(const TClauseContext&) = delete;
    TExpressionParser& p;
};

}  // namespace reruzo::grammar
