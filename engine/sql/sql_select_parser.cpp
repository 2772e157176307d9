// The SELECT grammar: the select list with its aliases, INTO, FROM with correlation
// names and joins, WHERE, WITH LOCKS, NOJOINOPTIMIZE, UNION, and for the main query
// and sub-selects GROUP BY, HAVING, ORDER BY, TOP, LANGUAGE/SORT and ENCRYPTED WITH,
// in the order they must appear, with the message of every way they can go wrong.
#include <algorithm>
#include <charconv>
#include <functional>
#include <initializer_list>

#include "engine/sql/sql_grammar.h"
#include "engine/sql/sql_statement.h"
#include "platform/nls.h"

namespace reruzo {
namespace {

using namespace grammar;

bool ContainsAggregate(const TExpToken* n) {
    if (!n) return false;
    if (IsAggregate(*n)) return true;
    return std::any_of(n->operands.begin(), n->operands.end(), ContainsAggregate);
}

TAggregateKind AggregateKindOf(std::uint8_t op) {
    switch (op) {
        case opSum: return akSum;
        case opCount: return akCount;
        case opMin: return akMin;
        case opMax: return akMax;
        case opAvg: return akAvg;
        default: return akNone;
    }
}

}  // namespace

void TDataQuery::ParseSelect() {
    TExpressionParser& p = statement_.Parser();
    auto expected = [&p](const std::string& message) { p.Fail(message + p.TokenText() + "'"); };
    p.NextToken();
    if (p.TokenIs("ALL")) p.NextToken();
    if (p.TokenIs("DISTINCT")) {
        distinct = true;
        p.NextToken();
    }
    ParseSelectList();
    if (p.TokenIs("INTO")) ParseInto();
    if (!p.TokenIs("FROM")) expected("FROM keyword expected, instead found '");
    ParseFrom();
    if (p.TokenIs("WHERE")) {
        p.NextToken();
        const TClauseContext clause(p, kWhereContext);
        AddCondition(p.ParseExpression(pfAllowExtendedPredicates | pfAllowParameters | pfAllowSubSelects));
    }
    if (p.TokenIs("WITH")) {
        p.NextToken();
        if (!p.TokenIs("LOCKS")) expected("LOCKS keyword expected after WITH keyword, instead found '");
        withLocks = true;
        p.NextToken();
    }
    if (p.TokenIs("NOJOINOPTIMIZE")) {
        noJoinOptimize = true;
        p.NextToken();
    }
    if (p.TokenIs("UNION")) {
        p.NextToken();
        unionKind = ukUnion;
        if (p.TokenIs("ALL")) {
            unionKind = ukUnionAll;
            p.NextToken();
        }
        TDataQuery& next = statement_.NewQuery();
        next.unionPart = true;
        next.unionKind = unionKind;
        next.requestLive = false;
        unionQuery = &next;
        next.Parse();
    }
    if (unionPart) return;
    ParseTrailingClauses();
    if (subSelect) return;
    if (p.TokenIsChar(';')) {
        p.NextToken();
    } else if (p.TokenKind() != tkEnd) {
        expected("End of SELECT statement expected, instead found '");
    }
}

void TDataQuery::ParseSelectList() {
    TExpressionParser& p = statement_.Parser();
    auto expected = [&p](const std::string& message) { p.Fail(message + p.TokenText() + "'"); };
    const TClauseContext clause(p, "source column expression");
    for (;;) {
        if (p.TokenKind() == tkEnd || p.TokenIsChar(',') || p.TokenIs("FROM") || p.TokenIs("INTO")) {
            p.Fail("Source column expression is empty");
        }
        p.MarkStart();
        TResultField field;
        field.expression.reset(p.ParseExpression(pfAllowAggregates | pfAllowAllColumns | pfAllowExtendedPredicates));
        field.text = p.TextSinceMark();
        const TExpToken* e = field.expression.get();
        if (IsAggregate(*e)) {
            if (std::any_of(e->operands.begin(), e->operands.end(), ContainsAggregate)) {
                p.Fail("Aggregate functions cannot be nested");
            }
            field.aggregate = AggregateKindOf(e->op);
            e = e->Operand(0);
        } else if (ContainsAggregate(e)) {
            p.Fail("Aggregate functions cannot be used within expressions");
        }
        if (e && e->kind == nkColumn) {
            field.qualifier = e->qualifier;
            field.columnName = e->name;
        } else {
            field.isExpression = true;
            hasExpressionColumns = true;
        }
        // The alias: AS name, or a bare name; a "." and a name after it replace it.
        bool aliased = false;
        if (p.TokenIs("AS")) {
            p.NextToken();
            if (!IsNameOrBracket(p)) expected("Symbol or string expected after AS keyword, instead found '");
            aliased = true;
        } else if (IsName(p) && !p.TokenIs("INTO") && !p.TokenIs("FROM")) {
            aliased = true;
        }
        if (aliased) {
            field.alias = p.TokenText();
            p.NextToken();
            if (p.TokenIsChar('.')) {
                p.NextToken();
                if (!IsNameOrBracket(p)) {
                    expected("Symbol or string expected after table correlation name, instead found '");
                }
                field.alias = p.TokenText();
                p.NextToken();
            }
        }
        resultFields.push_back(std::move(field));
        if (!p.TokenIsChar(',')) break;
        p.NextToken();
    }
}

void TDataQuery::ParseInto() {
    TExpressionParser& p = statement_.Parser();
    if (subSelect || unionPart || insertSelect) p.Fail("The INTO clause can only be used with the master query");
    p.NextToken();
    requestLive = false;
    if (p.TokenIs("MEMORY")) {
        intoMemory = true;
        p.NextToken();
        if (p.TokenIs("FROM")) return;
    }
    if (!IsName(p)) p.Fail("Result table name expected in INTO clause, instead found '" + p.TokenText() + "'");
    intoTableName = p.TokenText().substr(0, 255);
    p.NextToken();
}

void SetSourceTableName(TSourceTable& table, std::string name) {
    // A name with a path: the folder holds the table, the last part names it.
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) {
        if (!table.memory) table.directory = name.substr(0, slash + 1);
        name = name.substr(slash + 1);
    }
    if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
    table.tableName = name;
    table.correlationName = name;
}

