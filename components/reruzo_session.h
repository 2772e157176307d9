// Session and database components. A table component finds the folder of its table
// through a database component, which reaches the engine through a session component.
// The process always has the default session "Default"; a dataset that names a
// database no component declares gets a temporary database whose directory is that
// name (an empty name means the session's default directory).
//
// The components are used from the thread that created them; the list of sessions
// is guarded by its own (recursive) lock, which activation, deactivation and database
// opens and closes hold for their duration.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/table/data_session.h"

namespace reruzo {

class TRERUZODatabase;
class TRERUZODataSet;
class TRERUZOSession;

enum class TSessionType { stLocal, stRemote };

// Asks the user for table passwords (the password dialog); true to try again.
using TPasswordDialogFunction = std::function<bool(TRERUZOSession& session)>;
// The user interface installs its password dialog here; without one a password
// request simply fails.
void SetPasswordDialog(TPasswordDialogFunction dialog);

class TRERUZOSession {
public:
    // `ownerName` is the name of the owning form, used by automatic session names.
    explicit TRERUZOSession(std::string sessionName = {}, std::string ownerName = {});
    ~TRERUZOSession();
    TRERUZOSession(const TRERUZOSession&) = delete;
    TRERUZOSession& operator=(const TRERUZOSession&) = delete;

    std::string EngineVersion() const { return "3.01"; }
    void SetEngineVersion(const std::string&) {}
    const std::string& OwnerName() const { return ownerName_; }

    bool Active() const { return engine_ != nullptr; }
    void SetActive(bool on);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSession* Engine() const { return engine_; }

    // Settings that need an inactive session ("Cannot perform this operation on an
    // active session.").
    const std::string& SessionName() const { return sessionName_; }
    void SetSessionName(const std::string& name);
    bool AutoSessionName() const { return autoSessionName_; }
    void SetAutoSessionName(bool on);
    TSessionType SessionType() const { return sessionType_; }
    void SetSessionType(TSessionType type);
    const std::string& RemoteHost() const { return remoteHost_; }
    void SetRemoteHost(const std::string& host);
    const std::string& RemoteAddress() const { return remoteAddress_; }
    void SetRemoteAddress(const std::string& address);
    int RemotePort() const { return remotePort_; }
    void SetRemotePort(int port);
    const std::string& RemoteService() const { return remoteService_; }
    void SetRemoteService(const std::string& service);
    bool RemoteTrace() const { return remoteTrace_; }
    void SetRemoteTrace(bool on);
    const std::string& RemoteUser() const { return remoteUser_; }
    void SetRemoteUser(const std::string& user);
    const std::string& RemotePassword() const { return remotePassword_; }
    void SetRemotePassword(const std::string& password);

    // Settings that reach an active engine session at once.
    bool KeepConnections() const { return keepConnections_; }
    void SetKeepConnections(bool on) { keepConnections_ = on; }
    bool ForceBufferFlush() const { return forceBufferFlush_; }
    void SetForceBufferFlush(bool on);
    int LockRetryCount() const { return lockRetryCount_; }
    void SetLockRetryCount(int count);
    int LockWaitTime() const { return lockWaitTime_; }
    void SetLockWaitTime(int ms);
    const std::string& PrivateDir() const { return privateDir_; }
    void SetPrivateDir(const std::string& path);
    int ProgressSteps() const { return progressSteps_; }
    void SetProgressSteps(int steps);
    bool StrictChangeDetection() const { return strictChangeDetection_; }
    void SetStrictChangeDetection(bool on);

    // Table passwords, handed to the engine session.
    void AddPassword(const std::string& password);
    void RemovePassword(const std::string& password);
    void RemoveAllPasswords();

    // The engine asks for a password of an encrypted table: OnPassword when assigned
    // (its flag starts false), else the password dialog. True to try again.
    bool PasswordRequest();

    std::function<void(TRERUZOSession&)> OnStartup;
    std::function<void(TRERUZOSession&, bool& continueFlag)> OnPassword;

    // The database of this session with that name (ignoring letter case); the empty
    // name finds a temporary database without a name. nullptr when there is none.
    TRERUZODatabase* FindDatabase(const std::string& name) const;
    // Opens the database a dataset names, creating a temporary one when needed, and
    // counts the dataset as a user.
    TRERUZODatabase* OpenDatabaseFor(TRERUZODataSet& dataset, const std::string& name, const std::string& ownerName);
    // Uncounts a dataset; at no users, unless the database keeps its connection, a
    // normal database closes and a temporary one is freed.
    void CloseDatabaseFor(TRERUZODataSet& dataset, TRERUZODatabase& database);
    const std::vector<TRERUZODatabase*>& Databases() const { return databases_; }

