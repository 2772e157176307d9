// Building, encoding, comparing, padding and stepping index keys.
#include "engine/index/keys.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "platform/nls.h"

namespace reruzo {
namespace {

constexpr unsigned kKeyCompareFlags = quorvane::nls::kSortStringSort | quorvane::nls::kNormIgnoreNonSpace;

bool Binary(const TKeyLayout& layout) { return layout.sysDeleted || layout.languageId == 0; }

int Sign(int c) { return c < 0 ? -1 : c > 0 ? 1 : 0; }

// What each key byte is, for padding and stepping in tables with a language.
enum class TByteKind : std::uint8_t { Indicator, Character, Binary };

TByteKind KindAt(const TKeyLayout& layout, std::size_t index) {
    std::size_t pos = 0;
    for (const TKeyField& f : layout.fields) {
        const std::size_t end = pos + f.Width() + 1;
        if (index < end) {
            if (index == pos) return TByteKind::Indicator;
            return f.desc.FieldType == kFieldString ? TByteKind::Character : TByteKind::Binary;
        }
        pos = end;
    }
    return TByteKind::Binary;
}

const TCharMap& MapOf(const TKeyLayout& layout) {
    return layout.charMap ? *layout.charMap : TLanguageCharMapsList::Instance().Get(0, 0);
}

TCharMap IdentityMap() {
    TCharMap m;
    for (int i = 0; i < 256; ++i) m.map[i] = m.rank[i] = static_cast<std::uint8_t>(i);
    return m;
}

}  // namespace

// ---- Character maps ------------------------------------------------------------------

TLanguageCharMapsList& TLanguageCharMapsList::Instance() {
    static TLanguageCharMapsList* list = new TLanguageCharMapsList;  // lives as long as the process
    return *list;
}

const TCharMap& TLanguageCharMapsList::Get(std::uint16_t languageId, std::uint16_t sortId) {
    std::lock_guard guard(lock_);
    for (const auto& e : entries_) {
        if (e->languageId == languageId && e->sortId == sortId) return e->map;
    }
    auto entry = std::make_unique<TEntry>(TEntry{languageId, sortId, IdentityMap()});
    if (languageId != 0) {
        std::array<std::uint8_t, 256> chars;
        for (int i = 0; i < 256; ++i) chars[i] = static_cast<std::uint8_t>(i);
        std::sort(chars.begin(), chars.end(), [&](std::uint8_t a, std::uint8_t b) {
            const char ca = static_cast<char>(a), cb = static_cast<char>(b);
            return quorvane::nls::CompareStrings(std::string_view(&ca, 1), std::string_view(&cb, 1), languageId,
                                                 sortId, quorvane::nls::kSortStringSort) < 0;
        });
        for (int k = 0; k < 256; ++k) {
            entry->map.map[k] = chars[k];
            entry->map.rank[chars[k]] = static_cast<std::uint8_t>(k);
        }
    }
    entries_.push_back(std::move(entry));
    return entries_.back()->map;
}

// ---- Layout ----------------------------------------------------------------------------

std::size_t TKeyLayout::FieldBytes() const {
    std::size_t n = 0;
    for (const TKeyField& f : fields) n += f.Width() + 1;
    return n;
}

std::size_t TKeyLayout::KeyLength() const {
    if (sysDeleted) return kSysDeletedKeyLength;
    return FieldBytes() + (unique ? 0 : kKeySuffixLength);
}

void TKeyLayout::Prepare() { charMap = &TLanguageCharMapsList::Instance().Get(sysDeleted ? 0 : languageId, sortId); }

TKeyLayout TKeyLayout::SysDeleted() {
    TKeyLayout l;
    l.sysDeleted = true;
    l.unique = false;
    l.Prepare();
    return l;
}

// ---- Encodings -------------------------------------------------------------------------

void EncodeInt16(std::int16_t v, std::uint8_t* out) {
    const auto u = static_cast<std::uint16_t>(static_cast<std::uint16_t>(v) ^ 0x8000u);
    out[0] = static_cast<std::uint8_t>(u >> 8);
    out[1] = static_cast<std::uint8_t>(u);
}

void EncodeInt32(std::int32_t v, std::uint8_t* out) {
    const std::uint32_t u = static_cast<std::uint32_t>(v) ^ 0x80000000u;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(u >> (24 - 8 * i));
}

void EncodeInt64(std::int64_t v, std::uint8_t* out) {
    const std::uint64_t u = static_cast<std::uint64_t>(v) ^ 0x8000000000000000ull;
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(u >> (56 - 8 * i));
}

void EncodeFloat(double v, std::uint8_t* out) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (v >= 0.0) {
        bits |= 0x8000000000000000ull;  // -0.0 counts as 0.0
    } else {
        bits = ~bits;
    }
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
}