bool TakeMemoryKeyword(TExpressionParser& p, TSourceTable& table) {
    if (!p.TokenIs("MEMORY")) return false;
    table.memory = true;
    table.directory = "Memory";
    p.NextToken();
    return true;
}

bool TDataQuery::EndsTableReference() const {
    const TExpressionParser& p = statement_.Parser();
    // The words that may follow a table reference of this statement.
    static constexpr std::initializer_list<const char*> kSelect = {
        "LEFT", "RIGHT", "INNER", "JOIN", "FULL", "ON", "WHERE", "UNION", "ORDER", "GROUP", "HAVING",
        "TOP", "RANGE", "WITH", "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE"};
    static constexpr std::initializer_list<const char*> kUpdate = {
        "LEFT", "RIGHT", "INNER", "JOIN", "FULL", "ON", "WHERE", "NOAUTOINC", "COMMIT", "NOJOINOPTIMIZE"};
    static constexpr std::initializer_list<const char*> kDelete = {
        "LEFT", "RIGHT", "INNER", "JOIN", "FULL", "ON", "WHERE", "COMMIT", "NOJOINOPTIMIZE"};
    const auto& words = kind == skUpdate ? kUpdate : kind == skDelete ? kDelete : kSelect;
    for (const char* word : words) {
        if (p.TokenIs(word)) return true;
    }
    return insertSelect && (p.TokenIs("NOAUTOINC") || p.TokenIs("COMMIT"));
}

TSourceTable TDataQuery::ReadTableReference(const char* missingName) {
    TExpressionParser& p = statement_.Parser();
    TSourceTable table;
    TakeMemoryKeyword(p, table);
    if (!IsName(p)) p.Fail(missingName + p.TokenText() + "'");
    SetSourceTableName(table, p.TokenText());
    p.NextToken();
    if (p.TokenIs("AS")) {
        p.NextToken();
        if (!IsNameOrBracket(p)) p.Fail("Symbol or string expected after AS keyword, instead found '" + p.TokenText() + "'");
        table.correlationName = p.TokenText();
        p.NextToken();
    } else if (IsName(p) && !EndsTableReference()) {
        table.correlationName = p.TokenText();
        p.NextToken();
    }
    return table;
}

void TDataQuery::AddSourceTable(TSourceTable table, bool atFront) {
    for (const TSourceTable& other : sourceTables) {
        if (SameSqlName(other.correlationName, table.correlationName)) {
            statement_.Parser().Fail("Duplicate table correlation name '" + table.correlationName +
                                     "' found in source tables");
        }
    }
    table.tableNumber = static_cast<std::uint16_t>(sourceTables.size() + 1);
    sourceTables.insert(atFront ? sourceTables.begin() : sourceTables.end(), std::move(table));
}

void TDataQuery::ParseTableReference(const char* missingName, bool atFront) {
    AddSourceTable(ReadTableReference(missingName), atFront);
}

