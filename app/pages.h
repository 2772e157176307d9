// The small pages of the page area: the list page shown for repair items of type
// "list", and the about page of the "帮 助" button. Both are designed 450 by 340
// pixels and fill the page area.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/repair/entries.h"
#include "ui/flat_controls.h"
#include "ui/shown_text.h"

class TPageHost;

// The list page: the item's title above a list box of the entries under the keys the
// item's rows name (the values of the start-up keys, the subkeys of the browser's
// menu additions), read from the registry when the page comes up. "全 选" selects
// every entry; "删 除" asks, saves the selected entries to a .reg file in the user's
// data folder, deletes them, says where the backup lies and lists again.
class TFrame_list : public QWidget {
    Q_OBJECT
public:
    TFrame_list(QWidget* owner, TPageHost& host);

    QLabel* Label1 = nullptr;
    QLabel* Label_title = nullptr;
    QFrame* Bevel1 = nullptr;
    QListWidget* FlatListBox_List = nullptr;
    quorvane::ui::TFlatButton* FlatButton1 = nullptr;
    quorvane::ui::TFlatButton* FlatButton2 = nullptr;

    void FrameResize();
    void FlatButton1Click();
    void FlatButton2Click();
    // Reads the entries again and shows them, none selected.
    void FillList();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    TPageHost& host_;
    std::vector<quorvane::repair::TEntry> entries_;
};

// The about page: a link to the program's own help page and a description of the tool.
class TFrame_help : public QWidget {
    Q_OBJECT
public:
    explicit TFrame_help(QWidget* owner);

    QLabel* Label1 = nullptr;
    QFrame* Bevel1 = nullptr;
    QPlainTextEdit* FlatMemo1 = nullptr;

    // Opens the help page that ships beside the program in the default browser.
    void Label1Click();
    // The address Label1Click opens.
    static QString HelpPageUrl();
    // How an address is opened; tests replace it.
    static std::function<bool(const QString& url)> OpenUrl;
};

using quorvane::ui::ShownText;
using quorvane::ui::StoredText;
// A sunken horizontal rule `width` pixels long (0: as long as its layout makes it).
QFrame* HorizontalRule(QWidget* parent, int width);

// The about text: its fixed heading line, then the description in short paragraphs.
QString AboutText();
