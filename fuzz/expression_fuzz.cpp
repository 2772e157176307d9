// Fuzz target for the expression parser: any text, parsed as a filter and as an SQL
// clause with every permission, must either give a tree or raise an engine error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/errors/engine_errors.h"
#include "engine/sql/expression.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (unsigned flags : {unsigned{reruzo::pfAllowExtendedPredicates}, 31u}) {
        reruzo::TExpressionParser parser;
        parser.SetErrorCode(reruzo::RERUZO_INVALIDFILTER);
        parser.SetContextName("filter expression");
        parser.SetText(text);
        try {
            parser.NextToken();
            reruzo::TExpTree tree(parser.ParseExpression(flags));
            reruzo::TExpTree copy(reruzo::CloneTree(tree.get()));
            if (!reruzo::TreesEqual(tree.get(), copy.get())) __builtin_trap();
            (void)reruzo::PrintTree(tree.get());
        } catch (const reruzo::ERERUZOEngineError&) {
        }
    }
    return 0;
}
