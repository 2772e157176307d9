// The entries a list item lists (start-up programs, browser menu additions): the
// values or subkeys under the keys its rows name, and their deletion after a backup
// in a .reg file that the registry editors of Windows and Wine import.
//
// A list item's rows name a root key and a key path as every row does; their key
// type says what is listed: "values" (each value of the key is an entry) or
// "subkeys" (each subkey is one, deleted with everything below it). Keys that do not
// exist list nothing and are not created.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "components/reruzo_dataset.h"
#include "platform/registry/registry_store.h"

namespace quorvane::repair {

struct TEntry {
    std::uint32_t root = 0;
    std::vector<std::u16string> path;  // the key holding the entry, below the root
    std::u16string name;               // the value's or subkey's name (empty: default value)
    bool subkey = false;
    // A value entry's value; for a subkey its default value, when it has one.
    std::optional<registry::TValue> value;

    // "HKEY_CURRENT_USER\Software\...\Run" (UTF-8).
    std::string Key() const;
    // The name as shown (UTF-8): "(默认)" for a default value.
    std::string Name() const;
    // Key() + "\" + the name: what names the entry on the command line.
    std::string FullName() const;
    // The entry's data as text (UTF-8): a string as it is, a DWORD as the signed
    // decimal number the knowledge base writes and captures, other
    // data as upper-case hexadecimal, two digits a byte, as the knowledge base writes
    // binary values; empty when there is none.
    std::string Data() const;
};

// The long name of a root key ("HKEY_LOCAL_MACHINE"); empty for an unknown one.
std::string RootKeyName(std::uint32_t root);
// The root key a knowledge-base row names ("machine", ...); 0 for another text.
std::uint32_t RootKeyOfRow(const std::string& name);

// The entries under the keys of the rows the dataset shows (a list item's rows, read
// from the first), in row order, then in the order the store keeps them. Rows of
// another key type are passed over. The dataset is left on its first row.
std::vector<TEntry> ListEntries(registry::TRegistryStore& store, reruzo::TRERUZODataSet& rows);

// The entries `names` pick out of `entries`: a name is an entry's FullName(), or its
// bare name when exactly one entry has it. Raises EDatabaseError for a name that
// matches no entry or several.
std::vector<TEntry> PickEntries(const std::vector<TEntry>& entries, const std::vector<std::string>& names);

// A .reg file ("Windows Registry Editor Version 5.00", UTF-16LE with its byte-order
// mark, CRLF lines) that brings the entries back as they are now: each value, and
// each subkey with every key and value below it.
std::string RegFileText(registry::TRegistryStore& store, const std::vector<TEntry>& entries);

// Saves RegFileText into a new file in `folder` (created when missing), named after
// the item and the time, and returns its path. Raises EDatabaseError when the file
// cannot be written completely.
std::string SaveBackup(registry::TRegistryStore& store, const std::vector<TEntry>& entries, std::int32_t itemId,
                       const std::string& folder);

// The question asked before `count` entries are deleted, and the message after,
// naming the backup (UTF-8).
std::string DeleteQuestion(std::size_t count);
std::string DeletedMessage(std::size_t count, const std::string& backup);
// Where backups go: the "backup" folder in the user's data folder of Quorvane.
std::string BackupFolder();

// Deletes the entries from the store. Raises ERegistryError naming the first entry
// the store refuses to delete; those before it are deleted.
void DeleteEntries(registry::TRegistryStore& store, const std::vector<TEntry>& entries);

}  // namespace quorvane::repair
