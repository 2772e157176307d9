// Flat-styled controls: buttons and check boxes with a thin olive border, and the
// splitter between the tree and the page area.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <functional>

namespace quorvane::ui {

class TFlatButton : public QPushButton {
public:
    TFlatButton(const QString& caption, QWidget* parent = nullptr);
};

class TFlatCheckBox : public QCheckBox {
public:
    TFlatCheckBox(const QString& caption, QWidget* parent = nullptr);
};

// A horizontal splitter whose handle is `handleWidth` pixels wide.
class TFlatSplitter : public QSplitter {
public:
    explicit TFlatSplitter(int handleWidth, QWidget* parent = nullptr);
};

// An edit box with the flat border; `password` shows "*" for each character.
class TFlatEdit : public QLineEdit {
public:
    explicit TFlatEdit(QWidget* parent = nullptr, bool password = false);
};

// A text box with a button beside it that opens a folder or file chooser; the
// chosen path goes into the text. The chooser can be replaced (tests).
class TPathEdit : public QWidget {
public:
    enum class TKind { Folder, File };
    TPathEdit(TKind kind, QWidget* parent = nullptr);
    QString text() const { return edit_->text(); }
    void setText(const QString& text) { edit_->setText(text); }
    QLineEdit* Edit() const { return edit_; }
    QPushButton* Button() const { return button_; }
    // Asks for a path starting from the current text; empty when the user gives up.
    static std::function<QString(TKind kind, QWidget* parent, const QString& start)> Choose;

private:
    TKind kind_;
    QLineEdit* edit_;
    QPushButton* button_;
};

}  // namespace quorvane::ui
