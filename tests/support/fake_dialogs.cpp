#include "support/fake_dialogs.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace mgtest {

std::string Utf8(const std::string& ansi) { return mg::FromAnsi(ansi).toStdString(); }
std::string Ansi(const std::string& utf8) { return mg::A(utf8.c_str()); }

FakeDialogs::FakeDialogs() { mg::SetDialogs(this); }

FakeDialogs::~FakeDialogs() {
    mg::SetDialogs(nullptr);
    for (const Expected& e : expected_) ADD_FAILURE() << "expected " << e.kind << " never shown: " << e.text;
}

FakeDialogs& FakeDialogs::ExpectMessage(const std::string& textUtf8, mg::Answer answer) {
    expected_.push_back({"message", textUtf8, std::nullopt, std::nullopt, answer, std::nullopt, nullptr});
    return *this;
}

FakeDialogs& FakeDialogs::ExpectMessage(const std::string& textUtf8, mg::Icon icon, mg::Buttons buttons,
                                        mg::Answer answer) {
    expected_.push_back({"message", textUtf8, icon, buttons, answer, std::nullopt, nullptr});
    return *this;
}

FakeDialogs& FakeDialogs::ExpectInput(const std::string& captionUtf8, std::optional<std::string> valueUtf8) {
    expected_.push_back({"input", captionUtf8, std::nullopt, std::nullopt, mg::Answer::Ok, std::move(valueUtf8), nullptr});
    return *this;
}

FakeDialogs& FakeDialogs::ExpectOpenFile(std::optional<std::string> path) {
    expected_.push_back({"open", "", std::nullopt, std::nullopt, mg::Answer::Ok, std::move(path), nullptr});
    return *this;
}

FakeDialogs& FakeDialogs::ExpectSaveFile(std::optional<std::string> path) {
    expected_.push_back({"save", "", std::nullopt, std::nullopt, mg::Answer::Ok, std::move(path), nullptr});
    return *this;
}

FakeDialogs& FakeDialogs::WhileShown(std::function<void()> action) {
    if (!expected_.empty()) expected_.back().whileShown = std::move(action);
    return *this;
}

std::optional<FakeDialogs::Expected> FakeDialogs::Take(const char* kind, const std::string& text) {
    const bool fileDialog = std::string(kind) == "open" || std::string(kind) == "save";
    if (expected_.empty() || expected_.front().kind != kind || (!fileDialog && expected_.front().text != text))
        return std::nullopt;
    Expected e = expected_.front();
    expected_.pop_front();
    if (e.whileShown) e.whileShown();
    return e;
}

std::vector<std::string> FakeDialogs::messages() const {
    std::vector<std::string> out;
    for (const Shown& s : shown_)
        if (s.kind == "message") out.push_back(s.text);
    return out;
}

mg::Answer FakeDialogs::Message(const std::string& text, const std::string& caption, mg::Icon icon,
                                mg::Buttons buttons) {
    shown_.push_back({"message", Utf8(text), Utf8(caption), icon, buttons});
    const std::string expected =
        expected_.empty() ? std::string(" (none expected)")
                          : " (expected " + expected_.front().kind + " \"" + expected_.front().text + "\")";
    const std::optional<Expected> taken = Take("message", Utf8(text));
    if (!taken) {
        ADD_FAILURE() << "unexpected message box: \"" << Utf8(text) << "\"" << expected;
        return buttons == mg::Buttons::Ok ? mg::Answer::Ok : mg::Answer::Cancel;
    }
    const Expected& e = *taken;
    if (e.icon) {
        EXPECT_EQ(static_cast<int>(*e.icon), static_cast<int>(icon)) << "icon of " << e.text;
    }
    if (e.buttons) {
        EXPECT_EQ(static_cast<int>(*e.buttons), static_cast<int>(buttons)) << "buttons of " << e.text;
    }
    return e.answer;
}

bool FakeDialogs::InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
    shown_.push_back({"input", Utf8(caption), Utf8(prompt), mg::Icon::None, mg::Buttons::OkCancel});
    const std::optional<Expected> e = Take("input", Utf8(caption));
    if (!e) {
        ADD_FAILURE() << "unexpected input box: \"" << Utf8(caption) << "\"";
        return false;
    }
    if (!e->value) return false;
    value = Ansi(*e->value);
    return true;
}

bool FakeDialogs::OpenFile(const std::string& filter, std::string& path) { return FileDialog("open", filter, path); }

bool FakeDialogs::SaveFile(const std::string& filter, std::string& path) { return FileDialog("save", filter, path); }

bool FakeDialogs::FileDialog(const char* kind, const std::string& filter, std::string& path) {
    shown_.push_back({kind, Utf8(filter), *kind == 's' ? path : std::string(), mg::Icon::None, mg::Buttons::OkCancel});
    const std::optional<Expected> e = Take(kind, "");
    if (!e) {
        ADD_FAILURE() << "unexpected file-" << kind << " dialog";
        return false;
    }
    if (!e->value) return false;
    path = *e->value;
    return true;
}

}  // namespace mgtest
