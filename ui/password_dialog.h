// The password dialog through which a user gives the passwords of encrypted tables
// to a session: a "Password" group with a masked edit box and the buttons "&Add",
// "&Remove", "Re&move all", "&OK" and "Cancel". "&Add" and "&Remove" work while the
// box holds text; "&OK" while the box holds text or a password has been added.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace reruzo {
class TRERUZOSession;
}

namespace quorvane::ui {

class TRERUZOPasswordDialog : public QDialog {
public:
    TRERUZOPasswordDialog(reruzo::TRERUZOSession& session, QWidget* parent = nullptr);

    QLineEdit* Edit() const { return edit_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* RemoveButton() const { return remove_; }
    QPushButton* RemoveAllButton() const { return removeAll_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

    // Shows the dialog for `session`; true exactly when it was closed with "&OK".
    static bool Ask(reruzo::TRERUZOSession& session);
    // Makes the components use this dialog for their password requests.
    static void Install();

private:
    void UpdateButtons();
    std::string Typed() const;

    reruzo::TRERUZOSession& session_;
    QLineEdit* edit_;
    QPushButton* add_;
    QPushButton* remove_;
    QPushButton* removeAll_;
    QPushButton* ok_;
    QPushButton* cancel_;
    bool added_ = false;
};

}  // namespace quorvane::ui
