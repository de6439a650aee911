#pragma once
// The utility's application object and its message boxes. Whatever escapes an event handler is
// shown in a message box and the program carries on. While one message box is open, further
// messages are added to it instead of stacking new modal boxes on top.

#include <QApplication>
#include <QFont>
#include <QString>

#include <exception>
#include <functional>
#include <string>

namespace kivra {

//! Shows a text modally. Tests replace it to record texts instead of blocking.
using TMessageBoxFunction = std::function<void(const QString& text)>;

//! Shows a message box (or adds the text to the one already open). Returns when it is closed.
void ShowMessage(const QString& text);
//! The control's texts are byte strings: every byte keeps its value as one Latin-1 character.
void ShowMessage(const std::string& text);
//! Replaces the message box function; an empty function restores the real message boxes.
//! Returns the previous one.
TMessageBoxFunction SetMessageBoxFunction(TMessageBoxFunction function);

//! Shows the text of an exception the way the top-level handler does (EAbort is silent).
void ShowException(const std::exception& e);

//! Runs a user action: whatever escapes it goes to the central handler (EAbort is silent).
void Guarded(const std::function<void()>& action);

//! QString of a byte string, one character per byte.
QString BytesToQString(const std::string& text);

//! The window font: "MS Sans Serif" 8 point where installed, otherwise a metric-compatible sans
//! serif at the same pixel height (11 px).
QFont UtilityFont(bool bold = false);

//! Title of the message boxes.
inline constexpr const char* kApplicationTitle = "Kivra Configuration and Diagnostic Utility";

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    //! Event dispatch; an exception that escapes a handler is shown, not propagated.
    bool notify(QObject* receiver, QEvent* event) override;
};

//! Installs the message-box exception handler as the central exception handler (done by
//! TApplication; available for tests that use a plain QApplication).
void InstallMessageBoxExceptionHandler();

} // namespace kivra
