// Evaluation of prepared expression trees for one record at a time: the semantics of
// every operator and function, NULL, string comparison through the national-language
// layer, LIKE, date and time arithmetic and the text conversions of CAST.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/expr/expression.h"
#include "engine/storage/data_format.h"

namespace reruzo {

// Fills a column node's value from the current record.
class TColumnSource {
public:
    virtual ~TColumnSource() = default;
    // Sets into's value (in the column's storage format), dataSize and isNull.
    virtual void ReadColumn(const TExpToken& column, TExpToken& into) = 0;
};

// Columns read from one record buffer of a table with the given fields; a column
// node's fieldNo (1-based) selects the field.
class TRecordColumns : public TColumnSource {
public:
    explicit TRecordColumns(const std::vector<TFieldDesc>& fields) : fields_(fields) {}
    void SetRecord(std::span<const std::uint8_t> record) { record_ = record; }
    void ReadColumn(const TExpToken& column, TExpToken& into) override;

private:
    const std::vector<TFieldDesc>& fields_;
    std::span<const std::uint8_t> record_;
};

struct TEvalContext {
    std::uint16_t languageId = 0;  // 0: plain byte comparison
    std::uint16_t sortId = 0;
    TColumnSource* columns = nullptr;
};

// The value of the tree for the current record, as a new pool node the caller
// releases (ReleaseNode). Raises only for a text conversion that fails.
TExpToken* Evaluate(const TExpToken* root, const TEvalContext& context);

// A filter accepts the record when the result is not NULL and not false.
bool Accepts(const TExpToken* root, const TEvalContext& context);

// LIKE: whether `value` matches `pattern` ("%" any run of bytes, "_" one byte), the
// bytes compared under the context's language.
bool LikeMatches(std::string_view value, std::string_view pattern, const TEvalContext& context);

}  // namespace reruzo
