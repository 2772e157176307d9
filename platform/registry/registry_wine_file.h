// Wine's registry files (system.reg, user.reg, userdef.reg) as a tree of keys that can
// be changed and written back with every line the change does not touch kept byte for
// byte.
//
// The format, as Wine writes it:
//
//   WINE REGISTRY Version 2                 first line, required
//   ;; All keys relative to \\Machine       where the file's keys hang (\\User\\S-...)
//   #arch=win64                             options of the file; ';' lines are comments
//
//   [Software\\Wine\\Fonts] 1700000000      a key: its path below that place, names
//   #time=1da0e3f2c6a1b20                   joined by "\\"; the seconds since 1970 and
//   #class="text"                           the same moment in 100 ns ticks since 1601
//   #link                                   the key is a symbolic link
//   @="default value"                       the default value (empty name)
//   "Name"="text"                           REG_SZ
//   "Path"=str(2):"%SystemRoot%"            REG_EXPAND_SZ; str(7) is REG_MULTI_SZ
//   "Count"=dword:0000001f                  REG_DWORD
//   "Data"=hex:01,02,ff,\                   REG_BINARY; hex(N): any other type; a line
//     03,04                                 ending in "\" goes on in the next one
//
// A blank line precedes every key line. Keys appear parent before child, siblings
// sorted by name without regard to letter case; a key with subkeys and no values has
// no line of its own. Strings and names are UTF-16 written with C escapes: "\\" and
// the quote character (or "[" "]" in key names) get a backslash, \a \b \t \n \v \f \r
// \e, other control characters in octal ("\0"), characters above 127 as \x and their
// hexadecimal code unit (four digits when a hexadecimal digit follows). String data
// is written without its terminating zero, which reading adds back.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry_store.h"

namespace quorvane::registry::wine {

// 100-nanosecond ticks since 1601-01-01 (UTC), the unit of key time stamps.
using TFileTime = std::uint64_t;
inline constexpr TFileTime kTicksTo1970 = 116444736000000000ull;

class TWineHive {
  public:
    struct TKey;

    // A hive without keys whose header places its keys at `base` (for example
    // {u"Machine"} or {u"User", u"S-1-5-21-0-0-0-1000"}).
    explicit TWineHive(std::vector<std::u16string> base);
    // Reads the contents of a registry file. Anything that cannot be read raises
    // ERegistryError naming `fileName` and the line.
    static TWineHive Parse(std::string_view contents, const std::string& fileName);
    TWineHive(TWineHive&&) noexcept;
    TWineHive& operator=(TWineHive&&) noexcept;
    ~TWineHive();

    // The file's text: unchanged lines as they were read, changed keys as Wine
    // writes them.
    std::string Serialize() const;
    // Where the keys hang, from the header line (empty when the header has none).
    const std::vector<std::u16string>& Base() const { return base_; }

    // Keys. Pointers stay valid until their key is deleted.
    TKey* Root() const { return root_.get(); }
    TKey* Child(const TKey* key, std::u16string_view name) const;
    std::vector<std::u16string> ChildNames(const TKey* key) const;
    const std::u16string& Name(const TKey* key) const;
    // True when the key's lines mark it as a symbolic link.
    bool IsLink(const TKey* key) const;

    // Creates the keys `names` below `key`, each below the one before; the first must
    // not exist yet. Returns the last.
    TKey* CreatePath(TKey* key, const std::vector<std::u16string>& names, TFileTime now);
    // Deletes the subkey `name` of `key` and everything below it; false when missing.
    bool DeleteTree(TKey* key, std::u16string_view name, TFileTime now);

    std::optional<TValue> Value(const TKey* key, std::u16string_view name) const;
    std::vector<std::u16string> ValueNames(const TKey* key) const;
    void SetValue(TKey* key, std::u16string_view name, const TValue& value, TFileTime now);
    bool DeleteValue(TKey* key, std::u16string_view name, TFileTime now);

  private:
    struct TSection;

    TWineHive();
    TKey* AddChild(TKey* key, std::u16string_view name);
    TSection& AddSection(TKey* key, TFileTime now);
    void RemoveSection(TKey* key);
    void RemoveSubtreeSections(TKey* key);
    void Touch(TSection& section, TFileTime now);

    std::vector<std::string> preamble_;
    std::list<TSection> sections_;
    std::vector<std::string> epilogue_;
    bool finalNewline_ = true;
    std::vector<std::u16string> base_;
    std::unique_ptr<TKey> root_;
};

// Wine's escaping of a name or string; `quoted` holds the characters that get a
// backslash besides the backslash itself ("\"" for values, "[]" for key names).
std::string EscapeText(std::u16string_view text, std::string_view quoted);
// The lines Wine writes for a value (more than one when long hexadecimal data wraps).
std::vector<std::string> FormatValue(std::u16string_view name, const TValue& value);
// The key line and the time line of a key touched at `now`.
std::string KeyLine(std::string_view pathText, TFileTime now);
std::string TimeLine(TFileTime now);

}  // namespace quorvane::registry::wine
