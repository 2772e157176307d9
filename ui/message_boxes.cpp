// Message boxes on top of QMessageBox.
#include "ui/message_boxes.h"

#include <QMessageBox>

namespace quorvane::ui {

bool TQtMessageBoxes::Confirm(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text,
                    QMessageBox::Ok | QMessageBox::Cancel, parent);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

void TQtMessageBoxes::Warning(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, QStringLiteral("Warning"), text);
}

void TQtMessageBoxes::Information(QWidget* parent, const QString& text) {
    QMessageBox::information(parent, QStringLiteral("Information"), text);
}

void TQtMessageBoxes::Error(QWidget* parent, const QString& text) {
    QMessageBox::critical(parent, QStringLiteral("Error"), text);
}

namespace {
TMessageBoxes* g_installed = nullptr;
}

TMessageBoxes& MessageBoxes() {
    static TQtMessageBoxes qtBoxes;
    return g_installed ? *g_installed : qtBoxes;
}

void SetMessageBoxes(TMessageBoxes* boxes) { g_installed = boxes; }

}  // namespace quorvane::ui
