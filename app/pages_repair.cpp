// The single-setting page and the value-change page.
#include "app/pages_repair.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/page_host.h"
#include "app/pages.h"
#include "app/repair/repair_item.h"
#include "platform/codepage.h"
#include "ui/message_boxes.h"

namespace {

QPlainTextEdit* Memo(QWidget* parent, int width, int height) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setReadOnly(true);
    memo->setMinimumSize(width, height);
    return memo;
}

}  // namespace

// ---- Single-setting page -----------------------------------------------------------------

TFrame_singl::TFrame_singl(QWidget* owner, TPageHost& host) : QWidget(owner), host_(host) {
    setObjectName(QStringLiteral("Frame_singl"));
    resize(450, 340);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    auto* titleLine = new QHBoxLayout;
    Label1 = new QLabel(QStringLiteral("选项名称："), this);
    Label_Title = new QLabel(this);
    titleLine->addWidget(Label1);
    titleLine->addWidget(Label_Title, 1);
    layout->addLayout(titleLine);
    Bevel1 = HorizontalRule(this, 414);
    layout->addWidget(Bevel1);
    Label2 = new QLabel(QStringLiteral("介       绍"), this);
    Label2->setAlignment(Qt::AlignHCenter);
    layout->addWidget(Label2);
    FlatMemo_info = Memo(this, 415, 209);
    layout->addWidget(FlatMemo_info, 1);
    auto* buttons = new QHBoxLayout;
    FlatButton_Set = new quorvane::ui::TFlatButton(QStringLiteral("确 定"), this);
    FlatButton_Rst = new quorvane::ui::TFlatButton(QStringLiteral("还 原"), this);
    FlatButton_Set->setFixedSize(60, 25);
    FlatButton_Rst->setFixedSize(60, 25);
    buttons->addStretch(1);
    buttons->addWidget(FlatButton_Set);
    buttons->addWidget(FlatButton_Rst);
    layout->addLayout(buttons);
    connect(FlatButton_Set, &QPushButton::clicked, this, [this] { FlatButton_SetClick(); });
    connect(FlatButton_Rst, &QPushButton::clicked, this, [this] { FlatButton_RstClick(); });
}

void TFrame_singl::FrameResize() {
    FlatMemo_info->setPlainText(ShownText(Cur_Intro));
    Label_Title->setText(ShownText(Cur_Title));
}

void TFrame_singl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FrameResize();
}

void TFrame_singl::FlatButton_SetClick() { host_.Reg_Modify(""); }
void TFrame_singl::FlatButton_RstClick() { host_.Reg_Restore(); }

// ---- Value-change page -------------------------------------------------------------------

TFrame_chg::TFrame_chg(QWidget* owner, TPageHost& host) : QWidget(owner), host_(host) {
    setObjectName(QStringLiteral("Frame_chg"));
    resize(450, 340);
    // Placed as designed: the input controls lie over the group frame at fixed places.
    Label1 = new QLabel(QStringLiteral("更新选项名称："), this);
    Label1->move(16, 12);
    Label1->adjustSize();
    Label_title = new QLabel(this);
    Label_title->setGeometry(16 + Label1->width() + 4, 12, 300, Label1->height());
    Bevel1 = HorizontalRule(this, 415);
    Bevel1->move(16, 34);
    Label2 = new QLabel(QStringLiteral("介       绍"), this);
    Label2->setAlignment(Qt::AlignHCenter);
    Label2->setGeometry(16, 42, 415, 16);
    FlatMemo_info = Memo(this, 415, 169);
    FlatMemo_info->setGeometry(16, 62, 415, 169);
    GroupBox1 = new QGroupBox(QStringLiteral("更新为："), this);
    GroupBox1->setGeometry(16, 262, 337, 63);
    Dir_info = new quorvane::ui::TPathEdit(quorvane::ui::TPathEdit::TKind::Folder, this);
    File_info = new quorvane::ui::TPathEdit(quorvane::ui::TPathEdit::TKind::File, this);
    TrackBar_info = new QSlider(Qt::Horizontal, this);
    TrackBar_info->setSingleStep(1);
    TrackBar_info->setPageStep(1);
    TrackBar_info->setTickPosition(QSlider::TicksBelow);
    TrackBar_info->setTickInterval(1);
    TrackBar_info->setStyleSheet(QStringLiteral("QSlider::handle:horizontal { width: 15px; }"));
    FlatEdit_info = new quorvane::ui::TFlatEdit(this);
    // As designed, before an item names its kind: small, right of the description.
    int top = 240;
    for (QWidget* control : std::initializer_list<QWidget*>{Dir_info, File_info, TrackBar_info, FlatEdit_info}) {
        control->setGeometry(360, top, 80, 21);
        top += 22;
    }
    FlatButton1 = new quorvane::ui::TFlatButton(QStringLiteral("更 新"), this);
    FlatButton2 = new quorvane::ui::TFlatButton(QStringLiteral("还 原"), this);
    FlatButton1->setGeometry(370, 270, 60, 25);
    FlatButton2->setGeometry(370, 300, 60, 25);
    connect(FlatButton1, &QPushButton::clicked, this, [this] { FlatButton1Click(); });
    connect(FlatButton2, &QPushButton::clicked, this, [this] { FlatButton2Click(); });
    connect(TrackBar_info, &QSlider::valueChanged, this, [this] { TrackBar_infoChange(); });
}

