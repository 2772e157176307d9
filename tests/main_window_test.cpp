// The main window started on the shipped knowledge base: the repair tree, where each
// table is looked for, and start-up failures that end the program with a message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QHeaderView>
#include <QKeyEvent>
#include <QTreeWidgetItemIterator>
#include <QPointer>
#include <filesystem>

#include "app/frm_main.h"
#include "app/pages.h"
#include "app/pages_password.h"
#include "app/pages_repair.h"
#include "app/pages_search.h"
#include "platform/registry/registry_text.h"
#include "platform/registry/registry_wine.h"
#include <fstream>
#include "app/quorvane_app.h"
#include "tests/support/read_table.h"
#include "platform/codepage.h"
#include "tests/support/temp_dir.h"
#include "ui/message_boxes.h"

namespace {

namespace fs = std::filesystem;
using quorvane::testing::TTempDir;

// Answers every box and remembers what it was asked.
class TRecordingBoxes : public quorvane::ui::TMessageBoxes {
public:
    // Confirmations take the scripted answers in turn, then OK.
    bool Confirm(QWidget*, const QString& text) override {
        asked.push_back("confirm: " + text.toStdString());
        if (answers.empty()) return true;
        const bool answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
    std::vector<bool> answers;
    void Warning(QWidget*, const QString& text) override { asked.push_back("warning: " + text.toStdString()); }
    void Information(QWidget*, const QString& text) override {
        asked.push_back("information: " + text.toStdString());
    }
    void Error(QWidget*, const QString& text) override { asked.push_back("error: " + text.toStdString()); }
    std::vector<std::string> asked;
};

// Each test runs in a process of its own, so the engine session is created after
// the test has chosen the current directory.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        quorvane::ui::SetMessageBoxes(&boxes);
        oldDir = fs::current_path();
        // The registry the environment selects is a private one in a folder of the
        // test, and so are the backups of the list page.
        ::setenv("HOME", userData.Dir().c_str(), 1);
        ::setenv("XDG_DATA_HOME", userData.Dir().c_str(), 1);
        ::unsetenv("QUORVANE_REGISTRY");
        ::unsetenv("WINEPREFIX");
    }
    void TearDown() override {
        quorvane::ui::SetMessageBoxes(nullptr);
        fs::current_path(oldDir);
    }
    static void CopyTable(const std::string& table, const TTempDir& to) {
        for (const char* ext : {".DAT", ".IDX"}) {
            fs::copy_file(std::string(QUORVANE_BIN_DIR) + table + ext, to.File(table + ext));
        }
        // The welcome picture ships beside the program too.
        fs::create_directories(to.File("pictures"));
        fs::copy_file(std::string(QUORVANE_BIN_DIR) + "pictures/welcome.jpg", to.File("pictures/welcome.jpg"),
                      fs::copy_options::skip_existing);
    }
    // The shipped tables in `program`, which becomes the current directory.
    static void UseShippedTables(const TTempDir& program) {
        CopyTable("vrqinfo", program);
        CopyTable("vrqdtl", program);
        fs::current_path(program.Dir());
    }
    TRecordingBoxes boxes;
    fs::path oldDir;
    TTempDir userData;
};

TEST_F(MainWindowTest, ShowsTheRepairTreeOfTheShippedKnowledgeBase) {
    TTempDir program;
    UseShippedTables(program);
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(Form_main, window.get());
    ASSERT_NE(Form_main, nullptr);
    EXPECT_TRUE(boxes.asked.empty());
    EXPECT_EQ(Form_main->windowTitle(), "QuorvaneV1.01");
    EXPECT_EQ(Form_main->size(), QSize(688, 453));
    EXPECT_TRUE(Form_main->DT_main.Active());
    EXPECT_TRUE(Form_main->DT_dtl.Active());
    EXPECT_FALSE(Form_main->DT_Pass.Active());  // opened for each use only
    EXPECT_NE(dynamic_cast<TFrame_welcome*>(Cur_Page), nullptr);
    EXPECT_TRUE(Form_main->dxDBTreeList1->isEnabled());
    EXPECT_EQ(Form_main->DDB_main.Directory(), program.Dir());

    auto* tree = Form_main->dxDBTreeList1;
    EXPECT_EQ(tree->headerItem()->text(0), "修复项目");
    EXPECT_EQ(tree->columnWidth(0), 220);
    EXPECT_TRUE(tree->isColumnHidden(1));
    EXPECT_TRUE(tree->isColumnHidden(2));

    // The tree holds every row, each under the row its parent names.
    auto image = quorvane::testing::ReadTable(program.Dir(), "vrqinfo");
    int topLevel = 0;
    std::map<std::string, std::pair<std::string, std::string>> expected;  // id -> parent, title
    for (std::size_t row = 0; row < image.records.size(); ++row) {
        const auto id = std::to_string(image.Integer(row, "id"));
        const auto parent = std::to_string(image.Integer(row, "parent"));
        expected[id] = {parent, quorvane::codepage::ToUtf8(image.Text(row, "title"))};
        if (parent == "-1") ++topLevel;
    }
    EXPECT_EQ(tree->topLevelItemCount(), topLevel);
    int seen = 0;
    std::function<void(QTreeWidgetItem*, const std::string&)> walk = [&](QTreeWidgetItem* item,
                                                                         const std::string& parent) {
        const std::string id = item->text(1).toStdString();
        ASSERT_TRUE(expected.count(id)) << id;
        EXPECT_EQ(expected[id].first, parent) << id;
        EXPECT_EQ(item->text(0).toStdString(), expected[id].second);
        EXPECT_FALSE(item->icon(0).isNull());
        ++seen;
        for (int i = 0; i < item->childCount(); ++i) walk(item->child(i), id);
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i) walk(tree->topLevelItem(i), "-1");
    EXPECT_EQ(seen, static_cast<int>(expected.size()));
}

