// Engine sessions and database directories.
#include "engine/table/data_session.h"

#include <sys/syscall.h>
#include <unistd.h>
#include <strings.h>

#include <algorithm>

#include "engine/errors/engine_errors.h"
#include "platform/file_names.h"

namespace reruzo {
namespace {

std::string Trim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    return s;
}

bool SameName(const std::string& a, const std::string& b) {
    const std::string ta = Trim(a), tb = Trim(b);
    return ta.size() == tb.size() && ::strncasecmp(ta.c_str(), tb.c_str(), ta.size()) == 0;
}

// The table name a caller gave, without folder and extension, trimmed.
std::string BareTableName(const std::string& name) {
    std::string leaf = name.substr(name.find_last_of("/\\") + 1);
    const auto dot = leaf.rfind('.');
    if (dot != std::string::npos) leaf.resize(dot);
    return Trim(leaf);
}

int NegatedCode(const ERERUZOEngineError& e) { return -static_cast<int>(e.EngineCode); }

}  // namespace

// ---- TDataDirectory ----------------------------------------------------------------------

TDataDirectory::TDataDirectory(TDataSession& session, std::string name, std::string path, std::string canonical,
                               bool inMemory)
    : session_(session), name_(std::move(name)), path_(std::move(path)), canonical_(std::move(canonical)),
      inMemory_(inMemory) {}

TDataDirectory::~TDataDirectory() {
    try {
        Rollback();
    } catch (const std::exception&) {
    }
    tables_.clear();  // each table closes its files
}

TDataTable* TDataDirectory::Find(const std::string& name, bool inMemory) {
    for (const auto& t : tables_) {
        if (t->InMemory() == inMemory && SameName(t->Name(), name)) return t.get();
    }
    return nullptr;
}

void TDataDirectory::Remove(TDataTable* table) {
    std::erase_if(tables_, [table](const auto& t) { return t.get() == table; });
}

int TDataDirectory::OpenTable(const std::string& name, const TTableOpenOptions& given, TDataTable*& table) {
    TTableOpenOptions options = given;
    options.InMemory = options.InMemory || inMemory_;
    table = nullptr;
    TDataTable* t = Find(name, options.InMemory);
    if (t && t->OpenCount() > 0) {
        if ((t->Exclusive() || options.Exclusive) && !options.ShareEvenIfExclusive) return -RERUZO_OSEACCES;
        t->AddOpen();
        table = t;
        return 0;
    }
    if (t && t->IsOpen()) {
        // Kept open by the directory's transaction after its last user closed it: the
        // files, buffers and transaction lock are taken over as they are. Opening it
        // again would drop them.
        if (t->Exclusive() != options.Exclusive) return -RERUZO_OSEACCES;
        t->AddOpen();
        table = t;
        return 0;
    }
    const bool fresh = t == nullptr;
    if (fresh) {
        tables_.push_back(std::make_unique<TDataTable>(*this, Trim(name), options));
        t = tables_.back().get();
    }
    t->SetOptions(options);
    try {
        t->Open();
        if (inTransaction_) t->StartTransaction();
    } catch (const ERERUZOEngineError& e) {
        if (t->IsOpen()) {
            t->Close(false);
        }
        if (fresh || t->OpenCount() == 0) Remove(t);
        return NegatedCode(e);
    }
    table = t;
    return 0;
}

int TDataDirectory::CloseTable(TDataTable* table, bool discard) {
    auto it = std::find_if(tables_.begin(), tables_.end(), [table](const auto& t) { return t.get() == table; });
    if (it == tables_.end()) return -RERUZO_OSENOENT;
    try {
        if (table->OpenCount() > 0) table->Close(discard);
    } catch (const ERERUZOEngineError& e) {
        return NegatedCode(e);
    }
    if (table->OpenCount() == 0 && !inTransaction_) Remove(table);
    return 0;
}

int TDataDirectory::CreateTable(const std::string& name, TTableStructure structure, TDataTable*& table,
                                TTableCreateOptions create) {
    table = nullptr;
    const bool inMemory = create.InMemory || inMemory_;
    const std::string bare = BareTableName(name);
    ValidateTableStructure(structure, path_, bare);
    if (bare.empty()) return -RERUZO_OSENOENT;
    TDataTable* t = Find(bare, inMemory);
    if (t && t->OpenCount() > 0) return -RERUZO_OSEACCES;
    if (!t) {
        tables_.push_back(std::make_unique<TDataTable>(*this, bare, TTableOpenOptions{}));
        t = tables_.back().get();
    }
    TTableOpenOptions options;
    options.Exclusive = true;
    options.InMemory = inMemory;
    options.Temporary = create.Temporary;
    options.NoJournal = create.NoJournal;
    t->SetOptions(options);
    try {
        t->Create(structure);
    } catch (const ERERUZOEngineError& e) {
        Remove(t);
        return NegatedCode(e);
    }
    table = t;
    return 0;
}

