// The offline-hive store over libhivex.
#include "platform/registry/registry_hive.h"

#include <hivex.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "platform/file_names.h"
#include "platform/registry/registry_files.h"
#include "platform/registry/registry_text.h"
#include "platform/registry/registry_wine.h"

namespace quorvane::registry {
namespace {

using TPath = std::vector<std::u16string>;
constexpr int kMaxLinks = 16;

TPath Join(TPath a, const TPath& b, std::size_t from = 0) {
    for (std::size_t i = from; i < b.size(); ++i) a.push_back(b[i]);
    return a;
}

// Memory that libhivex hands over for the caller to free.
template <typename T>
struct TFreed {
    T* p;
    explicit TFreed(T* pointer) : p(pointer) {}
    ~TFreed() { std::free(p); }
    TFreed(const TFreed&) = delete;
    TFreed& operator=(const TFreed&) = delete;
};

std::u16string NodeName(hive_h* h, hive_node_h node) {
    TFreed<char> name(hivex_node_name(h, node));
    return name.p ? text::FromUtf8(name.p) : std::u16string();
}

// One hive file, opened for writing when first used.
class THive {
  public:
    explicit THive(std::string path) : path_(std::move(path)) {}
    ~THive() {
        if (handle_) hivex_close(handle_);
    }
    THive(const THive&) = delete;
    THive& operator=(const THive&) = delete;

    const std::string& Path() const { return path_; }
    bool Exists() const {
        std::error_code ec;
        return std::filesystem::is_regular_file(path_, ec);
    }
    bool Writable() const {
        const std::string dir = std::filesystem::path(path_).parent_path().string();
        return files::MayWrite(dir.empty() ? "." : dir) && files::MayWrite(path_);
    }

    hive_h* Handle() {
        if (handle_) return handle_;
        CheckClean();
        handle_ = hivex_open(path_.c_str(), HIVEX_OPEN_WRITE);
        if (!handle_)
            throw ERegistryError("Cannot open the hive file '" + path_ +
                                 "': " + std::strerror(errno));
        return handle_;
    }

    void Changed() { dirty_ = true; }

    // Writes the hive when it changed.
    void Commit() {
        if (!dirty_ || !handle_) return;
        const std::string temp = files::MakeTempBeside(path_);
        const bool written = !temp.empty() && hivex_commit(handle_, temp.c_str(), 0) == 0;
        const int error = errno;
        if (!written) {
            if (!temp.empty()) std::filesystem::remove(temp);
            throw ERegistryError("Cannot save the hive file '" + path_ +
                                 "': " + std::strerror(error));
        }
        if (!files::ReplaceWith(temp, path_))
            throw ERegistryError("Cannot save the hive file '" + path_ +
                                 "': " + std::strerror(errno));
        dirty_ = false;
    }

  private:
    // The base block holds two sequence numbers at offsets 4 and 8; they differ while
    // changes of the hive still lie in its logs.
    void CheckClean() const {
        std::ifstream in(path_, std::ios::binary);
        unsigned char head[12] = {};
        if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return;  // hivex reports it
        if (std::memcmp(head, "regf", 4) != 0) return;
        if (std::memcmp(head + 4, head + 8, 4) != 0)
            throw ERegistryError(
                "The hive file '" + path_ +
                "' was not closed cleanly by Windows (hibernation, fast start-up or a "
                "crash): start Windows and shut it down completely first");
    }

    std::string path_;
    hive_h* handle_ = nullptr;
    bool dirty_ = false;
};

hive_node_h FindChild(hive_h* h, hive_node_h node, std::u16string_view name) {
    TFreed<hive_node_h> children(hivex_node_children(h, node));
    if (!children.p) return 0;
    for (hive_node_h* c = children.p; *c; ++c)
        if (text::SameName(NodeName(h, *c), name)) return *c;
    return 0;
}

struct TRawValue {
    std::string name;  // UTF-8, as libhivex gives it
    TValue value;
};

std::vector<TRawValue> Values(hive_h* h, hive_node_h node) {
    std::vector<TRawValue> values;
    TFreed<hive_value_h> handles(hivex_node_values(h, node));
    if (!handles.p) return values;
    for (hive_value_h* v = handles.p; *v; ++v) {
        TRawValue raw;
        TFreed<char> key(hivex_value_key(h, *v));
        raw.name = key.p ? key.p : "";
        hive_type type{};
        std::size_t length = 0;
        TFreed<char> data(hivex_value_value(h, *v, &type, &length));
        raw.value.type = static_cast<std::uint32_t>(type);
        if (data.p) raw.value.data.assign(data.p, data.p + length);
        values.push_back(std::move(raw));
    }
    return values;
}

std::optional<TRawValue> FindValue(hive_h* h, hive_node_h node, std::u16string_view name) {
    for (TRawValue& raw : Values(h, node))
        if (text::SameName(text::FromUtf8(raw.name), name)) return std::move(raw);
    return std::nullopt;
}

// A key of one hive, by its path from the hive's top (links followed, the control set
// chosen).
class THiveKey : public TStoreKey {
  public:
    THiveKey(THive& hive, TPath path) : hive_(hive), path_(std::move(path)) {}

