// The store interface under the registry operations: a store keeps keys and values
// somewhere (Wine's registry files, offline NT hives, memory) and hands out key
// objects on which values are read, written and deleted. Names and string data cross
// this interface in UTF-16 as the system they come from keeps them; value data is the
// raw bytes of the value (strings as UTF-16LE with their terminating zero).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::registry {

// Every registry failure that ends an operation; what() is the finished message.
class ERegistryError : public std::runtime_error {
  public:
    explicit ERegistryError(const std::string& message) : std::runtime_error(message) {}
};

// Root keys, by their handle values.
inline constexpr std::uint32_t HKEY_CLASSES_ROOT = 0x80000000;
inline constexpr std::uint32_t HKEY_CURRENT_USER = 0x80000001;
inline constexpr std::uint32_t HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr std::uint32_t HKEY_USERS = 0x80000003;
inline constexpr std::uint32_t HKEY_CURRENT_CONFIG = 0x80000005;
inline constexpr std::uint32_t HKEY_DYN_DATA = 0x80000006;

// Value types.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr std::uint32_t REG_LINK = 6;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_QWORD = 11;

struct TValue {
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> data;

    bool operator==(const TValue&) const = default;
};

// Services a store uses, replaceable (tests give their own). Empty members take the
// defaults of the store.
struct TStoreOptions {
    // True when a wineserver is running for the Wine prefix in `dir`; its server keeps
    // the registry in memory and would write it over any change made to the files.
    std::function<bool(const std::string& dir)> serverRunning;
    // Runs a program found on the PATH and waits for it; `environment` holds extra
    // "NAME=value" entries. Returns its exit status.
    std::function<int(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment)>
        runCommand;
    // The current time in 100-nanosecond ticks since 1601-01-01 (UTC).
    std::function<std::uint64_t()> clock;
    // How long opening a store waits for another program that holds the same
    // registry folder (see files::TFolderLock) before it refuses.
    std::chrono::milliseconds lockWait{30000};
};

// An open key. Names are compared without regard to letter case; the empty value
// name is the key's default value. A key object stays usable after other keys change;
// when its own key has been deleted meanwhile, reads find nothing and writes fail.
class TStoreKey {
  public:
    virtual ~TStoreKey() = default;

    virtual std::optional<TValue> QueryValue(std::u16string_view name) = 0;
    // False when the store refuses the write (cannot save, key gone).
    virtual bool SetValue(std::u16string_view name, const TValue& value) = 0;
    // False when there is no such value or the store refuses.
    virtual bool DeleteValue(std::u16string_view name) = 0;
    // The names of the key's values, in the order the store keeps them (the empty
    // name for the default value).
    virtual std::vector<std::u16string> ValueNames() = 0;
    virtual std::vector<std::u16string> SubKeyNames() = 0;
    // The existing subkey `name`, or null. A subkey that is a symbolic link is opened
    // as the link itself, not followed.
    virtual std::unique_ptr<TStoreKey> OpenSubKey(std::u16string_view name) = 0;
    // Deletes the subkey `name` with everything below it, deepest keys first. A link
    // is removed as a link; the key it points to stays. False when there is no such
    // subkey or the store refuses.
    virtual bool DeleteSubKey(std::u16string_view name) = 0;
};

class TRegistryStore {
  public:
    virtual ~TRegistryStore() = default;

    // The key `path` (names, first below the root key) below the root key `root`;
    // when `create`, every missing key on the path is created. The empty path is the
    // root key itself. Symbolic links on the way are followed. Null when the key does
    // not exist (and is not to be created), the root key is not one this store
    // offers, or the key cannot be opened for writing (the store is not writable).
    // Damaged store files raise ERegistryError.
    virtual std::unique_ptr<TStoreKey> OpenKey(std::uint32_t root,
                                               const std::vector<std::u16string>& path,
                                               bool create) = 0;
    // Writes changes still held back. Stores that save at every change do nothing.
    virtual void Flush() = 0;
    // Asks for the system that owns the registry to restart; refused silently where
    // that is not possible.
    virtual void RequestRestart() = 0;
    // What the store repairs, for the user ("Wine prefix /home/ann/.wine").
    virtual std::string Description() const = 0;
};

}  // namespace quorvane::registry
