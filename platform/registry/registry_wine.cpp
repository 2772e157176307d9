// The Wine-format store: root keys mapped onto the prefix's three files, link
// following, the merged HKEY_CLASSES_ROOT, saving, and the wineserver check.
#include "platform/registry/registry_wine.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/registry/registry_files.h"
#include "platform/registry/registry_text.h"
#include "platform/registry/registry_wine_file.h"

extern char** environ;

namespace quorvane::registry {
namespace {

using wine::TFileTime;
using wine::TWineHive;
using TPath = std::vector<std::u16string>;

const TPath kMachineBase = {u"Machine"};
const TPath kUserBase = {u"User", u"S-1-5-21-0-0-0-1000"};
const TPath kDefaultUserBase = {u"User", u".Default"};
const TPath kClasses = {u"Software", u"Classes"};
const TPath kCurrentConfig = {u"System", u"CurrentControlSet", u"Hardware Profiles", u"Current"};
constexpr int kMaxLinks = 16;

TPath Join(TPath a, const TPath& b, std::size_t from = 0) {
    for (std::size_t i = from; i < b.size(); ++i) a.push_back(b[i]);
    return a;
}

bool StartsWith(const TPath& path, const TPath& prefix, std::size_t from) {
    if (path.size() - from < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (!text::SameName(path[from + i], prefix[i])) return false;
    return true;
}

TFileTime SystemNow() {
    const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return wine::kTicksTo1970 + static_cast<TFileTime>(since1970.count() / 100);
}

// What identifies one version of a file on disk.
struct TStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtimeSec = 0;
    long mtimeNsec = 0;
    bool operator==(const TStamp&) const = default;
};

TStamp StampOf(const std::string& path) {
    TStamp stamp;
    struct stat s {};
    if (::stat(path.c_str(), &s) != 0) return stamp;
    stamp.exists = true;
    stamp.dev = s.st_dev;
    stamp.ino = s.st_ino;
    stamp.size = s.st_size;
    stamp.mtimeSec = s.st_mtim.tv_sec;
    stamp.mtimeNsec = s.st_mtim.tv_nsec;
    return stamp;
}

std::string ReadWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ERegistryError("Cannot read the registry file '" + path +
                             "': " + std::strerror(errno));
    std::string contents;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw ERegistryError("Cannot read the registry file '" + path +
                                 "': " + std::strerror(error));
        }
        if (n == 0) break;
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return contents;
}

// One registry file and the hive read from it; or, without a path, a hive that lives
// in memory only.
class THiveFile {
  public:
    THiveFile(std::string path, TPath defaultBase, std::function<void()> beforeWrite)
        : path_(std::move(path)),
          defaultBase_(std::move(defaultBase)),
          beforeWrite_(std::move(beforeWrite)) {}

    const std::string& Path() const { return path_; }
    bool Persistent() const { return !path_.empty(); }

    // The hive as the file holds it now (read again when the file changed on disk).
    TWineHive& Hive() {
        if (!Persistent()) {
            if (!hive_) hive_.emplace(defaultBase_);
            return *hive_;
        }
        const TStamp now = StampOf(path_);
        if (!hive_ || !(now == stamp_)) {
            hive_.reset();
            if (!now.exists) {
                hive_.emplace(defaultBase_);
            } else {
                const std::string contents = ReadWholeFile(path_);
                hive_.emplace(contents.empty() ? TWineHive(defaultBase_)
                                               : TWineHive::Parse(contents, path_));
            }
            stamp_ = now;
        }
        return *hive_;
    }

    // Where the file's keys hang.
    TPath Base() {
        const TPath& base = Hive().Base();
        return base.empty() ? defaultBase_ : base;
    }

    bool Writable() const {
        if (!Persistent()) return true;
        const std::string dir = std::filesystem::path(path_).parent_path().string();
        if (!files::MayWrite(dir.empty() ? "." : dir)) return false;
        return !StampOf(path_).exists || files::MayWrite(path_);
    }

    // Applies `change` to the current hive and saves the file. `change` returns false
    // when it found nothing to change. False when nothing was changed or the file
    // could not be saved; the hive is then as the file is.
    bool Change(const std::function<bool(TWineHive&)>& change) {
        if (Persistent()) beforeWrite_();
        TWineHive& hive = Hive();
        if (!Writable()) return false;
        bool changed = false;
        try {
            changed = change(hive);
        } catch (...) {
            hive_.reset();
            throw;
        }
        if (!changed || !Persistent()) return changed;
        if (!files::SaveAtomically(path_, hive.Serialize())) {
            hive_.reset();  // read the file again next time
            return false;
        }
        stamp_ = StampOf(path_);
        return true;
    }

