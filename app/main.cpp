// Quorvane: repairs Windows registry settings from a knowledge base of repair items.
// Without arguments it opens the window; with a command it runs on the command line,
// without a window or a display.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/quorvane_app.h"

namespace {

// The folder of the program, ending with "/".
std::string ProgramFolder(const char* argv0) {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) self = std::filesystem::absolute(argv0, ec);
    return self.parent_path().string() + "/";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const std::vector<std::string> args(argv + 1, argv + argc);
        return quorvane::cli::RunCommandLine(args, ProgramFolder(argv[0]), {std::cin, std::cout, std::cerr});
    }
    TQuorvaneApplication app(argc, argv);
    return RunQuorvane(ProgramFolder(argv[0]));
}