    std::optional<TValue> QueryValue(std::u16string_view name) override {
        const hive_node_h node = Locate();
        if (!node) return std::nullopt;
        std::optional<TRawValue> raw = FindValue(hive_.Handle(), node, name);
        return raw ? std::optional<TValue>(std::move(raw->value)) : std::nullopt;
    }
    bool SetValue(std::u16string_view name, const TValue& value) override {
        const hive_node_h node = Locate();
        if (!node) return false;
        hive_h* h = hive_.Handle();
        // An existing value keeps the name it is stored under.
        const std::optional<TRawValue> old = FindValue(h, node, name);
        std::string key = old ? old->name : text::ToUtf8(name);
        std::vector<char> data(value.data.begin(), value.data.end());
        data.push_back('\0');  // never a null pointer, even for no data
        hive_set_value set{key.data(), static_cast<hive_type>(value.type), value.data.size(),
                           data.data()};
        if (hivex_node_set_value(h, node, &set, 0) != 0) return false;
        hive_.Changed();
        return true;
    }
    bool DeleteValue(std::u16string_view name) override {
        const hive_node_h node = Locate();
        if (!node) return false;
        hive_h* h = hive_.Handle();
        std::vector<TRawValue> values = Values(h, node);
        const std::size_t before = values.size();
        std::erase_if(values, [&](const TRawValue& v) {
            return text::SameName(text::FromUtf8(v.name), name);
        });
        if (values.size() == before) return false;
        std::vector<std::vector<char>> data;
        std::vector<hive_set_value> set;
        for (TRawValue& v : values) {
            data.emplace_back(v.value.data.begin(), v.value.data.end());
            data.back().push_back('\0');
        }
        for (std::size_t i = 0; i < values.size(); ++i)
            set.push_back({values[i].name.data(), static_cast<hive_type>(values[i].value.type),
                           values[i].value.data.size(), data[i].data()});
        if (hivex_node_set_values(h, node, set.size(), set.data(), 0) != 0) return false;
        hive_.Changed();
        return true;
    }
    std::vector<std::u16string> ValueNames() override {
        std::vector<std::u16string> names;
        const hive_node_h node = Locate();
        if (!node) return names;
        for (const TRawValue& raw : Values(hive_.Handle(), node)) names.push_back(text::FromUtf8(raw.name));
        return names;
    }
    std::vector<std::u16string> SubKeyNames() override {
        std::vector<std::u16string> names;
        const hive_node_h node = Locate();
        if (!node) return names;
        TFreed<hive_node_h> children(hivex_node_children(hive_.Handle(), node));
        for (hive_node_h* c = children.p; c && *c; ++c)
            names.push_back(NodeName(hive_.Handle(), *c));
        return names;
    }
    std::unique_ptr<TStoreKey> OpenSubKey(std::u16string_view name) override {
        const hive_node_h node = Locate();
        const hive_node_h child = node ? FindChild(hive_.Handle(), node, name) : 0;
        if (!child) return nullptr;
        return std::make_unique<THiveKey>(hive_, Join(path_, {NodeName(hive_.Handle(), child)}));
    }
    bool DeleteSubKey(std::u16string_view name) override {
        const hive_node_h node = Locate();
        const hive_node_h child = node ? FindChild(hive_.Handle(), node, name) : 0;
        if (!child || hivex_node_delete_child(hive_.Handle(), child) != 0) return false;
        hive_.Changed();
        return true;
    }

  private:
    hive_node_h Locate() {
        hive_h* h = hive_.Handle();
        hive_node_h node = hivex_root(h);
        for (const std::u16string& name : path_) {
            node = node ? FindChild(h, node, name) : 0;
            if (!node) return 0;
        }
        return node;
    }

    THive& hive_;
    TPath path_;
};

// A key that only lists others (HKEY_LOCAL_MACHINE and HKEY_USERS themselves).
class TListKey : public TStoreKey {
  public:
    using TOpener = std::function<std::unique_ptr<TStoreKey>()>;
    explicit TListKey(std::vector<std::pair<std::u16string, TOpener>> children)
        : children_(std::move(children)) {}

