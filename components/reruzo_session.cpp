// Session and database components.
#include "components/reruzo_session.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "components/component_text.h"
#include "components/reruzo_dataset.h"

namespace reruzo {
namespace {

// The list of all session components of the process (the first is the default one)
// and the numbers taken by automatically named sessions.
struct TSessionList {
    std::recursive_mutex lock;
    std::vector<TRERUZOSession*> sessions;
    std::set<int> autoNumbers;
};

TSessionList& List() {
    static TSessionList* list = new TSessionList;  // lives as long as the process
    return *list;
}

TPasswordDialogFunction& PasswordDialog() {
    static TPasswordDialogFunction dialog;
    return dialog;
}

bool IsPathLike(const std::string& name) { return name.find_first_of(":\\/") != std::string::npos; }

}  // namespace

void SetPasswordDialog(TPasswordDialogFunction dialog) { PasswordDialog() = std::move(dialog); }

// ---- Session ----------------------------------------------------------------------

TRERUZOSession::TRERUZOSession(std::string sessionName, std::string ownerName)
    : sessionName_(std::move(sessionName)), ownerName_(std::move(ownerName)) {
    std::lock_guard guard(List().lock);
    List().sessions.push_back(this);
}

TRERUZOSession::~TRERUZOSession() {
    try {
        SetActive(false);
    } catch (const std::exception&) {
    }
    std::lock_guard guard(List().lock);
    if (autoNumber_ >= 0) List().autoNumbers.erase(autoNumber_);
    std::erase(List().sessions, this);
}

TRERUZOSession& TRERUZOSession::Default() {
    static TRERUZOSession* session = [] {
        auto* s = new TRERUZOSession("Default");  // kept for the life of the process
        std::lock_guard guard(List().lock);
        std::erase(List().sessions, s);
        List().sessions.insert(List().sessions.begin(), s);
        return s;
    }();
    return *session;
}

std::vector<TRERUZOSession*> TRERUZOSession::Sessions() {
    Default();
    std::lock_guard guard(List().lock);
    return List().sessions;
}

TRERUZOSession& TRERUZOSession::Find(const std::string& name) {
    if (name.empty()) return Default();
    for (TRERUZOSession* s : Sessions()) {
        if (SameText(s->sessionName_, name)) return *s;
    }
    throw EDatabaseError(FormatText("Session name %s is not valid.", name));
}

void TRERUZOSession::RequireInactive() const {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an active session.");
}

void TRERUZOSession::SetSessionName(const std::string& name) {
    RequireInactive();
    if (autoSessionName_) throw EDatabaseError("Cannot perform this operation on the active auto-session.");
    std::lock_guard guard(List().lock);
    for (TRERUZOSession* s : List().sessions) {
        if (s != this && !name.empty() && SameText(s->sessionName_, name))
            throw EDatabaseError(FormatText("Session name %s already exists.", name));
    }
    sessionName_ = name;
}

void TRERUZOSession::SetAutoSessionName(bool on) {
    RequireInactive();
    if (on == autoSessionName_) return;
    std::lock_guard guard(List().lock);
    if (on) {
        for (TRERUZOSession* s : List().sessions) {
            if (s != this && !ownerName_.empty() && s->ownerName_ == ownerName_)
                throw EDatabaseError("This auto-session already exists.");
        }
        int n = 0;
        while (List().autoNumbers.count(n)) ++n;
        List().autoNumbers.insert(n);
        autoNumber_ = n;
        autoSessionName_ = true;
        sessionName_ = ownerName_ + "_" + std::to_string(n + 1);
        // The databases and datasets of the same owner take the new session name.
        for (TRERUZODatabase* db : databases_) {
            if (db->ownerName_ == ownerName_) db->sessionName_ = sessionName_;
        }
    } else {
        List().autoNumbers.erase(autoNumber_);
        autoNumber_ = -1;
        autoSessionName_ = false;
    }
}

void TRERUZOSession::SetSessionType(TSessionType type) {
    RequireInactive();
    sessionType_ = type;
}
void TRERUZOSession::SetRemoteHost(const std::string& host) {
    RequireInactive();
    remoteHost_ = host;
}
void TRERUZOSession::SetRemoteAddress(const std::string& address) {
    RequireInactive();
    remoteAddress_ = address;
}
void TRERUZOSession::SetRemotePort(int port) {
    RequireInactive();
    remotePort_ = port;
}
void TRERUZOSession::SetRemoteService(const std::string& service) {
    RequireInactive();
    remoteService_ = service;
}
void TRERUZOSession::SetRemoteTrace(bool on) {
    RequireInactive();
    remoteTrace_ = on;
}
void TRERUZOSession::SetRemoteUser(const std::string& user) {
    RequireInactive();
    remoteUser_ = user;
}
void TRERUZOSession::SetRemotePassword(const std::string& password) {
    RequireInactive();
    remotePassword_ = password;
}

void TRERUZOSession::SetForceBufferFlush(bool on) {
    forceBufferFlush_ = on;
    ApplySettings();
}
void TRERUZOSession::SetLockRetryCount(int count) {
    lockRetryCount_ = std::clamp(count, 0, 255);
    ApplySettings();
}
void TRERUZOSession::SetLockWaitTime(int ms) {
    lockWaitTime_ = std::clamp(ms, 0, 65535);
    ApplySettings();
}
void TRERUZOSession::SetPrivateDir(const std::string& path) {
    privateDir_ = path;
    ApplySettings();
}
void TRERUZOSession::SetProgressSteps(int steps) {
    progressSteps_ = std::clamp(steps, 0, 65535);
    ApplySettings();
}
void TRERUZOSession::SetStrictChangeDetection(bool on) {
    strictChangeDetection_ = on;
    ApplySettings();
}

void TRERUZOSession::ApplySettings() {
    if (!engine_) return;
    if (!privateDir_.empty()) engine_->SetPrivateDir(privateDir_);
    engine_->SetStrictChangeDetection(strictChangeDetection_);
    engine_->SetForceBufferFlush(forceBufferFlush_);
    engine_->SetLockRetryCount(static_cast<std::uint8_t>(lockRetryCount_));
    engine_->SetLockWaitTime(static_cast<std::uint16_t>(lockWaitTime_));
    engine_->SetProgressSteps(static_cast<std::uint16_t>(progressSteps_));
}

void TRERUZOSession::SetActive(bool on) {
    if (on == Active()) return;
    std::lock_guard guard(List().lock);
    if (on) {
        if (OnStartup) OnStartup(*this);
        if (sessionName_.empty()) throw EDatabaseError("Session name is missing.");
        if (autoSessionName_) {
            for (TRERUZOSession* s : List().sessions) {
                if (s != this && s->Active() && s != &Default())
                    throw EDatabaseError("The active auto-session can be the only active session.");
            }
        }
        if (this != &Default()) Default().SetActive(true);
        if (sessionType_ == TSessionType::stRemote) {
            // This system has local sessions only; a database server cannot be reached.
            RaiseEngineError(RERUZO_REMOTECONNECT, {.server = remoteHost_.empty() ? remoteAddress_ : remoteHost_});
        }
        if (this == &Default()) {
            engine_ = &TDataSession::Default();
        } else {
            ownEngine_ = std::make_unique<TDataSession>();
            engine_ = ownEngine_.get();
        }
        for (const std::string& p : passwords_) engine_->AddPassword(p);
        ApplySettings();
    } else {
        // Close the databases, last first; temporary ones are freed.
        auto databases = databases_;
        for (auto it = databases.rbegin(); it != databases.rend(); ++it) {
            if ((*it)->temporary_) {
                FreeTemporary(*it);
            } else {
                (*it)->Close();
            }
        }
        engine_ = nullptr;
        ownEngine_.reset();
    }
}

void TRERUZOSession::AddPassword(const std::string& password) {
    if (password.empty() || std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end()) return;
    passwords_.push_back(password);
    if (engine_) engine_->AddPassword(password);
}

void TRERUZOSession::RemovePassword(const std::string& password) {
    auto it = std::find(passwords_.begin(), passwords_.end(), password);
    if (it != passwords_.end()) passwords_.erase(it);
    if (engine_) engine_->RemovePassword(password);
}

void TRERUZOSession::RemoveAllPasswords() {
    passwords_.clear();
    if (engine_) engine_->RemoveAllPasswords();
}

bool TRERUZOSession::PasswordRequest() {
    if (OnPassword) {
        bool again = false;
        OnPassword(*this, again);
        return again;
    }
    return PasswordDialog() ? PasswordDialog()(*this) : false;
}

TRERUZODatabase* TRERUZOSession::FindDatabase(const std::string& name) const {
    for (TRERUZODatabase* db : databases_) {
        if (name.empty() ? db->temporary_ && db->databaseName_.empty() : SameText(db->databaseName_, name)) return db;
    }
    return nullptr;
}

TRERUZODatabase* TRERUZOSession::OpenDatabaseFor(TRERUZODataSet& dataset, const std::string& name,
                                                 const std::string& ownerName) {
    std::lock_guard guard(List().lock);
    TRERUZODatabase* db = nullptr;
    // First a database of the same owner that shares its handle, then any.
    for (TRERUZODatabase* d : databases_) {
        if (d->handleShared_ && d->ownerName_ == ownerName && SameText(d->databaseName_, name) && !name.empty()) {
            db = d;
            break;
        }
    }
    if (!db) db = FindDatabase(name);
    if (!db) {
        auto temp = std::make_unique<TRERUZODatabase>();
        temp->temporary_ = true;
        temp->databaseName_ = name;
        if (!SameText(name, "Memory")) temp->directory_ = name;
        temp->keepConnection_ = keepConnections_;
        if (temp->session_) temp->session_->RemoveDatabase(temp.get());
        AddDatabase(temp.get());
        db = temp.get();
        temporary_.push_back(std::move(temp));
    }
    db->Open();
    db->Register(&dataset);
    return db;
}

void TRERUZOSession::CloseDatabaseFor(TRERUZODataSet& dataset, TRERUZODatabase& db) {
    std::lock_guard guard(List().lock);
    db.Unregister(&dataset);
    if (db.users_ > 0 || db.keepConnection_ || db.closing_) return;
    if (db.temporary_) {
        FreeTemporary(&db);
    } else {
        db.Close();
    }
}

void TRERUZOSession::FreeTemporary(TRERUZODatabase* db) {
    db->Close();
    RemoveDatabase(db);
    std::erase_if(temporary_, [db](const auto& p) { return p.get() == db; });
}

void TRERUZOSession::AddDatabase(TRERUZODatabase* db) {
    databases_.push_back(db);
    db->session_ = this;
}

void TRERUZOSession::RemoveDatabase(TRERUZODatabase* db) {
    std::erase(databases_, db);
    if (db->session_ == this) db->session_ = nullptr;
}

// ---- Database ---------------------------------------------------------------------

TRERUZODatabase::TRERUZODatabase(std::string ownerName) : ownerName_(std::move(ownerName)) {
    TRERUZOSession::Default().AddDatabase(this);
}

TRERUZODatabase::~TRERUZODatabase() {
    try {
        Close();
    } catch (const std::exception&) {
    }
    if (session_) session_->RemoveDatabase(this);
}

TRERUZOSession& TRERUZODatabase::Session() const {
    return session_ ? *session_ : TRERUZOSession::Find(sessionName_);
}

void TRERUZODatabase::SetDatabaseName(const std::string& name) {
    if (Connected()) throw EDatabaseError("Cannot perform this operation on an open database.");
    if (!temporary_ && !name.empty()) {
        const auto first = static_cast<unsigned char>(name[0]);
        const bool goodStart = std::isalpha(first) || first == '_' || (first >= 0x81 && first <= 0xFE);
        if (!goodStart || IsPathLike(name)) throw EDatabaseError(FormatText("Database name %s is not valid.", name));
        TRERUZOSession& s = Session();
        for (TRERUZODatabase* other : std::vector<TRERUZODatabase*>(s.databases_)) {
            if (other == this || !SameText(other->databaseName_, name)) continue;
            if (other->handleShared_ && handleShared_) continue;
            if (other->temporary_ && other->users_ == 0) {
                s.FreeTemporary(other);
                continue;
            }
            throw EDatabaseError(FormatText("Database name %s already exists.", name));
        }
    }
    databaseName_ = name;
}

void TRERUZODatabase::SetDirectory(const std::string& directory) {
    if (Connected()) throw EDatabaseError("Cannot perform this operation on an open database.");
    directory_ = directory;
}

void TRERUZODatabase::SetRemoteDatabase(const std::string& name) {
    if (Connected()) throw EDatabaseError("Cannot perform this operation on an open database.");
    remoteDatabase_ = name;
}

void TRERUZODatabase::SetHandleShared(bool on) {
    if (Connected()) throw EDatabaseError("Cannot perform this operation on an open database.");
    handleShared_ = on;
}

void TRERUZODatabase::SetSessionName(const std::string& name) {
    if (Connected()) throw EDatabaseError("Cannot perform this operation on an open database.");
    TRERUZOSession& target = TRERUZOSession::Find(name);
    if (session_) session_->RemoveDatabase(this);
    target.AddDatabase(this);
    sessionName_ = name;
}

void TRERUZODatabase::Open() {
    if (Connected()) return;
    if (BeforeConnect) BeforeConnect(*this);
    if (databaseName_.empty() && !temporary_) throw EDatabaseError("Database name is missing.");
    TRERUZOSession& session = Session();
    session.SetActive(true);
    if (handleShared_) {
        for (TRERUZODatabase* other : session.databases_) {
            if (other != this && other->handleShared_ && other->Connected() && SameText(other->databaseName_, databaseName_)) {
                directoryObject_ = other->directoryObject_;
                borrowed_ = true;
                return;
            }
        }
    }
    // Names that are paths are not database names.
    const std::string engineName = databaseName_.empty() || IsPathLike(databaseName_) ? std::string() : databaseName_;
    directoryObject_ = &session.Engine()->OpenDirectory(engineName, directory_);
    borrowed_ = false;
}

void TRERUZODatabase::Close() {
    if (!Connected() || closing_) return;
    closing_ = true;
    auto datasets = datasets_;
    for (auto it = datasets.rbegin(); it != datasets.rend(); ++it) (*it)->Close();
    closing_ = false;
    if (!borrowed_ && session_ && session_->Engine()) session_->Engine()->CloseDirectory(*directoryObject_);
    directoryObject_ = nullptr;
    borrowed_ = false;
    users_ = 0;
}

void TRERUZODatabase::Register(TRERUZODataSet* dataset) {
    datasets_.push_back(dataset);
    ++users_;
}

void TRERUZODatabase::Unregister(TRERUZODataSet* dataset) {
    const auto before = datasets_.size();
    std::erase(datasets_, dataset);
    if (datasets_.size() != before && users_ > 0) --users_;
}

}  // namespace reruzo
