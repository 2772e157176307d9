// The list page and the about page, and the helpers the pages share: the conversion of
// texts between the tables' code page and the screen, and the horizontal rule.
#include "app/pages.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QUrl>
#include <QVBoxLayout>

#include "app/page_host.h"
#include "app/repair/repair_item.h"
#include "ui/message_boxes.h"

namespace {

// A label that reports clicks.
class TLinkLabel : public QLabel {
public:
    TLinkLabel(const QString& text, QWidget* parent, std::function<void()> onClick)
        : QLabel(text, parent), onClick_(std::move(onClick)) {
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onClick_) onClick_();
        QLabel::mouseReleaseEvent(event);
    }

private:
    std::function<void()> onClick_;
};

}  // namespace

QFrame* HorizontalRule(QWidget* parent, int width) {
    auto* rule = new QFrame(parent);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    if (width > 0) rule->setFixedWidth(width);
    return rule;
}

// ---- List page -----------------------------------------------------------------------------

TFrame_list::TFrame_list(QWidget* owner, TPageHost& host) : QWidget(owner), host_(host) {
    setObjectName(QStringLiteral("Frame_list"));
    resize(450, 340);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    auto* titleLine = new QHBoxLayout;
    Label1 = new QLabel(QStringLiteral("调整内容："), this);
    Label_title = new QLabel(this);
    titleLine->addWidget(Label1);
    titleLine->addWidget(Label_title, 1);
    layout->addLayout(titleLine);
    Bevel1 = HorizontalRule(this, 0);
    layout->addWidget(Bevel1);
    FlatListBox_List = new QListWidget(this);
    FlatListBox_List->setSelectionMode(QAbstractItemView::MultiSelection);
    FlatListBox_List->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FlatListBox_List->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FlatListBox_List->setMinimumSize(415, 252);
    layout->addWidget(FlatListBox_List, 1);
    auto* buttons = new QHBoxLayout;
    FlatButton1 = new quorvane::ui::TFlatButton(QStringLiteral("全 选"), this);
    FlatButton2 = new quorvane::ui::TFlatButton(QStringLiteral("删 除"), this);
    FlatButton1->setFixedSize(60, 25);
    FlatButton2->setFixedSize(60, 25);
    buttons->addStretch(1);
    buttons->addWidget(FlatButton1);
    buttons->addWidget(FlatButton2);
    layout->addLayout(buttons);
    connect(FlatButton1, &QPushButton::clicked, this, [this] { FlatButton1Click(); });
    connect(FlatButton2, &QPushButton::clicked, this, [this] { FlatButton2Click(); });
    FillList();
}

void TFrame_list::FrameResize() { Label_title->setText(ShownText(Cur_Title)); }

void TFrame_list::FillList() {
    FlatListBox_List->clear();
    entries_.clear();
    std::unique_ptr<quorvane::registry::TRegistryStore> store = quorvane::repair::OpenRegistryStore();
    entries_ = quorvane::repair::ListEntries(*store, host_.DetailTable());
    for (const quorvane::repair::TEntry& entry : entries_) {
        QString line = QString::fromStdString(entry.Name());
        if (entry.value) line += QStringLiteral(" = ") + QString::fromStdString(entry.Data());
        auto* item = new QListWidgetItem(line + QStringLiteral("    (") + QString::fromStdString(entry.Key()) +
                                         QStringLiteral(")"));
        item->setToolTip(QString::fromStdString(entry.FullName()));
        FlatListBox_List->addItem(item);
    }
}

void TFrame_list::FlatButton1Click() { FlatListBox_List->selectAll(); }

void TFrame_list::FlatButton2Click() {
    std::vector<quorvane::repair::TEntry> chosen;
    for (int i = 0; i < FlatListBox_List->count(); ++i)
        if (FlatListBox_List->item(i)->isSelected()) chosen.push_back(entries_[static_cast<std::size_t>(i)]);
    quorvane::ui::TMessageBoxes& boxes = quorvane::ui::MessageBoxes();
    if (chosen.empty()) {
        boxes.Warning(this, QStringLiteral("请先选择要删除的项!"));
        return;
    }
    if (!boxes.Confirm(this, QString::fromStdString(quorvane::repair::DeleteQuestion(chosen.size())))) return;
    std::unique_ptr<quorvane::registry::TRegistryStore> store = quorvane::repair::OpenRegistryStore();
    const std::string backup =
        quorvane::repair::SaveBackup(*store, chosen, host_.DetailTable().FieldByName("keyid").AsInteger(),
                                     quorvane::repair::BackupFolder());
    quorvane::repair::DeleteEntries(*store, chosen);
    store.reset();
    FillList();
    boxes.Information(this, QString::fromStdString(quorvane::repair::DeletedMessage(chosen.size(), backup)));
}

void TFrame_list::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FrameResize();
}

// ---- About page ----------------------------------------------------------------------------

std::function<bool(const QString&)> TFrame_help::OpenUrl = [](const QString& url) {
    return QDesktopServices::openUrl(QUrl(url));
};

QString AboutText() {
    return QStringLiteral(
        "            <<WindowsQuorvane>>软件简介\n"
        "\n"
        "    使用电脑时，您也许常常遇到这样的麻烦：浏览器的标题栏或起始页被别的软件改掉了，"
        "而您从未同意过；Windows 的某些设置突然变成灰色，再也无法更改；或者您只是想让自己的"
        "电脑更有个性。\n"
        "\n"
        "    本软件正是为这些常见问题而做的。它依靠一个故障数据库，内置几百种解决方案；您可以"
        "按分类查找，也可以输入关键字模糊搜索，找到后只需点一下，就能修复。每项修改都可以还原。\n"
        "\n"
        "    本软件可在 Windows 98、Windows 2000 和 Windows XP 上运行。");
}

TFrame_help::TFrame_help(QWidget* owner) : QWidget(owner) {
    setObjectName(QStringLiteral("Frame_help"));
    resize(450, 340);
    setAutoFillBackground(true);
    QPalette window = palette();
    window.setColor(QPalette::Window, palette().color(QPalette::Base));
    setPalette(window);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 8);
    auto* linkLine = new QHBoxLayout;
    Label1 = new TLinkLabel(QStringLiteral("关于我们"), this, [this] { Label1Click(); });
    QFont underlined = Label1->font();
    underlined.setUnderline(true);
    Label1->setFont(underlined);
    QPalette blue = Label1->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    Label1->setPalette(blue);
    linkLine->addStretch(1);
    linkLine->addWidget(Label1);
    layout->addLayout(linkLine);
    Bevel1 = HorizontalRule(this, 415);
    layout->addWidget(Bevel1);
    FlatMemo1 = new QPlainTextEdit(this);
    FlatMemo1->setReadOnly(true);
    FlatMemo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FlatMemo1->setMinimumSize(415, 289);
    FlatMemo1->setPlainText(AboutText());
    layout->addWidget(FlatMemo1, 1);
}

QString TFrame_help::HelpPageUrl() {
    const QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
    return QUrl::fromLocalFile(QDir(dir).filePath(QStringLiteral("help/index.html"))).toString();
}

void TFrame_help::Label1Click() {
    if (OpenUrl) OpenUrl(HelpPageUrl());
}