TEST_F(MainWindowTest, SelectingANodeMovesTheItemTableOntoItsRow) {
    TTempDir program;
    UseShippedTables(program);
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(Form_main, window.get());
    auto* tree = Form_main->dxDBTreeList1;
    QTreeWidgetItem* child = tree->topLevelItem(1)->child(0);
    ASSERT_NE(child, nullptr);
    tree->setCurrentItem(child);
    EXPECT_EQ(Form_main->DT_main.GetBookmark(), quorvane::ui::TDBTreeList::BookmarkOf(child));
    EXPECT_EQ(Form_main->DT_main.FieldByName("id").AsString(), child->text(1).toStdString());
    EXPECT_EQ(quorvane::codepage::ToUtf8(Cur_Title), child->text(0).toStdString());
    EXPECT_EQ(Cur_Intro, Form_main->DT_main.FieldByName("intro").AsString());
    EXPECT_FALSE(Cur_Intro.empty());
}

TEST_F(MainWindowTest, DetailRowsComeInTheOrderOfTheirKeyIndex) {
    TTempDir program;
    UseShippedTables(program);
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    reruzo::TRERUZOTable& dtl = Form_main->DT_dtl;
    EXPECT_EQ(dtl.IndexName(), "key");
    EXPECT_EQ(dtl.Cursor()->IndexName(), "key");
    std::int64_t lastKey = -1, lastId = 0;
    int rows = 0;
    for (dtl.First(); !dtl.Eof(); dtl.Next()) {
        const std::int64_t key = dtl.FieldByName("keyid").AsInteger();
        const std::int64_t id = dtl.FieldByName("id").AsInteger();
        ASSERT_TRUE(key > lastKey || (key == lastKey && id > lastId)) << "row " << rows;
        lastKey = key;
        lastId = id;
        ++rows;
    }
    EXPECT_EQ(rows, dtl.RecordCount());
    // The same order by field names.
    dtl.SetIndexFieldNames("KEYID");
    EXPECT_EQ(dtl.Cursor()->IndexName(), "key");
    dtl.SetIndexFieldNames("id");
    EXPECT_EQ(dtl.Cursor()->IndexName(), "");
    dtl.First();
    EXPECT_EQ(dtl.FieldByName("id").AsInteger(), 1);
}

TEST_F(MainWindowTest, TablesComeFromTheProgramFolderAndTheCurrentDirectory) {
    // vrqinfo lies only in the program's folder, vrqdtl only in the current directory.
    TTempDir program, current;
    CopyTable("vrqinfo", program);
    CopyTable("vrqdtl", current);
    fs::current_path(current.Dir());
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr) << (boxes.asked.empty() ? "" : boxes.asked[0]);
    EXPECT_GT(Form_main->dxDBTreeList1->topLevelItemCount(), 0);
    EXPECT_GT(Form_main->DT_dtl.RecordCount(), 0);
}

TEST_F(MainWindowTest, MissingDetailTableEndsTheProgramWithItsMessage) {
    TTempDir program;
    CopyTable("vrqinfo", program);
    fs::current_path(program.Dir());
    EXPECT_EQ(RunQuorvane(program.Dir()), 1);
    EXPECT_EQ(Form_main, nullptr);
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(boxes.asked[0], "error: RERUZO Engine Error # 11010 Table 'vrqdtl' does not exist");
}

TEST_F(MainWindowTest, MissingItemTableEndsTheProgramWithItsMessage) {
    TTempDir program, current;
    CopyTable("vrqdtl", current);
    fs::current_path(current.Dir());
    EXPECT_EQ(RunQuorvane(program.Dir()), 1);
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(boxes.asked[0], "error: RERUZO Engine Error # 11010 Table 'vrqinfo' does not exist");
}

TEST_F(MainWindowTest, DamagedItemTableEndsTheProgramWithItsMessage) {
    TTempDir program;
    CopyTable("vrqinfo", program);
    CopyTable("vrqdtl", program);
    auto bytes = program.Read("vrqinfo.DAT");
    bytes.resize(bytes.size() - 7);  // a torn last record
    program.Write("vrqinfo.DAT", bytes);
    fs::current_path(program.Dir());
    EXPECT_EQ(RunQuorvane(program.Dir()), 1);
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(boxes.asked[0],
              "error: RERUZO Engine Error # 8961 Header information corrupt in the table 'vrqinfo'");
}

TEST_F(MainWindowTest, TheHelpButtonShowsTheAboutPageOneAtATime) {
    TTempDir program;
    UseShippedTables(program);
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    QPointer<QWidget> welcome(Cur_Page);
    ASSERT_NE(dynamic_cast<TFrame_welcome*>(Cur_Page), nullptr);
    Form_main->FlatButton_help->click();
    EXPECT_TRUE(welcome.isNull());
    auto* page = dynamic_cast<TFrame_help*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->parentWidget(), Form_main->Panel_Client);
    EXPECT_EQ(page->Label1->text(), "关于我们");
    EXPECT_TRUE(page->Label1->font().underline());
    EXPECT_TRUE(page->FlatMemo1->isReadOnly());
    EXPECT_TRUE(page->FlatMemo1->toPlainText().trimmed().startsWith("<<WindowsQuorvane>>软件简介"));
    // The link opens the help page that ships beside the program.
    QString opened;
    TFrame_help::OpenUrl = [&](const QString& url) {
        opened = url;
        return true;
    };
    page->Label1Click();
    EXPECT_TRUE(opened.endsWith("/help/index.html")) << opened.toStdString();
    EXPECT_TRUE(fs::exists(std::string(QUORVANE_BIN_DIR) + "help/index.html"));
    // Pressing again replaces the page: the old one is destroyed first.
    QPointer<QWidget> old(page);
    Form_main->FlatButton_help->click();
    EXPECT_TRUE(old.isNull());
    EXPECT_NE(dynamic_cast<TFrame_help*>(Cur_Page), nullptr);
    EXPECT_EQ(Form_main->Panel_Client->findChildren<TFrame_help*>().size(), 1);
}