  private:
    std::string path_;
    TPath defaultBase_;
    std::function<void()> beforeWrite_;
    std::optional<TWineHive> hive_;
    TStamp stamp_;
};

TWineHive::TKey* Walk(TWineHive& hive, const TPath& path) {
    TWineHive::TKey* key = hive.Root();
    for (const std::u16string& name : path) {
        key = hive.Child(key, name);
        if (!key) return nullptr;
    }
    return key;
}

// A key of one file, by its path from the file's top (links already followed).
class TWineKey : public TStoreKey {
  public:
    TWineKey(THiveFile& file, TPath path, std::function<TFileTime()> clock,
             std::shared_ptr<void> owner = nullptr)
        : file_(file), path_(std::move(path)), clock_(std::move(clock)), owner_(std::move(owner)) {}

    std::optional<TValue> QueryValue(std::u16string_view name) override {
        TWineHive& hive = file_.Hive();
        TWineHive::TKey* key = Walk(hive, path_);
        return key ? hive.Value(key, name) : std::nullopt;
    }
    bool SetValue(std::u16string_view name, const TValue& value) override {
        return file_.Change([&](TWineHive& hive) {
            TWineHive::TKey* key = Walk(hive, path_);
            if (!key) return false;
            hive.SetValue(key, name, value, clock_());
            return true;
        });
    }
    bool DeleteValue(std::u16string_view name) override {
        TWineHive& hive = file_.Hive();
        TWineHive::TKey* key = Walk(hive, path_);
        if (!key || !hive.Value(key, name)) return false;
        return file_.Change([&](TWineHive& changed) {
            TWineHive::TKey* k = Walk(changed, path_);
            return k && changed.DeleteValue(k, name, clock_());
        });
    }
    std::vector<std::u16string> ValueNames() override {
        TWineHive& hive = file_.Hive();
        TWineHive::TKey* key = Walk(hive, path_);
        return key ? hive.ValueNames(key) : std::vector<std::u16string>{};
    }
    std::vector<std::u16string> SubKeyNames() override {
        TWineHive& hive = file_.Hive();
        TWineHive::TKey* key = Walk(hive, path_);
        return key ? hive.ChildNames(key) : std::vector<std::u16string>{};
    }
    std::unique_ptr<TStoreKey> OpenSubKey(std::u16string_view name) override {
        TWineHive& hive = file_.Hive();
        TWineHive::TKey* key = Walk(hive, path_);
        TWineHive::TKey* child = key ? hive.Child(key, name) : nullptr;
        if (!child) return nullptr;
        TPath path = path_;
        path.push_back(hive.Name(child));
        return std::make_unique<TWineKey>(file_, std::move(path), clock_, owner_);
    }
    bool DeleteSubKey(std::u16string_view name) override {
        TWineHive& hive = file_.Hive();
        TWineHive::TKey* key = Walk(hive, path_);
        if (!key || !hive.Child(key, name)) return false;
        return file_.Change([&](TWineHive& changed) {
            TWineHive::TKey* k = Walk(changed, path_);
            return k && changed.DeleteTree(k, name, clock_());
        });
    }

  private:
    THiveFile& file_;
    TPath path_;
    std::function<TFileTime()> clock_;
    std::shared_ptr<void> owner_;  // keeps a file that lives apart from any store
};

// A key of HKEY_CLASSES_ROOT: the user's key and the machine's, either may be missing.
class TMergedKey : public TStoreKey {
  public:
    TMergedKey(std::unique_ptr<TStoreKey> user, std::unique_ptr<TStoreKey> machine)
        : user_(std::move(user)), machine_(std::move(machine)) {}

