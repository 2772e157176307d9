// The node pool of the expression language and whole-tree operations: freeing,
// copying and comparing trees, and their printed form.
#include "engine/expr/expression.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <utility>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"


namespace reruzo {
namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

// The pool of free nodes.
struct TExpTokenStack {
    std::mutex lock;
    std::vector<TExpToken*> free;
    std::atomic<std::int64_t> live{0};  // nodes handed out and not yet released
    TExpTokenStack() { free.reserve(256); }
    ~TExpTokenStack() {
        for (TExpToken* n : free) delete n;
    }
};

TExpTokenStack& Pool() {
    static TExpTokenStack pool;
    return pool;
}

void Clear(TExpToken& n) {
    n.text.clear();
    n.kind = nkNone;
    n.op = opNone;
    n.name.clear();
    n.fieldNo = 0;
    n.qualifier.clear();
    n.subSelect.reset();
    n.value.assign(256, 0);
    n.isNull = n.isParameter = false;
    n.evalSlot = 0;
    n.evalFlag = 0;
    n.dataType = n.subType = n.scale = 0;
    n.dataSize = 0;
    n.cameFromString = false;
    n.savedType = n.savedSubType = n.savedScale = 0;
    n.savedSize = 0;
    n.parent = nullptr;
    n.operands.clear();
}

}  // namespace

void TExpToken::Reserve(std::size_t size) {
    if (value.size() < size) value.resize((size + 255) / 256 * 256, 0);
}

TExpToken* AcquireNode() {
    TExpToken* n = nullptr;
    {
        std::lock_guard guard(Pool().lock);
        if (!Pool().free.empty()) {
            n = Pool().free.back();
            Pool().free.pop_back();
        }
    }
    if (!n) n = new TExpToken;
    Clear(*n);
    ++Pool().live;
    return n;
}

void ReleaseNode(TExpToken* node) {
    if (!node) return;
    node->subSelect.reset();
    node->operands.clear();
    --Pool().live;
    std::lock_guard guard(Pool().lock);
    Pool().free.push_back(node);
}

std::uint32_t FixedValueSize(std::uint8_t type) {
    switch (type) {
        case kFieldBoolean:
        case kFieldSmallInt:
        case kFieldWord: return 2;
        case kFieldDate:
        case kFieldTime:
        case kFieldInteger: return 4;
        case kFieldFloat:
        case kFieldTimeStamp:
        case kFieldLargeInt: return 8;
        case kFieldBCD: return 34;
        default: return 0;
    }
}

std::int64_t LiveNodeCount() { return Pool().live.load(); }

void FreeTree(TExpToken* root) {
    if (!root) return;
    // Iterative, so that a very deep tree cannot exhaust the stack.
    std::vector<TExpToken*> pending = {root};
    while (!pending.empty()) {
        TExpToken* n = pending.back();
        pending.pop_back();
        for (TExpToken* child : n->operands) {
            if (child) pending.push_back(child);
        }
        ReleaseNode(n);
    }
}

void AddOperand(TExpToken* node, TExpToken* operand) {
    operand->parent = node;
    node->operands.push_back(operand);
}

TExpToken* AndNode(TExpToken* left, TExpToken* right) {
    TExpToken* node = AcquireNode();
    node->kind = nkBinary;
    node->op = opAnd;
    node->text = "AND";
    node->dataType = kFieldBoolean;
    AddOperand(node, left);
    AddOperand(node, right);
    return node;
}

TExpToken* CloneTree(const TExpToken* root) {
    if (!root) return nullptr;
    TExpToken* n = CloneNode(root);
    for (const TExpToken* child : root->operands) AddOperand(n, CloneTree(child));
    return n;
}

TExpToken* CloneNode(const TExpToken* root) {
    if (!root) return nullptr;
    TExpToken* n = AcquireNode();
    n->text = root->text;
    n->kind = root->kind;
    n->op = root->op;
    n->name = root->name;
    n->fieldNo = root->fieldNo;
    n->qualifier = root->qualifier;
    n->value = root->value;
    n->isNull = root->isNull;
    n->isParameter = root->isParameter;
    n->evalSlot = root->evalSlot;
    n->evalFlag = root->evalFlag;
    n->dataType = root->dataType;
    n->subType = root->subType;
    n->dataSize = root->dataSize;
    n->scale = root->scale;
    n->cameFromString = root->cameFromString;
    n->savedType = root->savedType;
    n->savedSubType = root->savedSubType;
    n->savedSize = root->savedSize;
    n->savedScale = root->savedScale;
    if (root->subSelect) n->subSelect = root->subSelect->Clone();
    return n;
}

bool TreesEqual(const TExpToken* a, const TExpToken* b) {
    if (!a || !b) return a == b;
    if (a->kind != b->kind || a->op != b->op || !SameNoCase(a->name, b->name) ||
        !SameNoCase(a->qualifier, b->qualifier) || a->isParameter != b->isParameter ||
        a->evalSlot != b->evalSlot || a->evalFlag != b->evalFlag || a->dataType != b->dataType ||
        a->subType != b->subType || a->dataSize != b->dataSize || a->scale != b->scale ||
        a->operands.size() != b->operands.size())
        return false;
    if (a->kind == nkConstant) {
        if (a->isNull != b->isNull) return false;
        const std::size_t n = std::min<std::size_t>(a->dataSize, std::min(a->value.size(), b->value.size()));
        if (std::memcmp(a->value.data(), b->value.data(), n) != 0) return false;
    }
    for (std::size_t i = 0; i < a->operands.size(); ++i) {
        if (!TreesEqual(a->operands[i], b->operands[i])) return false;
    }
    return true;
}

// ---- Printed form ------------------------------------------------------------------------

std::string PrintTree(const TExpToken* n) {
    if (!n) return "<none>";
    switch (n->kind) {
        case nkColumn:
            return n->qualifier.empty() ? n->name : n->qualifier + "." + n->name;
        case nkConstant:
            if (n->isParameter) return "?";
            if (n->isNull) return "NULL";
            if (n->dataType == kFieldString) return "'" + std::string(reinterpret_cast<const char*>(n->value.data())) + "'";
            if (n->dataType == kFieldInteger) return std::to_string(GetLE<std::int32_t>(n->value.data()));
            if (n->dataType == kFieldLargeInt) return std::to_string(GetLE<std::int64_t>(n->value.data())) + "L";
            if (n->dataType == kFieldFloat) return FloatText(GetLE<double>(n->value.data())) + "F";
            return n->text;
        case nkSubSelect:
            return "(SELECT)";
        default: {
            std::string out = "(" + n->text;
            for (const TExpToken* child : n->operands) out += " " + PrintTree(child);
            return out + ")";
        }
    }
}

}  // namespace reruzo
