// The store over the hive files of an offline Windows installation, read and written
// with libhivex.
//
//   HKEY_LOCAL_MACHINE\SOFTWARE  config/SOFTWARE
//   HKEY_LOCAL_MACHINE\SYSTEM    config/SYSTEM; CurrentControlSet is the control set
//                                that SYSTEM\Select\Current names (ControlSet001 ...)
//   HKEY_CURRENT_USER            NTUSER.DAT of a profile under Users (or Documents and
//                                Settings) of the installation: the one written last
//   HKEY_USERS\.DEFAULT          config/DEFAULT (no other user is offered)
//   HKEY_CLASSES_ROOT            SOFTWARE\Classes (the machine's classes only)
//   HKEY_CURRENT_CONFIG          SYSTEM\CurrentControlSet\Hardware Profiles\Current
//   HKEY_DYN_DATA                memory only, never written
//
// Symbolic links (keys with a SymbolicLinkValue of type REG_LINK naming
// \Registry\Machine\SOFTWARE\... or \Registry\Machine\SYSTEM\...) are followed.
//
// Hives are large, so changes are kept in memory and written by Flush() (and when
// the store is released): each changed hive goes to a temporary file beside it that
// is flushed and renamed over it. A hive that Windows did not close cleanly (its two
// sequence numbers differ: hibernation, fast start-up, a crash) is refused, since its
// latest state lies partly in its transaction logs.
#pragma once

#include <memory>
#include <string>

#include "platform/registry/registry_store.h"

namespace quorvane::registry {

// Opens the hives of the installation whose Windows/System32/config folder is `dir`.
// Raises ERegistryError when `dir` holds neither SOFTWARE nor SYSTEM.
std::unique_ptr<TRegistryStore> OpenHiveStore(const std::string& dir,
                                              const TStoreOptions& options = {});

}  // namespace quorvane::registry
