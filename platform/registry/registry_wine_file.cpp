// Reading, changing and writing Wine's registry files.
//
// The file is kept as its lines: the header lines before the first key (preamble),
// one section per key line, and blank lines at the end (epilogue). A section holds
// the blank lines just before its key line, the key line, and the blocks after it: a
// value (one line, or several joined by "\"), the "#time=" line, the "#link" line, or
// any other line (comments, other options, blank lines), each with its lines exactly
// as read. A change rewrites only the blocks and key line it concerns; serialising
// joins the lines again. Beside the lines lies the tree of keys, sorted by name as
// Wine sorts them; a key that only exists because keys below it have lines has no
// section.
#include "platform/registry/registry_wine_file.h"

#include <algorithm>
#include <cstdio>

#include "platform/registry/registry_text.h"

namespace quorvane::registry::wine {

struct TWineHive::TKey {
    std::u16string name;
    TKey* parent = nullptr;
    std::vector<std::unique_ptr<TKey>> children;  // sorted by text::CompareNames
    TSection* section = nullptr;
};

namespace {

struct TBlock {
    enum class EKind { Other, Time, Link, Value };
    EKind kind = EKind::Other;
    std::vector<std::string> lines;
    std::u16string name;  // of a value
    TValue value;
};

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";
constexpr std::string_view kBaseLine = ";; All keys relative to ";

std::string_view Content(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    return s;
}

bool IsBlank(std::string_view line) {
    return TrimLeft(Content(line)).empty();
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

void AppendCodePoint(std::u16string& out, std::uint32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<char16_t>(cp);
    }
}

// Length of a well-formed UTF-8 sequence at s[pos] and its code point; 0 when the
// bytes there are not one (they are then taken one byte, one character).
std::size_t DecodeUtf8(std::string_view s, std::size_t pos, std::uint32_t& cp) {
    const auto b = static_cast<unsigned char>(s[pos]);
    std::size_t len = 0;
    std::uint32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF)
        len = 2, cp = b & 0x1F, min = 0x80;
    else if (b >= 0xE0 && b <= 0xEF)
        len = 3, cp = b & 0x0F, min = 0x800;
    else if (b >= 0xF0 && b <= 0xF4)
        len = 4, cp = b & 0x07, min = 0x10000;
    else
        return 0;
    if (pos + len > s.size()) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        const auto c = static_cast<unsigned char>(s[pos + i]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Reads escaped text from s[pos] up to the unescaped character `end`. Returns the
// text and sets `next` past `end`; nullopt when `end` never comes. Characters above
// 127 that are not escaped are read as UTF-8 where they form it, else as single
// bytes.
std::optional<std::u16string> Unescape(std::string_view s, std::size_t pos, char end,
                                       std::size_t& next) {
    std::u16string out;
    while (pos < s.size()) {
        const char ch = s[pos];
        if (ch == end) {
            next = pos + 1;
            return out;
        }
        if (ch != '\\') {
            std::uint32_t cp = 0;
            const std::size_t len =
                static_cast<unsigned char>(ch) >= 0x80 ? DecodeUtf8(s, pos, cp) : 0;
            if (len) {
                AppendCodePoint(out, cp);
                pos += len;
            } else {
                out += static_cast<char16_t>(static_cast<unsigned char>(ch));
                ++pos;
            }
            continue;
        }
        if (++pos >= s.size()) return std::nullopt;
        const char e = s[pos];
        switch (e) {
            case 'a':
                out += u'\a';
                ++pos;
                break;
            case 'b':
                out += u'\b';
                ++pos;
                break;
            case 'e':
                out += char16_t{0x1B};
                ++pos;
                break;
            case 'f':
                out += u'\f';
                ++pos;
                break;
            case 'n':
                out += u'\n';
                ++pos;
                break;
            case 'r':
                out += u'\r';
                ++pos;
                break;
            case 't':
                out += u'\t';
                ++pos;
                break;
            case 'v':
                out += u'\v';
                ++pos;
                break;
            case 'x': {
                ++pos;
                if (pos >= s.size() || !IsHex(s[pos])) {
                    out += u'x';
                    break;
                }
                std::uint32_t v = 0;
                for (int i = 0; i < 4 && pos < s.size() && IsHex(s[pos]); ++i, ++pos)
                    v = v * 16 + static_cast<std::uint32_t>(HexValue(s[pos]));
                out += static_cast<char16_t>(v);
                break;
            }
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7': {
                std::uint32_t v = 0;
                for (int i = 0; i < 3 && pos < s.size() && s[pos] >= '0' && s[pos] <= '7';
                     ++i, ++pos)
                    v = v * 8 + static_cast<std::uint32_t>(s[pos] - '0');
                out += static_cast<char16_t>(v);
                break;
            }
            default:
                out += static_cast<char16_t>(static_cast<unsigned char>(e));
                ++pos;
                break;
        }
    }
    return std::nullopt;
}

std::string Hex(std::uint64_t v, int width = 0) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*llx", width, static_cast<unsigned long long>(v));
    return buffer;
}

std::string EscapePath(const std::vector<std::u16string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += "\\\\";
        out += EscapeText(names[i], "[]");
    }
    return out;
}

