// quorvane-screenshots: starts the main window on a copy of the shipped knowledge base
// and saves pictures of it for the documentation: the window after start-up, a
// single-setting page, a value-change page and the search page with a search run.
// Nothing is applied, so no registry is needed. Usage: quorvane-screenshots FOLDER
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTreeWidgetItemIterator>
#include <QWindow>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "app/pages_password.h"
#include "app/pages_repair.h"
#include "app/pages_search.h"
#include "app/quorvane_app.h"
#include "ui/message_boxes.h"

namespace {

namespace fs = std::filesystem;

// The items shown: a single-setting item, and a value-change item whose first detail
// row asks for a number on a track bar (2 to 10) or for a folder.
constexpr std::int32_t kSingleItem = 301;
constexpr std::int32_t kChangeItem = 80;
// The text searched for on the search page, in the item names.
const QString kSearchText = QStringLiteral("IE");

// No box may wait for a person here: every box is written to standard error, counts
// as a failure, and a question is answered with Cancel, so that nothing is applied.
class TPrintedBoxes : public quorvane::ui::TMessageBoxes {
public:
    bool Confirm(QWidget*, const QString& text) override {
        Print("question", text);
        return false;
    }
    void Warning(QWidget*, const QString& text) override { Print("warning", text); }
    void Information(QWidget*, const QString& text) override { Print("information", text); }
    void Error(QWidget*, const QString& text) override { Print("error", text); }
    bool shown = false;

private:
    void Print(const char* kind, const QString& text) {
        std::fprintf(stderr, "quorvane-screenshots: the program showed a box (%s): %s\n", kind,
                     text.toUtf8().constData());
        shown = true;
    }
};

// Installs the boxes for as long as it lives.
class TBoxesInstalled {
public:
    explicit TBoxesInstalled(quorvane::ui::TMessageBoxes* boxes) { quorvane::ui::SetMessageBoxes(boxes); }
    ~TBoxesInstalled() { quorvane::ui::SetMessageBoxes(nullptr); }
    TBoxesInstalled(const TBoxesInstalled&) = delete;
    TBoxesInstalled& operator=(const TBoxesInstalled&) = delete;
};

// Goes back to the directory that was current when it was made.
class TCurrentDirectoryKept {
public:
    TCurrentDirectoryKept() : old_(fs::current_path()) {}
    ~TCurrentDirectoryKept() {
        std::error_code ignored;
        fs::current_path(old_, ignored);
    }
    TCurrentDirectoryKept(const TCurrentDirectoryKept&) = delete;
    TCurrentDirectoryKept& operator=(const TCurrentDirectoryKept&) = delete;

private:
    fs::path old_;
};

// Copies the knowledge-base tables and the welcome picture that ship beside this
// program into `to`, so that the shipped files stay as they are.
void CopyKnowledgeBase(const fs::path& from, const fs::path& to) {
    std::vector<fs::path> files;
    for (const char* table : {"vrqinfo", "vrqdtl"}) {
        for (const char* ext : {".DAT", ".IDX"}) files.emplace_back(std::string(table) + ext);
    }
    files.emplace_back(fs::path("pictures") / "welcome.jpg");
    for (const fs::path& file : files) {
        if (!fs::is_regular_file(from / file)) {
            throw std::runtime_error((from / file).string() + " is missing; build the knowledge base first");
        }
        fs::create_directories((to / file).parent_path());
        fs::copy_file(from / file, to / file);
    }
}

// Lets the event loop handle everything waiting (layouts, resizes, deferred deletes,
// paints) for a while, so that a picture shows the window as it settles.
void Settle() {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 300) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

// Waits until the window is shown on the screen (at most a few seconds).
void WaitUntilExposed(QWidget& window) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        if (window.windowHandle() && window.windowHandle()->isExposed()) break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    Settle();
}

// The tree node of item `id`.
QTreeWidgetItem* NodeOf(TForm_main& window, std::int32_t id) {
    const QString key = QString::number(id);
    for (QTreeWidgetItemIterator it(window.dxDBTreeList1); *it; ++it) {
        if ((*it)->text(1) == key) return *it;
    }
    throw std::runtime_error("the repair tree has no item " + std::to_string(id));
}

// Selects a node through the tree, as a click would: its parents open, the tree
// scrolls it towards the middle (keeping the left edge in view) and the window shows
// the item's page.
void Select(TForm_main& window, QTreeWidgetItem* node) {
    window.dxDBTreeList1->setCurrentItem(node);
    window.dxDBTreeList1->scrollToItem(node, QAbstractItemView::PositionAtCenter);
    window.dxDBTreeList1->horizontalScrollBar()->setValue(0);
    Settle();
}

