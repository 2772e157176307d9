// Modal message boxes of the program: confirmation (OK and Cancel, title "Confirm"),
// warning ("Warning"), information ("Information") and the error box that shows an
// error escaping an event handler. Everything goes through one interface so that
// tests can answer the boxes instead of a person.
#pragma once

#include <QString>

class QWidget;

namespace quorvane::ui {

class TMessageBoxes {
public:
    virtual ~TMessageBoxes() = default;
    // True for OK; Cancel and closing the box count as false.
    virtual bool Confirm(QWidget* parent, const QString& text) = 0;
    virtual void Warning(QWidget* parent, const QString& text) = 0;
    virtual void Information(QWidget* parent, const QString& text) = 0;
    virtual void Error(QWidget* parent, const QString& text) = 0;
};

// Real boxes on the screen.
class TQtMessageBoxes : public TMessageBoxes {
public:
    bool Confirm(QWidget* parent, const QString& text) override;
    void Warning(QWidget* parent, const QString& text) override;
    void Information(QWidget* parent, const QString& text) override;
    void Error(QWidget* parent, const QString& text) override;
};

// The boxes the program uses; the Qt boxes unless a test installed others.
TMessageBoxes& MessageBoxes();
void SetMessageBoxes(TMessageBoxes* boxes);  // nullptr restores the Qt boxes

}  // namespace quorvane::ui