TEST_F(MainWindowTest, SelectingItemsSwitchesPagesAndRestrictsTheDetailTable) {
    TTempDir program;
    UseShippedTables(program);
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    const auto info = quorvane::testing::ReadTable(program.Dir(), "vrqinfo");
    const auto details = quorvane::testing::ReadTable(program.Dir(), "vrqdtl");
    std::map<std::int64_t, int> rowsOf;
    for (std::size_t row = 0; row < details.records.size(); ++row) ++rowsOf[details.Integer(row, "keyid")];
    std::vector<std::int64_t> lists, singles, changes, others;
    for (std::size_t row = 0; row < info.records.size(); ++row) {
        const std::string type = info.Text(row, "type");
        (type == "list" ? lists : type == "single" ? singles : type == "chg" ? changes : others)
            .push_back(info.Integer(row, "id"));
    }
    ASSERT_FALSE(changes.empty());
    ASSERT_GE(lists.size(), 2u);
    ASSERT_FALSE(singles.empty());
    ASSERT_FALSE(others.empty());

    // The password table shows the password row alone.
    reruzo::TRERUZOTable& pass = Form_main->DT_Pass;
    pass.Open();
    ASSERT_EQ(rowsOf[0], 1);
    EXPECT_EQ(pass.RecordCount(), 1);
    EXPECT_EQ(pass.FieldByName("keyid").AsInteger(), 0);

    auto* tree = Form_main->dxDBTreeList1;
    auto select = [&](std::int64_t id) {
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            if ((*it)->text(1).toStdString() == std::to_string(id)) {
                tree->setCurrentItem(*it);
                return (*it)->text(0).toStdString();
            }
        }
        ADD_FAILURE() << "no tree node for item " << id;
        return std::string();
    };
    reruzo::TRERUZOTable& dtl = Form_main->DT_dtl;
    // DT_dtl shows exactly the item's rows and stands on the first of them.
    auto expectRowsOf = [&](std::int64_t id) {
        EXPECT_TRUE(dtl.Filtered());
        EXPECT_EQ(dtl.Filter(), "keyid=" + std::to_string(id));
        EXPECT_EQ(dtl.Cursor()->GetFilterOptimizeLevel(dtl.Cursor()->Filters().front().get()), 2);
        EXPECT_EQ(dtl.RecordCount(), rowsOf[id]);
        EXPECT_TRUE(dtl.Bof());
        int seen = 0;
        for (dtl.First(); !dtl.Eof(); dtl.Next()) {
            EXPECT_EQ(dtl.FieldByName("keyid").AsInteger(), id);
            ++seen;
        }
        EXPECT_EQ(seen, rowsOf[id]);
    };

    const std::string firstTitle = select(lists[0]);
    auto* page = dynamic_cast<TFrame_list*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->parentWidget(), Form_main->Panel_Client);
    QCoreApplication::processEvents();
    EXPECT_EQ(page->Label_title->text().toStdString(), firstTitle);
    expectRowsOf(lists[0]);

    // Another item of the same type: a new page with the new title.
    QPointer<QWidget> old(page);
    const std::string secondTitle = select(lists[1]);
    EXPECT_TRUE(old.isNull());
    page = dynamic_cast<TFrame_list*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    QCoreApplication::processEvents();
    EXPECT_EQ(page->Label_title->text().toStdString(), secondTitle);
    expectRowsOf(lists[1]);

    select(singles[0]);
    EXPECT_NE(dynamic_cast<TFrame_singl*>(Cur_Page), nullptr);
    expectRowsOf(singles[0]);
    select(changes[0]);
    EXPECT_NE(dynamic_cast<TFrame_chg*>(Cur_Page), nullptr);
    expectRowsOf(changes[0]);
    // Every other type (the categories') shows the search page; the detail table still
    // follows the item.
    select(others[0]);
    EXPECT_NE(dynamic_cast<TFrame_qry*>(Cur_Page), nullptr);
    expectRowsOf(others[0]);
    // The type is compared with its letter case.
    Form_main->Udf_CreatPanel(static_cast<std::int32_t>(lists[0]), "List");
    EXPECT_NE(dynamic_cast<TFrame_qry*>(Cur_Page), nullptr);
    expectRowsOf(lists[0]);

    // The about page leaves the filter of the last item in force.
    Form_main->FlatButton_help->click();
    EXPECT_NE(dynamic_cast<TFrame_help*>(Cur_Page), nullptr);
    EXPECT_EQ(dtl.Filter(), "keyid=" + std::to_string(lists[0]));
    Form_main->FlatButton_PassSet->click();
    EXPECT_NE(dynamic_cast<TFrame_chgpass*>(Cur_Page), nullptr);
    EXPECT_TRUE(Form_main->Panel_Client->findChildren<TFrame_help*>().empty());
}

// Sets the password row of the tables in `dir` before the program starts.
void SetPasswordRow(const std::string& dir, const std::string& flag, const std::string& password) {
    reruzo::TRERUZOTable t;
    t.SetDatabaseName(dir);
    t.SetTableName("vrqdtl");
    t.SetFilter("keyid=0");
    t.SetFiltered(true);
    t.Open();
    t.Edit();
    t.FieldByName("oldinfo").SetAsString(flag);
    t.FieldByName("info").SetAsString(password);
    t.Post();
    t.Close();
}

std::pair<std::string, std::string> PasswordRow(const std::string& dir) {
    const auto table = quorvane::testing::ReadTable(dir, "vrqdtl");
    for (std::size_t row = 0; row < table.records.size(); ++row) {
        if (table.Integer(row, "keyid") == 0) return {table.Text(row, "oldinfo"), table.Text(row, "info")};
    }
    return {};
}