int TDataDirectory::DeleteTable(const std::string& name, bool inMemory) {
    inMemory = inMemory || inMemory_;
    TDataTable* t = Find(name, inMemory);
    if (t && t->OpenCount() > 0) return -RERUZO_OSEACCES;
    TTableOpenOptions options;
    options.InMemory = inMemory;
    TDataTable temporary(*this, BareTableName(name), options);
    try {
        temporary.DeleteFiles();
    } catch (const ERERUZOEngineError& e) {
        return NegatedCode(e);
    }
    if (t) Remove(t);
    return 0;
}

int TDataDirectory::RenameTable(const std::string& name, const std::string& newName, bool toBackup, bool inMemory) {
    inMemory = inMemory || inMemory_;
    TDataTable* t = Find(name, inMemory);
    if (t && t->OpenCount() > 0) return -RERUZO_OSEACCES;
    TTableOpenOptions options;
    options.InMemory = inMemory;
    TDataTable temporary(*this, BareTableName(name), options);
    try {
        temporary.RenameFiles(newName, toBackup);
    } catch (const ERERUZOEngineError& e) {
        return NegatedCode(e);
    }
    if (t) Remove(t);
    return 0;
}

bool TDataDirectory::TableExists(const std::string& name, bool inMemory) {
    inMemory = inMemory || inMemory_;
    if (Find(name, inMemory)) return true;
    TFileHandler file;
    file.SetInMemory(inMemory);
    file.SetFileName(TableFileName(path_.empty() ? "./" : path_, BareTableName(name), ".DAT"));
    return file.Exists();
}

std::string TDataDirectory::TempTableName(bool inMemory) {
    const std::string base = std::to_string(static_cast<long>(::syscall(SYS_gettid))).substr(0, 5);
    for (int n = 0;; ++n) {
        const std::string candidate = base + std::to_string(n);
        if (!TableExists(candidate, inMemory)) return candidate;
    }
}

void TDataDirectory::StartTransaction() {
    if (inTransaction_) return;
    try {
        for (const auto& t : tables_) {
            if (t->IsOpen()) t->StartTransaction();
        }
    } catch (...) {
        for (const auto& t : tables_) {
            try {
                t->Rollback();
            } catch (const ERERUZOEngineError&) {
            }
        }
        throw;
    }
    inTransaction_ = true;
}

void TDataDirectory::Commit(bool release, bool flushOs) {
    if (!inTransaction_) return;
    for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) (*it)->Commit(release, flushOs);
    if (!release) return;
    inTransaction_ = false;
    CloseKeptTables(false);
}

void TDataDirectory::CloseKeptTables(bool discard) {
    // Tables closed during the transaction were kept open for it.
    std::vector<TDataTable*> done;
    for (const auto& t : tables_) {
        if (t->OpenCount() == 0) done.push_back(t.get());
    }
    for (TDataTable* t : done) {
        t->Close(discard);
        Remove(t);
    }
}

void TDataDirectory::Rollback() {
    if (!inTransaction_) return;
    for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) (*it)->Rollback();
    inTransaction_ = false;
    CloseKeptTables(true);
}

// ---- TDataSession ----------------------------------------------------------------------

TDataSession::TDataSession() : defaultDirectory_(quorvane::files::CurrentDirectory()) {}

TDataSession::~TDataSession() { directories_.clear(); }

TDataSession& TDataSession::Default() {
    static TDataSession* session = new TDataSession;  // lives as long as the process
    return *session;
}

void TDataSession::SetPrivateDir(const std::string& path) {
    const std::string trimmed = Trim(path);
    if (trimmed.empty()) return;
    privateDir_ = quorvane::files::NormalizeDirectory(trimmed);
}

void TDataSession::AddPassword(const std::string& password) {
    if (password.empty() || HasPassword(password)) return;
    passwords_.push_back(password);
}

void TDataSession::RemovePassword(const std::string& password) {
    auto it = std::find(passwords_.begin(), passwords_.end(), password);
    if (it != passwords_.end()) passwords_.erase(it);
}

bool TDataSession::HasPassword(const std::string& password) const {
    return std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end();
}

TDataDirectory& TDataSession::OpenDirectory(const std::string& name, const std::string& path) {
    const bool memory = SameName(name, "Memory");
    std::string folder;
    std::string canonical;
    if (memory) {
        folder = path;
        canonical = "memory:" + path;
    } else {
        const std::string trimmed = Trim(path);
        folder = trimmed.empty() ? defaultDirectory_ : quorvane::files::NormalizeDirectory(trimmed);
        canonical = quorvane::files::CanonicalDirectory(folder);
    }
    for (const auto& d : directories_) {
        if (d->canonical_ == canonical) {
            ++d->references_;
            return *d;
        }
    }
    directories_.push_back(std::make_unique<TDataDirectory>(*this, name, folder, canonical, memory));
    directories_.back()->references_ = 1;
    return *directories_.back();
}

void TDataSession::CloseDirectory(TDataDirectory& directory) {
    if (--directory.references_ > 0) return;
    std::erase_if(directories_, [&directory](const auto& d) { return d.get() == &directory; });
}

}  // namespace reruzo
