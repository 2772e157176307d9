// Reading the repair tree and the item rows of the knowledge base.
#include "app/repair/knowledge_base.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "engine/errors/engine_errors.h"
#include "platform/codepage.h"
#include "platform/file_names.h"

namespace quorvane::repair {

namespace {

// One database name per knowledge base object, so that two of them in one process
// (tests) keep their folders apart.
std::string DatabaseName() {
    static int count = 0;
    return "quorvane-kb-" + std::to_string(++count);
}

void RequireTable(const std::string& dir, const std::string& table) {
    for (const char* ext : {".DAT", ".IDX"}) {
        const std::string path = quorvane::files::ResolveCaseInsensitive(dir + table + ext);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec))
            throw reruzo::EDatabaseError("找不到知识库: " + dir + " 中没有 " + table + ext);
    }
}

}  // namespace

std::string SearchStatement(bool byName) {
    return std::string("select * from vrqinfo where ") + (byName ? "title" : "intro") + " like :text and parent<>-1";
}

bool HoldsText(const std::string& field, const std::string& typed) {
    return codepage::FromUtf8(typed).has_value() && codepage::ToUtf8(field).find(typed) != std::string::npos;
}

TKnowledgeBase::TKnowledgeBase(const std::string& dir) : dir_(dir) {
    if (dir_.empty() || dir_.back() != '/') dir_ += '/';
    RequireTable(dir_, "vrqinfo");
    RequireTable(dir_, "vrqdtl");
    databaseName_ = DatabaseName();
    const std::string& name = databaseName_;
    database_.SetDatabaseName(name);
    database_.SetDirectory(dir_);
    database_.Open();

    reruzo::TRERUZOTable tree;
    tree.SetDatabaseName(name);
    tree.SetTableName("vrqinfo");
    tree.SetReadOnly(true);
    tree.Open();
    std::vector<TItem> byId;
    for (tree.First(); !tree.Eof(); tree.Next()) {
        TItem item;
        item.id = tree.FieldByName("id").AsInteger();
        item.parent = tree.FieldByName("parent").AsInteger();
        item.imgid = tree.FieldByName("imgid").AsInteger();
        item.type = tree.FieldByName("type").AsString();
        item.title = tree.FieldByName("title").AsString();
        item.intro = tree.FieldByName("intro").AsString();
        byId.push_back(std::move(item));
    }
    tree.Close();
    std::sort(byId.begin(), byId.end(), [](const TItem& a, const TItem& b) { return a.id < b.id; });

    // Depth first from the top-level nodes; a node is placed once, so a loop of
    // parents cannot run away.
    std::multimap<std::int32_t, std::size_t> children;
    for (std::size_t i = 0; i < byId.size(); ++i) children.emplace(byId[i].parent, i);
    std::vector<bool> placed(byId.size(), false);
    const auto place = [&](auto&& self, std::int32_t parent, int depth) -> void {
        const auto [from, to] = children.equal_range(parent);
        for (auto it = from; it != to; ++it) {
            if (placed[it->second]) continue;
            placed[it->second] = true;
            items_.push_back(byId[it->second]);
            items_.back().depth = depth;
            self(self, byId[it->second].id, depth + 1);
        }
    };
    place(place, -1, 0);
    for (std::size_t i = 0; i < byId.size(); ++i)
        if (!placed[i]) items_.push_back(byId[i]);
}

TKnowledgeBase::~TKnowledgeBase() {
    detail_.Close();
    database_.Close();
}

const TItem* TKnowledgeBase::Find(std::int32_t id) const {
    for (const TItem& item : items_)
        if (item.id == id) return &item;
    return nullptr;
}

std::vector<const TItem*> TKnowledgeBase::Search(const std::string& typed, bool byName) {
    // What the search page's statement and its check of every row find together: the
    // check alone, since every text it accepts also matches the statement's LIKE.
    std::vector<const TItem*> found;
    for (const TItem& item : items_) {
        if (item.parent != -1 && HoldsText(byName ? item.title : item.intro, typed)) found.push_back(&item);
    }
    std::sort(found.begin(), found.end(), [](const TItem* a, const TItem* b) { return a->id < b->id; });
    return found;
}

reruzo::TRERUZOTable& TKnowledgeBase::Rows(std::int32_t id) {
    if (!detail_.Active()) {
        detail_.SetDatabaseName(databaseName_);
        detail_.SetTableName("vrqdtl");
        detail_.SetIndexName("key");
        detail_.Open();
    }
    detail_.SetFiltered(false);
    detail_.SetFilter("keyid=" + std::to_string(id));
    detail_.SetFiltered(true);
    detail_.First();
    return detail_;
}

}  // namespace quorvane::repair
