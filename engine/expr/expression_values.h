// The values evaluation works with, shared by the evaluator's operators and its
// functions (not part of the engine's interface).
//
// Every value is a pool node holding the field storage format of its data type;
// TValue releases it to the pool however the evaluation ends. Numbers meet in three
// domains: 64-bit integers, doubles and the fixed-point form of BCD values (value x
// 10000).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/expr/expression.h"
#include "engine/expr/expression_eval.h"

namespace reruzo::evaluation {

struct TNodeReleaser {
    void operator()(TExpToken* n) const { ReleaseNode(n); }
};
using TValue = std::unique_ptr<TExpToken, TNodeReleaser>;

// The value of a node for the current record.
TValue Eval(const TExpToken* n, const TEvalContext& c);
// A function node (scalar functions, EXTRACT and CAST).
TValue Function(const TExpToken& n, const TEvalContext& c);

// BYTES and BLOBs other than memos compare and convert as raw bytes.
bool IsRaw(const TExpToken& v);
// Copies the bytes of a view, which may be empty and without storage.
void CopyBytes(void* to, std::string_view from);

// New result nodes: of a type (its fixed size reserved), and NULL of a type.
TValue NewValue(std::uint8_t type, std::uint8_t subType = 0);
TValue NullValue(std::uint8_t type, std::uint8_t subType = 0);
// The characters of a string or memo value up to its first zero byte.
std::string_view Text(const TExpToken& v);
// The stored bytes of a BYTES or BLOB value.
std::string_view RawBytes(const TExpToken& v);
// Writes a string result: zero-terminated, NULL when empty. Its data size is the
// declared one when that is larger than the text.
void PutText(TExpToken& r, std::string_view s, std::uint32_t declaredSize = 0);
// Writes a BLOB result of a subtype.
void PutBlob(TExpToken& r, std::string_view s, std::uint8_t subType);
// A text that does not convert to `what` ("date", "time", ...).
[[noreturn]] void RaiseConversion(std::string_view text, const char* what);

struct TNumber {
    enum TKind : std::uint8_t { kInt, kFloat, kCurrency };
    TKind kind = kInt;
    std::int64_t i = 0;  // kInt: the value; kCurrency: value x 10000
    double f = 0;
};
inline TNumber Int(std::int64_t v) { return {TNumber::kInt, v, 0}; }
inline TNumber Float(double v) { return {TNumber::kFloat, 0, v}; }
inline TNumber Currency(std::int64_t v) { return {TNumber::kCurrency, v, 0}; }
double AsDouble(const TNumber& n);
std::int64_t AsCurrency(const TNumber& n);
// Floats and currency values are cut towards zero, as the field writers do.
std::int64_t AsInteger(const TNumber& n);
// The numeric view of a stored value: dates as day numbers, times as milliseconds,
// timestamps as float milliseconds, booleans as 0/1. NULL is 0.
TNumber NumberOf(const TExpToken& v);
// Stores a number in the storage format of `type`.
void StoreNumber(TExpToken& r, std::uint8_t type, const TNumber& n);
// Not NULL and not zero.
bool IsTrue(const TExpToken& v);

// The written-out form of a value that is not text.
std::string ValueText(const TExpToken& v);
// Where `what` occurs in `s` from `from` on (npos when nowhere); with `doubleByte` a
// match never starts on the second byte of a double-byte character.
std::size_t Find(std::string_view s, std::string_view what, std::size_t from, bool doubleByte);

}  // namespace reruzo::evaluation
