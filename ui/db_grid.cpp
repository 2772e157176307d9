// The data-bound grid.
#include "ui/db_grid.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>

#include "ui/shown_text.h"

namespace quorvane::ui {
TDBGrid::TDBGrid(QWidget* parent) : QTableWidget(parent) {
    setFrameShape(QFrame::Box);
    setFrameShadow(QFrame::Plain);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setStretchLastSection(false);
    connect(this, &QTableWidget::currentCellChanged, this, [this](int row, int, int, int) { RowChanged(row); });
}

TDBGrid::~TDBGrid() {
    if (linked_) linked_->RemoveDataLink(this);
}

void TDBGrid::SetDataSource(reruzo::TDataSource* source) {
    if (linked_) linked_->RemoveDataLink(this);
    linked_ = source ? source->DataSet() : nullptr;
    if (linked_) linked_->AddDataLink(this);
    Reload();
}

void TDBGrid::SetColumns(std::vector<TColumn> columns) {
    columns_ = std::move(columns);
    setColumnCount(static_cast<int>(columns_.size()));
    QStringList headings;
    for (const TColumn& c : columns_) headings << c.heading;
    setHorizontalHeaderLabels(headings);
    for (int i = 0; i < columnCount(); ++i) setColumnWidth(i, columns_[static_cast<std::size_t>(i)].width);
    Reload();
}

void TDBGrid::SetFooter(int column, QString format) {
    footerColumn_ = column;
    footerFormat_ = std::move(format);
    if (!footer_) {
        footer_ = new QLabel(this);
        footer_->setFrameShape(QFrame::Box);
        footer_->setFrameShadow(QFrame::Plain);
        footer_->setContentsMargins(4, 0, 4, 0);
        // The footer follows its column when columns are resized or scrolled.
        connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this] { PlaceFooter(); });
        connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, [this] { PlaceFooter(); });
    }
    UpdateFooter();
    updateGeometries();
}

void TDBGrid::UpdateFooter() {
    if (!footer_) return;
    QString text = footerFormat_;
    const auto zero = text.indexOf(QLatin1Char('0'));
    if (zero >= 0) text.replace(zero, 1, QString::number(rowCount()));
    footer_->setText(text);
}

void TDBGrid::PlaceFooter() {
    if (!footer_ || footerColumn_ < 0 || footerColumn_ >= columnCount()) return;
    const QRect area = viewport()->geometry();
    const int x = area.left() + columnViewportPosition(footerColumn_);
    footer_->setGeometry(x, area.bottom() + 1, columnWidth(footerColumn_), FooterHeight());
    footer_->show();
}

void TDBGrid::updateGeometries() {
    QTableWidget::updateGeometries();
    QMargins margins = viewportMargins();
    if (margins.bottom() != FooterHeight()) {
        margins.setBottom(FooterHeight());
        setViewportMargins(margins);
    }
    PlaceFooter();
}

void TDBGrid::resizeEvent(QResizeEvent* event) {
    QTableWidget::resizeEvent(event);
    PlaceFooter();
}

void TDBGrid::Reload() {
    syncing_ = true;
    clearContents();
    setRowCount(0);
    bookmarks_.clear();
    if (linked_ && linked_->Active() && !columns_.empty()) {
        // Every row, read from the first; the dataset ends on the first row again.
        std::vector<std::vector<QString>> rows;
        for (linked_->First(); !linked_->Eof(); linked_->Next()) {
            std::vector<QString> cells;
            for (const TColumn& c : columns_) {
                const reruzo::TField* f = linked_->FindField(c.field);
                cells.push_back(f ? ShownText(f->AsString()) : QString());
            }
            rows.push_back(std::move(cells));
            bookmarks_.push_back(linked_->GetBookmark());
        }
        linked_->First();
        setRowCount(static_cast<int>(rows.size()));
        for (int r = 0; r < rowCount(); ++r) {
            for (int c = 0; c < columnCount(); ++c) {
                auto* item = new QTableWidgetItem(rows[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]);
                item->setTextAlignment(columns_[static_cast<std::size_t>(c)].alignment | Qt::AlignVCenter);
                setItem(r, c, item);
            }
        }
        if (rowCount() > 0) setCurrentCell(0, 0);
    }
    syncing_ = false;
    UpdateFooter();
}

void TDBGrid::RowChanged(int row) {
    if (syncing_ || !linked_ || !linked_->Active() || row < 0 || row >= static_cast<int>(bookmarks_.size())) return;
    syncing_ = true;
    linked_->GotoBookmark(bookmarks_[static_cast<std::size_t>(row)]);
    syncing_ = false;
}

void TDBGrid::ActiveChanged() { Reload(); }

void TDBGrid::DataSetScrolled() {
    if (syncing_ || !linked_ || !linked_->Active()) return;
    const std::vector<std::uint8_t> here = linked_->GetBookmark();
    for (std::size_t r = 0; r < bookmarks_.size(); ++r) {
        if (bookmarks_[r] != here) continue;
        syncing_ = true;
        setCurrentCell(static_cast<int>(r), 0);
        syncing_ = false;
        return;
    }
}

void TDBGrid::DataSetDestroyed() {
    linked_ = nullptr;
    Reload();
}

void TDBGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    QTableWidget::mouseDoubleClickEvent(event);
    if (OnDblClick) OnDblClick();
}

}  // namespace quorvane::ui
