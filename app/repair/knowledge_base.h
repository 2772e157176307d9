// The knowledge base as the command line reads it: the repair tree (vrqinfo) and the
// registry rows of each item (vrqdtl), opened from one folder through the engine, as
// shared tables, so that the window and other processes may use them at the same
// time and see the old values one of them captures.
//
// Texts come as the tables store them, in GBK.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/reruzo_dataset.h"
#include "components/reruzo_session.h"

namespace quorvane::repair {

// One node of the repair tree.
struct TItem {
    std::int32_t id = 0;
    std::int32_t parent = -1;
    std::int32_t imgid = 0;
    std::string type;   // "category", "single", "chg", "list" (any other text: a category)
    std::string title;
    std::string intro;
    int depth = 0;  // in the tree: 0 for a top-level node (and one whose parent is missing)

    // Leaves that change the registry ("single" and "chg"); the list items list
    // entries; everything else is a category.
    bool Applies() const { return type == "single" || type == "chg"; }
    bool Lists() const { return type == "list"; }
};

// The SQL of the search page over vrqinfo: items (never top-level categories) whose
// name (`byName`) or description holds the parameter :text. LIKE compares bytes and
// knows no escape character, so whoever runs it also checks each row with HoldsText.
std::string SearchStatement(bool byName);
// Whether the GBK `field` holds `typed` (UTF-8) character for character.
bool HoldsText(const std::string& field, const std::string& typed);

class TKnowledgeBase {
public:
    // Opens the tables in `dir` (ending with "/"). Raises EDatabaseError naming the
    // folder when a table is missing or cannot be read.
    explicit TKnowledgeBase(const std::string& dir);
    ~TKnowledgeBase();

    // Every node, in the order of the tree: each node before its children, siblings
    // in the order of their ids. Nodes whose parent is missing come last.
    const std::vector<TItem>& Items() const { return items_; }
    const TItem* Find(std::int32_t id) const;
    // The items the search page finds for `typed` (UTF-8), in id order.
    std::vector<const TItem*> Search(const std::string& typed, bool byName);

    // The detail table restricted to the item's rows, in the order of its "key" index,
    // standing on the first. The table opens on first use.
    reruzo::TRERUZOTable& Rows(std::int32_t id);

private:
    std::string dir_;
    std::string databaseName_;
    reruzo::TRERUZODatabase database_;
    reruzo::TRERUZOTable detail_;
    std::vector<TItem> items_;
};

}  // namespace quorvane::repair
