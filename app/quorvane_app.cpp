// Application object and start-up of Quorvane.
#include "app/quorvane_app.h"

#include <memory>

#include "app/frm_main.h"
#include "engine/errors/engine_errors.h"
#include "ui/message_boxes.h"
#include "ui/password_dialog.h"

namespace {

QString MessageOf(const std::exception& e) { return QString::fromUtf8(e.what()); }

}  // namespace

TQuorvaneApplication::TQuorvaneApplication(int& argc, char** argv) : QApplication(argc, argv) {
    quorvane::ui::TRERUZOPasswordDialog::Install();
}

bool TQuorvaneApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        quorvane::ui::MessageBoxes().Error(activeWindow(), MessageOf(e));
    }
    return false;
}

std::unique_ptr<TForm_main> StartQuorvane(const std::string& programDirectory) {
    std::unique_ptr<TForm_main> window;
    try {
        window = std::make_unique<TForm_main>(programDirectory);
        window->show();
        window->FormShow();
    } catch (const std::exception& e) {
        quorvane::ui::MessageBoxes().Error(window.get(), MessageOf(e));
        return nullptr;
    }
    return window;
}

int RunQuorvane(const std::string& programDirectory) {
    std::unique_ptr<TForm_main> window = StartQuorvane(programDirectory);
    if (!window) return 1;
    return QApplication::exec();
}