std::string TFrame_chg::CurrentKind() const {
    const reruzo::TFieldValue info = host_.DetailTable().FieldValues("info");
    if (reruzo::IsNullValue(info)) return {};
    const std::string text = host_.DetailTable().FieldByName("info").AsString();
    for (const char* kind : {"dir", "file", "task", "str"}) {
        if (text == kind) return kind;
    }
    return {};
}

void TFrame_chg::FrameResize() {
    FlatMemo_info->setPlainText(ShownText(Cur_Intro));
    Label_title->setText(ShownText(Cur_Title));
    const std::string kind = CurrentKind();
    if (kind.empty()) return;  // all four controls stay as designed
    QWidget* shown = kind == "dir" ? static_cast<QWidget*>(Dir_info)
                     : kind == "file" ? static_cast<QWidget*>(File_info)
                     : kind == "task" ? static_cast<QWidget*>(TrackBar_info)
                                      : static_cast<QWidget*>(FlatEdit_info);
    for (QWidget* control : std::initializer_list<QWidget*>{Dir_info, File_info, TrackBar_info, FlatEdit_info}) {
        control->setVisible(control == shown);
    }
    shown->setGeometry(40, 283, 305, shown->height());
    if (kind == "task") {
        reruzo::TRERUZOTable& dtl = host_.DetailTable();
        const std::int32_t low = quorvane::repair::IntegerText(dtl.FieldByName("bk1").AsString());
        const std::int32_t high = quorvane::repair::IntegerText(dtl.FieldByName("bk2").AsString());
        // A highest position below the lowest one leaves a bar of one position.
        TrackBar_info->setRange(low, std::max(low, high));
        TrackBar_infoChange();
    }
}

void TFrame_chg::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FrameResize();
}

void TFrame_chg::TrackBar_infoChange() { TrackBar_info->setToolTip(QString::number(TrackBar_info->value())); }


std::string TFrame_chg::ChosenValue() const {
    const std::string kind = CurrentKind();
    if (kind == "dir") return StoredText(Dir_info->text());
    if (kind == "file") return quorvane::repair::FileOfCommandLine(StoredText(File_info->text()));
    if (kind == "task") return std::to_string(TrackBar_info->value());
    if (kind == "str") return StoredText(FlatEdit_info->text());
    return {};
}

void TFrame_chg::FlatButton1Click() {
    const std::string value = ChosenValue();
    if (value.empty()) {
        quorvane::ui::MessageBoxes().Warning(
            this, QStringLiteral("对不起,您还没有选择要更新为什么内容,请输入更新内容!"));
        return;
    }
    host_.Reg_Modify(value);
}

void TFrame_chg::FlatButton2Click() { host_.Reg_Restore(); }
