// The log-in page and the password-change page.
#include "app/pages_password.h"

#include <QCoreApplication>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QResizeEvent>
#include <QVBoxLayout>

#include "app/page_host.h"
#include "app/pages.h"
#include "platform/codepage.h"
#include "ui/jpeg_image.h"
#include "ui/message_boxes.h"

namespace {


// Opens DT_Pass for one use and closes it again, however the use ends.
class TPasswordRow {
public:
    explicit TPasswordRow(reruzo::TRERUZOTable& table) : table_(table) { table_.Open(); }
    ~TPasswordRow() {
        try {
            table_.Close();
        } catch (const std::exception&) {
        }
    }
    TPasswordRow(const TPasswordRow&) = delete;
    TPasswordRow& operator=(const TPasswordRow&) = delete;
    reruzo::TRERUZOTable* operator->() const { return &table_; }

private:
    reruzo::TRERUZOTable& table_;
};

}  // namespace

// ---- Log-in page ---------------------------------------------------------------------------

std::string TFrame_welcome::PicturePath(const std::string& programDirectory) {
    const QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
    const std::string beside = programDirectory + "pictures/welcome.jpg";
    if (QFile::exists(QString::fromStdString(beside))) return beside;
    return QDir(dir).filePath(QStringLiteral("pictures/welcome.jpg")).toStdString();
}

TFrame_welcome::TFrame_welcome(QWidget* owner, TPageHost& host) : QWidget(owner), host_(host) {
    setObjectName(QStringLiteral("Frame_welcome"));
    resize(449, 336);
    Image1 = new QLabel(this);
    Image1->setScaledContents(true);
    picture_ = QPixmap::fromImage(quorvane::ui::LoadJpeg(PicturePath(host_.ProgramDirectory())));
    Image1->setPixmap(picture_);
    Label2 = new QLabel(QStringLiteral("密码:"), this);
    Label2->setAttribute(Qt::WA_TranslucentBackground);
    FlatEdit_pass = new quorvane::ui::TFlatEdit(this, true);
    FlatEdit_pass->setFixedWidth(129);
    FlatButton_reg = new quorvane::ui::TFlatButton(QStringLiteral("登    陆"), this);
    FlatButton_reg->setFixedSize(129, 20);
    connect(FlatButton_reg, &QPushButton::clicked, this, [this] { FlatButton_regClick(); });
    connect(FlatEdit_pass, &QLineEdit::returnPressed, this, [this] { FlatButton_regClick(); });
}

void TFrame_welcome::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The picture covers the page; the log-in controls sit in its lower right part.
    Image1->setGeometry(rect());
    const int left = width() - 129 - 40;
    const int top = height() - 90;
    FlatEdit_pass->move(left, top);
    Label2->adjustSize();
    Label2->move(left - Label2->width() - 6, top + (FlatEdit_pass->height() - Label2->height()) / 2);
    FlatButton_reg->move(left, top + FlatEdit_pass->height() + 8);
}

void TFrame_welcome::FlatButton_regClick() {
    TPasswordRow row(host_.PasswordTable());
    if (row->FieldByName("info").AsString() == StoredText(FlatEdit_pass->text())) {
        host_.Unlock();
    } else {
        quorvane::ui::MessageBoxes().Warning(this, QStringLiteral("对不起您输入的密码有误,请检查您的输入是否正确!"));
    }
}

// ---- Password-change page ----------------------------------------------------------------

TFrame_chgpass::TFrame_chgpass(QWidget* owner, TPageHost& host) : QWidget(owner), host_(host) {
    setObjectName(QStringLiteral("Frame_chgpass"));
    resize(450, 340);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    Label1 = new QLabel(QStringLiteral("欢迎使用<<WindowsQuorvane>>密码设置选项!"), this);
    Label1->setTextFormat(Qt::PlainText);
    layout->addWidget(Label1);
    Bevel1 = HorizontalRule(this, 415);
    layout->addWidget(Bevel1);
    auto* intro = new QHBoxLayout;
    Image1 = new QLabel(this);
    Image1->setFixedSize(32, 32);
    Image1->setPixmap(QIcon(QStringLiteral(":/pictures/header.xpm")).pixmap(32, 32));
    Label4 = new QLabel(QStringLiteral("请您输入<<WindowsQuorvane>>的旧密码，\n\n(当前如果没有密码，请直接输入新密码即\n\n"
                                       "可)并同时新口令然后确认。"),
                        this);
    Label4->setTextFormat(Qt::PlainText);
    intro->addWidget(Image1, 0, Qt::AlignTop);
    intro->addWidget(Label4, 1);
    layout->addLayout(intro);
    auto* form = new QGridLayout;
    Label2 = new QLabel(QStringLiteral("密  码："), this);
    FlatEdit_pass = new quorvane::ui::TFlatEdit(this, true);
    FlatEdit_pass->setFixedWidth(121);
    Label3 = new QLabel(QStringLiteral("新密码："), this);
    FlatEdit_newpass = new quorvane::ui::TFlatEdit(this, true);
    FlatEdit_newpass->setFixedWidth(121);
    form->addWidget(Label2, 0, 0);
    form->addWidget(FlatEdit_pass, 0, 1);
    form->addWidget(Label3, 1, 0);
    form->addWidget(FlatEdit_newpass, 1, 1);
    form->setColumnStretch(2, 1);
    layout->addLayout(form);
    auto* buttons = new QHBoxLayout;
    FlatButton1 = new quorvane::ui::TFlatButton(QStringLiteral("确 认"), this);
    FlatButton_cancel = new quorvane::ui::TFlatButton(QStringLiteral("取 消"), this);
    FlatButton1->setFixedSize(60, 25);
    FlatButton_cancel->setFixedSize(60, 25);
    buttons->addStretch(1);
    buttons->addWidget(FlatButton1);
    buttons->addWidget(FlatButton_cancel);
    layout->addLayout(buttons);
    layout->addStretch(1);
    connect(FlatButton1, &QPushButton::clicked, this, [this] { FlatButton1Click(); });
    connect(FlatButton_cancel, &QPushButton::clicked, this, [this] { FlatButton_cancelClick(); });
}

void TFrame_chgpass::FlatButton1Click() {
    TPasswordRow row(host_.PasswordTable());
    if (row->FieldByName("info").AsString() == StoredText(FlatEdit_pass->text())) {
        row->Edit();
        row->FieldByName("info").SetAsString(StoredText(FlatEdit_newpass->text()));  // cut to the field's 200
        row->Post();
        quorvane::ui::MessageBoxes().Information(this, QStringLiteral("密码修改成功,谢谢使用!"));
    } else {
        quorvane::ui::MessageBoxes().Warning(this, QStringLiteral("对不起您输入的旧密码有误,请检查您的输入是否正确!"));
        FlatButton_cancelClick();
    }
}

void TFrame_chgpass::FlatButton_cancelClick() {
    FlatEdit_pass->clear();
    FlatEdit_newpass->clear();
}
