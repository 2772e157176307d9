// Expression filters: a filter text, or a tree the SQL engine prepared, as the
// condition of a cursor's filter.
//
// The analysis marks every comparison of a column (or of UPPER of a column) with
// constants that an index on that column can answer, and rates compound conditions:
// AND narrows with its better side first, OR needs both sides answered by indexes,
// NOT follows its operand. Evaluation turns answered comparisons into key ranges and
// reads only the records the indexes could not decide, never more than the candidates
// still in question.
#pragma once

#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/table/data_cursor.h"
#include "engine/table/data_filter.h"
#include "engine/expr/expression.h"
#include "engine/expr/expression_check.h"

namespace reruzo {

class TExpressionCondition : public TFilterCondition {
public:
    // `tree` is prepared (see Prepare) and bound to the cursor's table.
    explicit TExpressionCondition(TExpTree tree) : tree_(std::move(tree)) {}

    int Analyse(TFilterTable& table, bool countCheck) override;
    void Evaluate(TFilterTable& table, TRecordsBitmap& bitmap, bool countCheck) override;
    bool Accepts(TFilterTable& table, std::span<const std::uint8_t> record, std::int32_t recordNo) override;
    std::unique_ptr<TFilterCondition> Clone() const override;

    const TExpToken* Tree() const { return tree_.get(); }

private:
    // How one node is answered: its level and, for a comparison an index answers,
    // the index and the union of value ranges (or its complement).
    struct TPlan {
        int level = 0;
        int slot = -1;
        std::vector<TFieldRange> ranges;
        bool complement = false;
    };
    int AnalyseNode(TFilterTable& table, TExpToken* node, bool operandOfLogic, bool countCheck);
    void EvaluateNode(TFilterTable& table, const TExpToken* node, TRecordsBitmap& bitmap, bool countCheck);
    void Scan(TFilterTable& table, const TExpToken* node, TRecordsBitmap& bitmap);
    int Level(const TExpToken* node) const;

    TExpTree tree_;
    std::unordered_map<const TExpToken*, TPlan> plans_;
};

// Adds a filter made from `text` to the cursor (inactive): RERUZO_INTERNALLIMIT when
// the cursor has all its filters, RERUZO_INVALIDFILTER for a text that is empty, not
// valid or not a condition.
TFilter* AddExprFilter(TDataCursor& cursor, std::string_view text, TFilterTextOptions textOptions,
                       TFilterSettings settings = {});
// The same with a prepared tree bound to the cursor's table.
TFilter* AddExprFilter(TDataCursor& cursor, TExpTree prepared, TFilterSettings settings = {});
// Gives an active filter a new prepared tree and evaluates it again.
void ReplaceFilterExpression(TDataCursor& cursor, TFilter* filter, TExpTree prepared);

}  // namespace reruzo
