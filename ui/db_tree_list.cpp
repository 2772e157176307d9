// The data-bound tree list.
#include "ui/db_tree_list.h"

#include <QHeaderView>
#include <QPainter>
#include <map>

#include "ui/shown_text.h"

namespace quorvane::ui {
namespace {

constexpr int kBookmarkRole = Qt::UserRole + 1;
// Hidden columns that carry the key and the parent of each node.
constexpr int kKeyColumn = 1;
constexpr int kParentColumn = 2;

}  // namespace

TDBTreeList::TDBTreeList(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(3);
    setHeaderLabels({QString(), QStringLiteral("id"), QStringLiteral("parent")});
    setColumnHidden(kKeyColumn, true);
    setColumnHidden(kParentColumn, true);
    setFrameShape(QFrame::Box);
    setFrameShadow(QFrame::Plain);
    setIconSize(QSize(16, 16));
    setIndentation(18);
    setUniformRowHeights(true);
    header()->setSectionsMovable(false);
    header()->setStretchLastSection(false);
    connect(this, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { FocusChanged(current); });
}

TDBTreeList::~TDBTreeList() {
    if (linked_) linked_->RemoveDataLink(this);
}

void TDBTreeList::SetDataSource(reruzo::TDataSource* source) {
    if (linked_) linked_->RemoveDataLink(this);
    source_ = source;
    linked_ = source ? source->DataSet() : nullptr;
    if (linked_) linked_->AddDataLink(this);
    Rebuild();
}

void TDBTreeList::SetDisplayColumn(std::string field, const QString& heading, int width) {
    displayField_ = std::move(field);
    headerItem()->setText(0, heading);
    setColumnWidth(0, width);
}

std::vector<std::uint8_t> TDBTreeList::BookmarkOf(const QTreeWidgetItem* item) {
    if (!item) return {};
    const QByteArray b = item->data(0, kBookmarkRole).toByteArray();
    return std::vector<std::uint8_t>(b.begin(), b.end());
}

void TDBTreeList::ActiveChanged() { Rebuild(); }

void TDBTreeList::DataSetDestroyed() {
    linked_ = nullptr;
    source_ = nullptr;
    clear();
}

void TDBTreeList::Rebuild() {
    rebuilding_ = true;
    clear();
    reruzo::TRERUZODataSet* ds = linked_;
    if (!ds || !ds->Active()) {
        rebuilding_ = false;
        return;
    }
    struct TRow {
        std::string key, parent;
        QTreeWidgetItem* item;
    };
    std::vector<TRow> rows;
    reruzo::TField& key = ds->FieldByName(keyField_);
    reruzo::TField& parent = ds->FieldByName(parentField_);
    reruzo::TField& text = ds->FieldByName(displayField_);
    reruzo::TField* image = imageField_.empty() ? nullptr : &ds->FieldByName(imageField_);
    for (ds->First(); !ds->Eof(); ds->Next()) {
        auto* item = new QTreeWidgetItem;
        item->setText(0, ShownText(text.AsString()));
        item->setText(kKeyColumn, ShownText(key.AsString()));
        item->setText(kParentColumn, ShownText(parent.AsString()));
        const std::vector<std::uint8_t> bookmark = ds->GetBookmark();
        item->setData(0, kBookmarkRole,
                      QByteArray(reinterpret_cast<const char*>(bookmark.data()), static_cast<qsizetype>(bookmark.size())));
        if (image) {
            const int i = image->AsInteger();
            if (i >= 0 && static_cast<std::size_t>(i) < images_.size())
                item->setIcon(0, images_[static_cast<std::size_t>(i)]);
        }
        rows.push_back({key.AsString(), parent.AsString(), item});
    }
    // Rows under the root value go to the top; the others under their parent. A row
    // whose parent is missing (or that would close a cycle) is shown at the top
    // rather than lost.
    std::map<std::string, QTreeWidgetItem*> byKey;
    for (const TRow& r : rows) byKey.emplace(r.key, r.item);
    for (const TRow& r : rows) {
        auto it = byKey.find(r.parent);
        bool attach = r.parent != rootValue_ && it != byKey.end() && it->second != r.item;
        for (QTreeWidgetItem* up = attach ? it->second : nullptr; up && attach; up = up->parent()) {
            if (up == r.item) attach = false;
        }
        if (attach) {
            it->second->addChild(r.item);
        } else {
            addTopLevelItem(r.item);
        }
    }
    ds->First();
    rebuilding_ = false;
}

void TDBTreeList::FocusChanged(QTreeWidgetItem* current) {
    if (rebuilding_ || !current || !linked_ || !linked_->Active()) return;
    if (!linked_->GotoBookmark(BookmarkOf(current))) return;
    if (OnChangeNode) OnChangeNode();
}

void TDBTreeList::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
    // Solid lines: for the node itself an elbow into its row, for each ancestor that
    // has further siblings a full vertical line in the ancestor's column.
    painter->save();
    painter->setPen(QPen(QColor(0x80, 0x80, 0x80), 1, Qt::SolidLine));
    const int indent = indentation();
    const int cy = rect.center().y();
    auto hasSiblingBelow = [this](const QModelIndex& i) {
        return i.sibling(i.row() + 1, 0).isValid();
    };
    int cx = rect.right() - indent / 2;
    painter->drawLine(cx, cy, rect.right() - 2, cy);
    painter->drawLine(cx, rect.top(), cx, hasSiblingBelow(index) ? rect.bottom() : cy);
    int x = cx - indent;
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent(), x -= indent) {
        if (hasSiblingBelow(up)) painter->drawLine(x, rect.top(), x, rect.bottom());
    }
    if (model()->hasChildren(index)) {
        const QRect box(cx - 4, cy - 4, 8, 8);
        painter->fillRect(box, Qt::white);
        painter->drawRect(box);
        painter->setPen(Qt::black);
        painter->drawLine(cx - 2, cy, cx + 2, cy);
        if (!isExpanded(index)) painter->drawLine(cx, cy - 2, cx, cy + 2);
    }
    painter->restore();
}

}  // namespace quorvane::ui
