// Session and database components.
#include "components/reruzo_session.h"

#include <algorithm>
#include <mutex>

#include "components/component_text.h"
#include "components/reruzo_dataset.h"

namespace reruzo {
namespace {

// The list of all session components of the process; the first is the default one.
struct TSessionList {
    std::recursive_mutex lock;
    std::vector<TRERUZOSession*> sessions;
};

TSessionList& Sessions() {
    static TSessionList list;
    return list;
}

}  // namespace

// ---- Session ----------------------------------------------------------------------

TRERUZOSession::TRERUZOSession(std::string sessionName) : sessionName_(std::move(sessionName)) {
    auto& list = Sessions();
    std::lock_guard guard(list.lock);
    list.sessions.push_back(this);
}

TRERUZOSession::~TRERUZOSession() {
    SetActive(false);
    auto& list = Sessions();
    std::lock_guard guard(list.lock);
    std::erase(list.sessions, this);
}

TRERUZOSession& TRERUZOSession::Default() {
    static TRERUZOSession* session = [] {
        // Made once and kept for the life of the process, like the engine session.
        auto* s = new TRERUZOSession("Default");
        auto& list = Sessions();
        std::lock_guard guard(list.lock);
        std::erase(list.sessions, s);
        list.sessions.insert(list.sessions.begin(), s);
        return s;
    }();
    return *session;
}

TRERUZOSession& TRERUZOSession::Find(const std::string& name) {
    if (name.empty()) return Default();
    Default();
    auto& list = Sessions();
    std::lock_guard guard(list.lock);
    for (TRERUZOSession* s : list.sessions) {
        if (SameText(s->sessionName_, name)) return *s;
    }
    throw EDatabaseError(FormatText("Session name %s is not valid.", name));
}

void TRERUZOSession::SetSessionName(const std::string& name) {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an active session.");
    auto& list = Sessions();
    std::lock_guard guard(list.lock);
    for (TRERUZOSession* s : list.sessions) {
        if (s != this && !name.empty() && SameText(s->sessionName_, name))
            throw EDatabaseError(FormatText("Session name %s already exists.", name));
    }
    sessionName_ = name;
}

void TRERUZOSession::SetActive(bool on) {
    if (on == Active()) return;
    if (on) {
        if (sessionName_.empty()) throw EDatabaseError("Session name is missing.");
        if (this != &Default()) Default().SetActive(true);
        // Every local session component uses the process's one engine session.
        engine_ = &TDataSession::Default();
    } else {
        // Close the databases, last first; temporary ones are freed.
        auto databases = databases_;
        for (auto it = databases.rbegin(); it != databases.rend(); ++it) (*it)->Close();
        temporary_.clear();
        engine_ = nullptr;
    }
}

TRERUZODatabase* TRERUZOSession::FindDatabase(const std::string& name) const {
    for (TRERUZODatabase* db : databases_) {
        if (SameText(db->DatabaseName(), name) && (!name.empty() || db->Temporary())) return db;
    }
    return nullptr;
}

TRERUZODatabase* TRERUZOSession::OpenDatabaseFor(TRERUZODataSet& dataset, const std::string& name) {
    std::lock_guard guard(Sessions().lock);
    SetActive(true);
    TRERUZODatabase* db = FindDatabase(name);
    if (!db) {
        auto temp = std::make_unique<TRERUZODatabase>();
        temp->temporary_ = true;
        temp->databaseName_ = name;
        if (!SameText(name, "Memory")) temp->directory_ = name;
        temp->keepConnection_ = keepConnections_;
        temp->session_->RemoveDatabase(temp.get());
        AddDatabase(temp.get());
        db = temp.get();
        temporary_.push_back(std::move(temp));
    }
    db->Open();
    db->Register(&dataset);
    return db;
}

void TRERUZOSession::CloseDatabaseFor(TRERUZODataSet& dataset, TRERUZODatabase& db) {
    db.Unregister(&dataset);
    if (db.users_ > 0 || db.keepConnection_ || db.closing_) return;
    if (db.temporary_) {
        db.Close();
        RemoveDatabase(&db);
        std::erase_if(temporary_, [&db](const auto& p) { return p.get() == &db; });
    } else {
        db.Close();
    }
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

TRERUZODatabase::TRERUZODatabase() { TRERUZOSession::Default().AddDatabase(this); }

TRERUZODatabase::~TRERUZODatabase() {
    Close();
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
        if (!goodStart || name.find_first_of(":\\") != std::string::npos)
            throw EDatabaseError(FormatText("Database name %s is not valid.", name));
        if (TRERUZODatabase* other = Session().FindDatabase(name); other && other != this) {
            if (other->temporary_ && other->users_ == 0) {
                TRERUZOSession& s = Session();
                s.RemoveDatabase(other);
                std::erase_if(s.temporary_, [other](const auto& p) { return p.get() == other; });
            } else {
                throw EDatabaseError(FormatText("Database name %s already exists.", name));
            }
        }
    }
    databaseName_ = name;
}

void TRERUZODatabase::SetDirectory(const std::string& directory) {
    if (Connected()) throw EDatabaseError("Cannot perform this operation on an open database.");
    directory_ = directory;
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
    if (databaseName_.empty() && !temporary_) throw EDatabaseError("Database name is missing.");
    TRERUZOSession& session = Session();
    session.SetActive(true);
    // Names with a colon or a backslash are paths, not database names.
    const bool pathLike = databaseName_.find_first_of(":\\") != std::string::npos;
    const std::string engineName = pathLike ? std::string() : databaseName_;
    directoryObject_ = session.Engine()->OpenDirectory(engineName, directory_);
}

void TRERUZODatabase::Close() {
    if (!Connected() || closing_) return;
    closing_ = true;
    auto datasets = datasets_;
    for (auto it = datasets.rbegin(); it != datasets.rend(); ++it) (*it)->Close();
    closing_ = false;
    directoryObject_.reset();
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