// Keys in the order Wine writes them: parent before child, siblings by name.
int ComparePaths(const std::vector<std::u16string>& a, const std::vector<std::u16string>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (const int c = text::CompareNames(a[i], b[i])) return c;
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace

struct TWineHive::TSection {
    std::vector<std::string> leading;  // blank lines before the key line
    std::string indent;                // what stood before '['
    std::string pathText;              // the key's path as written between the brackets
    std::string keyLine;
    std::vector<TBlock> body;
    TKey* key = nullptr;
    std::size_t lineNumber = 0;  // of the key line when read, for messages
};

namespace {

std::vector<std::u16string> PathOf(const TWineHive::TKey* key);

}  // namespace

// ---------------------------------------------------------------------------------
// Text helpers shared with the tests

std::string EscapeText(std::u16string_view text, std::string_view quoted) {
    static constexpr char kEscapes[33] = ".......abtnvfr.............e....";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool hexNext =
            i + 1 < text.size() && text[i + 1] < 128 && IsHex(static_cast<char>(text[i + 1]));
        if (c > 127) {
            out += "\\x" + Hex(c, hexNext ? 4 : 0);
        } else if (c < 32) {
            if (kEscapes[c] != '.') {
                out += '\\';
                out += kEscapes[c];
            } else {
                const bool octalNext =
                    i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'7';
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, octalNext ? "\\%03o" : "\\%o",
                              static_cast<unsigned>(c));
                out += buffer;
            }
        } else {
            if (c == u'\\' || quoted.find(static_cast<char>(c)) != std::string_view::npos)
                out += '\\';
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::vector<std::string> FormatValue(std::u16string_view name, const TValue& value) {
    std::string line;
    std::size_t count = 0;
    if (!name.empty()) {
        const std::string escaped = EscapeText(name, "\"");
        line = "\"" + escaped + "\"=";
        count = escaped.size() + 3;
    } else {
        line = "@=";
        count = 2;
    }
    const std::vector<std::uint8_t>& data = value.data;
    switch (value.type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_MULTI_SZ:
            // Only strings that end in their zero are written as strings.
            if (data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 1] == 0 &&
                data[data.size() - 2] == 0) {
                if (value.type != REG_SZ) line += "str(" + Hex(value.type) + "):";
                std::u16string s = text::FromBytes(data);
                s.pop_back();
                line += "\"" + EscapeText(s, "\"") + "\"";
                return {line};
            }
            break;
        case REG_DWORD:
            if (data.size() == 4) {
                const std::uint32_t v = data[0] | (data[1] << 8) | (data[2] << 16) |
                                        (static_cast<std::uint32_t>(data[3]) << 24);
                return {line + "dword:" + Hex(v, 8)};
            }
            break;
        default:
            break;
    }
    const std::string prefix =
        value.type == REG_BINARY ? std::string("hex:") : "hex(" + Hex(value.type) + "):";
    line += prefix;
    count += prefix.size();
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < data.size(); ++i) {
        line += Hex(data[i], 2);
        count += 2;
        if (i + 1 < data.size()) {
            line += ',';
            if (++count > 76) {
                line += '\\';
                lines.push_back(std::move(line));
                line = "  ";
                count = 2;
            }
        }
    }
    lines.push_back(std::move(line));
    return lines;
}

std::string KeyLine(std::string_view pathText, TFileTime now) {
    const std::uint64_t seconds = now > kTicksTo1970 ? (now - kTicksTo1970) / 10000000u : 0;
    return "[" + std::string(pathText) + "] " + std::to_string(static_cast<std::uint32_t>(seconds));
}

