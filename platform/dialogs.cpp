#include "platform/dialogs.h"

#include <cstdio>

namespace mg {
namespace {

// Without a user interface: every box is answered as by closing it.
class NoDialogs final : public Dialogs {
public:
    Answer Message(const std::string& text, const std::string& caption, Icon, Buttons buttons) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        switch (buttons) {
            case Buttons::Ok: return Answer::Ok;
            case Buttons::Yes: return Answer::Yes;
            case Buttons::YesNo: return Answer::No;
            default: return Answer::Cancel;
        }
    }
    bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
    bool OpenFile(const std::string&, std::string&) override { return false; }
};

Dialogs* g_current = nullptr;
Dialogs* g_default = nullptr;

}  // namespace

Dialogs& CurrentDialogs() {
    static NoDialogs none;
    if (g_current) return *g_current;
    return g_default ? *g_default : none;
}

void SetDialogs(Dialogs* dialogs) { g_current = dialogs; }
void SetDefaultDialogs(Dialogs* dialogs) { g_default = dialogs; }

}  // namespace mg
