// Fuzz target for the expression language: any text, parsed as a filter and as an SQL
// clause with every permission, must either give a tree or raise an engine error. A
// tree is also validated against a small table, prepared and evaluated on two
// records (one of values, one of NULLs); none of these may crash or lose a node.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression.h"
#include "engine/expr/expression_check.h"
#include "engine/expr/expression_eval.h"

namespace {

using namespace reruzo;

struct TTable {
    std::vector<TFieldDesc> fields;
    std::vector<std::uint8_t> values;
    std::vector<std::uint8_t> nulls;
    TTable() {
        fields = {MakeFieldDesc("id", kFieldInteger), MakeFieldDesc("name", kFieldString, 20),
                  MakeFieldDesc("d", kFieldDate),     MakeFieldDesc("t", kFieldTime),
                  MakeFieldDesc("ts", kFieldTimeStamp), MakeFieldDesc("active", kFieldBoolean),
                  MakeFieldDesc("amount", kFieldFloat), MakeFieldDesc("price", kFieldBCD, 0),
                  MakeFieldDesc("small", kFieldSmallInt), MakeFieldDesc("w", kFieldWord)};
        const std::size_t size = LayoutRecord(fields);
        values.assign(size, 0);
        nulls.assign(size, 0);
        PutIntegerField(values, fields[0], 7);
        PutStringField(values, fields[1], "Smith \xC4\xE3\xBA\xC3");
        PutIntegerField(values, fields[2], 731000);
        PutIntegerField(values, fields[3], 45000000);
        PutFloatField(values, fields[4], 63000000000000.0);
        PutBooleanField(values, fields[5], 1);
        PutFloatField(values, fields[6], -2.5);
        PutIntegerField(values, fields[8], -3);
        PutIntegerField(values, fields[9], 65535);
        for (const TFieldDesc& f : fields) PutNullField(nulls, f);
    }
};

const TTable& Table() {
    static const TTable table;
    return table;
}

void Exercise(TExpToken* root, std::uint16_t language) {
    TValidateOptions options{RERUZO_INVALIDFILTER, "t", "filter expression", true, FieldResolver(Table().fields, "t")};
    try {
        Validate(root, options);
    } catch (const ERERUZOEngineError&) {
        FreeTree(root);
        return;
    }
    TExpTree validated(root);
    TExpTree prepared(Prepare(validated.get(), {language != 0, false, language, 0}));
    TRecordColumns columns(Table().fields);
    const TEvalContext context{language, 0, &columns};
    for (const auto* record : {&Table().values, &Table().nulls}) {
        columns.SetRecord(*record);
        try {
            TExpToken* result = Evaluate(prepared.get(), context);
            ReleaseNode(result);
        } catch (const ERERUZOEngineError&) {
            // A text conversion of CAST that fails.
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::int64_t live = LiveNodeCount();
    for (unsigned flags : {unsigned{pfAllowExtendedPredicates}, 31u}) {
        TExpressionParser parser;
        parser.SetErrorCode(RERUZO_INVALIDFILTER);
        parser.SetContextName("filter expression");
        parser.SetText(text);
        try {
            parser.NextToken();
            TExpTree tree(parser.ParseExpression(flags));
            TExpTree copy(CloneTree(tree.get()));
            if (!TreesEqual(tree.get(), copy.get())) __builtin_trap();
            (void)PrintTree(tree.get());
            Exercise(copy.release(), flags == 31u ? 0x0409 : 0);
        } catch (const ERERUZOEngineError&) {
        }
    }
    if (LiveNodeCount() != live) __builtin_trap();  // a node was lost
    return 0;
}