std::string TimeLine(TFileTime now) {
    return "#time=" + Hex(now >> 32) + Hex(now & 0xFFFFFFFFu, 8);
}

// ---------------------------------------------------------------------------------
// Reading

namespace {

std::vector<std::u16string> PathOf(const TWineHive::TKey* key) {
    std::vector<std::u16string> path;
    for (; key && key->parent; key = key->parent) path.push_back(key->name);
    std::reverse(path.begin(), path.end());
    return path;
}

}  // namespace

TWineHive::TWineHive() : root_(std::make_unique<TKey>()) {}

TWineHive::TWineHive(std::vector<std::u16string> base) : TWineHive() {
    base_ = std::move(base);
    preamble_.emplace_back(kHeader);
    preamble_.push_back(std::string(kBaseLine) + "\\\\" + EscapePath(base_));
}

TWineHive::TWineHive(TWineHive&&) noexcept = default;
TWineHive& TWineHive::operator=(TWineHive&&) noexcept = default;
TWineHive::~TWineHive() = default;

namespace {

[[noreturn]] void Fail(const std::string& fileName, std::size_t index, const std::string& what) {
    throw ERegistryError("Corrupt registry file '" + fileName + "', line " +
                         std::to_string(index + 1) + ": " + what);
}

// Reads the value whose first line, without leading blanks, is `c` (line `i`) into
// `block`; hexadecimal data that goes on in further lines moves `i` to the last.
void ReadValue(TBlock& block, std::string_view c, const std::vector<std::string>& lines,
               std::size_t& i, const std::string& fileName) {
    auto fail = [&](std::size_t index, const std::string& what) { Fail(fileName, index, what); };
    std::size_t pos = 1;
    if (c.front() == '"') {
        auto name = Unescape(c, 1, '"', pos);
        if (!name) fail(i, "value name without its closing quote");
        block.name = std::move(*name);
    }
    while (pos < c.size() && IsSpace(c[pos])) ++pos;
    if (pos >= c.size() || c[pos] != '=') fail(i, "'=' expected after the value name");
    ++pos;
    while (pos < c.size() && IsSpace(c[pos])) ++pos;
    std::string_view rest = c.substr(pos);
    // The type in hexadecimal between "(" and ")" at the start of `rest`.
    auto readType = [&](std::string_view& r) {
        std::uint32_t t = 0;
        std::size_t k = 1, digits = 0;
        for (; k < r.size() && IsHex(r[k]) && digits < 8; ++k, ++digits)
            t = t * 16 + static_cast<std::uint32_t>(HexValue(r[k]));
        if (!digits || k >= r.size() || r[k] != ')') fail(i, "bad value type");
        r.remove_prefix(k + 1);
        return t;
    };
    auto readString = [&](std::string_view r, std::uint32_t type) {
        if (r.empty() || r.front() != '"') fail(i, "string data must start with '\"'");
        std::size_t end = 0;
        auto s = Unescape(r, 1, '"', end);
        if (!s) fail(i, "string without its closing quote");
        block.value = TValue{type, text::ToBytes(*s, true)};
    };
    if (!rest.empty() && rest.front() == '"') {
        readString(rest, REG_SZ);
    } else if (rest.substr(0, 4) == "str:") {
        readString(rest.substr(4), REG_SZ);
    } else if (rest.substr(0, 4) == "str(") {
        rest.remove_prefix(3);
        const std::uint32_t type = readType(rest);
        if (rest.empty() || rest.front() != ':') fail(i, "bad value type");
        readString(rest.substr(1), type);
    } else if (rest.substr(0, 6) == "dword:") {
        rest.remove_prefix(6);
        std::uint32_t v = 0;
        std::size_t k = 0;
        for (; k < rest.size() && IsHex(rest[k]); ++k) {
            if (k == 8) fail(i, "DWORD data longer than 8 hexadecimal digits");
            v = v * 16 + static_cast<std::uint32_t>(HexValue(rest[k]));
        }
        if (k == 0) fail(i, "DWORD data without hexadecimal digits");
        block.value =
            TValue{REG_DWORD,
                   {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                    static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)}};
    } else if (rest.substr(0, 3) == "hex") {
        rest.remove_prefix(3);
        std::uint32_t type = REG_BINARY;
        if (!rest.empty() && rest.front() == '(') type = readType(rest);
        if (rest.empty() || rest.front() != ':') fail(i, "bad value type");
        rest.remove_prefix(1);
        block.value.type = type;
        // Bytes separated by commas; a line ending in "\" goes on in the next.
        for (;;) {
            std::size_t k = 0;
            while (k < rest.size() && IsHex(rest[k])) {
                unsigned v = 0;
                std::size_t digits = 0;
                for (; k < rest.size() && IsHex(rest[k]); ++k, ++digits)
                    if (digits < 8) v = v * 16 + static_cast<unsigned>(HexValue(rest[k]));
                if (v > 0xFF || digits > 8) fail(i, "hexadecimal byte above ff");
                block.value.data.push_back(static_cast<std::uint8_t>(v));
                while (k < rest.size() && IsSpace(rest[k])) ++k;
                if (k < rest.size() && rest[k] == ',') ++k;
                while (k < rest.size() && IsSpace(rest[k])) ++k;
            }
            while (k < rest.size() && IsSpace(rest[k])) ++k;
            if (k == rest.size()) break;
            if (rest[k] != '\\') fail(i, "bad hexadecimal data");
            if (i + 1 >= lines.size()) fail(i, "hexadecimal data goes on past the end of the file");
            ++i;
            block.lines.push_back(lines[i]);
            rest = TrimLeft(Content(lines[i]));
        }
    } else {
        fail(i, "unknown kind of value data");
    }
}

}  // namespace

