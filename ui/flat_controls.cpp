// Style sheets of the flat controls.
#include "ui/flat_controls.h"

namespace quorvane::ui {

TFlatButton::TFlatButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setStyleSheet(QStringLiteral(
        "QPushButton { border: 1px solid #808000; background: #f4f4ee; padding: 0px; }"
        "QPushButton:hover { background: #e8e8d8; }"
        "QPushButton:pressed { background: #d8d8c0; }"
        "QPushButton:disabled { color: #a0a0a0; border-color: #c0c0a0; }"));
}

TFlatCheckBox::TFlatCheckBox(const QString& caption, QWidget* parent) : QCheckBox(caption, parent) {
    setStyleSheet(QStringLiteral(
        "QCheckBox::indicator { width: 11px; height: 11px; border: 1px solid #808000;"
        " background: white; }"
        "QCheckBox::indicator:checked { background: #808000; }"));
}

TFlatSplitter::TFlatSplitter(int handleWidth, QWidget* parent) : QSplitter(Qt::Horizontal, parent) {
    setHandleWidth(handleWidth);
    setChildrenCollapsible(false);
}

}  // namespace quorvane::ui
