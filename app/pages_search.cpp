// The search page.
#include "app/pages_search.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <optional>

#include "app/page_host.h"
#include "app/pages.h"
#include "app/repair/knowledge_base.h"
#include "platform/codepage.h"

TFrame_qry::TFrame_qry(QWidget* owner, TPageHost& host) : QWidget(owner), host_(host) {
    setObjectName(QStringLiteral("Frame_qry"));
    resize(450, 340);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 10, 16, 10);
    auto* searchLine = new QHBoxLayout;
    Label1 = new QLabel(QStringLiteral("故障信息模糊查询："), this);
    FlatEdit_Qry = new quorvane::ui::TFlatEdit(this);
    FlatEdit_Qry->setFixedWidth(209);
    FlatButton1 = new quorvane::ui::TFlatButton(QString(), this);
    FlatButton1->setFixedSize(30, 18);
    FlatButton1->setIcon(QIcon(QStringLiteral(":/pictures/search.xpm")));
    FlatButton1->setIconSize(QSize(14, 14));
    FlatCheckBox1 = new quorvane::ui::TFlatCheckBox(QStringLiteral("按内容"), this);
    searchLine->addWidget(Label1);
    searchLine->addWidget(FlatEdit_Qry);
    searchLine->addWidget(FlatButton1);
    searchLine->addWidget(FlatCheckBox1);
    searchLine->addStretch(1);
    layout->addLayout(searchLine);
    Bevel1 = HorizontalRule(this, 0);
    layout->addWidget(Bevel1);

    dxDBGrid1 = new quorvane::ui::TDBGrid(this);
    dxDBGrid1->setMinimumSize(415, 281);
    dxDBGrid1->SetColumns({{"title", QStringLiteral("名 称"), 100, Qt::AlignLeft},
                           {"intro", QStringLiteral("内 容 介 绍"), 295, Qt::AlignLeft}});
    dxDBGrid1->SetFooter(1, QStringLiteral("共有0条修复信息"));
    // The grid shows whatever the search query holds, also the last result of an
    // earlier search page.
    dxDBGrid1->SetDataSource(&host_.SearchSource());
    dxDBGrid1->OnDblClick = [this] { dxDBGrid1DblClick(); };
    layout->addWidget(dxDBGrid1, 1);

    connect(FlatButton1, &QPushButton::clicked, this, [this] { FlatButton1Click(); });
    connect(FlatCheckBox1, &QCheckBox::clicked, this, [this] { FlatCheckBox1Click(); });
    FlatEdit_Qry->installEventFilter(this);
}

void TFrame_qry::FlatButton1Click() {
    const std::string field = FlatCheckBox1->isChecked() ? "title" : "intro";
    const QString typed = FlatEdit_Qry->text();
    // The text is bound as a parameter, so that no character of it can change the
    // statement.
    const std::optional<std::string> stored = quorvane::codepage::FromUtf8(typed.toStdString());
    reruzo::TRERUZOQuery& query = host_.SearchQuery();
    query.Close();
    query.SQL().Clear();
    query.SQL().Add(quorvane::repair::SearchStatement(FlatCheckBox1->isChecked()));
    query.ParamByName("text").SetAsString("%" + stored.value_or(std::string()) + "%");
    // LIKE compares bytes and knows no escape character: a "%" or "_" of the text is a
    // wildcard there, and in double-byte text a match may straddle two characters. So
    // the rows LIKE finds must also hold the text as it stands, character for
    // character; a text that the tables' code page cannot hold is in no row at all.
    query.SetFiltered(false);
    query.SetOnFilterRecord([field, typed](reruzo::TRERUZODataSet& row, bool& accept) {
        accept = quorvane::repair::HoldsText(row.FieldByName(field).AsString(), typed.toStdString());
    });
    query.SetFiltered(true);
    query.Open();
}

bool TFrame_qry::FlatEdit_QryKeyDown(int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    FlatEdit_Qry->selectAll();
    FlatButton1Click();
    return true;
}

bool TFrame_qry::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FlatEdit_Qry && event->type() == QEvent::KeyPress) {
        return FlatEdit_QryKeyDown(static_cast<QKeyEvent*>(event)->key());
    }
    return QWidget::eventFilter(watched, event);
}

void TFrame_qry::FlatCheckBox1Click() {
    FlatCheckBox1->setText(FlatCheckBox1->isChecked() ? QStringLiteral("按名称") : QStringLiteral("按内容"));
}

void TFrame_qry::dxDBGrid1DblClick() {
    reruzo::TRERUZOQuery& query = host_.SearchQuery();
    Cur_Title = query.FieldByName("title").AsString();
    Cur_Intro = query.FieldByName("intro").AsString();
    const std::string type = query.FieldByName("type").AsString();
    const std::int32_t id = query.FieldByName("id").AsInteger();
    TPageHost* host = &host_;
    QTimer::singleShot(0, parentWidget() ? parentWidget() : this, [host, id, type] { host->Udf_CreatPanel(id, type); });
}
