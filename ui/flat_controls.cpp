// Style sheets of the flat controls.
#include "ui/flat_controls.h"

#include <QFileDialog>
#include <QHBoxLayout>

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

TFlatEdit::TFlatEdit(QWidget* parent, bool password) : QLineEdit(parent) {
    if (password) setEchoMode(QLineEdit::Password);
    setStyleSheet(QStringLiteral("QLineEdit { border: 1px solid #808000; background: white; padding: 1px; }"));
}

std::function<QString(TPathEdit::TKind, QWidget*, const QString&)> TPathEdit::Choose =
    [](TPathEdit::TKind kind, QWidget* parent, const QString& start) {
        return kind == TPathEdit::TKind::Folder ? QFileDialog::getExistingDirectory(parent, QString(), start)
                                                : QFileDialog::getOpenFileName(parent, QString(), start);
    };

TPathEdit::TPathEdit(TKind kind, QWidget* parent) : QWidget(parent), kind_(kind) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    edit_ = new TFlatEdit(this);
    button_ = new TFlatButton(QStringLiteral("..."), this);
    button_->setFixedSize(21, 21);
    layout->addWidget(edit_, 1);
    layout->addWidget(button_);
    connect(button_, &QPushButton::clicked, this, [this] {
        const QString chosen = Choose ? Choose(kind_, this, edit_->text()) : QString();
        if (!chosen.isEmpty()) edit_->setText(chosen);
    });
}

}  // namespace quorvane::ui