    // The process's default session, named "Default".
    static TRERUZOSession& Default();
    // The session with that name (ignoring case); the empty name gives the default
    // session. Fails with "Session name %s is not valid." when there is none.
    static TRERUZOSession& Find(const std::string& name);
    // Every session component of the process, the default one first.
    static std::vector<TRERUZOSession*> Sessions();

private:
    friend class TRERUZODatabase;
    void RequireInactive() const;
    void ApplySettings();
    void AddDatabase(TRERUZODatabase* db);
    void RemoveDatabase(TRERUZODatabase* db);
    void FreeTemporary(TRERUZODatabase* db);

    std::string sessionName_;
    std::string ownerName_;
    TDataSession* engine_ = nullptr;
    std::unique_ptr<TDataSession> ownEngine_;
    bool autoSessionName_ = false;
    int autoNumber_ = -1;
    TSessionType sessionType_ = TSessionType::stLocal;
    std::string remoteHost_;
    std::string remoteAddress_ = "127.0.0.1";
    int remotePort_ = 12001;
    std::string remoteService_;
    bool remoteTrace_ = false;
    std::string remoteUser_;
    std::string remotePassword_;
    bool keepConnections_ = true;
    bool forceBufferFlush_ = false;
    int lockRetryCount_ = 15;
    int lockWaitTime_ = 100;
    std::string privateDir_;
    int progressSteps_ = 20;
    bool strictChangeDetection_ = false;
    std::vector<std::string> passwords_;
    std::vector<TRERUZODatabase*> databases_;
    std::vector<std::unique_ptr<TRERUZODatabase>> temporary_;
};

class TRERUZODatabase {
public:
    explicit TRERUZODatabase(std::string ownerName = {});
    ~TRERUZODatabase();
    TRERUZODatabase(const TRERUZODatabase&) = delete;
    TRERUZODatabase& operator=(const TRERUZODatabase&) = delete;

    std::string EngineVersion() const { return "3.01"; }
    void SetEngineVersion(const std::string&) {}
    const std::string& OwnerName() const { return ownerName_; }

    const std::string& DatabaseName() const { return databaseName_; }
    // Only while closed ("Cannot perform this operation on an open database."). A
    // name must begin with a letter, an underscore or a byte 0x81..0xFE and hold no
    // path separator or colon ("Database name %s is not valid."), and be free in the
    // session ("Database name %s already exists.").
    void SetDatabaseName(const std::string& name);
    const std::string& Directory() const { return directory_; }
    void SetDirectory(const std::string& directory);
    const std::string& SessionName() const { return sessionName_; }
    void SetSessionName(const std::string& name);
    const std::string& RemoteDatabase() const { return remoteDatabase_; }
    void SetRemoteDatabase(const std::string& name);
    bool HandleShared() const { return handleShared_; }
    void SetHandleShared(bool on);
    bool KeepConnection() const { return keepConnection_; }
    void SetKeepConnection(bool on) { keepConnection_ = on; }
    bool Temporary() const { return temporary_; }

    bool Connected() const { return directoryObject_ != nullptr; }
    void SetConnected(bool on) { on ? Open() : Close(); }
    void Open();
    // Closes the datasets of the database, last first, and releases the directory.
    void Close();
    std::function<void(TRERUZODatabase&)> BeforeConnect;

    // The engine directory while connected (borrowed when handles are shared).
    TDataDirectory* DirectoryObject() const { return directoryObject_; }
    TRERUZOSession& Session() const;
    int UserCount() const { return users_; }
    const std::vector<TRERUZODataSet*>& DataSets() const { return datasets_; }

private:
    friend class TRERUZOSession;
    friend class TRERUZODataSet;
    void Register(TRERUZODataSet* dataset);
    void Unregister(TRERUZODataSet* dataset);

    std::string ownerName_;
    std::string databaseName_;
    std::string directory_;
    std::string sessionName_;
    std::string remoteDatabase_;
    bool handleShared_ = false;
    bool keepConnection_ = true;
    bool temporary_ = false;
    bool borrowed_ = false;
    bool closing_ = false;  // Close() is running: datasets leaving must not free us
    int users_ = 0;
    TRERUZOSession* session_ = nullptr;
    TDataDirectory* directoryObject_ = nullptr;
    std::vector<TRERUZODataSet*> datasets_;
};

}  // namespace reruzo