std::int32_t DecodeInt32(const std::uint8_t* in) {
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u = (u << 8) | in[i];
    return static_cast<std::int32_t>(u ^ 0x80000000u);
}

void EncodeKeyField(const TKeyLayout& layout, const TKeyField& field, bool isNull,
                    std::span<const std::uint8_t> data, std::span<std::uint8_t> out) {
    const std::size_t w = field.Width();
    out[0] = isNull ? 0 : 1;
    std::uint8_t* bytes = out.data() + 1;
    std::memset(bytes, 0, w);
    const TFieldDesc& d = field.desc;
    auto int32Of = [&] { return isNull || data.size() < 4 ? 0 : GetLE<std::int32_t>(data.data()); };
    switch (d.FieldType) {
        case kFieldString:
            if (!isNull) {
                const auto* chars = reinterpret_cast<const char*>(data.data());
                std::string text(chars, strnlen(chars, std::min(data.size(), w)));
                if (layout.caseInsensitive) {
                    // Under language 0 only ASCII letters change, which keeps GBK text intact.
                    text = quorvane::nls::MapCase(text, layout.languageId, layout.sortId, true);
                }
                std::memcpy(bytes, text.data(), std::min(text.size(), w > 0 ? w - 1 : 0));
            }
            break;
        case kFieldDate:
        case kFieldInteger:
        case kFieldTime: EncodeInt32(int32Of(), bytes); break;
        case kFieldSmallInt:
            EncodeInt16(isNull || data.size() < 2 ? 0 : GetLE<std::int16_t>(data.data()), bytes);
            break;
        case kFieldBoolean:
        case kFieldWord: {
            const std::uint16_t v = isNull || data.size() < 2 ? 0 : GetLE<std::uint16_t>(data.data());
            bytes[0] = static_cast<std::uint8_t>(v >> 8);
            bytes[1] = static_cast<std::uint8_t>(v);
            break;
        }
        case kFieldFloat:
        case kFieldTimeStamp:
            EncodeFloat(isNull || data.size() < 8 ? 0.0 : GetLE<double>(data.data()), bytes);
            break;
        case kFieldBCD: EncodeInt64(isNull ? 0 : BcdToCurrency(data), bytes); break;
        case kFieldLargeInt:
            EncodeInt64(isNull || data.size() < 8 ? 0 : GetLE<std::int64_t>(data.data()), bytes);
            break;
        default:
            if (!isNull) std::memcpy(bytes, data.data(), std::min(data.size(), w));
    }
    if (field.descending && !layout.descending && layout.languageId == 0) {
        const std::size_t n = d.FieldType == kFieldString ? w : w + 1;  // a string keeps its last byte
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
    }
}

const TKeyLayout& SysDeletedLayout() {
    static const TKeyLayout layout = TKeyLayout::SysDeleted();
    return layout;
}

void BuildKey(const TKeyLayout& layout, std::span<const std::uint8_t> record, std::span<std::uint8_t> key) {
    std::fill(key.begin(), key.end(), 0);
    if (layout.sysDeleted) {
        BuildSysDeletedKey(record, key);
        return;
    }
    std::size_t pos = 0;
    for (const TKeyField& f : layout.fields) {
        const bool isNull = FieldIsNull(record, f.desc);
        EncodeKeyField(layout, f, isNull, FieldData(record, f.desc), key.subspan(pos, f.Width() + 1));
        pos += f.Width() + 1;
    }
    if (!layout.unique) EncodeInt32(GetLE<std::int32_t>(record.data() + 5), key.data() + pos);
}

void BuildSysDeletedKey(std::span<const std::uint8_t> record, std::span<std::uint8_t> key) {
    key[0] = record[0];
    EncodeInt32(GetLE<std::int32_t>(record.data() + 5), key.data() + 1);
}

