// Validation and preparation of expression trees. Validation resolves column names
// through the caller, converts string constants beside dates and times, checks every
// operator and function against its operands' types and gives each node its result
// type. Preparation copies a validated tree and rewrites string comparisons for the
// filter options (case-insensitive, trailing "*") and prefix LIKE patterns, so that
// they can be answered as prefix comparisons.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/expression.h"
#include "engine/storage/data_format.h"

namespace reruzo {

// Looks a column node's name (and qualifier) up in the caller's table or tables. On
// success it sets the node's fieldNo, dataType, subType, dataSize and scale and
// returns true.
using TResolveColumn = std::function<bool(TExpToken& column)>;

struct TValidateOptions {
    std::uint16_t errorCode = 0;  // RERUZO_INVALIDFILTER for filters, RERUZO_SQLPARSE for SQL
    std::string errorTable;
    std::string contextName;
    bool booleanColumns = false;  // filters: a lone boolean column means column = TRUE
    TResolveColumn resolve;
    // A string constant stays a constant even when it spells a column's name (values
    // to be stored, where a quoted text is the text the user typed).
    bool stringsAreConstants = false;
};

// Validates the tree in place, each node after its operands. `root` may be replaced
// (a lone boolean column becomes a comparison). On failure the engine error is raised
// and the tree stays as far as it was validated; the caller still owns and frees it.
void Validate(TExpToken*& root, const TValidateOptions& options);

// Raises "filter expression must be a boolean expression" unless the root is boolean.
void CheckFilterResult(const TExpToken* root, std::uint16_t errorCode, const std::string& errorTable);

struct TPrepareOptions {
    bool caseInsensitive = false;
    bool noPartialCompare = false;
    std::uint16_t languageId = 0;
    std::uint16_t sortId = 0;
};

// A rewritten copy of a validated tree; the caller keeps the copy and frees both.
// Filters have no sub-selects; a sub-select node is copied without its query.
TExpToken* Prepare(const TExpToken* root, const TPrepareOptions& options);

// Whether a value like `source` can be cast to the target type (a NULL constant or a
// parameter can be cast to any).
bool CastAllowed(const TExpToken& source, std::uint8_t target);

// Whether values of the two types may meet in "=" (IN lists, BETWEEN bounds, IF
// branches and sub-select columns use the same rule).
bool ComparableForEquality(const TExpToken& left, const TExpToken& right);

// Resolves column names against the fields of one table (letter case ignored); a
// qualifier must name the table. `fields` must outlive the resolver.
TResolveColumn FieldResolver(const std::vector<TFieldDesc>& fields, const std::string& tableName);

// The result type of "+", "-", "*" or "/" on two non-text operands of allowed types.
std::uint8_t ArithmeticType(std::uint8_t op, std::uint8_t left, std::uint8_t right);

// How a filter text compares strings: without regard to letter case, and with "*"
// taken as a character instead of as the end of a partial match.
struct TFilterTextOptions {
    bool caseInsensitive = false;
    bool noPartialCompare = false;
};

// The whole path of a filter text to the tree a filter evaluates: parse (extended
// predicates allowed, nothing may follow the expression), bind the names to `fields`
// (a qualifier must name the table), validate, require a boolean result, put the
// column on the left of every comparison with a constant, and prepare. Errors are
// RERUZO_INVALIDFILTER with the table name.
TExpTree CompileFilter(std::string_view text, const std::string& tableName, const std::vector<TFieldDesc>& fields,
                       std::uint16_t languageId, std::uint16_t sortId, TFilterTextOptions options);

// Mirrors every comparison that has a constant on the left and a column on the right.
void PutColumnsLeft(TExpToken* root);

}  // namespace reruzo
