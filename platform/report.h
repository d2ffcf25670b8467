// The application's standard error report, and the rule that no exception
// crosses Qt's event dispatch: every entry point Qt calls runs its body
// through Guarded(). Nothing here shows anything itself: the report goes to
// the handler the user interface installs (a message box with the text, the
// error icon, OK and the caption "Mailgrove"), else to stderr.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace mg {

// The text shown for an error: its message, with a full stop appended when the
// last character has a code above that of "." (so a reply line ending in
// CR LF gets none).
std::string ErrorReportText(const std::string& message);

// Receives the report's text (ErrorReportText already applied); nullptr
// restores stderr.
void SetErrorHandler(std::function<void(const std::string& text)> handler);

void ShowError(const std::string& message);
void ShowException(const std::exception& error);

template <class F>
void Guarded(F&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        try { ShowException(e); } catch (...) {}
    } catch (...) {
        try { ShowError("Unknown error"); } catch (...) {}
    }
}

}  // namespace mg
