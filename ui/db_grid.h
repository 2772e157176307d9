// A data-bound grid: reads every row of the dataset behind a data source into a table
// of text cells, one column per configured field, with centred headings and a footer
// line under one column that shows the row count through a format. Rows are selected
// whole; moving the selection moves the dataset onto that row, and a row the dataset
// moves to becomes the selected one. A double click anywhere in the grid (also where
// there is no row) raises OnDblClick.
//
// Table strings are bytes in the program's code page; the grid converts them to
// Unicode for display.
#pragma once

#include <QLabel>
#include <QTableWidget>
#include <functional>
#include <string>
#include <vector>

#include "components/reruzo_dataset.h"

namespace quorvane::ui {

class TDBGrid : public QTableWidget, private reruzo::TDataLink {
public:
    struct TColumn {
        std::string field;
        QString heading;
        int width = 64;
        Qt::Alignment alignment = Qt::AlignLeft;
    };

    explicit TDBGrid(QWidget* parent = nullptr);
    ~TDBGrid() override;

    // The grid is filled whenever the dataset opens and emptied when it closes.
    void SetDataSource(reruzo::TDataSource* source);
    void SetColumns(std::vector<TColumn> columns);
    // A footer under column `column` showing `format` with its first "0" replaced by
    // the number of rows.
    void SetFooter(int column, QString format);
    QLabel* Footer() const { return footer_; }

    // Reads the rows again (also done when the dataset opens).
    void Reload();

    std::function<void()> OnDblClick;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Keeps room for the footer below the rows: the table's own layout sets the
    // viewport's margins for its headers.
    void updateGeometries() override;

private:
    void ActiveChanged() override;
    void DataSetScrolled() override;
    void DataSetDestroyed() override;
    void RowChanged(int row);
    void PlaceFooter();
    void UpdateFooter();
    int FooterHeight() const { return footer_ ? fontMetrics().height() + 6 : 0; }

    reruzo::TRERUZODataSet* linked_ = nullptr;
    std::vector<TColumn> columns_;
    std::vector<std::vector<std::uint8_t>> bookmarks_;  // per row
    QLabel* footer_ = nullptr;
    int footerColumn_ = -1;
    QString footerFormat_;
    bool syncing_ = false;
};

}  // namespace quorvane::ui
