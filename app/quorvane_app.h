// The program's entry: the application object, whose default error handling shows an
// error that escapes an event handler in an error box and keeps the window usable,
// and the start-up that creates and shows the main window.
#pragma once

#include <QApplication>
#include <memory>
#include <string>

class TQuorvaneApplication : public QApplication {
public:
    TQuorvaneApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

class TForm_main;

// Creates the main window (which opens the detail tables), shows it and runs its
// start-up (which reads the repair tree from `programDirectory`). A failure shows
// the error's message in an error box and gives nullptr.
std::unique_ptr<TForm_main> StartQuorvane(const std::string& programDirectory);

// Starts Quorvane and runs the event loop until the window closes. Returns 1 when
// the start-up failed, else the event loop's exit code.
int RunQuorvane(const std::string& programDirectory);
