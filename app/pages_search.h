// The search page: finds repair items by a part of their name or of their description
// through the window's search query over vrqinfo, lists them in a grid, and opens the
// item a row is double-clicked on.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>

#include "ui/db_grid.h"
#include "ui/flat_controls.h"

class TPageHost;

class TFrame_qry : public QWidget {
    Q_OBJECT
public:
    // `host` (the window) owns the search query and opens items; it outlives the page.
    TFrame_qry(QWidget* owner, TPageHost& host);

    QLabel* Label1 = nullptr;
    quorvane::ui::TFlatEdit* FlatEdit_Qry = nullptr;
    quorvane::ui::TFlatButton* FlatButton1 = nullptr;
    quorvane::ui::TFlatCheckBox* FlatCheckBox1 = nullptr;
    QFrame* Bevel1 = nullptr;
    quorvane::ui::TDBGrid* dxDBGrid1 = nullptr;

    // Searches the names (check box checked) or the descriptions for the text of the
    // edit box, exactly as typed.
    void FlatButton1Click();
    // Enter (or the keypad's Enter) selects the whole text and searches; other keys
    // are left to the edit box. True when the key was taken.
    bool FlatEdit_QryKeyDown(int key);
    void FlatCheckBox1Click();
    // Opens the item of the row the grid stands on. The page switch happens after the
    // double click has been handled, since it destroys this page.
    void dxDBGrid1DblClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TPageHost& host_;
};
