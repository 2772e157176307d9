// Session and database components. A table component finds the folder of its table
// through a database component, which reaches the engine through a session component.
// The process always has the default session "Default"; a dataset that names a
// database no component declares gets a temporary database whose directory is that
// name (an empty name means the session's default directory).
//
// All components are used from the thread that created them; the session list is
// guarded by its own lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/storage/data_session.h"

namespace reruzo {

class TRERUZODatabase;
class TRERUZODataSet;

class TRERUZOSession {
public:
    explicit TRERUZOSession(std::string sessionName = {});
    ~TRERUZOSession();
    TRERUZOSession(const TRERUZOSession&) = delete;
    TRERUZOSession& operator=(const TRERUZOSession&) = delete;

    std::string EngineVersion() const { return "3.01"; }
    const std::string& SessionName() const { return sessionName_; }
    // Changing the name needs an inactive session ("Cannot perform this operation on
    // an active session.") and a name no other session has.
    void SetSessionName(const std::string& name);

    bool Active() const { return engine_ != nullptr; }
    void SetActive(bool on);
    TDataSession* Engine() const { return engine_; }

    bool KeepConnections() const { return keepConnections_; }
    void SetKeepConnections(bool on) { keepConnections_ = on; }

    // The database of this session with that name (ignoring letter case); the empty
    // name finds a temporary database without a name. nullptr when there is none.
    TRERUZODatabase* FindDatabase(const std::string& name) const;
    // Opens the database a dataset names, creating a temporary one when needed, and
    // counts the dataset as a user.
    TRERUZODatabase* OpenDatabaseFor(TRERUZODataSet& dataset, const std::string& name);
    // Uncounts a dataset; a temporary database without users that does not keep its
    // connection is freed.
    void CloseDatabaseFor(TRERUZODataSet& dataset, TRERUZODatabase& database);

    // The process's default session, named "Default".
    static TRERUZOSession& Default();
    // The session with that name (ignoring case); the empty name gives the default
    // session. Fails with "Session name %s is not valid." when there is none.
    static TRERUZOSession& Find(const std::string& name);

private:
    friend class TRERUZODatabase;
    void AddDatabase(TRERUZODatabase* db);
    void RemoveDatabase(TRERUZODatabase* db);

    std::string sessionName_;
    TDataSession* engine_ = nullptr;
    bool keepConnections_ = true;
    std::vector<TRERUZODatabase*> databases_;
    std::vector<std::unique_ptr<TRERUZODatabase>> temporary_;
};

class TRERUZODatabase {
public:
    TRERUZODatabase();
    ~TRERUZODatabase();
    TRERUZODatabase(const TRERUZODatabase&) = delete;
    TRERUZODatabase& operator=(const TRERUZODatabase&) = delete;

    std::string EngineVersion() const { return "3.01"; }
    void SetEngineVersion(const std::string&) {}

    const std::string& DatabaseName() const { return databaseName_; }
    // The name must begin with a letter, an underscore or a byte 0x81..0xFE and hold
    // no colon or backslash ("Database name %s is not valid."); only while closed.
    void SetDatabaseName(const std::string& name);
    const std::string& Directory() const { return directory_; }
    // Only while closed ("Cannot perform this operation on an open database.").
    void SetDirectory(const std::string& directory);
    const std::string& SessionName() const { return sessionName_; }
    void SetSessionName(const std::string& name);
    bool KeepConnection() const { return keepConnection_; }
    void SetKeepConnection(bool on) { keepConnection_ = on; }
    bool Temporary() const { return temporary_; }

    bool Connected() const { return directoryObject_ != nullptr; }
    void SetConnected(bool on) { on ? Open() : Close(); }
    void Open();
    // Closes the datasets of the database, last first, and releases the directory.
    void Close();

    // The engine directory object while connected.
    const std::shared_ptr<TDataDirectory>& DirectoryObject() const { return directoryObject_; }
    TRERUZOSession& Session() const;
    int UserCount() const { return users_; }

private:
    friend class TRERUZOSession;
    friend class TRERUZODataSet;
    void Register(TRERUZODataSet* dataset);
    void Unregister(TRERUZODataSet* dataset);

    std::string databaseName_;
    std::string directory_;
    std::string sessionName_;
    bool keepConnection_ = true;
    bool temporary_ = false;
    bool closing_ = false;  // Close() is running: datasets leaving must not free us
    int users_ = 0;
    TRERUZOSession* session_ = nullptr;  // the session the database was added to
    std::shared_ptr<TDataDirectory> directoryObject_;
    std::vector<TRERUZODataSet*> datasets_;
};

}  // namespace reruzo