    std::optional<TValue> QueryValue(std::u16string_view name) override {
        return Primary().QueryValue(name);
    }
    bool SetValue(std::u16string_view name, const TValue& value) override {
        return Primary().SetValue(name, value);
    }
    bool DeleteValue(std::u16string_view name) override { return Primary().DeleteValue(name); }
    std::vector<std::u16string> ValueNames() override { return Primary().ValueNames(); }
    std::vector<std::u16string> SubKeyNames() override {
        std::vector<std::u16string> names =
            user_ ? user_->SubKeyNames() : std::vector<std::u16string>{};
        if (machine_)
            for (std::u16string& name : machine_->SubKeyNames())
                if (std::none_of(names.begin(), names.end(),
                                 [&](const auto& n) { return text::SameName(n, name); }))
                    names.push_back(std::move(name));
        return names;
    }
    std::unique_ptr<TStoreKey> OpenSubKey(std::u16string_view name) override {
        auto user = user_ ? user_->OpenSubKey(name) : nullptr;
        auto machine = machine_ ? machine_->OpenSubKey(name) : nullptr;
        if (!user && !machine) return nullptr;
        return std::make_unique<TMergedKey>(std::move(user), std::move(machine));
    }
    bool DeleteSubKey(std::u16string_view name) override {
        const bool user = user_ && user_->DeleteSubKey(name);
        const bool machine = machine_ && machine_->DeleteSubKey(name);
        return user || machine;
    }

  private:
    TStoreKey& Primary() { return user_ ? *user_ : *machine_; }

    std::unique_ptr<TStoreKey> user_;
    std::unique_ptr<TStoreKey> machine_;
};

// HKEY_USERS itself: it holds .Default and nothing else that can be changed.
class TUsersKey : public TStoreKey {
  public:
    explicit TUsersKey(std::function<std::unique_ptr<TStoreKey>()> openDefault)
        : openDefault_(std::move(openDefault)) {}

    std::optional<TValue> QueryValue(std::u16string_view) override { return std::nullopt; }
    bool SetValue(std::u16string_view, const TValue&) override { return false; }
    bool DeleteValue(std::u16string_view) override { return false; }
    std::vector<std::u16string> ValueNames() override { return {}; }
    std::vector<std::u16string> SubKeyNames() override { return {u".Default"}; }
    std::unique_ptr<TStoreKey> OpenSubKey(std::u16string_view name) override {
        return text::SameName(name, u".Default") ? openDefault_() : nullptr;
    }
    bool DeleteSubKey(std::u16string_view) override { return false; }

  private:
    std::function<std::unique_ptr<TStoreKey>()> openDefault_;
};

std::function<TFileTime()> ClockOf(const TStoreOptions& options) {
    if (options.clock) return options.clock;
    return SystemNow;
}

// A key found in a file: the file and the path from its top, links followed.
struct TResolved {
    THiveFile* file;
    TPath path;
};

class TWineStore : public TRegistryStore {
  public:
    TWineStore(std::string dir, bool prefix, const TStoreOptions& options)
        : lock_(dir, options.lockWait),
          dir_(std::move(dir)),
          prefix_(prefix),
          options_(options),
          clock_(ClockOf(options)),
          system_(dir_ + "/system.reg", kMachineBase, [this] { CheckServer(); }),
          user_(dir_ + "/user.reg", kUserBase, [this] { CheckServer(); }),
          userDefault_(dir_ + "/userdef.reg", kDefaultUserBase, [this] { CheckServer(); }),
          dynamic_("", {}, [] {}) {
        if (!options_.serverRunning) options_.serverRunning = WineServerRunning;
        if (!options_.runCommand) options_.runCommand = RunCommand;
        CheckServer();
    }

    std::unique_ptr<TStoreKey> OpenKey(std::uint32_t root, const TPath& path,
                                       bool create) override {
        switch (root) {
            case HKEY_LOCAL_MACHINE:
                return Open(system_, path, create);
            case HKEY_CURRENT_USER:
                return Open(user_, path, create);
            case HKEY_CURRENT_CONFIG:
                return Open(system_, Join(kCurrentConfig, path), create);
            case HKEY_DYN_DATA:
                return Open(dynamic_, path, create);
            case HKEY_USERS:
                if (path.empty())
                    return std::make_unique<TUsersKey>(
                        [this] { return Open(userDefault_, {}, false); });
                if (!text::SameName(path[0], u".Default")) return nullptr;
                return Open(userDefault_, TPath(path.begin() + 1, path.end()), create);
            case HKEY_CLASSES_ROOT:
                return OpenClasses(path, create);
            default:
                return nullptr;
        }
    }

    void Flush() override {}

