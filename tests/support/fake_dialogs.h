// Scripted dialogs for tests: each expected question is queued with its
// answer; a question nobody expected fails the test, and expectations left
// unused fail it when the fake is destroyed. Texts are given in UTF-8 and
// compared with the program's Windows-1251 texts.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace mgtest {

class FakeDialogs final : public mg::Dialogs {
public:
    struct Shown {
        std::string kind;     // "message", "input", "open" or "save"
        std::string text;     // UTF-8: the message text, the input caption, the filter
        std::string caption;  // UTF-8; for "save", the file proposed
        mg::Icon icon = mg::Icon::None;
        mg::Buttons buttons = mg::Buttons::Ok;
    };

    FakeDialogs();   // installs itself
    ~FakeDialogs() override;  // uninstalls, checks that every expectation was used

    // A message box with exactly this text, answered with `answer`.
    FakeDialogs& ExpectMessage(const std::string& textUtf8, mg::Answer answer = mg::Answer::Ok);
    // Also checks the icon and the button set.
    FakeDialogs& ExpectMessage(const std::string& textUtf8, mg::Icon icon, mg::Buttons buttons,
                               mg::Answer answer);
    // An input box with this caption; nullopt answers Cancel, a value answers OK with it (UTF-8).
    FakeDialogs& ExpectInput(const std::string& captionUtf8, std::optional<std::string> valueUtf8);
    // The file-open dialog; nullopt cancels.
    FakeDialogs& ExpectOpenFile(std::optional<std::string> path);
    // The file-save dialog; nullopt cancels.
    FakeDialogs& ExpectSaveFile(std::optional<std::string> path);
    // Runs `action` while the dialog expected last is shown, before it is
    // answered (the user takes their time; the event loop runs meanwhile).
    FakeDialogs& WhileShown(std::function<void()> action);

    // Every dialog shown so far, in order.
    const std::vector<Shown>& shown() const { return shown_; }
    // Texts (UTF-8) of the message boxes shown so far.
    std::vector<std::string> messages() const;
    bool done() const { return expected_.empty(); }

    mg::Answer Message(const std::string& text, const std::string& caption, mg::Icon icon,
                       mg::Buttons buttons) override;
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
    bool OpenFile(const std::string& filter, std::string& path) override;
    bool SaveFile(const std::string& filter, std::string& path) override;

private:
    struct Expected {
        std::string kind;
        std::string text;
        std::optional<mg::Icon> icon;
        std::optional<mg::Buttons> buttons;
        mg::Answer answer = mg::Answer::Ok;
        std::optional<std::string> value;
        std::function<void()> whileShown;
    };
    // Takes the expectation for a dialog of `kind` showing `text` (the file
    // dialogs' filters are not compared); null when it is not the one expected.
    std::optional<Expected> Take(const char* kind, const std::string& text);
    // The open and save dialogs: `kind` "open" or "save".
    bool FileDialog(const char* kind, const std::string& filter, std::string& path);
    std::deque<Expected> expected_;
    std::vector<Shown> shown_;
};

// Windows-1251 bytes to UTF-8 and back, for assertions.
std::string Utf8(const std::string& ansi);
std::string Ansi(const std::string& utf8);

}  // namespace mgtest