    std::optional<TValue> QueryValue(std::u16string_view) override { return std::nullopt; }
    bool SetValue(std::u16string_view, const TValue&) override { return false; }
    bool DeleteValue(std::u16string_view) override { return false; }
    std::vector<std::u16string> ValueNames() override { return {}; }
    std::vector<std::u16string> SubKeyNames() override {
        std::vector<std::u16string> names;
        for (const auto& child : children_) names.push_back(child.first);
        return names;
    }
    std::unique_ptr<TStoreKey> OpenSubKey(std::u16string_view name) override {
        for (const auto& child : children_)
            if (text::SameName(child.first, name)) return child.second();
        return nullptr;
    }
    bool DeleteSubKey(std::u16string_view) override { return false; }

  private:
    std::vector<std::pair<std::u16string, TOpener>> children_;
};

bool IsStockProfile(const std::string& name) {
    for (const char* stock :
         {"Default", "Default User", "Public", "All Users", "LocalService", "NetworkService"})
        if (text::SameName(text::FromUtf8(name), text::FromUtf8(stock))) return true;
    return name.empty() || name[0] == '.';
}

// The NTUSER.DAT written last among the installation's own profiles, or "".
std::string FindUserHive(const std::string& configDir) {
    const std::filesystem::path root = std::filesystem::path(configDir)
                                           .lexically_normal()
                                           .parent_path()
                                           .parent_path()
                                           .parent_path();
    std::string best;
    std::filesystem::file_time_type bestTime{};
    for (const char* profiles : {"Users", "Documents and Settings"}) {
        const std::string dir = quorvane::files::ResolveCaseInsensitive((root / profiles).string());
        std::error_code ec;
        if (!std::filesystem::is_directory(dir, ec)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (!entry.is_directory(ec) || IsStockProfile(entry.path().filename().string()))
                continue;
            const std::string hive =
                quorvane::files::ResolveCaseInsensitive((entry.path() / "NTUSER.DAT").string());
            if (!std::filesystem::is_regular_file(hive, ec)) continue;
            const auto time = std::filesystem::last_write_time(hive, ec);
            if (best.empty() || time > bestTime) best = hive, bestTime = time;
        }
    }
    return best;
}

class THiveStore : public TRegistryStore {
  public:
    THiveStore(const std::string& dir, const TStoreOptions& options)
        : lock_(dir, options.lockWait),
          dir_(dir),
          software_(quorvane::files::ResolveCaseInsensitive(dir + "/SOFTWARE")),
          system_(quorvane::files::ResolveCaseInsensitive(dir + "/SYSTEM")),
          default_(quorvane::files::ResolveCaseInsensitive(dir + "/DEFAULT")),
          user_(FindUserHive(dir)),
          dynamic_(MakeVolatileKeys(options)) {
        if (!software_.Exists() && !system_.Exists())
            throw ERegistryError("The folder '" + dir +
                                 "' holds no Windows registry hives (SOFTWARE, SYSTEM): name the "
                                 "Windows/System32/config folder of the installation");
    }

    ~THiveStore() override {
        try {
            Flush();
        } catch (...) {
            // Reported by an explicit Flush only.
        }
    }

    std::unique_ptr<TStoreKey> OpenKey(std::uint32_t root, const TPath& path,
                                       bool create) override {
        switch (root) {
            case HKEY_LOCAL_MACHINE:
                if (path.empty()) return MachineKey();
                if (text::SameName(path[0], u"SOFTWARE"))
                    return Open(software_, TPath(path.begin() + 1, path.end()), create);
                if (text::SameName(path[0], u"SYSTEM"))
                    return Open(system_, TPath(path.begin() + 1, path.end()), create);
                return nullptr;
            case HKEY_CURRENT_USER:
                return Open(user_, path, create);
            case HKEY_USERS:
                if (path.empty())
                    return std::make_unique<TListKey>(
                        std::vector<std::pair<std::u16string, TListKey::TOpener>>{
                            {u".DEFAULT", [this] { return Open(default_, {}, false); }}});
                if (!text::SameName(path[0], u".DEFAULT")) return nullptr;
                return Open(default_, TPath(path.begin() + 1, path.end()), create);
            case HKEY_CLASSES_ROOT:
                return Open(software_, Join({u"Classes"}, path), create);
            case HKEY_CURRENT_CONFIG:
                return Open(system_,
                            Join({u"CurrentControlSet", u"Hardware Profiles", u"Current"}, path),
                            create);
            case HKEY_DYN_DATA:
                return OpenVolatileKey(dynamic_, path, create);
            default:
                return nullptr;
        }
    }

    void Flush() override {
        for (THive* hive : {&software_, &system_, &default_, &user_}) hive->Commit();
    }

    void RequestRestart() override {}

    std::string Description() const override { return "Windows registry hives in " + dir_; }