TWineHive TWineHive::Parse(std::string_view contents, const std::string& fileName) {
    TWineHive hive;
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < contents.size()) {
        std::size_t end = contents.find('\n', start);
        if (end == std::string_view::npos) {
            lines.emplace_back(contents.substr(start));
            hive.finalNewline_ = false;
            break;
        }
        lines.emplace_back(contents.substr(start, end - start));
        start = end + 1;
    }
    auto fail = [&](std::size_t index, const std::string& what) { Fail(fileName, index, what); };
    if (lines.empty() || Content(lines[0]) != kHeader)
        fail(0,
             "not a Wine registry file (the first line must be \"" + std::string(kHeader) + "\")");

    auto isKeyLine = [&](std::size_t i) {
        const std::string_view c = TrimLeft(Content(lines[i]));
        return !c.empty() && c.front() == '[';
    };
    auto keyName = [](const std::vector<std::u16string>& path) {
        return "[" + EscapePath(path) + "]";
    };

    std::size_t i = 0;
    for (; i < lines.size() && !isKeyLine(i); ++i) {
        const std::string_view c = TrimLeft(Content(lines[i]));
        if (i > 0 && !c.empty() && c.front() != ';' && c.front() != '#') {
            if (c.front() == '"' || c.front() == '@') fail(i, "value outside of a key");
            fail(i, "unrecognised line");
        }
        if (c.substr(0, kBaseLine.size()) == kBaseLine) {
            std::size_t next = 0;
            std::string rest(c.substr(kBaseLine.size()));
            rest += '\n';
            if (auto base = Unescape(rest, 0, '\n', next)) hive.base_ = text::SplitPath(*base);
        }
        hive.preamble_.push_back(lines[i]);
    }
    // Blank lines before a key line belong to that key.
    auto takeTrailingBlanks = [](std::vector<std::string>& from) {
        std::vector<std::string> blanks;
        while (!from.empty() && IsBlank(from.back())) {
            blanks.insert(blanks.begin(), from.back());
            from.pop_back();
        }
        return blanks;
    };
    auto takeTrailingBlankBlocks = [](std::vector<TBlock>& body) {
        std::vector<std::string> blanks;
        while (!body.empty() && body.back().kind == TBlock::EKind::Other &&
               body.back().lines.size() == 1 && IsBlank(body.back().lines[0])) {
            blanks.insert(blanks.begin(), body.back().lines[0]);
            body.pop_back();
        }
        return blanks;
    };

    while (i < lines.size()) {
        TSection section;
        section.leading = hive.sections_.empty()
                              ? takeTrailingBlanks(hive.preamble_)
                              : takeTrailingBlankBlocks(hive.sections_.back().body);
        section.lineNumber = i + 1;
        section.keyLine = lines[i];
        const std::string_view content = Content(lines[i]);
        const std::size_t bracket = content.find('[');
        section.indent = std::string(content.substr(0, bracket));
        std::size_t next = 0;
        const auto path = Unescape(content, bracket + 1, ']', next);
        if (!path) fail(i, "key name without its closing ']'");
        section.pathText = std::string(content.substr(bracket + 1, next - bracket - 2));
        const std::vector<std::u16string> names = text::SplitPath(*path);
        TKey* key = hive.root_.get();
        for (const std::u16string& name : names) {
            TKey* child = hive.Child(key, name);
            key = child ? child : hive.AddChild(key, name);
        }
        if (key->section)
            fail(i, "the key " + keyName(names) + " appears a second time (first at line " +
                        std::to_string(key->section->lineNumber) + ")");
        ++i;

        for (; i < lines.size() && !isKeyLine(i); ++i) {
            const std::string_view c = TrimLeft(Content(lines[i]));
            TBlock block;
            block.lines.push_back(lines[i]);
            if (c.empty() || c.front() == ';') {
                block.kind = TBlock::EKind::Other;
            } else if (c.substr(0, 6) == "#time=") {
                block.kind = TBlock::EKind::Time;
            } else if (c.substr(0, 5) == "#link") {
                block.kind = TBlock::EKind::Link;
            } else if (c.front() == '#') {
                block.kind = TBlock::EKind::Other;
            } else if (c.front() == '"' || c.front() == '@') {
                block.kind = TBlock::EKind::Value;
                ReadValue(block, c, lines, i, fileName);
                for (const TBlock& other : section.body)
                    if (other.kind == TBlock::EKind::Value &&
                        text::SameName(other.name, block.name))
                        fail(i, "the value \"" + text::ToUtf8(block.name) +
                                    "\" appears a second time in its key");
            } else {
                fail(i, "unrecognised line");
            }
            section.body.push_back(std::move(block));
        }
        section.key = key;
        hive.sections_.push_back(std::move(section));
        key->section = &hive.sections_.back();
    }
    hive.epilogue_ = hive.sections_.empty() ? takeTrailingBlanks(hive.preamble_)
                                            : takeTrailingBlankBlocks(hive.sections_.back().body);
    return hive;
}

