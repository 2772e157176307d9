// A Wine prefix for the registry tests: a temporary folder holding the sample
// registry files, with store options whose wineserver check, command runner and
// clock the test controls.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/registry/registry_test_samples.h"
#include "platform/registry/registry_wine.h"
#include "tests/support/temp_dir.h"

namespace quorvane::registry::samples {

// 2027-01-15 08:00:00 UTC and 5 ticks, and the lines Wine writes for it.
inline constexpr std::uint64_t kNow = 134444736000000005ull;
inline const std::string kNowKeySuffix = "] 1800000000";
inline const std::string kNowTimeLine = "#time=1dda4c66b338005";

class TPrefix {
  public:
    TPrefix() {
        WriteFile("system.reg", kSystemReg);
        WriteFile("user.reg", kUserReg);
        WriteFile("userdef.reg", kUserDefReg);
        options.serverRunning = [this](const std::string& dir) {
            checkedDirs.push_back(dir);
            return serverRunning;
        };
        options.runCommand = [this](const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env) {
            commands.push_back({argv, env});
            return 0;
        };
        options.clock = [] { return kNow; };
    }

    std::string Dir() const { return dir.Dir().substr(0, dir.Dir().size() - 1); }
    std::string Path(const std::string& name) const { return dir.File(name); }

    std::string ReadFile(const std::string& name) const {
        const auto bytes = dir.Read(name);
        return std::string(bytes.begin(), bytes.end());
    }
    void WriteFile(const std::string& name, const std::string& text) const {
        dir.Write(name, std::vector<unsigned char>(text.begin(), text.end()));
    }
    void Chmod(const std::string& name, mode_t mode) const {
        ::chmod(dir.File(name).c_str(), mode);
    }

    std::unique_ptr<TRegistryStore> Store(bool prefix = true) const {
        return OpenWineStore(Dir(), prefix, options);
    }
    TRegistry Registry(bool prefix = true) const { return TRegistry(Store(prefix)); }

    struct TCommand {
        std::vector<std::string> argv;
        std::vector<std::string> env;
    };

    quorvane::testing::TTempDir dir;
    TStoreOptions options;
    bool serverRunning = false;
    std::vector<std::string> checkedDirs;
    std::vector<TCommand> commands;
};

}  // namespace quorvane::registry::samples
