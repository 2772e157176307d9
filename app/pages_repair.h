// The repair pages: the single-setting page, which applies an item's fixed values or
// takes them back, and the value-change page, where the user gives the value that the
// item's rows write (a folder, a file, a number on a track bar, or a text).
#pragma once

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSlider>
#include <QWidget>
#include <string>

#include "ui/flat_controls.h"

class TPageHost;

class TFrame_singl : public QWidget {
    Q_OBJECT
public:
    // `host` (the window) applies and restores the item; it outlives the page.
    TFrame_singl(QWidget* owner, TPageHost& host);

    QLabel* Label1 = nullptr;
    QLabel* Label_Title = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* Label2 = nullptr;
    QPlainTextEdit* FlatMemo_info = nullptr;
    quorvane::ui::TFlatButton* FlatButton_Set = nullptr;
    quorvane::ui::TFlatButton* FlatButton_Rst = nullptr;

    // Shows the title and description of the item selected last.
    void FrameResize();
    void FlatButton_SetClick();
    void FlatButton_RstClick();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    TPageHost& host_;
};

class TFrame_chg : public QWidget {
    Q_OBJECT
public:
    // `host` (the window) gives the item's detail rows, applies and restores; it
    // outlives the page.
    TFrame_chg(QWidget* owner, TPageHost& host);

    QLabel* Label1 = nullptr;
    QLabel* Label_title = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* Label2 = nullptr;
    QPlainTextEdit* FlatMemo_info = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    quorvane::ui::TPathEdit* Dir_info = nullptr;
    quorvane::ui::TPathEdit* File_info = nullptr;
    QSlider* TrackBar_info = nullptr;
    quorvane::ui::TFlatEdit* FlatEdit_info = nullptr;
    quorvane::ui::TFlatButton* FlatButton1 = nullptr;
    quorvane::ui::TFlatButton* FlatButton2 = nullptr;

    // Shows the title and description, and the input control of the kind that the
    // current detail row's info names ("dir", "file", "task" or "str").
    void FrameResize();
    // Writes the chosen value through every row of the item.
    void FlatButton1Click();
    // Takes the item back, as the single-setting page does.
    void FlatButton2Click();
    void TrackBar_infoChange();
    // The value the control of the current kind holds ("" for none).
    std::string ChosenValue() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // The input kind of DT_dtl's current row, or "" when it names none.
    std::string CurrentKind() const;

    TPageHost& host_;
};