    void RequestRestart() override {
        if (!prefix_) return;
        try {
            options_.runCommand({"wineboot", "--restart"}, {"WINEPREFIX=" + dir_});
        } catch (...) {
            // A restart that cannot be carried out is not reported.
        }
    }

    std::string Description() const override {
        return (prefix_ ? "Wine prefix " : "Quorvane's own registry in ") + dir_;
    }

  private:
    void CheckServer() {
        if (prefix_ && options_.serverRunning && options_.serverRunning(dir_))
            throw ERegistryError(WineServerRunningMessage(dir_));
    }

    std::unique_ptr<TStoreKey> Open(THiveFile& file, const TPath& path, bool create) {
        std::optional<TResolved> found = Resolve(file, path, create, 0);
        if (!found || !found->file->Writable()) return nullptr;
        return std::make_unique<TWineKey>(*found->file, std::move(found->path), clock_);
    }

    std::unique_ptr<TStoreKey> OpenClasses(const TPath& path, bool create) {
        std::optional<TResolved> user = Resolve(user_, Join(kClasses, path), false, 0);
        std::optional<TResolved> machine =
            Resolve(system_, Join(kClasses, path), create && !user, 0);
        if (!user && !machine) return nullptr;
        if (!(user ? user : machine)->file->Writable()) return nullptr;
        auto make = [&](std::optional<TResolved>& r) -> std::unique_ptr<TStoreKey> {
            if (!r) return nullptr;
            return std::make_unique<TWineKey>(*r->file, std::move(r->path), clock_);
        };
        return std::make_unique<TMergedKey>(make(user), make(machine));
    }

    // Walks `path` from the top of `file`, following links, creating what is missing
    // when `create`.
    std::optional<TResolved> Resolve(THiveFile& file, const TPath& path, bool create, int links) {
        TWineHive& hive = file.Hive();
        TWineHive::TKey* key = hive.Root();
        TPath found;
        for (std::size_t i = 0; i < path.size(); ++i) {
            TWineHive::TKey* child = hive.Child(key, path[i]);
            if (!child) {
                if (!create) return std::nullopt;
                const TPath missing(path.begin() + static_cast<std::ptrdiff_t>(i), path.end());
                const bool made = file.Change([&](TWineHive& h) {
                    TWineHive::TKey* parent = Walk(h, found);
                    if (!parent || h.Child(parent, missing[0])) return false;
                    h.CreatePath(parent, missing, clock_());
                    return true;
                });
                if (!made) return std::nullopt;
                return TResolved{&file, Join(found, missing)};
            }
            found.push_back(hive.Name(child));
            key = child;
            if (hive.IsLink(child)) {
                if (links >= kMaxLinks) return std::nullopt;
                const std::optional<TValue> target = hive.Value(child, u"SymbolicLinkValue");
                if (target && target->type == REG_LINK) {
                    if (std::optional<TResolved> to = LinkTarget(*target)) {
                        return Resolve(*to->file, Join(to->path, path, i + 1), create, links + 1);
                    }
                }
            }
        }
        return TResolved{&file, found};
    }

    // The file and path a link's target (\Registry\Machine\...) names, if it is one of
    // this store's files.
    std::optional<TResolved> LinkTarget(const TValue& value) {
        std::u16string target = text::FromBytes(value.data);
        while (!target.empty() && target.back() == u'\0') target.pop_back();
        const TPath parts = text::SplitPath(target);
        if (parts.empty() || !text::SameName(parts[0], u"Registry")) return std::nullopt;
        for (THiveFile* file : {&system_, &userDefault_, &user_}) {
            const TPath base = file->Base();
            if (StartsWith(parts, base, 1))
                return TResolved{file,
                                 TPath(parts.begin() + 1 + static_cast<std::ptrdiff_t>(base.size()),
                                       parts.end())};
        }
        return std::nullopt;
    }

    files::TFolderLock lock_;  // first: held before any file is read
    std::string dir_;
    bool prefix_;
    TStoreOptions options_;
    std::function<TFileTime()> clock_;
    THiveFile system_;
    THiveFile user_;
    THiveFile userDefault_;
    THiveFile dynamic_;
};

}  // namespace

class TVolatileKeys {
  public:
    explicit TVolatileKeys(const TStoreOptions& options)
        : file(std::string(), {}, [] {}), clock(ClockOf(options)) {}
    THiveFile file;
    std::function<TFileTime()> clock;
};

