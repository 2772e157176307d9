// Engine sessions and database directories. A TDataSession holds one user's
// settings, the table passwords given to it, and the directories opened in it. A
// TDataDirectory is one opened database directory and owns the TDataTable objects of
// the tables opened in it. Directories are identified by their canonical path, so
// every spelling of one folder gives the same object; the directory named "Memory"
// holds in-memory tables.
//
// A session, its directories and tables are used from one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/data_table.h"

namespace reruzo {

class TDataSession;

class TDataDirectory {
public:
    TDataDirectory(TDataSession& session, std::string name, std::string path, std::string canonical, bool inMemory);
    ~TDataDirectory();
    TDataDirectory(const TDataDirectory&) = delete;
    TDataDirectory& operator=(const TDataDirectory&) = delete;

    TDataSession& Session() const { return session_; }
    const std::string& Name() const { return name_; }
    // The folder of the tables with a trailing "/" (as given for "Memory").
    const std::string& Path() const { return path_; }
    const std::string& CanonicalPath() const { return canonical_; }
    bool IsMemory() const { return inMemory_; }
    int ReferenceCount() const { return references_; }
    bool InTransaction() const { return inTransaction_; }
    const std::vector<std::unique_ptr<TDataTable>>& Tables() const { return tables_; }

    // Result codes are 0 or a negated engine error code (-11010 not found, -11013 in use).
    int OpenTable(const std::string& name, const TTableOpenOptions& options, TDataTable*& table);
    int CloseTable(TDataTable* table, bool discard);
    // Validates the structure (raising its errors), then creates the table's files;
    // the new table is left open exclusively in `table`.
    int CreateTable(const std::string& name, TTableStructure structure, TDataTable*& table,
                    TTableCreateOptions options = {});
    int DeleteTable(const std::string& name, bool inMemory);
    int RenameTable(const std::string& name, const std::string& newName, bool toBackup, bool inMemory);
    bool TableExists(const std::string& name, bool inMemory);
    // A table name no table of this directory uses: the first five digits of the
    // thread's identifier followed by a counter.
    std::string TempTableName(bool inMemory);

    void StartTransaction();
    void Commit(bool release, bool flushOs);
    void Rollback();

private:
    friend class TDataSession;
    TDataTable* Find(const std::string& name, bool inMemory);
    void Remove(TDataTable* table);
    // Closes and forgets the tables a transaction kept open after their last user.
    void CloseKeptTables(bool discard);

    TDataSession& session_;
    std::string name_;
    std::string path_;
    std::string canonical_;
    bool inMemory_;
    std::vector<std::unique_ptr<TDataTable>> tables_;
    int references_ = 0;
    bool inTransaction_ = false;
};

class TDataSession {
public:
    TDataSession();
    ~TDataSession();
    TDataSession(const TDataSession&) = delete;
    TDataSession& operator=(const TDataSession&) = delete;

    // The process's shared session, created on first use (the default session of the
    // components uses it).
    static TDataSession& Default();

    // The process's current directory when the session was created, with "/".
    const std::string& DefaultDirectory() const { return defaultDirectory_; }
    void SetPrivateDir(const std::string& path);
    // PrivateDir when set, else the default directory.
    const std::string& GetPrivateDir() const { return privateDir_.empty() ? defaultDirectory_ : privateDir_; }

    void AddPassword(const std::string& password);
    void RemovePassword(const std::string& password);
    void RemoveAllPasswords() { passwords_.clear(); }
    bool HasPassword(const std::string& password) const;
    const std::vector<std::string>& Passwords() const { return passwords_; }

    std::uint16_t ProgressSteps() const { return progressSteps_; }
    void SetProgressSteps(std::uint16_t steps) { progressSteps_ = steps; }
    bool ForceBufferFlush() const { return forceBufferFlush_; }
    void SetForceBufferFlush(bool on) { forceBufferFlush_ = on; }
    bool StrictChangeDetection() const { return strictChangeDetection_; }
    void SetStrictChangeDetection(bool on) { strictChangeDetection_ = on; }
    // Called when an INSERT (code 1), UPDATE (2) or DELETE (3) is prepared, with the
    // database directory of the table it changes; empty unless a caller sets it.
    std::function<void(TDataDirectory& directory, int code)> StatementCallback;

    std::uint8_t LockRetryCount() const { return lockRetryCount_; }
    void SetLockRetryCount(std::uint8_t count) { lockRetryCount_ = count; }
    std::uint16_t LockWaitTime() const { return lockWaitTime_; }
    void SetLockWaitTime(std::uint16_t ms) { lockWaitTime_ = ms; }

    // Opens the directory `path` (empty: the default directory) under a database
    // name; the name "Memory" opens the in-memory database. Every path that leads to
    // an open directory's folder gives that directory, one reference more.
    TDataDirectory& OpenDirectory(const std::string& name, const std::string& path);
    // One reference fewer; at none the directory rolls back, closes its tables and goes.
    void CloseDirectory(TDataDirectory& directory);
    const std::vector<std::unique_ptr<TDataDirectory>>& Directories() const { return directories_; }

private:
    std::string defaultDirectory_;
    std::string privateDir_;
    std::vector<std::string> passwords_;
    std::uint16_t progressSteps_ = 20;
    bool forceBufferFlush_ = false;
    bool strictChangeDetection_ = false;
    std::uint8_t lockRetryCount_ = 15;
    std::uint16_t lockWaitTime_ = 100;
    std::vector<std::unique_ptr<TDataDirectory>> directories_;
};

}  // namespace reruzo
