// The registry operations the repair items are applied with, over a store (Wine's
// registry files by default, offline NT hives on request), and the choice of store.
//
// The program's strings are GBK (code page 936): paths, value names and string data
// given here are GBK and are converted to the UTF-16 of the store; string data read
// comes back as GBK, characters without a GBK form as '?'.
//
// Which store, by the environment:
//   1. $QUORVANE_REGISTRY when set: "wine:DIR" (a Wine prefix) or "hive:DIR" (the
//      Windows/System32/config folder of an offline Windows installation);
//   2. $WINEPREFIX when it holds system.reg;
//   3. ~/.wine when it holds system.reg;
//   4. Quorvane's own registry in $XDG_DATA_HOME/quorvane/registry (default
//      ~/.local/share/quorvane/registry), created with empty files on first use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry_store.h"

namespace quorvane::registry {

// A key operation run on one root key and at most one open key. Failures raise
// ERegistryError with these messages (%s the value's name as given):
//   "Invalid data type for '%s'"   the value is not of the type read
//   "Failed to get data for '%s'"  a DWORD read of a missing or longer value
//   "Failed to set data for '%s'"  a write the store refuses, or no key open
class TRegistry {
  public:
    // Starts on HKEY_CURRENT_USER with no key open.
    explicit TRegistry(std::unique_ptr<TRegistryStore> store);
    // Writes what the store still holds back; errors are not reported here (call
    // Flush first to see them).
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // Closes the open key; later paths are taken below `root`.
    void SetRootKey(std::uint32_t root);
    std::uint32_t RootKey() const { return root_; }

    // Opens the key `path` below the root key, creating every missing key on the way
    // when `canCreate`; the empty path opens the root key itself, and empty parts of
    // the path (a leading backslash) are ignored. Closes the key open before. False
    // when the key cannot be opened: it is missing (and not to be created), the root
    // key is not offered, or the store is not writable.
    bool OpenKey(const std::string& path, bool canCreate);
    void CloseKey();
    bool HasOpenKey() const { return key_ != nullptr; }

    // Whether the open key has a value `name` (empty: the key's default value).
    bool ValueExists(const std::string& name);
    // The size of the value's data in bytes, -1 when it is missing. Strings count in
    // their GBK form, terminating zero included.
    int GetDataSize(const std::string& name);
    // The text of a REG_SZ or REG_EXPAND_SZ value up to its first zero; empty when the
    // value is missing or has no data.
    std::string ReadString(const std::string& name);
    // The 4 bytes of a REG_DWORD value, as a signed number (the bit pattern of the
    // DWORD, so that writing it back gives the same value).
    std::int32_t ReadInteger(const std::string& name);
    // The bytes of a value of any type but REG_SZ, REG_EXPAND_SZ and REG_DWORD; empty
    // when the value is missing.
    std::vector<std::uint8_t> ReadBinaryData(const std::string& name);

    // REG_SZ: the text (up to a zero byte in it) and its terminating zero.
    void WriteString(const std::string& name, const std::string& value);
    // REG_EXPAND_SZ, a text whose %VARIABLES% the reader expands: as WriteString.
    void WriteExpandString(const std::string& name, const std::string& value);
    // REG_DWORD: the value's 4 bytes.
    void WriteInteger(const std::string& name, std::int32_t value);
    // REG_BINARY: the bytes, possibly none.
    void WriteBinaryData(const std::string& name, const std::vector<std::uint8_t>& data);

    // Deletes the value `name` of the open key. False when it was missing or no key is
    // open (the root key is never touched in place of a key that did not open).
    bool DeleteValue(const std::string& name);
    // Deletes the subkey `name` (a path below the open key) with every key below it,
    // deepest first. False when it was missing, the name is empty or no key is open.
    bool DeleteKey(const std::string& name);

    // Writes what the store holds back (a no-op for stores that save every change).
    void Flush();
    // Asks for a restart of the system that owns the registry: "wineboot --restart"
    // for a Wine prefix; refused silently otherwise.
    void RequestRestart();

    TRegistryStore& Store() { return *store_; }

  private:
    TStoreKey* Key(const std::string& name, const char* failure);
    void WriteText(const std::string& name, const std::string& value, std::uint32_t type);

    std::unique_ptr<TRegistryStore> store_;
    std::uint32_t root_ = HKEY_CURRENT_USER;
    std::unique_ptr<TStoreKey> key_;
};

// Where a store lives.
struct TStoreLocation {
    enum class EKind { Wine, Hive };
    EKind kind = EKind::Wine;
    std::string dir;
    // A Wine prefix (true) or Quorvane's own registry folder (false).
    bool prefix = true;

    bool operator==(const TStoreLocation&) const = default;
};

// "wine:DIR" or "hive:DIR"; anything else raises ERegistryError.
TStoreLocation ParseStoreLocation(std::string_view setting);
// The store the environment selects (rules above); touches nothing on disk.
TStoreLocation DefaultStoreLocation();
// Quorvane's folder for the user's data: $XDG_DATA_HOME/quorvane, by default
// ~/.local/share/quorvane (not created here).
std::string UserDataFolder();

// Opens a store. Quorvane's own registry folder is created when missing.
std::unique_ptr<TRegistryStore> OpenStore(const TStoreLocation& location,
                                          const TStoreOptions& options = {});
std::unique_ptr<TRegistryStore> OpenStore(std::string_view setting,
                                          const TStoreOptions& options = {});
std::unique_ptr<TRegistryStore> OpenDefaultStore(const TStoreOptions& options = {});

}  // namespace quorvane::registry