std::shared_ptr<TVolatileKeys> MakeVolatileKeys(const TStoreOptions& options) {
    return std::make_shared<TVolatileKeys>(options);
}

std::unique_ptr<TStoreKey> OpenVolatileKey(const std::shared_ptr<TVolatileKeys>& keys,
                                           const TPath& path, bool create) {
    TWineHive& hive = keys->file.Hive();
    TWineHive::TKey* key = hive.Root();
    std::size_t i = 0;
    for (; i < path.size(); ++i) {
        TWineHive::TKey* child = hive.Child(key, path[i]);
        if (!child) break;
        key = child;
    }
    TPath found(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(i));
    if (i < path.size()) {
        if (!create) return nullptr;
        const TPath missing(path.begin() + static_cast<std::ptrdiff_t>(i), path.end());
        hive.CreatePath(key, missing, keys->clock());
        found = path;
    }
    return std::make_unique<TWineKey>(keys->file, std::move(found), keys->clock, keys);
}

std::unique_ptr<TRegistryStore> OpenWineStore(const std::string& dir, bool prefix,
                                              const TStoreOptions& options) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
        throw ERegistryError("The registry folder '" + dir + "' does not exist");
    std::string clean = dir;
    while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
    return std::make_unique<TWineStore>(clean, prefix, options);
}

void CreatePrivateRegistry(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec))
        throw ERegistryError("Cannot create the registry folder '" + dir + "'");
    const std::pair<const char*, const TPath*> files[] = {{"system.reg", &kMachineBase},
                                                          {"user.reg", &kUserBase},
                                                          {"userdef.reg", &kDefaultUserBase}};
    for (const auto& [name, base] : files) {
        const std::string path = dir + "/" + name;
        if (StampOf(path).exists) continue;
        if (!files::SaveAtomically(path, TWineHive(*base).Serialize()))
            throw ERegistryError("Cannot create the registry file '" + path + "'");
    }
}

std::string WineServerRunningMessage(const std::string& dir) {
    return "The Wine prefix '" + dir +
           "' is in use: its wineserver is running and would overwrite any repair. "
           "Close the Wine programs first (or stop the server with \"wineserver -k\").";
}

namespace {

// Whether a wineserver runs with its files in `serverDir`: the running server holds
// a write lock on the whole "lock" file and listens on "socket" (a socket left
// behind by a crash refuses the connection).
bool ServerRunsIn(const std::string& serverDir) {
    const std::string lock = serverDir + "/lock";
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        const bool locked = ::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
        ::close(fd);
        if (locked) return true;
    }
    const std::string socketPath = serverDir + "/socket";
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    const bool listening =
        ::connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(sock);
    return listening;
}

}  // namespace

bool WineServerRunning(const std::string& dir) {
    struct stat s {};
    if (::stat(dir.c_str(), &s) != 0) return false;
    char serverName[64];
    std::snprintf(serverName, sizeof serverName, "server-%llx-%llx",
                  static_cast<unsigned long long>(s.st_dev), static_cast<unsigned long long>(s.st_ino));
    // The server's folder is /tmp/.wine-<uid>/server-<dev>-<inode>, named after the
    // prefix folder; or, where Wine is built to pick a folder of its own, the folder
    // whose name the prefix's "wineserver" file holds, in the temporary folder.
    std::vector<std::string> folders = {"/tmp/.wine-" + std::to_string(::getuid())};
    if (std::ifstream named{dir + "/wineserver"}) {
        std::string name;
        std::getline(named, name);
        if (!name.empty() && name.find("..") == std::string::npos) {
            if (name.front() == '/') {
                folders.push_back(name);
            } else {
                const char* tmp = std::getenv("TMPDIR");
                if (tmp && *tmp) folders.push_back(std::string(tmp) + "/" + name);
                folders.push_back("/tmp/" + name);
            }
        }
    }
    for (const std::string& folder : folders)
        if (ServerRunsIn(folder + "/" + serverName)) return true;
    return false;
}

int RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    if (argv.empty()) return -1;
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        const bool replaced =
            std::any_of(environment.begin(), environment.end(),
                        [&](const std::string& x) { return x.substr(0, x.find('=')) == name; });
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), envp.data()) != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace quorvane::registry
