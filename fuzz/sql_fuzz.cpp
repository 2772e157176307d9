// Fuzz target for the SQL parser: any text, prepared as a statement (and every
// statement after it), must either parse or raise an engine error; parameters then
// take values, and no expression node may be lost on either path.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "engine/errors/engine_errors.h"
#include "engine/sql/sql_statement.h"
#include "engine/storage/byte_order.h"
#include "engine/table/data_session.h"

namespace {

reruzo::TDataDirectory& Directory() {
    static reruzo::TDataSession session;
    static reruzo::TDataDirectory& directory =
        session.OpenDirectory("fuzz", std::filesystem::temp_directory_path().string() + "/");
    return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace reruzo;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::int64_t live = LiveNodeCount();
    {
        TQueryStatement statement(Directory(), true, -1);
        try {
            statement.Parse(text);
            for (int next = 0; next < 64; ++next) {
                TParamValue one{kFieldInteger, 0, std::vector<std::uint8_t>(4), false};
                PutLE<std::int32_t>(one.value.data(), 1);
                statement.SetParameters(std::vector<TParamValue>(statement.Parameters().size(), one));
                if (!statement.MoreStatements()) break;
                statement.ParseNext();
            }
        } catch (const ERERUZOEngineError&) {
        }
    }
    if (LiveNodeCount() != live) __builtin_trap();  // a node was lost
    return 0;
}
