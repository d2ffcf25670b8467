// Every question and notice to the user goes through one Dialogs object: the
// window's Qt dialogs in the program (platform/ui), a scripted fake in tests.
// Texts are Windows-1251; file paths are the file system's own bytes (UTF-8 on
// Linux). Nothing here opens a window.
#pragma once

#include <string>

namespace mg {

enum class Buttons { Ok, OkCancel, YesNo, Yes, YesNoCancel, YesNoCancelYesToAll, YesNoCancelNoToAllYesToAll };
enum class Icon { None, Information, Confirmation, Warning, Error };
enum class Answer { Ok, Cancel, Yes, No, YesToAll, NoToAll };

// Caption of every message box.
inline constexpr const char* kAppTitle = "Mailgrove";

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A standard message box; closing it or pressing Escape answers Cancel
    // where the box has a Cancel button (No for Yes/No, Ok or Yes otherwise).
    virtual Answer Message(const std::string& text, const std::string& caption, Icon icon, Buttons buttons) = 0;
    // A one-line input box with OK and Cancel; false on Cancel. `value` is the
    // default on entry and the typed text on OK.
    virtual bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) = 0;
    // The file-open dialog; `filter` is "Name|pattern|Name|pattern...".
    // False when the user cancels.
    virtual bool OpenFile(const std::string& filter, std::string& path) = 0;
    // The file-save dialog, same filter; `path` is the proposed file on entry
    // and the chosen one on return. False when the user cancels (as every
    // Dialogs that has no save dialog of its own answers).
    virtual bool SaveFile(const std::string& /*filter*/, std::string& /*path*/) { return false; }
};

// The process's dialogs: those a test installed, else the default the user
// interface installed, else none: a question is then answered as by closing
// its box, and a message goes to stderr.
Dialogs& CurrentDialogs();
// Installs `dialogs` (not owned); nullptr restores the default.
void SetDialogs(Dialogs* dialogs);
// The default dialogs (not owned): the user interface's.
void SetDefaultDialogs(Dialogs* dialogs);

// Message box with the application title as caption.
inline Answer ShowMessage(const std::string& text, Icon icon, Buttons buttons) {
    return CurrentDialogs().Message(text, kAppTitle, icon, buttons);
}

}  // namespace mg
