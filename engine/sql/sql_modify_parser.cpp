// The grammars of INSERT, UPDATE and DELETE: the target table, the target columns and
// their values, INSERT's SELECT, UPDATE's and DELETE's further tables and joins,
// WHERE, NOAUTOINC, COMMIT [INTERVAL n] [FLUSH] and NOJOINOPTIMIZE, with the message
// of every way they can go wrong.
#include <charconv>
#include <cstring>

#include "engine/sql/sql_grammar.h"
#include "engine/sql/sql_statement.h"

namespace reruzo {
namespace {

using namespace grammar;

constexpr const char* kColumnContext = "table column";
constexpr const char* kValueContext = "value expression";

[[noreturn]] void Expected(const TExpressionParser& p, const std::string& message) {
    p.Fail(message + p.TokenText() + "'");
}

// A target column as parsed: a name, a bracketed name, a quoted string (the column of
// that name) or qualifier "." name.
TUpdateField ColumnOf(TExpressionParser& p, TExpTree node, std::string text) {
    TUpdateField field;
    field.columnText = std::move(text);
    const TExpToken& n = *node;
    if (n.kind == nkColumn && n.name != "*") {
        field.columnName = n.name.empty() ? n.text : n.name;
        field.qualifier = n.qualifier;
    } else if (n.kind == nkConstant && n.dataType == kFieldString && !n.isNull && !n.isParameter) {
        const char* bytes = reinterpret_cast<const char*>(n.value.data());
        field.columnName.assign(bytes, ::strnlen(bytes, n.value.size()));
    } else {
        p.Fail("Column name expected in " + std::string(kColumnContext) + ", instead found '" + field.columnText + "'");
    }
    return field;
}

}  // namespace

void TDataQuery::ParseInsert() {
    TExpressionParser& p = statement_.Parser();
    p.NextToken();
    if (!p.TokenIs("INTO")) Expected(p, "INTO keyword expected, instead found '");
    p.NextToken();
    if (!IsName(p)) Expected(p, "Table name expected after INTO clause, instead found '");
    TSourceTable table;
    if (TakeMemoryKeyword(p, table) && !IsName(p)) {
        Expected(p, "Table name expected after INTO keyword, instead found '");
    }
    SetSourceTableName(table, p.TokenText());
    p.NextToken();
    if (IsName(p) && !p.TokenIs("VALUES") && !p.TokenIs("SELECT")) {
        table.correlationName = p.TokenText();
        p.NextToken();
    }
    AddSourceTable(std::move(table), false);

    if (p.TokenIsChar('(')) {
        p.NextToken();
        for (;;) {
            const TClauseContext clause(p, kColumnContext);
            p.MarkStart();
            TExpTree column(p.ParseExpression(0));
            updateFields.push_back(ColumnOf(p, std::move(column), p.TextSinceMark()));
            if (!p.TokenIsChar(',')) break;
            p.NextToken();
        }
        if (!p.TokenIsChar(')')) Expected(p, "Right parentheses expected after list of table columns, instead found '");
        p.NextToken();
    } else {
        TUpdateField all;
        all.columnName = "*";
        all.columnText = "*";
        updateFields.push_back(std::move(all));
    }

    if (p.TokenIs("VALUES")) {
        p.NextToken();
        if (!p.TokenIsChar('(')) Expected(p, "Left parentheses expected after VALUES keyword, instead found '");
        p.NextToken();
        for (;;) {
            const TClauseContext clause(p, kValueContext);
            p.MarkStart();
            TUpdateValue value;
            value.expression.reset(p.ParseExpression(pfAllowParameters));
            value.text = p.TextSinceMark();
            updateValues.push_back(std::move(value));
            if (!p.TokenIsChar(',')) break;
            p.NextToken();
        }
        if (!p.TokenIsChar(')')) Expected(p, "Right parentheses expected after list of values, instead found '");
        p.NextToken();
    } else if (p.TokenIs("SELECT")) {
        insertWithSelect = true;
        TDataQuery& select = statement_.NewQuery();
        select.subSelect = true;
        select.insertSelect = true;
        select.requestLive = true;
        selectQuery = &select;
        select.Parse();
        p.SetContextName(kStatementContext);
    } else {
        Expected(p, "VALUES or SELECT  keyword expected, instead found '");
    }
    if (p.TokenIs("NOAUTOINC")) {
        noAutoInc = true;
        p.NextToken();
    }
    if (p.TokenIs("COMMIT")) ParseCommit();
    ParseStatementEnd("INSERT");
}

void TDataQuery::ParseUpdate() {
    TExpressionParser& p = statement_.Parser();
    p.NextToken();
    TSourceTable target;
    TakeMemoryKeyword(p, target);
    if (!IsName(p)) Expected(p, "Table name expected, instead found '");
    SetSourceTableName(target, p.TokenText());
    p.NextToken();
    if (p.TokenIs("AS")) {
        p.NextToken();
        if (!IsName(p)) Expected(p, "Symbol or string expected after AS keyword, instead found '");
        target.correlationName = p.TokenText();
        p.NextToken();
    } else if (IsName(p) && !p.TokenIs("SET")) {
        target.correlationName = p.TokenText();
        p.NextToken();
    }
    const bool targetInMemory = target.memory;
    const std::string targetName = target.tableName, targetCorrelation = target.correlationName;
    AddSourceTable(std::move(target), false);

    if (!p.TokenIs("SET")) Expected(p, "SET keyword expected, instead found '");
    p.NextToken();
    for (;;) {
        {
            const TClauseContext clause(p, kColumnContext);
            p.MarkStart();
            TExpTree column(p.ParsePrimary(0));
            updateFields.push_back(ColumnOf(p, std::move(column), p.TextSinceMark()));
        }
        if (!p.TokenIsChar('=')) Expected(p, "Assignment (=) operator expected after column name, instead found '");
        p.NextToken();
        const TClauseContext clause(p, kValueContext);
        p.MarkStart();
        TUpdateValue value;
        value.expression.reset(p.ParseExpression(pfAllowParameters));
        value.text = p.TextSinceMark();
        updateValues.push_back(std::move(value));
        if (!p.TokenIsChar(',')) break;
        p.NextToken();
    }

    if (p.TokenIs("FROM")) {
        p.NextToken();
        // The first table of FROM is the updated table itself, written again.
        const TSourceTable first = ReadTableReference("Table name expected after FROM keyword, instead found '");
        const bool correlationWritten = !SameSqlName(first.correlationName, first.tableName);
        if ((first.memory && !targetInMemory) || !SameSqlName(first.tableName, targetName) ||
            (correlationWritten && !SameSqlName(first.correlationName, targetCorrelation))) {
            p.Fail("The first source table specified in FROM clause must match the table being updated in the UPDATE "
                   "statement");
        }
        for (;;) {
            ParseJoins();
            if (!p.TokenIsChar(',')) break;
            p.NextToken();
            ParseTableReference("Table name expected after FROM keyword, instead found '", false);
            hasSeveralTables = true;
        }
    }
    ParseChangeClauses(true);
    ParseStatementEnd("UPDATE");
}

void TDataQuery::ParseDelete() {
    TExpressionParser& p = statement_.Parser();
    p.NextToken();
    if (!p.TokenIs("FROM")) Expected(p, "FROM keyword expected, instead found '");
    ParseFrom();
    ParseChangeClauses(false);
    ParseStatementEnd("DELETE");
}

void TDataQuery::ParseChangeClauses(bool withNoAutoInc) {
    TExpressionParser& p = statement_.Parser();
    if (p.TokenIs("WHERE")) {
        p.NextToken();
        const TClauseContext clause(p, kWhereContext);
        AddCondition(p.ParseExpression(pfAllowExtendedPredicates | pfAllowParameters | pfAllowSubSelects));
    }
    if (withNoAutoInc && p.TokenIs("NOAUTOINC")) {
        noAutoInc = true;
        p.NextToken();
    }
    if (p.TokenIs("COMMIT")) ParseCommit();
    if (p.TokenIs("NOJOINOPTIMIZE")) {
        noJoinOptimize = true;
        p.NextToken();
    }
}

void TDataQuery::ParseCommit() {
    TExpressionParser& p = statement_.Parser();
    p.NextToken();
    if (p.TokenIs("INTERVAL")) {
        p.NextToken();
        // An interval below 1 would never commit (or divide by zero): it is refused
        // before anything changes.
        std::string sign;
        if (p.TokenIsChar('-')) {
            sign = "-";
            p.NextToken();
        }
        if (p.TokenKind() != tkInteger) {
            p.Fail("Integer value expected after INTERVAL keyword, instead found '" + sign + p.TokenText() + "'");
        }
        const std::string text = p.TokenText();
        std::int32_t interval = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), interval);
        if (!sign.empty() || ec != std::errc() || end != text.data() + text.size() || interval < 1) {
            p.Fail("COMMIT INTERVAL must be a number of rows from 1 to 2147483647, instead found '" + sign + text + "'");
        }
        commitInterval = interval;
        intervalGiven = true;
        p.NextToken();
        if (p.TokenIs("FLUSH")) {
            flush = true;
            p.NextToken();
        }
        return;
    }
    if (!p.TokenIs("FLUSH")) Expected(p, "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '");
    flush = true;
    p.NextToken();
}

void TDataQuery::ParseStatementEnd(const char* statement) {
    TExpressionParser& p = statement_.Parser();
    if (p.TokenIsChar(';')) {
        p.NextToken();
    } else if (p.TokenKind() != tkEnd) {
        Expected(p, std::string("End of ") + statement + " statement expected, instead found '");
    }
}

}  // namespace reruzo
