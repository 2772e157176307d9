// Values that field descriptors carry as text: defaults stored into new records, and
// the required, minimum and maximum checks a record must pass before it is written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/data_format.h"

namespace reruzo {

// The field data (DataSize bytes, as a record stores them) of a value text:
// integers, booleans (2 and above become 1), floats, decimals with the field's scale,
// dates, times and timestamps with "CURRENT_DATE", "CURRENT_TIME" and
// "CURRENT_TIMESTAMP" (any case) standing for the present moment, strings as they
// are. Nothing for an empty text, a text that does not convert, or a type without
// a text form (BLOBs).
std::optional<std::vector<std::uint8_t>> FieldValueFromText(const TFieldDesc& field, std::string_view text);

// Zero-fills the record and stores every field's default value.
void FillDefaults(std::span<std::uint8_t> record, const std::vector<TFieldDesc>& fields, const TStringRules& rules);

// Whether any field has a check (required, minimum or maximum), or a default.
bool HasValueChecks(const std::vector<TFieldDesc>& fields);
bool HasDefaults(const std::vector<TFieldDesc>& fields);

// The first check the record fails: RERUZO_REQDERR for a required field that is
// null, RERUZO_MINVALERR / RERUZO_MAXVALERR for a value outside its bounds (strings
// in the table's collation, a null value as its zero bytes); 0 when it passes.
// `field` names the field that failed.
std::uint16_t CheckRecordValues(std::span<const std::uint8_t> record, const std::vector<TFieldDesc>& fields,
                                const TStringRules& rules, std::string& field);

}  // namespace reruzo
