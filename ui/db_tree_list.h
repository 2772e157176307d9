// A data-bound tree list: reads every row of the dataset behind a data source,
// builds the hierarchy from a key field and a parent field (rows whose parent is the
// root value are at the top), shows one text field per node with the picture of
// the node's image index, and draws solid tree lines. When the focused node changes
// it first moves the dataset onto that node's row and then raises OnChangeNode.
//
// Table strings are bytes in the program's code page; the tree converts them to
// Unicode for display.
#pragma once

#include <QIcon>
#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

#include "components/reruzo_dataset.h"

namespace quorvane::ui {

class TDBTreeList : public QTreeWidget, private reruzo::TDataLink {
public:
    explicit TDBTreeList(QWidget* parent = nullptr);
    ~TDBTreeList() override;

    // The data source whose dataset the tree shows; the tree is rebuilt whenever the
    // dataset opens and cleared when it closes.
    void SetDataSource(reruzo::TDataSource* source);
    void SetKeyField(std::string name) { keyField_ = std::move(name); }
    void SetParentField(std::string name) { parentField_ = std::move(name); }
    void SetRootValue(std::string value) { rootValue_ = std::move(value); }
    void SetImageIndexField(std::string name) { imageField_ = std::move(name); }
    // The one visible column: the field it shows, its heading and width.
    void SetDisplayColumn(std::string field, const QString& heading, int width);
    void SetImages(std::vector<QIcon> images) { images_ = std::move(images); }

    // Raised after the dataset was moved onto the newly focused node's row.
    std::function<void()> OnChangeNode;

    // Reads the rows again (also done when the dataset opens).
    void Rebuild();
    // The bookmark of a node's row.
    static std::vector<std::uint8_t> BookmarkOf(const QTreeWidgetItem* item);

protected:
    void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;

private:
    void ActiveChanged() override;
    void DataSetDestroyed() override;
    void FocusChanged(QTreeWidgetItem* current);

    reruzo::TDataSource* source_ = nullptr;
    reruzo::TRERUZODataSet* linked_ = nullptr;
    std::string keyField_ = "id";
    std::string parentField_ = "parent";
    std::string rootValue_ = "-1";
    std::string imageField_;
    std::string displayField_;
    std::vector<QIcon> images_;
    bool rebuilding_ = false;
};

}  // namespace quorvane::ui
