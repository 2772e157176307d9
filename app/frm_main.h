// The main window of Quorvane: the repair tree on the left (the table vrqinfo),
// the page area on the right, and the bottom bar with the password switch and the
// page buttons. The window owns every database and table component of the program;
// the pages reach the data only through it.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "components/reruzo_dataset.h"
#include "platform/registry/registry.h"
#include "ui/db_tree_list.h"
#include "ui/flat_controls.h"

class TForm_main : public QWidget {
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
    void Udf_CreatPanel(std::int32_t id, const std::string& type);
    // Shows the password-change page.
    void FlatButton_PassSetClick();
    // Applies the rows of DT_dtl (the item whose page is open): each row's old value
    // is captured into its null oldinfo, then its change is written; `value`, when not
    // empty, replaces every row's info. Asks before and offers a restart after.
    void Reg_Modify(const std::string& value);
    // Writes every row's oldinfo back, after the same questions.
    void Reg_Restore();
    // How the registry store is opened; tests replace it.
    static std::function<std::unique_ptr<quorvane::registry::TRegistryStore>()> OpenRegistryStore;

    // Stores the state of the password check box as the password-required flag.
    void FlatCheckBox_setpassClick();
    // After a successful log-in: the tree and the password controls work again.
    void Unlock();
    // The program's folder, ending with "/".
    std::string ProgramDirectory() const;
    void FlatButton_closeClick();
    // Shows the about page in the page area.
    void FlatButton_helpClick();

    // Components (owned by the window).
    reruzo::TRERUZODatabase DDB_main;
    reruzo::TRERUZOTable DT_main;
    reruzo::TDataSource DS_main;
    reruzo::TRERUZOTable DT_dtl;
    reruzo::TRERUZOTable DT_Pass;

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
    // Asks `question`, then runs `row` on each row of DT_dtl from the first, with the
    // row's root key selected and its key `path` opened (created when missing), and
    // offers the restart when every row went through.
    void RunRegistryRows(const QString& question,
                         const std::function<void(quorvane::registry::TRegistry& registry, const std::string& keytype,
                                                  const std::string& keyname)>& row);
    void BuildLayout();
    // Destroys the page shown, if any, then places the page `create` makes (nullptr:
    // none) into the page area.
    void ShowPage(const std::function<QWidget*()>& create);
    // The page for an item type, owned by the window; nullptr for none.
    QWidget* CreatePage(const std::string& type);
    void DefineTables();

    std::string programDirectory_;
};

// Unit-level state shared with the pages.
extern TForm_main* Form_main;
extern QWidget* Cur_Page;
extern std::string Cur_Title;  // in the program's code page, as the table stores it
extern std::string Cur_Intro;

// The bytes a hexadecimal text stands for, two digits a byte (an odd length rounds
// half to even; a lone last digit is a byte of its own). A pair that is not
// hexadecimal fails with "'$..' is not a valid integer value".
std::vector<std::uint8_t> DecodeBinaryText(const std::string& text);
// Bytes as upper-case hexadecimal text.
std::string EncodeBinaryText(const std::vector<std::uint8_t>& bytes);
// A text as a 32-bit integer (decimal, or hexadecimal after "$", "x" or "0x", kept
// as its bit pattern); anything else fails with "'%s' is not a valid integer value".
std::int32_t IntegerText(const std::string& text);
