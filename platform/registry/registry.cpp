// The registry operations over a store, and the choice of store.
#include "platform/registry/registry.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/registry/registry_hive.h"
#include "platform/registry/registry_text.h"
#include "platform/registry/registry_wine.h"

namespace quorvane::registry {
namespace {

std::string Message(const char* format, const std::string& name) {
    std::string message = format;
    message.replace(message.find("%s"), 2, name);
    return message;
}

constexpr const char* kInvalidType = "Invalid data type for '%s'";
constexpr const char* kGetFailed = "Failed to get data for '%s'";
constexpr const char* kSetFailed = "Failed to set data for '%s'";

bool IsString(std::uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

// The size a program working in GBK sees: strings in their GBK form.
int DataSize(const TValue& value) {
    if (IsString(value.type) || value.type == REG_MULTI_SZ)
        return static_cast<int>(text::ToProgram(text::FromBytes(value.data)).size() +
                                value.data.size() % 2);
    return static_cast<int>(value.data.size());
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A folder named by a variable, without a trailing "/".
std::string Folder(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string HomeDirectory() {
    std::string home = Environment("HOME");
    if (home.empty())
        if (const passwd* pw = ::getpwuid(::getuid())) home = pw->pw_dir ? pw->pw_dir : "";
    return Folder(home);
}

bool HoldsPrefix(const std::string& dir) {
    std::error_code ec;
    return !dir.empty() &&
           std::filesystem::is_regular_file(std::filesystem::path(dir) / "system.reg", ec);
}

}  // namespace

// ---------------------------------------------------------------------------------
// TRegistry

TRegistry::TRegistry(std::unique_ptr<TRegistryStore> store) : store_(std::move(store)) {
    if (!store_) throw ERegistryError("No registry store");
}

TRegistry::~TRegistry() {
    key_.reset();
    try {
        store_->Flush();
    } catch (...) {
        // Nothing can be reported from here; Flush() reports.
    }
}

void TRegistry::SetRootKey(std::uint32_t root) {
    CloseKey();
    root_ = root;
}

bool TRegistry::OpenKey(const std::string& path, bool canCreate) {
    CloseKey();
    // Split after converting: a GBK character's second byte may be a backslash.
    key_ = store_->OpenKey(root_, text::SplitPath(text::FromProgram(path)), canCreate);
    return key_ != nullptr;
}

void TRegistry::CloseKey() {
    key_.reset();
}

bool TRegistry::ValueExists(const std::string& name) {
    return key_ && key_->QueryValue(text::FromProgram(name)).has_value();
}

int TRegistry::GetDataSize(const std::string& name) {
    if (!key_) return -1;
    const std::optional<TValue> value = key_->QueryValue(text::FromProgram(name));
    return value ? DataSize(*value) : -1;
}

std::string TRegistry::ReadString(const std::string& name) {
    if (!key_) return {};
    const std::optional<TValue> value = key_->QueryValue(text::FromProgram(name));
    if (!value || DataSize(*value) <= 0) return {};
    if (!IsString(value->type)) throw ERegistryError(Message(kInvalidType, name));
    std::u16string s = text::FromBytes(value->data);
    s.resize(std::min(s.size(), s.find(u'\0')));
    return text::ToProgram(s);
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
    const std::optional<TValue> value =
        key_ ? key_->QueryValue(text::FromProgram(name)) : std::nullopt;
    if (!value || DataSize(*value) > 4) throw ERegistryError(Message(kGetFailed, name));
    if (value->type != REG_DWORD) throw ERegistryError(Message(kInvalidType, name));
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < value->data.size(); ++i)
        v |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
    return static_cast<std::int32_t>(v);
}

std::vector<std::uint8_t> TRegistry::ReadBinaryData(const std::string& name) {
    if (!key_) return {};
    const std::optional<TValue> value = key_->QueryValue(text::FromProgram(name));
    if (!value) return {};
    if (IsString(value->type) || value->type == REG_DWORD)
        throw ERegistryError(Message(kInvalidType, name));
    return value->data;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    WriteText(name, value, REG_SZ);
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
    WriteText(name, value, REG_EXPAND_SZ);
}

void TRegistry::WriteText(const std::string& name, const std::string& value, std::uint32_t type) {
    const std::string_view shown(value.c_str());  // up to a zero byte
    if (!key_ || !key_->SetValue(text::FromProgram(name),
                                 TValue{type, text::ToBytes(text::FromProgram(shown), true)}))
        throw ERegistryError(Message(kSetFailed, name));
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    const TValue data{REG_DWORD,
                      {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                       static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)}};
    if (!key_ || !key_->SetValue(text::FromProgram(name), data))
        throw ERegistryError(Message(kSetFailed, name));
}

void TRegistry::WriteBinaryData(const std::string& name, const std::vector<std::uint8_t>& data) {
    if (!key_ || !key_->SetValue(text::FromProgram(name), TValue{REG_BINARY, data}))
        throw ERegistryError(Message(kSetFailed, name));
}

bool TRegistry::DeleteValue(const std::string& name) {
    return key_ && key_->DeleteValue(text::FromProgram(name));
}

bool TRegistry::DeleteKey(const std::string& name) {
    if (!key_) return false;
    const std::vector<std::u16string> path = text::SplitPath(text::FromProgram(name));
    if (path.empty()) return false;
    // Down to the parent of the key to delete, without following links.
    std::unique_ptr<TStoreKey> parent;
    TStoreKey* at = key_.get();
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        parent = at->OpenSubKey(path[i]);
        if (!parent) return false;
        at = parent.get();
    }
    return at->DeleteSubKey(path.back());
}

void TRegistry::Flush() {
    store_->Flush();
}

void TRegistry::RequestRestart() {
    store_->RequestRestart();
}

// ---------------------------------------------------------------------------------
// Choosing the store

TStoreLocation ParseStoreLocation(std::string_view setting) {
    TStoreLocation location;
    if (setting.substr(0, 5) == "wine:") {
        location.kind = TStoreLocation::EKind::Wine;
    } else if (setting.substr(0, 5) == "hive:") {
        location.kind = TStoreLocation::EKind::Hive;
    } else {
        throw ERegistryError(
            "Unknown registry store '" + std::string(setting) +
            "': expected wine:FOLDER (a Wine prefix) or hive:FOLDER (Windows/System32/config)");
    }
    location.dir = std::string(setting.substr(5));
    if (location.dir.empty())
        throw ERegistryError("The registry store '" + std::string(setting) + "' names no folder");
    return location;
}

TStoreLocation DefaultStoreLocation() {
    const std::string setting = Environment("QUORVANE_REGISTRY");
    if (!setting.empty()) return ParseStoreLocation(setting);
    const std::string prefix = Folder(Environment("WINEPREFIX"));
    if (HoldsPrefix(prefix)) return {TStoreLocation::EKind::Wine, prefix, true};
    if (const std::string home = HomeDirectory(); !home.empty() && HoldsPrefix(home + "/.wine"))
        return {TStoreLocation::EKind::Wine, home + "/.wine", true};
    return {TStoreLocation::EKind::Wine, UserDataFolder() + "/registry", false};
}

std::string UserDataFolder() {
    std::string data = Folder(Environment("XDG_DATA_HOME"));
    if (data.empty() || data.front() != '/') data = HomeDirectory() + "/.local/share";
    return data + "/quorvane";
}

std::unique_ptr<TRegistryStore> OpenStore(const TStoreLocation& location,
                                          const TStoreOptions& options) {
    if (location.kind == TStoreLocation::EKind::Hive) return OpenHiveStore(location.dir, options);
    if (!location.prefix) CreatePrivateRegistry(location.dir);
    return OpenWineStore(location.dir, location.prefix, options);
}

std::unique_ptr<TRegistryStore> OpenStore(std::string_view setting, const TStoreOptions& options) {
    return OpenStore(ParseStoreLocation(setting), options);
}

std::unique_ptr<TRegistryStore> OpenDefaultStore(const TStoreOptions& options) {
    return OpenStore(DefaultStoreLocation(), options);
}

}  // namespace quorvane::registry