std::string TWineHive::Serialize() const {
    std::string out;
    bool first = true;
    auto add = [&](const std::string& line) {
        if (!first) out += '\n';
        out += line;
        first = false;
    };
    for (const std::string& line : preamble_) add(line);
    for (const TSection& section : sections_) {
        for (const std::string& line : section.leading) add(line);
        add(section.keyLine);
        for (const TBlock& block : section.body)
            for (const std::string& line : block.lines) add(line);
    }
    for (const std::string& line : epilogue_) add(line);
    if (finalNewline_ && !first) out += '\n';
    return out;
}

// ---------------------------------------------------------------------------------
// Keys

TWineHive::TKey* TWineHive::Child(const TKey* key, std::u16string_view name) const {
    const auto& c = key->children;
    auto it = std::lower_bound(c.begin(), c.end(), name,
                               [](const std::unique_ptr<TKey>& k, std::u16string_view n) {
                                   return text::CompareNames(k->name, n) < 0;
                               });
    if (it != c.end() && text::SameName((*it)->name, name)) return it->get();
    return nullptr;
}

std::vector<std::u16string> TWineHive::ChildNames(const TKey* key) const {
    std::vector<std::u16string> names;
    for (const auto& child : key->children) names.push_back(child->name);
    return names;
}

const std::u16string& TWineHive::Name(const TKey* key) const {
    return key->name;
}

bool TWineHive::IsLink(const TKey* key) const {
    if (!key->section) return false;
    return std::any_of(key->section->body.begin(), key->section->body.end(),
                       [](const TBlock& b) { return b.kind == TBlock::EKind::Link; });
}

TWineHive::TKey* TWineHive::AddChild(TKey* key, std::u16string_view name) {
    auto child = std::make_unique<TKey>();
    child->name = std::u16string(name);
    child->parent = key;
    auto& c = key->children;
    auto it = std::lower_bound(c.begin(), c.end(), name,
                               [](const std::unique_ptr<TKey>& k, std::u16string_view n) {
                                   return text::CompareNames(k->name, n) < 0;
                               });
    return c.insert(it, std::move(child))->get();
}

TWineHive::TSection& TWineHive::AddSection(TKey* key, TFileTime now) {
    const std::vector<std::u16string> path = PathOf(key);
    // Before the first key that Wine would write after this one.
    auto at = std::find_if(sections_.begin(), sections_.end(), [&](const TSection& s) {
        return ComparePaths(PathOf(s.key), path) > 0;
    });
    TSection section;
    section.leading = {""};
    section.pathText = EscapePath(path);
    section.key = key;
    TSection& added = *sections_.insert(at, std::move(section));
    key->section = &added;
    Touch(added, now);
    return added;
}