  private:
    std::unique_ptr<TStoreKey> MachineKey() {
        std::vector<std::pair<std::u16string, TListKey::TOpener>> children;
        if (software_.Exists())
            children.push_back({u"SOFTWARE", [this] { return Open(software_, {}, false); }});
        if (system_.Exists())
            children.push_back({u"SYSTEM", [this] { return Open(system_, {}, false); }});
        return std::make_unique<TListKey>(std::move(children));
    }

    std::unique_ptr<TStoreKey> Open(THive& hive, const TPath& path, bool create) {
        if (hive.Path().empty() || !hive.Exists()) return nullptr;
        std::optional<std::pair<THive*, TPath>> found = Resolve(hive, path, create, 0);
        if (!found || !found->first->Writable()) return nullptr;
        return std::make_unique<THiveKey>(*found->first, std::move(found->second));
    }

    // SYSTEM\CurrentControlSet is the control set SYSTEM\Select\Current names.
    TPath ChooseControlSet(THive& hive, TPath path) {
        if (&hive != &system_ || path.empty() || !text::SameName(path[0], u"CurrentControlSet"))
            return path;
        hive_h* h = hive.Handle();
        const hive_node_h select = FindChild(h, hivex_root(h), u"Select");
        const std::optional<TRawValue> current =
            select ? FindValue(h, select, u"Current") : std::nullopt;
        if (!current || current->value.type != REG_DWORD || current->value.data.size() != 4)
            return path;
        const auto& d = current->value.data;
        char name[32];
        std::snprintf(name, sizeof name, "ControlSet%03u",
                      d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<unsigned>(d[3]) << 24));
        path[0] = text::FromUtf8(name);
        return path;
    }

    std::optional<std::pair<THive*, TPath>> Resolve(THive& hive, const TPath& requested,
                                                    bool create, int links) {
        const TPath path = ChooseControlSet(hive, requested);
        hive_h* h = hive.Handle();
        hive_node_h node = hivex_root(h);
        TPath found;
        for (std::size_t i = 0; i < path.size(); ++i) {
            hive_node_h child = FindChild(h, node, path[i]);
            if (!child) {
                if (!create || !hive.Writable()) return std::nullopt;
                for (std::size_t j = i; j < path.size(); ++j) {
                    node = hivex_node_add_child(h, node, text::ToUtf8(path[j]).c_str());
                    if (!node) return std::nullopt;
                    hive.Changed();
                    found.push_back(path[j]);
                }
                return std::make_pair(&hive, found);
            }
            found.push_back(NodeName(h, child));
            node = child;
            if (const hive_value_h link = hivex_node_get_value(h, child, "SymbolicLinkValue")) {
                hive_type type{};
                std::size_t length = 0;
                TFreed<char> data(hivex_value_value(h, link, &type, &length));
                if (data.p && type == hive_t_REG_LINK) {
                    if (links >= kMaxLinks) return std::nullopt;
                    const TValue value{REG_LINK,
                                       std::vector<std::uint8_t>(data.p, data.p + length)};
                    if (auto target = LinkTarget(value))
                        return Resolve(*target->first, Join(target->second, path, i + 1), create,
                                       links + 1);
                }
            }
        }
        return std::make_pair(&hive, found);
    }

    // \Registry\Machine\SOFTWARE\... or \Registry\Machine\SYSTEM\...
    std::optional<std::pair<THive*, TPath>> LinkTarget(const TValue& value) {
        std::u16string target = text::FromBytes(value.data);
        while (!target.empty() && target.back() == u'\0') target.pop_back();
        const TPath parts = text::SplitPath(target);
        if (parts.size() < 3 || !text::SameName(parts[0], u"Registry") ||
            !text::SameName(parts[1], u"Machine"))
            return std::nullopt;
        THive* hive = text::SameName(parts[2], u"SOFTWARE") ? &software_
                      : text::SameName(parts[2], u"SYSTEM") ? &system_
                                                            : nullptr;
        if (!hive || !hive->Exists()) return std::nullopt;
        return std::make_pair(hive, TPath(parts.begin() + 3, parts.end()));
    }

    files::TFolderLock lock_;  // first: held before any hive is read
    std::string dir_;
    THive software_;
    THive system_;
    THive default_;
    THive user_;
    std::shared_ptr<TVolatileKeys> dynamic_;
};

}  // namespace

std::unique_ptr<TRegistryStore> OpenHiveStore(const std::string& dir,
                                              const TStoreOptions& options) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
        throw ERegistryError("The registry folder '" + dir + "' does not exist");
    std::string clean = dir;
    while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
    return std::make_unique<THiveStore>(clean, options);
}

}  // namespace quorvane::registry