TEST_F(MainWindowTest, ARequiredPasswordLocksTheTreeUntilTheLogIn) {
    TTempDir program;
    UseShippedTables(program);
    SetPasswordRow(program.Dir(), "yes", "Secret");
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(Form_main->dxDBTreeList1->isEnabled());
    EXPECT_TRUE(Form_main->FlatCheckBox_setpass->isChecked());
    EXPECT_FALSE(Form_main->FlatCheckBox_setpass->isEnabled());
    EXPECT_FALSE(Form_main->FlatButton_PassSet->isEnabled());
    EXPECT_TRUE(Form_main->FlatButton_help->isEnabled());
    EXPECT_EQ(PasswordRow(program.Dir()).first, "yes");  // checking the box stored it again
    auto* page = dynamic_cast<TFrame_welcome*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    EXPECT_FALSE(page->Image1->pixmap().isNull());  // the picture that ships beside the program
    EXPECT_EQ(page->FlatEdit_pass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(page->FlatButton_reg->text(), "登    陆");

    page->FlatEdit_pass->setText("secret");  // letter case counts
    page->FlatButton_reg->click();
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(boxes.asked[0], "warning: 对不起您输入的密码有误,请检查您的输入是否正确!");
    EXPECT_FALSE(Form_main->dxDBTreeList1->isEnabled());
    page->FlatEdit_pass->setText("Secret");
    page->FlatButton_reg->click();
    EXPECT_EQ(boxes.asked.size(), 1u);
    EXPECT_TRUE(Form_main->dxDBTreeList1->isEnabled());
    EXPECT_TRUE(Form_main->FlatCheckBox_setpass->isEnabled());
    EXPECT_TRUE(Form_main->FlatButton_PassSet->isEnabled());
    EXPECT_EQ(Cur_Page, page);  // the log-in page stays
    EXPECT_FALSE(Form_main->DT_Pass.Active());

    // Unchecking stores "no": the next start is unlocked at once.
    Form_main->FlatCheckBox_setpass->click();
    EXPECT_EQ(PasswordRow(program.Dir()), std::make_pair(std::string("no"), std::string("Secret")));
}

TEST_F(MainWindowTest, OnlyTheExactFlagLocks) {
    TTempDir program;
    UseShippedTables(program);
    SetPasswordRow(program.Dir(), "Yes", "");
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(Form_main->dxDBTreeList1->isEnabled());
    EXPECT_FALSE(Form_main->FlatCheckBox_setpass->isChecked());
    // Logging in anyway compares: the empty password matches the empty box.
    auto* page = dynamic_cast<TFrame_welcome*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    page->FlatButton_reg->click();
    EXPECT_TRUE(boxes.asked.empty());
    page->FlatEdit_pass->setText("x");
    page->FlatButton_reg->click();
    EXPECT_EQ(boxes.asked.size(), 1u);
}

TEST_F(MainWindowTest, ThePasswordChangesOnlyWithTheOldOne) {
    TTempDir program;
    UseShippedTables(program);
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    Form_main->FlatButton_PassSet->click();
    auto* page = dynamic_cast<TFrame_chgpass*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->Label1->text(), "欢迎使用<<WindowsQuorvane>>密码设置选项!");
    EXPECT_EQ(page->FlatEdit_newpass->echoMode(), QLineEdit::Password);
    // No password yet: an empty old one lets a new one in.
    page->FlatEdit_newpass->setText("新的 pass");
    page->FlatButton1->click();
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(boxes.asked[0], "information: 密码修改成功,谢谢使用!");
    EXPECT_EQ(quorvane::codepage::ToUtf8(PasswordRow(program.Dir()).second), "新的 pass");
    EXPECT_EQ(page->FlatEdit_newpass->text(), "新的 pass");  // the boxes keep their texts
    // A wrong old password changes nothing and empties both boxes.
    page->FlatEdit_pass->setText("wrong");
    page->FlatEdit_newpass->setText("other");
    page->FlatButton1->click();
    ASSERT_EQ(boxes.asked.size(), 2u);
    EXPECT_EQ(boxes.asked[1], "warning: 对不起您输入的旧密码有误,请检查您的输入是否正确!");
    EXPECT_TRUE(page->FlatEdit_pass->text().isEmpty());
    EXPECT_TRUE(page->FlatEdit_newpass->text().isEmpty());
    EXPECT_EQ(quorvane::codepage::ToUtf8(PasswordRow(program.Dir()).second), "新的 pass");
    // A long new password is kept to the 200 characters of its field.
    page->FlatEdit_pass->setText("新的 pass");
    page->FlatEdit_newpass->setText(QString(250, 'p'));
    page->FlatButton1->click();
    EXPECT_EQ(PasswordRow(program.Dir()).second, std::string(200, 'p'));
    page->FlatEdit_pass->setText("x");
    page->FlatButton_cancel->click();
    EXPECT_TRUE(page->FlatEdit_pass->text().isEmpty());
}

// Detail rows for test items, appended to the copied vrqdtl before the program starts:
// each row is rootkey, path, keyname, keytype, info (and bk1, bk2).
void AddDetailRows(const std::string& dir, std::int32_t keyid, const std::vector<std::vector<std::string>>& rows) {
    reruzo::TRERUZOTable t;
    t.SetDatabaseName(dir);
    t.SetTableName("vrqdtl");
    t.Open();
    static const char* kColumns[] = {"rootkey", "path", "keyname", "keytype", "info", "bk1", "bk2"};
    for (const auto& row : rows) {
        t.Append();
        t.FieldByName("keyid").SetAsInteger(keyid);
        for (std::size_t i = 0; i < row.size(); ++i) {
            t.FieldByName(kColumns[i]).SetAsString(quorvane::codepage::FromUtf8(row[i]).value());
        }
        t.Post();
    }
    t.Close();
}