template <typename TPage>
TPage& PageShown(const std::string& what) {
    auto* page = dynamic_cast<TPage*>(Cur_Page);
    if (!page) throw std::runtime_error(std::string("the window does not show ") + what);
    return *page;
}

class TShots {
public:
    TShots(TForm_main& window, QDir folder) : window_(window), folder_(std::move(folder)) {}

    void Save(const QString& name) {
        Settle();
        const QString file = folder_.filePath(name);
        const QPixmap picture = window_.grab();
        if (picture.isNull() || !picture.save(file, "PNG")) {
            throw std::runtime_error("cannot write " + file.toStdString());
        }
        written_.push_back(file);
    }
    const std::vector<QString>& Written() const { return written_; }

private:
    TForm_main& window_;
    QDir folder_;
    std::vector<QString> written_;
};

void TakeScreenshots(const QDir& outputFolder, TPrintedBoxes& boxes) {
    const fs::path programFolder = QCoreApplication::applicationDirPath().toStdString();
    QTemporaryDir work(QDir::temp().filePath(QStringLiteral("quorvane-screenshots-XXXXXX")));
    if (!work.isValid()) throw std::runtime_error("cannot create a temporary folder");
    const fs::path workFolder = work.path().toStdString();
    CopyKnowledgeBase(programFolder, workFolder);

    // The program reads vrqinfo from its folder and vrqdtl from the current
    // directory: the copy is both.
    TCurrentDirectoryKept keep;
    fs::current_path(workFolder);
    std::unique_ptr<TForm_main> window = StartQuorvane(workFolder.string() + "/");
    if (!window) throw std::runtime_error("the main window did not start");
    if (!window->dxDBTreeList1->isEnabled()) {
        throw std::runtime_error("the knowledge base asks for the start-up password; the tree is locked");
    }
    if (window->dxDBTreeList1->topLevelItemCount() == 0) throw std::runtime_error("the repair tree is empty");
    WaitUntilExposed(*window);
    TShots shots(*window, outputFolder);

    // After start-up: the log-in page, and the first category opened in the tree.
    PageShown<TFrame_welcome>("the log-in page after start-up");
    QTreeWidgetItem* firstCategory = window->dxDBTreeList1->topLevelItem(0);
    window->dxDBTreeList1->expandItem(firstCategory);
    shots.Save(QStringLiteral("main-window.png"));

    Select(*window, NodeOf(*window, kSingleItem));
    PageShown<TFrame_singl>("a single-setting page for item " + std::to_string(kSingleItem));
    shots.Save(QStringLiteral("single-setting.png"));

    Select(*window, NodeOf(*window, kChangeItem));
    auto& change = PageShown<TFrame_chg>("a value-change page for item " + std::to_string(kChangeItem));
    if (change.TrackBar_info->isHidden() && change.Dir_info->isHidden()) {
        throw std::runtime_error("item " + std::to_string(kChangeItem) + " asks for neither a number nor a folder");
    }
    shots.Save(QStringLiteral("value-change.png"));

    // The search page of the first category, searching the names.
    Select(*window, firstCategory);
    auto& search = PageShown<TFrame_qry>("the search page of the first category");
    if (!search.FlatCheckBox1->isChecked()) search.FlatCheckBox1->click();
    search.FlatEdit_Qry->setFocus();
    search.FlatEdit_Qry->setText(kSearchText);
    search.FlatButton1->click();
    Settle();
    if (search.dxDBGrid1->rowCount() < 2) {
        throw std::runtime_error("searching the names for \"" + kSearchText.toStdString() +
                                 "\" found fewer than two items");
    }
    shots.Save(QStringLiteral("search-page.png"));

    if (boxes.shown) throw std::runtime_error("the window showed a message box");
    for (const QString& file : shots.Written()) std::printf("%s\n", file.toUtf8().constData());
    // The window closes its tables before the temporary folder goes.
    window.reset();
}

}  // namespace

int main(int argc, char** argv) {
    TQuorvaneApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvane-screenshots FOLDER\n");
        return 1;
    }
    TPrintedBoxes boxes;
    TBoxesInstalled installed(&boxes);
    try {
        const QDir outputFolder(QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1])));
        if (!outputFolder.mkpath(QStringLiteral("."))) {
            throw std::runtime_error("cannot create " + outputFolder.path().toStdString());
        }
        TakeScreenshots(outputFolder, boxes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvane-screenshots: %s\n", e.what());
        return 1;
    }
    return 0;
}