// ---- Comparison -------------------------------------------------------------------------

int CompareKeys(const TKeyLayout& layout, const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    if (Binary(layout)) {
        // An empty key (no sort fields) compares equal; memcmp must not see its pointers.
        const int c = length == 0 ? 0 : Sign(std::memcmp(a, b, length));
        return layout.descending && !layout.sysDeleted ? -c : c;
    }
    std::size_t pos = 0;
    for (const TKeyField& f : layout.fields) {
        if (pos >= length) return 0;
        const std::size_t w = f.Width();
        const std::size_t remaining = length - pos;
        const bool negate = layout.descending || f.descending;
        int c = 0;
        if (f.desc.FieldType == kFieldString) {
            c = Sign(static_cast<int>(a[pos]) - static_cast<int>(b[pos]));
            if (c == 0 && remaining > 1) {
                const std::size_t n = std::min(w, remaining - 1);
                c = quorvane::nls::CompareStrings(
                    std::string_view(reinterpret_cast<const char*>(a + pos + 1), n),
                    std::string_view(reinterpret_cast<const char*>(b + pos + 1), n), layout.languageId,
                    layout.sortId, kKeyCompareFlags);
            }
        } else {
            c = Sign(std::memcmp(a + pos, b + pos, std::min(w + 1, remaining)));
        }
        if (c != 0) return negate ? -c : c;
        pos += w + 1;
    }
    if (pos < length) {
        const int c = Sign(std::memcmp(a + pos, b + pos, length - pos));
        return layout.descending ? -c : c;
    }
    return 0;
}

// ---- Padding and stepping -----------------------------------------------------------------

namespace {

void Pad(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t from, bool low) {
    if (from >= key.size()) return;
    if (Binary(layout)) {
        std::fill(key.begin() + static_cast<std::ptrdiff_t>(from), key.end(), low ? 0x00 : 0xFF);
        return;
    }
    const TCharMap& m = MapOf(layout);
    for (std::size_t i = from; i < key.size(); ++i) {
        if (KindAt(layout, i) == TByteKind::Character) {
            key[i] = low ? m.map[0] : m.map[255];
        } else {
            key[i] = low ? 0x00 : 0xFF;
        }
    }
}

// Adds (step +1) or subtracts (step -1) one at byte length-1 with carry; false when
// the carry ran out of bytes.
bool Step(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t length, int step) {
    const bool binary = Binary(layout);
    const TCharMap& m = MapOf(layout);
    for (std::size_t i = std::min(length, key.size()); i-- > 0;) {
        if (!binary && KindAt(layout, i) == TByteKind::Character) {
            const int rank = m.rank[key[i]];
            if (step > 0 ? rank < 255 : rank > 0) {
                key[i] = m.map[static_cast<std::size_t>(rank + step)];
                return true;
            }
            key[i] = step > 0 ? m.map[0] : m.map[255];
        } else {
            if (step > 0 ? key[i] < 0xFF : key[i] > 0x00) {
                key[i] = static_cast<std::uint8_t>(key[i] + step);
                return true;
            }
            key[i] = step > 0 ? 0x00 : 0xFF;
        }
    }
    return false;
}

}  // namespace

void PadLow(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t from) { Pad(layout, key, from, true); }

void PadHigh(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t from) { Pad(layout, key, from, false); }

void Successor(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t length) {
    if (Step(layout, key, length, +1)) {
        PadLow(layout, key, length);
    } else {
        PadHigh(layout, key, 0);  // nothing is greater: the highest key
    }
}

void Predecessor(const TKeyLayout& layout, std::span<std::uint8_t> key, std::size_t length) {
    if (Step(layout, key, length, -1)) {
        PadHigh(layout, key, length);
    } else {
        PadLow(layout, key, 0);
    }
}

std::vector<std::uint8_t> KeyOf(const TKeyLayout& layout, std::span<const std::uint8_t> record) {
    std::vector<std::uint8_t> key(layout.KeyLength(), 0);
    BuildKey(layout, record, key);
    return key;
}

std::vector<std::uint8_t> SysDeletedKeyOf(std::span<const std::uint8_t> record) {
    std::vector<std::uint8_t> key(kSysDeletedKeyLength, 0);
    BuildSysDeletedKey(record, key);
    return key;
}

}  // namespace reruzo
