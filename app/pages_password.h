// The pages of the start-up password: the log-in page shown at start-up, and the
// page that replaces the password. Both read and write the password row of vrqdtl
// through the main window's DT_Pass (the host's password table), opened for each use
// and closed afterwards.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>
#include <string>

#include "ui/flat_controls.h"

class TPageHost;

// The log-in page: the welcome picture over the whole page, the password box and the
// log-in button.
class TFrame_welcome : public QWidget {
    Q_OBJECT
public:
    // `host` (the window) gives the password row and is unlocked; it outlives the page.
    TFrame_welcome(QWidget* owner, TPageHost& host);

    QLabel* Image1 = nullptr;
    QLabel* Label2 = nullptr;
    quorvane::ui::TFlatEdit* FlatEdit_pass = nullptr;
    quorvane::ui::TFlatButton* FlatButton_reg = nullptr;

    // Unlocks the main window when the typed text is the stored password.
    void FlatButton_regClick();
    // Where the welcome picture is looked for: in `programDirectory`, else beside the
    // running executable.
    static std::string PicturePath(const std::string& programDirectory);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    TPageHost& host_;
    QPixmap picture_;
};

// The password-change page.
class TFrame_chgpass : public QWidget {
    Q_OBJECT
public:
    // `host` (the window) gives the password row; it outlives the page.
    TFrame_chgpass(QWidget* owner, TPageHost& host);

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

private:
    TPageHost& host_;
};
