// The store over Wine's registry files in one folder: a Wine prefix, or Quorvane's
// private registry kept in the same format.
//
//   HKEY_LOCAL_MACHINE   system.reg
//   HKEY_CURRENT_USER    user.reg
//   HKEY_USERS\.Default  userdef.reg (other users of HKEY_USERS are not offered)
//   HKEY_CURRENT_CONFIG  system.reg, System\CurrentControlSet\Hardware Profiles\Current
//   HKEY_CLASSES_ROOT    user.reg Software\Classes over system.reg Software\Classes
//   HKEY_DYN_DATA        memory only, never written
//
// A key of HKEY_CLASSES_ROOT is the user's key when the user's Software\Classes holds
// it, else the machine's: its values are read, written and deleted there, and keys
// that do not exist yet are created on the machine's side. Its subkeys are those of
// both sides, and deleting a subkey deletes it on both, so that the user's copy does
// not hide the machine's one and the machine's copy does not reappear.
//
// Symbolic links (keys marked "#link" whose SymbolicLinkValue names
// \Registry\Machine\... or \Registry\User\...) are followed on the way to a key, as
// Wine does for System\CurrentControlSet.
//
// Every change is saved at once: the file is written to a temporary file in the same
// folder, flushed to disk and renamed over the old one, so a file is always either
// the old or the new version. Files changed on disk by someone else are read again
// before the next operation. A prefix whose wineserver runs is refused (at opening
// and before every write): the server holds the registry in memory and writes it back
// when it ends.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry_store.h"

namespace quorvane::registry {

// Opens the registry files in `dir`; missing files count as empty and are created by
// the first change. `prefix`: `dir` is a Wine prefix (its wineserver must not run;
// a restart runs "wineboot --restart" for it) rather than a private registry folder.
// Raises ERegistryError when `dir` is not a folder or the prefix's wineserver runs.
std::unique_ptr<TRegistryStore> OpenWineStore(const std::string& dir, bool prefix,
                                              const TStoreOptions& options = {});

// Creates the folder `dir` with empty system.reg, user.reg and userdef.reg where they
// are missing. Raises ERegistryError when it cannot.
void CreatePrivateRegistry(const std::string& dir);

// The default check for a running wineserver: the server of a prefix keeps a locked
// "lock" file and a listening "socket" in /tmp/.wine-<uid>/server-<dev>-<inode>/,
// named after the prefix folder's device and inode numbers, or, for a Wine built to
// choose its folder, in server-<dev>-<inode>/ below the folder of the temporary
// folder ($TMPDIR, /tmp) that the prefix's "wineserver" file names.
bool WineServerRunning(const std::string& dir);

// The default command runner: posix_spawnp with the process's environment plus
// `environment`, then waits. Returns the exit status, or -1 when it cannot start.
int RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment);

// The message with which a prefix is refused while its wineserver runs.
std::string WineServerRunningMessage(const std::string& dir);

// A key store held in memory only (HKEY_DYN_DATA): the key `path` below its root,
// created when `create`. The same `keys` object gives the same keys.
class TVolatileKeys;
std::shared_ptr<TVolatileKeys> MakeVolatileKeys(const TStoreOptions& options);
std::unique_ptr<TStoreKey> OpenVolatileKey(const std::shared_ptr<TVolatileKeys>& keys,
                                           const std::vector<std::u16string>& path, bool create);

}  // namespace quorvane::registry