void TDataQuery::ParseFrom() {
    TExpressionParser& p = statement_.Parser();
    p.NextToken();
    ParseTableReference("Table name expected after FROM keyword, instead found '", false);
    for (;;) {
        ParseJoins();
        if (!p.TokenIsChar(',')) break;
        p.NextToken();
        ParseTableReference("Table name expected after FROM keyword, instead found '", false);
        hasSeveralTables = true;
    }
}

void TDataQuery::ParseJoins() {
    TExpressionParser& p = statement_.Parser();
    auto expected = [&p](const std::string& message) { p.Fail(message + p.TokenText() + "'"); };
    for (;;) {
        TJoinKind joinKind = jkInner;
        const char* statement = kind == skUpdate ? "UPDATE" : kind == skDelete ? "DELETE" : "SELECT";
        if (p.TokenIs("FULL")) {
            p.Fail(std::string("Full outer joins are currently not supported in RERUZO SQL ") + statement + " statements");
        } else if (p.TokenIs("INNER")) {
            p.NextToken();
            if (!p.TokenIs("JOIN")) expected("JOIN keyword expected after INNER keyword, instead found '");
        } else if (p.TokenIs("LEFT") || p.TokenIs("RIGHT")) {
            const bool left = p.TokenIs("LEFT");
            // A RIGHT JOIN's table goes first, where the table an UPDATE or DELETE
            // changes must stay.
            if (!left && kind != skSelect) {
                p.Fail(std::string("Right outer joins are currently not supported in RERUZO SQL ") + statement +
                       " statements");
            }
            joinKind = left ? jkLeftOuter : jkRightOuter;
            p.NextToken();
            if (p.TokenIs("OUTER")) p.NextToken();
            if (!p.TokenIs("JOIN")) {
                expected(left ? "JOIN keyword expected after LEFT or OUTER keyword, instead found '"
                              : "JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
            }
        } else if (!p.TokenIs("JOIN")) {
            return;
        }
        p.NextToken();
        ParseTableReference("Table name expected after JOIN keyword, instead found '", joinKind == jkRightOuter);
        const std::uint16_t joined = static_cast<std::uint16_t>(sourceTables.size());
        if (!p.TokenIs("ON")) expected("ON keyword expected in JOIN clause, instead found '");
        p.NextToken();
        TExpToken* condition = nullptr;
        {
            const TClauseContext clause(p, kWhereContext);
            condition = p.ParseExpression(pfAllowExtendedPredicates | pfAllowParameters);
        }
        AddCondition(condition);
        joins.push_back({joinKind, joined, condition});
        hasSeveralTables = true;
    }
}

void TDataQuery::AddCondition(TExpToken* condition) {
    where.reset(where ? AndNode(where.release(), condition) : condition);
    hasWhere = true;
}

void TDataQuery::ParseTrailingClauses() {
    TExpressionParser& p = statement_.Parser();
    auto expected = [&p](const std::string& message) { p.Fail(message + p.TokenText() + "'"); };
    if (p.TokenIs("GROUP")) {
        p.NextToken();
        if (!p.TokenIs("BY")) expected("BY keyword expected after GROUP keyword, instead found '");
        ParseGroupBy();
    }
    if (p.TokenIs("HAVING")) {
        p.NextToken();
        const TClauseContext clause(p, "HAVING clause");
        // COUNT(*) may stand in HAVING as in the select list, which is where HAVING's
        // aggregates must come from; "*" anywhere else is refused.
        having.reset(p.ParseExpression(pfAllowAggregates | pfAllowAllColumns));
        std::function<void(const TExpToken*, bool)> check = [&](const TExpToken* n, bool countArgument) {
            if (n->kind == nkColumn && n->name == "*" && !countArgument) {
                p.Fail("* (all columns) symbol is not allowed in HAVING clause");
            }
            for (const TExpToken* o : n->operands) check(o, n->kind == nkFunction && n->op == opCount);
        };
        check(having.get(), false);
        hasHaving = true;
    }
    if (p.TokenIs("ORDER")) {
        p.NextToken();
        if (!p.TokenIs("BY")) expected("BY keyword expected after ORDER keyword, instead found '");
        ParseOrderBy();
    }
    if (p.TokenIs("TOP")) {
        p.NextToken();
        const std::string text = p.TokenText();
        std::int32_t count = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
        if (p.TokenKind() != tkInteger || ec != std::errc() || end != text.data() + text.size()) {
            expected("Integer value expected after TOP keyword, instead found '");
        }
        top = count;
        p.NextToken();
    }
    if (p.TokenIs("WITH")) {
        p.NextToken();
        if (!p.TokenIs("LOCKS")) expected("LOCKS keyword expected after WITH keyword, instead found '");
        withLocks = true;
        p.NextToken();
    }
    if (p.TokenIs("LANGUAGE")) ParseLanguage();
    if (p.TokenIs("ENCRYPTED")) {
        p.NextToken();
        if (!p.TokenIs("WITH")) expected("WITH keyword expected after ENCRYPTED keyword, instead found '");
        p.NextToken();
        if (!IsName(p)) expected("Password expected after ENCRYPTED WITH keywords, instead found '");
        resultPassword = p.TokenText().substr(0, 255);
        resultPasswordGiven = !resultPassword.empty();
        p.NextToken();
    }
    if (p.TokenIs("NOJOINOPTIMIZE")) {
        noJoinOptimize = true;
        p.NextToken();
    }
}

namespace {

// An item of GROUP BY or ORDER BY: name, qualifier "." name, or a column number.
TGroupByField ParseColumnItem(TExpressionParser& p, const char* clause) {
    auto fail = [&] {
        p.Fail(std::string("Column name or column number expected in ") + clause + ", instead found '" +
               p.TokenText() + "'");
    };
    TGroupByField item;
    if (p.TokenKind() == tkInteger) {
        const std::string text = p.TokenText();
        unsigned long number = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        // A number beyond every column count is kept as the largest one.
        item.columnNumber = ec == std::errc() ? static_cast<std::uint16_t>(std::min(number, 65535ul)) : 65535;
        item.byNumber = true;
        p.NextToken();
        return item;
    }
    if (!IsNameOrBracket(p)) fail();
    item.columnName = p.TokenText();
    p.NextToken();
    if (p.TokenIsChar('.')) {
        p.NextToken();
        if (!IsNameOrBracket(p)) fail();
        item.qualifier = std::move(item.columnName);
        item.columnName = p.TokenText();
        p.NextToken();
    }
    return item;
}

}  // namespace

void TDataQuery::ParseGroupBy() {
    TExpressionParser& p = statement_.Parser();
    p.NextToken();
    hasGroupBy = true;
    for (;;) {
        groupByFields.push_back(ParseColumnItem(p, "GROUP BY clause"));
        if (!p.TokenIsChar(',')) return;
        p.NextToken();
    }
}

void TDataQuery::ParseOrderBy() {
    TExpressionParser& p = statement_.Parser();
    p.NextToken();
    hasOrderBy = true;
    for (;;) {
        TOrderByField item{ParseColumnItem(p, "ORDER BY clause")};
        if (p.TokenIs("DESC") || p.TokenIs("DESCENDING")) {
            item.descending = true;
            p.NextToken();
        } else if (p.TokenIs("ASC") || p.TokenIs("ASCENDING")) {
            p.NextToken();
        }
        orderByFields.push_back(std::move(item));
        if (!p.TokenIsChar(',')) break;
        p.NextToken();
    }
    if (p.TokenIs("NOCASE")) {
        orderByNoCase = true;
        p.NextToken();
    }
}

// LANGUAGE string [SORT string]: a SELECT's result table, or the table that CREATE
// TABLE or ALTER TABLE defines.
void TDataQuery::ParseLanguage() {
    TExpressionParser& p = statement_.Parser();
    const bool definesTable = kind == skCreateTable || kind == skAlterTable;
    std::uint16_t& languageId = definesTable ? definition.languageId : resultLanguage;
    bool& languageGiven = definesTable ? definition.languageGiven : resultLanguageGiven;
    std::uint16_t& sortId = definesTable ? definition.sortId : resultSort;
    bool& sortGiven = definesTable ? definition.sortGiven : resultSortGiven;
    p.NextToken();
    const std::string language = p.TokenText();
    const auto languages = quorvane::nls::Languages();
    std::size_t position = languages.size();
    if (p.TokenKind() == tkString) {
        for (std::size_t i = 0; i < languages.size(); ++i) {
            if (SameSqlName(languages[i].name, language)) position = i;
        }
    }
    if (position == languages.size()) {
        p.Fail("Invalid language constant '" + language + "' specified after LANGUAGE keyword");
    }
    languageId = languages[position].id;
    languageGiven = true;
    p.NextToken();
    if (!p.TokenIs("SORT")) return;
    p.NextToken();
    const std::string sort = p.TokenText();
    const std::vector<std::string> sorts = quorvane::nls::SortOrderNames(position);
    const auto found = std::find_if(sorts.begin(), sorts.end(), [&](const std::string& s) { return SameSqlName(s, sort); });
    if (p.TokenKind() != tkString || found == sorts.end()) {
        p.Fail("Invalid sort constant '" + sort + "' specified after SORT keyword");
    }
    sortId = static_cast<std::uint16_t>(found - sorts.begin());
    sortGiven = true;
    p.NextToken();
}

}  // namespace reruzo
