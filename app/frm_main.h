// The main window of Quorvane: the repair tree on the left (the table vrqinfo),
// the page area on the right, and the bottom bar with the password switch and the
// page buttons. The window owns every database and table component of the program;
// the pages reach the data only through it, as their TPageHost.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/page_host.h"
#include "app/repair/repair_item.h"
#include "components/reruzo_dataset.h"
#include "platform/registry/registry.h"
#include "ui/db_tree_list.h"
#include "ui/flat_controls.h"

class TForm_main : public QWidget, public TPageHost {
public:
    // Creates the window and its components. The detail tables DT_dtl and DT_Pass
    // are stored open and open here, in the session's default directory; an engine
    // error propagates to the caller.
    explicit TForm_main(std::string programDirectory, QWidget* parent = nullptr);
    ~TForm_main() override;

    // The start-up sequence run when the window is first shown: the database is
    // pointed at the program's folder, the repair tree is read, the password flag
    // locks the tree and the password controls, and the log-in page is shown.
    // Raises on failure.
    void FormShow();
    // Change of the focused tree node (DT_main already stands on the node's row):
    // remembers the item's title and description and shows its page.
    void dxDBTreeList1ChangeNode();
    // Shows the page for item `id` of page kind `type` and restricts DT_dtl to the
    // item's rows ("keyid=" + id). The search page opens items this way too.
    void Udf_CreatPanel(std::int32_t id, const std::string& type) override;
    // Shows the password-change page.
    void FlatButton_PassSetClick();
    // Applies the rows of DT_dtl (the item whose page is open): each row's old value
    // is captured into its null oldinfo, then its change is written; `value`, when not
    // empty, replaces every row's info. Asks before and offers a restart after, in
    // message boxes (see quorvane::repair::TRepairItem).
    void Reg_Modify(const std::string& value) override;
    // Writes every row's oldinfo back, after the same questions.
    void Reg_Restore() override;
    // How the registry store is opened; tests replace it. The repair layer's store
    // factory under the window's name.
    static quorvane::repair::TRegistryStoreFactory& OpenRegistryStore;

    // Stores the state of the password check box as the password-required flag.
    void FlatCheckBox_setpassClick();
    // After a successful log-in: the tree and the password controls work again.
    void Unlock() override;
    // The program's folder, ending with "/".
    std::string ProgramDirectory() const override;
    // DT_dtl and DT_Pass, for the pages.
    reruzo::TRERUZOTable& DetailTable() override { return DT_dtl; }
    reruzo::TRERUZOTable& PasswordTable() override { return DT_Pass; }
    reruzo::TRERUZOQuery& SearchQuery() override { return DQ_qry; }
    reruzo::TDataSource& SearchSource() override { return DS_Qry; }
    void FlatButton_closeClick();
    // Shows the about page in the page area.
    void FlatButton_helpClick();

    // Components (owned by the window).
    reruzo::TRERUZODatabase DDB_main;
    reruzo::TRERUZOTable DT_main;
    reruzo::TDataSource DS_main;
    reruzo::TRERUZOTable DT_dtl;
    reruzo::TRERUZOTable DT_Pass;
    reruzo::TRERUZOQuery DQ_qry;
    reruzo::TDataSource DS_Qry;

    quorvane::ui::TDBTreeList* dxDBTreeList1 = nullptr;
    QWidget* Panel1 = nullptr;
    QWidget* Panel_Client = nullptr;
    QWidget* Panel3 = nullptr;
    quorvane::ui::TFlatSplitter* FlatSplitter1 = nullptr;
    quorvane::ui::TFlatCheckBox* FlatCheckBox_setpass = nullptr;
    quorvane::ui::TFlatButton* FlatButton_PassSet = nullptr;
    quorvane::ui::TFlatButton* FlatButton_help = nullptr;
    quorvane::ui::TFlatButton* FlatButton_close = nullptr;

private:
    void BuildLayout();
    // Destroys the page shown, if any, then places the page `create` makes (nullptr:
    // none) into the page area.
    void ShowPage(const std::function<QWidget*()>& create);
    // The page for an item type, owned by the window; nullptr for none.
    QWidget* CreatePage(const std::string& type);
    void DefineTables();

    std::string programDirectory_;
};

// Unit-level state of the window: the window itself and the page it shows (Cur_Title
// and Cur_Intro, which the pages read, are declared with TPageHost).
extern TForm_main* Form_main;
extern QWidget* Cur_Page;

// The value texts of the repair rows, under the names the window has always used.
using quorvane::repair::DecodeBinaryText;
using quorvane::repair::EncodeBinaryText;
using quorvane::repair::IntegerText;
