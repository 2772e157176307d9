// Quorvane's command line: the repair tree, the items, the search, applying,
// restoring and the entries of list items from a shell, without the window, on the
// registry the environment selects or the one --registry names. It shares the
// knowledge-base tables with the window, so the old values one captures are restored
// by the other.
//
//   quorvane list [--json]
//   quorvane show ID [--json]
//   quorvane search TEXT [--by-name] [--json]
//   quorvane apply ID [--value TEXT] [--yes] [--restart]
//   quorvane restore ID [--yes] [--restart]
//   quorvane entries ID [--json]
//   quorvane delete-entries ID NAME... [--yes]
//   quorvane --registry wine:DIR|hive:DIR --kb DIR ...   (any command)
//   quorvane --help
//
// Exit status: 0 done, 1 refused or failed (the message on standard error), 2 a bad
// command line. Texts are UTF-8.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/repair/repair_item.h"

namespace quorvane::cli {

inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kBadCommandLine = 2;

// Where the command line reads answers and writes what it has to say.
struct TTerminal {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
};

// Runs the command `args` (the program's arguments without its name). `programDir`
// is the folder of the program, where the knowledge base lies unless --kb names
// another. `openStore` opens the registry when --registry does not name one.
int RunCommandLine(const std::vector<std::string>& args, const std::string& programDir, TTerminal terminal,
                   repair::TRegistryStoreFactory openStore = repair::OpenRegistryStore);

// The text of --help.
std::string UsageText();

}  // namespace quorvane::cli