std::vector<std::string> Column(reruzo::TRERUZOTable& t, const char* name) {
    std::vector<std::string> out;
    for (t.First(); !t.Eof(); t.Next()) out.push_back(quorvane::codepage::ToUtf8(t.FieldByName(name).AsString()));
    return out;
}

class RegistryRepairTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        CopyTable("vrqinfo", program);
        CopyTable("vrqdtl", program);
        fs::current_path(program.Dir());
        std::ofstream(store.File("user.reg")) << "WINE REGISTRY Version 2\n"
                                                ";; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
                                                "#arch=win64\n\n"
                                                "[Software\\\\Quorvane Test] 1700000000\n"
                                                "\"Gone\"=\"bye\"\n"
                                                "\"Title\"=\"Old title\"\n\n"
                                                "[Software\\\\Quorvane Test\\\\Sub] 1700000000\n"
                                                "\"X\"=dword:00000001\n";
        std::ofstream(store.File("system.reg")) << "WINE REGISTRY Version 2\n"
                                                  ";; All keys relative to \\\\Machine\n\n"
                                                  "#arch=win64\n\n"
                                                  "[Software\\\\Quorvane Test] 1700000000\n"
                                                  "\"Blob\"=hex:ff\n";
        const std::string dir = store.Dir();
        TForm_main::OpenRegistryStore = [dir] { return quorvane::registry::OpenWineStore(dir, false); };
    }
    quorvane::registry::TRegistry Registry() {
        return quorvane::registry::TRegistry(quorvane::registry::OpenWineStore(store.Dir(), false));
    }
    TTempDir program, store;
};

