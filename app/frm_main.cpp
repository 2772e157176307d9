// Layout, components and start-up of the main window.
#include "app/frm_main.h"

#include "app/pages.h"
#include "app/pages_password.h"
#include "app/pages_repair.h"
#include "app/pages_search.h"
#include "ui/message_boxes.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QVBoxLayout>

TForm_main* Form_main = nullptr;
QWidget* Cur_Page = nullptr;
std::string Cur_Title;
std::string Cur_Intro;

namespace {

using reruzo::TFieldDef;
using reruzo::TFieldType;

QIcon Picture(const char* name) { return QIcon(QStringLiteral(":/pictures/%1.xpm").arg(name)); }

QFont ProgramFont() {
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                      QStringLiteral("WenQuanYi Zen Hei")});
    font.setPointSize(9);
    return font;
}

TFieldDef Def(const char* name, TFieldType type, int size = 0, bool required = false) {
    TFieldDef d;
    d.Name = name;
    d.DataType = type;
    d.Size = size;
    d.Required = required;
    return d;
}

}  // namespace

TForm_main::TForm_main(std::string programDirectory, QWidget* parent)
    : QWidget(parent), programDirectory_(std::move(programDirectory)) {
    setWindowTitle(QStringLiteral("QuorvaneV1.01"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(ProgramFont());
    setFixedSize(688, 453);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    DefineTables();
    BuildLayout();

    // The detail tables are stored open: they open with the window, in the default
    // directory of the engine session.
    DT_dtl.Open();
    DT_Pass.Open();
    Form_main = this;
}

TForm_main::~TForm_main() {
    if (Form_main == this) Form_main = nullptr;
    delete Cur_Page;
    Cur_Page = nullptr;
}

void TForm_main::DefineTables() {
    DDB_main.SetDatabaseName("info");
    DDB_main.SetSessionName("Default");

    DT_main.SetDatabaseName("info");
    DT_main.SetTableName("vrqinfo");
    DT_main.SetStoreDefs(true);
    DT_main.StoredFieldDefs() = {Def("id", TFieldType::ftAutoInc), Def("parent", TFieldType::ftInteger),
                                 Def("imgid", TFieldType::ftInteger), Def("title", TFieldType::ftString, 40),
                                 Def("intro", TFieldType::ftString, 250), Def("type", TFieldType::ftString, 20)};
    DT_main.IndexDefs() = {{"DT_mainIndex1", "id", true, true}};
    DS_main.SetDataSet(&DT_main);

    const std::vector<TFieldDef> detailDefs = {
        Def("oldinfo", TFieldType::ftString, 200), Def("id", TFieldType::ftAutoInc),
        Def("keyid", TFieldType::ftInteger),       Def("path", TFieldType::ftString, 200),
        Def("keyname", TFieldType::ftString, 50),  Def("keytype", TFieldType::ftString, 10),
        Def("info", TFieldType::ftString, 200),    Def("rootkey", TFieldType::ftString, 10),
        Def("bk1", TFieldType::ftString, 20),      Def("bk2", TFieldType::ftString, 20)};
    const std::vector<reruzo::TIndexDef> detailIndexes = {{"", "id", true, true},
                                                          {"key", "keyid", false, false}};
    DT_dtl.SetTableName("vrqdtl");
    DT_dtl.SetIndexName("key");
    DT_dtl.SetStoreDefs(true);
    DT_dtl.StoredFieldDefs() = detailDefs;
    DT_dtl.IndexDefs() = detailIndexes;

    // The search query, closed until the first search.
    DQ_qry.SetDatabaseName("info");
    DQ_qry.SQL().Add("select * from vrqinfo");
    DQ_qry.SetMaxRowCount(-1);
    DS_Qry.SetDataSet(&DQ_qry);

    DT_Pass.SetTableName("vrqdtl");
    DT_Pass.SetFilter("keyid=0");
    DT_Pass.SetFiltered(true);
    DT_Pass.SetStoreDefs(true);
    DT_Pass.StoredFieldDefs() = detailDefs;
    DT_Pass.IndexDefs() = detailIndexes;
}

void TForm_main::BuildLayout() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    // Header: "Windows " in large bold italic, the product name beside it, the icon
    // at the right and a rule below.
    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(65);
    Panel1->setAutoFillBackground(true);
    QPalette white = Panel1->palette();
    white.setColor(QPalette::Window, Qt::white);
    Panel1->setPalette(white);
    auto* label1 = new QLabel(QStringLiteral("Windows "), Panel1);
    label1->setObjectName(QStringLiteral("Label1"));
    QFont big = font();
    big.setPixelSize(27);
    big.setBold(true);
    big.setItalic(true);
    big.setFamilies({QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    label1->setFont(big);
    label1->adjustSize();
    label1->move(12, 14);
    auto* label2 = new QLabel(QStringLiteral("--Quorvane V1.02"), Panel1);
    label2->setObjectName(QStringLiteral("Label2"));
    QFont bold = font();
    bold.setBold(true);
    label2->setFont(bold);
    label2->adjustSize();
    label2->move(label1->x() + label1->width(), label1->y() + label1->height() - label2->height() - 4);
    auto* icon = new QLabel(Panel1);
    icon->setObjectName(QStringLiteral("Image1"));
    icon->setPixmap(Picture("header").pixmap(32, 32));
    icon->setGeometry(688 - 32 - 16, 14, 32, 32);
    auto* rule = new QFrame(Panel1);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setGeometry(8, 54, 688 - 16, 2);
    outer->addWidget(Panel1);

    // Tree | splitter | page area.
    FlatSplitter1 = new quorvane::ui::TFlatSplitter(5, this);
    dxDBTreeList1 = new quorvane::ui::TDBTreeList(FlatSplitter1);
    dxDBTreeList1->setObjectName(QStringLiteral("dxDBTreeList1"));
    dxDBTreeList1->SetKeyField("id");
    dxDBTreeList1->SetParentField("parent");
    dxDBTreeList1->SetRootValue("-1");
    dxDBTreeList1->SetImageIndexField("imgid");
    dxDBTreeList1->SetDisplayColumn("title", QStringLiteral("修复项目"), 220);
    dxDBTreeList1->SetImages({Picture("node0"), Picture("node1"), Picture("node2")});
    dxDBTreeList1->SetDataSource(&DS_main);
    dxDBTreeList1->OnChangeNode = [this] { dxDBTreeList1ChangeNode(); };
    Panel_Client = new QWidget(FlatSplitter1);
    Panel_Client->setObjectName(QStringLiteral("Panel_Client"));
    auto* pageLayout = new QVBoxLayout(Panel_Client);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    FlatSplitter1->addWidget(dxDBTreeList1);
    FlatSplitter1->addWidget(Panel_Client);
    FlatSplitter1->setSizes({224, 688 - 224 - 5});
    FlatSplitter1->setStretchFactor(1, 1);
    outer->addWidget(FlatSplitter1, 1);

    // Bottom bar: password switch at the left, help and close at the right edge.
    Panel3 = new QWidget(this);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setFixedHeight(41);
    auto* bar = new QHBoxLayout(Panel3);
    bar->setContentsMargins(8, 8, 8, 8);
    bar->setSpacing(8);
    FlatCheckBox_setpass = new quorvane::ui::TFlatCheckBox(
        QStringLiteral("运行《Quorvane》时需要输入密码!"), Panel3);
    FlatButton_PassSet = new quorvane::ui::TFlatButton(QStringLiteral("密码设置"), Panel3);
    FlatButton_help = new quorvane::ui::TFlatButton(QStringLiteral("帮 助"), Panel3);
    FlatButton_close = new quorvane::ui::TFlatButton(QStringLiteral("关 闭"), Panel3);
    for (QPushButton* b : {static_cast<QPushButton*>(FlatButton_PassSet),
                           static_cast<QPushButton*>(FlatButton_help),
                           static_cast<QPushButton*>(FlatButton_close)}) {
        b->setFixedSize(60, 25);
    }
    bar->addWidget(FlatCheckBox_setpass);
    bar->addSpacing(12);
    bar->addWidget(FlatButton_PassSet);
    bar->addStretch(1);
    bar->addWidget(FlatButton_help);
    bar->addWidget(FlatButton_close);
    outer->addWidget(Panel3);
    connect(FlatButton_close, &QPushButton::clicked, this, [this] { FlatButton_closeClick(); });
    connect(FlatButton_help, &QPushButton::clicked, this, [this] { FlatButton_helpClick(); });
    connect(FlatButton_PassSet, &QPushButton::clicked, this, [this] { FlatButton_PassSetClick(); });
    connect(FlatCheckBox_setpass, &QCheckBox::toggled, this, [this] { FlatCheckBox_setpassClick(); });
}

void TForm_main::FormShow() {
    DDB_main.Close();
    DDB_main.SetDirectory(ProgramDirectory());
    DDB_main.Open();
    DT_main.Open();  // fills the tree
    DT_dtl.Open();
    DT_Pass.Open();
    // The password flag: exactly "yes" locks the tree and the password controls
    // until the log-in. Checking the box stores the flag again, as a click would.
    const bool locked = DT_Pass.FieldByName("oldinfo").AsString() == "yes";
    FlatCheckBox_setpass->setChecked(locked);
    FlatCheckBox_setpass->setEnabled(!locked);
    FlatButton_PassSet->setEnabled(!locked);
    dxDBTreeList1->setEnabled(!locked);
    DT_Pass.Close();
    ShowPage([this] { return new TFrame_welcome(this, *this); });
}

std::string TForm_main::ProgramDirectory() const {
    std::string dir = programDirectory_;
    if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir += '/';
    return dir;
}

void TForm_main::Unlock() {
    dxDBTreeList1->setEnabled(true);
    FlatCheckBox_setpass->setEnabled(true);
    FlatButton_PassSet->setEnabled(true);
}

void TForm_main::FlatCheckBox_setpassClick() {
    const std::string flag = FlatCheckBox_setpass->isChecked() ? "yes" : "no";
    DT_Pass.Open();
    try {
        DT_Pass.Edit();
        DT_Pass.FieldByName("oldinfo").SetAsString(flag);
        DT_Pass.Post();
    } catch (...) {
        DT_Pass.Close();
        throw;
    }
    DT_Pass.Close();
}

void TForm_main::dxDBTreeList1ChangeNode() {
    Cur_Title = DT_main.FieldByName("title").AsString();
    Cur_Intro = DT_main.FieldByName("intro").AsString();
    const std::string type = DT_main.FieldByName("type").AsString();
    const std::int32_t id = DT_main.FieldByName("id").AsInteger();
    Udf_CreatPanel(id, type);
}

void TForm_main::Udf_CreatPanel(std::int32_t id, const std::string& type) {
    // The detail table shows the item's rows, in the order of its index "key", from
    // the first of them.
    DT_dtl.SetFiltered(false);
    DT_dtl.SetFilter("keyid=" + std::to_string(id));
    DT_dtl.SetFiltered(true);
    ShowPage([this, &type] { return CreatePage(type); });
}

QWidget* TForm_main::CreatePage(const std::string& type) {
    // The type is compared exactly, letter case included; every other type, the
    // empty one too, shows the search page.
    if (type == "single") return new TFrame_singl(this, *this);
    if (type == "list") return new TFrame_list(this, *this);
    if (type == "chg") return new TFrame_chg(this, *this);
    return new TFrame_qry(this, *this);
}

void TForm_main::FlatButton_PassSetClick() {
    ShowPage([this] { return new TFrame_chgpass(this, *this); });
}

void TForm_main::FlatButton_closeClick() { close(); }

void TForm_main::ShowPage(const std::function<QWidget*()>& create) {
    // Exactly one page exists at a time: the old one goes before the new one is made.
    // A page that fails to come up leaves the page area empty.
    delete std::exchange(Cur_Page, nullptr);
    QWidget* page = create();
    Cur_Page = page;
    if (!page) return;
    page->setParent(Panel_Client);
    Panel_Client->layout()->addWidget(page);
    page->show();
}

void TForm_main::FlatButton_helpClick() {
    ShowPage([this] { return new TFrame_help(this); });
}

// ---- Registry repair and restore ---------------------------------------------------------

namespace {

// The repair item's questions, asked in confirmation boxes over the window.
class TBoxQuestions : public quorvane::repair::TRepairQuestions {
public:
    explicit TBoxQuestions(QWidget* parent) : boxes_(quorvane::ui::MessageBoxes()), parent_(parent) {}
    bool Confirm(const std::string& question) override {
        return boxes_.Confirm(parent_, QString::fromUtf8(question.data(), static_cast<qsizetype>(question.size())));
    }

private:
    quorvane::ui::TMessageBoxes& boxes_;
    QWidget* parent_;
};

}  // namespace

quorvane::repair::TRegistryStoreFactory& TForm_main::OpenRegistryStore = quorvane::repair::OpenRegistryStore;

void TForm_main::Reg_Modify(const std::string& value) {
    TBoxQuestions questions(this);
    quorvane::repair::TRepairItem(DT_dtl, questions, OpenRegistryStore).Apply(value);
}

void TForm_main::Reg_Restore() {
    TBoxQuestions questions(this);
    quorvane::repair::TRepairItem(DT_dtl, questions, OpenRegistryStore).Restore();
}
