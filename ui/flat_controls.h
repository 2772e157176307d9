// Flat-styled controls: buttons and check boxes with a thin olive border, and the
// splitter between the tree and the page area.
#pragma once

#include <QCheckBox>
#include <QPushButton>
#include <QSplitter>

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

}  // namespace quorvane::ui