void TWineHive::RemoveSection(TKey* key) {
    if (!key->section) return;
    sections_.remove_if([&](const TSection& s) { return &s == key->section; });
    key->section = nullptr;
}

void TWineHive::RemoveSubtreeSections(TKey* key) {
    for (auto& child : key->children) RemoveSubtreeSections(child.get());
    RemoveSection(key);
}

void TWineHive::Touch(TSection& section, TFileTime now) {
    section.keyLine = section.indent + KeyLine(section.pathText, now);
    for (TBlock& block : section.body) {
        if (block.kind == TBlock::EKind::Time) {
            block.lines = {TimeLine(now)};
            return;
        }
    }
    TBlock time;
    time.kind = TBlock::EKind::Time;
    time.lines = {TimeLine(now)};
    section.body.insert(section.body.begin(), std::move(time));
}

TWineHive::TKey* TWineHive::CreatePath(TKey* key, const std::vector<std::u16string>& names,
                                       TFileTime now) {
    if (names.empty()) return key;
    if (key->section) Touch(*key->section, now);
    for (const std::u16string& name : names) key = AddChild(key, name);
    // Keys with subkeys need no lines of their own; the new last one does.
    AddSection(key, now);
    return key;
}

bool TWineHive::DeleteTree(TKey* key, std::u16string_view name, TFileTime now) {
    TKey* child = Child(key, name);
    if (!child) return false;
    RemoveSubtreeSections(child);
    auto& c = key->children;
    c.erase(std::find_if(c.begin(), c.end(), [&](const auto& k) { return k.get() == child; }));
    if (key->section) {
        Touch(*key->section, now);
    } else if (key->parent && key->children.empty()) {
        // The key lived only through its subkeys' lines; it needs its own now.
        AddSection(key, now);
    }
    return true;
}

std::optional<TValue> TWineHive::Value(const TKey* key, std::u16string_view name) const {
    if (!key->section) return std::nullopt;
    for (const TBlock& block : key->section->body)
        if (block.kind == TBlock::EKind::Value && text::SameName(block.name, name))
            return block.value;
    return std::nullopt;
}

std::vector<std::u16string> TWineHive::ValueNames(const TKey* key) const {
    std::vector<std::u16string> names;
    if (key->section)
        for (const TBlock& block : key->section->body)
            if (block.kind == TBlock::EKind::Value) names.push_back(block.name);
    return names;
}

void TWineHive::SetValue(TKey* key, std::u16string_view name, const TValue& value, TFileTime now) {
    TSection& section = key->section ? *key->section : AddSection(key, now);
    auto& body = section.body;
    for (TBlock& block : body) {
        if (block.kind == TBlock::EKind::Value && text::SameName(block.name, name)) {
            block.value = value;
            block.lines = FormatValue(block.name, value);
            Touch(section, now);
            return;
        }
    }
    // Values are kept sorted by name; without a greater one the new value follows the
    // last value, or the key's option lines.
    std::size_t at = body.size();
    std::size_t afterLast = 0;
    for (std::size_t j = 0; j < body.size(); ++j) {
        if (body[j].kind == TBlock::EKind::Value) {
            if (text::CompareNames(body[j].name, name) > 0) {
                at = j;
                break;
            }
            afterLast = j + 1;
        } else if (body[j].kind != TBlock::EKind::Other ||
                   TrimLeft(Content(body[j].lines[0])).substr(0, 1) == "#") {
            afterLast = j + 1;
        }
    }
    if (at == body.size()) at = afterLast;
    TBlock block;
    block.kind = TBlock::EKind::Value;
    block.name = std::u16string(name);
    block.value = value;
    block.lines = FormatValue(name, value);
    body.insert(body.begin() + static_cast<std::ptrdiff_t>(at), std::move(block));
    Touch(section, now);
}

bool TWineHive::DeleteValue(TKey* key, std::u16string_view name, TFileTime now) {
    if (!key->section) return false;
    auto& body = key->section->body;
    auto it = std::find_if(body.begin(), body.end(), [&](const TBlock& b) {
        return b.kind == TBlock::EKind::Value && text::SameName(b.name, name);
    });
    if (it == body.end()) return false;
    body.erase(it);
    Touch(*key->section, now);
    return true;
}

}  // namespace quorvane::registry::wine
