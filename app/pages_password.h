// The pages of the start-up password: the log-in page shown at start-up, and the
// page that replaces the password. Both read and write the password row of vrqdtl
// through the main window's DT_Pass, opened for each use and closed afterwards.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>
#include <string>

#include "ui/flat_controls.h"

// The log-in page: the welcome picture over the whole page, the password box and the
// log-in button.
class TFrame_welcome : public QWidget {
    Q_OBJECT
public:
    explicit TFrame_welcome(QWidget* owner);

    QLabel* Image1 = nullptr;
    QLabel* Label2 = nullptr;
    quorvane::ui::TFlatEdit* FlatEdit_pass = nullptr;
    quorvane::ui::TFlatButton* FlatButton_reg = nullptr;

    // Unlocks the main window when the typed text is the stored password.
    void FlatButton_regClick();
    // Where the welcome picture is looked for: beside the program.
    static std::string PicturePath();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QPixmap picture_;
};

// The password-change page.
class TFrame_chgpass : public QWidget {
    Q_OBJECT
public:
    explicit TFrame_chgpass(QWidget* owner);

    QLabel* Label1 = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label2 = nullptr;
    quorvane::ui::TFlatEdit* FlatEdit_pass = nullptr;
    QLabel* Label3 = nullptr;
    quorvane::ui::TFlatEdit* FlatEdit_newpass = nullptr;
    quorvane::ui::TFlatButton* FlatButton1 = nullptr;
    quorvane::ui::TFlatButton* FlatButton_cancel = nullptr;

    // Stores the new password when the old one matches.
    void FlatButton1Click();
    void FlatButton_cancelClick();
};