TEST_F(RegistryRepairTest, ApplyingCapturesOnceAndRestoringBringsTheOldValuesBack) {
    AddDetailRows(program.Dir(), 9001,
                  {{"currusr", "Software\\Quorvane Test", "Title", "str", "新标题"},
                   {"currusr", "Software\\Quorvane Test", "Count", "dword", "$FFFFFFFF"},
                   {"machine", "Software\\Quorvane Test", "Blob", "bin", "0A1F"},
                   {"misspelt", "Software\\Quorvane Test\\Odd", "OddBin", "bin", "ABC"},
                   {"currusr", "Software\\Quorvane Test", "Gone", "delval", ""},
                   {"currusr", "Software\\Quorvane Test", "Sub", "delkey", ""},
                   {"currusr", "Software\\Quorvane Test", "Empty", "bin", ""}});
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    Cur_Title = quorvane::codepage::FromUtf8("测试项目").value();
    Form_main->Udf_CreatPanel(9001, "single");
    auto* page = dynamic_cast<TFrame_singl*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    page->FrameResize();  // as when the page gets its size
    EXPECT_EQ(page->Label_Title->text(), "测试项目");
    EXPECT_EQ(page->FlatButton_Set->text(), "确 定");

    boxes.answers = {true, false};  // apply, but no restart
    page->FlatButton_Set->click();
    ASSERT_EQ(boxes.asked.size(), 2u);
    EXPECT_EQ(boxes.asked[0], "confirm: 您将要更新选定的内容!是否继续?");
    EXPECT_EQ(boxes.asked[1], "confirm: 系统更新成功,必须重新启动电脑才能生效!是否继续?");
    {
        auto r = Registry();
        r.OpenKey("Software\\Quorvane Test", false);
        EXPECT_EQ(quorvane::codepage::ToUtf8(r.ReadString("Title")), "新标题");
        EXPECT_EQ(r.ReadInteger("Count"), -1);  // all 32 bits set
        EXPECT_FALSE(r.ValueExists("Gone"));
        EXPECT_EQ(r.ReadBinaryData("Empty"), std::vector<std::uint8_t>{});
        EXPECT_TRUE(r.ValueExists("Empty"));
        EXPECT_FALSE(r.OpenKey("Software\\Quorvane Test\\Sub", false));
        r.SetRootKey(quorvane::registry::HKEY_LOCAL_MACHINE);
        r.OpenKey("Software\\Quorvane Test", false);
        EXPECT_EQ(r.ReadBinaryData("Blob"), (std::vector<std::uint8_t>{0x0A, 0x1F}));
        // A misspelt root key keeps the one before it.
        ASSERT_TRUE(r.OpenKey("Software\\Quorvane Test\\Odd", false));
        EXPECT_EQ(r.ReadBinaryData("OddBin"), (std::vector<std::uint8_t>{0xAB, 0x0C}));
    }
    reruzo::TRERUZOTable& dtl = Form_main->DT_dtl;
    EXPECT_EQ(Column(dtl, "oldinfo"), (std::vector<std::string>{"Old title", "", "FF", "", "Gone", "", ""}));

    // Restoring writes the captured values back and stops at the first row it cannot
    // convert: the DWORD had no old value.
    boxes.asked.clear();
    boxes.answers = {true};
    try {
        page->FlatButton_Rst->click();
        ADD_FAILURE() << "the empty DWORD text was accepted";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
    EXPECT_EQ(boxes.asked, std::vector<std::string>{"confirm: 您将要还原选定的内容!是否继续?"});
    {
        auto r = Registry();
        r.OpenKey("Software\\Quorvane Test", false);
        EXPECT_EQ(r.ReadString("Title"), "Old title");
        EXPECT_EQ(r.ReadInteger("Count"), -1);
    }

    // Applying again keeps every captured value; what the first run created is
    // captured now, since it exists and nothing was captured for it.
    boxes.answers = {true, false};
    page->FlatButton_Set->click();
    EXPECT_EQ(Column(dtl, "oldinfo"), (std::vector<std::string>{"Old title", "-1", "FF", "AB0C", "Gone", "", ""}));
    boxes.answers = {true, false};
    page->FlatButton_Rst->click();
    auto r = Registry();
    r.OpenKey("Software\\Quorvane Test", false);
    EXPECT_EQ(r.ReadString("Title"), "Old title");
    r.SetRootKey(quorvane::registry::HKEY_LOCAL_MACHINE);
    r.OpenKey("Software\\Quorvane Test", false);
    EXPECT_EQ(r.ReadBinaryData("Blob"), std::vector<std::uint8_t>{0xFF});
}

TEST_F(RegistryRepairTest, TheListPageListsEntriesAndDeletesTheChosenOnesAfterABackup) {
    const std::string run = "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run";
    std::ofstream(store.File("user.reg"), std::ios::app)
        << "\n[" << run << "] 1700000000\n\"Tool\"=\"C:\\\\tool.exe\"\n\"\\x574f\\x7a0b\\x5e8f\"=\"C:\\\\bad.exe /q\"\n";
    std::ofstream(store.File("system.reg"), std::ios::app)
        << "\n[" << run << "] 1700000000\n\"Tool\"=\"C:\\\\machine.exe\"\n"
        << "\n[Software\\\\Wow6432Node\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\RunOnce] 1700000000\n"
           "\"Once\"=hex(2):25,00,00,00\n";
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    Cur_Title = quorvane::codepage::FromUtf8("开机启动项列表").value();
    Form_main->Udf_CreatPanel(82, "list");
    auto* page = dynamic_cast<TFrame_list*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    page->FrameResize();
    EXPECT_EQ(page->Label_title->text(), "开机启动项列表");
    ASSERT_EQ(page->FlatListBox_List->count(), 4);
    EXPECT_EQ(page->FlatListBox_List->item(0)->text(),
              "Tool = C:\\tool.exe    (HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run)");
    EXPECT_EQ(page->FlatListBox_List->item(1)->text().toStdString().substr(0, 25), "坏程序 = C:\\bad.exe /q");
    EXPECT_EQ(page->FlatListBox_List->item(3)->toolTip(),
              "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce\\Once");

    // Nothing chosen: a warning. Declined: nothing goes.
    page->FlatButton2->click();
    page->FlatListBox_List->item(1)->setSelected(true);
    page->FlatListBox_List->item(3)->setSelected(true);
    boxes.answers = {false};
    page->FlatButton2->click();
    ASSERT_EQ(boxes.asked.size(), 2u);
    EXPECT_EQ(boxes.asked[0], "warning: 请先选择要删除的项!");
    EXPECT_EQ(boxes.asked[1], "confirm: 您将要删除选定的2项!是否继续?");
    EXPECT_EQ(page->FlatListBox_List->count(), 4);

    // Confirmed: a backup first, then the two entries go; the list is read again.
    boxes.asked.clear();
    page->FlatButton2->click();
    ASSERT_EQ(boxes.asked.size(), 2u);
    const fs::path backups = fs::path(userData.Dir()) / "quorvane" / "backup";
    std::vector<fs::path> files;
    for (const auto& f : fs::directory_iterator(backups)) files.push_back(f.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(boxes.asked[1], "information: 已删除2项。删除前的内容已保存在 " + files[0].string() +
                                  " ,可以用注册表编辑器或 reg import 导入恢复。");
    EXPECT_EQ(files[0].filename().string().substr(0, 7), "item82-");
    std::ifstream in(files[0], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::u16string text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(quorvane::registry::text::ToUtf8(text),
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
              "\"坏程序\"=\"C:\\\\bad.exe /q\"\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce]\r\n"
              "\"Once\"=hex(2):25,00,00,00\r\n\r\n");
    ASSERT_EQ(page->FlatListBox_List->count(), 2);
    EXPECT_EQ(page->FlatListBox_List->selectedItems().size(), 0);
    page->FlatButton1->click();  // 全 选
    EXPECT_EQ(page->FlatListBox_List->selectedItems().size(), 2);
    auto r = Registry();
    ASSERT_TRUE(r.OpenKey("Software\\Microsoft\\Windows\\CurrentVersion\\Run", false));
    EXPECT_TRUE(r.ValueExists("Tool"));
    EXPECT_FALSE(r.ValueExists(quorvane::codepage::FromUtf8("坏程序").value()));
}

TEST_F(RegistryRepairTest, CancelChangesNothingAndAnItemWithoutRowsStillAsks) {
    AddDetailRows(program.Dir(), 9002, {{"currusr", "Software\\Quorvane Test", "Title", "str", "x"}});
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    Form_main->Udf_CreatPanel(9002, "single");
    boxes.answers = {false};
    Form_main->Reg_Modify("");
    EXPECT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(Registry().OpenKey("Software\\Quorvane Test", false), true);
    {
        auto r = Registry();
        r.OpenKey("Software\\Quorvane Test", false);
        EXPECT_EQ(r.ReadString("Title"), "Old title");
    }
    boxes.asked.clear();
    Form_main->Udf_CreatPanel(9999, "single");  // no rows
    Form_main->Reg_Modify("");
    EXPECT_EQ(boxes.asked.size(), 2u);
}

TEST_F(RegistryRepairTest, TheValueChangePageWritesTheChosenValue) {
    AddDetailRows(program.Dir(), 9003,
                  {{"currusr", "Control Panel\\Desktop", "MenuShowDelay", "str", "task", "100", "500"}});
    AddDetailRows(program.Dir(), 9004, {{"currusr", "Software\\Quorvane Test", "Home", "str", "str"}});
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    Form_main->Udf_CreatPanel(9003, "chg");
    auto* page = dynamic_cast<TFrame_chg*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    page->FrameResize();
    EXPECT_TRUE(page->TrackBar_info->isVisibleTo(page));
    EXPECT_FALSE(page->FlatEdit_info->isVisibleTo(page));
    EXPECT_EQ(page->TrackBar_info->minimum(), 100);
    EXPECT_EQ(page->TrackBar_info->maximum(), 500);
    EXPECT_EQ(page->TrackBar_info->geometry(), QRect(40, 283, 305, page->TrackBar_info->height()));
    page->TrackBar_info->setValue(250);
    EXPECT_EQ(page->TrackBar_info->toolTip(), "250");
    boxes.answers = {true, false};
    page->FlatButton1->click();
    {
        auto r = Registry();
        r.OpenKey("Control Panel\\Desktop", false);
        EXPECT_EQ(r.ReadString("MenuShowDelay"), "250");
    }
    // A text item without text warns and writes nothing.
    Form_main->Udf_CreatPanel(9004, "chg");
    page = dynamic_cast<TFrame_chg*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    page->FrameResize();
    boxes.asked.clear();
    page->FlatButton1->click();
    EXPECT_EQ(boxes.asked, std::vector<std::string>{"warning: 对不起,您还没有选择要更新为什么内容,请输入更新内容!"});
    page->FlatEdit_info->setText("http://www.example.com/起始页");
    boxes.answers = {true, false};
    page->FlatButton1->click();
    auto r = Registry();
    r.OpenKey("Software\\Quorvane Test", false);
    EXPECT_EQ(quorvane::codepage::ToUtf8(r.ReadString("Home")), "http://www.example.com/起始页");
}

TEST(RegistryText, BinaryTextDecodesTwoDigitsAByte) {
    EXPECT_EQ(DecodeBinaryText("0A1F"), (std::vector<std::uint8_t>{0x0A, 0x1F}));
    EXPECT_EQ(DecodeBinaryText("ABC"), (std::vector<std::uint8_t>{0xAB, 0x0C}));
    EXPECT_EQ(DecodeBinaryText("ABCDE"), (std::vector<std::uint8_t>{0xAB, 0xCD}));  // 2.5 rounds to 2
    EXPECT_EQ(DecodeBinaryText("A"), std::vector<std::uint8_t>{});                   // 0.5 rounds to 0
    EXPECT_EQ(DecodeBinaryText(""), std::vector<std::uint8_t>{});
    EXPECT_EQ(EncodeBinaryText({0x0A, 0xFF}), "0AFF");
    try {
        DecodeBinaryText("0G");
        ADD_FAILURE() << "accepted";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "'$0G' is not a valid integer value");
    }
    EXPECT_EQ(quorvane::repair::FileOfCommandLine("\"C:\\Program Files\\x.exe\" /a"), "C:\\Program Files\\x.exe");
    EXPECT_EQ(quorvane::repair::FileOfCommandLine("notepad.exe %1"), "notepad.exe");
}


TEST_F(MainWindowTest, CloseButtonClosesTheWindow) {
    TTempDir program;
    UseShippedTables(program);
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(Form_main, window.get());
    EXPECT_TRUE(Form_main->isVisible());
    EXPECT_EQ(Form_main->FlatButton_close->text(), "关 闭");
    EXPECT_EQ(Form_main->FlatButton_close->size(), QSize(60, 25));
    Form_main->FlatButton_close->click();
    EXPECT_FALSE(Form_main->isVisible());
}

// The search page against the shipped knowledge base: every count is checked against
// a scan of vrqinfo done here, by the characters of the texts.
TEST_F(MainWindowTest, TheSearchPageFindsItemsContainingTheTextExactlyAsTyped) {
    TTempDir program;
    UseShippedTables(program);
    auto window = StartQuorvane(program.Dir());
    ASSERT_NE(window, nullptr);
    const auto info = quorvane::testing::ReadTable(program.Dir(), "vrqinfo");
    // Items that are no category and whose name (or description) holds `text`.
    auto expected = [&](const QString& text, bool byName) {
        std::vector<std::int64_t> ids;
        const std::string field = byName ? "title" : "intro";
        for (std::size_t row = 0; row < info.records.size(); ++row) {
            if (info.Integer(row, "parent") == -1 || info.IsNull(row, field)) continue;
            if (QString::fromStdString(quorvane::codepage::ToUtf8(info.Text(row, field))).contains(text)) {
                ids.push_back(info.Integer(row, "id"));
            }
        }
        return ids;
    };
    std::int64_t category = 0;
    for (std::size_t row = 0; row < info.records.size(); ++row) {
        if (info.Integer(row, "parent") == -1) category = info.Integer(row, "id");
    }
    // Selecting a category in the tree shows the search page.
    for (QTreeWidgetItemIterator it(Form_main->dxDBTreeList1); *it; ++it) {
        if ((*it)->text(1).toStdString() == std::to_string(category)) Form_main->dxDBTreeList1->setCurrentItem(*it);
    }
    QApplication::processEvents();
    auto* page = dynamic_cast<TFrame_qry*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->Label1->text(), "故障信息模糊查询：");
    EXPECT_EQ(page->FlatCheckBox1->text(), "按内容");
    EXPECT_FALSE(page->FlatCheckBox1->isChecked());
    EXPECT_EQ(page->FlatEdit_Qry->width(), 209);
    EXPECT_EQ(page->FlatButton1->size(), QSize(30, 18));
    EXPECT_FALSE(page->FlatButton1->icon().isNull());
    auto* grid = page->dxDBGrid1;
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "名 称");
    EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "内 容 介 绍");
    EXPECT_EQ(grid->columnWidth(0), 100);
    EXPECT_EQ(grid->columnWidth(1), 295);
    EXPECT_EQ(grid->rowCount(), 0);  // nothing searched yet
    EXPECT_FALSE(Form_main->DQ_qry.Active());
    // A double click before any search: the closed query has no fields.
    try {
        page->dxDBGrid1DblClick();
        ADD_FAILURE() << "a double click on a closed query opened something";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Field 'title' not found");
    }

    // The ids the grid lists, in its order.
    auto listed = [&] {
        std::vector<std::int64_t> ids;
        reruzo::TRERUZOQuery& q = Form_main->DQ_qry;
        for (q.First(); !q.Eof(); q.Next()) ids.push_back(q.FieldByName("id").AsInteger());
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(grid->rowCount(), static_cast<int>(ids.size()));
        EXPECT_EQ(grid->Footer()->text(), QStringLiteral("共有%1条修复信息").arg(ids.size()));
        q.First();
        return ids;
    };
    auto search = [&](const QString& text) {
        page->FlatEdit_Qry->setText(text);
        page->FlatButton1->click();
        return listed();
    };

    // By description (unchecked), then by name.
    const QString browser = QStringLiteral("浏览器");
    ASSERT_FALSE(expected(browser, false).empty());
    EXPECT_EQ(search(browser), expected(browser, false));
    page->FlatCheckBox1->click();
    EXPECT_EQ(page->FlatCheckBox1->text(), "按名称");
    ASSERT_FALSE(expected("IE", true).empty());
    EXPECT_EQ(search("IE"), expected("IE", true));
    const std::vector<std::int64_t> ieItems = expected("IE", true);
    // The empty text lists every item that is no category.
    EXPECT_EQ(search(""), expected("", true));
    EXPECT_GT(expected("", true).size(), ieItems.size());

    // Texts that would change a pasted statement, wildcards, a character the code page
    // cannot hold, a very long text: each finds exactly the items that hold it.
    for (const QString& text : {QStringLiteral("O'Brien"), QStringLiteral("%"), QStringLiteral("_"),
                                QStringLiteral("'; drop table vrqinfo; --"), QStringLiteral("\\"),
                                QStringLiteral("   "), QStringLiteral("I_"), QStringLiteral("😀"),
                                QString(5000, QLatin1Char('a')), QStringLiteral("器"), QStringLiteral("''")}) {
        for (bool byName : {true, false}) {
            if (page->FlatCheckBox1->isChecked() != byName) page->FlatCheckBox1->click();
            EXPECT_EQ(search(text), expected(text, byName)) << text.left(40).toStdString() << (byName ? " in names" : "");
        }
    }
    EXPECT_TRUE(boxes.asked.empty()) << boxes.asked.front();
    EXPECT_EQ(quorvane::testing::ReadTable(program.Dir(), "vrqinfo").records, info.records);

    // Enter searches and leaves the whole text selected.
    page->FlatCheckBox1->click();
    ASSERT_TRUE(page->FlatCheckBox1->isChecked());
    page->FlatEdit_Qry->setText("IE");
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(page->FlatEdit_Qry, &enter);
    EXPECT_EQ(page->FlatEdit_Qry->selectedText(), "IE");
    EXPECT_EQ(listed(), ieItems);
    // The footer sits inside the grid, below the rows, under the descriptions.
    Form_main->show();
    QApplication::processEvents();
    EXPECT_TRUE(grid->Footer()->isVisible());
    EXPECT_TRUE(grid->rect().contains(grid->Footer()->geometry()));
    EXPECT_GE(grid->Footer()->geometry().top(), grid->viewport()->geometry().bottom());
    EXPECT_EQ(grid->Footer()->width(), 295);

    // A page made later shows the last result until its own search.
    Form_main->Udf_CreatPanel(static_cast<std::int32_t>(category), "");
    page = dynamic_cast<TFrame_qry*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    grid = page->dxDBGrid1;
    EXPECT_EQ(listed(), ieItems);

    // A double click opens the item of the row the grid stands on, after the event;
    // the tree keeps its node.
    QTreeWidgetItem* node = Form_main->dxDBTreeList1->currentItem();
    ASSERT_NE(node, nullptr);
    grid->setCurrentCell(grid->rowCount() - 1, 0);
    reruzo::TRERUZOQuery& q = Form_main->DQ_qry;
    const std::int64_t id = q.FieldByName("id").AsInteger();
    const std::string title = q.FieldByName("title").AsString();
    const std::string type = q.FieldByName("type").AsString();
    QPointer<QWidget> searchPage(page);
    page->dxDBGrid1DblClick();
    EXPECT_EQ(Cur_Page, searchPage.data());  // not destroyed inside its own event
    QApplication::processEvents();
    EXPECT_TRUE(searchPage.isNull());
    EXPECT_EQ(Cur_Title, title);
    EXPECT_EQ(Form_main->DT_dtl.Filter(), "keyid=" + std::to_string(id));
    EXPECT_EQ(Form_main->dxDBTreeList1->currentItem(), node);
    if (type == "single") {
        EXPECT_NE(dynamic_cast<TFrame_singl*>(Cur_Page), nullptr);
    } else if (type == "chg") {
        EXPECT_NE(dynamic_cast<TFrame_chg*>(Cur_Page), nullptr);
    }

    // On an empty result the double click opens item 0 of no type: a new search page.
    Form_main->Udf_CreatPanel(static_cast<std::int32_t>(category), "");
    page = dynamic_cast<TFrame_qry*>(Cur_Page);
    ASSERT_NE(page, nullptr);
    page->FlatEdit_Qry->setText("no item holds this text");
    page->FlatButton1->click();
    EXPECT_EQ(page->dxDBGrid1->rowCount(), 0);
    page->dxDBGrid1DblClick();
    QApplication::processEvents();
    EXPECT_NE(dynamic_cast<TFrame_qry*>(Cur_Page), nullptr);
    EXPECT_NE(Cur_Page, page);
    EXPECT_EQ(Form_main->DT_dtl.Filter(), "keyid=0");
    EXPECT_EQ(Cur_Title, "");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // No screen is needed: windows are laid out and painted off screen.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TQuorvaneApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
