// The password dialog.
#include "ui/password_dialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "components/reruzo_session.h"
#include "platform/codepage.h"

namespace quorvane::ui {

TRERUZOPasswordDialog::TRERUZOPasswordDialog(reruzo::TRERUZOSession& session, QWidget* parent)
    : QDialog(parent), session_(session) {
    setWindowTitle(QStringLiteral("Enter password"));
    auto* group = new QGroupBox(QStringLiteral("Password"), this);
    edit_ = new QLineEdit(group);
    edit_->setEchoMode(QLineEdit::Password);
    edit_->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // "*"
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(edit_);
    add_ = new QPushButton(QStringLiteral("&Add"), this);
    remove_ = new QPushButton(QStringLiteral("&Remove"), this);
    removeAll_ = new QPushButton(QStringLiteral("Re&move all"), this);
    ok_ = new QPushButton(QStringLiteral("&OK"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    ok_->setDefault(true);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {add_, remove_, removeAll_, ok_, cancel_}) buttons->addWidget(b);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);

    connect(edit_, &QLineEdit::textChanged, this, [this] { UpdateButtons(); });
    connect(add_, &QPushButton::clicked, this, [this] {
        session_.AddPassword(Typed());
        edit_->clear();
        added_ = true;
        UpdateButtons();
    });
    connect(remove_, &QPushButton::clicked, this, [this] {
        session_.RemovePassword(Typed());
        edit_->clear();
    });
    connect(removeAll_, &QPushButton::clicked, this, [this] { session_.RemoveAllPasswords(); });
    connect(ok_, &QPushButton::clicked, this, [this] {
        session_.AddPassword(Typed());
        accept();
    });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    UpdateButtons();
}

std::string TRERUZOPasswordDialog::Typed() const {
    // Passwords are compared as bytes of the program's code page.
    return codepage::FromUtf8(edit_->text().toStdString()).value_or(edit_->text().toStdString());
}

void TRERUZOPasswordDialog::UpdateButtons() {
    const bool text = !edit_->text().isEmpty();
    add_->setEnabled(text);
    remove_->setEnabled(text);
    ok_->setEnabled(text || added_);
}

bool TRERUZOPasswordDialog::Ask(reruzo::TRERUZOSession& session) {
    TRERUZOPasswordDialog dialog(session);
    return dialog.exec() == QDialog::Accepted;
}

void TRERUZOPasswordDialog::Install() {
    reruzo::SetPasswordDialog([](reruzo::TRERUZOSession& session) { return Ask(session); });
}

}  // namespace quorvane::ui
